#include "Protocol.h"

#include <array>
#include <vector>

#include "update/HexDigits.h"

namespace tarnsim::protocol {
namespace {

constexpr std::array<std::uint8_t, 12> kSecurityCode = {0x6D, 0x03, 0xE8, 0xB1, 0xF4, 0x7A,
                                                        0x29, 0xC5, 0x0E, 0x9B, 0x7D, 0x14};

// Count, two address bytes, type and data, then the checksum that makes the
// byte sum zero, all as uppercase hex after a colon.
std::string Record(std::uint8_t type, const std::vector<std::uint8_t>& data) {
  std::vector<std::uint8_t> bytes = {static_cast<std::uint8_t>(data.size()), 0x00, 0x00, type};
  bytes.insert(bytes.end(), data.begin(), data.end());
  unsigned sum = 0;
  for (std::uint8_t b : bytes) sum += b;
  bytes.push_back(static_cast<std::uint8_t>((0x100U - (sum & 0xFFU)) & 0xFFU));
  std::string text = ":";
  for (std::uint8_t b : bytes) text += Hex2(b);
  return text;
}

std::vector<std::uint8_t> EraseBody() {
  std::vector<std::uint8_t> body(kSecurityCode.begin(), kSecurityCode.begin() + 10);
  body.push_back(0x01);
  body.push_back(0x80);
  body.insert(body.end(), kSecurityCode.begin(), kSecurityCode.begin() + 8);
  body.insert(body.end(), {0x00, 0x00, 0x0C, 0x30});
  return body;
}

}  // namespace

std::string Hex2(std::uint8_t value) {
  std::string text;
  AppendHexByte(text, value);
  return text;
}

int HexValue(char c) {
  return UpperHexDigitValue(c);
}

const std::string& SecurityLine() {
  static const std::string line =
      Record(kSecurityType, std::vector<std::uint8_t>(kSecurityCode.begin(), kSecurityCode.end()));
  return line;
}

std::string EraseLine(int chip) {
  return Record(static_cast<std::uint8_t>(kSecurityType + chip), EraseBody());
}

const std::string& EndLine() {
  static const std::string line = ":000000FF01";
  return line;
}

}  // namespace tarnsim::protocol
