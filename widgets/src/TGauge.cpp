#include "widgets/TGauge.h"

#include <QPaintEvent>
#include <QPainter>
#include <algorithm>

#include "widgets/GaugeMath.h"

std::string RangeErrorMessage(std::int64_t low, std::int64_t high) {
  return "Wert muß zwischen " + std::to_string(low) + " und " + std::to_string(high) + " liegen";
}

TGauge::TGauge(QWidget* parent) : QWidget(parent) {
  // Paints every pixel itself: the parent is not erased behind it.
  setAttribute(Qt::WA_OpaquePaintEvent);
  setAttribute(Qt::WA_NoSystemBackground);
  setAutoFillBackground(false);
  resize(100, 100);
}

void TGauge::Repaint() {
  if (isVisible() && parentWidget() != nullptr) {
    repaint();
  }
}

void TGauge::SetKind(TGaugeKind value) {
  if (value != kind_) {
    kind_ = value;
    Repaint();
  }
}

void TGauge::SetShowText(bool value) {
  if (value != showText_) {
    showText_ = value;
    Repaint();
  }
}

void TGauge::SetBorderStyle(TBorderStyle value) {
  if (value != borderStyle_) {
    borderStyle_ = value;
    Repaint();
  }
}

void TGauge::SetForeColor(TColor value) {
  if (value != foreColor_) {
    foreColor_ = value;
    Repaint();
  }
}

void TGauge::SetBackColor(TColor value) {
  if (value != backColor_) {
    backColor_ = value;
    Repaint();
  }
}

TColor TGauge::Color() const {
  if (parentColor_ && parentWidget() != nullptr) {
    return ColorToTColor(parentWidget()->palette().color(QPalette::Window));
  }
  return color_;
}

void TGauge::SetColor(TColor value) {
  if (value == Color()) {
    return;
  }
  color_ = value;
  parentColor_ = false;  // an own colour no longer follows the parent
  Repaint();
}

void TGauge::SetParentColor(bool value) {
  if (value != parentColor_) {
    parentColor_ = value;
    Repaint();
  }
}

void TGauge::SetMinValue(std::int32_t value) {
  if (value == minValue_) {
    return;
  }
  if (value > maxValue_) {
    // Bounds formed in 64 bits: MaxValue - 1 must not overflow at the low end.
    throw EInvalidOperation(RangeErrorMessage(-2147483647, std::int64_t{maxValue_} - 1));
  }
  minValue_ = value;
  if (value > progress_) {
    progress_ = value;
  }
  Repaint();
}

void TGauge::SetMaxValue(std::int32_t value) {
  if (value == maxValue_) {
    return;
  }
  if (value < minValue_) {
    throw EInvalidOperation(RangeErrorMessage(std::int64_t{minValue_} + 1, 2147483647));
  }
  maxValue_ = value;
  if (value < progress_) {
    progress_ = value;
  }
  Repaint();
}

void TGauge::SetProgress(std::int32_t value) {
  const int before = PercentDone();
  value = std::clamp(value, minValue_, maxValue_);
  if (value != progress_) {
    progress_ = value;
    if (PercentDone() != before) {
      Repaint();
    }
  }
}

void TGauge::AddProgress(std::int32_t delta) {
  const std::int64_t target =
      std::clamp(std::int64_t{progress_} + delta, std::int64_t{minValue_}, std::int64_t{maxValue_});
  SetProgress(static_cast<std::int32_t>(target));
}

int TGauge::PercentDone() const {
  return gauge_math::Percent(minValue_, maxValue_, progress_);
}

QPalette TGauge::ColorPalette() const {
  return palette();
}

TGaugeLook TGauge::Look() const {
  const QPalette pal = ColorPalette();
  TGaugeLook look;
  look.width = width();
  look.height = height();
  look.kind = kind_;
  look.showText = showText_;
  look.borderStyle = borderStyle_;
  look.foreColor = ResolveColor(foreColor_, pal);
  look.backColor = ResolveColor(backColor_, pal);
  if (parentColor_ && parentWidget() != nullptr) {
    look.color = parentWidget()->palette().color(QPalette::Window);
    look.color.setAlpha(255);
  } else {
    look.color = ResolveColor(color_, pal);
  }
  look.font = font();
  look.percent = PercentDone();
  return look;
}

QImage TGauge::RenderImage() const {
  return ComposeGauge(Look(), ColorPalette());
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
