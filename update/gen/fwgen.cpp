// tarn_fwgen: turns the firmware file (standard Intel HEX, record types 00,
// 01 and 04) into the C++ header that holds the built-in firmware table.
//
//   tarn_fwgen INPUT.hex OUTPUT.h CHIP_MASK
//
// The file must cover exactly the flash ranges 0x00000-0x05FFF and
// 0x10000-0x19D7F, each byte once. Block n of the table holds the flash bytes
// n*64 .. n*64+63; the generator computes each block's data-line checksum.
// Every fault is reported as "FILE:LINE: error: ..." and the program exits
// with status 1 without touching OUTPUT. The table is written to a temporary
// file first and renamed into place, so a partial table never appears.

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

// Included by its path: the generator is built on its own when the program
// is cross-compiled.
#include "../include/update/HexDigits.h"

namespace {

constexpr std::uint32_t kBlockSize = 64;
constexpr std::uint32_t kFlashEnd = 0x20000;
constexpr int kExpectedBlocks = 1014;

struct Run {
  std::uint32_t begin;
  std::uint32_t end;  // one past the last byte
};
constexpr std::array<Run, 2> kRuns = {{{0x00000, 0x06000}, {0x10000, 0x19D80}}};

// A fault in the input, reported against one line of it.
struct HexError : std::runtime_error {
  HexError(std::size_t at, const std::string& what) : std::runtime_error(what), line(at) {}
  std::size_t line;
};

std::string Hex(std::uint32_t value, int digits) {
  std::ostringstream out;
  out << "0x" << std::uppercase << std::hex;
  out.width(digits);
  out.fill('0');
  out << value;
  return out.str();
}

bool InRuns(std::uint32_t address) {
  for (const Run& run : kRuns) {
    if (address >= run.begin && address < run.end) {
      return true;
    }
  }
  return false;
}

// The flash content read from the file: one byte per address, and the line
// that gave it (0 = not given).
struct Flash {
  std::vector<std::uint8_t> bytes = std::vector<std::uint8_t>(kFlashEnd, 0);
  std::vector<std::size_t> lineOf = std::vector<std::size_t>(kFlashEnd, 0);
};

// Decodes one record line into its bytes (count, address, type, data,
// checksum) and checks its shape and checksum.
std::vector<std::uint8_t> DecodeLine(const std::string& text, std::size_t line) {
  if (text.empty()) {
    throw HexError(line, "malformed line: empty line");
  }
  if (text[0] != ':') {
    throw HexError(line, "malformed line: does not begin with ':'");
  }
  const std::size_t digits = text.size() - 1;
  if (digits % 2 != 0) {
    throw HexError(line, "malformed line: odd number of hex digits");
  }
  std::vector<std::uint8_t> bytes;
  bytes.reserve(digits / 2);
  for (std::size_t i = 1; i < text.size(); i += 2) {
    const int high = HexDigitValue(text[i]);
    const int low = HexDigitValue(text[i + 1]);
    if (high < 0 || low < 0) {
      throw HexError(line, "malformed line: '" + text.substr(i, 2) + "' at column " +
                               std::to_string(i + 1) + " is not a hex byte");
    }
    bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
  }
  if (bytes.size() < 5) {
    throw HexError(line, "malformed line: too short for a record");
  }
  if (bytes.size() != std::size_t{bytes[0]} + 5) {
    throw HexError(line, "malformed line: count byte says " + std::to_string(bytes[0]) +
                             " data bytes, the line holds " + std::to_string(bytes.size() - 5));
  }
  std::uint8_t sum = 0;
  for (std::size_t i = 0; i + 1 < bytes.size(); ++i) {
    sum = static_cast<std::uint8_t>(sum + bytes[i]);
  }
  const auto wanted = static_cast<std::uint8_t>(0x100 - sum);
  if (bytes.back() != wanted) {
    throw HexError(line, "checksum error: checksum byte is " + Hex(bytes.back(), 2) +
                             ", the record needs " + Hex(wanted, 2));
  }
  return bytes;
}

// Reads the whole file into `flash`; returns the line of the end-of-file
// record.
std::size_t ReadHex(std::istream& in, Flash& flash) {
  std::string text;
  std::size_t line = 0;
  std::uint32_t upper = 0;
  std::optional<std::size_t> endLine;
  while (std::getline(in, text)) {
    ++line;
    if (!text.empty() && text.back() == '\r') {
      text.pop_back();
    }
    if (endLine) {
      if (text.empty()) continue;
      throw HexError(line, "malformed line: record after the end-of-file record of line " +
                               std::to_string(*endLine));
    }
    const std::vector<std::uint8_t> bytes = DecodeLine(text, line);
    const std::uint8_t count = bytes[0];
    const auto offset = static_cast<std::uint32_t>(bytes[1] << 8 | bytes[2]);
    const std::uint8_t type = bytes[3];
    switch (type) {
      case 0x00:
        for (std::uint32_t i = 0; i < count; ++i) {
          const std::uint32_t address = upper + offset + i;
          if (!InRuns(address)) {
            throw HexError(line, "data outside the flash ranges at " + Hex(address, 5) +
                                     " (allowed: 0x00000-0x05FFF, 0x10000-0x19D7F)");
          }
          if (flash.lineOf[address] != 0) {
            throw HexError(line, "data for " + Hex(address, 5) + " given twice (first on line " +
                                     std::to_string(flash.lineOf[address]) + ")");
          }
          flash.bytes[address] = bytes[4 + i];
          flash.lineOf[address] = line;
        }
        break;
      case 0x01:
        if (count != 0 || offset != 0) {
          throw HexError(line, "malformed line: end-of-file record must be :00000001FF");
        }
        endLine = line;
        break;
      case 0x04:
        if (count != 2 || offset != 0) {
          throw HexError(line,
                         "malformed line: extended linear address record needs count 2, "
                         "address 0000");
        }
        upper = static_cast<std::uint32_t>(bytes[4] << 8 | bytes[5]) << 16;
        break;
      default:
        throw HexError(line, "malformed line: record type " + Hex(type, 2) +
                                 " is not supported (only 00, 01, 04)");
    }
  }
  if (!endLine) {
    throw HexError(line, "malformed file: no end-of-file record (:00000001FF)");
  }
  return *endLine;
}

// Checks that each run is covered from its start without a hole and in whole
// blocks, and that the blocks add up to the image's count.
void CheckCoverage(const Flash& flash, std::size_t endLine) {
  int blocks = 0;
  for (const Run& run : kRuns) {
    std::uint32_t address = run.begin;
    while (address < run.end && flash.lineOf[address] != 0) {
      ++address;
    }
    const std::uint32_t holeBegin = address;
    while (address < run.end && flash.lineOf[address] == 0) {
      ++address;
    }
    if (address < run.end) {
      throw HexError(flash.lineOf[address], "gap: no data for " + Hex(holeBegin, 5) + "-" +
                                                Hex(address - 1, 5) + " before this line");
    }
    if ((holeBegin - run.begin) % kBlockSize != 0) {
      const std::uint32_t blockStart = holeBegin - (holeBegin - run.begin) % kBlockSize;
      throw HexError(flash.lineOf[holeBegin - 1],
                     "gap: block at " + Hex(blockStart, 5) + " ends early, no data for " +
                         Hex(holeBegin, 5) + "-" + Hex(blockStart + kBlockSize - 1, 5));
    }
    blocks += static_cast<int>((holeBegin - run.begin) / kBlockSize);
  }
  if (blocks != kExpectedBlocks) {
    throw HexError(endLine, "block count is " + std::to_string(blocks) + ", the image needs " +
                                std::to_string(kExpectedBlocks) +
                                " (0x00000-0x05FFF and 0x10000-0x19D7F)");
  }
}

void WriteTable(std::ostream& out, const Flash& flash, std::uint8_t chipMask,
                const std::string& source) {
  std::vector<std::uint8_t> table;
  table.push_back(chipMask);
  for (const Run& run : kRuns) {
    for (std::uint32_t base = run.begin; base < run.end; base += kBlockSize) {
      const auto n = static_cast<std::uint16_t>(base / kBlockSize);
      auto sum = static_cast<std::uint8_t>(0x40 + ((n >> 2) & 0xFF) + ((n << 6) & 0xFF) + (n >> 8));
      table.push_back(static_cast<std::uint8_t>(n & 0xFF));
      table.push_back(static_cast<std::uint8_t>(n >> 8));
      for (std::uint32_t i = 0; i < kBlockSize; ++i) {
        table.push_back(flash.bytes[base + i]);
        sum = static_cast<std::uint8_t>(sum + flash.bytes[base + i]);
      }
      table.push_back(static_cast<std::uint8_t>(0x100 - sum));
    }
  }
  table.push_back(0xFF);
  table.push_back(0xFF);

  out << "#pragma once\n"
      << "// Generated by tarn_fwgen from " << source << ". Do not edit.\n\n"
      << "#include <array>\n#include <cstdint>\n\n"
      << "inline constexpr std::array<std::uint8_t, " << table.size() << "> kFirmwareTable = {{\n";
  for (std::size_t i = 0; i < table.size(); ++i) {
    out << (i % 16 == 0 ? "    " : " ") << Hex(table[i], 2) << ',';
    if (i % 16 == 15 || i + 1 == table.size()) out << '\n';
  }
  out << "}};\n";
}

int Generate(const std::string& input, const std::string& output, std::uint8_t chipMask) {
  std::ifstream in(input);
  if (!in) {
    std::cerr << input << ": error: cannot open the firmware file\n";
    return 1;
  }
  Flash flash;
  try {
    const std::size_t endLine = ReadHex(in, flash);
    CheckCoverage(flash, endLine);
  } catch (const HexError& error) {
    std::cerr << input << ':' << error.line << ": error: " << error.what() << '\n';
    return 1;
  }

  const std::string temporary = output + ".tmp";
  {
    std::ofstream out(temporary, std::ios::trunc);
    if (out) {
      WriteTable(out, flash, chipMask, std::filesystem::path(input).filename().string());
      out.flush();
    }
    if (!out) {
      std::cerr << temporary << ": error: cannot write the firmware table\n";
      std::error_code ignored;
      std::filesystem::remove(temporary, ignored);
      return 1;
    }
  }
  std::error_code error;
  std::filesystem::rename(temporary, output, error);
  if (error) {
    std::cerr << output << ": error: cannot rename " << temporary << ": " << error.message()
              << '\n';
    std::filesystem::remove(temporary, error);
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::cerr << "usage: tarn_fwgen INPUT.hex OUTPUT.h CHIP_MASK\n";
    return 2;
  }
  const std::string maskText = argv[3];
  char* end = nullptr;
  const unsigned long mask = std::strtoul(maskText.c_str(), &end, 0);
  if (maskText.empty() || *end != '\0' || mask > 0xFF) {
    std::cerr << "tarn_fwgen: error: chip mask '" << maskText << "' is not a byte\n";
    return 2;
  }
  try {
    return Generate(argv[1], argv[2], static_cast<std::uint8_t>(mask));
  } catch (const std::exception& error) {
    std::cerr << "tarn_fwgen: error: " << error.what() << '\n';
    return 1;
  }
}
