#include "update/FirmwareImage.h"

// Generated at build time from firmware/tarn_firmware.hex by tarn_fwgen;
// defines kFirmwareTable.
#include "update/FirmwareTable.h"

namespace {

struct WalkSummary {
  std::int32_t records = 0;
  std::size_t endPosition = 0;
  bool truncated = false;
};

constexpr WalkSummary Summarise(std::span<const std::uint8_t> image) {
  ImageWalker walker(image);
  WalkSummary summary;
  while (walker.Next()) {
    ++summary.records;
  }
  summary.endPosition = walker.Position();
  summary.truncated = walker.Truncated();
  return summary;
}

constexpr WalkSummary kBuiltIn = Summarise(kFirmwareTable);

static_assert(kFirmwareTable.size() == kFirmwareImageSize, "firmware table has the wrong size");
static_assert(!kBuiltIn.truncated, "firmware table lacks its end marker");
static_assert(kBuiltIn.records == kBlockRecordCount,
              "the gauge maximum kBlockRecordCount disagrees with the firmware table");
static_assert(kBuiltIn.endPosition + 2 == kFirmwareImageSize,
              "bytes follow the firmware table's end marker");

}  // namespace

std::span<const std::uint8_t, kFirmwareImageSize> FirmwareImage() {
  return kFirmwareTable;
}
