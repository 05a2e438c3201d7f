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
//
// On a scaled screen (device pixel ratio 1.25, 1.5, 2, ...) the picture is
// composed in device pixels, for the gauge's size on the device and with its
// font scaled alike, and copied one to one: the frame stays one device pixel,
// the figures and the text are as sharp as at 1 and the inverse colours exact.
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
  // The picture at `pixels` (the gauge's size in device pixels), the text
  // `scale` times as large.
  QImage Compose(QSize pixels, qreal scale) const;
  void Repaint(bool changed) override;
  // The parent's window colour; the gauge's own colour while it has no parent.
  TColor ParentWindowColor() const override;

  // Pixel memory kept between paints (see TQtPixelStore).
  std::shared_ptr<TQtPixelStore> pixels_;
  int paintCount_ = 0;
};
