#include "widgets/GaugeModel.h"

#include <algorithm>

#include "widgets/GaugeMath.h"

std::string RangeErrorMessage(std::int64_t low, std::int64_t high) {
  return "Wert muß zwischen " + std::to_string(low) + " und " + std::to_string(high) + " liegen";
}

bool TGaugeModel::SetMinValue(std::int32_t value) {
  if (value == minValue_) {
    return false;
  }
  if (value > maxValue_) {
    // Bounds formed in 64 bits: MaxValue - 1 must not overflow at the low end.
    throw EInvalidOperation(RangeErrorMessage(-2147483647, std::int64_t{maxValue_} - 1));
  }
  minValue_ = value;
  if (value > progress_) {
    progress_ = value;
  }
  return true;
}

bool TGaugeModel::SetMaxValue(std::int32_t value) {
  if (value == maxValue_) {
    return false;
  }
  if (value < minValue_) {
    throw EInvalidOperation(RangeErrorMessage(std::int64_t{minValue_} + 1, 2147483647));
  }
  maxValue_ = value;
  if (value < progress_) {
    progress_ = value;
  }
  return true;
}

bool TGaugeModel::SetProgress(std::int32_t value) {
  const int before = PercentDone();
  value = std::clamp(value, minValue_, maxValue_);
  if (value == progress_) {
    return false;
  }
  progress_ = value;
  return PercentDone() != before;
}

bool TGaugeModel::AddProgress(std::int32_t delta) {
  const std::int64_t target =
      std::clamp(std::int64_t{progress_} + delta, std::int64_t{minValue_}, std::int64_t{maxValue_});
  return SetProgress(static_cast<std::int32_t>(target));
}

int TGaugeModel::PercentDone() const {
  return gauge_math::Percent(minValue_, maxValue_, progress_);
}

TGaugeLook TGaugeModel::Look(int width, int height, TColor color) const {
  TGaugeLook look;
  look.width = width;
  look.height = height;
  look.kind = kind_;
  look.showText = showText_;
  look.borderStyle = borderStyle_;
  look.foreColor = foreColor_;
  look.backColor = backColor_;
  look.color = color;
  look.percent = PercentDone();
  return look;
}
