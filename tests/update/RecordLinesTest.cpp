#include "update/RecordLines.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "HexText.h"
#include "update/FirmwareImage.h"

namespace {

struct SendableLine {
  std::string name;
  std::string text;
  std::size_t length;
};

// Every line the updater can put on the wire.
std::vector<SendableLine> AllSendableLines() {
  std::vector<SendableLine> lines;
  lines.push_back({"security", std::string(kSecurityLine), 35});
  for (int chip = kFirstChip; chip <= kLastChip; ++chip) {
    lines.push_back({"erase " + std::to_string(chip), EraseLine(chip), 59});
  }
  ImageWalker walker(FirmwareImage());
  while (const auto record = walker.Next()) {
    lines.push_back({"data " + std::to_string(record->number),
                     FormDataLine(record->number, record->data, record->checksum).text, 139});
  }
  lines.push_back({"end", std::string(kEndLine), 11});
  return lines;
}

TEST(RecordLines, EverySendableLineIsUppercaseHexWithZeroSumAndExactLength) {
  const auto lines = AllSendableLines();
  ASSERT_EQ(lines.size(), 1u + 7u + 1014u + 1u);
  for (const auto& line : lines) {
    SCOPED_TRACE(line.name);
    EXPECT_EQ(line.text.size(), line.length);
    // Uppercase digits only also rules out CR, LF, NUL and any terminator.
    const auto bytes = DecodeUpperHexLine(line.text);
    ASSERT_TRUE(bytes.has_value()) << line.text;
    EXPECT_EQ(bytes->size(), std::size_t{(*bytes)[0]} + 5) << "count byte";
    EXPECT_EQ(ByteSum(*bytes), 0) << line.text;
  }
}

TEST(RecordLines, FixedLinesHaveTheirExactText) {
  EXPECT_EQ(kSecurityLine.substr(0, 33), ":0C0000B06D03E8B1F47A29C50E9B7D14");
  EXPECT_EQ(kEndLine, ":000000FF01");
}

TEST(RecordLines, EraseLinesDifferOnlyInTypeAndChecksum) {
  const std::string body = "6D03E8B1F47A29C50E9B01806D03E8B1F47A29C500000C30";
  int previousChecksum = -1;
  for (int chip = kFirstChip; chip <= kLastChip; ++chip) {
    SCOPED_TRACE(chip);
    const std::string line = EraseLine(chip);
    EXPECT_EQ(line.substr(0, 7), ":180000");
    EXPECT_EQ(std::stoi(line.substr(7, 2), nullptr, 16), 0xB0 + chip);
    EXPECT_EQ(line.substr(9, 48), body);
    const int checksum = std::stoi(line.substr(57, 2), nullptr, 16);
    if (previousChecksum >= 0) {
      EXPECT_EQ(checksum, previousChecksum - 1);
    }
    previousChecksum = checksum;
  }
}

TEST(RecordLines, EraseLineRejectsChipsOutsideOneToSeven) {
  for (const int chip : {0, 8, -1, 255}) {
    EXPECT_THROW(static_cast<void>(EraseLine(chip)), std::out_of_range) << chip;
  }
}

TEST(RecordLines, DataLineHeadCarriesAddressAndHighByteAsType) {
  struct Case {
    std::uint16_t number;
    const char* head;
  };
  const Case cases[] = {{0x000, ":40000000"}, {0x0FF, ":403FC000"}, {0x100, ":40400001"},
                        {0x17F, ":405FC001"}, {0x400, ":40000004"}, {0x675, ":409D4006"}};
  const std::array<std::uint8_t, kBlockDataSize> data{};
  for (const auto& c : cases) {
    const DataLine line = FormDataLine(c.number, data, 0);
    EXPECT_EQ(line.text.substr(0, 9), c.head) << std::hex << c.number;
  }
}

TEST(RecordLines, DataBytesAreTwoUppercaseDigitsWithLeadingZero) {
  std::array<std::uint8_t, kBlockDataSize> data{};
  data[0] = 0x0A;
  data[1] = 0xFF;
  data[2] = 0x00;
  data[63] = 0xAB;
  const DataLine line = FormDataLine(0, data, 0x5C);
  EXPECT_EQ(line.text.substr(9, 6), "0AFF00");
  EXPECT_EQ(line.text.substr(9 + 63 * 2, 2), "AB");
  EXPECT_EQ(line.text.substr(137, 2), "5C");
}

TEST(RecordLines, DataLineSumTellsASoundRecordFromAChangedOne) {
  ImageWalker walker(FirmwareImage());
  const auto record = walker.Next();
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ(FormDataLine(record->number, record->data, record->checksum).sum, 0);

  struct Change {
    std::size_t index;
    std::uint8_t delta;
  };
  for (const Change change : {Change{0, 1}, Change{31, 0x80}, Change{63, 0xFF}}) {
    std::array<std::uint8_t, kBlockDataSize> data{};
    std::copy(record->data.begin(), record->data.end(), data.begin());
    data[change.index] = static_cast<std::uint8_t>(data[change.index] + change.delta);
    const DataLine line = FormDataLine(record->number, data, record->checksum);
    EXPECT_NE(line.sum, 0) << "byte " << change.index;
    EXPECT_EQ(line.sum, change.delta);
  }
  // A wrong block number is caught as well: it is part of the sum.
  EXPECT_NE(FormDataLine(1, record->data, record->checksum).sum, 0);
}

}  // namespace
