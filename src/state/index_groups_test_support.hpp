// The index groups of a gate written out one group at a time, straight from their definition:
// the plain model that the kernels' group loops are tested against. Only `*_test.cpp` files
// include this header.
//
// Group i (0 <= i < 2^(n-K)) has the base index i with a 0 bit inserted at each qubit position,
// positions taken in ascending order; entry j (0 <= j < 2^K) is the base with bit q_k set
// exactly when bit K-1-k of j is set. The group count is 1 << ((n - K) mod 32) and qubit
// positions are taken modulo 32. Indices are not checked here.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>

#include <fmt/format.h>

#include "core/panic.hpp"

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

class QubitMatrixIndices {
 public:
  static constexpr std::size_t MAX_QUBITS = 3;

  // More than three qubits stop with "Unsupported number of qubits: {}".
  QubitMatrixIndices(std::uint32_t nqubit, std::span<const std::uint8_t> qubits) {
    if (qubits.size() > MAX_QUBITS)
      stop(fmt::format("Unsupported number of qubits: {}", qubits.size()));
    k_ = static_cast<unsigned>(qubits.size());
    for (unsigned k = 0; k < k_; ++k) qubits_[k] = qubits[k];
    sorted_ = qubits_;
    for (unsigned a = 1; a < k_; ++a)  // ascending, by insertion
      for (unsigned b = a; b > 0 && sorted_[b] < sorted_[b - 1]; --b)
        std::swap(sorted_[b], sorted_[b - 1]);
    count_ = std::size_t{1} << ((nqubit - k_) % 32);
  }

  std::size_t size() const noexcept { return count_; }

  IndexGroup operator[](std::size_t i) const noexcept {
    std::size_t base = i;
    for (unsigned k = 0; k < k_; ++k) base = insert_bit(base, sorted_[k] % 32, 0);
    IndexGroup g;
    g.size = 1u << k_;
    for (unsigned j = 0; j < g.size; ++j) {
      std::size_t e = base;
      for (unsigned k = 0; k < k_; ++k)
        if ((j >> (k_ - 1 - k)) & 1) e |= std::size_t{1} << (qubits_[k] % 32);
      g.idx[j] = e;
    }
    return g;
  }

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

}  // namespace marrowfen
