#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "widgets/GaugeModel.h"
#include "widgets/TColor.h"

// A rectangle with exclusive right and bottom edges. One whose right edge is
// not beyond its left edge, or whose bottom is not below its top, is empty:
// nothing is drawn into it, and it is never turned around.
struct TRect {
  int left = 0;
  int top = 0;
  int right = 0;
  int bottom = 0;

  bool Empty() const { return right <= left || bottom <= top; }
};

struct TSize {
  int cx = 0;
  int cy = 0;
};

// Raster operations of a block transfer, with the codes of BLACKNESS,
// SRCCOPY and SRCINVERT (names Windows headers take as macros).
enum class TRasterOp : std::uint32_t {
  Blackness = 0x00000042,  // destination becomes black
  SrcCopy = 0x00CC0020,    // destination becomes the source
  SrcInvert = 0x00660046,  // destination becomes destination XOR source
};

// A drawing target of the gauge's paint: an off-screen bitmap or the gauge's
// place on the screen, with its drawing state (pen, brush, font colour, the
// current point). Each platform supplies one (a QImage, a GDI memory DC).
// Colour values resolve system colours when drawn. Everything clips to the
// target; the pixel rules of ellipse, pie and line are the platform's:
// outlines one pixel wide in the pen and lying inside the box, interiors in
// the brush, right and bottom edges of boxes and end points of lines excluded.
class IGaugeCanvas {
 public:
  virtual ~IGaugeCanvas() = default;

  virtual int Width() const = 0;
  virtual int Height() const = 0;

  // A new black off-screen bitmap of the same platform, font and colour
  // resolution. Throws when the bitmap cannot be made.
  virtual std::unique_ptr<IGaugeCanvas> CreateBitmap(int width, int height) const = 0;

  // Fills `r` with a solid colour.
  virtual void FillRect(const TRect& r, TColor color) = 0;
  // Block transfer of `src` (a canvas of the same platform; its top-left
  // corner) onto this canvas at (x, y); BLACKNESS ignores the source.
  virtual void BitBlt(int x, int y, int width, int height, const IGaugeCanvas* src,
                      TRasterOp op) = 0;

  // Solid pen one pixel wide; solid brush.
  virtual void SetPen(TColor color) = 0;
  virtual void SetBrush(TColor color) = 0;
  // Ellipse inscribed in `box`: outline in the pen, interior in the brush.
  virtual void Ellipse(const TRect& box) = 0;
  // Sector of the ellipse inscribed in `box`, running counter-clockwise on
  // the screen from the radial through (x1, y1) to the radial through
  // (x2, y2); the whole ellipse when the radials coincide.
  virtual void Pie(const TRect& box, int x1, int y1, int x2, int y2) = 0;
  // Line in the pen from the current point to (x, y), end point excluded;
  // (x, y) becomes the current point.
  virtual void MoveTo(int x, int y) = 0;
  virtual void LineTo(int x, int y) = 0;

  // Text in the canvas's font, with a clear brush (its background is left
  // as it is) and the given font colour.
  virtual void SetFontColor(TColor color) = 0;
  virtual TSize TextExtent(std::string_view text) = 0;
  // Draws `text` with its top-left corner at (x, y), clipped to `clip`.
  virtual void TextRect(const TRect& clip, int x, int y, std::string_view text) = 0;
};

// Paints the gauge described by `look` onto `target`: the picture is composed
// in off-screen bitmaps made by `target` and copied onto it in one transfer.
// Bitmaps are freed also when a step throws.
void PaintGauge(IGaugeCanvas& target, const TGaugeLook& look);
