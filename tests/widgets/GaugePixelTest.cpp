// Pixel checks on composed gauge pictures.
#include <gtest/gtest.h>

#include <QImage>
#include <set>

#include "widgets/TGauge.h"

namespace {

constexpr QRgb kBlack = 0x000000;
constexpr QRgb kWhite = 0xFFFFFF;
constexpr QRgb kBlue = 0x0000FF;  // as QRgb: blue in the low byte
constexpr QRgb kYellow = 0xFFFF00;
constexpr QRgb kSilver = 0xC0C0C0;
constexpr QRgb kRed = 0xFF0000;

struct Look {
  TGaugeKind kind = gkHorizontalBar;
  int width = 100;
  int height = 100;
  TBorderStyle border = bsSingle;
  TColor fore = clBlack;
  TColor back = clWhite;
  TColor color = clSilver;
  std::int32_t max = 100;
  std::int32_t progress = 0;
  bool text = false;
};

QImage Render(const Look& s) {
  TGauge g;
  g.resize(s.width, s.height);
  g.SetKind(s.kind);
  g.SetBorderStyle(s.border);
  g.SetForeColor(s.fore);
  g.SetBackColor(s.back);
  g.SetColor(s.color);
  g.SetShowText(s.text);
  g.SetMaxValue(s.max);
  g.SetProgress(s.progress);
  QFont font = g.font();
  font.setPixelSize(11);
  g.setFont(font);
  return g.RenderImage();
}

QRgb At(const QImage& img, int x, int y) {
  return img.pixel(x, y) & 0xFFFFFFu;
}

// Columns of row `y` that hold `rgb`, as [first, last]; {-1, -1} if none.
std::pair<int, int> Span(const QImage& img, int y, QRgb rgb) {
  int first = -1;
  int last = -1;
  for (int x = 0; x < img.width(); ++x) {
    if (At(img, x, y) == rgb) {
      if (first < 0) first = x;
      last = x;
    }
  }
  return {first, last};
}

TEST(GaugeBar, UpdateWindowGaugeFillsExactColumns) {
  Look s{.kind = gkHorizontalBar, .width = 265, .height = 17, .fore = clBlue, .max = 1014};
  s.progress = 507;
  QImage half = Render(s);
  for (int y = 1; y <= 15; ++y) {
    EXPECT_EQ(Span(half, y, kBlue), std::make_pair(1, 131)) << "row " << y;
    EXPECT_EQ(At(half, 132, y), kWhite);
  }
  s.progress = 1014;
  QImage full = Render(s);
  for (int y = 0; y < 17; ++y) {
    for (int x = 0; x < 265; ++x) {
      const bool frame = x == 0 || y == 0 || x == 264 || y == 16;
      ASSERT_EQ(At(full, x, y), frame ? kBlack : kBlue) << x << "," << y;
    }
  }
}

TEST(GaugeBar, NarrowBarShowsTruncatedEdges) {
  // 11 wide with a single border: W = 10, the bar starts at column 1.
  const int filledUpTo[] = {-1, -1, 1, 2, 4, 4, 6, 6, 8, 9};  // last blue column
  for (int i = 0; i < 10; ++i) {
    const int percent = (i + 1) * 10;
    QImage img = Render({.width = 11, .height = 5, .fore = clBlue, .progress = percent});
    const int last = Span(img, 2, kBlue).second;
    EXPECT_EQ(last, filledUpTo[i]) << percent << "%";
  }
}

TEST(GaugeBar, EmptyRangeShowsEmptyBarAndZeroText) {
  TGauge g;
  g.resize(60, 20);
  g.SetMaxValue(0);
  g.SetForeColor(clBlue);
  EXPECT_EQ(g.PercentDone(), 0);
  QImage img = g.RenderImage();
  std::set<QRgb> inside;
  for (int y = 1; y < 19; ++y) {
    for (int x = 1; x < 59; ++x) inside.insert(At(img, x, y));
  }
  // White background and the black text, nothing of the bar.
  EXPECT_EQ(inside, (std::set<QRgb>{kWhite, kBlack}));
}

TEST(GaugeBar, VerticalBarGrowsFromTheBottom) {
  QImage full =
      Render({.kind = gkVerticalBar, .width = 10, .height = 30, .fore = clBlue, .progress = 100});
  for (int y = 1; y <= 28; ++y) EXPECT_EQ(Span(full, y, kBlue), std::make_pair(1, 8)) << y;
  QImage half =
      Render({.kind = gkVerticalBar, .width = 10, .height = 30, .fore = clBlue, .progress = 50});
  // H = 29, h = 14: rows 15..28 blue.
  EXPECT_EQ(At(half, 4, 14), kWhite);
  EXPECT_EQ(At(half, 4, 15), kBlue);
  EXPECT_EQ(At(half, 4, 28), kBlue);
  QImage none = Render({.kind = gkVerticalBar, .width = 10, .height = 30, .fore = clBlue});
  EXPECT_EQ(Span(none, 28, kBlue).first, -1);
}

TEST(GaugeFrame, SingleBorderStaysBlackWhateverTheColours) {
  for (TGaugeKind kind : {gkText, gkHorizontalBar, gkVerticalBar, gkPie, gkNeedle}) {
    for (int percent : {0, 50, 100}) {
      // Odd width: at high percentages the needle of an even-width gauge
      // ends on the right frame column.
      QImage img = Render({.kind = kind,
                           .width = 41,
                           .height = 30,
                           .fore = clWhite,
                           .back = clWhite,
                           .color = clWhite,
                           .progress = percent,
                           .text = true});
      for (int x = 0; x < 41; ++x) {
        EXPECT_EQ(At(img, x, 0), kBlack) << kind << " top " << x;
        if (kind != gkNeedle) {
          EXPECT_EQ(At(img, x, 29), kBlack) << kind << " bottom " << x;
        }
      }
      // The needle's base line lies on the bottom row of the frame.
      const int lastRow = kind == gkNeedle ? 28 : 29;
      for (int y = 0; y <= lastRow; ++y) {
        EXPECT_EQ(At(img, 0, y), kBlack) << kind << " left " << y;
        EXPECT_EQ(At(img, 40, y), kBlack) << kind << " right " << y;
      }
    }
  }
}

TEST(GaugeFrame, NoBorderFillsTheWholeRectangle) {
  QImage bar =
      Render({.width = 20, .height = 6, .border = bsNone, .fore = clBlue, .progress = 100});
  for (int y = 0; y < 6; ++y) EXPECT_EQ(Span(bar, y, kBlue), std::make_pair(0, 19));
  QImage text = Render({.kind = gkText, .width = 20, .height = 6, .border = bsNone});
  EXPECT_EQ(At(text, 0, 0), kWhite);
  EXPECT_EQ(At(text, 19, 5), kWhite);
}

TEST(GaugeText, OverlayIsTheInverseOfWhatLiesBeneath) {
  QImage img = Render(
      {.width = 265, .height = 17, .fore = clBlue, .max = 1014, .progress = 507, .text = true});
  int yellow = 0;
  int blackInside = 0;
  for (int y = 1; y <= 15; ++y) {
    for (int x = 1; x <= 263; ++x) {
      const QRgb p = At(img, x, y);
      if (x <= 131) {
        ASSERT_TRUE(p == kBlue || p == kYellow) << x << "," << y;
        yellow += p == kYellow;
      } else {
        ASSERT_TRUE(p == kWhite || p == kBlack) << x << "," << y;
        blackInside += p == kBlack;
      }
    }
  }
  EXPECT_GT(yellow, 5);       // "50" lies on the bar ...
  EXPECT_GT(blackInside, 5);  // ... and "%" on the white part
}

TEST(GaugeText, TextKindShowsBackColorBoxWithInverseText) {
  QImage img = Render({.kind = gkText,
                       .width = 80,
                       .height = 30,
                       .back = 0x0000FF /* red */,
                       .progress = 42,
                       .text = true});
  std::set<QRgb> inside;
  for (int y = 1; y < 29; ++y) {
    for (int x = 1; x < 79; ++x) inside.insert(At(img, x, y));
  }
  EXPECT_EQ(inside, (std::set<QRgb>{kRed, kRed ^ 0xFFFFFFu}));
  // Without the text the box is plain.
  QImage plain =
      Render({.kind = gkText, .width = 80, .height = 30, .back = 0x0000FF, .progress = 42});
  EXPECT_EQ(At(plain, 40, 15), kRed);
}

TEST(GaugePie, EmptyAndFullPieWithColorCorners) {
  const Look base{.kind = gkPie, .width = 60, .height = 40, .fore = clBlue, .back = clWhite};
  Look empty = base;
  QImage e = Render(empty);
  EXPECT_EQ(At(e, 30, 20), kWhite);
  EXPECT_EQ(At(e, 1, 1), kSilver);
  EXPECT_EQ(At(e, 58, 38), kSilver);
  EXPECT_EQ(At(e, 30, 1), kBlue);  // outline touches the box edges
  EXPECT_EQ(At(e, 1, 20), kBlue);

  Look full = base;
  full.progress = 100;
  QImage f = Render(full);
  for (int y = 1; y < 39; ++y) {
    for (int x = 1; x < 59; ++x) {
      const QRgb p = At(f, x, y);
      ASSERT_TRUE(p == kBlue || p == kSilver) << x << "," << y;
    }
  }
  EXPECT_EQ(At(f, 30, 20), kBlue);
  EXPECT_EQ(At(f, 1, 1), kSilver);
  EXPECT_EQ(At(f, 58, 1), kSilver);
  EXPECT_EQ(At(f, 1, 38), kSilver);
  EXPECT_EQ(At(f, 58, 38), kSilver);
}

TEST(GaugePie, SectorStartsAtTwelveAndGrowsClockwise) {
  struct Probe {
    int percent;
    bool upperRight, lowerRight, lowerLeft, upperLeft;
  };
  const Probe probes[] = {
      {25, true, false, false, false},
      {50, true, true, false, false},
      {75, true, true, true, false},
      {99, true, true, true, true},
  };
  for (const Probe& p : probes) {
    QImage img =
        Render({.kind = gkPie, .width = 61, .height = 61, .fore = clBlue, .progress = p.percent});
    auto fore = [&](int x, int y) { return At(img, x, y) == kBlue; };
    EXPECT_EQ(fore(40, 20), p.upperRight) << p.percent;
    EXPECT_EQ(fore(40, 40), p.lowerRight) << p.percent;
    EXPECT_EQ(fore(20, 40), p.lowerLeft) << p.percent;
    EXPECT_EQ(fore(20, 20), p.upperLeft) << p.percent;
  }
}

TEST(GaugeNeedle, HalfWayNeedleIsVertical) {
  QImage img = Render({.kind = gkNeedle,
                       .width = 81,
                       .height = 41,
                       .fore = clBlue,
                       .back = clWhite,
                       .progress = 50});
  // cx = 40; the needle runs from R's bottom row (39) up to row 1.
  for (int y = 1; y <= 39; ++y) EXPECT_EQ(At(img, 40, y), kBlue) << "row " << y;
  for (int y = 10; y <= 36; ++y) {
    EXPECT_EQ(At(img, 39, y), kWhite) << "row " << y;
    EXPECT_EQ(At(img, 41, y), kWhite) << "row " << y;
  }
  // Base line on the frame's bottom row, corners above the half disc in Color.
  EXPECT_EQ(At(img, 40, 40), kBlue);
  EXPECT_EQ(At(img, 1, 1), kSilver);
  EXPECT_EQ(At(img, 79, 1), kSilver);
}

TEST(GaugeNeedle, NeedleLeansLeftEarlyAndRightLate) {
  for (int percent : {20, 80}) {
    QImage img =
        Render({.kind = gkNeedle, .width = 81, .height = 41, .fore = clBlue, .progress = percent});
    int left = 0;
    int right = 0;
    for (int y = 5; y < 30; ++y) {
      for (int x = 2; x < 79; ++x) {
        if (At(img, x, y) == kBlue && x != 40) (x < 40 ? left : right)++;
      }
    }
    if (percent < 50) {
      EXPECT_GT(left, right) << percent;
    } else {
      EXPECT_GT(right, left) << percent;
    }
  }
}

TEST(GaugeSizes, TinyGaugesComposeWithinTheirBitmap) {
  // Degenerate client rectangles (empty or one pixel) must not draw outside.
  for (TGaugeKind kind : {gkText, gkHorizontalBar, gkVerticalBar, gkPie, gkNeedle}) {
    for (TBorderStyle border : {bsNone, bsSingle}) {
      for (int size = 1; size <= 4; ++size) {
        for (int percent : {0, 1, 50, 100}) {
          QImage img = Render({.kind = kind,
                               .width = size,
                               .height = size + 1,
                               .border = border,
                               .progress = percent,
                               .text = true});
          EXPECT_EQ(img.size(), QSize(size, size + 1));
        }
      }
    }
  }
  TGauge g;
  g.resize(0, 10);
  EXPECT_TRUE(g.RenderImage().isNull());
}

TEST(GaugeText, TextWiderThanTheGaugeIsClippedToTheFrame) {
  TGauge g;
  g.resize(14, 9);
  g.SetKind(gkText);
  g.SetProgress(100);
  QFont font = g.font();
  font.setPixelSize(24);
  g.setFont(font);
  const QImage img = g.RenderImage();
  int inverted = 0;
  for (int y = 0; y < 9; ++y) {
    for (int x = 0; x < 14; ++x) {
      const bool frame = x == 0 || y == 0 || x == 13 || y == 8;
      if (frame) {
        ASSERT_EQ(At(img, x, y), kBlack) << x << "," << y;
      } else {
        inverted += At(img, x, y) == kBlack;
      }
    }
  }
  EXPECT_GT(inverted, 0);  // some glyph pixels do land inside
}

TEST(GaugeText, NoTextOnTheFrameOfAGaugeWithoutInside) {
  // One pixel wide or high with a border: the inside is empty and the text,
  // centred on it, must not land on the frame.
  for (TGaugeKind kind : {gkText, gkHorizontalBar, gkPie, gkNeedle}) {
    for (auto [w, h] : {std::pair{1, 30}, std::pair{30, 1}, std::pair{1, 60}, std::pair{2, 40}}) {
      Look s{.kind = kind, .width = w, .height = h, .fore = clBlue, .progress = 100};
      const QImage plain = Render(s);
      s.text = true;
      const QImage text = Render(s);
      EXPECT_EQ(text, plain) << kind << " " << w << "x" << h;
      if (kind == gkText) {
        for (int y = 0; y < h; ++y) {
          for (int x = 0; x < w; ++x) ASSERT_EQ(At(text, x, y), kBlack) << x << "," << y;
        }
      }
    }
  }
}

TEST(GaugeSizes, RepaintsOfOneGaugeMatchAFreshGauge) {
  // One gauge reuses its bitmaps' memory from paint to paint: nothing of an
  // earlier picture may show through a later one.
  TGauge g;
  g.resize(61, 41);
  g.SetColor(clSilver);
  g.SetForeColor(clBlue);
  QFont font = g.font();
  font.setPixelSize(11);
  g.setFont(font);
  const TGaugeKind kinds[] = {gkPie, gkHorizontalBar, gkNeedle, gkText, gkVerticalBar, gkPie};
  int percent = 100;
  for (TGaugeKind kind : kinds) {
    for (TBorderStyle border : {bsSingle, bsNone}) {
      g.SetKind(kind);
      g.SetBorderStyle(border);
      g.SetProgress(percent);
      const QImage held = g.RenderImage();  // a picture still held while the next is made
      const QImage again = g.RenderImage();
      const QImage fresh = Render({.kind = kind,
                                   .width = 61,
                                   .height = 41,
                                   .border = border,
                                   .fore = clBlue,
                                   .progress = percent,
                                   .text = true});
      EXPECT_EQ(held, fresh) << kind << " " << border << " " << percent;
      EXPECT_EQ(again, fresh) << kind << " " << border << " " << percent;
      percent = (percent * 7 + 13) % 101;
    }
  }
}

}  // namespace
