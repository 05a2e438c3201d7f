#include "Raster.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>

namespace raster {
namespace {

// Products of doubled coordinates can pass 64 bits on the largest boxes.
__extension__ using Wide = __int128;

Wide FloorDiv(Wide n, Wide d) {
  if (d < 0) {
    n = -n;
    d = -d;
  }
  const Wide q = n / d;
  return (n % d != 0 && n < 0) ? q - 1 : q;
}

// Coordinates doubled and taken from the box centre, so that centres and
// radii of even and odd boxes are whole numbers. Pixel (x, y) has its centre
// at x + 0.5; the ellipse is the one inscribed in the continuous box, and a
// pixel belongs to it when its centre lies inside or on it.
struct Frame {
  explicit Frame(Box box)
      : cx2(std::int64_t{box.left} + box.right - 1),
        cy2(std::int64_t{box.top} + box.bottom - 1),
        rx2(std::int64_t{box.right} - box.left),
        ry2(std::int64_t{box.bottom} - box.top) {}

  std::int64_t Dx(std::int64_t x) const { return 2 * x - cx2; }
  std::int64_t Dy(std::int64_t y) const { return 2 * y - cy2; }

  // The columns of row `y` inside the ellipse, [first, last]; false if none.
  bool Row(std::int64_t y, std::int64_t& first, std::int64_t& last) const {
    const Wide dy = Dy(y);
    const Wide a = Wide{rx2} * rx2;
    const Wide b = Wide{ry2} * ry2;
    // dx^2 * b + dy^2 * a <= a * b, so dx^2 * b <= a * (b - dy^2).
    const Wide limit = a * (b - dy * dy);
    if (limit < 0) {
      return false;
    }
    // m: the largest |dx| that passes.
    auto m = static_cast<std::int64_t>(
        std::sqrt(static_cast<long double>(limit) / static_cast<long double>(b)));
    while (m > 0 && Wide{m} * m * b > limit) {
      --m;
    }
    while (Wide{m + 1} * (m + 1) * b <= limit) {
      ++m;
    }
    // dx = 2x - cx2 within [-m, m].
    first = static_cast<std::int64_t>(-FloorDiv(Wide{m} - cx2, 2));
    last = static_cast<std::int64_t>(FloorDiv(Wide{cx2} + m, 2));
    return first <= last;
  }

  std::int64_t cx2;
  std::int64_t cy2;
  std::int64_t rx2;
  std::int64_t ry2;
};

// A direction with y pointing up, so that counter-clockwise on the screen is
// the positive turn.
struct Vec {
  Wide x;
  Wide y;
};

Wide Cross(Vec u, Vec v) {
  return u.x * v.y - u.y * v.x;
}
Wide Dot(Vec u, Vec v) {
  return u.x * v.x + u.y * v.y;
}

// The sector from the start radial counter-clockwise to the end radial,
// decided by the signs of cross and dot products alone. A radial through the
// centre points to three o'clock.
class Sector {
 public:
  Sector(const Frame& f, int x1, int y1, int x2, int y2)
      : s_(Direction(f.Dx(x1), f.Dy(y1))), e_(Direction(f.Dx(x2), f.Dy(y2))) {
    whole_ = Cross(s_, e_) == 0 && Dot(s_, e_) > 0;  // coinciding radials
    endHalf_ = Half(e_);
  }

  bool Whole() const { return whole_; }
  const Vec& Start() const { return s_; }
  const Vec& End() const { return e_; }

  // Whether the pixel at the doubled offset (dx, dy) from the centre lies in
  // the sector; the centre itself always does.
  bool Contains(Wide dx, Wide dy) const {
    if (whole_ || (dx == 0 && dy == 0)) {
      return true;
    }
    const Vec p{dx, -dy};
    const int half = Half(p);
    return half < endHalf_ || (half == endHalf_ && Cross(p, e_) >= 0);
  }

 private:
  static Vec Direction(std::int64_t dx, std::int64_t dy) {
    if (dx == 0 && dy == 0) {
      return Vec{1, 0};
    }
    return Vec{dx, -Wide{dy}};
  }

  // 0 for turns from the start radial in [0, pi), 1 for [pi, 2 pi).
  int Half(Vec v) const {
    const Wide c = Cross(s_, v);
    return (c > 0 || (c == 0 && Dot(s_, v) > 0)) ? 0 : 1;
  }

  Vec s_;
  Vec e_;
  bool whole_ = false;
  int endHalf_ = 0;
};

// Closed runs of columns of one row, in ascending order.
struct Runs {
  static constexpr int kCapacity = 16;
  struct Run {
    std::int64_t first;
    std::int64_t last;
  };
  std::array<Run, kCapacity> run{};
  int count = 0;

  void Add(std::int64_t first, std::int64_t last) {
    if (count > 0 && run[static_cast<std::size_t>(count - 1)].last + 1 == first) {
      run[static_cast<std::size_t>(count - 1)].last = last;
    } else if (count < kCapacity) {
      run[static_cast<std::size_t>(count++)] = Run{first, last};
    }
  }
};

// The pixels of row `y` that belong to the figure: the ellipse's columns,
// cut by the sector when there is one. Along a row each product the sector
// test uses is linear in x, so the answer only changes next to the columns
// where one of them changes sign; between those it is the same for all.
Runs RowRuns(const Frame& f, const Box& box, const Sector* sector, std::int64_t y) {
  Runs runs;
  std::int64_t first = 0;
  std::int64_t last = 0;
  if (y < box.top || y >= box.bottom || !f.Row(y, first, last)) {
    return runs;
  }
  if (sector == nullptr || sector->Whole()) {
    runs.Add(first, last);
    return runs;
  }
  const Wide dy = f.Dy(y);
  const Vec s = sector->Start();
  const Vec e = sector->End();
  // Each product as c + k * x over the columns x of this row.
  const std::array<std::array<Wide, 2>, 3> lines = {{
      {-s.x * dy + s.y * f.cx2, -2 * s.y},  // cross(start, p)
      {-s.x * f.cx2 - s.y * dy, 2 * s.x},   // dot(start, p)
      {-e.y * f.cx2 + e.x * dy, 2 * e.y},   // cross(p, end)
  }};
  std::array<std::int64_t, 8> marks{};
  std::size_t markCount = 0;
  auto mark = [&](Wide x) {
    if (x >= first && x <= last) {
      marks[markCount++] = static_cast<std::int64_t>(x);
    }
  };
  for (const auto& [c, k] : lines) {
    if (k != 0) {
      const Wide root = FloorDiv(-c, k);
      mark(root);
      mark(root + 1);
    }
  }
  if (dy == 0 && f.cx2 % 2 == 0) {
    mark(f.cx2 / 2);  // the centre
  }
  // A handful of marks: insertion sort.
  for (std::size_t i = 1; i < markCount; ++i) {
    for (std::size_t j = i; j > 0 && marks[j - 1] > marks[j]; --j) {
      std::swap(marks[j - 1], marks[j]);
    }
  }
  auto in = [&](std::int64_t x) { return sector->Contains(f.Dx(x), dy); };
  std::int64_t pos = first;
  for (std::size_t i = 0; i < markCount; ++i) {
    const std::int64_t m = marks[i];
    if (m < pos) {
      continue;  // repeated mark
    }
    if (pos < m && in(pos)) {
      runs.Add(pos, m - 1);
    }
    if (in(m)) {
      runs.Add(m, m);
    }
    pos = m + 1;
  }
  if (pos <= last && in(pos)) {
    runs.Add(pos, last);
  }
  return runs;
}

// The parts of [first, last] covered by `runs`.
Runs Intersect(std::int64_t first, std::int64_t last, const Runs& runs) {
  Runs out;
  for (int i = 0; i < runs.count; ++i) {
    const auto& r = runs.run[static_cast<std::size_t>(i)];
    const std::int64_t a = std::max(first, r.first);
    const std::int64_t b = std::min(last, r.last);
    if (a <= b) {
      out.Add(a, b);
    }
  }
  return out;
}

void FillSpan(QRgb* line, int width, std::int64_t first, std::int64_t last, QRgb value) {
  first = std::max<std::int64_t>(first, 0);
  last = std::min<std::int64_t>(last, width - 1);
  if (first <= last) {
    std::fill(line + first, line + last + 1, value);
  }
}

// Paints the figure row by row over the rows of the image: a pixel whose
// four neighbours all belong to the figure takes the brush, the others the
// pen. Neighbours outside the image still count, so clipping changes nothing.
void PaintFigure(QImage& img, Box box, const Sector* sector, QRgb pen, QRgb brush) {
  if (box.right <= box.left || box.bottom <= box.top || img.isNull()) {
    return;
  }
  const Frame f(box);
  const std::int64_t top = std::max(box.top, 0);
  const std::int64_t bottom = std::min(box.bottom, img.height());
  if (top >= bottom) {
    return;
  }
  pen |= 0xFF000000u;
  brush |= 0xFF000000u;
  Runs above = RowRuns(f, box, sector, top - 1);
  Runs row = RowRuns(f, box, sector, top);
  for (std::int64_t y = top; y < bottom; ++y) {
    const Runs below = RowRuns(f, box, sector, y + 1);
    auto* line = reinterpret_cast<QRgb*>(img.scanLine(static_cast<int>(y)));
    for (int i = 0; i < row.count; ++i) {
      const auto& r = row.run[static_cast<std::size_t>(i)];
      // Inside: not at either end of the run, and covered above and below.
      Runs inner;
      const Runs up = Intersect(r.first + 1, r.last - 1, above);
      for (int j = 0; j < up.count; ++j) {
        const Runs both = Intersect(up.run[static_cast<std::size_t>(j)].first,
                                    up.run[static_cast<std::size_t>(j)].last, below);
        for (int k = 0; k < both.count; ++k) {
          inner.Add(both.run[static_cast<std::size_t>(k)].first,
                    both.run[static_cast<std::size_t>(k)].last);
        }
      }
      std::int64_t pos = r.first;
      for (int j = 0; j < inner.count; ++j) {
        const auto& in = inner.run[static_cast<std::size_t>(j)];
        FillSpan(line, img.width(), pos, in.first - 1, pen);
        FillSpan(line, img.width(), in.first, in.last, brush);
        pos = in.last + 1;
      }
      FillSpan(line, img.width(), pos, r.last, pen);
    }
    above = row;
    row = below;
  }
}

}  // namespace

void Ellipse(QImage& img, Box box, QRgb pen, QRgb brush) {
  PaintFigure(img, box, nullptr, pen, brush);
}

void Pie(QImage& img, Box box, int x1, int y1, int x2, int y2, QRgb pen, QRgb brush) {
  if (box.right <= box.left || box.bottom <= box.top) {
    return;
  }
  const Sector sector(Frame(box), x1, y1, x2, y2);
  PaintFigure(img, box, &sector, pen, brush);
}

void Line(QImage& img, int x0, int y0, int x1, int y1, QRgb pen) {
  const QRgb value = pen | 0xFF000000u;
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
