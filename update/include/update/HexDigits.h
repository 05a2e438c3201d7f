#pragma once
// The hexadecimal digits of the record lines, one table for every program
// that writes or reads them: the updater, the firmware generator (a build
// program that includes this header on its own) and the device simulator.
// Header-only, standard library only.

#include <array>
#include <cstdint>
#include <string>

inline constexpr std::array<char, 16> kHexDigits = {'0', '1', '2', '3', '4', '5', '6', '7',
                                                    '8', '9', 'A', 'B', 'C', 'D', 'E', 'F'};

// Appends `value` as two uppercase hex digits, leading zero included.
inline void AppendHexByte(std::string& text, std::uint8_t value) {
  text.push_back(kHexDigits[value >> 4]);
  text.push_back(kHexDigits[value & 0x0F]);
}

// The value of an uppercase hex digit (the only kind a record line holds),
// or -1.
constexpr int UpperHexDigitValue(char c) {
  for (int i = 0; i < 16; ++i) {
    if (kHexDigits[static_cast<std::size_t>(i)] == c) return i;
  }
  return -1;
}

// The value of a hex digit of either case, or -1.
constexpr int HexDigitValue(char c) {
  return (c >= 'a' && c <= 'f') ? c - 'a' + 10 : UpperHexDigitValue(c);
}
