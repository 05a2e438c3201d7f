// The paint algorithm on GDI: bar and text exact, with the expectations of the
// Qt pictures; ellipse, pie and needle (GDI's own) for what the gauge relies on.
#include <gtest/gtest.h>

#include <set>
#include <utility>

#include "GdiPicture.h"
#include "widgets/GaugeMath.h"

namespace {

constexpr std::uint32_t kBlack = 0x000000;
constexpr std::uint32_t kWhite = 0xFFFFFF;
constexpr std::uint32_t kBlue = 0x0000FF;  // as 0xRRGGBB
constexpr std::uint32_t kYellow = 0xFFFF00;
constexpr std::uint32_t kSilver = 0xC0C0C0;
constexpr std::uint32_t kRed = 0xFF0000;

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

Picture Draw(const Look& s) {
  TGaugeLook look;
  look.width = s.width;
  look.height = s.height;
  look.kind = s.kind;
  look.showText = s.text;
  look.borderStyle = s.border;
  look.foreColor = s.fore;
  look.backColor = s.back;
  look.color = s.color;
  look.percent = gauge_math::Percent(0, s.max, s.progress);
  return Render(look);
}

// Columns of row `y` that hold `rgb`, as [first, last]; {-1, -1} if none.
std::pair<int, int> Span(const Picture& img, int y, std::uint32_t rgb) {
  int first = -1;
  int last = -1;
  for (int x = 0; x < img.width; ++x) {
    if (img.At(x, y) == rgb) {
      if (first < 0) first = x;
      last = x;
    }
  }
  return {first, last};
}

TEST(GdiGaugeBar, UpdateWindowGaugeFillsExactColumns) {
  Look s{.kind = gkHorizontalBar, .width = 265, .height = 17, .fore = clBlue, .max = 1014};
  s.progress = 507;
  const Picture half = Draw(s);
  for (int y = 1; y <= 15; ++y) {
    EXPECT_EQ(Span(half, y, kBlue), std::make_pair(1, 131)) << "row " << y;
    EXPECT_EQ(half.At(132, y), kWhite);
  }
  s.progress = 1014;
  const Picture full = Draw(s);
  for (int y = 0; y < 17; ++y) {
    for (int x = 0; x < 265; ++x) {
      const bool frame = x == 0 || y == 0 || x == 264 || y == 16;
      ASSERT_EQ(full.At(x, y), frame ? kBlack : kBlue) << x << "," << y;
    }
  }
}

TEST(GdiGaugeBar, NarrowAndVerticalBarsShowTruncatedEdges) {
  const int filledUpTo[] = {-1, -1, 1, 2, 4, 4, 6, 6, 8, 9};  // last blue column, W = 10
  for (int i = 0; i < 10; ++i) {
    const Picture img = Draw({.width = 11, .height = 5, .fore = clBlue, .progress = (i + 1) * 10});
    EXPECT_EQ(Span(img, 2, kBlue).second, filledUpTo[i]) << (i + 1) * 10 << "%";
  }
  const Picture half =
      Draw({.kind = gkVerticalBar, .width = 10, .height = 30, .fore = clBlue, .progress = 50});
  EXPECT_EQ(half.At(4, 14), kWhite);  // H = 29, h = 14: rows 15..28
  EXPECT_EQ(half.At(4, 15), kBlue);
  EXPECT_EQ(half.At(4, 28), kBlue);
  const Picture full =
      Draw({.kind = gkVerticalBar, .width = 10, .height = 30, .fore = clBlue, .progress = 100});
  for (int y = 1; y <= 28; ++y) EXPECT_EQ(Span(full, y, kBlue), std::make_pair(1, 8)) << y;
  const Picture none =
      Draw({.width = 20, .height = 6, .border = bsNone, .fore = clBlue, .progress = 100});
  for (int y = 0; y < 6; ++y) EXPECT_EQ(Span(none, y, kBlue), std::make_pair(0, 19));
}

TEST(GdiGaugeFrame, SingleBorderStaysBlackWhateverTheColours) {
  // GDI's ellipse, pie and lines keep inside their boxes: right and bottom
  // edges excluded, so nothing reaches the frame but the needle's base line.
  for (TGaugeKind kind : {gkText, gkHorizontalBar, gkVerticalBar, gkPie, gkNeedle}) {
    for (int percent : {0, 50, 100}) {
      const Picture img = Draw({.kind = kind,
                                .width = 41,
                                .height = 30,
                                .fore = clWhite,
                                .back = clWhite,
                                .color = clWhite,
                                .progress = percent,
                                .text = true});
      for (int x = 0; x < 41; ++x) {
        EXPECT_EQ(img.At(x, 0), kBlack) << kind << " top " << x;
        if (kind != gkNeedle) {
          EXPECT_EQ(img.At(x, 29), kBlack) << kind << " bottom " << x;
        }
      }
      const int lastRow = kind == gkNeedle ? 28 : 29;
      for (int y = 0; y <= lastRow; ++y) {
        EXPECT_EQ(img.At(0, y), kBlack) << kind << " left " << y;
        EXPECT_EQ(img.At(40, y), kBlack) << kind << " right " << y;
      }
    }
  }
}

TEST(GdiGaugeText, OverlayIsTheInverseOfWhatLiesBeneath) {
  const Picture img = Draw(
      {.width = 265, .height = 17, .fore = clBlue, .max = 1014, .progress = 507, .text = true});
  int yellow = 0;
  int blackInside = 0;
  for (int y = 1; y <= 15; ++y) {
    for (int x = 1; x <= 263; ++x) {
      const std::uint32_t p = img.At(x, y);
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

  const Picture box = Draw(
      {.kind = gkText, .width = 80, .height = 30, .back = 0x0000FF, .progress = 42, .text = true});
  std::set<std::uint32_t> inside;
  for (int y = 1; y < 29; ++y) {
    for (int x = 1; x < 79; ++x) inside.insert(box.At(x, y));
  }
  EXPECT_EQ(inside, (std::set<std::uint32_t>{kRed, kRed ^ 0xFFFFFFu}));
}

TEST(GdiGaugeText, NoTextOnTheFrameOfAGaugeWithoutInside) {
  for (TGaugeKind kind : {gkText, gkHorizontalBar, gkPie, gkNeedle}) {
    for (auto [w, h] : {std::pair{1, 30}, std::pair{30, 1}, std::pair{1, 60}, std::pair{2, 40}}) {
      Look s{.kind = kind, .width = w, .height = h, .fore = clBlue, .progress = 100};
      const Picture plain = Draw(s);
      s.text = true;
      EXPECT_EQ(Draw(s), plain) << kind << " " << w << "x" << h;
      if (kind == gkText) {
        EXPECT_EQ(std::set<std::uint32_t>(plain.pixels.begin(), plain.pixels.end()),
                  std::set<std::uint32_t>{kBlack});
      }
    }
  }
}

TEST(GdiGaugePie, EmptyFullAndGrowingClockwiseFromTwelve) {
  const Look base{.kind = gkPie, .width = 60, .height = 40, .fore = clBlue, .back = clWhite};
  const Picture e = Draw(base);
  EXPECT_EQ(e.At(30, 20), kWhite);
  EXPECT_EQ(e.At(1, 1), kSilver);
  EXPECT_EQ(e.At(58, 38), kSilver);
  EXPECT_EQ(e.At(30, 1), kBlue);  // outline touches the box edges
  EXPECT_EQ(e.At(1, 20), kBlue);

  Look full = base;
  full.progress = 100;
  const Picture f = Draw(full);
  for (int y = 1; y < 39; ++y) {
    for (int x = 1; x < 59; ++x) {
      const std::uint32_t p = f.At(x, y);
      ASSERT_TRUE(p == kBlue || p == kSilver) << x << "," << y;
    }
  }
  EXPECT_EQ(f.At(30, 20), kBlue);
  EXPECT_EQ(f.At(1, 1), kSilver);
  EXPECT_EQ(f.At(58, 38), kSilver);

  struct Probe {
    int percent;
    bool upperRight, lowerRight, lowerLeft, upperLeft;
  };
  const Probe probes[] = {{25, true, false, false, false},
                          {50, true, true, false, false},
                          {75, true, true, true, false},
                          {99, true, true, true, true}};
  for (const Probe& p : probes) {
    const Picture img =
        Draw({.kind = gkPie, .width = 61, .height = 61, .fore = clBlue, .progress = p.percent});
    EXPECT_EQ(img.At(40, 20) == kBlue, p.upperRight) << p.percent;
    EXPECT_EQ(img.At(40, 40) == kBlue, p.lowerRight) << p.percent;
    EXPECT_EQ(img.At(20, 40) == kBlue, p.lowerLeft) << p.percent;
    EXPECT_EQ(img.At(20, 20) == kBlue, p.upperLeft) << p.percent;
  }
}

TEST(GdiGaugeNeedle, VerticalAtHalfAndLeaningEarlyAndLate) {
  const Picture img = Draw({.kind = gkNeedle,
                            .width = 81,
                            .height = 41,
                            .fore = clBlue,
                            .back = clWhite,
                            .progress = 50});
  for (int y = 1; y <= 39; ++y) EXPECT_EQ(img.At(40, y), kBlue) << "row " << y;
  for (int y = 10; y <= 36; ++y) {
    EXPECT_EQ(img.At(39, y), kWhite) << "row " << y;
    EXPECT_EQ(img.At(41, y), kWhite) << "row " << y;
  }
  EXPECT_EQ(img.At(40, 40), kBlue);  // base line on the frame's bottom row
  EXPECT_EQ(img.At(1, 1), kSilver);
  EXPECT_EQ(img.At(79, 1), kSilver);
  for (int percent : {20, 80}) {
    const Picture lean =
        Draw({.kind = gkNeedle, .width = 81, .height = 41, .fore = clBlue, .progress = percent});
    int left = 0;
    int right = 0;
    for (int y = 5; y < 30; ++y) {
      for (int x = 2; x < 79; ++x) {
        if (lean.At(x, y) == kBlue && x != 40) (x < 40 ? left : right)++;
      }
    }
    EXPECT_GT(percent < 50 ? left : right, percent < 50 ? right : left) << percent;
  }
}

}  // namespace
