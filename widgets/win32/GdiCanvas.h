#pragma once

#include <windows.h>

#include <memory>

#include "widgets/GaugeCanvas.h"

// The gauge's drawing surface on Win32: a device context, either one the
// caller lends (the window's, on WM_PAINT) or a memory DC with its own
// compatible bitmap. Drawing is GDI's own: Ellipse, Pie, MoveToEx/LineTo,
// ExtTextOut clipped, BitBlt with the real raster operations. The pen is
// solid and one pixel wide, the brush solid, text is drawn with a clear
// background, and pies run counter-clockwise. GDI turns a reversed rectangle
// around (FillRect, Ellipse, Pie and the clip of ExtTextOut all draw into it),
// so empty rectangles and boxes are left out here, as the gauge requires.
class TGdiCanvas final : public IGaugeCanvas {
 public:
  // Draws on `dc` (not owned), which is width x height pixels; `font` (not
  // owned, may be null for the DC's own) is the font of the text and of every
  // bitmap made from this canvas.
  TGdiCanvas(HDC dc, int width, int height, HFONT font);
  ~TGdiCanvas() override;
  TGdiCanvas(const TGdiCanvas&) = delete;
  TGdiCanvas& operator=(const TGdiCanvas&) = delete;

  // A memory DC with a black bitmap compatible with `reference`. Throws
  // std::runtime_error if either cannot be made.
  static std::unique_ptr<TGdiCanvas> MemoryBitmap(HDC reference, int width, int height, HFONT font);

  HDC Dc() const { return dc_; }

  int Width() const override { return width_; }
  int Height() const override { return height_; }
  std::unique_ptr<IGaugeCanvas> CreateBitmap(int width, int height) const override;
  void FillRect(const TRect& r, TColor color) override;
  void BitBlt(int x, int y, int width, int height, const IGaugeCanvas* src, TRasterOp op) override;
  void SetPen(TColor color) override;
  void SetBrush(TColor color) override;
  void Ellipse(const TRect& box) override;
  void Pie(const TRect& box, int x1, int y1, int x2, int y2) override;
  void MoveTo(int x, int y) override;
  void LineTo(int x, int y) override;
  void SetFontColor(TColor color) override;
  TSize TextExtent(std::string_view text) override;
  void TextRect(const TRect& clip, int x, int y, std::string_view text) override;

  // The COLORREF a colour value stands for; system colours from GetSysColor.
  static COLORREF Resolve(TColor color);

 private:
  TGdiCanvas(HDC dc, HBITMAP bitmap, int width, int height, HFONT font);
  void Prepare();

  HDC dc_;
  HBITMAP bitmap_;  // owned with dc_ when not null
  int width_;
  int height_;
  HFONT font_;
  HPEN pen_ = nullptr;      // owned, selected
  HBRUSH brush_ = nullptr;  // owned, selected
  int savedState_ = 0;
};
