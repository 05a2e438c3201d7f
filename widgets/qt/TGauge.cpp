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

QImage TGauge::Compose(QSize pixels, qreal scale) const {
  const TGaugeLook look = model_.Look(pixels.width(), pixels.height(), Color());
  if (look.width <= 0 || look.height <= 0) {
    return QImage();
  }
  TQtCanvas target(look.width, look.height, font(), palette(), pixels_.get(), scale);
  PaintGauge(target, look);
  return target.Bitmap().Image();
}

QImage TGauge::RenderImage() const {
  return Compose(size(), 1.0);
}

void TGauge::paintEvent(QPaintEvent* /*event*/) {
  ++paintCount_;
  QPainter painter(this);
  painter.setCompositionMode(QPainter::CompositionMode_Source);
  // Where the gauge lies in the device's pixels: the screen scales the
  // widget's coordinates by its device pixel ratio.
  const QTransform toDevice = painter.deviceTransform();
  if (toDevice.type() > QTransform::TxScale || toDevice.m11() <= 0 || toDevice.m22() <= 0) {
    // Turned or mirrored (a widget rendered into a transformed painter):
    // the picture at the gauge's own size, transformed as asked.
    const QImage picture = RenderImage();
    if (!picture.isNull()) {
      painter.drawImage(0, 0, picture);
    }
    return;
  }
  const QRectF area = toDevice.mapRect(QRectF(rect()));
  const QRect pixels(QPoint(qRound(area.left()), qRound(area.top())),
                     QPoint(qRound(area.right()) - 1, qRound(area.bottom()) - 1));
  const QImage picture = Compose(pixels.size(), toDevice.m22());
  if (picture.isNull()) {
    return;
  }
  // One transfer of the composed picture, device pixel for device pixel: the
  // gauge never shows a half-drawn state, and no pixel is doubled or dropped.
  painter.setWorldTransform(QTransform::fromTranslate(pixels.left(), pixels.top()) *
                            toDevice.inverted());
  painter.drawImage(0, 0, picture);
}
