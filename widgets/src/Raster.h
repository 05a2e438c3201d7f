#pragma once

#include <QColor>

#include "widgets/TBltBitmap.h"

// Drawing primitives with the pixel rules the gauge relies on: boxes exclude
// their right and bottom edges, lines exclude their end point, outlines are
// one pixel wide and lie inside the box, interiors take the brush. Everything
// clips to the bitmap.
namespace raster {

struct Box {
  int left;
  int top;
  int right;   // exclusive
  int bottom;  // exclusive
};

// Ellipse inscribed in `box`: outline in `pen`, interior in `brush`.
void Ellipse(TBltBitmap& bmp, Box box, QColor pen, QColor brush);

// Sector of the ellipse inscribed in `box`, running counter-clockwise on the
// screen from the radial through (x1, y1) to the radial through (x2, y2); the
// whole ellipse when the two radials coincide. Outline (arc and radials) in
// `pen`, interior in `brush`.
void Pie(TBltBitmap& bmp, Box box, int x1, int y1, int x2, int y2, QColor pen, QColor brush);

// Line from (x0, y0) towards (x1, y1), the end point excluded.
void Line(TBltBitmap& bmp, int x0, int y0, int x1, int y1, QColor pen);

}  // namespace raster
