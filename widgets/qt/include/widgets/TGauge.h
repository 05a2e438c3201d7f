#pragma once

#include <cstdint>
#include <memory>

#include <QImage>
#include <QPalette>
#include <QWidget>

#include "widgets/GaugeControl.h"
#include "widgets/GaugeModel.h"
#include "widgets/QtColor.h"
#include "widgets/TColor.h"

// Progress gauge on Qt: shows where Progress stands between MinValue and
// MaxValue as a whole percentage, in one of five drawing kinds, with the
// percentage text drawn in the inverse colour of what lies beneath it. It has
// no native window and paints every pixel of its rectangle; a change of what
// it shows repaints it at once, inside the assignment.
class TQtPixelStore;

class TGauge : public QWidget, public TGaugeControl {
 public:
  explicit TGauge(QWidget* parent = nullptr);

  // The picture the gauge paints, composed off screen at its current size.
  QImage RenderImage() const;
  // The look the next paint uses.
  TGaugeLook Look() const;

  // Number of paint operations run so far (for checks of repaint behaviour).
  int PaintCount() const { return paintCount_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  void Repaint(bool changed) override;
  // The parent's window colour; the gauge's own colour while it has no parent.
  TColor ParentWindowColor() const override;

  // Pixel memory kept between paints (see TQtPixelStore).
  std::shared_ptr<TQtPixelStore> pixels_;
  int paintCount_ = 0;
};
