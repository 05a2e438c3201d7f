#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include <QFont>
#include <QImage>
#include <QPalette>
#include <QWidget>

#include "widgets/TBltBitmap.h"
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

// Everything the picture of a gauge depends on. The gauge widget paints from
// its own copy; tools and tests can compose a picture from one directly.
struct TGaugeLook {
  int width = 100;
  int height = 100;
  TGaugeKind kind = gkHorizontalBar;
  bool showText = true;
  TBorderStyle borderStyle = bsSingle;
  QColor foreColor = Qt::black;
  QColor backColor = Qt::white;
  QColor color = Qt::lightGray;  // fill around the figure (pie, needle)
  QFont font;
  int percent = 0;  // 0..100
};

// Composes the picture of a gauge off screen: kind bitmap, then the text
// overlay XORed in. `palette` resolves the system colours the bitmaps use.
QImage ComposeGauge(const TGaugeLook& look, const QPalette& palette);

// Progress gauge: shows where Progress stands between MinValue and MaxValue as
// a whole percentage, in one of five drawing kinds, with the percentage text
// drawn in the inverse colour of what lies beneath it. It has no native window
// and paints every pixel of its rectangle; a change of what it shows repaints
// it at once, inside the assignment.
class TGauge : public QWidget {
 public:
  explicit TGauge(QWidget* parent = nullptr);

  TGaugeKind Kind() const { return kind_; }
  void SetKind(TGaugeKind value);
  bool ShowText() const { return showText_; }
  void SetShowText(bool value);
  TBorderStyle BorderStyle() const { return borderStyle_; }
  void SetBorderStyle(TBorderStyle value);
  TColor ForeColor() const { return foreColor_; }
  void SetForeColor(TColor value);
  TColor BackColor() const { return backColor_; }
  void SetBackColor(TColor value);
  // The fill around the pie and needle figures. While ParentColor is true it
  // follows the parent's window colour; assigning a colour clears ParentColor.
  TColor Color() const;
  void SetColor(TColor value);
  bool ParentColor() const { return parentColor_; }
  void SetParentColor(bool value);

  // Range and value; the setters keep MinValue <= Progress <= MaxValue.
  // SetMinValue/SetMaxValue throw EInvalidOperation for a value that would
  // cross the other end; SetProgress clamps.
  std::int32_t MinValue() const { return minValue_; }
  void SetMinValue(std::int32_t value);
  std::int32_t MaxValue() const { return maxValue_; }
  void SetMaxValue(std::int32_t value);
  std::int32_t Progress() const { return progress_; }
  void SetProgress(std::int32_t value);
  // Adds `delta` to Progress (clamped like SetProgress).
  void AddProgress(std::int32_t delta);

  // The whole percentage of Progress within the range, 0..100.
  int PercentDone() const;

  // The picture the gauge paints, composed off screen at its current size.
  QImage RenderImage() const;
  // The look the next paint uses (colours resolved from the palette).
  TGaugeLook Look() const;

  // Number of paint operations run so far (for checks of repaint behaviour).
  int PaintCount() const { return paintCount_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  void Repaint();
  QPalette ColorPalette() const;

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
  int paintCount_ = 0;
};
