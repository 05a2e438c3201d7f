#pragma once

#include <cstdint>

#include "widgets/GaugeModel.h"
#include "widgets/TColor.h"

// The properties of a gauge control, the same on every window system: each
// setter hands the value to the model and, when what the gauge shows has
// changed, repaints at once, before the assignment returns. A platform's
// control (the Qt widget, the Win32 child window) derives from it, paints,
// and says what colour its parent's window has.
class TGaugeControl {
 public:
  TGaugeControl() = default;
  virtual ~TGaugeControl() = default;
  TGaugeControl(const TGaugeControl&) = delete;
  TGaugeControl& operator=(const TGaugeControl&) = delete;

  TGaugeKind Kind() const { return model_.Kind(); }
  void SetKind(TGaugeKind value) { Repaint(model_.SetKind(value)); }
  bool ShowText() const { return model_.ShowText(); }
  void SetShowText(bool value) { Repaint(model_.SetShowText(value)); }
  TBorderStyle BorderStyle() const { return model_.BorderStyle(); }
  void SetBorderStyle(TBorderStyle value) { Repaint(model_.SetBorderStyle(value)); }
  TColor ForeColor() const { return model_.ForeColor(); }
  void SetForeColor(TColor value) { Repaint(model_.SetForeColor(value)); }
  TColor BackColor() const { return model_.BackColor(); }
  void SetBackColor(TColor value) { Repaint(model_.SetBackColor(value)); }
  // The fill around the pie and needle figures. While ParentColor is true it
  // follows the parent's window colour; assigning a colour clears ParentColor.
  TColor Color() const { return model_.ParentColor() ? ParentWindowColor() : model_.OwnColor(); }
  void SetColor(TColor value);
  bool ParentColor() const { return model_.ParentColor(); }
  void SetParentColor(bool value) { Repaint(model_.SetParentColor(value)); }

  // Range and value; the setters keep MinValue <= Progress <= MaxValue.
  // SetMinValue/SetMaxValue throw EInvalidOperation for a value that would
  // cross the other end; SetProgress clamps and repaints only when the whole
  // percentage changes.
  std::int32_t MinValue() const { return model_.MinValue(); }
  void SetMinValue(std::int32_t value) { Repaint(model_.SetMinValue(value)); }
  std::int32_t MaxValue() const { return model_.MaxValue(); }
  void SetMaxValue(std::int32_t value) { Repaint(model_.SetMaxValue(value)); }
  std::int32_t Progress() const { return model_.Progress(); }
  void SetProgress(std::int32_t value) { Repaint(model_.SetProgress(value)); }
  // Adds `delta` to Progress (clamped like SetProgress).
  void AddProgress(std::int32_t delta) { Repaint(model_.AddProgress(delta)); }

  // The whole percentage of Progress within the range, 0..100.
  int PercentDone() const { return model_.PercentDone(); }

 protected:
  // Paints at once if `changed` and the control is showing.
  virtual void Repaint(bool changed) = 0;
  // The parent's window colour that a ParentColor gauge takes.
  virtual TColor ParentWindowColor() const = 0;

  TGaugeModel model_;
};
