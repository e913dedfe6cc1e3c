// Qubit permutations packed in one 32-bit word, the lists of all permutations in Heap order,
// and the sorting-network swaps that realise a permutation.
//
// A permutation p of length n moves the content of wire i to wire p[i] for i < n. The product
// a * b applies b first: (a * b)[i] = a[b[i]].
#pragma once

#include <array>
#include <bit>
#include <compare>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <optional>
#include <ranges>
#include <span>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "core/content_hash.hpp"
#include "utils/fmt_display.hpp"

namespace marrowfen {

// Two qubit positions: a comparator of a sorting network, or a swap it yields.
using QubitPair = std::pair<std::uint8_t, std::uint8_t>;

struct Permut32Iter;
class SwapSequence;

namespace permutation_detail {
[[noreturn]] void stop_too_long();        // "Permutation length must be less than or equal to 8"
[[noreturn]] void stop_value_too_large();  // "Permutation values must be less than 8"
[[noreturn]] void stop_value_repeated();   // "Permutation values must be unique"
[[noreturn]] void stop_idx();              // "assertion failed: idx < 8"
[[noreturn]] void stop_slot();             // "assertion failed: idx <= 8"
[[noreturn]] void stop_len_mismatch();     // "assertion failed: self.len() == other.len()"
}  // namespace permutation_detail

// Layout of `raw`:
//   bits 3i .. 3i+2 (i = 0..7)   entry i, the image p[i] (0..7)
//   bits 24 .. 27                the entry count n (0..8)
//   bits 28 .. 31                zero
// The count field is four bits wide so that eight entries are representable: a length of 8 is
// bit 27 with bits 24..26 clear, which orders after every shorter permutation. A count field
// above 8 (possible only in a raw word taken unchecked from a file or from Python) reads as 8.
// Entries at positions n and above are 0 in every permutation built here, so equal entries and
// length give an equal word. Equality, order and hashing are those of `raw`.
struct Permut32 {
  std::uint32_t raw = 0;

  static constexpr unsigned ENTRY_BITS = 3;
  static constexpr std::uint32_t ENTRY_MASK = 0x7;
  static constexpr std::uint32_t ENTRIES_MASK = 0x00FF'FFFF;
  static constexpr unsigned LEN_SHIFT = 24;
  static constexpr std::uint32_t LEN_MASK = 0x0F00'0000;
  static constexpr std::uint8_t MAX_LEN = 8;
  // Entries 0, 1, ..., 7 in their slots: the identity's entries under any length mask.
  static constexpr std::uint32_t IDENTITY_ENTRIES = 0x00FA'C688;

  // Mask of the slots of entries 0 .. n-1 (n <= 8).
  static constexpr std::uint32_t entries_mask(unsigned n) noexcept {
    return (std::uint32_t{1} << (ENTRY_BITS * n)) - 1;
  }

  static constexpr Permut32 from_raw(std::uint32_t raw) noexcept { return Permut32{raw}; }

  // Entries i for i < len, length len. len above 8 stops the call.
  static constexpr Permut32 identity(std::uint8_t len) {
    if (len > MAX_LEN) permutation_detail::stop_too_long();
    return Permut32{(IDENTITY_ENTRIES & entries_mask(len)) |
                    (std::uint32_t{len} << LEN_SHIFT)};
  }

  // Entry i = the i-th value, length = the number of values. Each value is checked in turn:
  // above 7 stops with "Permutation values must be less than 8", a repeat with "Permutation
  // values must be unique" (range first). At most eight values can pass the checks.
  template <std::ranges::input_range R>
    requires std::convertible_to<std::ranges::range_reference_t<R>, std::uint8_t>
  static constexpr Permut32 from_iter(R&& values) {
    std::uint32_t r = 0;
    std::uint32_t used = 0;
    unsigned n = 0;
    for (auto&& x : values) {
      const auto v = static_cast<std::uint8_t>(x);
      if (v > 7) permutation_detail::stop_value_too_large();
      if ((used >> v) & 1) permutation_detail::stop_value_repeated();
      used |= std::uint32_t{1} << v;
      r |= std::uint32_t{v} << (ENTRY_BITS * n);
      ++n;
    }
    return Permut32{r | (n << LEN_SHIFT)};
  }
  static constexpr Permut32 from_iter(std::initializer_list<std::uint8_t> values) {
    return from_iter(std::span<const std::uint8_t>(values.begin(), values.size()));
  }

  // Packs the values with no check of range or uniqueness (callers pass distinct values below
  // 8; a larger value spills into the next slot). More than eight values stop the call.
  template <std::ranges::input_range R>
    requires std::convertible_to<std::ranges::range_reference_t<R>, std::uint8_t>
  static constexpr Permut32 from_iter_unchecked(R&& values) {
    std::uint32_t r = 0;
    unsigned n = 0;
    for (auto&& x : values) {
      if (n == MAX_LEN) permutation_detail::stop_too_long();
      r |= std::uint32_t{static_cast<std::uint8_t>(x)} << (ENTRY_BITS * n);
      ++n;
    }
    return Permut32{r | (n << LEN_SHIFT)};
  }
  static constexpr Permut32 from_iter_unchecked(std::initializer_list<std::uint8_t> values) {
    return from_iter_unchecked(std::span<const std::uint8_t>(values.begin(), values.size()));
  }

  // Completes a partial map to a permutation of length len: position i takes the next value of
  // the sequence while there is one, else i itself when unused, else the lowest unused value.
  // A value used twice stops with "Permutation values must be unique"; values past len
  // positions are not read. Sequence values must be below 8 (not checked). len above 8 stops.
  template <std::ranges::input_range R>
    requires std::convertible_to<std::ranges::range_reference_t<R>, std::uint8_t>
  static constexpr Permut32 from_iter_with_ext(std::uint8_t len, R&& values) {
    if (len > MAX_LEN) permutation_detail::stop_too_long();
    std::uint32_t r = std::uint32_t{len} << LEN_SHIFT;
    std::uint32_t used = 0;
    auto it = std::ranges::begin(values);
    const auto last = std::ranges::end(values);
    for (unsigned i = 0; i < len; ++i) {
      std::uint32_t v;
      if (it != last) {
        v = static_cast<std::uint8_t>(*it);
        ++it;
      } else if (((used >> i) & 1) == 0) {
        v = i;
      } else {
        v = static_cast<std::uint32_t>(std::countr_one(used));  // 8 when all eight are used
      }
      if ((used >> (v % 8)) & 1) permutation_detail::stop_value_repeated();
      r |= v << (ENTRY_BITS * i);
      used |= std::uint32_t{1} << (v % 8);
    }
    return Permut32{r};
  }
  static constexpr Permut32 from_iter_with_ext(std::uint8_t len,
                                               std::initializer_list<std::uint8_t> values) {
    return from_iter_with_ext(len, std::span<const std::uint8_t>(values.begin(), values.size()));
  }

  constexpr std::uint8_t len() const noexcept {
    const std::uint32_t n = (raw & LEN_MASK) >> LEN_SHIFT;
    return static_cast<std::uint8_t>(n > MAX_LEN ? MAX_LEN : n);
  }

  // Entry idx with no check; idx < 8.
  constexpr std::uint8_t entry(unsigned idx) const noexcept {
    return static_cast<std::uint8_t>((raw >> (ENTRY_BITS * idx)) & ENTRY_MASK);
  }

  // Entry idx, which need not be below the length (an unused slot reads 0). idx above 7 stops
  // with "assertion failed: idx < 8".
  constexpr std::uint8_t at(std::uint8_t idx) const {
    if (idx > 7) permutation_detail::stop_idx();
    return entry(idx);
  }

  // Clears slot idx and ORs value into it (not masked: a value above 7 spills into the next
  // slot). Slot 8 is the low three bits of the count field. idx above 8 names no slot and stops
  // with "assertion failed: idx <= 8".
  constexpr void set(std::uint8_t idx, std::uint8_t value) {
    if (idx > 8) permutation_detail::stop_slot();
    const unsigned shift = ENTRY_BITS * idx;
    raw = (raw & ~(ENTRY_MASK << shift)) | (std::uint32_t{value} << shift);
  }

  // Writes the count field. len above 8 stops the call.
  constexpr void set_len(std::uint8_t len) {
    if (len > MAX_LEN) permutation_detail::stop_too_long();
    raw = (raw & ~LEN_MASK) | (std::uint32_t{len} << LEN_SHIFT);
  }

  // Entries 0 .. new_len-1 kept, every other entry cleared, length new_len (at most 8).
  constexpr Permut32 shrink(std::uint8_t new_len) const {
    if (new_len > MAX_LEN) permutation_detail::stop_too_long();
    return Permut32{(raw & entries_mask(new_len)) | (std::uint32_t{new_len} << LEN_SHIFT)};
  }

  // q with q[p[i]] = i for i < n, same length.
  constexpr Permut32 inv() const noexcept {
    const unsigned n = len();
    std::uint32_t r = std::uint32_t{n} << LEN_SHIFT;
    for (unsigned i = 0; i < n; ++i) {
      const unsigned shift = ENTRY_BITS * entry(i);
      r = (r & ~(ENTRY_MASK << shift)) | (std::uint32_t{i} << shift);
    }
    return Permut32{r};
  }
  constexpr Permut32 inverse() const noexcept { return inv(); }

  // Both brought to the longer length: the shorter gets the fixed points len .. longer-1.
  constexpr std::pair<Permut32, Permut32> coordinate_permute(Permut32 other) const noexcept {
    const std::uint8_t a = len();
    const std::uint8_t b = other.len();
    if (a < b) return {extended(b), other};
    if (b < a) return {*this, other.extended(a)};
    return {*this, other};
  }

  // Entries a and b exchanged; a or b above 7 stops with "assertion failed: idx < 8".
  constexpr Permut32 swap_inputs(std::uint8_t a, std::uint8_t b) const {
    const std::uint8_t va = at(a);
    const std::uint8_t vb = at(b);
    Permut32 r = *this;
    r.set(a, vb);
    r.set(b, va);
    return r;
  }

  // Relabels a basis-state index: OR of 2^p[i] over the positions i < n set in bv.
  constexpr std::uint8_t permut_bv(std::uint8_t bv) const noexcept {
    const unsigned n = len();
    unsigned r = 0;
    for (unsigned i = 0; i < n; ++i) {
      if ((bv >> i) & 1) r |= 1u << entry(i);
    }
    return static_cast<std::uint8_t>(r);
  }

  constexpr bool is_identity() const noexcept {
    const std::uint32_t m = entries_mask(len());
    return (raw & m) == (IDENTITY_ENTRIES & m);
  }

  constexpr Permut32Iter iter() const noexcept;

  // The entries 0 .. n-1 (the Python tuple form).
  std::vector<int> to_vec() const;

  // The swaps that realise this permutation (row len() of SORTING_NETWORKS); lazy, no
  // allocation.
  constexpr SwapSequence generate_swaps() const noexcept;

  // List len of ALL_PERMUTATIONS; builds the table on first use. len above 8 stops the call
  // with the index-out-of-bounds message.
  static std::span<const Permut32> all(std::uint8_t len);

  void feed(ContentHasher& h) const noexcept { h.u32(raw); }

  friend constexpr bool operator==(Permut32 a, Permut32 b) noexcept { return a.raw == b.raw; }
  friend constexpr std::strong_ordering operator<=>(Permut32 a, Permut32 b) noexcept {
    return a.raw <=> b.raw;
  }

  // (a * b)[i] = a[b[i]] for i < n; the lengths must be equal, else the call stops with
  // "assertion failed: self.len() == other.len()".
  friend constexpr Permut32 operator*(Permut32 a, Permut32 b) {
    const unsigned n = a.len();
    if (n != b.len()) permutation_detail::stop_len_mismatch();
    std::uint32_t r = std::uint32_t{n} << LEN_SHIFT;
    for (unsigned i = 0; i < n; ++i) {
      r |= std::uint32_t{a.entry(b.entry(i))} << (ENTRY_BITS * i);
    }
    return Permut32{r};
  }

 private:
  // The fixed points len() .. n-1 written into their slots, length n (> len()).
  constexpr Permut32 extended(unsigned n) const noexcept {
    const std::uint32_t fresh = entries_mask(n) & ~entries_mask(len());
    return Permut32{(raw & ~fresh & ~LEN_MASK) | (IDENTITY_ENTRIES & fresh) |
                    (std::uint32_t{n} << LEN_SHIFT)};
  }
};

static_assert(sizeof(Permut32) == 4);
static_assert(std::is_trivially_copyable_v<Permut32>);

// Yields entries 0 .. n-1 in order. It is its own range: `for (std::uint8_t v : p.iter())`.
struct Permut32Iter {
  using value_type = std::uint8_t;
  using difference_type = std::ptrdiff_t;

  Permut32 perm;
  std::uint8_t idx = 0;

  constexpr std::uint8_t operator*() const noexcept { return perm.entry(idx); }
  constexpr Permut32Iter& operator++() noexcept {
    ++idx;
    return *this;
  }
  constexpr Permut32Iter operator++(int) noexcept {
    Permut32Iter t = *this;
    ++idx;
    return t;
  }
  constexpr bool operator==(std::default_sentinel_t) const noexcept { return idx >= perm.len(); }
  friend constexpr bool operator==(const Permut32Iter&, const Permut32Iter&) = default;

  constexpr Permut32Iter begin() const noexcept { return *this; }
  constexpr std::default_sentinel_t end() const noexcept { return {}; }

  constexpr std::optional<std::uint8_t> next() noexcept {
    if (idx >= perm.len()) return std::nullopt;
    return perm.entry(idx++);
  }
};

constexpr Permut32Iter Permut32::iter() const noexcept { return Permut32Iter{*this, 0}; }

// ---------------------------------------------------------------------------------------------
// Sorting networks: row n sorts n inputs; comparators (a, b) with a < b, applied in order.

namespace sorting_network_rows {
inline constexpr QubitPair ROW2[] = {{0, 1}};
inline constexpr QubitPair ROW3[] = {{0, 2}, {0, 1}, {1, 2}};
inline constexpr QubitPair ROW4[] = {{0, 2}, {1, 3}, {0, 1}, {2, 3}, {1, 2}};
inline constexpr QubitPair ROW5[] = {{0, 3}, {1, 4}, {0, 2}, {1, 3}, {0, 1},
                                     {2, 4}, {1, 2}, {3, 4}, {2, 3}};
inline constexpr QubitPair ROW6[] = {{0, 5}, {1, 3}, {2, 4}, {1, 2}, {3, 4}, {0, 3},
                                     {2, 5}, {0, 1}, {2, 3}, {4, 5}, {1, 2}, {3, 4}};
inline constexpr QubitPair ROW7[] = {{0, 6}, {2, 3}, {4, 5}, {0, 2}, {1, 4}, {3, 6},
                                     {0, 1}, {2, 5}, {3, 4}, {1, 2}, {4, 6}, {2, 3},
                                     {4, 5}, {1, 2}, {3, 4}, {5, 6}};
inline constexpr QubitPair ROW8[] = {{0, 2}, {1, 3}, {4, 6}, {5, 7}, {0, 4}, {1, 5}, {2, 6},
                                     {3, 7}, {0, 1}, {2, 3}, {4, 5}, {6, 7}, {2, 4}, {3, 5},
                                     {1, 4}, {3, 6}, {1, 2}, {3, 4}, {5, 6}};
}  // namespace sorting_network_rows

inline constexpr std::array<std::span<const QubitPair>, 9> SORTING_NETWORKS = {
    std::span<const QubitPair>{},       std::span<const QubitPair>{},
    sorting_network_rows::ROW2,         sorting_network_rows::ROW3,
    sorting_network_rows::ROW4,         sorting_network_rows::ROW5,
    sorting_network_rows::ROW6,         sorting_network_rows::ROW7,
    sorting_network_rows::ROW8,
};

// Walks a comparator row over a working copy w of the permutation (w[x] is where the content
// now on wire x must go): a comparator (a, b) with w[b] < w[a] swaps the two entries and is
// yielded; any other is skipped. Applying the yielded swaps in order moves the content of
// wire i to wire p[i].
class SwapIterator {
 public:
  using value_type = QubitPair;
  using difference_type = std::ptrdiff_t;

  constexpr SwapIterator() noexcept = default;
  constexpr SwapIterator(Permut32 w, const QubitPair* first, const QubitPair* last) noexcept
      : w_(w), cur_(first), last_(last) {
    seek();
  }

  constexpr QubitPair operator*() const noexcept { return *cur_; }
  constexpr SwapIterator& operator++() noexcept {
    ++cur_;
    seek();
    return *this;
  }
  constexpr SwapIterator operator++(int) noexcept {
    SwapIterator t = *this;
    ++*this;
    return t;
  }
  constexpr bool operator==(std::default_sentinel_t) const noexcept { return cur_ == last_; }
  friend constexpr bool operator==(const SwapIterator& a, const SwapIterator& b) noexcept {
    return a.cur_ == b.cur_;
  }

 private:
  // Stops at the next comparator that swaps, having applied it to w_.
  constexpr void seek() noexcept {
    for (; cur_ != last_; ++cur_) {
      const unsigned sa = Permut32::ENTRY_BITS * cur_->first;
      const unsigned sb = Permut32::ENTRY_BITS * cur_->second;
      const std::uint32_t va = (w_.raw >> sa) & Permut32::ENTRY_MASK;
      const std::uint32_t vb = (w_.raw >> sb) & Permut32::ENTRY_MASK;
      if (vb < va) {
        w_.raw = (w_.raw & ~((Permut32::ENTRY_MASK << sa) | (Permut32::ENTRY_MASK << sb))) |
                 (vb << sa) | (va << sb);
        return;
      }
    }
  }

  Permut32 w_;
  const QubitPair* cur_ = nullptr;
  const QubitPair* last_ = nullptr;
};

// The lazy sequence of swaps of one permutation; each begin() walks it afresh.
class SwapSequence {
 public:
  constexpr explicit SwapSequence(Permut32 p) noexcept : perm_(p) {}
  constexpr SwapIterator begin() const noexcept {
    const auto row = SORTING_NETWORKS[perm_.len()];
    return SwapIterator(perm_, row.data(), row.data() + row.size());
  }
  constexpr std::default_sentinel_t end() const noexcept { return {}; }
  constexpr Permut32 permutation() const noexcept { return perm_; }

 private:
  Permut32 perm_;
};

constexpr SwapSequence Permut32::generate_swaps() const noexcept { return SwapSequence(*this); }

// ---------------------------------------------------------------------------------------------
// All permutations of each length 0 to 8 in the order of the iterative Heap's algorithm, the
// identity first: ALL_PERMUTATIONS[n] is a read-only list of n! permutations of length n.
// The nine lists (46,234 words in one block) are built together on first use, once, whichever
// thread comes first; afterwards they are read without locking.
struct AllPermutations {
  static constexpr std::size_t size() noexcept { return 9; }
  // n above 8 stops with the index-out-of-bounds message.
  std::span<const Permut32> operator[](std::size_t n) const;
};
inline constexpr AllPermutations ALL_PERMUTATIONS{};

inline std::span<const Permut32> Permut32::all(std::uint8_t len) { return ALL_PERMUTATIONS[len]; }

// All permutations of 0 .. len-1 in Heap order, each packed with length len, as a new list.
// len above 8 stops the call.
std::vector<Permut32> all_permutation(std::uint8_t len);

}  // namespace marrowfen

// Display (and debug) text: "(", the entries separated by one space, ")"; "()" when empty.
// Format options are accepted and ignored: the text is always the plain one.
template <>
struct fmt::formatter<marrowfen::Permut32> : marrowfen::IgnoreFormatOptions {
  template <class Ctx>
  auto format(marrowfen::Permut32 p, Ctx& ctx) const {
    auto out = ctx.out();
    *out++ = '(';
    const unsigned n = p.len();
    for (unsigned i = 0; i < n; ++i) {
      if (i != 0) *out++ = ' ';
      *out++ = static_cast<char>('0' + p.entry(i));
    }
    *out++ = ')';
    return out;
  }
};
