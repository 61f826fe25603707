// Rounding used throughout the font code: to the nearest integer with halves away from zero, clamped into
// the signed 32-bit range (NaN gives 0), so no conversion is ever undefined.
#pragma once

#include <cmath>
#include <cstdint>

inline int32_t roundToInt32(double value) {
  if (std::isnan(value)) return 0;
  const double rounded = std::round(value);
  if (rounded <= -2147483648.0) return INT32_MIN;
  if (rounded >= 2147483647.0) return INT32_MAX;
  return static_cast<int32_t>(rounded);
}

inline int32_t clampToInt32(int64_t value) {
  if (value < INT32_MIN) return INT32_MIN;
  if (value > INT32_MAX) return INT32_MAX;
  return static_cast<int32_t>(value);
}
