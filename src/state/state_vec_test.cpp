#include "state/state_vec.hpp"

#include <bit>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/content_hash.hpp"
#include "core/panic.hpp"
#include "core/test_support.hpp"
#include "state/quantise.hpp"

namespace marrowfen {
namespace {

StateVec sv(std::vector<double> re, std::vector<double> im) { return StateVec::create(re, im); }

ChaCha12 seeded(std::uint8_t b) {
  ChaCha12::Seed seed{};
  for (std::size_t i = 0; i < seed.size(); ++i) seed[i] = static_cast<std::uint8_t>(b + 7 * i);
  return ChaCha12::from_seed(seed);
}

const double NaN = std::numeric_limits<double>::quiet_NaN();

TEST(GridRepr, EqualsPercisionReprEverywhere) {
  std::vector<double> xs = {0.0, -0.0, NaN, -NaN, std::numeric_limits<double>::infinity(),
                            -std::numeric_limits<double>::infinity(), 0x1p-25, -0x1p-25,
                            0x1p-25 - 1e-30, 0x1p39, -0x1p39, 0x1p38 * 1.5, -0x1p63 * 0x1p-24,
                            std::numeric_limits<double>::max(), std::numeric_limits<double>::denorm_min()};
  // Halves and their neighbours on the grid, at every magnitude up to where doubles are integers.
  for (double k = 0.5; k < 0x1p53; k = k * 2.0 + 0.5)
    for (double y : {k, std::nextafter(k, 0.0), std::nextafter(k, 1e300)})
      for (double sign : {1.0, -1.0}) xs.push_back(sign * y * 0x1p-24);
  ChaCha12 rng = seeded(77);
  for (int i = 0; i < 200000; ++i) {
    xs.push_back(std::bit_cast<double>(rng.next_u64()));  // every exponent
    xs.push_back((rng.next_f64() - 0.5) * 4.0);           // amplitudes
  }
  for (double x : xs)
    ASSERT_EQ(grid_repr(x), Qreal(x).percision_repr()) << std::bit_cast<std::uint64_t>(x);
}

TEST(StateVec, ConstructorChecksLengthsThenPowerOfTwo) {
  EXPECT_EQ(stop_message([] { sv({1.0, 0.0}, {0.0, 0.0, 0.0, 0.0}); }),
            "assertion `left == right` failed: Real and imaginary parts must have the same "
            "length\n  left: 2\n right: 4");
  EXPECT_EQ(stop_message([] { sv({1.0, 0.0, 0.0}, {0.0, 0.0, 0.0}); }),
            "Length must be a power of 2");
  EXPECT_EQ(stop_message([] { sv({}, {}); }), "Length must be a power of 2");
  // Stored as given, not normalised.
  StateVec s = sv({3.0, 4.0}, {0.0, 0.0});
  EXPECT_EQ(s.nqubits(), 1u);
  EXPECT_EQ(s.len(), 2u);
  EXPECT_EQ(s.at(1).re.v, 4.0);
  EXPECT_FALSE(s.check());
}

TEST(StateVec, SizeLimits) {
  const char* too_large = "Number of qubits too large, resulting in overflow for state vector size.";
  ChaCha12 rng = seeded(1);
  for (std::uint32_t n : {32u, 33u, 4000000000u}) {
    EXPECT_EQ(stop_message([&] { StateVec::zeros(n); }), too_large);
    EXPECT_EQ(stop_message([&] { StateVec::from_random(rng, n); }), too_large);
    EXPECT_EQ(stop_message([&] { StateVec::from_random_symmetric(rng, n); }), too_large);
  }
  for (std::uint32_t n : {28u, 31u}) {
    EXPECT_EQ(stop_message([&] { StateVec::zeros(n); }), "capacity overflow");
    EXPECT_EQ(stop_message([&] { StateVec::from_random(rng, n); }), "capacity overflow");
    EXPECT_EQ(stop_message([&] { StateVec::from_random_symmetric(rng, n); }), "capacity overflow");
  }
  StateVec z = StateVec::zeros(0);
  EXPECT_EQ(z.len(), 1u);
  EXPECT_EQ(z.at(0).re.v, 0.0);
}

TEST(StateVec, RandomDrawsRealPartsFirstThenNormalises) {
  for (std::uint32_t n : {0u, 1u, 3u, 5u}) {
    ChaCha12 a = seeded(static_cast<std::uint8_t>(n));
    ChaCha12 b = seeded(static_cast<std::uint8_t>(n));
    const StateVec s = StateVec::from_random(a, n);
    const std::size_t len = std::size_t{1} << n;
    std::vector<double> re(len), im(len);
    for (auto& x : re) x = static_cast<double>(b.next_u64() >> 11) * 0x1.0p-53;
    for (auto& x : im) x = static_cast<double>(b.next_u64() >> 11) * 0x1.0p-53;
    StateVec expect = sv(re, im);
    expect.normalize();
    for (std::size_t i = 0; i < len; ++i) {
      EXPECT_EQ(std::bit_cast<std::uint64_t>(s.re()[i].v), std::bit_cast<std::uint64_t>(expect.re()[i].v));
      EXPECT_EQ(std::bit_cast<std::uint64_t>(s.im()[i].v), std::bit_cast<std::uint64_t>(expect.im()[i].v));
    }
    EXPECT_TRUE(s.check());
    EXPECT_EQ(s.im()[0].v, 0.0);
    EXPECT_GE(s.re()[0].v, 0.0);
    EXPECT_EQ(a.next_u64(), b.next_u64());  // both consumed exactly 2 * 2^n draws
  }
}

TEST(StateVec, SymmetricStateDependsOnlyOnHammingWeight) {
  for (std::uint32_t n : {0u, 2u, 3u, 5u}) {
    ChaCha12 a = seeded(static_cast<std::uint8_t>(40 + n));
    ChaCha12 b = seeded(static_cast<std::uint8_t>(40 + n));
    const StateVec s = StateVec::from_random_symmetric(a, n);
    std::vector<double> ta(n + 1), tb(n + 1);
    for (auto& x : ta) x = b.next_f64();
    for (auto& x : tb) x = b.next_f64();
    const std::size_t len = std::size_t{1} << n;
    std::vector<double> re(len), im(len);
    for (std::size_t i = 0; i < len; ++i) {
      re[i] = ta[std::popcount(i)];
      im[i] = tb[std::popcount(i)];
    }
    StateVec expect = sv(re, im);
    expect.normalize();
    EXPECT_TRUE(s == expect);
    for (std::size_t i = 0; i < len; ++i)
      for (std::size_t j = 0; j < len; ++j)
        if (std::popcount(i) == std::popcount(j)) {
          EXPECT_EQ(s.re()[i].v, s.re()[j].v);
          if (i != 0 && j != 0) {
            EXPECT_EQ(s.im()[i].v, s.im()[j].v);
          }
        }
  }
}

TEST(StateVec, NormalizeArithmeticOrder) {
  // The exact sequence of double operations: s accumulated in index order, each part divided
  // by sqrt(s), then the phase factor of amplitude 0 applied as a complex product.
  StateVec s = sv({0.3, -0.1, 0.7, 0.2}, {0.4, 0.25, -0.6, 0.05});
  std::vector<double> re{0.3, -0.1, 0.7, 0.2}, im{0.4, 0.25, -0.6, 0.05};
  double sum = 0.0;
  for (int i = 0; i < 4; ++i) sum = sum + (re[i] * re[i] + im[i] * im[i]);
  const double r = std::sqrt(sum);
  for (int i = 0; i < 4; ++i) {
    re[i] = re[i] / r;
    im[i] = im[i] / r;
  }
  const double f = re[0] * re[0] + im[0] * im[0];
  const double g = std::sqrt(f);
  const double fr = g * (re[0] / f), fi = g * (-im[0] / f);
  for (int i = 0; i < 4; ++i) {
    const double a = re[i], b = im[i];
    re[i] = a * fr - b * fi;
    im[i] = a * fi + b * fr;
  }
  im[0] = 0.0;
  s.normalize();
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(std::bit_cast<std::uint64_t>(s.re()[i].v), std::bit_cast<std::uint64_t>(re[i])) << i;
    EXPECT_EQ(std::bit_cast<std::uint64_t>(s.im()[i].v), std::bit_cast<std::uint64_t>(im[i])) << i;
  }
}

TEST(StateVec, NormalizeArgReference) {
  // Amplitude 0 is the reference.
  StateVec a = sv({0.0, 1.0}, {1.0, 0.0});
  a.normalize_arg();
  EXPECT_TRUE(a == sv({1.0, 0.0}, {0.0, -1.0}));
  EXPECT_EQ(a.display(), "[1.0000, -1.0000j]");

  // Amplitude 0 negligible: the last amplitude becomes real and non-negative; im[0] forced to 0.
  StateVec b = sv({1e-9, 0.6, 0.0, 0.0}, {1e-9, 0.0, 0.0, -0.8});
  b.normalize_arg();
  EXPECT_NEAR(b.re()[3].v, 0.8, 1e-15);
  EXPECT_NEAR(b.im()[3].v, 0.0, 1e-15);
  EXPECT_NEAR(b.im()[1].v, 0.6, 1e-15);  // times conj(-0.8i)/0.8 = i
  EXPECT_EQ(b.im()[0].v, 0.0);

  // Amplitude 0 and the last negligible: the phase of the sum is removed.
  StateVec c = sv({0.0, 0.0, 0.6, 0.0}, {0.0, 0.6, 0.0, 0.0});
  c.normalize_arg();  // sum (0.6, 0.6): factor e^{-i pi/4}
  const double h = std::sqrt(0.5) * 0.6;
  EXPECT_NEAR(c.re()[1].v, h, 1e-15);
  EXPECT_NEAR(c.im()[1].v, h, 1e-15);
  EXPECT_NEAR(c.re()[2].v, h, 1e-15);
  EXPECT_NEAR(c.im()[2].v, -h, 1e-15);

  // A 0-qubit state normalises to (1, 0) whatever its phase.
  StateVec d = sv({-0.3}, {0.4});
  d.normalize();
  EXPECT_NEAR(d.re()[0].v, 1.0, 1e-15);
  EXPECT_EQ(d.im()[0].v, 0.0);
}

TEST(StateVec, NormalizeAllZeroGivesNaN) {
  StateVec s = StateVec::zeros(2);
  s.normalize();
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_TRUE(std::isnan(s.re()[i].v));
    if (i != 0) {
      EXPECT_TRUE(std::isnan(s.im()[i].v));
    }
  }
  EXPECT_EQ(s.im()[0].v, 0.0);
  EXPECT_FALSE(std::signbit(s.im()[0].v));
  EXPECT_FALSE(s.check());
  EXPECT_EQ(s.display(), "[NaN, NaNNaNj, NaNNaNj, NaNNaNj]");
}

TEST(StateVec, GlobalPhaseAndGridEquality) {
  ChaCha12 rng = seeded(9);
  const StateVec s = StateVec::from_random(rng, 3);
  // Multiply by e^{i 0.9}, then canonicalise again.
  const double c = std::cos(0.9), sn = std::sin(0.9);
  std::vector<double> re(8), im(8);
  for (std::size_t i = 0; i < 8; ++i) {
    re[i] = s.re()[i].v * c - s.im()[i].v * sn;
    im[i] = s.re()[i].v * sn + s.im()[i].v * c;
  }
  StateVec t = sv(re, im);
  EXPECT_FALSE(t == s);
  t.normalize_arg();
  EXPECT_TRUE(t == s);
  EXPECT_EQ(t.hash_value(), s.hash_value());
  EXPECT_EQ(t <=> s, std::strong_ordering::equal);

  // Differences below the grid vanish, differences across it do not.
  EXPECT_TRUE(sv({0.1, 0.0}, {0.0, 0.0}) == sv({0.1 + 1e-9, 0.0}, {0.0, 0.0}));
  EXPECT_FALSE(sv({0x1p-25, 0.0}, {0.0, 0.0}) == sv({0x1p-25 - 1e-12, 0.0}, {0.0, 0.0}));
  // NaN quantises like 0.
  EXPECT_TRUE(sv({NaN, 0.0}, {0.0, 0.0}) == sv({0.0, 0.0}, {0.0, 0.0}));
  // Length matters for equality.
  EXPECT_FALSE(sv({0.0, 0.0}, {0.0, 0.0}) == sv({0.0}, {0.0}));
}

TEST(StateVec, OrderIsQrealOrderRealPartsFirst) {
  const StateVec pos = sv({0.5, 0.25}, {0.0, 0.0});
  const StateVec neg = sv({0.5, -0.25}, {0.0, 0.0});
  const StateVec big = sv({0.5, 0.75}, {0.0, 0.0});
  EXPECT_TRUE(pos < big);
  EXPECT_TRUE(big < neg);  // every negative value sorts after every positive one
  EXPECT_TRUE(sv({0.0, 0.0}, {0.0, 0.0}) < pos);
  // Imaginary parts decide only when the real parts are equal.
  EXPECT_TRUE(sv({0.5, 0.25}, {0.0, 0.9}) < sv({0.5, 0.25}, {0.0, -0.1}));
  EXPECT_TRUE(sv({0.1, 0.0}, {0.9, 0.9}) < sv({0.2, 0.0}, {0.0, 0.0}));
  // A proper prefix first.
  EXPECT_TRUE(sv({0.5}, {0.0}) < sv({0.5, 0.0}, {0.0, 0.0}));
}

TEST(StateVec, HashFeedsLengthsAndQuantisedParts) {
  const StateVec s = sv({0.5, -0.25, 0.125, 1e-9}, {0.0, 0.75, -1.0, 3.0});
  ContentHasher h;
  h.usize(4);
  for (Qreal q : s.re()) h.u64(q.percision_repr());
  h.usize(4);
  for (Qreal q : s.im()) h.u64(q.percision_repr());
  EXPECT_EQ(s.hash_value(), h.finish());
  // Long states go through the chunked path.
  ChaCha12 rng = seeded(3);
  const StateVec big = StateVec::from_random(rng, 8);
  ContentHasher g;
  g.usize(big.len());
  for (Qreal q : big.re()) g.u64(q.percision_repr());
  g.usize(big.len());
  for (Qreal q : big.im()) g.u64(q.percision_repr());
  EXPECT_EQ(big.hash_value(), g.finish());
  EXPECT_EQ(content_hash(big), big.hash_value());
}

TEST(StateVec, LooseEqTruncatesAt256ths) {
  EXPECT_FALSE(sv({0.00390, 0.0}, {0.0, 0.0}).loose_eq(sv({0.00392, 0.0}, {0.0, 0.0})));
  EXPECT_TRUE(sv({0.0001, 0.0}, {0.0, 0.0}).loose_eq(sv({0.0038, 0.0}, {0.0, 0.0})));
  EXPECT_TRUE(sv({0.0039, 0.0}, {0.0, 0.0}).loose_eq(sv({-0.0039, 0.0}, {0.0, 0.0})));
  EXPECT_FALSE(sv({0.5, 0.0}, {0.0, 0.1}).loose_eq(sv({0.5, 0.0}, {0.0, 0.2})));
  // Only the common prefix is compared.
  EXPECT_TRUE(sv({0.5, 0.1}, {0.0, 0.0}).loose_eq(sv({0.5}, {0.0})));
}

TEST(StateVec, CheckIsStrictUnitNorm) {
  EXPECT_TRUE(sv({1.0, 0.0}, {0.0, 0.0}).check());
  EXPECT_TRUE(sv({0.6, 0.0}, {0.0, 0.8}).check());
  EXPECT_FALSE(sv({std::sqrt(1.0 + 0x1p-23), 0.0}, {0.0, 0.0}).check());
  EXPECT_FALSE(sv({NaN, 0.0}, {0.0, 0.0}).check());
  EXPECT_FALSE(StateVec().check());
}

TEST(StateVec, Display) {
  EXPECT_EQ(sv({0.6, 0.0}, {0.0, -0.8}).display(), "[0.6000, -0.8000j]");
  EXPECT_EQ(sv({0.5, 0.5}, {0.25, -0.25}).display(), "[0.5000+0.2500j, 0.5000-0.2500j]");
  // Both parts negligible: the real part alone, sign included.
  EXPECT_EQ(sv({-1e-9, 1e300}, {1e-9, 0.0}).display().substr(0, 9), "[-0.0000,");
  EXPECT_EQ(fmt::format("{}", sv({std::sqrt(0.5), std::sqrt(0.5)}, {0.0, 0.0})),
            "[0.7071, 0.7071]");
  EXPECT_EQ(sv({-std::numeric_limits<double>::infinity()}, {std::numeric_limits<double>::infinity()})
                .display(),
            "[-inf+infj]");
  EXPECT_EQ(sv({0.5}, {-NaN}).display(), "[0.5000NaNj]");
  EXPECT_EQ(sv({1e17}, {0.0}).display(), "[100000000000000000.0000]");
}

TEST(StateVec, AtAndSetAreBoundsChecked) {
  StateVec s = StateVec::zeros(1);
  s.set(1, QComplex{0.25, -0.5});
  EXPECT_EQ(s.at(1).re.v, 0.25);
  EXPECT_EQ(s.at(1).im.v, -0.5);
  EXPECT_EQ(stop_message([&] { s.at(2); }), "index out of bounds: the len is 2 but the index is 2");
  EXPECT_EQ(stop_message([&] { s.set(5, QComplex{1.0, 0.0}); }),
            "index out of bounds: the len is 2 but the index is 5");
  const StateVec c = s.clone();
  s.set(0, QComplex{1.0, 0.0});
  EXPECT_EQ(c.at(0).re.v, 0.0);  // a deep copy
}

}  // namespace
}  // namespace marrowfen
