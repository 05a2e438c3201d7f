#pragma once

#include <QFont>
#include <QPalette>
#include <memory>
#include <vector>

#include "widgets/GaugeCanvas.h"
#include "widgets/TBltBitmap.h"

// The gauge's drawing surface on Qt: a TBltBitmap (QImage) with our own
// ellipse, pie and line code and QPainter for the text. System colours
// resolve from the palette it was made with.
class TQtPixelStore;

class TQtCanvas final : public IGaugeCanvas {
 public:
  // `store`, if given, lends and takes back pixel memory; it must outlive
  // this canvas and every bitmap made from it. The text is drawn in `font`
  // made `textScale` times as large (for a screen with that many device
  // pixels to one of the font's pixels).
  TQtCanvas(int width, int height, const QFont& font, const QPalette& palette,
            TQtPixelStore* store = nullptr, qreal textScale = 1.0);
  ~TQtCanvas() override;
  TQtCanvas(const TQtCanvas&) = delete;
  TQtCanvas& operator=(const TQtCanvas&) = delete;

  TBltBitmap& Bitmap() { return bitmap_; }

  int Width() const override { return bitmap_.Width(); }
  int Height() const override { return bitmap_.Height(); }
  std::unique_ptr<IGaugeCanvas> CreateBitmap(int width, int height) const override;
  void FillRect(const TRect& r, TColor color) override;
  void BitBlt(int x, int y, int width, int height, const IGaugeCanvas* src, TRasterOp op) override;
  void SetPen(TColor color) override { pen_ = color; }
  void SetBrush(TColor color) override { brush_ = color; }
  void Ellipse(const TRect& box) override;
  void Pie(const TRect& box, int x1, int y1, int x2, int y2) override;
  void MoveTo(int x, int y) override;
  void LineTo(int x, int y) override;
  void SetFontColor(TColor color) override { fontColor_ = color; }
  TSize TextExtent(std::string_view text) override;
  void TextRect(const TRect& clip, int x, int y, std::string_view text) override;

 private:
  QRgb Resolve(TColor color) const;

  TBltBitmap bitmap_;
  QFont font_;
  QPalette palette_;
  QImage metricsDevice_;
  TQtPixelStore* store_;  // a device like the bitmaps, for measuring text
  TColor pen_ = clBlack;
  TColor brush_ = clWhite;
  TColor fontColor_ = clBlack;
  int penX_ = 0;
  int penY_ = 0;
};

// Pixel memory of one gauge's bitmaps kept from one paint to the next, so a
// repaint at the same size does not fault in fresh memory for every bitmap.
class TQtPixelStore {
 public:
  // Memory for a width x height bitmap, or a null image.
  QImage Take(int width, int height);
  void Give(QImage buffer);

 private:
  static constexpr qsizetype kKeptBytes = 64 * 1024 * 1024;
  std::vector<QImage> buffers_;
};
