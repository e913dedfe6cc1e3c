// Qubit order information: the qubits of a state sorted by a four-amplitude key, with the runs
// of equal keys as tie classes. It yields the canonical permutation, a bit mask of the ties and
// every reordering within tie classes (from EQMASK_TO_PERMS), so that fingerprints do not depend
// on how a circuit's qubits are numbered.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <span>
#include <utility>

#include "core/panic.hpp"
#include "groups/permutation.hpp"

namespace marrowfen {

// The key of qubit q of an n-qubit state: the quantised parts [re[g], im[g], re[h], im[h]] with
// g = 2^q and h = (2^n - 1) with bit q cleared. Keys compare lexicographically as unsigned
// 64-bit integers, which is the Qreal order (and equality) of the four parts.
using QubitKey = std::array<std::uint64_t, 4>;

// EQMASK_TO_PERMS[m], m < 16: the 5-entry permutations of ALL_PERMUTATIONS[5] (in that order)
// that map every group of positions onto itself, where position 0 starts the first group and
// position k (1 <= k <= 4) joins the group of k-1 when bit k-1 of m is set. The identity is
// first in every row; the rows hold 231 permutations in all. Built once, on first use.
struct EqmaskToPerms {
  static constexpr std::size_t ROWS = 16;
  static constexpr std::size_t POSITIONS = 5;
  static constexpr std::size_t TOTAL = 231;
  static constexpr std::size_t size() noexcept { return ROWS; }
  // m of 16 or more stops with "index out of bounds: the len is 16 but the index is {}".
  std::span<const Permut32> operator[](std::size_t m) const;
};
inline constexpr EqmaskToPerms EQMASK_TO_PERMS{};

// The permutations of as_perms, yielded lazily: base * shrink(p, n) for every p of one row of
// EQMASK_TO_PERMS, in row order (the first is base itself).
class OrderPerms {
 public:
  class iterator {
   public:
    using value_type = Permut32;
    using difference_type = std::ptrdiff_t;
    iterator() noexcept = default;
    iterator(const OrderPerms* owner, const Permut32* p) noexcept : owner_(owner), p_(p) {}
    Permut32 operator*() const { return owner_->base_ * p_->shrink(owner_->n_); }
    iterator& operator++() noexcept {
      ++p_;
      return *this;
    }
    iterator operator++(int) noexcept {
      iterator t = *this;
      ++p_;
      return t;
    }
    friend bool operator==(const iterator& a, const iterator& b) noexcept { return a.p_ == b.p_; }

   private:
    const OrderPerms* owner_ = nullptr;
    const Permut32* p_ = nullptr;
  };

  OrderPerms(Permut32 base, std::span<const Permut32> row, std::uint8_t n) noexcept
      : base_(base), row_(row), n_(n) {}

  Permut32 base() const noexcept { return base_; }
  std::size_t size() const noexcept { return row_.size(); }
  Permut32 operator[](std::size_t i) const { return base_ * row_[i].shrink(n_); }
  iterator begin() const noexcept { return iterator(this, row_.data()); }
  iterator end() const noexcept { return iterator(this, row_.data() + row_.size()); }

 private:
  Permut32 base_;
  std::span<const Permut32> row_;
  std::uint8_t n_;
};

// permut[k] is the qubit at canonical position k; eq_classes holds the exclusive end positions
// of consecutive tie classes, strictly ascending, the last being n. Held inline (a state has
// fewer than 32 qubits), so building one allocates nothing.
class OrderInfo {
 public:
  static constexpr std::size_t CAPACITY = 32;

  // permut = [0, 1, ..., n-1], eq_classes = [n]. n above 32 stops with the index message.
  explicit OrderInfo(std::size_t n);

  std::span<const std::uint8_t> permut() const noexcept { return {permut_.data(), n_}; }
  std::span<const std::uint8_t> eq_classes() const noexcept {
    return {eq_classes_.data(), nclasses_};
  }

  // Sorts the qubits of class idx stably by keyf(qubit), ascending, and splits the class where
  // neighbouring keys differ. idx not below the class count stops with the index message.
  // keyf returns any value with < and ==.
  template <class KeyF>
  void sort_eqclass_by_key(std::size_t idx, KeyF&& keyf);

  // (permutation with entry k = permut[k], tie mask): bit k (1 <= k < n) of the mask is set
  // when positions k-1 and k share a class. For n <= 1 the identity of n entries and mask 0.
  // More than 8 qubits cannot be packed and stop with "Permutation length must be less than
  // or equal to 8".
  std::pair<Permut32, std::uint8_t> as_bits() const;

  // (base, every reordering within tie classes) from row mask >> 1 of EQMASK_TO_PERMS: a mask
  // of 32 or more stops with "index out of bounds: the len is 16 but the index is {}". The
  // table covers five positions: a state of six or more qubits whose ties stay below position
  // 5 stops with "index out of bounds: the len is 5 but the index is 5".
  OrderPerms as_perms() const;

 private:
  std::array<std::uint8_t, CAPACITY> permut_{};
  std::array<std::uint8_t, CAPACITY> eq_classes_{};
  std::uint8_t n_ = 0;
  std::uint8_t nclasses_ = 0;
};

template <class KeyF>
void OrderInfo::sort_eqclass_by_key(std::size_t idx, KeyF&& keyf) {
  if (idx >= nclasses_) stop_index_out_of_bounds(nclasses_, idx);
  const std::size_t start = idx == 0 ? 0 : eq_classes_[idx - 1];
  const std::size_t end = eq_classes_[idx];
  // Stable insertion sort: equal keys keep their previous relative order.
  for (std::size_t i = start + 1; i < end; ++i) {
    const std::uint8_t x = permut_[i];
    const auto kx = keyf(x);
    std::size_t j = i;
    while (j > start && kx < keyf(permut_[j - 1])) {
      permut_[j] = permut_[j - 1];
      --j;
    }
    permut_[j] = x;
  }
  // Split where neighbouring keys differ; the old end stays the end of the last new class.
  std::size_t b = idx;
  for (std::size_t i = start + 1; i < end; ++i) {
    if (!(keyf(permut_[i]) == keyf(permut_[i - 1]))) {
      for (std::size_t k = nclasses_; k > b; --k) eq_classes_[k] = eq_classes_[k - 1];
      eq_classes_[b] = static_cast<std::uint8_t>(i);
      ++nclasses_;
      ++b;
    }
  }
}

}  // namespace marrowfen
