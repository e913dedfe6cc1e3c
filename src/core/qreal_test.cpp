#include "core/qreal.hpp"

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

namespace marrowfen {
namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double INF = std::numeric_limits<double>::infinity();
const double P25 = std::ldexp(1.0, -25);  // half a grid step
const double P24 = std::ldexp(1.0, -24);  // one grid step

std::uint64_t as_u64(std::int64_t v) { return static_cast<std::uint64_t>(v); }

TEST(Qreal, QuantisedRepresentation) {
  struct Case {
    const char* what;
    double x;
    std::int64_t repr;
  };
  const Case cases[] = {
      {"zero", 0.0, 0},
      {"negative zero", -0.0, 0},
      {"one", 1.0, 1 << 24},
      {"half step rounds away from zero", P25, 1},
      {"minus half step", -P25, -1},
      {"just below half step", P25 - 1e-12, 0},
      {"one and a half steps", 3 * P25, 2},
      {"NaN", NaN, 0},
      {"+inf", INF, INT64_MAX},
      {"-inf", -INF, INT64_MIN},
      {"2^39 saturates", std::ldexp(1.0, 39), INT64_MAX},
      {"largest below 2^39 is exact", std::ldexp(1.0, 39) - std::ldexp(1.0, -14),
       9223372036854774784LL},
      {"-2^39 is exactly INT64_MIN", -std::ldexp(1.0, 39), INT64_MIN},
      {"below -2^39 saturates", -std::ldexp(1.0, 40), INT64_MIN},
  };
  for (const Case& c : cases) EXPECT_EQ(Qreal(c.x).percision_repr(), as_u64(c.repr)) << c.what;
}

TEST(Qreal, EqualityOnTheGrid) {
  struct Case {
    double a, b;
    bool equal;
  };
  const Case cases[] = {
      {P25, 0.0, false},
      {-P25, 0.0, false},
      {P25 * 0.99, 0.0, true},
      {-P25 * 0.99, 0.0, true},
      {NaN, 0.0, true},
      {NaN, NaN, true},
      {P25, P25 - 1e-12, false},  // either side of a rounding boundary
      {0.1, 0.1 + 1e-9, true},
      {INF, 1e300, true},         // both saturate
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Qreal(c.a) == Qreal(c.b), c.equal) << c.a << " vs " << c.b;
    EXPECT_EQ(Qreal(c.a) != Qreal(c.b), !c.equal) << c.a << " vs " << c.b;
  }
}

// The order compares the quantised integers as unsigned: zero (and NaN) first, positives
// ascending, then negatives from the most negative to the values just below zero.
TEST(Qreal, UnsignedOrder) {
  const std::vector<double> ascending = {0.0, P25, 1.0, 1e9, INF, -INF, -1e9, -1.0, -P25};
  for (std::size_t i = 0; i < ascending.size(); ++i)
    for (std::size_t j = 0; j < ascending.size(); ++j) {
      const auto got = Qreal(ascending[i]) <=> Qreal(ascending[j]);
      const auto want = i <=> j;
      EXPECT_EQ(got, want) << ascending[i] << " vs " << ascending[j];
    }
  EXPECT_EQ(Qreal(NaN) <=> Qreal(0.0), std::strong_ordering::equal);
  EXPECT_LT(Qreal(NaN), Qreal(1.0));
}

TEST(Qreal, NearZero) {
  struct Case {
    double x;
    bool near;
  };
  const Case cases[] = {{0.0, true}, {P25, true},  {-P25, true}, {P24, false},
                        {-P24, false}, {std::nextafter(P24, 0.0), true}, {NaN, false},
                        {INF, false}};
  for (const Case& c : cases) EXPECT_EQ(Qreal(c.x).near_zero(), c.near) << c.x;
}

// x * 256 truncated toward zero, saturating like the grid representation.
TEST(Qreal, LooseEq) {
  struct Case {
    double a, b;
    bool equal;
  };
  const Case cases[] = {
      {0.0039, -0.0039, true},      // 0.998 and -0.998 both truncate to 0
      {0.00390625, 0.0039, false},  // 1 against 0
      {0.5, 0.5039, true},          // 128 and 128.998 -> 128
      {-0.9999, -0.99, false},      // -255.97 -> -255, -253.44 -> -253
      {-0.5, 0.5, false},
      {NaN, 0.0, true},
      {INF, 1e300, true},
      {-INF, -1e300, true},
  };
  for (const Case& c : cases)
    EXPECT_EQ(Qreal::loose_eq(c.a, c.b), c.equal) << c.a << " vs " << c.b;
}

// A Qreal hashes as its quantised integer, 8 bytes little-endian; a complex number as its
// real part then its imaginary part. Oracle for (0.5, -0.25): CPython's hash of
// struct.pack('<qq', 1 << 23, -(1 << 22)) under PYTHONHASHSEED=0.
TEST(Qreal, ContentHash) {
  for (double x : {0.0, 1.0, -1.0, P25, 1e300}) {
    ContentHasher h;
    h.i64(static_cast<std::int64_t>(Qreal(x).percision_repr()));
    EXPECT_EQ(content_hash(Qreal(x)), h.finish()) << x;
  }
  EXPECT_EQ(content_hash(Qreal(NaN)), content_hash(Qreal(0.0)));
  EXPECT_EQ(content_hash(QComplex{0.5, -0.25}), 0x25b5507c329a5c32ULL);
  EXPECT_EQ((QComplex{0.5, NaN}), (QComplex{0.5, 0.0}));
  EXPECT_NE((QComplex{0.5, 0.0}), (QComplex{0.0, 0.5}));
}

// Display is the double's text under the caller's options. (Fixed-point needs the 'f' type:
// with fmt a bare "{:.4}" is general format, 0.5 giving "0.5".)
TEST(Qreal, DisplayIsTheDoubles) {
  for (double x : {0.5, -0.25, 1.0 / 3.0, 1e-7, 123456.789, 0.0}) {
    EXPECT_EQ(fmt::format("{:.4f}", Qreal(x)), fmt::format("{:.4f}", x));
    EXPECT_EQ(fmt::format("{:+.4f}", Qreal(x)), fmt::format("{:+.4f}", x));
    EXPECT_EQ(fmt::format("{:>12.2f}", Qreal(x)), fmt::format("{:>12.2f}", x));
    EXPECT_EQ(fmt::format("{}", Qreal(x)), fmt::format("{}", x));
  }
  EXPECT_EQ(fmt::format("{:.4f}{:+.4f}j", Qreal(0.5), Qreal(-0.25)), "0.5000-0.2500j");
}

}  // namespace
}  // namespace marrowfen
