// Index groups of a gate on K qubits of an n-qubit state, and the dispatch that turns a runtime
// qubit count into a compile-time one for the simulation loops.
//
// Group i (0 <= i < 2^(n-K)) has the base index i with a 0 bit inserted at each qubit position,
// positions taken in ascending order; entry j (0 <= j < 2^K) is the base with bit q_k set
// exactly when bit K-1-k of j is set. So the first qubit argument is the most significant bit of
// the matrix index: for K = 2, entry 1 sets q_1, entry 2 sets q_0, entry 3 both.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>

namespace marrowfen {

// (x mod 2^at) + v * 2^at + 2 * (x - x mod 2^at)
constexpr std::size_t insert_bit(std::size_t x, unsigned at, unsigned v) noexcept {
  const std::size_t low = x & ((std::size_t{1} << at) - 1);
  return low + (std::size_t{v} << at) + 2 * (x - low);
}

// One index group: 2^K amplitude indices, K <= 3.
struct IndexGroup {
  std::array<std::size_t, 8> idx{};
  unsigned size = 0;
  std::size_t operator[](unsigned j) const noexcept { return idx[j]; }
};

// The index groups of Algorithms-level code and tests, produced on demand. The group count is
// 1 << ((n - K) mod 32); qubit positions are taken modulo 32. Indices are not checked here.
class QubitMatrixIndices {
 public:
  static constexpr std::size_t MAX_QUBITS = 3;

  // More than three qubits stop with "Unsupported number of qubits: {}".
  QubitMatrixIndices(std::uint32_t nqubit, std::span<const std::uint8_t> qubits);

  std::size_t size() const noexcept { return count_; }
  IndexGroup operator[](std::size_t i) const noexcept;

 private:
  std::array<std::uint8_t, MAX_QUBITS> qubits_{};
  std::array<std::uint8_t, MAX_QUBITS> sorted_{};
  unsigned k_ = 0;
  std::size_t count_ = 0;
};

inline QubitMatrixIndices qubit_matrix_indices(std::uint32_t nqubit,
                                               std::span<const std::uint8_t> qubits) {
  return QubitMatrixIndices(nqubit, qubits);
}

// Checks that k qubits address a state of len amplitudes: every qubit below the qubit count,
// all distinct. An index of the first group at or beyond len stops with "index out of bounds:
// the len is {} but the index is {}" (the first such entry in entry order); repeated qubits
// stop with "Qubit arguments must be unique". After it passes, every group index is in range.
void check_group_qubits(std::size_t len, std::span<const std::uint8_t> qubits);

// Calls f with the qubit count as std::integral_constant for the common sizes 0 .. 8, and as a
// plain unsigned beyond, so that the loops inside f see a constant trip count.
template <class F>
inline decltype(auto) with_nqubits(unsigned n, F&& f) {
  switch (n) {
    case 0: return f(std::integral_constant<unsigned, 0>{});
    case 1: return f(std::integral_constant<unsigned, 1>{});
    case 2: return f(std::integral_constant<unsigned, 2>{});
    case 3: return f(std::integral_constant<unsigned, 3>{});
    case 4: return f(std::integral_constant<unsigned, 4>{});
    case 5: return f(std::integral_constant<unsigned, 5>{});
    case 6: return f(std::integral_constant<unsigned, 6>{});
    case 7: return f(std::integral_constant<unsigned, 7>{});
    case 8: return f(std::integral_constant<unsigned, 8>{});
    default: return f(n);
  }
}

// Calls f(a, b) for every group of one qubit q (a = entry 0, b = entry 1), in group order.
template <class NQ, class F>
inline void for_each_pair(NQ nq, unsigned q, F&& f) {
  const std::size_t len = std::size_t{1} << static_cast<unsigned>(nq);
  const std::size_t bit = std::size_t{1} << q;
  for (std::size_t hi = 0; hi < len; hi += 2 * bit)
    for (std::size_t a = hi; a < hi + bit; ++a) f(a, a | bit);
}

// Calls f(e0, e1, e2, e3) for every group of two distinct qubits (q0, q1), in group order:
// e1 has q1 set, e2 has q0 set, e3 both. Callers check the qubits first (check_group_qubits).
template <class NQ, class F>
inline void for_each_quad(NQ nq, unsigned q0, unsigned q1, F&& f) {
  const unsigned n = static_cast<unsigned>(nq);
  if (n < 2) return;
  const std::size_t groups = std::size_t{1} << (n < 2 ? 0 : n - 2);
  const unsigned lo = q0 < q1 ? q0 : q1;
  const unsigned hi = q0 < q1 ? q1 : q0;
  const std::size_t lo_mask = (std::size_t{1} << lo) - 1;
  const std::size_t hi_mask = (std::size_t{1} << hi) - 1;
  const std::size_t b0 = std::size_t{1} << q0;
  const std::size_t b1 = std::size_t{1} << q1;
  for (std::size_t i = 0; i < groups; ++i) {
    std::size_t base = (i & lo_mask) | ((i & ~lo_mask) << 1);
    base = (base & hi_mask) | ((base & ~hi_mask) << 1);
    f(base, base | b1, base | b0, base | b0 | b1);
  }
}

// Calls f(entries) for every group of K distinct qubits (K = 1, 2, 3), entries being a
// std::array<std::size_t, 2^K> in entry order.
template <unsigned K, class NQ, class F>
inline void for_each_group(NQ nq, const std::uint8_t* qubits, F&& f) {
  constexpr unsigned D = 1u << K;
  std::array<unsigned, K> sorted;
  for (unsigned k = 0; k < K; ++k) sorted[k] = qubits[k];
  for (unsigned a = 1; a < K; ++a)
    for (unsigned b = a; b > 0 && sorted[b] < sorted[b - 1]; --b) {
      const unsigned t = sorted[b];
      sorted[b] = sorted[b - 1];
      sorted[b - 1] = t;
    }
  std::array<std::size_t, K> masks;
  for (unsigned k = 0; k < K; ++k) masks[k] = (std::size_t{1} << sorted[k]) - 1;
  std::array<std::size_t, D> offset{};
  for (unsigned j = 0; j < D; ++j)
    for (unsigned k = 0; k < K; ++k)
      if ((j >> (K - 1 - k)) & 1) offset[j] |= std::size_t{1} << qubits[k];
  const unsigned n = static_cast<unsigned>(nq);
  if (n < K) return;
  const std::size_t groups = std::size_t{1} << (n < K ? 0 : n - K);
  std::array<std::size_t, D> e;
  for (std::size_t i = 0; i < groups; ++i) {
    std::size_t base = i;
    for (unsigned k = 0; k < K; ++k) base = (base & masks[k]) | ((base & ~masks[k]) << 1);
    for (unsigned j = 0; j < D; ++j) e[j] = base | offset[j];
    f(e);
  }
}

}  // namespace marrowfen
