#include <cmath>

#include "widgets/GaugeMath.h"

namespace gauge_math {

std::int64_t Trunc(Extended x) {
  return static_cast<std::int64_t>(std::trunc(x));
}

std::int64_t Round(Extended x) {
  const Extended down = std::floor(x);
  const Extended frac = x - down;  // exact: x and floor(x) share the grid of x
  auto result = static_cast<std::int64_t>(down);
  if (frac > 0.5L || (frac == 0.5L && (result % 2) != 0)) {
    ++result;
  }
  return result;
}

int Percent(std::int32_t minValue, std::int32_t maxValue, std::int32_t progress) {
  const std::int64_t span = std::int64_t{maxValue} - minValue;
  if (span == 0) {
    return 0;
  }
  const std::int64_t done = (std::int64_t{progress} - minValue) * 100;
  return static_cast<int>(Trunc(static_cast<Extended>(done) / static_cast<Extended>(span)));
}

std::int64_t BarLength(int extent, int percent) {
  const Extended fraction = static_cast<Extended>(percent) * kOneHundredth;
  return Trunc(static_cast<Extended>(extent) * fraction);
}

double PieAngle(int percent) {
  const Extended turn = static_cast<Extended>(percent) * kTwoHundredths + 0.5L;
  return static_cast<double>(turn * kPi);
}

double NeedleAngle(int percent) {
  const Extended fraction = static_cast<Extended>(percent) * kOneHundredth;
  return static_cast<double>(fraction * kPi);
}

std::int64_t OneMinusCos(int scale, double angle) {
  return Round(static_cast<Extended>(scale) * (1.0L - std::cos(static_cast<Extended>(angle))));
}

std::int64_t OneMinusSin(int scale, double angle) {
  return Round(static_cast<Extended>(scale) * (1.0L - std::sin(static_cast<Extended>(angle))));
}

}  // namespace gauge_math
