#include "update/RecordLines.h"

#include <array>
#include <stdexcept>

#include "update/HexDigits.h"

namespace {

// The first ten and first eight bytes of the security code frame the two
// bytes 0x01, 0x80; four fixed bytes close the body. Same for every chip.
constexpr std::array<std::uint8_t, 24> kEraseBody = {
    0x6D, 0x03, 0xE8, 0xB1, 0xF4, 0x7A, 0x29, 0xC5, 0x0E, 0x9B, 0x01, 0x80,
    0x6D, 0x03, 0xE8, 0xB1, 0xF4, 0x7A, 0x29, 0xC5, 0x00, 0x00, 0x0C, 0x30};

}  // namespace

std::string EraseLine(int chip) {
  if (chip < kFirstChip || chip > kLastChip) {
    throw std::out_of_range("erase line: chip number out of range");
  }
  const auto type = static_cast<std::uint8_t>(0xB0 + chip);
  std::uint8_t sum = static_cast<std::uint8_t>(kEraseBody.size() + type);
  std::string line;
  line.reserve(kEraseLineLength);
  line.append(":180000");
  AppendHexByte(line, type);
  for (const std::uint8_t byte : kEraseBody) {
    AppendHexByte(line, byte);
    sum = static_cast<std::uint8_t>(sum + byte);
  }
  AppendHexByte(line, static_cast<std::uint8_t>(0x100 - sum));
  return line;
}

DataLine FormDataLine(std::uint16_t number, std::span<const std::uint8_t, kBlockDataSize> data,
                      std::uint8_t checksum) {
  // Address high, address low and type: bits 8 and 9 of the number appear
  // both in the address and in the type byte.
  const auto addressHigh = static_cast<std::uint8_t>((number >> 2) & 0xFF);
  const auto addressLow = static_cast<std::uint8_t>((number << 6) & 0xFF);
  const auto type = static_cast<std::uint8_t>(number >> 8);

  DataLine line;
  line.text.reserve(kDataLineLength);
  line.text.append(":40");
  std::uint8_t sum = static_cast<std::uint8_t>(0x40 + addressHigh + addressLow + type);
  AppendHexByte(line.text, addressHigh);
  AppendHexByte(line.text, addressLow);
  AppendHexByte(line.text, type);
  for (const std::uint8_t byte : data) {
    AppendHexByte(line.text, byte);
    sum = static_cast<std::uint8_t>(sum + byte);
  }
  AppendHexByte(line.text, checksum);
  line.sum = static_cast<std::uint8_t>(sum + checksum);
  return line;
}
