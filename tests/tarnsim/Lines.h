#pragma once
// Record lines as a correct updater sends them, built here for the tests.

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace tarnsim_test {

inline std::string Record(std::uint8_t count, std::uint16_t address, std::uint8_t type,
                          const std::vector<std::uint8_t>& data) {
  std::vector<std::uint8_t> bytes = {count, static_cast<std::uint8_t>(address >> 8),
                                     static_cast<std::uint8_t>(address & 0xFF), type};
  bytes.insert(bytes.end(), data.begin(), data.end());
  unsigned sum = 0;
  for (auto b : bytes) sum += b;
  bytes.push_back(static_cast<std::uint8_t>((0x100U - (sum & 0xFFU)) & 0xFFU));
  std::string text = ":";
  char buf[3];
  for (auto b : bytes) {
    std::snprintf(buf, sizeof buf, "%02X", b);
    text += buf;
  }
  return text;
}

inline const std::string kSecurity = ":0C0000B06D03E8B1F47A29C50E9B7D14A5";
inline const std::string kEnd = ":000000FF01";

inline std::string Erase(int chip) {
  const std::vector<std::uint8_t> body = {0x6D, 0x03, 0xE8, 0xB1, 0xF4, 0x7A, 0x29, 0xC5,
                                          0x0E, 0x9B, 0x01, 0x80, 0x6D, 0x03, 0xE8, 0xB1,
                                          0xF4, 0x7A, 0x29, 0xC5, 0x00, 0x00, 0x0C, 0x30};
  return Record(0x18, 0, static_cast<std::uint8_t>(0xB0 + chip), body);
}

// The content the tests put into block n: varied and different per block.
inline std::vector<std::uint8_t> BlockData(unsigned n) {
  std::vector<std::uint8_t> data(64);
  for (unsigned i = 0; i < 64; ++i) data[i] = static_cast<std::uint8_t>((n * 7 + i * 13) & 0xFF);
  return data;
}

inline std::string Data(unsigned n) {
  return Record(0x40, static_cast<std::uint16_t>((n * 64) & 0xFFFF),
                static_cast<std::uint8_t>(n >> 8), BlockData(n));
}

}  // namespace tarnsim_test
