#include "state/kernels.hpp"

#include <bit>
#include <cmath>
#include <complex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/panic.hpp"
#include "core/test_support.hpp"
#include "state/index_groups_test_support.hpp"
#include "state/indices.hpp"

namespace marrowfen {
namespace {

using Q = std::vector<std::uint8_t>;
using cd = std::complex<double>;

ChaCha12 seeded(std::uint8_t b) {
  ChaCha12::Seed seed{};
  for (std::size_t i = 0; i < seed.size(); ++i) seed[i] = static_cast<std::uint8_t>(b * 13 + i);
  return ChaCha12::from_seed(seed);
}

// A state with amplitude i = (i + 1) + (i + 1) / 10 i, so that every index is recognisable.
StateVec labelled(std::uint32_t n) {
  std::vector<double> re(std::size_t{1} << n), im(std::size_t{1} << n);
  for (std::size_t i = 0; i < re.size(); ++i) {
    re[i] = static_cast<double>(i + 1);
    im[i] = static_cast<double>(i + 1) / 10.0;
  }
  return StateVec::create(re, im);
}

// Plain reference: for every output index x, sum over the inputs y that agree with x outside
// the gate's qubits of M(row(x), row(y)) v_y, with row(x) reading the first qubit as the most
// significant bit. Independent of the index groups.
std::vector<cd> reference_apply(const StateVec& s, const Q& qubits, const GateMatrix& m) {
  const std::size_t len = s.len();
  const unsigned k = static_cast<unsigned>(qubits.size());
  std::size_t gate_mask = 0;
  for (auto q : qubits) gate_mask |= std::size_t{1} << q;
  auto row_of = [&](std::size_t x) {
    std::uint32_t r = 0;
    for (unsigned t = 0; t < k; ++t) r = (r << 1) | ((x >> qubits[t]) & 1);
    return r;
  };
  std::vector<cd> out(len);
  for (std::size_t x = 0; x < len; ++x) {
    cd acc = 0;
    for (std::size_t y = 0; y < len; ++y) {
      if ((x & ~gate_mask) != (y & ~gate_mask)) continue;
      const QComplex e = m.at(row_of(x), row_of(y));
      acc += cd(e.re.v, e.im.v) * cd(s.re()[y].v, s.im()[y].v);
    }
    out[x] = acc;
  }
  return out;
}

GateMatrix random_matrix(ChaCha12& rng, std::uint32_t d) {
  GateMatrix m(d, d);
  for (auto& e : m.data) e = QComplex{rng.next_f64() - 0.5, rng.next_f64() - 0.5};
  return m;
}

void expect_near(const StateVec& s, const std::vector<cd>& want, double tol = 1e-12) {
  ASSERT_EQ(s.len(), want.size());
  for (std::size_t i = 0; i < want.size(); ++i) {
    EXPECT_NEAR(s.re()[i].v, want[i].real(), tol) << "re " << i;
    EXPECT_NEAR(s.im()[i].v, want[i].imag(), tol) << "im " << i;
  }
}

// Every ordered choice of k distinct qubits out of n.
std::vector<Q> qubit_choices(unsigned n, unsigned k) {
  std::vector<Q> out;
  if (k == 1)
    for (unsigned a = 0; a < n; ++a) out.push_back({static_cast<std::uint8_t>(a)});
  if (k == 2)
    for (unsigned a = 0; a < n; ++a)
      for (unsigned b = 0; b < n; ++b)
        if (a != b) out.push_back({static_cast<std::uint8_t>(a), static_cast<std::uint8_t>(b)});
  if (k == 3)
    for (unsigned a = 0; a < n; ++a)
      for (unsigned b = 0; b < n; ++b)
        for (unsigned c = 0; c < n; ++c)
          if (a != b && b != c && a != c)
            out.push_back({static_cast<std::uint8_t>(a), static_cast<std::uint8_t>(b),
                           static_cast<std::uint8_t>(c)});
  return out;
}

TEST(GateFuncs, NineKernelsOnTheirGates) {
  EXPECT_EQ(GateFuncs::size(), 9u);
  for (const auto& row : GateFuncs::ROWS) {
    EXPECT_EQ(GATE_FUNCS.find(row.gate), row.kernel);
    EXPECT_EQ(row.gate.nqargs(), row.nqubits) << row.gate.display();
  }
  const char* names[] = {"h", "x", "z", "t", "tdg", "s", "sdg", "swap", "cx"};
  for (std::size_t i = 0; i < 9; ++i)
    EXPECT_EQ(Gate16::from_name(names[i]), GateFuncs::ROWS[i].gate) << names[i];
  for (const char* dense : {"i", "y", "cz", "cy", "rz(pi/3)", "t1/2"})
    EXPECT_EQ(GATE_FUNCS.find(*Gate16::from_name(dense)), nullptr) << dense;
  EXPECT_EQ(GATE_FUNCS.find(Gate16{60000}), nullptr);
}

TEST(Kernels, AgreeWithDenseAndReferenceOnRandomStates) {
  ChaCha12 rng = seeded(5);
  for (const auto& row : GateFuncs::ROWS) {
    const GateMatrix m = row.gate.matrix_copy();
    for (std::uint32_t n : {2u, 3u, 5u}) {
      for (const Q& qs : qubit_choices(n, row.nqubits)) {
        const StateVec base = StateVec::from_random(rng, n);
        StateVec kernel = base.clone(), dense = base.clone();
        kernel.apply(qs, row.gate);
        dense.multiply(qs, m);
        expect_near(kernel, reference_apply(base, qs, m));
        expect_near(dense, reference_apply(base, qs, m));
        EXPECT_TRUE(kernel == dense) << row.gate.display();
      }
    }
  }
}

TEST(Dense, AgreesWithReferenceForOneTwoThreeQubits) {
  ChaCha12 rng = seeded(6);
  for (std::uint32_t k : {1u, 2u, 3u}) {
    for (std::uint32_t n : {k, 4u}) {
      for (const Q& qs : qubit_choices(n, k)) {
        const GateMatrix m = random_matrix(rng, 1u << k);
        const StateVec base = StateVec::from_random(rng, n);
        StateVec s = base.clone();
        s.multiply(qs, m);
        expect_near(s, reference_apply(base, qs, m));
      }
    }
  }
}

// Bit-for-bit equality of every amplitude (StateVec's == compares on the quantised grid).
bool same_bits(const StateVec& a, const StateVec& b) {
  if (a.len() != b.len()) return false;
  for (std::size_t i = 0; i < a.len(); ++i)
    if (std::bit_cast<std::uint64_t>(a.re()[i].v) != std::bit_cast<std::uint64_t>(b.re()[i].v) ||
        std::bit_cast<std::uint64_t>(a.im()[i].v) != std::bit_cast<std::uint64_t>(b.im()[i].v))
      return false;
  return true;
}

TEST(Dense, PublishedMatricesGiveThePlainMultiplication) {
  // apply() reads a gate's matrix from its published block; multiply() takes the matrix as
  // given. Every built-in row without a kernel, and custom gates first applied by eight threads
  // at once, give the same bits both ways.
  ChaCha12 rng = seeded(9);
  std::vector<Gate16> dense;
  for (std::uint16_t g = 0; g < BUILTIN_GATE_COUNT; ++g)
    if (GATE_FUNCS.find(Gate16{g}) == nullptr) dense.push_back(Gate16{g});
  for (const Gate16 g : dense) {
    const GateMatrix m = g.matrix_copy();
    for (std::uint32_t n : {2u, 3u, 5u})
      for (const Q& qs : qubit_choices(n, g.nqargs())) {
        const StateVec base = StateVec::from_random(rng, n);
        StateVec cached = base.clone(), plain = base.clone();
        cached.apply(qs, g);
        plain.multiply(qs, m);
        EXPECT_TRUE(same_bits(cached, plain)) << g.display();
      }
  }

  for (std::uint32_t k : {1u, 2u}) {
    const GateMatrix m = random_matrix(rng, 1u << k);
    const Gate16 g = Gate16::create(fmt::format("published{}", k), {}, m);
    std::vector<StateVec> bases;
    for (int t = 0; t < 8; ++t) bases.push_back(StateVec::from_random(rng, 4));
    std::vector<int> agree(8, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
      threads.emplace_back([&, t] {
        int ok = 0;
        for (const Q& qs : qubit_choices(4, k)) {
          StateVec cached = bases[t].clone(), plain = bases[t].clone();
          cached.apply(qs, g);
          plain.multiply(qs, m);
          ok += same_bits(cached, plain);
        }
        agree[t] = ok;
      });
    for (std::thread& th : threads) th.join();
    for (int t = 0; t < 8; ++t) EXPECT_EQ(agree[t], int(qubit_choices(4, k).size())) << k;
  }
}

TEST(Kernels, StatesBeyondEightQubitsTakeTheRuntimeLoops) {
  ChaCha12 rng = seeded(7);
  const Gate16 cy = *Gate16::from_name("cy");
  struct Case {
    Gate16 gate;
    Q qubits;
  };
  const Case cases[] = {{gates::H, {8}},     {gates::T, {0}},      {gates::CX, {8, 0}},
                        {gates::SWAP, {3, 9}}, {cy, {9, 4}},          {*Gate16::from_name("y"), {0}}};
  for (const Case& c : cases) {
    const StateVec base = StateVec::from_random(rng, 10);
    StateVec s = base.clone();
    s.apply(c.qubits, c.gate);
    expect_near(s, reference_apply(base, c.qubits, c.gate.matrix_copy()));
  }
}

TEST(Dense, ArithmeticOrderIsAscendingColumns) {
  // One group: w_j = ((M(j,0) v0 + M(j,1) v1) + M(j,2) v2) + M(j,3) v3, each complex product
  // (a.re b.re - a.im b.im, a.re b.im + a.im b.re).
  ChaCha12 rng = seeded(8);
  const GateMatrix m = random_matrix(rng, 4);
  const StateVec base = StateVec::from_random(rng, 2);
  StateVec s = base.clone();
  const Q qs{1, 0};
  s.multiply(qs, m);
  const std::size_t entry[4] = {0, 1, 2, 3};  // qubits (1, 0): entry j is index j
  for (unsigned j = 0; j < 4; ++j) {
    double sr = 0, si = 0;
    for (unsigned c = 0; c < 4; ++c) {
      const QComplex a = m.at(j, c);
      const double br = base.re()[entry[c]].v, bi = base.im()[entry[c]].v;
      const double pr = a.re.v * br - a.im.v * bi, pi = a.re.v * bi + a.im.v * br;
      if (c == 0) {
        sr = pr;
        si = pi;
      } else {
        sr = sr + pr;
        si = si + pi;
      }
    }
    EXPECT_EQ(std::bit_cast<std::uint64_t>(s.re()[entry[j]].v), std::bit_cast<std::uint64_t>(sr));
    EXPECT_EQ(std::bit_cast<std::uint64_t>(s.im()[entry[j]].v), std::bit_cast<std::uint64_t>(si));
  }
}

TEST(Kernels, ExactArithmetic) {
  const double c = FRAC_1_SQRT_2;
  StateVec s = StateVec::create(std::vector<double>{0.3, -0.7}, std::vector<double>{0.2, 0.5});
  s.apply(Q{0}, gates::H);
  EXPECT_EQ(s.re()[0].v, (0.3 + -0.7) * c);
  EXPECT_EQ(s.im()[0].v, (0.2 + 0.5) * c);
  EXPECT_EQ(s.re()[1].v, (0.3 - -0.7) * c);
  EXPECT_EQ(s.im()[1].v, (0.2 - 0.5) * c);

  auto one = [](Gate16 g, double re1, double im1) {
    StateVec t = StateVec::create(std::vector<double>{0.25, re1}, std::vector<double>{-0.5, im1});
    t.apply(Q{0}, g);
    EXPECT_EQ(t.re()[0].v, 0.25);  // amplitude a untouched
    EXPECT_EQ(t.im()[0].v, -0.5);
    return std::pair{t.re()[1].v, t.im()[1].v};
  };
  const double r = 0.3, i = -0.9;
  EXPECT_EQ(one(gates::T, r, i), std::pair(r * c - i * c, i * c + r * c));
  EXPECT_EQ(one(gates::TDG, r, i), std::pair(r * c + i * c, i * c - r * c));
  EXPECT_EQ(one(gates::S, r, i), std::pair(r * 0.0 - i, i * 0.0 + r));
  EXPECT_EQ(one(gates::SDG, r, i), std::pair(r * -0.0 + i, i * -0.0 - r));
  // Z flips sign bits, also of zeros.
  auto [zr, zi] = one(gates::Z, 0.0, -0.0);
  EXPECT_TRUE(std::signbit(zr));
  EXPECT_FALSE(std::signbit(zi));
  auto [nr, ni] = one(gates::Z, std::nan(""), 1.0);
  EXPECT_TRUE(std::signbit(nr));
  EXPECT_EQ(ni, -1.0);
}

TEST(Kernels, IndexGroupsFollowArgumentOrder) {
  // H on qubit 1 of 2 qubits mixes 0 with 2 and 1 with 3.
  StateVec h = labelled(2);
  h.apply(Q{1}, gates::H);
  EXPECT_NEAR(h.re()[0].v, (1.0 + 3.0) * FRAC_1_SQRT_2, 1e-15);
  EXPECT_NEAR(h.re()[1].v, (2.0 + 4.0) * FRAC_1_SQRT_2, 1e-15);
  EXPECT_NEAR(h.re()[2].v, (1.0 - 3.0) * FRAC_1_SQRT_2, 1e-15);

  struct Case {
    Gate16 gate;
    Q qubits;
    std::vector<double> re_after;  // real parts of a labelled 2-qubit state
  };
  const Case cases[] = {
      {gates::CX, {0, 1}, {1, 4, 3, 2}},    // control 0: exchanges 1 and 3
      {gates::CX, {1, 0}, {1, 2, 4, 3}},    // control 1: exchanges 2 and 3
      {gates::SWAP, {0, 1}, {1, 3, 2, 4}},  // exchanges 1 and 2
      {gates::SWAP, {1, 0}, {1, 3, 2, 4}},
      {gates::X, {1}, {3, 4, 1, 2}},
  };
  for (const Case& c : cases) {
    StateVec s = labelled(2);
    s.apply(c.qubits, c.gate);
    for (std::size_t i = 0; i < 4; ++i) {
      EXPECT_EQ(s.re()[i].v, c.re_after[i]) << c.gate.display() << " " << i;
      EXPECT_EQ(s.im()[i].v, c.re_after[i] / 10.0) << c.gate.display() << " " << i;
    }
  }

  // A custom diag(1, 1, 1, -1) on qubits (2, 0) of 3 qubits negates indices 5 and 7 only.
  GateMatrix m(4, 4);
  for (std::uint32_t d = 0; d < 4; ++d) m.at(d, d) = QComplex{d == 3 ? -1.0 : 1.0, 0.0};
  const Gate16 cz = Gate16::create("czlike", {}, m);
  EXPECT_EQ(GATE_FUNCS.find(cz), nullptr);
  StateVec s = labelled(3);
  s.apply(Q{2, 0}, cz);
  for (std::size_t i = 0; i < 8; ++i)
    EXPECT_EQ(s.re()[i].v, (i == 5 || i == 7) ? -double(i + 1) : double(i + 1)) << i;

  // H twice restores the state up to rounding.
  ChaCha12 rng = seeded(2);
  const StateVec base = StateVec::from_random(rng, 3);
  StateVec hh = base.clone();
  hh.apply(Q{2}, gates::H);
  hh.apply(Q{2}, gates::H);
  EXPECT_TRUE(hh == base);
}

// The dense multiplication written on the model's groups one at a time: for each group, w_j =
// sum over ascending c of M(j, c) v_c, the sum starting from the column-0 product.
StateVec model_multiply(const StateVec& s, const Q& qubits, const GateMatrix& m) {
  StateVec out = s.clone();
  const QubitMatrixIndices groups = qubit_matrix_indices(s.nqubits(), qubits);
  const unsigned d = 1u << qubits.size();
  for (std::size_t i = 0; i < groups.size(); ++i) {
    const IndexGroup g = groups[i];
    for (unsigned j = 0; j < d; ++j) {
      double sr = 0, si = 0;
      for (unsigned c = 0; c < d; ++c) {
        const QComplex a = m.at(j, c);
        const double br = s.re()[g[c]].v, bi = s.im()[g[c]].v;
        const double pr = a.re.v * br - a.im.v * bi, pi = a.re.v * bi + a.im.v * br;
        sr = c == 0 ? pr : sr + pr;
        si = c == 0 ? pi : si + pi;
      }
      out.re_data()[g[j]] = Qreal{sr};
      out.im_data()[g[j]] = Qreal{si};
    }
  }
  return out;
}

TEST(Kernels, QubitMatrixIndicesMatchFastGroups) {
  // The model's groups (first qubit = most significant entry bit) and the group loop enumerate
  // the same groups in the same order, and the dense multiplication over the model's groups
  // gives the same bits as the kernels' vectorised loops.
  ChaCha12 rng = seeded(10);
  for (std::uint32_t n : {2u, 3u, 4u, 5u}) {
    for (unsigned k : {1u, 2u, 3u}) {
      if (k > n) continue;
      for (const Q& qs : qubit_choices(n, k)) {
        const QubitMatrixIndices groups = qubit_matrix_indices(n, qs);
        ASSERT_EQ(groups.size(), std::size_t{1} << (n - k));
        std::vector<std::size_t> seen;
        std::size_t g = 0;
        auto visit = [&](const auto& e) {
          const IndexGroup want = groups[g++];
          for (unsigned j = 0; j < (1u << k); ++j) {
            EXPECT_EQ(e[j], want[j]);
            seen.push_back(e[j]);
          }
        };
        with_nqubits(n, [&](auto nq) {
          if (k == 1) for_each_group<1>(nq, qs.data(), visit);
          if (k == 2) for_each_group<2>(nq, qs.data(), visit);
          if (k == 3) for_each_group<3>(nq, qs.data(), visit);
        });
        std::sort(seen.begin(), seen.end());
        for (std::size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(seen[i], i);  // a partition

        const GateMatrix m = random_matrix(rng, 1u << k);
        const StateVec base = StateVec::from_random(rng, n);
        StateVec fast = base.clone();
        fast.multiply(qs, m);
        EXPECT_TRUE(same_bits(fast, model_multiply(base, qs, m))) << n << " " << k;
      }
    }
  }
  // For two qubits entry 1 sets q1, entry 2 sets q0.
  const IndexGroup g = qubit_matrix_indices(3, Q{2, 0})[0];
  EXPECT_EQ(g[1], 1u);
  EXPECT_EQ(g[2], 4u);
  EXPECT_EQ(g[3], 5u);
}

TEST(Kernels, FailuresLeaveTheStateUnchanged) {
  const std::string arity = "called `Result::unwrap()` on an `Err` value: TryFromSliceError(())";
  const Gate16 y = *Gate16::from_name("y");
  const Gate16 cz = *Gate16::from_name("cz");
  struct Case {
    std::uint32_t n;
    Gate16 gate;
    Q qubits;
    std::string message;
  };
  const Case cases[] = {
      {2, gates::H, {}, arity},
      {2, gates::H, {0, 1}, arity},
      {2, gates::CX, {0}, arity},
      {3, gates::SWAP, {0, 1, 2}, arity},
      {0, gates::H, {0}, "index out of bounds: the len is 1 but the index is 1"},
      {2, gates::X, {2}, "index out of bounds: the len is 4 but the index is 4"},
      {2, gates::CX, {0, 3}, "index out of bounds: the len is 4 but the index is 8"},
      {2, gates::CX, {3, 0}, "index out of bounds: the len is 4 but the index is 8"},
      {2, gates::CX, {2, 3}, "index out of bounds: the len is 4 but the index is 8"},
      {2, gates::CX, {1, 1}, "Qubit arguments must be unique"},
      {3, gates::H, {40}, "index out of bounds: the len is 8 but the index is 1099511627776"},
      {2, y, {}, "Unsupported number of qubits: 0"},
      {2, y, {0, 1}, "assertion failed: matrix.nrows() == 4 && matrix.ncols() == 4"},
      {2, cz, {0}, "assertion failed: matrix.nrows() == 2 && matrix.ncols() == 2"},
      {3, cz, {0, 1, 2}, "assertion failed: matrix.nrows() == 8 && matrix.ncols() == 8"},
      {1, y, {1}, "index out of bounds: the len is 2 but the index is 2"},
      {1, cz, {0, 1}, "index out of bounds: the len is 2 but the index is 2"},
      {2, cz, {1, 1}, "Qubit arguments must be unique"},
      {1, Gate16{65535}, {0}, ""},  // message names the registry size, checked below
  };
  for (const Case& c : cases) {
    StateVec s = labelled(c.n);
    const StateVec before = s.clone();
    const std::string got = stop_message([&] { s.apply(c.qubits, c.gate); });
    if (c.message.empty())
      EXPECT_EQ(got, fmt::format("index out of bounds: the len is {} but the index is 65535",
                                 registry_size()));
    else
      EXPECT_EQ(got, c.message) << c.gate.display();
    EXPECT_TRUE(s == before);
  }
  GateMatrix m5(5, 5);
  StateVec s = labelled(3);
  EXPECT_EQ(stop_message([&] { s.multiply(Q{0, 1, 2, 0}, m5); }), "Unsupported number of qubits: 4");
  EXPECT_EQ(stop_message([&] { s.multiply(Q{0, 1, 2}, m5); }),
            "assertion failed: matrix.nrows() == 8 && matrix.ncols() == 8");
  // A zero-qubit gate (1 x 1 matrix) is never dense-applicable.
  GateMatrix one(1, 1);
  one.at(0, 0) = QComplex{1.0, 0.0};
  EXPECT_EQ(stop_message([&] { s.apply(Q{}, Gate16::create("phase0", {}, one)); }),
            "Unsupported number of qubits: 0");
}

TEST(Kernels, ApplyWorksInPlace) {
  ChaCha12 rng = seeded(4);
  StateVec s = StateVec::from_random(rng, 4);
  const Qreal* re = s.re_data();
  const Qreal* im = s.im_data();
  const Gate16 y = *Gate16::from_name("y");
  const Gate16 cz = *Gate16::from_name("cz");
  for (int round = 0; round < 3; ++round) {
    s.apply(Q{1}, gates::H);
    s.apply(Q{3, 0}, gates::CX);
    s.apply(Q{2}, y);
    s.apply(Q{0, 2}, cz);
  }
  EXPECT_EQ(s.re_data(), re);
  EXPECT_EQ(s.im_data(), im);
}

}  // namespace
}  // namespace marrowfen
