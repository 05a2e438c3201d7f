#include <QFontMetrics>
#include <QPainter>
#include <QRect>
#include <QString>

#include "Raster.h"
#include "widgets/GaugeMath.h"
#include "widgets/TGauge.h"

namespace {

using gauge_math::BarLength;
using gauge_math::NeedleAngle;
using gauge_math::OneMinusCos;
using gauge_math::OneMinusSin;
using gauge_math::PieAngle;

// Client rectangle with exclusive right and bottom edges.
struct Rect {
  int left;
  int top;
  int right;
  int bottom;
};

// Fills the whole bitmap black, as the first pass of every bitmap.
void BackgroundPass(TBltBitmap& bmp) {
  bmp.BitBlt(0, 0, bmp.Width(), bmp.Height(), nullptr, TRasterOp::BLACKNESS);
}

int ToInt(std::int64_t v) {
  constexpr std::int64_t kLimit = 1 << 30;  // far outside any bitmap
  return static_cast<int>(std::clamp(v, -kLimit, kLimit));
}

void DrawBar(TBltBitmap& b, const TGaugeLook& look, Rect r) {
  const int w = r.right - r.left + 1;
  const int h = r.bottom - r.top + 1;
  b.FillRect(r.left, r.top, r.right, r.bottom, look.backColor);
  if (look.kind == gkHorizontalBar) {
    std::int64_t edge = BarLength(w, look.percent);
    if (edge > w) {
      edge = w;
    }
    if (edge <= 0) {
      return;
    }
    // The edge is a coordinate, not a length added to the left side.
    b.FillRect(r.left, r.top, ToInt(edge), h, look.foreColor);
  } else {
    std::int64_t edge = BarLength(h, look.percent);
    if (edge >= h) {
      edge = h - 1;
    }
    b.FillRect(r.left, ToInt(h - edge), w, h, look.foreColor);
  }
}

void DrawPie(TBltBitmap& b, const TGaugeLook& look, Rect r) {
  const int extra = look.borderStyle == bsSingle ? 1 : 0;
  const int w = r.right - r.left + extra;
  const int h = r.bottom - r.top + extra;
  b.FillRect(r.left, r.top, r.right, r.bottom, look.color);
  const raster::Box box{r.left, r.top, w, h};
  raster::Ellipse(b, box, look.foreColor, look.backColor);
  if (look.percent > 0) {
    const int mx = w / 2;
    const int my = h / 2;
    const double a = PieAngle(look.percent);
    raster::Pie(b, box, ToInt(OneMinusCos(mx, a)), ToInt(OneMinusSin(my, a)), mx, 0, look.foreColor,
                look.foreColor);
  }
}

void DrawNeedle(TBltBitmap& b, const TGaugeLook& look, Rect r) {
  const int extra = look.borderStyle == bsSingle ? 1 : 0;
  const int x = r.left;
  const int y = r.top;
  const int w = r.right - r.left + extra;
  const int h = r.bottom - r.top + extra;
  b.FillRect(r.left, r.top, r.right, r.bottom, look.color);
  // Upper half of an ellipse twice as tall as R: a half disc on R's bottom.
  raster::Pie(b, raster::Box{x, y, w, 2 * h - 1}, x + w, r.bottom - 1, x, r.bottom - 1,
              look.foreColor, look.backColor);
  raster::Line(b, x, r.bottom, x + w, r.bottom, look.foreColor);
  if (look.percent > 0) {
    const int cx = look.width / 2;
    const int base = r.bottom - 1;
    const double a = NeedleAngle(look.percent);
    raster::Line(b, cx, base, ToInt(OneMinusCos(cx, a)), ToInt(OneMinusSin(base, a)),
                 look.foreColor);
  }
}

// Lays the percentage text, white on black, over `a` with XOR, so that every
// glyph pixel shows the inverse of what lies beneath it.
void TextOverlay(TBltBitmap& a, const TGaugeLook& look, Rect r, const QPalette& palette) {
  TBltBitmap t;
  t.MakeLike(a, palette);
  BackgroundPass(t);
  const QString text = QString::asprintf("%d%%", look.percent);

  QFont font = look.font;
  // Glyph pixels must be exactly white or black for the XOR to stay exact.
  font.setStyleStrategy(QFont::NoAntialias);
  {
    QPainter painter(&t.Image());
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.setRenderHint(QPainter::TextAntialiasing, false);
    painter.setFont(font);
    painter.setBrush(Qt::NoBrush);
    painter.setPen(Qt::white);
    const QFontMetrics metrics(painter.font(), &t.Image());
    const int textX = ((r.right - r.left + 1) - metrics.horizontalAdvance(text)) / 2;
    const int textY = ((r.bottom - r.top + 1) - metrics.height()) / 2;
    painter.setClipRect(QRect(r.left, r.top, r.right - r.left, r.bottom - r.top));
    painter.drawText(textX, textY + metrics.ascent(), text);
  }
  a.BitBlt(t, TRasterOp::SRCINVERT);
}

}  // namespace

QImage ComposeGauge(const TGaugeLook& look, const QPalette& palette) {
  if (look.width <= 0 || look.height <= 0) {
    return QImage();
  }
  TBltBitmap a(look.width, look.height);
  BackgroundPass(a);

  Rect r{0, 0, look.width, look.height};
  if (look.borderStyle == bsSingle) {
    r = Rect{1, 1, look.width - 1, look.height - 1};
  }

  {
    TBltBitmap b;
    b.MakeLike(a, palette);
    BackgroundPass(b);
    switch (look.kind) {
      case gkText:
        b.FillRect(r.left, r.top, r.right, r.bottom, look.backColor);
        break;
      case gkHorizontalBar:
      case gkVerticalBar:
        DrawBar(b, look, r);
        break;
      case gkPie:
        DrawPie(b, look, r);
        break;
      case gkNeedle:
        DrawNeedle(b, look, r);
        break;
    }
    a.BitBlt(b, TRasterOp::SRCINVERT);
    if (look.showText) {
      TextOverlay(a, look, r, palette);
    }
  }
  return a.Image();
}
