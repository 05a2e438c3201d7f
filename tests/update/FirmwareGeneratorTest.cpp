// Runs the firmware table generator on good and broken HEX files.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

Lines ReadLines(const std::string& path) {
  std::ifstream in(path);
  Lines lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string Record(std::uint16_t address, std::uint8_t type,
                   const std::vector<std::uint8_t>& data) {
  std::vector<std::uint8_t> bytes = {static_cast<std::uint8_t>(data.size()),
                                     static_cast<std::uint8_t>(address >> 8),
                                     static_cast<std::uint8_t>(address & 0xFF), type};
  bytes.insert(bytes.end(), data.begin(), data.end());
  std::uint8_t sum = 0;
  for (const auto b : bytes) sum = static_cast<std::uint8_t>(sum + b);
  bytes.push_back(static_cast<std::uint8_t>(0x100 - sum));
  std::string text = ":";
  char digits[3];
  for (const auto b : bytes) {
    std::snprintf(digits, sizeof digits, "%02X", b);
    text += digits;
  }
  return text;
}

struct Outcome {
  int status = -1;
  std::string errors;
};

class FirmwareGenerator : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ =
        fs::path(::testing::TempDir()) /
        ("fwgen-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    good_ = ReadLines(TARN_FIRMWARE_HEX);
    ASSERT_GT(good_.size(), 4000u);
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path Input() const { return dir_ / "firmware.hex"; }
  fs::path Output() const { return dir_ / "FirmwareTable.h"; }

  Outcome Run(const Lines& lines, const char* eol = "\n") {
    {
      std::ofstream out(Input(), std::ios::binary);
      for (const auto& line : lines) out << line << eol;
    }
    const fs::path errors = dir_ / "errors.txt";
    const std::string command = "'" + std::string(TARN_FWGEN_PATH) + "' '" + Input().string() +
                                "' '" + Output().string() + "' 0x0E 2>'" + errors.string() + "'";
    const int raw = std::system(command.c_str());
    Outcome outcome;
    outcome.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    std::ifstream in(errors);
    std::stringstream text;
    text << in.rdbuf();
    outcome.errors = text.str();
    return outcome;
  }

  fs::path dir_;
  Lines good_;
};

TEST_F(FirmwareGenerator, WritesTheTableForAGoodFile) {
  for (const char* eol : {"\n", "\r\n"}) {
    SCOPED_TRACE(eol[0] == '\r' ? "CRLF" : "LF");
    fs::remove(Output());
    const Outcome outcome = Run(good_, eol);
    EXPECT_EQ(outcome.status, 0) << outcome.errors;
    EXPECT_TRUE(fs::exists(Output()));
    EXPECT_FALSE(fs::exists(Output().string() + ".tmp"));
    std::ifstream in(Output());
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_NE(text.str().find("std::array<std::uint8_t, 67941> kFirmwareTable"), std::string::npos);
  }
}

TEST_F(FirmwareGenerator, RejectsEachKindOfBadInputWithFileAndLine) {
  // Line numbers below are 1-based; good_[0] is the first 04 record, good_[1]
  // the first data line (0x00000), good_.back() the end-of-file record.
  const std::size_t last = good_.size();
  struct Case {
    const char* name;
    std::function<void(Lines&)> mutate;
    std::size_t line;  // 0: the line is computed from the mutated file
    const char* phrase;
  };
  const Case cases[] = {
      {"no colon", [](Lines& l) { l[4].erase(0, 1); }, 5, "malformed line"},
      {"not a hex digit", [](Lines& l) { l[4][12] = 'G'; }, 5, "malformed line"},
      {"odd digit count", [](Lines& l) { l[4].pop_back(); }, 5, "malformed line"},
      {"count disagrees with length", [](Lines& l) { l[4].erase(9, 2); }, 5, "malformed line"},
      {"empty line", [](Lines& l) { l.insert(l.begin() + 7, ""); }, 8, "malformed line"},
      {"unsupported record type",
       [](Lines& l) {
         l[0] = Record(0, 0x02, {0x00, 0x00});
       },
       1, "record type 0x02"},
      {"extended address with wrong count", [](Lines& l) { l[0] = Record(0, 0x04, {0x00}); }, 1,
       "malformed line"},
      {"no end-of-file record", [](Lines& l) { l.pop_back(); }, last - 1, "no end-of-file"},
      {"record after end of file", [](Lines& l) { l.push_back(l[1]); }, last + 1,
       "after the end-of-file"},
      {"checksum error", [](Lines& l) { l[10][9] = l[10][9] == '0' ? '1' : '0'; }, 11,
       "checksum error"},
      {"gap inside a run", [](Lines& l) { l.erase(l.begin() + 100); }, 101, "gap"},
      {"gap at the start of a run", [](Lines& l) { l.erase(l.begin() + 1); }, 2, "gap"},
      {"block cut short at the end", [](Lines& l) { l.erase(l.end() - 2); }, last - 2,
       "ends early"},
      {"one block missing at the end", [](Lines& l) { l.erase(l.end() - 5, l.end() - 1); },
       last - 4, "block count is 1013"},
      {"second run missing", [](Lines& l) { l.erase(l.begin() + 1537, l.end() - 1); }, 1538,
       "block count is 384"},
      {"data past the second run",
       [](Lines& l) {
         l.insert(l.end() - 1, Record(0x9D80, 0x00, {1, 2, 3, 4}));
       },
       last, "outside the flash ranges at 0x19D80"},
      {"data between the runs",
       [](Lines& l) { l.insert(l.begin() + 1537, Record(0x6000, 0x00, {9})); }, 1538,
       "outside the flash ranges at 0x06000"},
      {"data above 128 KiB",
       [](Lines& l) {
         l.insert(l.end() - 1, Record(0, 0x04, {0x00, 0x02}));
         l.insert(l.end() - 1, Record(0, 0x00, {7}));
       },
       last + 1, "outside the flash ranges at 0x20000"},
      {"same address twice", [](Lines& l) { l.insert(l.begin() + 6, l[5]); }, 7, "given twice"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Lines lines = good_;
    c.mutate(lines);
    {
      std::ofstream stale(Output());
      stale << "previous table\n";
    }
    const Outcome outcome = Run(lines);
    EXPECT_EQ(outcome.status, 1);
    const std::string where = Input().string() + ":" + std::to_string(c.line) + ": error: ";
    EXPECT_NE(outcome.errors.find(where), std::string::npos)
        << "wanted '" << where << "' in: " << outcome.errors;
    EXPECT_NE(outcome.errors.find(c.phrase), std::string::npos) << outcome.errors;
    // Nothing is written: the previous table stays and no temporary remains.
    std::ifstream in(Output());
    std::string first;
    std::getline(in, first);
    EXPECT_EQ(first, "previous table");
    EXPECT_FALSE(fs::exists(Output().string() + ".tmp"));
  }
}

TEST_F(FirmwareGenerator, RejectsBadArguments) {
  const std::string base = "'" + std::string(TARN_FWGEN_PATH) + "'";
  for (const char* args : {"", " a.hex out.h", " a.hex out.h 0x100", " a.hex out.h mask"}) {
    const int raw = std::system((base + args + " 2>/dev/null").c_str());
    EXPECT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 2) << args;
  }
  const Outcome missing = [&] {
    const int raw = std::system((base + " '" + (dir_ / "absent.hex").string() + "' '" +
                                 Output().string() + "' 0x0E 2>/dev/null")
                                    .c_str());
    return Outcome{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, {}};
  }();
  EXPECT_EQ(missing.status, 1);
  EXPECT_FALSE(fs::exists(Output()));
}

}  // namespace
