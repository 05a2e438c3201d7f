#include "tarnsim/Flash.h"

#include <cstdio>
#include <fstream>
#include <sstream>
#include <vector>

namespace tarnsim {
namespace {

int DigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string Hex(std::uint32_t value, int digits) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%0*X", digits, value);
  return buf;
}

}  // namespace

Flash ParseIntelHex(const std::string& text, const std::string& name) {
  Flash flash;
  std::uint32_t base = 0;
  bool ended = false;
  std::istringstream in(text);
  std::string line;
  int lineNo = 0;
  auto fail = [&](const std::string& what) {
    throw HexError(name + ":" + std::to_string(lineNo) + ": " + what);
  };
  while (std::getline(in, line)) {
    ++lineNo;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    if (ended) fail("record after the end-of-file record");
    if (line[0] != ':') fail("a record must begin with ':'");
    if (line.size() < 11 || line.size() % 2 == 0) fail("record of wrong length");
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 1; i + 1 < line.size(); i += 2) {
      const int hi = DigitValue(line[i]);
      const int lo = DigitValue(line[i + 1]);
      if (hi < 0 || lo < 0) fail("not a hex digit");
      bytes.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
    }
    const std::size_t count = bytes[0];
    if (bytes.size() != count + 5) fail("count field does not match the record's length");
    unsigned sum = 0;
    for (std::uint8_t b : bytes) sum += b;
    if ((sum & 0xFFU) != 0) fail("checksum error");
    const std::uint32_t address = bytes[1] * 256U + bytes[2];
    const std::uint8_t type = bytes[3];
    switch (type) {
      case 0x00:
        for (std::size_t i = 0; i < count; ++i) {
          const std::uint32_t at = base + address + static_cast<std::uint32_t>(i);
          const std::uint8_t value = bytes[4 + i];
          auto [it, inserted] = flash.emplace(at, value);
          if (!inserted && it->second != value) fail("address " + Hex(at, 5) + " given twice");
        }
        break;
      case 0x01:
        ended = true;
        break;
      case 0x02:
        if (count != 2) fail("extended segment address record needs 2 bytes");
        base = (bytes[4] * 256U + bytes[5]) << 4;
        break;
      case 0x04:
        if (count != 2) fail("extended linear address record needs 2 bytes");
        base = (bytes[4] * 256U + bytes[5]) << 16;
        break;
      case 0x03:
      case 0x05:
        break;
      default:
        fail("unknown record type " + Hex(type, 2));
    }
  }
  if (!ended) {
    ++lineNo;
    fail("no end-of-file record");
  }
  return flash;
}

Flash ReadIntelHexFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw HexError(path + ": cannot be read");
  std::ostringstream text;
  text << file.rdbuf();
  return ParseIntelHex(text.str(), path);
}

std::optional<std::string> DescribeDifference(const Flash& written, const Flash& expected) {
  std::size_t differing = 0;
  std::string first;
  auto note = [&](const std::string& what) {
    if (differing++ == 0) first = what;
  };
  auto w = written.begin();
  auto e = expected.begin();
  while (w != written.end() || e != expected.end()) {
    if (e == expected.end() || (w != written.end() && w->first < e->first)) {
      note("address " + Hex(w->first, 5) + " written but not expected");
      ++w;
    } else if (w == written.end() || e->first < w->first) {
      note("address " + Hex(e->first, 5) + " not written");
      ++e;
    } else {
      if (w->second != e->second) {
        note("address " + Hex(w->first, 5) + " holds " + Hex(w->second, 2) + ", expected " +
             Hex(e->second, 2));
      }
      ++w;
      ++e;
    }
  }
  if (differing == 0) return std::nullopt;
  return first + " (" + std::to_string(differing) + " addresses differ)";
}

}  // namespace tarnsim
