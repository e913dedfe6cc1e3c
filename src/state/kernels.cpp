#include "state/kernels.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <memory>
#include <type_traits>

#include <fmt/format.h>

#include "core/panic.hpp"
#include "state/indices.hpp"

namespace marrowfen {

// ---------------------------------------------------------------------------------------------
// Index groups.

namespace {

// Entry j of group 0 with every bit at its true position (no wrap-around of large qubits).
std::uint64_t first_group_entry(std::span<const std::uint8_t> qubits, unsigned j) {
  const unsigned k = static_cast<unsigned>(qubits.size());
  std::uint64_t e = 0;
  for (unsigned m = 0; m < k; ++m)
    if ((j >> (k - 1 - m)) & 1) e |= qubits[m] < 64 ? std::uint64_t{1} << qubits[m] : ~std::uint64_t{0};
  return e;
}

}  // namespace

void check_group_qubits(std::size_t len, std::span<const std::uint8_t> qubits) {
  if (len == 0) stop_index_out_of_bounds(0, 0);
  const unsigned n = static_cast<unsigned>(std::countr_zero(len));
  bool in_range = true;
  for (std::uint8_t q : qubits) in_range = in_range && q < n;
  if (!in_range) {
    const unsigned entries = 1u << qubits.size();
    for (unsigned j = 0; j < entries; ++j) {
      const std::uint64_t e = first_group_entry(qubits, j);
      if (e >= len) stop_index_out_of_bounds(len, static_cast<std::size_t>(e));
    }
  }
  for (std::size_t a = 0; a < qubits.size(); ++a)
    for (std::size_t b = a + 1; b < qubits.size(); ++b)
      if (qubits[a] == qubits[b]) stop("Qubit arguments must be unique");
}

// ---------------------------------------------------------------------------------------------
// Kernels.
//
// When the lowest gate qubit is at least 1, groups i and i+1 (i even) sit at neighbouring
// indices, so the loops below take two groups per step in a two-lane vector. Lane-wise vector
// operations are the same IEEE operations as the scalar ones, so the results are bit-identical.

namespace {

typedef double V2 __attribute__((vector_size(16)));
// The same two doubles at any 8-byte aligned address, read and written through any pointer.
typedef double V2Unaligned __attribute__((vector_size(16), aligned(8), may_alias));

template <class T>
inline T load(const double* p) noexcept {
  if constexpr (std::is_same_v<T, double>) {
    return *p;
  } else {
    return *reinterpret_cast<const V2Unaligned*>(p);
  }
}
template <class T>
inline void store(double* p, T v) noexcept {
  if constexpr (std::is_same_v<T, double>) {
    *p = v;
  } else {
    *reinterpret_cast<V2Unaligned*>(p) = v;
  }
}

[[noreturn]] void stop_arity() {
  stop("called `Result::unwrap()` on an `Err` value: TryFromSliceError(())");
}

// A one-qubit body: op(ra, ia, rb, ib) updates the parts of a and b in place; TOUCHES_A says
// whether amplitude a is ever written.
template <class Op, class T>
inline void pair_step(double* re, double* im, std::size_t a, std::size_t b) noexcept {
  T ra{}, ia{};
  if constexpr (Op::TOUCHES_A) {
    ra = load<T>(re + a);
    ia = load<T>(im + a);
  }
  T rb = load<T>(re + b), ib = load<T>(im + b);
  Op::op(ra, ia, rb, ib);
  if constexpr (Op::TOUCHES_A) {
    store<T>(re + a, ra);
    store<T>(im + a, ia);
  }
  store<T>(re + b, rb);
  store<T>(im + b, ib);
}

template <class Op>
void one_qubit(StateVec& s, std::span<const std::uint8_t> qubits) {
  if (qubits.size() != 1) stop_arity();
  check_group_qubits(s.len(), qubits);
  double* const re = &s.re_data()->v;
  double* const im = &s.im_data()->v;
  const unsigned q = qubits[0];
  with_nqubits(s.nqubits(), [&](auto nq) {
    const std::size_t len = std::size_t{1} << static_cast<unsigned>(nq);
    const std::size_t bit = std::size_t{1} << q;
    if (q == 0 || static_cast<unsigned>(nq) < 2) {  // (a checked qubit of a 1-qubit state is 0)
      for (std::size_t a = 0; a < len; a += 2) pair_step<Op, double>(re, im, a, a + 1);
    } else {
      for (std::size_t hi = 0; hi < len; hi += 2 * bit)
        for (std::size_t a = hi; a < hi + bit; a += 2) pair_step<Op, V2>(re, im, a, a + bit);
    }
  });
}

// Runs step(e0, e1, e2, e3) over every group of a two-qubit gate, after the checks; with the
// lower qubit above 0, step<V2> takes groups i and i+1 together.
template <class Step>
void two_qubit(StateVec& s, std::span<const std::uint8_t> qubits, Step step) {
  if (qubits.size() != 2) stop_arity();
  check_group_qubits(s.len(), qubits);
  const unsigned q0 = qubits[0], q1 = qubits[1];
  with_nqubits(s.nqubits(), [&](auto nq) {
    const unsigned n = static_cast<unsigned>(nq);
    if (n < 2) return;
    const unsigned lo = q0 < q1 ? q0 : q1;
    const unsigned hi = q0 < q1 ? q1 : q0;
    const std::size_t lo_mask = (std::size_t{1} << lo) - 1;
    const std::size_t hi_mask = (std::size_t{1} << hi) - 1;
    const std::size_t b0 = std::size_t{1} << q0;
    const std::size_t b1 = std::size_t{1} << q1;
    const std::size_t groups = std::size_t{1} << (n < 2 ? 0 : n - 2);
    auto base_of = [&](std::size_t i) {
      const std::size_t x = (i & lo_mask) | ((i & ~lo_mask) << 1);
      return (x & hi_mask) | ((x & ~hi_mask) << 1);
    };
    if (lo == 0 || n < 3) {  // (two checked qubits of a 2-qubit state include 0)
      for (std::size_t i = 0; i < groups; ++i) {
        const std::size_t b = base_of(i);
        step.template operator()<double>(b, b | b1, b | b0, b | b0 | b1);
      }
    } else {
      for (std::size_t i = 0; i < groups; i += 2) {
        const std::size_t b = base_of(i);
        step.template operator()<V2>(b, b | b1, b | b0, b | b0 | b1);
      }
    }
  });
}

// Exchanges amplitudes x and y (both parts).
template <class T>
inline void exchange(double* re, double* im, std::size_t x, std::size_t y) noexcept {
  const T rx = load<T>(re + x), ix = load<T>(im + x);
  store<T>(re + x, load<T>(re + y));
  store<T>(im + x, load<T>(im + y));
  store<T>(re + y, rx);
  store<T>(im + y, ix);
}

constexpr double C = FRAC_1_SQRT_2;

struct HOp {
  static constexpr bool TOUCHES_A = true;
  template <class T>
  static void op(T& ra, T& ia, T& rb, T& ib) noexcept {
    const T r0 = ra, i0 = ia;
    ra = (r0 + rb) * C;
    ia = (i0 + ib) * C;
    rb = (r0 - rb) * C;
    ib = (i0 - ib) * C;
  }
};
struct XOp {
  static constexpr bool TOUCHES_A = true;
  template <class T>
  static void op(T& ra, T& ia, T& rb, T& ib) noexcept {
    const T r0 = ra, i0 = ia;
    ra = rb;
    ia = ib;
    rb = r0;
    ib = i0;
  }
};
struct ZOp {
  static constexpr bool TOUCHES_A = false;
  template <class T>
  static void op(T&, T&, T& rb, T& ib) noexcept {
    rb = -rb;  // flips the sign bit, also of zeros and NaN
    ib = -ib;
  }
};
struct SOp {
  static constexpr bool TOUCHES_A = false;
  template <class T>
  static void op(T&, T&, T& rb, T& ib) noexcept {
    const T r = rb, i = ib;
    rb = r * 0.0 - i;
    ib = i * 0.0 + r;
  }
};
struct SdgOp {
  static constexpr bool TOUCHES_A = false;
  template <class T>
  static void op(T&, T&, T& rb, T& ib) noexcept {
    const T r = rb, i = ib;
    rb = r * -0.0 + i;
    ib = i * -0.0 - r;
  }
};
struct TOp {
  static constexpr bool TOUCHES_A = false;
  template <class T>
  static void op(T&, T&, T& rb, T& ib) noexcept {
    const T r = rb, i = ib;
    rb = r * C - i * C;
    ib = i * C + r * C;
  }
};
struct TdgOp {
  static constexpr bool TOUCHES_A = false;
  template <class T>
  static void op(T&, T&, T& rb, T& ib) noexcept {
    const T r = rb, i = ib;
    rb = r * C + i * C;
    ib = i * C - r * C;
  }
};

}  // namespace

void perform_h_gate(StateVec& state, std::span<const std::uint8_t> qubits) {
  one_qubit<HOp>(state, qubits);
}
void perform_x_gate(StateVec& state, std::span<const std::uint8_t> qubits) {
  one_qubit<XOp>(state, qubits);
}
void perform_z_gate(StateVec& state, std::span<const std::uint8_t> qubits) {
  one_qubit<ZOp>(state, qubits);
}
void perform_s_gate(StateVec& state, std::span<const std::uint8_t> qubits) {
  one_qubit<SOp>(state, qubits);
}
void perform_sdg_gate(StateVec& state, std::span<const std::uint8_t> qubits) {
  one_qubit<SdgOp>(state, qubits);
}
void perform_t_gate(StateVec& state, std::span<const std::uint8_t> qubits) {
  one_qubit<TOp>(state, qubits);
}
void perform_tdg_gate(StateVec& state, std::span<const std::uint8_t> qubits) {
  one_qubit<TdgOp>(state, qubits);
}

void perform_cx_gate(StateVec& state, std::span<const std::uint8_t> qubits) {
  // Control q0, target q1: entries 2 (q0 set) and 3 (both set) exchange.
  double* const re = &state.re_data()->v;
  double* const im = &state.im_data()->v;
  two_qubit(state, qubits,
            [re, im]<class T>(std::size_t, std::size_t, std::size_t e2, std::size_t e3) {
              exchange<T>(re, im, e2, e3);
            });
}

void perform_swap_gate(StateVec& state, std::span<const std::uint8_t> qubits) {
  // Entries 1 (q1 set) and 2 (q0 set) exchange.
  double* const re = &state.re_data()->v;
  double* const im = &state.im_data()->v;
  two_qubit(state, qubits,
            [re, im]<class T>(std::size_t, std::size_t e1, std::size_t e2, std::size_t) {
              exchange<T>(re, im, e1, e2);
            });
}

// ---------------------------------------------------------------------------------------------
// Dense application.

namespace {

// A gate matrix as the dense loops read it: row-major blocks of real and imaginary parts,
// re[j * D + c] = M(j, c).re for side D = 2, 4 or 8. Other sizes keep only their shape, which is
// all that the size checks need.
struct PreparedMatrix {
  std::uint32_t rows = 0;
  std::uint32_t cols = 0;
  std::size_t entries = 0;
  double re[64];
  double im[64];

  explicit PreparedMatrix(const GateMatrix& m) noexcept
      : rows(m.rows), cols(m.cols), entries(m.data.size()) {
    const std::uint32_t d = rows;
    if (cols != d || entries != std::size_t{d} * d || (d != 2 && d != 4 && d != 8)) return;
    for (std::uint32_t c = 0; c < d; ++c)
      for (std::uint32_t j = 0; j < d; ++j) {
        const QComplex& e = m.data[std::size_t{c} * d + j];
        re[j * d + c] = e.re.v;
        im[j * d + c] = e.im.v;
      }
  }
};

// One group (or two neighbouring groups, T = V2): reads all 2^K amplitudes, then writes
// w_j = sum over c ascending of M(j, c) * v_c, each product (a.re b.re - a.im b.im,
// a.re b.im + a.im b.re) with a = M(j, c), b = v_c, the sum starting from the column-0 product.
template <unsigned D, class T, class Idx>
inline void dense_group(const PreparedMatrix& m, double* re, double* im, const Idx& e) {
  T vr[D], vi[D];
  for (unsigned c = 0; c < D; ++c) {
    vr[c] = load<T>(re + e[c]);
    vi[c] = load<T>(im + e[c]);
  }
  T wr[D], wi[D];
  for (unsigned j = 0; j < D; ++j) {
    const double* const mr = m.re + j * D;
    const double* const mi = m.im + j * D;
    T sr = mr[0] * vr[0] - mi[0] * vi[0];
    T si = mr[0] * vi[0] + mi[0] * vr[0];
    for (unsigned c = 1; c < D; ++c) {
      const T pr = mr[c] * vr[c] - mi[c] * vi[c];
      const T pi = mr[c] * vi[c] + mi[c] * vr[c];
      sr = sr + pr;
      si = si + pi;
    }
    wr[j] = sr;
    wi[j] = si;
  }
  for (unsigned j = 0; j < D; ++j) {
    store<T>(re + e[j], wr[j]);
    store<T>(im + e[j], wi[j]);
  }
}

template <unsigned K>
void dense(StateVec& s, std::span<const std::uint8_t> qubits, const PreparedMatrix& m) {
  constexpr unsigned D = 1u << K;
  if constexpr (K != 2) check_group_qubits(s.len(), qubits);  // two_qubit checks its own
  double* const re = &s.re_data()->v;
  double* const im = &s.im_data()->v;
  if constexpr (K == 1) {
    const unsigned q = qubits[0];
    with_nqubits(s.nqubits(), [&](auto nq) {
      const std::size_t len = std::size_t{1} << static_cast<unsigned>(nq);
      const std::size_t bit = std::size_t{1} << q;
      if (q == 0 || static_cast<unsigned>(nq) < 2) {
        for (std::size_t a = 0; a < len; a += 2)
          dense_group<D, double>(m, re, im, std::array<std::size_t, 2>{a, a + 1});
      } else {
        for (std::size_t hi = 0; hi < len; hi += 2 * bit)
          for (std::size_t a = hi; a < hi + bit; a += 2)
            dense_group<D, V2>(m, re, im, std::array<std::size_t, 2>{a, a + bit});
      }
    });
  } else if constexpr (K == 2) {
    two_qubit(s, qubits,
              [&]<class T>(std::size_t e0, std::size_t e1, std::size_t e2, std::size_t e3) {
                dense_group<D, T>(m, re, im, std::array<std::size_t, 4>{e0, e1, e2, e3});
              });
  } else {
    with_nqubits(s.nqubits(), [&](auto nq) {
      for_each_group<K>(nq, qubits.data(), [&](const std::array<std::size_t, D>& e) {
        dense_group<D, double>(m, re, im, e);
      });
    });
  }
}

void check_matrix_size(const PreparedMatrix& m, std::uint32_t d, const char* message) {
  if (m.rows != d || m.cols != d || m.entries != std::size_t{d} * d) stop(message);
}

void multiply_prepared(StateVec& s, std::span<const std::uint8_t> qubits,
                       const PreparedMatrix& m) {
  switch (qubits.size()) {
    case 1:
      check_matrix_size(m, 2, "assertion failed: matrix.nrows() == 2 && matrix.ncols() == 2");
      return dense<1>(s, qubits, m);
    case 2:
      check_matrix_size(m, 4, "assertion failed: matrix.nrows() == 4 && matrix.ncols() == 4");
      return dense<2>(s, qubits, m);
    case 3:
      check_matrix_size(m, 8, "assertion failed: matrix.nrows() == 8 && matrix.ncols() == 8");
      return dense<3>(s, qubits, m);
    default:
      stop(fmt::format("Unsupported number of qubits: {}", qubits.size()));
  }
}

// The prepared matrix of every registry row that has been applied densely, published once and
// never changed or freed (a row's matrix never changes). Readers take no lock: after the first
// application of a gate, workers that apply it share nothing but these read-only blocks.
std::atomic<const PreparedMatrix*> PREPARED[65536];

const PreparedMatrix& prepared_matrix(Gate16 gate) {
  std::atomic<const PreparedMatrix*>& slot = PREPARED[gate.raw];
  if (const PreparedMatrix* p = slot.load(std::memory_order_acquire)) return *p;
  std::unique_ptr<PreparedMatrix> fresh;
  {
    InstructionSet& set = instruction_set();
    SharedGuard guard(set.lock);
    if (gate.raw >= set.rows.size()) stop_index_out_of_bounds(set.rows.size(), gate.raw);
    fresh = std::make_unique<PreparedMatrix>(set.rows[gate.raw].matrix);
  }
  // Two threads may prepare the same row; the first to publish wins and the other's is dropped.
  const PreparedMatrix* published = nullptr;
  if (slot.compare_exchange_strong(published, fresh.get(), std::memory_order_acq_rel,
                                   std::memory_order_acquire))
    return *fresh.release();
  return *published;
}

}  // namespace

void StateVec::multiply(std::span<const std::uint8_t> qubits, const GateMatrix& matrix) {
  multiply_prepared(*this, qubits, PreparedMatrix(matrix));
}

void StateVec::apply(std::span<const std::uint8_t> qubits, Gate16 gate) {
  if (const Kernel k = GATE_FUNCS.find(gate)) return k(*this, qubits);
  multiply_prepared(*this, qubits, prepared_matrix(gate));
}

}  // namespace marrowfen
