#pragma once
// The built-in firmware image and the walk over it.
//
// Layout: byte 0 is the chip mask (bit i set: erase chip i, i = 1..7; bit 0
// is never looked at). Then block records of 67 bytes each: the block number
// (16 bits, low byte first), 64 data bytes and the checksum byte of the
// record's data line. The table ends with the block number 0xFFFF as end
// marker, and nothing follows it.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "update/RecordLines.h"

// Number of block records in the built-in image; the window gives it to the
// gauge as its maximum. Checked against the generated table at compile time.
inline constexpr std::int32_t kBlockRecordCount = 1014;

inline constexpr std::size_t kBlockRecordSize = 2 + kBlockDataSize + 1;
inline constexpr std::size_t kFirmwareImageSize =
    1 + static_cast<std::size_t>(kBlockRecordCount) * kBlockRecordSize + 2;
inline constexpr std::uint16_t kEndMarker = 0xFFFF;

// The built-in image: kFirmwareImageSize bytes of constant data.
[[nodiscard]] std::span<const std::uint8_t, kFirmwareImageSize> FirmwareImage();

// One block record, viewed in place inside the image.
struct BlockRecord {
  std::size_t offset = 0;  // position of the block number's low byte
  std::uint16_t number = 0;
  std::span<const std::uint8_t, kBlockDataSize> data;
  std::uint8_t checksum = 0;
};

// Walks an image front to back, one record at a time, without copying it.
// A walk that runs off the end of the image before the end marker stops and
// reports Truncated() instead of reading past the table.
class ImageWalker {
 public:
  constexpr explicit ImageWalker(std::span<const std::uint8_t> image) : image_(image) {}

  // The chip mask; an empty image selects no chip.
  [[nodiscard]] constexpr std::uint8_t ChipMask() const { return image_.empty() ? 0 : image_[0]; }

  // The next record, or nullopt at the end marker (or at a truncated end).
  // Once it has returned nullopt it keeps doing so.
  [[nodiscard]] constexpr std::optional<BlockRecord> Next() {
    if (finished_) {
      return std::nullopt;
    }
    if (position_ + 2 > image_.size()) {
      return Stop(true);
    }
    const auto number =
        static_cast<std::uint16_t>(image_[position_] | (image_[position_ + 1] << 8));
    if (number == kEndMarker) {
      return Stop(false);
    }
    if (position_ + kBlockRecordSize > image_.size()) {
      return Stop(true);
    }
    const BlockRecord record{position_, number,
                             image_.subspan(position_ + 2).first<kBlockDataSize>(),
                             image_[position_ + 2 + kBlockDataSize]};
    position_ += kBlockRecordSize;
    return record;
  }

  // Where the walk stands: the next record's offset, or the end marker's once
  // the walk has ended there.
  [[nodiscard]] constexpr std::size_t Position() const { return position_; }
  // True when the walk ended because the image stopped short of an end marker.
  [[nodiscard]] constexpr bool Truncated() const { return truncated_; }

 private:
  constexpr std::optional<BlockRecord> Stop(bool truncated) {
    finished_ = true;
    truncated_ = truncated;
    return std::nullopt;
  }

  std::span<const std::uint8_t> image_;
  std::size_t position_ = 1;
  bool finished_ = false;
  bool truncated_ = false;
};
