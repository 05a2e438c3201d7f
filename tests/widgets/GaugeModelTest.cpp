// Range, value and percentage rules of the gauge, its arithmetic, and when it repaints.
#include <gtest/gtest.h>

#include <QTest>
#include <QWidget>
#include <climits>
#include <functional>
#include <string>
#include <vector>

#include "widgets/GaugeMath.h"
#include "widgets/TGauge.h"

namespace {

TEST(GaugeDefaults, NewGaugeHasDocumentedProperties) {
  TGauge g;
  EXPECT_EQ(g.width(), 100);
  EXPECT_EQ(g.height(), 100);
  EXPECT_EQ(g.Kind(), gkHorizontalBar);
  EXPECT_TRUE(g.ShowText());
  EXPECT_EQ(g.BorderStyle(), bsSingle);
  EXPECT_EQ(g.ForeColor(), clBlack);
  EXPECT_EQ(g.BackColor(), clWhite);
  EXPECT_EQ(g.MinValue(), 0);
  EXPECT_EQ(g.MaxValue(), 100);
  EXPECT_EQ(g.Progress(), 0);
  EXPECT_TRUE(g.ParentColor());
  EXPECT_TRUE(g.testAttribute(Qt::WA_OpaquePaintEvent));
  EXPECT_FALSE(g.testAttribute(Qt::WA_NativeWindow));
  EXPECT_EQ(static_cast<int>(gkNeedle), 4);
  EXPECT_EQ(static_cast<int>(bsSingle), 1);
}

TEST(GaugeDefaults, ColorFollowsParentUntilAssigned) {
  QWidget parent;
  QPalette pal = parent.palette();
  pal.setColor(QPalette::Window, QColor(0x12, 0x34, 0x56));
  parent.setPalette(pal);
  TGauge g(&parent);
  EXPECT_EQ(g.Color(), 0x563412u);
  g.SetKind(gkPie);
  EXPECT_EQ(g.RenderImage().pixel(1, 1) & 0xFFFFFFu, 0x123456u);  // corner outside the ellipse
  g.SetColor(clSilver);
  EXPECT_FALSE(g.ParentColor());
  EXPECT_EQ(g.Color(), clSilver);
}

TEST(GaugeRange, ProgressIsClampedAndRangePullsItAlong) {
  TGauge g;
  g.SetProgress(150);
  EXPECT_EQ(g.Progress(), 100);
  EXPECT_EQ(g.PercentDone(), 100);
  g.SetProgress(-5);
  EXPECT_EQ(g.Progress(), 0);
  EXPECT_EQ(g.PercentDone(), 0);

  g.SetProgress(60);
  g.SetMaxValue(40);  // below Progress: Progress follows down
  EXPECT_EQ(g.Progress(), 40);
  g.SetMinValue(40);  // equal to MaxValue is accepted
  EXPECT_EQ(g.MinValue(), 40);
  EXPECT_EQ(g.PercentDone(), 0);  // empty range

  TGauge h;
  h.SetProgress(10);
  h.SetMinValue(30);  // above Progress: Progress follows up
  EXPECT_EQ(h.Progress(), 30);
  h.SetMaxValue(30);
  EXPECT_EQ(h.PercentDone(), 0);
}

TEST(GaugeRange, RefusedAssignmentsCarryBoundsAndChangeNothing) {
  struct Case {
    const char* name;
    std::function<void(TGauge&)> prepare;
    std::function<void(TGauge&)> assign;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"min above max", [](TGauge&) {}, [](TGauge& g) { g.SetMinValue(150); },
       "Wert muß zwischen -2147483647 und 99 liegen"},
      {"max below min", [](TGauge& g) { g.SetMinValue(20); }, [](TGauge& g) { g.SetMaxValue(10); },
       "Wert muß zwischen 21 und 2147483647 liegen"},
      // Bounds at the ends of the integer range must not wrap around.
      {"min above lowest max",
       [](TGauge& g) {
         g.SetMinValue(INT32_MIN);
         g.SetMaxValue(INT32_MIN);
       },
       [](TGauge& g) { g.SetMinValue(0); }, "Wert muß zwischen -2147483647 und -2147483649 liegen"},
      {"max below highest min",
       [](TGauge& g) {
         g.SetMaxValue(INT32_MAX);
         g.SetMinValue(INT32_MAX);
       },
       [](TGauge& g) { g.SetMaxValue(0); }, "Wert muß zwischen 2147483648 und 2147483647 liegen"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TGauge g;
    c.prepare(g);
    const auto min = g.MinValue();
    const auto max = g.MaxValue();
    const auto progress = g.Progress();
    try {
      c.assign(g);
      ADD_FAILURE() << "no exception";
    } catch (const EInvalidOperation& e) {
      EXPECT_EQ(std::string(e.what()), c.message);
    }
    EXPECT_EQ(g.MinValue(), min);
    EXPECT_EQ(g.MaxValue(), max);
    EXPECT_EQ(g.Progress(), progress);
  }
}

TEST(GaugePercent, TruncatesAndSurvivesWideRanges) {
  struct Case {
    std::int32_t min, max, progress;
    int percent;
  };
  const Case cases[] = {
      {0, 1014, 507, 50},
      {0, 1014, 1013, 99},
      {0, 1014, 1014, 100},
      {0, 3, 1, 33},
      {-100, 100, 0, 50},
      {5, 5, 5, 0},
      // (Progress - Min) * 100 does not fit in 32 bits here.
      {0, 2000000000, 1000000000, 50},
      {-1000000000, 1000000000, 999999999, 99},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(gauge_math::Percent(c.min, c.max, c.progress), c.percent)
        << c.min << ".." << c.max << " at " << c.progress;
  }
}

TEST(GaugeArithmetic, BarEdgeShowsExtendedConstant) {
  // 0.01 held as the nearest extended value lies below 0.01, which the
  // truncation of the bar edge makes visible.
  const int expected[] = {0, 1, 2, 3, 5, 5, 7, 7, 9, 10};
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(gauge_math::BarLength(10, (i + 1) * 10), expected[i]) << "P=" << (i + 1) * 10;
  }
  EXPECT_EQ(gauge_math::BarLength(5, 20), 0);
  EXPECT_EQ(gauge_math::BarLength(264, 50), 132);
  EXPECT_EQ(gauge_math::BarLength(264, 100), 264);
}

TEST(GaugeArithmetic, RoundGoesToEvenAndTruncGoesToZero) {
  struct Case {
    long double x;
    std::int64_t round, trunc;
  };
  const Case cases[] = {{0.5L, 0, 0},    {1.5L, 2, 1},    {2.5L, 2, 2},  {-0.5L, 0, 0},
                        {-1.5L, -2, -1}, {-2.7L, -3, -2}, {2.49L, 2, 2}, {3.51L, 4, 3}};
  for (const Case& c : cases) {
    EXPECT_EQ(gauge_math::Round(c.x), c.round) << static_cast<double>(c.x);
    EXPECT_EQ(gauge_math::Trunc(c.x), c.trunc) << static_cast<double>(c.x);
  }
}

// A shown parent window with a gauge in it, so assignments can repaint.
class GaugeRepaint : public ::testing::Test {
 protected:
  void SetUp() override {
    parent_.resize(300, 200);
    gauge_ = new TGauge(&parent_);
    parent_.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&parent_, 5000));
    gauge_->repaint();
    ASSERT_GT(gauge_->PaintCount(), 0);
  }
  QWidget parent_;
  TGauge* gauge_ = nullptr;
};

TEST_F(GaugeRepaint, EqualAssignmentsDoNotRepaintAndChangesDo) {
  struct Prop {
    const char* name;
    std::function<void(TGauge&)> same;
    std::function<void(TGauge&)> differ;
  };
  const std::vector<Prop> props = {
      {"Kind", [](TGauge& g) { g.SetKind(g.Kind()); }, [](TGauge& g) { g.SetKind(gkPie); }},
      {"ShowText", [](TGauge& g) { g.SetShowText(g.ShowText()); },
       [](TGauge& g) { g.SetShowText(!g.ShowText()); }},
      {"BorderStyle", [](TGauge& g) { g.SetBorderStyle(g.BorderStyle()); },
       [](TGauge& g) { g.SetBorderStyle(bsNone); }},
      {"ForeColor", [](TGauge& g) { g.SetForeColor(g.ForeColor()); },
       [](TGauge& g) { g.SetForeColor(clBlue); }},
      {"BackColor", [](TGauge& g) { g.SetBackColor(g.BackColor()); },
       [](TGauge& g) { g.SetBackColor(clSilver); }},
      {"MinValue", [](TGauge& g) { g.SetMinValue(g.MinValue()); },
       [](TGauge& g) { g.SetMinValue(-10); }},
      {"MaxValue", [](TGauge& g) { g.SetMaxValue(g.MaxValue()); },
       [](TGauge& g) { g.SetMaxValue(200); }},
      {"Progress", [](TGauge& g) { g.SetProgress(g.Progress()); },
       [](TGauge& g) { g.SetProgress(150); }},
  };
  for (const Prop& p : props) {
    SCOPED_TRACE(p.name);
    const int before = gauge_->PaintCount();
    p.same(*gauge_);
    EXPECT_EQ(gauge_->PaintCount(), before);
    p.differ(*gauge_);  // repaints synchronously, inside the assignment
    EXPECT_EQ(gauge_->PaintCount(), before + 1);
  }
}

TEST_F(GaugeRepaint, ProgressRepaintsOnlyWhenWholePercentChanges) {
  gauge_->SetMaxValue(1014);
  gauge_->SetProgress(1014);  // clamped value outside changes nothing either
  gauge_->SetProgress(0);
  const int before = gauge_->PaintCount();
  for (int i = 0; i < 1014; ++i) {
    gauge_->AddProgress(1);
  }
  EXPECT_EQ(gauge_->Progress(), 1014);
  EXPECT_EQ(gauge_->PaintCount() - before, 100);  // once for each of 1%..100%
  gauge_->SetProgress(5000);                      // already at the top
  EXPECT_EQ(gauge_->PaintCount() - before, 100);
}

TEST(GaugeRepaintHidden, HiddenOrParentlessGaugeDoesNotPaint) {
  TGauge lone;
  lone.SetKind(gkPie);
  lone.SetProgress(50);
  EXPECT_EQ(lone.PaintCount(), 0);

  QWidget parent;  // never shown
  TGauge child(&parent);
  child.SetProgress(70);
  child.SetKind(gkNeedle);
  EXPECT_EQ(child.PaintCount(), 0);
}

}  // namespace
