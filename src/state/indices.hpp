// Index groups of a gate on K qubits of an n-qubit state: the qubit check, the group loop of
// the dense three-qubit multiplication, and the dispatch that turns a runtime qubit count into a
// compile-time one for the simulation loops.
//
// Group i (0 <= i < 2^(n-K)) has the base index i with a 0 bit inserted at each qubit position,
// positions taken in ascending order; entry j (0 <= j < 2^K) is the base with bit q_k set
// exactly when bit K-1-k of j is set. So the first qubit argument is the most significant bit of
// the matrix index: for K = 2, entry 1 sets q_1, entry 2 sets q_0, entry 3 both. The kernels
// walk the groups in this order with masks; index_groups_test_support.hpp spells the groups
// out one at a time for the tests.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>

namespace marrowfen {

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
