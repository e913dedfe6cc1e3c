#include "state/order_info.hpp"

#include <algorithm>

namespace marrowfen {
namespace {

// The groups of row m: position 0 starts the first group; position k joins the group of k-1
// when bit k-1 of m is set. group[l] is the group number of position l.
std::array<std::uint8_t, EqmaskToPerms::POSITIONS> groups_of(unsigned m) {
  std::array<std::uint8_t, EqmaskToPerms::POSITIONS> group{};
  for (unsigned k = 1; k < EqmaskToPerms::POSITIONS; ++k)
    group[k] = static_cast<std::uint8_t>(((m >> (k - 1)) & 1) ? group[k - 1] : group[k - 1] + 1);
  return group;
}

struct EqmaskTable {
  std::array<Permut32, EqmaskToPerms::TOTAL> perms{};
  std::array<std::size_t, EqmaskToPerms::ROWS + 1> offsets{};
};

const EqmaskTable& eqmask_table() {
  static const EqmaskTable table = [] {
    EqmaskTable t;
    const std::span<const Permut32> all5 = ALL_PERMUTATIONS[EqmaskToPerms::POSITIONS];
    std::size_t k = 0;
    for (unsigned m = 0; m < EqmaskToPerms::ROWS; ++m) {
      t.offsets[m] = k;
      const auto group = groups_of(m);
      for (Permut32 p : all5) {
        bool keeps = true;
        for (unsigned l = 0; l < EqmaskToPerms::POSITIONS && keeps; ++l)
          keeps = group[p.entry(l)] == group[l];
        if (keeps) {
          if (k == t.perms.size()) stop("EQMASK_TO_PERMS: more permutations than expected");
          t.perms[k++] = p;
        }
      }
    }
    t.offsets[EqmaskToPerms::ROWS] = k;
    if (k != t.perms.size()) stop("EQMASK_TO_PERMS: fewer permutations than expected");
    return t;
  }();
  return table;
}

}  // namespace

std::span<const Permut32> EqmaskToPerms::operator[](std::size_t m) const {
  if (m >= ROWS) stop_index_out_of_bounds(ROWS, m);
  const EqmaskTable& t = eqmask_table();
  return std::span<const Permut32>(t.perms.data() + t.offsets[m], t.offsets[m + 1] - t.offsets[m]);
}

OrderInfo::OrderInfo(std::size_t n) {
  if (n > CAPACITY) stop_index_out_of_bounds(CAPACITY, n);
  n_ = static_cast<std::uint8_t>(n);
  for (std::size_t k = 0; k < n; ++k) permut_[k] = static_cast<std::uint8_t>(k);
  eq_classes_[0] = static_cast<std::uint8_t>(n);
  nclasses_ = 1;
}

std::pair<Permut32, std::uint8_t> OrderInfo::as_bits() const {
  if (n_ <= 1) return {Permut32::identity(n_), 0};
  const Permut32 p = Permut32::from_iter_unchecked(permut());
  // Bits 1 .. n-1 set, then the class ends cleared: bit k stays set when positions k-1 and k
  // share a class. Computed in 32 bits, then taken to 8.
  std::uint32_t mask = (std::uint32_t{1} << n_) - 2;
  for (std::uint8_t e : eq_classes()) mask &= ~(std::uint32_t{1} << e);
  return {p, static_cast<std::uint8_t>(mask)};
}

OrderPerms OrderInfo::as_perms() const {
  const auto [base, mask] = as_bits();
  const std::span<const Permut32> row = EQMASK_TO_PERMS[mask >> 1];
  // Each row permutes five positions; the cut to n entries reads position 5 and beyond.
  if (n_ > EqmaskToPerms::POSITIONS)
    stop_index_out_of_bounds(EqmaskToPerms::POSITIONS, EqmaskToPerms::POSITIONS);
  return OrderPerms(base, row, n_);
}

}  // namespace marrowfen
