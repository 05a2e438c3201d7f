#include "Raster.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <numbers>
#include <vector>

namespace raster {
namespace {

// A pixel mask over a box; pixels outside the box count as unset.
class Mask {
 public:
  explicit Mask(Box box)
      : box_(box),
        width_(std::max(box.right - box.left, 0)),
        height_(std::max(box.bottom - box.top, 0)),
        bits_(static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_), 0) {}

  int Width() const { return width_; }
  int Height() const { return height_; }
  bool At(int col, int row) const {
    if (col < 0 || row < 0 || col >= width_ || row >= height_) {
      return false;
    }
    return bits_[Index(col, row)] != 0;
  }
  void Set(int col, int row) { bits_[Index(col, row)] = 1; }

  // Paints set pixels: those with a 4-neighbour outside the mask in `pen`,
  // the others in `brush`.
  void Paint(TBltBitmap& bmp, QColor pen, QColor brush) const {
    QImage& img = bmp.Image();
    const QRgb penValue = pen.rgb() | 0xFF000000u;
    const QRgb brushValue = brush.rgb() | 0xFF000000u;
    for (int row = 0; row < height_; ++row) {
      const int y = box_.top + row;
      if (y < 0 || y >= img.height()) {
        continue;
      }
      auto* line = reinterpret_cast<QRgb*>(img.scanLine(y));
      for (int col = 0; col < width_; ++col) {
        const int x = box_.left + col;
        if (x < 0 || x >= img.width() || !At(col, row)) {
          continue;
        }
        const bool edge =
            !At(col - 1, row) || !At(col + 1, row) || !At(col, row - 1) || !At(col, row + 1);
        line[x] = edge ? penValue : brushValue;
      }
    }
  }

 private:
  std::size_t Index(int col, int row) const {
    return static_cast<std::size_t>(row) * static_cast<std::size_t>(width_) +
           static_cast<std::size_t>(col);
  }

  Box box_;
  int width_;
  int height_;
  std::vector<std::uint8_t> bits_;
};

// Coordinates doubled and taken from the box centre, so that centres and
// radii of even and odd boxes are whole numbers. Pixel (x, y) has its centre
// at x + 0.5; the ellipse is the one inscribed in the continuous box.
struct Frame {
  explicit Frame(Box box)
      : cx2(box.left + box.right - 1),
        cy2(box.top + box.bottom - 1),
        rx2(box.right - box.left),
        ry2(box.bottom - box.top) {}

  long double Dx(int x) const { return 2.0L * x - cx2; }
  long double Dy(int y) const { return 2.0L * y - cy2; }
  bool Inside(int x, int y) const {
    const long double dx = Dx(x);
    const long double dy = Dy(y);
    const long double a = static_cast<long double>(rx2) * rx2;
    const long double b = static_cast<long double>(ry2) * ry2;
    return dx * dx * b + dy * dy * a <= a * b;
  }

  int cx2;
  int cy2;
  int rx2;
  int ry2;
};

// Screen angle of a doubled direction, counter-clockwise from three o'clock.
double ScreenAngle(long double dx, long double dy) {
  return std::atan2(static_cast<double>(-dy), static_cast<double>(dx));
}

double Normalised(double angle) {
  constexpr double kTurn = 2.0 * std::numbers::pi;
  double r = std::fmod(angle, kTurn);
  if (r < 0.0) {
    r += kTurn;
  }
  return r;
}

}  // namespace

void Ellipse(TBltBitmap& bmp, Box box, QColor pen, QColor brush) {
  Mask mask(box);
  const Frame frame(box);
  for (int row = 0; row < mask.Height(); ++row) {
    for (int col = 0; col < mask.Width(); ++col) {
      if (frame.Inside(box.left + col, box.top + row)) {
        mask.Set(col, row);
      }
    }
  }
  mask.Paint(bmp, pen, brush);
}

void Pie(TBltBitmap& bmp, Box box, int x1, int y1, int x2, int y2, QColor pen, QColor brush) {
  Mask mask(box);
  const Frame frame(box);
  const double start = ScreenAngle(frame.Dx(x1), frame.Dy(y1));
  const double end = ScreenAngle(frame.Dx(x2), frame.Dy(y2));
  double span = Normalised(end - start);
  if (span == 0.0) {
    span = 2.0 * std::numbers::pi;  // coinciding radials: the whole ellipse
  }
  for (int row = 0; row < mask.Height(); ++row) {
    for (int col = 0; col < mask.Width(); ++col) {
      const int x = box.left + col;
      const int y = box.top + row;
      if (!frame.Inside(x, y)) {
        continue;
      }
      const long double dx = frame.Dx(x);
      const long double dy = frame.Dy(y);
      if ((dx == 0.0L && dy == 0.0L) || Normalised(ScreenAngle(dx, dy) - start) <= span) {
        mask.Set(col, row);
      }
    }
  }
  mask.Paint(bmp, pen, brush);
}

void Line(TBltBitmap& bmp, int x0, int y0, int x1, int y1, QColor pen) {
  QImage& img = bmp.Image();
  const QRgb value = pen.rgb() | 0xFF000000u;
  const int dx = std::abs(x1 - x0);
  const int dy = -std::abs(y1 - y0);
  const int sx = x0 < x1 ? 1 : -1;
  const int sy = y0 < y1 ? 1 : -1;
  int err = dx + dy;
  int x = x0;
  int y = y0;
  while (x != x1 || y != y1) {
    if (x >= 0 && y >= 0 && x < img.width() && y < img.height()) {
      reinterpret_cast<QRgb*>(img.scanLine(y))[x] = value;
    }
    const int e2 = 2 * err;
    if (e2 >= dy) {
      err += dy;
      x += sx;
    }
    if (e2 <= dx) {
      err += dx;
      y += sy;
    }
  }
}

}  // namespace raster
