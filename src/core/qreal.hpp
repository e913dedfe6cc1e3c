// Qreal: a double that computes plainly but compares, orders and hashes on the 2^-24 grid.
#pragma once

#include <cmath>
#include <compare>
#include <cstdint>

#include <fmt/format.h>

#include "core/content_hash.hpp"

namespace marrowfen {

// Saturating double -> int64 conversion: NaN gives 0.
inline std::int64_t saturating_i64(double x) noexcept {
  if (std::isnan(x)) return 0;
  if (x >= 9223372036854775808.0) return INT64_MAX;
  if (x < -9223372036854775808.0) return INT64_MIN;
  return static_cast<std::int64_t>(x);
}

struct Qreal {
  double v = 0.0;

  constexpr Qreal() noexcept = default;
  constexpr Qreal(double x) noexcept : v(x) {}  // NOLINT: implicit on purpose

  std::uint64_t percision_repr() const noexcept {
    return static_cast<std::uint64_t>(saturating_i64(std::round(v * 16777216.0)));
  }
  bool near_zero() const noexcept { return std::fabs(v) < 5.960464477539063e-08; }
  static bool loose_eq(Qreal a, Qreal b) noexcept {
    return saturating_i64(std::trunc(a.v * 256.0)) == saturating_i64(std::trunc(b.v * 256.0));
  }
  Qreal sqrt() const noexcept { return Qreal(std::sqrt(v)); }

  friend bool operator==(Qreal a, Qreal b) noexcept {
    return a.percision_repr() == b.percision_repr();
  }
  friend std::strong_ordering operator<=>(Qreal a, Qreal b) noexcept {
    return a.percision_repr() <=> b.percision_repr();
  }

  friend Qreal operator+(Qreal a, Qreal b) noexcept { return Qreal(a.v + b.v); }
  friend Qreal operator-(Qreal a, Qreal b) noexcept { return Qreal(a.v - b.v); }
  friend Qreal operator*(Qreal a, Qreal b) noexcept { return Qreal(a.v * b.v); }
  friend Qreal operator/(Qreal a, Qreal b) noexcept { return Qreal(a.v / b.v); }
  Qreal operator-() const noexcept { return Qreal(-v); }
  Qreal& operator+=(Qreal o) noexcept { v += o.v; return *this; }
  Qreal& operator-=(Qreal o) noexcept { v -= o.v; return *this; }
  Qreal& operator*=(Qreal o) noexcept { v *= o.v; return *this; }
  Qreal& operator/=(Qreal o) noexcept { v /= o.v; return *this; }

  void feed(ContentHasher& h) const noexcept { h.u64(percision_repr()); }
};

// A complex number of Qreal parts: equal when both parts are equal; hashed real then imaginary.
struct QComplex {
  Qreal re, im;
  friend bool operator==(QComplex a, QComplex b) noexcept { return a.re == b.re && a.im == b.im; }
  void feed(ContentHasher& h) const noexcept {
    re.feed(h);
    im.feed(h);
  }
};

}  // namespace marrowfen

// Display of a Qreal is the display of its double under the caller's format options.
template <>
struct fmt::formatter<marrowfen::Qreal> : fmt::formatter<double> {
  template <class Ctx>
  auto format(marrowfen::Qreal q, Ctx& ctx) const {
    return fmt::formatter<double>::format(q.v, ctx);
  }
};
