#pragma once
// The record lines the updater sends to the device. Each is ASCII text in the
// Intel HEX record layout: ":", then count, address (high byte first), type,
// data and checksum, every byte as two uppercase hex digits, and nothing after
// the checksum digits (no CR, LF or NUL). The byte sum of every line is zero
// modulo 256.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

// Unlocks the device; sent unchanged.
inline constexpr std::string_view kSecurityLine = ":0C0000B06D03E8B1F47A29C50E9B7D14A5";
// Closes the programming. Type 0xFF, unlike the standard end-of-file record.
inline constexpr std::string_view kEndLine = ":000000FF01";

inline constexpr std::size_t kSecurityLineLength = 35;
inline constexpr std::size_t kEraseLineLength = 59;
inline constexpr std::size_t kDataLineLength = 139;
inline constexpr std::size_t kEndLineLength = 11;

inline constexpr int kFirstChip = 1;
inline constexpr int kLastChip = 7;

// Number of data bytes in a block record and on its data line.
inline constexpr std::size_t kBlockDataSize = 64;

static_assert(kSecurityLine.size() == kSecurityLineLength);
static_assert(kEndLine.size() == kEndLineLength);

// The erase line for flash chip `chip` (1..7): type 0xB0 + chip, the fixed
// 24-byte erase body, and the checksum. Throws std::out_of_range for any other
// chip number.
[[nodiscard]] std::string EraseLine(int chip);

// A formed data line and the 8-bit sum of all its bytes, which is zero for a
// sound block record.
struct DataLine {
  std::string text;
  std::uint8_t sum = 0;
};

// Forms the data line of block `number`: count 0x40, address number*64 cut to
// 16 bits, the number's high byte as type, the 64 data bytes and the stored
// checksum byte. The checksum is not corrected; `sum` tells whether it is right.
[[nodiscard]] DataLine FormDataLine(std::uint16_t number,
                                    std::span<const std::uint8_t, kBlockDataSize> data,
                                    std::uint8_t checksum);
