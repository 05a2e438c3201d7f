// Block transfers and colour resolution of the off-screen bitmap.
#include <gtest/gtest.h>

#include "widgets/TBltBitmap.h"
#include "widgets/TColor.h"

namespace {

TEST(BltBitmap, RasterOperationsCombineAsNamed) {
  TBltBitmap src(4, 3);
  src.FillRect(0, 0, 4, 3, QColor(0x12, 0x34, 0x56));
  src.FillRect(2, 0, 4, 3, QColor(0xFF, 0xFF, 0xFF));

  TBltBitmap dst(4, 3);
  dst.FillRect(0, 0, 4, 3, QColor(0xF0, 0x0F, 0xAA));
  dst.BitBlt(src, TRasterOp::SrcInvert);
  EXPECT_EQ(dst.Pixel(0, 0), 0x123456u ^ 0xF00FAAu);
  EXPECT_EQ(dst.Pixel(3, 2), 0xFFFFFFu ^ 0xF00FAAu);
  dst.BitBlt(src, TRasterOp::SrcInvert);  // XOR twice restores
  EXPECT_EQ(dst.Pixel(1, 1), 0xF00FAAu);

  dst.BitBlt(src, TRasterOp::SrcCopy);
  EXPECT_EQ(dst.Pixel(1, 1), 0x123456u);
  EXPECT_EQ(dst.Pixel(2, 1), 0xFFFFFFu);

  dst.BitBlt(1, 1, 2, 5, nullptr, TRasterOp::Blackness);  // clipped to the bitmap
  EXPECT_EQ(dst.Pixel(1, 1), 0u);
  EXPECT_EQ(dst.Pixel(2, 2), 0u);
  EXPECT_EQ(dst.Pixel(0, 1), 0x123456u);
  EXPECT_EQ(dst.Pixel(3, 1), 0xFFFFFFu);
  EXPECT_EQ(dst.Pixel(1, 0), 0x123456u);
}

TEST(BltBitmap, TransferAtAnOffsetClipsToBothBitmaps) {
  TBltBitmap src(3, 3);
  src.FillRect(0, 0, 3, 3, QColor(0xFF, 0, 0));
  src.FillRect(0, 0, 1, 1, QColor(0, 0xFF, 0));
  TBltBitmap dst(4, 4);
  dst.BitBlt(2, 2, 10, 10, &src, TRasterOp::SrcCopy);
  EXPECT_EQ(dst.Pixel(2, 2), 0x00FF00u);  // source's top-left lands at (2, 2)
  EXPECT_EQ(dst.Pixel(3, 3), 0xFF0000u);
  EXPECT_EQ(dst.Pixel(1, 1), 0u);
  dst.BitBlt(-2, -2, 3, 3, &src, TRasterOp::SrcCopy);
  EXPECT_EQ(dst.Pixel(0, 0), 0xFF0000u);  // source pixel (2, 2)
  EXPECT_EQ(dst.Pixel(1, 0), 0u);
}

TEST(BltBitmap, MakeLikeTakesSizeAndWindowFrameColour) {
  QPalette pal;
  pal.setColor(QPalette::Active, QPalette::WindowText, QColor(1, 2, 3));
  TBltBitmap tmpl(7, 5);
  TBltBitmap b(2, 2);
  b.MakeLike(tmpl, pal);
  EXPECT_EQ(b.Width(), 7);
  EXPECT_EQ(b.Height(), 5);
  EXPECT_EQ(b.Pixel(0, 0), ResolveColor(clWindowFrame, pal).rgb() & 0xFFFFFFu);
  EXPECT_EQ(b.Pixel(6, 4), 0x010203u);
}

TEST(Colours, ExplicitValuesHoldRedLowAndSystemValuesUseThePalette) {
  const QPalette pal;
  EXPECT_EQ(ResolveColor(clBlue, pal), QColor(0, 0, 255));
  EXPECT_EQ(ResolveColor(0x00123456u, pal), QColor(0x56, 0x34, 0x12));
  EXPECT_EQ(ColorToTColor(QColor(0x56, 0x34, 0x12)), 0x123456u);
  EXPECT_EQ(ResolveColor(clBtnFace, pal), pal.color(QPalette::Active, QPalette::Button));
  EXPECT_EQ(ResolveColor(clSystemColor | 0xFF, pal), QColor(0, 0, 0));
}

}  // namespace
