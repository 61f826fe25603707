// Rounding of lengths and positions scaled between pixels and logical units: computed in extended
// precision, taken to the nearest integer with halves away from zero and clamped into the signed 32-bit
// range, so that no conversion is undefined (NaN gives 0).
#pragma once

#include <cmath>
#include <cstdint>

inline int32_t nearestInt32(long double value) {
  if (std::isnan(value)) return 0;
  const long double rounded = std::roundl(value);
  if (rounded <= -2147483648.0L) return INT32_MIN;
  if (rounded >= 2147483647.0L) return INT32_MAX;
  return static_cast<int32_t>(rounded);
}
