#include <algorithm>
#include <string>

#include "widgets/GaugeCanvas.h"
#include "widgets/GaugeMath.h"

namespace {

using gauge_math::BarLength;
using gauge_math::NeedleAngle;
using gauge_math::OneMinusCos;
using gauge_math::OneMinusSin;
using gauge_math::PieAngle;

// Fills the whole bitmap black, as the first pass of every bitmap.
void BackgroundPass(IGaugeCanvas& bmp) {
  bmp.BitBlt(0, 0, bmp.Width(), bmp.Height(), nullptr, TRasterOp::Blackness);
}

// A bitmap of the template's size filled with the window-frame system colour.
std::unique_ptr<IGaugeCanvas> MakeLike(const IGaugeCanvas& tmpl) {
  auto bmp = tmpl.CreateBitmap(tmpl.Width(), tmpl.Height());
  bmp->FillRect(TRect{0, 0, tmpl.Width(), tmpl.Height()}, clWindowFrame);
  return bmp;
}

int ToInt(std::int64_t v) {
  constexpr std::int64_t kLimit = 1 << 30;  // far outside any bitmap
  return static_cast<int>(std::clamp(v, -kLimit, kLimit));
}

void DrawBar(IGaugeCanvas& b, const TGaugeLook& look, const TRect& r) {
  const int w = r.right - r.left + 1;
  const int h = r.bottom - r.top + 1;
  b.FillRect(r, look.backColor);
  b.SetPen(look.foreColor);
  b.SetBrush(look.foreColor);
  if (look.kind == gkHorizontalBar) {
    std::int64_t edge = BarLength(w, look.percent);
    if (edge > w) {
      edge = w;
    }
    if (edge <= 0) {
      return;
    }
    // The edge is a coordinate, not a length added to the left side.
    b.FillRect(TRect{r.left, r.top, ToInt(edge), h}, look.foreColor);
  } else {
    std::int64_t edge = BarLength(h, look.percent);
    if (edge >= h) {
      edge = h - 1;
    }
    b.FillRect(TRect{r.left, ToInt(h - edge), w, h}, look.foreColor);
  }
}

void DrawPie(IGaugeCanvas& b, const TGaugeLook& look, const TRect& r) {
  const int extra = look.borderStyle == bsSingle ? 1 : 0;
  const int w = r.right - r.left + extra;
  const int h = r.bottom - r.top + extra;
  b.FillRect(r, look.color);
  b.SetBrush(look.backColor);
  b.SetPen(look.foreColor);
  const TRect box{r.left, r.top, w, h};
  b.Ellipse(box);
  if (look.percent > 0) {
    b.SetBrush(look.foreColor);
    const int mx = w / 2;
    const int my = h / 2;
    const double a = PieAngle(look.percent);
    b.Pie(box, ToInt(OneMinusCos(mx, a)), ToInt(OneMinusSin(my, a)), mx, 0);
  }
}

void DrawNeedle(IGaugeCanvas& b, const TGaugeLook& look, const TRect& r) {
  const int extra = look.borderStyle == bsSingle ? 1 : 0;
  const int x = r.left;
  const int y = r.top;
  const int w = r.right - r.left + extra;
  const int h = r.bottom - r.top + extra;
  b.FillRect(r, look.color);
  b.SetBrush(look.backColor);
  b.SetPen(look.foreColor);
  // Upper half of an ellipse twice as tall as R: a half disc on R's bottom.
  b.Pie(TRect{x, y, w, 2 * h - 1}, x + w, r.bottom - 1, x, r.bottom - 1);
  b.MoveTo(x, r.bottom);
  b.LineTo(x + w, r.bottom);
  if (look.percent > 0) {
    b.SetPen(look.foreColor);
    const int cx = look.width / 2;
    const int base = r.bottom - 1;
    b.MoveTo(cx, base);
    const double a = NeedleAngle(look.percent);
    b.LineTo(ToInt(OneMinusCos(cx, a)), ToInt(OneMinusSin(base, a)));
  }
}

// Lays the percentage text, white on black, over `a` with XOR, so that every
// glyph pixel shows the inverse of what lies beneath it.
void TextOverlay(IGaugeCanvas& a, const TGaugeLook& look, const TRect& r) {
  auto t = MakeLike(a);
  BackgroundPass(*t);
  const std::string text = std::to_string(look.percent) + "%";
  t->SetFontColor(clWhite);
  const TSize extent = t->TextExtent(text);
  // Offsets from the bitmap's corner, not from R's.
  const int x = ((r.right - r.left + 1) - extent.cx) / 2;
  const int y = ((r.bottom - r.top + 1) - extent.cy) / 2;
  // A gauge one pixel wide or high with a border has no inside: the text
  // would otherwise land on the frame.
  if (!r.Empty()) {
    t->TextRect(r, x, y, text);
  }
  a.BitBlt(0, 0, a.Width(), a.Height(), t.get(), TRasterOp::SrcInvert);
}

}  // namespace

void PaintGauge(IGaugeCanvas& target, const TGaugeLook& look) {
  if (look.width <= 0 || look.height <= 0) {
    return;
  }
  auto a = target.CreateBitmap(look.width, look.height);
  BackgroundPass(*a);

  TRect r{0, 0, look.width, look.height};
  if (look.borderStyle == bsSingle) {
    r = TRect{1, 1, look.width - 1, look.height - 1};
  }

  {
    auto b = MakeLike(*a);
    BackgroundPass(*b);
    switch (look.kind) {
      case gkText:
        b->FillRect(r, look.backColor);
        break;
      case gkHorizontalBar:
      case gkVerticalBar:
        DrawBar(*b, look, r);
        break;
      case gkPie:
        DrawPie(*b, look, r);
        break;
      case gkNeedle:
        DrawNeedle(*b, look, r);
        break;
    }
    a->BitBlt(0, 0, look.width, look.height, b.get(), TRasterOp::SrcInvert);
  }
  if (look.showText) {
    TextOverlay(*a, look, r);
  }
  target.BitBlt(0, 0, look.width, look.height, a.get(), TRasterOp::SrcCopy);
}
