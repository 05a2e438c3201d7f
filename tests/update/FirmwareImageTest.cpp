#include "update/FirmwareImage.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "HexText.h"

namespace {

TEST(FirmwareImage, HasTheLayoutOfTheDeviceImage) {
  const auto image = FirmwareImage();
  ASSERT_EQ(image.size(), 67941u);
  EXPECT_EQ(image[0], 0x0E);
  EXPECT_EQ(image[67939], 0xFF);
  EXPECT_EQ(image[67940], 0xFF);
}

TEST(FirmwareImage, WalkVisitsTwoRisingRunsInPlaceAndEndsAtTheMarker) {
  const auto image = FirmwareImage();
  ImageWalker walker(image);
  std::vector<BlockRecord> records;
  while (const auto record = walker.Next()) {
    records.push_back(*record);
  }
  EXPECT_FALSE(walker.Truncated());
  EXPECT_EQ(walker.Position(), 67939u);
  ASSERT_EQ(records.size(), static_cast<std::size_t>(kBlockRecordCount));

  EXPECT_EQ(records.front().offset, 1u);
  EXPECT_EQ(records.front().number, 0x000);
  EXPECT_EQ(records.back().number, 0x675);
  EXPECT_EQ(records.back().offset + 2 + kBlockDataSize, 67938u);
  EXPECT_EQ(records.back().checksum, image[67938]);

  for (std::size_t k = 0; k < records.size(); ++k) {
    const auto expected = static_cast<std::uint16_t>(k < 384 ? k : 0x400 + (k - 384));
    ASSERT_EQ(records[k].number, expected) << "record " << k;
    ASSERT_EQ(records[k].offset, 1 + 67 * k);
    // The data are viewed inside the image, not copied out of it.
    ASSERT_EQ(records[k].data.data(), image.data() + records[k].offset + 2);
  }
}

// The flash bytes of the firmware file, read here without the generator.
std::vector<int> ReadFlashFromHex(const std::string& path) {
  std::vector<int> flash(0x20000, -1);
  std::ifstream in(path);
  std::string line;
  std::uint32_t upper = 0;
  while (std::getline(in, line)) {
    const auto bytes = DecodeUpperHexLine(line);
    if (!bytes) continue;
    const auto offset = static_cast<std::uint32_t>((*bytes)[1] << 8 | (*bytes)[2]);
    if ((*bytes)[3] == 0x04) {
      upper = static_cast<std::uint32_t>((*bytes)[4] << 8 | (*bytes)[5]) << 16;
    } else if ((*bytes)[3] == 0x00) {
      for (std::size_t i = 0; i < (*bytes)[0]; ++i) {
        flash.at(upper + offset + i) = (*bytes)[4 + i];
      }
    }
  }
  return flash;
}

TEST(FirmwareImage, BlockNHoldsFlashBytesOfTheFirmwareFile) {
  const std::vector<int> flash = ReadFlashFromHex(TARN_FIRMWARE_HEX);
  ImageWalker walker(FirmwareImage());
  int distinct[256] = {};
  while (const auto record = walker.Next()) {
    const std::size_t base = std::size_t{record->number} * 64;
    for (std::size_t i = 0; i < kBlockDataSize; ++i) {
      ASSERT_EQ(record->data[i], flash.at(base + i)) << "block " << record->number << " byte " << i;
      distinct[record->data[i]] = 1;
    }
  }
  // The placeholder content is varied, not a constant fill.
  int values = 0;
  for (const int seen : distinct) values += seen;
  EXPECT_EQ(values, 256);
}

TEST(ImageWalker, HandlesShortAndTruncatedImages) {
  struct Case {
    const char* name;
    std::vector<std::uint8_t> image;
    std::size_t records;
    bool truncated;
    std::uint8_t mask;
  };
  std::vector<std::uint8_t> oneRecord = {0x01, 0x05, 0x00};
  oneRecord.resize(1 + 67, 0x11);
  oneRecord.push_back(0xFF);
  oneRecord.push_back(0xFF);
  std::vector<std::uint8_t> cutRecord = oneRecord;
  cutRecord.resize(1 + 60);

  const Case cases[] = {
      {"mask and end marker only", {0x0E, 0xFF, 0xFF}, 0, false, 0x0E},
      {"one record", oneRecord, 1, false, 0x01},
      {"empty", {}, 0, true, 0x00},
      {"mask only", {0x0E}, 0, true, 0x0E},
      {"half a block number", {0x0E, 0x00}, 0, true, 0x0E},
      {"record cut short", cutRecord, 0, true, 0x01},
      {"no end marker after a record",
       std::vector<std::uint8_t>(oneRecord.begin(), oneRecord.end() - 2), 1, true, 0x01},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ImageWalker walker(c.image);
    EXPECT_EQ(walker.ChipMask(), c.mask);
    std::size_t records = 0;
    while (walker.Next()) ++records;
    EXPECT_EQ(records, c.records);
    EXPECT_EQ(walker.Truncated(), c.truncated);
    EXPECT_FALSE(walker.Next().has_value()) << "a finished walk stays finished";
  }
}

}  // namespace
