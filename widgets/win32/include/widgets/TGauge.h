#pragma once

#include <windows.h>

#include <cstdint>

#include "widgets/GaugeModel.h"
#include "widgets/TColor.h"

// Progress gauge on Win32: shows where Progress stands between MinValue and
// MaxValue as a whole percentage, in one of five drawing kinds, with the
// percentage text drawn in the inverse colour of what lies beneath it.
//
// The gauge is a child window of the registered class "TGauge", so it can be
// made with Create or named in a dialog template. The window owns its TGauge:
// destroying the window frees it. The gauge paints every pixel of its window
// (the background is never erased), on WM_PAINT and at once, before the
// assignment returns, when a value changes what it shows while it is visible.
// The font of the percentage text is the one set with SetFont or WM_SETFONT,
// at first the parent's; it is drawn without smoothing, so that the inverse
// colours stay exact. Use from the window's thread only.
class TGauge {
 public:
  static constexpr const wchar_t* kClassName = L"TGauge";

  // Registers the window class in `instance`; later calls do nothing.
  // Returns false if the class cannot be registered.
  static bool Register(HINSTANCE instance);
  // Creates a visible gauge as child window `id` of `parent` at (x, y) in the
  // parent's client coordinates, registering the class first if needed.
  // Returns null if the window cannot be made.
  static TGauge* Create(HWND parent, int id, int x, int y, int width, int height);
  // The gauge of a window of the class, or null for any other window.
  static TGauge* FromHandle(HWND window);

  TGauge(const TGauge&) = delete;
  TGauge& operator=(const TGauge&) = delete;

  HWND Handle() const { return window_; }

  TGaugeKind Kind() const { return model_.Kind(); }
  void SetKind(TGaugeKind value);
  bool ShowText() const { return model_.ShowText(); }
  void SetShowText(bool value);
  TBorderStyle BorderStyle() const { return model_.BorderStyle(); }
  void SetBorderStyle(TBorderStyle value);
  TColor ForeColor() const { return model_.ForeColor(); }
  void SetForeColor(TColor value);
  TColor BackColor() const { return model_.BackColor(); }
  void SetBackColor(TColor value);
  // The fill around the pie and needle figures. While ParentColor is true it
  // is the dialog colour (clBtnFace); assigning a colour clears ParentColor.
  TColor Color() const;
  void SetColor(TColor value);
  bool ParentColor() const { return model_.ParentColor(); }
  void SetParentColor(bool value);

  // Range and value; the setters keep MinValue <= Progress <= MaxValue.
  // SetMinValue/SetMaxValue throw EInvalidOperation for a value that would
  // cross the other end; SetProgress clamps and repaints only when the whole
  // percentage changes.
  std::int32_t MinValue() const { return model_.MinValue(); }
  void SetMinValue(std::int32_t value);
  std::int32_t MaxValue() const { return model_.MaxValue(); }
  void SetMaxValue(std::int32_t value);
  std::int32_t Progress() const { return model_.Progress(); }
  void SetProgress(std::int32_t value);
  // Adds `delta` to Progress (clamped like SetProgress).
  void AddProgress(std::int32_t delta);

  // The whole percentage of Progress within the range, 0..100.
  int PercentDone() const { return model_.PercentDone(); }

  // Font of the percentage text; the gauge keeps its own unsmoothed copy, so
  // the caller keeps ownership of `font`. Repaints.
  void SetFont(HFONT font);

  // The paint operation: composes the picture off screen and copies it onto
  // `dc` at (0, 0) in one transfer. Throws std::runtime_error if a bitmap
  // cannot be made.
  void Paint(HDC dc) const;

  // Number of WM_PAINT paints run so far (for checks of repaint behaviour).
  int PaintCount() const { return paintCount_; }

 private:
  explicit TGauge(HWND window);
  ~TGauge();

  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT Dispatch(UINT message, WPARAM wParam, LPARAM lParam);
  void Repaint(bool changed);
  void OnPaint();

  HWND window_;
  TGaugeModel model_;
  HFONT font_ = nullptr;  // owned, unsmoothed copy
  int paintCount_ = 0;
};
