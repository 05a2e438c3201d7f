#pragma once

#include <QColor>
#include <QImage>
#include <QPalette>
#include <QRect>

#include "widgets/TColor.h"

// Raster operations of a block transfer.
enum class TRasterOp : std::uint32_t {
  BLACKNESS = 0x00000042,  // destination becomes black
  SRCCOPY = 0x00CC0020,    // destination becomes the source
  SRCINVERT = 0x00660046,  // destination becomes destination XOR source
};

// An off-screen bitmap the gauge composes its picture in. Pixels are 32-bit
// RGB with opaque alpha; every drawing operation clips to the bitmap.
class TBltBitmap {
 public:
  TBltBitmap() = default;
  TBltBitmap(int width, int height);

  int Width() const { return image_.width(); }
  int Height() const { return image_.height(); }
  void SetSize(int width, int height);

  // Takes the width and height of `tmpl` and fills the whole bitmap with the
  // window-frame system colour, resolved from `palette`.
  void MakeLike(const TBltBitmap& tmpl, const QPalette& palette);
  // Same, with the application's current palette.
  void MakeLike(const TBltBitmap& tmpl);

  // Block transfer of `src` (its top-left corner) onto this bitmap at (x, y),
  // `width` x `height` pixels; BLACKNESS ignores the source.
  void BitBlt(int x, int y, int width, int height, const TBltBitmap* src, TRasterOp op);
  // Block transfer of the whole of `src` to (0, 0).
  void BitBlt(const TBltBitmap& src, TRasterOp op);

  // Fills the rectangle [left, right) x [top, bottom).
  void FillRect(const QRect& r, QColor c);
  void FillRect(int left, int top, int right, int bottom, QColor c);

  QColor PixelColor(int x, int y) const { return image_.pixelColor(x, y); }
  std::uint32_t Pixel(int x, int y) const { return image_.pixel(x, y) & 0xFFFFFFu; }

  QImage& Image() { return image_; }
  const QImage& Image() const { return image_; }

 private:
  QImage image_;
};
