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

TColor TGauge::ParentWindowColor() const {
  if (parentWidget() != nullptr) {
    return ColorToTColor(parentWidget()->palette().color(QPalette::Window));
  }
  return model_.OwnColor();
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
