#include "state/order_info.hpp"

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/panic.hpp"
#include "core/test_support.hpp"
#include "state/state_vec.hpp"

namespace marrowfen {
namespace {

std::vector<int> vec(std::span<const std::uint8_t> s) { return std::vector<int>(s.begin(), s.end()); }

std::string show(Permut32 p) { return fmt::format("{}", p); }

ChaCha12 seeded(std::uint8_t b) {
  ChaCha12::Seed seed{};
  for (std::size_t i = 0; i < seed.size(); ++i) seed[i] = static_cast<std::uint8_t>(b * 29 + i);
  return ChaCha12::from_seed(seed);
}

// A real state with the given amplitudes at the given indices, zero elsewhere.
StateVec real_state(std::uint32_t n, std::vector<std::pair<std::size_t, double>> amps) {
  std::vector<double> re(std::size_t{1} << n, 0.0), im(std::size_t{1} << n, 0.0);
  for (auto [i, v] : amps) re[i] = v;
  return StateVec::create(re, im);
}

TEST(EqmaskToPerms, RowsKeepGroupsInHeapOrder) {
  const std::size_t sizes[16] = {1, 2, 2, 6, 2, 4, 6, 24, 2, 4, 4, 12, 6, 12, 24, 120};
  std::size_t total = 0;
  const auto all5 = ALL_PERMUTATIONS[5];
  for (std::size_t m = 0; m < 16; ++m) {
    const auto row = EQMASK_TO_PERMS[m];
    ASSERT_EQ(row.size(), sizes[m]) << m;
    total += row.size();
    EXPECT_EQ(row[0], Permut32::identity(5));
    // Group of each position, and the filter it implies.
    int group[5] = {0};
    for (int k = 1; k < 5; ++k) group[k] = ((m >> (k - 1)) & 1) ? group[k - 1] : group[k - 1] + 1;
    std::size_t pos = 0;
    for (Permut32 p : row) {
      for (int l = 0; l < 5; ++l) EXPECT_EQ(group[p.entry(l)], group[l]);
      const auto at = std::find(all5.begin() + static_cast<std::ptrdiff_t>(pos), all5.end(), p);
      ASSERT_NE(at, all5.end()) << "row " << m << " out of Heap order";
      pos = static_cast<std::size_t>(at - all5.begin()) + 1;
    }
  }
  EXPECT_EQ(total, 231u);
  EXPECT_EQ(show(EQMASK_TO_PERMS[1][1]), "(1 0 2 3 4)");
  EXPECT_EQ(show(EQMASK_TO_PERMS[4][1]), "(0 1 3 2 4)");
  EXPECT_EQ(stop_message([] { EQMASK_TO_PERMS[16]; }),
            "index out of bounds: the len is 16 but the index is 16");
}

TEST(OrderInfo, SortIsStableAndSplitsEqualKeys) {
  OrderInfo info(6);
  const int key[6] = {3, 1, 3, 0, 1, 3};
  info.sort_eqclass_by_key(0, [&](std::uint8_t q) { return key[q]; });
  EXPECT_EQ(vec(info.permut()), (std::vector<int>{3, 1, 4, 0, 2, 5}));
  EXPECT_EQ(vec(info.eq_classes()), (std::vector<int>{1, 3, 6}));
  // Refining one class leaves the others alone.
  const int key2[6] = {2, 0, 1, 0, 0, 0};
  info.sort_eqclass_by_key(2, [&](std::uint8_t q) { return key2[q]; });
  EXPECT_EQ(vec(info.permut()), (std::vector<int>{3, 1, 4, 5, 2, 0}));
  EXPECT_EQ(vec(info.eq_classes()), (std::vector<int>{1, 3, 4, 5, 6}));
  EXPECT_EQ(stop_message([&] { info.sort_eqclass_by_key(5, [](std::uint8_t) { return 0; }); }),
            "index out of bounds: the len is 5 but the index is 5");
  const auto [p, mask] = info.as_bits();
  EXPECT_EQ(show(p), "(3 1 4 5 2 0)");
  EXPECT_EQ(mask, 0b100);  // only positions 1 and 2 share a class
}

TEST(OrderInfo, TwoQubitKeys) {
  // Keys of qubits 0 and 1 are (amp 1, amp 2) and (amp 2, amp 1).
  const StateVec a = real_state(2, {{1, 0.5}, {2, 0.3}});
  const OrderInfo ia = a.get_orderinfo();
  EXPECT_EQ(vec(ia.permut()), (std::vector<int>{1, 0}));
  EXPECT_EQ(vec(ia.eq_classes()), (std::vector<int>{1, 2}));
  EXPECT_EQ(ia.as_bits().second, 0);
  EXPECT_EQ(show(a.get_permutation()), "(1 0)");
  EXPECT_EQ(ia.as_perms().size(), 1u);

  const StateVec b = real_state(2, {{1, 0.5}, {2, 0.5}});
  const OrderInfo ib = b.get_orderinfo();
  EXPECT_EQ(vec(ib.permut()), (std::vector<int>{0, 1}));
  EXPECT_EQ(vec(ib.eq_classes()), (std::vector<int>{2}));
  EXPECT_EQ(ib.as_bits().second, 0b10);
  std::vector<std::string> perms;
  for (Permut32 p : ib.as_perms()) perms.push_back(show(p));
  EXPECT_EQ(perms, (std::vector<std::string>{"(0 1)", "(1 0)"}));

  // Differences below the grid tie; a negative first component sorts after a positive one.
  const StateVec c = real_state(2, {{1, 0.5}, {2, 0.5 + 1e-10}});
  EXPECT_EQ(vec(c.get_orderinfo().eq_classes()), (std::vector<int>{2}));
  const StateVec d = real_state(2, {{1, -0.1}, {2, 0.9}});
  EXPECT_EQ(vec(d.get_orderinfo().permut()), (std::vector<int>{1, 0}));
  // Later components break ties of earlier ones: im of amplitude 1 vs amplitude 2.
  StateVec e = real_state(2, {{1, 0.5}, {2, 0.5}});
  e.set(2, QComplex{0.5, 0.2});
  e.set(1, QComplex{0.5, 0.1});
  EXPECT_EQ(vec(e.get_orderinfo().permut()), (std::vector<int>{0, 1}));
}

TEST(OrderInfo, DistinctKeysGiveOneOrder) {
  ChaCha12 rng = seeded(1);
  const StateVec s = StateVec::from_random(rng, 4);
  const OrderInfo info = s.get_orderinfo();
  EXPECT_EQ(vec(info.eq_classes()), (std::vector<int>{1, 2, 3, 4}));
  EXPECT_EQ(info.as_bits().second, 0);
  const OrderPerms perms = info.as_perms();
  ASSERT_EQ(perms.size(), 1u);
  EXPECT_EQ(perms[0], info.as_bits().first);
  // Sorted ascending by key.
  for (std::size_t k = 1; k < 4; ++k)
    EXPECT_LT(s.qubit_key(info.permut()[k - 1]), s.qubit_key(info.permut()[k]));
}

TEST(OrderInfo, SymmetricStateTiesEveryQubit) {
  ChaCha12 rng = seeded(2);
  for (std::uint32_t n : {3u, 5u}) {
    const StateVec s = StateVec::from_random_symmetric(rng, n);
    const OrderInfo info = s.get_orderinfo();
    EXPECT_EQ(vec(info.eq_classes()), (std::vector<int>{static_cast<int>(n)}));
    EXPECT_EQ(info.as_bits().second, (1u << n) - 2);
    EXPECT_EQ(info.as_bits().first, Permut32::identity(static_cast<std::uint8_t>(n)));
    const OrderPerms perms = info.as_perms();
    const auto all = ALL_PERMUTATIONS[n];
    ASSERT_EQ(perms.size(), all.size());
    std::size_t i = 0;
    for (Permut32 p : perms) EXPECT_EQ(p, all[i++]);  // row 3 (or 15) cut to n: Heap order
  }
}

TEST(OrderInfo, AsPermsComposesWithBase) {
  // Qubits 0 and 2 tie with the smallest key, qubit 1 comes last: classes [q0, q2], [q1].
  OrderInfo info(3);
  const int key[3] = {0, 5, 0};
  info.sort_eqclass_by_key(0, [&](std::uint8_t q) { return key[q]; });
  EXPECT_EQ(vec(info.permut()), (std::vector<int>{0, 2, 1}));
  const auto [base, mask] = info.as_bits();
  EXPECT_EQ(mask, 0b010);
  std::vector<std::string> got;
  for (Permut32 p : info.as_perms()) got.push_back(show(p));
  // base * (0 1 2), base * (1 0 2): result[i] = base[p[i]].
  EXPECT_EQ(got, (std::vector<std::string>{"(0 2 1)", "(2 0 1)"}));
}

TEST(OrderInfo, SmallAndLargeStates) {
  const StateVec one = real_state(1, {{0, 1.0}});
  EXPECT_EQ(one.get_permutation(), Permut32::identity(1));
  const StateVec zero = real_state(0, {{0, 1.0}});
  EXPECT_EQ(zero.get_permutation().raw, 0u);
  EXPECT_EQ(zero.get_orderinfo().as_perms().size(), 1u);
  EXPECT_EQ(zero.get_orderinfo().as_perms()[0].raw, 0u);

  ChaCha12 rng = seeded(3);
  // Six tied qubits: the tie reaches position 5, beyond the table.
  const StateVec sym6 = StateVec::from_random_symmetric(rng, 6);
  EXPECT_EQ(stop_message([&] { sym6.get_orderinfo().as_perms(); }),
            "index out of bounds: the len is 16 but the index is 31");
  // Six distinct qubits: the table's five positions cannot cover the cut.
  const StateVec r6 = StateVec::from_random(rng, 6);
  EXPECT_EQ(stop_message([&] { r6.get_orderinfo().as_perms(); }),
            "index out of bounds: the len is 5 but the index is 5");
  // The canonical permutation itself is sound up to the packing limit.
  const StateVec r7 = StateVec::from_random(rng, 7);
  const OrderInfo i7 = r7.get_orderinfo();
  EXPECT_EQ(r7.get_permutation(), Permut32::from_iter_unchecked(i7.permut()));
  const StateVec r9 = StateVec::from_random(rng, 9);
  EXPECT_EQ(vec(r9.get_orderinfo().eq_classes()).back(), 9);
  EXPECT_EQ(stop_message([&] { r9.get_permutation(); }),
            "Permutation length must be less than or equal to 8");
  EXPECT_EQ(stop_message([] { OrderInfo(33); }),
            "index out of bounds: the len is 32 but the index is 33");
}

}  // namespace
}  // namespace marrowfen
