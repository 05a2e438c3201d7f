#pragma once

#include <QImage>

// Drawing primitives of the QImage surface with the pixel rules the gauge
// relies on: boxes exclude their right and bottom edges, lines exclude their
// end point, outlines are one pixel wide and lie inside the box, interiors
// take the brush. Only pixels inside the image are visited, so the cost
// follows the visible part of a figure, not the size of its box.
namespace raster {

struct Box {
  int left;
  int top;
  int right;   // exclusive
  int bottom;  // exclusive
};

// Ellipse inscribed in `box`: outline in `pen`, interior in `brush`. An
// empty box (right <= left or bottom <= top) draws nothing.
void Ellipse(QImage& img, Box box, QRgb pen, QRgb brush);

// Sector of the ellipse inscribed in `box`, running counter-clockwise on the
// screen from the radial through (x1, y1) to the radial through (x2, y2); the
// whole ellipse when the two radials coincide. Outline (arc and radials) in
// `pen`, interior in `brush`.
void Pie(QImage& img, Box box, int x1, int y1, int x2, int y2, QRgb pen, QRgb brush);

// Line from (x0, y0) towards (x1, y1), the end point excluded.
void Line(QImage& img, int x0, int y0, int x1, int y1, QRgb pen);

}  // namespace raster
