#pragma once
// The device's own knowledge of the record lines it accepts. Built here from
// the security code and the erase body, independently of the updater, so
// that the simulator really checks what the updater sends.

#include <cstdint>
#include <string>

namespace tarnsim::protocol {

inline constexpr std::uint8_t kSecurityCount = 0x0C;
inline constexpr std::uint8_t kEraseCount = 0x18;
inline constexpr std::uint8_t kDataCount = 0x40;
inline constexpr std::uint8_t kEndCount = 0x00;
inline constexpr std::uint8_t kSecurityType = 0xB0;

// ":0C0000B0" + the 12 code bytes + checksum: 35 characters.
const std::string& SecurityLine();
// ":180000" + (0xB0 + chip) + the 24-byte erase body + checksum: 59 characters.
std::string EraseLine(int chip);
// ":000000FF01".
const std::string& EndLine();

// Two uppercase hex digits.
std::string Hex2(std::uint8_t value);
// The value of an uppercase hex digit, or -1.
int HexValue(char c);

}  // namespace tarnsim::protocol
