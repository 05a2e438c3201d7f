// The Win32 gauge control: its window, its values and when it repaints.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "GdiPicture.h"
#include "widgets/TGauge.h"

namespace {

// A shown top-level window with a gauge in it, so assignments can repaint.
class GaugeControl : public ::testing::Test {
 protected:
  void SetUp() override {
    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = instance;
    wc.lpszClassName = L"GaugeTestParent";
    RegisterClassExW(&wc);
    parent_ = CreateWindowExW(0, L"GaugeTestParent", L"gauge test", WS_OVERLAPPEDWINDOW, 0, 0, 400,
                              200, nullptr, nullptr, instance, nullptr);
    ASSERT_NE(parent_, nullptr);
    ShowWindow(parent_, SW_SHOW);
    gauge_ = TGauge::Create(parent_, 7, 10, 10, 265, 17);
    ASSERT_NE(gauge_, nullptr);
    UpdateWindow(parent_);
    Pump();
  }
  void TearDown() override { DestroyWindow(parent_); }

  static void Pump() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
  }

  Picture Snapshot() const {
    return PaintIntoDib(265, 17, [&](HDC dc) { gauge_->Paint(dc); });
  }

  HWND parent_ = nullptr;
  TGauge* gauge_ = nullptr;
};

TEST_F(GaugeControl, IsAChildWindowWithTheDocumentedDefaults) {
  EXPECT_EQ(TGauge::FromHandle(gauge_->Handle()), gauge_);
  EXPECT_EQ(TGauge::FromHandle(parent_), nullptr);
  EXPECT_EQ(GetDlgCtrlID(gauge_->Handle()), 7);
  EXPECT_EQ(GetParent(gauge_->Handle()), parent_);
  EXPECT_EQ(gauge_->Kind(), gkHorizontalBar);
  EXPECT_TRUE(gauge_->ShowText());
  EXPECT_EQ(gauge_->BorderStyle(), bsSingle);
  EXPECT_EQ(gauge_->ForeColor(), clBlack);
  EXPECT_EQ(gauge_->BackColor(), clWhite);
  EXPECT_EQ(gauge_->Color(), clBtnFace);
  EXPECT_EQ(gauge_->MinValue(), 0);
  EXPECT_EQ(gauge_->MaxValue(), 100);
  EXPECT_EQ(gauge_->Progress(), 0);
  EXPECT_GT(gauge_->PaintCount(), 0);  // shown, so painted
}

TEST_F(GaugeControl, EqualAssignmentsDoNotRepaintAndChangesDoAtOnce) {
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
      {"Color", [](TGauge& g) { g.SetColor(g.Color()); }, [](TGauge& g) { g.SetColor(clRed); }},
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
    p.differ(*gauge_);  // painted inside the assignment, no message loop needed
    EXPECT_EQ(gauge_->PaintCount(), before + 1);
  }
  EXPECT_FALSE(gauge_->ParentColor());
}

TEST_F(GaugeControl, UpdateRunRepaintsOncePerPercentAndShowsTheBar) {
  gauge_->SetForeColor(clBlue);
  gauge_->SetMaxValue(1014);
  const int before = gauge_->PaintCount();
  for (int i = 0; i < 507; ++i) gauge_->AddProgress(1);
  EXPECT_EQ(gauge_->PaintCount() - before, 50);
  EXPECT_EQ(gauge_->PercentDone(), 50);
  gauge_->SetShowText(false);
  const Picture half = Snapshot();
  EXPECT_EQ(half.At(131, 8), 0x0000FFu);
  EXPECT_EQ(half.At(132, 8), 0xFFFFFFu);

  for (int i = 0; i < 1000; ++i) gauge_->AddProgress(1);  // clamped at the top
  EXPECT_EQ(gauge_->Progress(), 1014);
  EXPECT_EQ(gauge_->PaintCount() - before, 101);  // 50 + 50 + the ShowText change

  ShowWindow(gauge_->Handle(), SW_HIDE);
  const int hidden = gauge_->PaintCount();
  gauge_->SetProgress(0);
  gauge_->SetKind(gkNeedle);
  EXPECT_EQ(gauge_->PaintCount(), hidden);  // a hidden gauge does not paint
}

TEST_F(GaugeControl, RangeRulesHoldOnTheControl) {
  gauge_->SetProgress(60);
  gauge_->SetMaxValue(40);  // below Progress: Progress follows down
  EXPECT_EQ(gauge_->Progress(), 40);
  gauge_->SetMinValue(40);  // equal to MaxValue is accepted
  EXPECT_EQ(gauge_->PercentDone(), 0);
  try {
    gauge_->SetMaxValue(INT32_MIN);
    ADD_FAILURE() << "no exception";
  } catch (const EInvalidOperation& e) {
    EXPECT_EQ(std::string(e.what()), "Wert muß zwischen 41 und 2147483647 liegen");
  }
  EXPECT_EQ(gauge_->MaxValue(), 40);
  EXPECT_EQ(gauge_->Progress(), 40);
}

// Where the percentage text lies in a bar picture: the bounding box of the
// pixels inside the frame that show the text (yellow on the blue bar, black
// on the white rest). Every pixel inside must be one of those four colours.
struct TextBox {
  int left = INT_MAX, top = INT_MAX, right = -1, bottom = -1;
  bool onlyInverseColours = true;
};

TextBox FindText(const Picture& p) {
  TextBox box;
  for (int y = 1; y < p.height - 1; ++y) {
    for (int x = 1; x < p.width - 1; ++x) {
      const std::uint32_t c = p.At(x, y);
      if (c == 0xFFFF00u || c == 0x000000u) {
        box.left = std::min(box.left, x);
        box.right = std::max(box.right, x);
        box.top = std::min(box.top, y);
        box.bottom = std::max(box.bottom, y);
      } else if (c != 0x0000FFu && c != 0xFFFFFFu) {
        box.onlyInverseColours = false;
      }
    }
  }
  return box;
}

TEST_F(GaugeControl, TextScalesWithTheDpiTheWindowGives) {
  // The update window's gauge as a window laid out for each DPI shows it.
  HFONT font = TestFont();
  gauge_->SetFont(font);
  gauge_->SetForeColor(clBlue);
  gauge_->SetMaxValue(1014);
  gauge_->SetProgress(507);
  int textHeightAt96 = 0;
  for (const UINT dpi : {96u, 120u, 144u, 192u}) {
    SCOPED_TRACE(dpi);
    const int width = MulDiv(265, static_cast<int>(dpi), 96);
    const int height = MulDiv(17, static_cast<int>(dpi), 96);
    MoveWindow(gauge_->Handle(), 10, 10, width, height, FALSE);
    const int before = gauge_->PaintCount();
    gauge_->SetDpi(dpi);
    EXPECT_EQ(gauge_->Dpi(), dpi);
    EXPECT_EQ(gauge_->PaintCount(), before + (dpi != 96 ? 1 : 0));
    const Picture p = PaintIntoDib(width, height, [&](HDC dc) { gauge_->Paint(dc); });

    // A frame of one pixel: black around, not black just inside.
    for (int x = 0; x < width; ++x) {
      ASSERT_EQ(p.At(x, 0), 0u) << x;
      ASSERT_EQ(p.At(x, height - 1), 0u) << x;
      if (x > 0 && x < width - 1) {
        ASSERT_NE(p.At(x, 1), 0u) << x;
      }
    }
    for (int y = 0; y < height; ++y) {
      ASSERT_EQ(p.At(0, y), 0u) << y;
      ASSERT_EQ(p.At(width - 1, y), 0u) << y;
      if (y > 0 && y < height - 1) {
        ASSERT_NE(p.At(1, y), 0u) << y;
      }
    }
    const TextBox text = FindText(p);
    EXPECT_TRUE(text.onlyInverseColours);
    ASSERT_GE(text.right, 0) << "no text";
    const int textHeight = text.bottom - text.top + 1;
    if (dpi == 96) {
      textHeightAt96 = textHeight;
    } else {
      // The digits grow with the DPI, give or take a pixel of the font's own rounding.
      EXPECT_NEAR(textHeight, MulDiv(textHeightAt96, static_cast<int>(dpi), 96), 1);
    }
    // Centred within the frame, and the bar ends half way.
    EXPECT_NEAR((text.left + text.right) / 2.0, width / 2.0, 2.0);
    EXPECT_NEAR((text.top + text.bottom) / 2.0, height / 2.0, 2.0);
    int lastBlue = -1;
    for (int x = 1; x < width - 1; ++x) {
      if (p.At(x, 1) == 0x0000FFu) lastBlue = x;
    }
    EXPECT_NEAR(lastBlue, (width - 1) / 2 - 1, 1);
  }
  DeleteObject(font);
}

TEST_F(GaugeControl, DestroyingTheParentFreesTheGauge) {
  HWND child = gauge_->Handle();
  DestroyWindow(parent_);
  EXPECT_FALSE(IsWindow(child));
  EXPECT_EQ(TGauge::FromHandle(child), nullptr);
  parent_ = nullptr;
}

}  // namespace
