#pragma once
// Test helpers: decoding record-line text independently of the code under
// test.

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

// The bytes of a record line (count .. checksum), or nullopt when the text is
// not ":" followed by pairs of UPPERCASE hex digits.
inline std::optional<std::vector<std::uint8_t>> DecodeUpperHexLine(std::string_view line) {
  if (line.empty() || line[0] != ':' || line.size() % 2 == 0) {
    return std::nullopt;
  }
  auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 1; i < line.size(); i += 2) {
    const int high = digit(line[i]);
    const int low = digit(line[i + 1]);
    if (high < 0 || low < 0) {
      return std::nullopt;
    }
    bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
  }
  return bytes;
}

inline std::uint8_t ByteSum(const std::vector<std::uint8_t>& bytes) {
  std::uint8_t sum = 0;
  for (const std::uint8_t b : bytes) sum = static_cast<std::uint8_t>(sum + b);
  return sum;
}
