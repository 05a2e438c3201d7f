#pragma once

#include <cstdint>
#include <memory>

#include <QImage>
#include <QPalette>
#include <QWidget>

#include "widgets/GaugeModel.h"
#include "widgets/QtColor.h"
#include "widgets/TColor.h"

// Progress gauge on Qt: shows where Progress stands between MinValue and
// MaxValue as a whole percentage, in one of five drawing kinds, with the
// percentage text drawn in the inverse colour of what lies beneath it. It has
// no native window and paints every pixel of its rectangle; a change of what
// it shows repaints it at once, inside the assignment.
class TQtPixelStore;

class TGauge : public QWidget {
 public:
  explicit TGauge(QWidget* parent = nullptr);

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
  // follows the parent's window colour; assigning a colour clears ParentColor.
  TColor Color() const;
  void SetColor(TColor value);
  bool ParentColor() const { return model_.ParentColor(); }
  void SetParentColor(bool value);

  // Range and value; the setters keep MinValue <= Progress <= MaxValue.
  // SetMinValue/SetMaxValue throw EInvalidOperation for a value that would
  // cross the other end; SetProgress clamps.
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

  // The picture the gauge paints, composed off screen at its current size.
  QImage RenderImage() const;
  // The look the next paint uses.
  TGaugeLook Look() const;

  // Number of paint operations run so far (for checks of repaint behaviour).
  int PaintCount() const { return paintCount_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  void Repaint(bool changed);

  TGaugeModel model_;
  // Pixel memory kept between paints (see TQtPixelStore).
  std::shared_ptr<TQtPixelStore> pixels_;
  int paintCount_ = 0;
};
