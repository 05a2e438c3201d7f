#pragma once

#include <QColor>
#include <QImage>
#include <QPalette>
#include <QRect>

#include "widgets/GaugeCanvas.h"
#include "widgets/QtColor.h"
#include "widgets/TColor.h"

// An off-screen bitmap the gauge composes its picture in. Pixels are 32-bit
// RGB with opaque alpha; every drawing operation clips to the bitmap.
//
// Most of a gauge's bitmaps are one colour over most of their area (a black
// background, a frame), so the bitmap stores pixels only for the rectangle
// drawn into so far and keeps one colour for all the others. Whole-bitmap
// fills and transfers are then cheap, and an overlay touches only its part.
class TBltBitmap {
 public:
  TBltBitmap() = default;
  TBltBitmap(int width, int height);

  int Width() const { return width_; }
  int Height() const { return height_; }
  // A new size; the bitmap becomes black.
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

  QColor PixelColor(int x, int y) const { return QColor::fromRgb(PixelAt(x, y)); }
  std::uint32_t Pixel(int x, int y) const { return PixelAt(x, y) & 0xFFFFFFu; }

  // The whole picture (null for an empty bitmap).
  QImage& Image();
  const QImage& Image() const;
  // The picture for drawing within `area` only (clipped to the bitmap):
  // pixels outside `area` may not hold the picture and must not be drawn.
  QImage& ImageFor(const QRect& area);

  // Hands the pixel memory over for reuse by a bitmap of the same size, and
  // takes such memory: a paint repeated at one size then needs no new memory.
  QImage TakeBuffer();
  void AdoptBuffer(QImage buffer);

 private:
  QRgb PixelAt(int x, int y) const;
  // Makes the stored pixels cover `area` (clipped to the bitmap); with
  // `overwritten`, the caller is about to write every pixel of `area`.
  void Cover(const QRect& area, bool overwritten = false) const;
  QRect Whole() const { return QRect(0, 0, width_, height_); }
  void FillUniform(QRgb value);

  int width_ = 0;
  int height_ = 0;
  // Stored pixels are those of `valid_` in `image_`; every other pixel is `fill_`.
  mutable QImage image_;
  mutable QRect valid_;
  QRgb fill_ = 0xFF000000u;
};
