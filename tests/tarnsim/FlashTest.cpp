// The simulator's own Intel HEX reader and the flash comparison.
#include <gtest/gtest.h>

#include "tarnsim/Flash.h"

using tarnsim::Flash;
using tarnsim::HexError;
using tarnsim::ParseIntelHex;

TEST(IntelHex, ReadsDataWithExtendedAddresses) {
  const std::string text =
      ":0400000001020304F2\r\n"
      ":020000040001F9\r\n"
      ":02FFFE00AABB9C\r\n"
      ":020000021000EC\n"  // segment 0x1000: base 0x10000, as with the linear record
      ":0100100055"
      "9A\n"
      ":00000001FF\n"
      "\n";
  const Flash flash = ParseIntelHex(text, "t.hex");
  const Flash expected = {{0x00000, 0x01}, {0x00001, 0x02}, {0x00002, 0x03}, {0x00003, 0x04},
                          {0x1FFFE, 0xAA}, {0x1FFFF, 0xBB}, {0x10010, 0x55}};
  EXPECT_EQ(flash, expected);
}

TEST(IntelHex, RejectsMalformedInputNamingFileAndLine) {
  struct Case {
    const char* name;
    std::string text;
    const char* where;
    const char* what;
  } cases[] = {
      {"no colon", "0100000011EE\n:00000001FF\n", "t.hex:1:", "begin with ':'"},
      {"checksum", ":0100000011EF\n:00000001FF\n", "t.hex:1:", "checksum"},
      {"not hex", ":01000000G1EE\n:00000001FF\n", "t.hex:1:", "hex digit"},
      {"count", ":0200000011ED\n:00000001FF\n", "t.hex:1:", "count"},
      {"odd length", ":0100000011E\n:00000001FF\n", "t.hex:1:", "length"},
      {"type", ":0100000611E8\n:00000001FF\n", "t.hex:1:", "record type 0x06"},
      {"conflict", ":0100000011EE\n:0100000012ED\n:00000001FF\n", "t.hex:2:", "given twice"},
      {"after eof", ":00000001FF\n:0100000011EE\n", "t.hex:2:", "after the end-of-file"},
      {"no eof", ":0100000011EE\n", "t.hex:2:", "no end-of-file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      ParseIntelHex(c.text, "t.hex");
      ADD_FAILURE() << "accepted";
    } catch (const HexError& e) {
      const std::string message = e.what();
      EXPECT_EQ(message.rfind(c.where, 0), 0U) << message;
      EXPECT_NE(message.find(c.what), std::string::npos) << message;
    }
  }
}

TEST(IntelHex, SameByteTwiceIsAccepted) {
  EXPECT_EQ(ParseIntelHex(":0100000011EE\n:0100000011EE\n:00000001FF\n", "t").size(), 1U);
}

TEST(IntelHex, UnreadableFile) {
  EXPECT_THROW(tarnsim::ReadIntelHexFile("/nonexistent/dir/x.hex"), HexError);
}

TEST(FlashDifference, NamesTheFirstDifferenceAndCountsAll) {
  const Flash expected = {{0x10, 1}, {0x11, 2}, {0x12, 3}};
  struct Case {
    Flash written;
    const char* first;
    const char* count;
  } cases[] = {
      {{{0x10, 1}, {0x11, 9}, {0x12, 3}}, "0x00011 holds 0x09, expected 0x02", "(1 addresses"},
      {{{0x10, 1}}, "0x00011 not written", "(2 addresses"},
      {{{0x0F, 0}, {0x10, 1}, {0x11, 2}, {0x12, 3}},
       "0x0000F written but not expected",
       "(1 addresses"},
  };
  for (const Case& c : cases) {
    const auto diff = tarnsim::DescribeDifference(c.written, expected);
    ASSERT_TRUE(diff.has_value());
    EXPECT_NE(diff->find(c.first), std::string::npos) << *diff;
    EXPECT_NE(diff->find(c.count), std::string::npos) << *diff;
  }
  EXPECT_FALSE(tarnsim::DescribeDifference(expected, expected).has_value());
}
