#include "groups/permutation.hpp"

#include "core/panic.hpp"

namespace marrowfen {

namespace permutation_detail {

void stop_too_long() { stop("Permutation length must be less than or equal to 8"); }
void stop_value_too_large() { stop("Permutation values must be less than 8"); }
void stop_value_repeated() { stop("Permutation values must be unique"); }
void stop_idx() { stop("assertion failed: idx < 8"); }
void stop_slot() { stop("assertion failed: idx <= 8"); }
void stop_len_mismatch() { stop("assertion failed: self.len() == other.len()"); }

}  // namespace permutation_detail

std::vector<int> Permut32::to_vec() const {
  std::vector<int> out;
  out.reserve(len());
  for (std::uint8_t v : iter()) out.push_back(v);
  return out;
}

namespace {

// The iterative Heap's algorithm over the packed word: d starts as the identity; while k + 1 <
// len, either exchange d[j] and d[k+1] (j = c[k] for even k, 0 for odd k), bump c[k], restart
// at k = 0 and emit d, or reset c[k] and move on to k + 1.
template <class Emit>
void heap_order(std::uint8_t len, Emit&& emit) {
  Permut32 d = Permut32::identity(len);
  std::array<std::uint8_t, Permut32::MAX_LEN> c{};
  emit(d);
  unsigned k = 0;
  while (k + 1 < len) {
    if (c[k] <= k) {
      const std::uint8_t j = (k % 2 == 0) ? c[k] : 0;
      d = d.swap_inputs(j, static_cast<std::uint8_t>(k + 1));
      ++c[k];
      k = 0;
      emit(d);
    } else {
      c[k] = 0;
      ++k;
    }
  }
}

constexpr std::size_t factorial(std::size_t n) { return n <= 1 ? 1 : n * factorial(n - 1); }

constexpr std::array<std::size_t, 10> LIST_OFFSETS = [] {
  std::array<std::size_t, 10> o{};
  for (std::size_t n = 0; n < 9; ++n) o[n + 1] = o[n] + factorial(n);
  return o;
}();
static_assert(LIST_OFFSETS[9] == 46'234);

// One block for all nine lists, list n at LIST_OFFSETS[n].
struct PermutationTable {
  std::array<Permut32, LIST_OFFSETS[9]> perms;

  PermutationTable() {
    for (std::uint8_t n = 0; n <= Permut32::MAX_LEN; ++n) {
      Permut32* out = perms.data() + LIST_OFFSETS[n];
      heap_order(n, [&](Permut32 p) { *out++ = p; });
    }
  }
};

const PermutationTable& permutation_table() {
  static const PermutationTable table;  // one-time initialisation, safe under concurrent use
  return table;
}

}  // namespace

std::span<const Permut32> AllPermutations::operator[](std::size_t n) const {
  if (n >= size()) stop_index_out_of_bounds(size(), n);
  const auto& t = permutation_table();
  return std::span<const Permut32>(t.perms.data() + LIST_OFFSETS[n], factorial(n));
}

std::vector<Permut32> all_permutation(std::uint8_t len) {
  if (len > Permut32::MAX_LEN) permutation_detail::stop_too_long();
  std::vector<Permut32> out;
  out.reserve(factorial(len));
  heap_order(len, [&](Permut32 p) { out.push_back(p); });
  return out;
}

}  // namespace marrowfen
