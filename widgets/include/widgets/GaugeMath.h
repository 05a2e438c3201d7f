#pragma once

#include <cstdint>
#include <limits>

// The gauge computes every non-integer value in 80-bit extended precision
// (64-bit mantissa, round to nearest even after each operation), so that bar
// edges and angles come out the same on every build.
static_assert(std::numeric_limits<long double>::digits == 64,
              "the gauge needs long double with a 64-bit mantissa (x87 extended)");

namespace gauge_math {

using Extended = long double;

// Constants as the extended values nearest to them; 0.01 lies slightly below.
inline constexpr Extended kOneHundredth = 0.01L;
inline constexpr Extended kTwoHundredths = 0.02L;
inline constexpr Extended kPi = 3.141592653589793238462643383279502884L;

// Truncation toward zero.
std::int64_t Trunc(Extended x);
// Rounding to the nearest integer, ties to even.
std::int64_t Round(Extended x);

// The whole percentage of `progress` within [minValue, maxValue]; 0 for an
// empty range. The product is formed in 64 bits, so wide ranges cannot overflow.
int Percent(std::int32_t minValue, std::int32_t maxValue, std::int32_t progress);

// Trunc(extent * (percent * 0.01)): the filled length of a bar.
std::int64_t BarLength(int extent, int percent);

// Angle of the pie's moving radial: (P * 0.02 + 0.5) * pi, rounded to double.
double PieAngle(int percent);
// Angle of the needle: P * 0.01 * pi, rounded to double.
double NeedleAngle(int percent);
// Round(scale * (1 - cos a)) and Round(scale * (1 - sin a)).
std::int64_t OneMinusCos(int scale, double angle);
std::int64_t OneMinusSin(int scale, double angle);

}  // namespace gauge_math
