#include "widgets/TGauge.h"

#include <QPaintEvent>
#include <QPainter>

#include "QtCanvas.h"
#include "widgets/GaugeCanvas.h"

TGauge::TGauge(QWidget* parent) : QWidget(parent), pixels_(std::make_shared<TQtPixelStore>()) {
  // Paints every pixel itself: the parent is not erased behind it.
  setAttribute(Qt::WA_OpaquePaintEvent);
  setAttribute(Qt::WA_NoSystemBackground);
  setAutoFillBackground(false);
  resize(100, 100);
}

void TGauge::Repaint(bool changed) {
  if (changed && isVisible() && parentWidget() != nullptr) {
    repaint();
  }
}

void TGauge::SetKind(TGaugeKind value) {
  Repaint(model_.SetKind(value));
}

void TGauge::SetShowText(bool value) {
  Repaint(model_.SetShowText(value));
}

void TGauge::SetBorderStyle(TBorderStyle value) {
  Repaint(model_.SetBorderStyle(value));
}

void TGauge::SetForeColor(TColor value) {
  Repaint(model_.SetForeColor(value));
}

void TGauge::SetBackColor(TColor value) {
  Repaint(model_.SetBackColor(value));
}

TColor TGauge::Color() const {
  if (model_.ParentColor() && parentWidget() != nullptr) {
    return ColorToTColor(parentWidget()->palette().color(QPalette::Window));
  }
  return model_.OwnColor();
}

void TGauge::SetColor(TColor value) {
  if (value == Color()) {
    return;
  }
  model_.SetOwnColor(value);  // an own colour no longer follows the parent
  Repaint(true);
}

void TGauge::SetParentColor(bool value) {
  Repaint(model_.SetParentColor(value));
}

void TGauge::SetMinValue(std::int32_t value) {
  Repaint(model_.SetMinValue(value));
}

void TGauge::SetMaxValue(std::int32_t value) {
  Repaint(model_.SetMaxValue(value));
}

void TGauge::SetProgress(std::int32_t value) {
  Repaint(model_.SetProgress(value));
}

void TGauge::AddProgress(std::int32_t delta) {
  Repaint(model_.AddProgress(delta));
}

TGaugeLook TGauge::Look() const {
  return model_.Look(width(), height(), Color());
}

QImage TGauge::RenderImage() const {
  const TGaugeLook look = Look();
  if (look.width <= 0 || look.height <= 0) {
    return QImage();
  }
  TQtCanvas target(look.width, look.height, font(), palette(), pixels_.get());
  PaintGauge(target, look);
  return target.Bitmap().Image();
}

void TGauge::paintEvent(QPaintEvent* /*event*/) {
  ++paintCount_;
  const QImage picture = RenderImage();
  if (picture.isNull()) {
    return;
  }
  // One transfer of the composed picture: the gauge never shows a half-drawn state.
  QPainter painter(this);
  painter.setCompositionMode(QPainter::CompositionMode_Source);
  painter.drawImage(0, 0, picture);
}
