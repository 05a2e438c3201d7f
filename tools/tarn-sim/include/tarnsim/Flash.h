#pragma once
// The flash contents of a TARN device as a sparse byte map, and the reader
// for the standard Intel HEX files that describe what the flash should hold.

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>

namespace tarnsim {

// Flash address -> byte. Only written (or described) addresses are present.
using Flash = std::map<std::uint32_t, std::uint8_t>;

// A malformed HEX file; the message names the file and the line.
class HexError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Parses standard Intel HEX text (record types 00 data, 01 end of file,
// 02 extended segment address, 04 extended linear address; 03 and 05 start
// addresses are accepted and ignored). Lines may end in LF or CR LF; digits
// may be of either case. `name` is used in error messages.
// Throws HexError for a malformed line, a checksum error, an unknown record
// type, a byte given twice with different values, data after the end-of-file
// record, or a missing end-of-file record.
Flash ParseIntelHex(const std::string& text, const std::string& name);

// Reads and parses a file; throws HexError also when it cannot be read.
Flash ReadIntelHexFile(const std::string& path);

// Describes the first difference between what was written and what was
// expected, with the number of addresses that differ; nullopt when equal.
std::optional<std::string> DescribeDifference(const Flash& written, const Flash& expected);

}  // namespace tarnsim
