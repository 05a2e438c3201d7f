#pragma once

#include <windows.h>

#include <cstdint>

#include "widgets/GaugeControl.h"
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
//
// Screens of other pixel densities: the window that holds the gauge sizes it
// in the screen's pixels and tells it the DPI (SetDpi); the gauge then draws
// its text in its font scaled from 96 dpi to that DPI. Bar, pie and needle
// follow the gauge's size; the frame and the outlines stay one pixel wide at
// every DPI, as the system's own window borders do.
class TGauge : public TGaugeControl {
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

  // Font of the percentage text, as made for 96 dpi; the gauge keeps its own
  // unsmoothed copy scaled to its DPI, so the caller keeps ownership of
  // `font`. Repaints.
  void SetFont(HFONT font);

  // The DPI the gauge is shown at: 96 (100 %, the start), 120, 144, 192 ...
  // The text is drawn in the font scaled by dpi / 96. Repaints when it
  // changes; 0 is ignored.
  void SetDpi(UINT dpi);
  UINT Dpi() const { return dpi_; }

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
  void Repaint(bool changed) override;
  // A gauge in a dialog takes the dialog colour (clBtnFace).
  TColor ParentWindowColor() const override { return clBtnFace; }
  void OnPaint();

  // Makes font_ from design_ for dpi_.
  bool MakeFont();

  HWND window_;
  LOGFONTW design_{};  // the font as given, for 96 dpi
  UINT dpi_ = 96;
  HFONT font_ = nullptr;  // owned: design_ unsmoothed, scaled to dpi_
  int paintCount_ = 0;
};
