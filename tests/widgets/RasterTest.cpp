// The row-by-row ellipse and pie against a plain per-pixel version of the same
// rules (angles by atan2 over every pixel of the box), on boxes that fit, that
// stick out of the bitmap and that are larger than it.
#include <gtest/gtest.h>

#include <QImage>
#include <cmath>
#include <numbers>
#include <vector>

#include "Raster.h"

namespace {

constexpr QRgb kPen = 0xFF0000FFu;
constexpr QRgb kBrush = 0xFFFFFF00u;
constexpr QRgb kPaper = 0xFF000000u;

// Per-pixel reference: a pixel is in the figure when its centre lies in the
// ellipse inscribed in the box and, for a pie, its angle from the start radial
// (counter-clockwise) is not beyond the end radial's; it takes the pen when a
// 4-neighbour is not in the figure.
QImage Reference(int width, int height, raster::Box box, const int* radials) {
  const long double cx2 = box.left + box.right - 1;
  const long double cy2 = box.top + box.bottom - 1;
  const long double a = static_cast<long double>(box.right - box.left) * (box.right - box.left);
  const long double b = static_cast<long double>(box.bottom - box.top) * (box.bottom - box.top);
  auto angle = [&](int x, int y) {
    return std::atan2(static_cast<double>(-(2.0L * y - cy2)), static_cast<double>(2.0L * x - cx2));
  };
  auto norm = [](double v) {
    constexpr double kTurn = 2.0 * std::numbers::pi;
    double r = std::fmod(v, kTurn);
    return r < 0.0 ? r + kTurn : r;
  };
  double start = 0.0;
  double span = 2.0 * std::numbers::pi;
  if (radials != nullptr) {
    start = angle(radials[0], radials[1]);
    span = norm(angle(radials[2], radials[3]) - start);
    if (span == 0.0) span = 2.0 * std::numbers::pi;
  }
  auto in = [&](int x, int y) {
    if (x < box.left || x >= box.right || y < box.top || y >= box.bottom) return false;
    const long double dx = 2.0L * x - cx2;
    const long double dy = 2.0L * y - cy2;
    if (dx * dx * b + dy * dy * a > a * b) return false;
    return radials == nullptr || (dx == 0 && dy == 0) || norm(angle(x, y) - start) <= span;
  };
  QImage img(width, height, QImage::Format_RGB32);
  img.fill(kPaper);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      if (in(x, y)) {
        const bool edge = !in(x - 1, y) || !in(x + 1, y) || !in(x, y - 1) || !in(x, y + 1);
        img.setPixel(x, y, edge ? kPen : kBrush);
      }
    }
  }
  return img;
}

int CountDifferences(const QImage& a, const QImage& b) {
  int count = 0;
  for (int y = 0; y < a.height(); ++y) {
    for (int x = 0; x < a.width(); ++x) count += a.pixel(x, y) != b.pixel(x, y);
  }
  return count;
}

TEST(Raster, EllipseAndPieMatchThePerPixelRules) {
  struct Case {
    int width, height;
    raster::Box box;
  };
  const Case cases[] = {
      {40, 30, {1, 1, 39, 29}},    {41, 31, {0, 0, 41, 31}},     {9, 9, {1, 1, 8, 8}},
      {2, 7, {1, 1, 2, 6}},        {60, 40, {1, 1, 60, 79}},     {50, 20, {-30, -5, 80, 40}},
      {33, 33, {10, 12, 200, 90}}, {64, 48, {-100, -100, 5, 7}}, {17, 61, {1, 1, 17, 121}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.width << "x" << c.height << " box " << c.box.left << ","
                                      << c.box.top << "," << c.box.right << "," << c.box.bottom);
    QImage fast(c.width, c.height, QImage::Format_RGB32);
    fast.fill(kPaper);
    raster::Ellipse(fast, c.box, kPen, kBrush);
    EXPECT_EQ(CountDifferences(fast, Reference(c.width, c.height, c.box, nullptr)), 0);

    const int mx = (c.box.right - c.box.left) / 2 + c.box.left;
    const int my = (c.box.bottom - c.box.top) / 2 + c.box.top;
    // Start and end radials through the box corners, edge midpoints, the
    // centre itself and points that lie exactly on one radial.
    const int points[][2] = {{mx, c.box.top},  {c.box.right, my},       {mx, c.box.bottom},
                             {c.box.left, my}, {c.box.left, c.box.top}, {c.box.right, c.box.bottom},
                             {mx, my},         {mx + 3, my - 7},        {mx - 6, my + 14}};
    for (const auto& s : points) {
      for (const auto& e : points) {
        const int radials[] = {s[0], s[1], e[0], e[1]};
        fast.fill(kPaper);
        raster::Pie(fast, c.box, s[0], s[1], e[0], e[1], kPen, kBrush);
        ASSERT_EQ(CountDifferences(fast, Reference(c.width, c.height, c.box, radials)), 0)
            << "pie from " << s[0] << "," << s[1] << " to " << e[0] << "," << e[1];
      }
    }
  }
}

}  // namespace
