#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "widgets/TColor.h"

// Failure of an operation on a control; the message is UTF-8.
class EInvalidOperation : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The message of a refused range assignment: "Wert muß zwischen LO und HI liegen".
std::string RangeErrorMessage(std::int64_t low, std::int64_t high);

enum TGaugeKind { gkText = 0, gkHorizontalBar = 1, gkVerticalBar = 2, gkPie = 3, gkNeedle = 4 };
enum TBorderStyle { bsNone = 0, bsSingle = 1 };

// Everything the picture of a gauge depends on, apart from the font, which
// the drawing surface carries. Colours may name system colours.
struct TGaugeLook {
  int width = 100;
  int height = 100;
  TGaugeKind kind = gkHorizontalBar;
  bool showText = true;
  TBorderStyle borderStyle = bsSingle;
  TColor foreColor = clBlack;
  TColor backColor = clWhite;
  TColor color = clBtnFace;  // fill around the figure (pie, needle)
  int percent = 0;           // 0..100
};

// The gauge's values and the rules of its setters, shared by the platform
// controls. Every setter returns true when the gauge must be repainted.
class TGaugeModel {
 public:
  TGaugeKind Kind() const { return kind_; }
  bool SetKind(TGaugeKind value) { return Assign(kind_, value); }
  bool ShowText() const { return showText_; }
  bool SetShowText(bool value) { return Assign(showText_, value); }
  TBorderStyle BorderStyle() const { return borderStyle_; }
  bool SetBorderStyle(TBorderStyle value) { return Assign(borderStyle_, value); }
  TColor ForeColor() const { return foreColor_; }
  bool SetForeColor(TColor value) { return Assign(foreColor_, value); }
  TColor BackColor() const { return backColor_; }
  bool SetBackColor(TColor value) { return Assign(backColor_, value); }

  // The gauge's own colour; while ParentColor is true the control shows its
  // parent's colour instead. Assigning a colour clears ParentColor.
  TColor OwnColor() const { return color_; }
  void SetOwnColor(TColor value) {
    color_ = value;
    parentColor_ = false;
  }
  bool ParentColor() const { return parentColor_; }
  bool SetParentColor(bool value) { return Assign(parentColor_, value); }

  // Range and value, kept MinValue <= Progress <= MaxValue. SetMinValue and
  // SetMaxValue throw EInvalidOperation for a value that would cross the
  // other end and then change nothing; SetProgress clamps and asks for a
  // repaint only when the whole percentage changes.
  std::int32_t MinValue() const { return minValue_; }
  bool SetMinValue(std::int32_t value);
  std::int32_t MaxValue() const { return maxValue_; }
  bool SetMaxValue(std::int32_t value);
  std::int32_t Progress() const { return progress_; }
  bool SetProgress(std::int32_t value);
  // Adds `delta` to Progress, clamped like SetProgress.
  bool AddProgress(std::int32_t delta);

  // The whole percentage of Progress within the range, 0..100.
  int PercentDone() const;

  // The look of a gauge of the given size filled around its figure with `color`.
  TGaugeLook Look(int width, int height, TColor color) const;

 private:
  template <typename T>
  static bool Assign(T& field, T value) {
    if (field == value) {
      return false;
    }
    field = value;
    return true;
  }

  TGaugeKind kind_ = gkHorizontalBar;
  bool showText_ = true;
  TBorderStyle borderStyle_ = bsSingle;
  TColor foreColor_ = clBlack;
  TColor backColor_ = clWhite;
  TColor color_ = clBtnFace;
  bool parentColor_ = true;
  std::int32_t minValue_ = 0;
  std::int32_t maxValue_ = 100;
  std::int32_t progress_ = 0;
};
