// The 2^-24 grid representation of Qreal::percision_repr without a library call: the state's
// hashing, equality, order and qubit keys quantise every amplitude, so this sits on the
// search's inner loop. It returns exactly what percision_repr returns for every double.
#pragma once

#include <cmath>
#include <cstdint>

#include "core/qreal.hpp"

namespace marrowfen {

inline std::uint64_t grid_repr(double x) noexcept {
  const double y = x * 16777216.0;
  // From 2^52 on every double is an integer, so rounding changes nothing; infinities and NaN
  // go the same way and saturate.
  if (!(std::fabs(y) < 4503599627370496.0)) return static_cast<std::uint64_t>(saturating_i64(y));
  const std::int64_t t = static_cast<std::int64_t>(y);  // toward zero
  const double frac = y - static_cast<double>(t);       // exact: |y| < 2^52
  return static_cast<std::uint64_t>(t + (frac >= 0.5) - (frac <= -0.5));  // halves away from zero
}

inline std::uint64_t grid_repr(Qreal q) noexcept { return grid_repr(q.v); }

}  // namespace marrowfen
