#include "groups/permutation.hpp"

#include <algorithm>
#include <array>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/content_hash.hpp"
#include "core/panic.hpp"
#include "core/test_support.hpp"

namespace marrowfen {
namespace {

std::string show(Permut32 p) { return fmt::format("{}", p); }

Permut32 perm(std::initializer_list<std::uint8_t> v) { return Permut32::from_iter(v); }

const char* const TOO_LONG = "Permutation length must be less than or equal to 8";
const char* const TOO_LARGE = "Permutation values must be less than 8";
const char* const REPEATED = "Permutation values must be unique";
const char* const IDX = "assertion failed: idx < 8";
const char* const LEN_MISMATCH = "assertion failed: self.len() == other.len()";

TEST(Permut32, RawLayoutOfIdentities) {
  struct Case {
    std::uint8_t len;
    std::uint32_t raw;
    const char* text;
  };
  const Case cases[] = {
      {0, 0x0000'0000, "()"},
      {1, 0x0100'0000, "(0)"},
      {3, 0x0300'0088, "(0 1 2)"},
      {5, 0x0500'4688, "(0 1 2 3 4)"},
      // Eight entries: the count is bit 27 and is read back as 8.
      {8, 0x08FA'C688, "(0 1 2 3 4 5 6 7)"},
  };
  for (const auto& c : cases) {
    const Permut32 p = Permut32::identity(c.len);
    EXPECT_EQ(p.raw, c.raw) << int(c.len);
    EXPECT_EQ(p.len(), c.len);
    EXPECT_TRUE(p.is_identity());
    EXPECT_EQ(show(p), c.text);
  }
  EXPECT_EQ(perm({0, 2, 1}).raw, 0x0300'0050u);
  EXPECT_EQ(stop_message([] { Permut32::identity(9); }), TOO_LONG);
}

TEST(Permut32, FromIterChecksEachValueInTurn) {
  struct Case {
    std::vector<std::uint8_t> values;
    const char* result;  // display text, or the stop message
  };
  const Case cases[] = {
      {{1, 0}, "(1 0)"},
      {{}, "()"},
      {{0, 8}, TOO_LARGE},
      {{1, 1}, REPEATED},
      {{9, 9}, TOO_LARGE},     // the range is checked before the repeat
      {{1, 1, 9}, REPEATED},   // the repeat comes first in the sequence
      {{255}, TOO_LARGE},
      {{7, 6, 5, 4, 3, 2, 1, 0}, "(7 6 5 4 3 2 1 0)"},
      {{7, 6, 5, 4, 3, 2, 1, 0, 0}, REPEATED},
  };
  for (const auto& c : cases) {
    std::string got;
    const std::string msg = stop_message([&] { got = show(Permut32::from_iter(c.values)); });
    EXPECT_EQ(msg == NO_STOP ? got : msg, c.result) << ::testing::PrintToString(c.values);
  }
  EXPECT_EQ(Permut32::from_iter(std::vector<std::uint8_t>{}).raw, 0u);
  const Permut32 eight = perm({1, 0, 2, 3, 4, 5, 6, 7});
  EXPECT_EQ(eight.len(), 8);
  EXPECT_EQ(eight.raw >> 24, 8u);
}

TEST(Permut32, FromIterWithExtCompletesPartialMaps) {
  struct Case {
    std::uint8_t len;
    std::vector<std::uint8_t> values;
    const char* result;
  };
  const Case cases[] = {
      {4, {2, 0}, "(2 0 1 3)"},
      {3, {1}, "(1 0 2)"},
      {2, {1, 0, 5}, "(1 0)"},  // values past len are ignored
      {0, {3}, "()"},
      {5, {}, "(0 1 2 3 4)"},
      {3, {1, 1}, REPEATED},
      {8, {7}, "(7 1 2 3 4 5 6 0)"},
      {9, {}, TOO_LONG},
  };
  for (const auto& c : cases) {
    std::string got;
    const std::string msg =
        stop_message([&] { got = show(Permut32::from_iter_with_ext(c.len, c.values)); });
    EXPECT_EQ(msg == NO_STOP ? got : msg, c.result) << int(c.len);
  }
  EXPECT_EQ(Permut32::from_iter_with_ext(4, {2, 0}).len(), 4);
}

TEST(Permut32, FromIterUncheckedPacksAsGiven) {
  EXPECT_EQ(Permut32::from_iter_unchecked({0, 2, 1}).raw, 0x0300'0050u);
  EXPECT_EQ(Permut32::from_iter_unchecked({}).raw, 0u);
  EXPECT_EQ(stop_message([] { Permut32::from_iter_unchecked({0, 1, 2, 3, 4, 5, 6, 7, 0}); }),
            TOO_LONG);
}

TEST(Permut32, ProductAppliesTheRightFactorFirst) {
  EXPECT_EQ(perm({1, 2, 0}) * perm({1, 2, 0}), perm({2, 0, 1}));
  // (a * b)[i] = a[b[i]]
  EXPECT_EQ(perm({1, 0, 2}) * perm({0, 2, 1}), perm({1, 2, 0}));
  EXPECT_EQ((Permut32{} * Permut32{}).raw, 0u);
  EXPECT_EQ(stop_message([] { (void)(perm({1, 0}) * perm({2, 0, 1})); }), LEN_MISMATCH);
  EXPECT_EQ(stop_message([] { (void)(Permut32::identity(8) * Permut32::identity(0)); }),
            LEN_MISMATCH);
}

TEST(Permut32, InverseUndoesEveryPermutation) {
  for (std::uint8_t n = 0; n <= 8; ++n) {
    const Permut32 id = Permut32::identity(n);
    for (Permut32 p : Permut32::all(n)) {
      const Permut32 q = p.inv();
      ASSERT_EQ(p * q, id) << show(p);
      ASSERT_EQ(q * p, id) << show(p);
      ASSERT_EQ(p.inverse(), q);
    }
  }
  EXPECT_EQ(Permut32{}.inv().raw, 0u);
  EXPECT_EQ(perm({1, 2, 0}).inv(), perm({2, 0, 1}));
}

TEST(Permut32, CoordinatePermutePadsTheShorterWithFixedPoints) {
  struct Case {
    Permut32 a, b, want_a, want_b;
  };
  const Case cases[] = {
      {perm({1, 0}), perm({2, 0, 1}), perm({1, 0, 2}), perm({2, 0, 1})},
      {perm({2, 0, 1}), perm({1, 0}), perm({2, 0, 1}), perm({1, 0, 2})},
      {perm({1, 0}), perm({0, 1}), perm({1, 0}), perm({0, 1})},
      {Permut32{}, perm({1, 0, 2, 3, 4, 5, 6, 7}), Permut32::identity(8),
       perm({1, 0, 2, 3, 4, 5, 6, 7})},
  };
  for (const auto& c : cases) {
    const auto [a, b] = c.a.coordinate_permute(c.b);
    EXPECT_EQ(a, c.want_a) << show(c.a) << show(c.b);
    EXPECT_EQ(b, c.want_b) << show(c.a) << show(c.b);
  }
}

TEST(Permut32, PermutBvRelabelsBasisIndices) {
  struct Case {
    Permut32 p;
    std::uint8_t in, out;
  };
  const Case cases[] = {
      {perm({1, 2, 0}), 0b001, 0b010}, {perm({1, 2, 0}), 0b011, 0b110},
      {perm({1, 2, 0}), 0b100, 0b001}, {perm({1, 0}), 0b100, 0b000},
      {perm({1, 0}), 0b111, 0b011},    {Permut32{}, 0xFF, 0},
      {perm({7, 6, 5, 4, 3, 2, 1, 0}), 0b0000'0011, 0b1100'0000},
  };
  for (const auto& c : cases) EXPECT_EQ(c.p.permut_bv(c.in), c.out) << show(c.p) << int(c.in);
}

TEST(Permut32, SlotAccessAndEditing) {
  const Permut32 p = perm({2, 0, 1});
  EXPECT_EQ(p.at(0), 2);
  EXPECT_EQ(p.at(7), 0);  // past the length an unused slot reads 0
  EXPECT_EQ(stop_message([&] { p.at(8); }), IDX);

  EXPECT_EQ(perm({2, 0, 1, 3, 4}).shrink(3), perm({2, 0, 1}));
  EXPECT_EQ(perm({2, 0, 1, 3, 4}).shrink(0).raw, 0u);
  EXPECT_EQ(perm({0, 1, 2}).swap_inputs(0, 2), perm({2, 1, 0}));
  EXPECT_EQ(stop_message([] { perm({0, 1, 2}).swap_inputs(0, 8); }), IDX);

  Permut32 q = perm({0, 2, 1});
  q.set(0, 9);  // not masked: 9 = 0b1'001 spills into slot 1
  EXPECT_EQ(q.at(0), 1);
  EXPECT_EQ(q.at(1), 3);
  q.set(1, 0);
  EXPECT_EQ(q.at(1), 0);
  q.set_len(8);
  EXPECT_EQ(q.len(), 8);
  q.set_len(2);
  EXPECT_EQ(q.raw >> 24, 2u);
  EXPECT_EQ(stop_message([&] { q.set(9, 0); }), "assertion failed: idx <= 8");
  EXPECT_EQ(stop_message([&] { q.set_len(9); }), TOO_LONG);
}

TEST(Permut32, UncheckedRawWords) {
  // Entries past the length do not matter to the identity test.
  EXPECT_TRUE(Permut32{0x0200'0088}.is_identity());
  EXPECT_FALSE(perm({1, 0}).is_identity());
  // A count field above 8 reads as 8, so nothing walks past the eight slots.
  const Permut32 junk{0x0F00'0000};
  EXPECT_EQ(junk.len(), 8);
  EXPECT_EQ(show(junk), "(0 0 0 0 0 0 0 0)");
  EXPECT_EQ(junk.inv().len(), 8);
}

TEST(Permut32, OrderIsTheRawWord) {
  EXPECT_LT(perm({1, 0}), Permut32::identity(2));  // entry 1 decides: 0 < 1
  EXPECT_LT(perm({1, 0}), Permut32::identity(3));
  // First by length, then by entry 7, entry 6, ..., entry 0.
  EXPECT_LT(perm({2, 0, 1}), perm({1, 0, 2}));
  EXPECT_LT(perm({0, 2, 1}), perm({1, 0, 2}));
  EXPECT_LT(perm({2, 1, 0}), perm({1, 2, 0}));  // entry 1 decides
  EXPECT_LT(perm({6, 5, 4, 3, 2, 1, 0}), Permut32::identity(8));
}

TEST(Permut32, IterAndTupleForm) {
  const Permut32 p = perm({2, 0, 1});
  std::vector<int> seen;
  for (std::uint8_t v : p.iter()) seen.push_back(v);
  EXPECT_EQ(seen, (std::vector<int>{2, 0, 1}));
  EXPECT_EQ(p.to_vec(), seen);
  EXPECT_TRUE(Permut32{}.to_vec().empty());
  EXPECT_EQ(Permut32::identity(8).to_vec().size(), 8u);

  Permut32Iter it = p.iter();
  EXPECT_EQ(it.next(), 2);
  EXPECT_EQ(it.next(), 0);
  EXPECT_EQ(it.next(), 1);
  EXPECT_EQ(it.next(), std::nullopt);
  static_assert(std::ranges::forward_range<Permut32Iter>);
}

TEST(Permut32, DisplayIgnoresFormatOptions) {
  EXPECT_EQ(fmt::format("{:>12}", perm({0, 2, 1})), "(0 2 1)");
  EXPECT_EQ(fmt::format("[{}]", Permut32{}), "[()]");
}

TEST(Permut32, ContentHashIsTheRawWordAsFourBytes) {
  // Oracle: CPython's hash(bytes) under PYTHONHASHSEED=0 (SipHash-1-3, zero keys).
  EXPECT_EQ(content_hash(Permut32::identity(3)), 8906283122289867530ull);
  EXPECT_EQ(content_hash(Permut32::identity(8)), 13218535582250299548ull);
}

// ---------------------------------------------------------------------------------------------
// Sorting networks and swaps

std::vector<QubitPair> swaps_of(Permut32 p) {
  std::vector<QubitPair> out;
  for (QubitPair s : p.generate_swaps()) out.push_back(s);
  return out;
}

TEST(SortingNetworks, RowsAreWellFormed) {
  const std::size_t sizes[] = {0, 0, 1, 3, 5, 9, 12, 16, 19};
  for (std::size_t n = 0; n < SORTING_NETWORKS.size(); ++n) {
    EXPECT_EQ(SORTING_NETWORKS[n].size(), sizes[n]) << n;
    for (auto [a, b] : SORTING_NETWORKS[n]) {
      EXPECT_LT(a, b);
      EXPECT_LT(b, n);
    }
  }
}

TEST(GenerateSwaps, ListedCases) {
  using V = std::vector<QubitPair>;
  struct Case {
    Permut32 p;
    V swaps;
  };
  const Case cases[] = {
      {Permut32{}, {}},
      {Permut32::identity(1), {}},
      {Permut32::identity(5), {}},
      {perm({1, 0}), {{0, 1}}},
      {perm({1, 2, 0}), {{0, 2}, {1, 2}}},
      {perm({2, 0, 1}), {{0, 2}, {0, 1}}},
      {perm({0, 2, 1}), {{1, 2}}},
      {perm({3, 2, 1, 0}), {{0, 2}, {1, 3}, {0, 1}, {2, 3}}},
      {perm({1, 0, 3, 2}), {{0, 1}, {2, 3}}},
      {perm({4, 3, 2, 1, 0}), {{0, 3}, {1, 4}, {0, 1}, {3, 4}}},
  };
  for (const auto& c : cases) EXPECT_EQ(swaps_of(c.p), c.swaps) << show(c.p);
}

TEST(GenerateSwaps, RealisesEveryPermutation) {
  // The most swaps any permutation of lengths 0 to 8 needs.
  const std::size_t most[] = {0, 0, 1, 2, 5, 7, 10, 13, 19};
  for (std::uint8_t n = 0; n <= 8; ++n) {
    std::size_t longest = 0;
    for (Permut32 p : Permut32::all(n)) {
      std::array<int, 8> wire{};
      for (int i = 0; i < n; ++i) wire[i] = i;  // the content starting on wire i
      std::size_t count = 0;
      for (auto [a, b] : p.generate_swaps()) {
        ASSERT_LT(a, b);
        ASSERT_LT(b, n);
        std::swap(wire[a], wire[b]);
        ++count;
      }
      for (int i = 0; i < n; ++i) ASSERT_EQ(wire[p.at(i)], i) << show(p) << " wire " << i;
      longest = std::max(longest, count);
    }
    EXPECT_EQ(longest, most[n]) << int(n);
  }
}

TEST(GenerateSwaps, SequenceRestartsAndIsLazy) {
  const auto seq = perm({3, 2, 1, 0}).generate_swaps();
  EXPECT_EQ(std::ranges::distance(seq), 4);
  EXPECT_EQ(std::ranges::distance(seq), 4);  // each walk starts from the permutation again
  auto it = seq.begin();
  EXPECT_EQ(*it, (QubitPair{0, 2}));
  static_assert(std::ranges::forward_range<SwapSequence>);
}

// ---------------------------------------------------------------------------------------------
// ALL_PERMUTATIONS

std::string joined(std::span<const Permut32> ps, std::size_t count) {
  std::string s;
  for (std::size_t i = 0; i < count && i < ps.size(); ++i) {
    if (i) s += ' ';
    s += show(ps[i]);
  }
  return s;
}

TEST(AllPermutations, ListsHoldEachPermutationOnceIdentityFirst) {
  std::size_t total = 0;
  std::size_t fact = 1;
  for (std::uint8_t n = 0; n <= 8; ++n) {
    if (n > 1) fact *= n;
    const auto list = ALL_PERMUTATIONS[n];
    ASSERT_EQ(list.size(), fact) << int(n);
    EXPECT_EQ(list.front(), Permut32::identity(n));
    std::set<std::uint32_t> raws;
    for (Permut32 p : list) {
      raws.insert(p.raw);
      ASSERT_EQ(p.len(), n);
      ASSERT_EQ(p.raw & ~(Permut32::LEN_MASK | Permut32::entries_mask(n)), 0u) << show(p);
      ASSERT_EQ(p.inv() * p, Permut32::identity(n)) << show(p);  // a true permutation
    }
    EXPECT_EQ(raws.size(), fact);
    EXPECT_EQ(Permut32::all(n).data(), list.data());
    EXPECT_TRUE(std::ranges::equal(all_permutation(n), list)) << int(n);
    total += list.size();
  }
  EXPECT_EQ(total, 46'234u);
  EXPECT_EQ(stop_message([] { Permut32::all(9); }),
            "index out of bounds: the len is 9 but the index is 9");
  EXPECT_EQ(stop_message([] { all_permutation(9); }), TOO_LONG);
}

TEST(AllPermutations, HeapOrder) {
  EXPECT_EQ(joined(ALL_PERMUTATIONS[0], 9), "()");
  EXPECT_EQ(joined(ALL_PERMUTATIONS[1], 9), "(0)");
  EXPECT_EQ(joined(ALL_PERMUTATIONS[2], 9), "(0 1) (1 0)");
  EXPECT_EQ(joined(ALL_PERMUTATIONS[3], 9), "(0 1 2) (1 0 2) (2 0 1) (0 2 1) (1 2 0) (2 1 0)");
  EXPECT_EQ(joined(ALL_PERMUTATIONS[4], 24),
            "(0 1 2 3) (1 0 2 3) (2 0 1 3) (0 2 1 3) (1 2 0 3) (2 1 0 3) (3 1 0 2) (1 3 0 2) "
            "(0 3 1 2) (3 0 1 2) (1 0 3 2) (0 1 3 2) (0 2 3 1) (2 0 3 1) (3 0 2 1) (0 3 2 1) "
            "(2 3 0 1) (3 2 0 1) (3 2 1 0) (2 3 1 0) (1 3 2 0) (3 1 2 0) (2 1 3 0) (1 2 3 0)");
  EXPECT_EQ(joined(ALL_PERMUTATIONS[5], 12),
            "(0 1 2 3 4) (1 0 2 3 4) (2 0 1 3 4) (0 2 1 3 4) (1 2 0 3 4) (2 1 0 3 4) "
            "(3 1 0 2 4) (1 3 0 2 4) (0 3 1 2 4) (3 0 1 2 4) (1 0 3 2 4) (0 1 3 2 4)");
  EXPECT_EQ(joined(ALL_PERMUTATIONS[6], 4),
            "(0 1 2 3 4 5) (1 0 2 3 4 5) (2 0 1 3 4 5) (0 2 1 3 4 5)");
  EXPECT_EQ(joined(ALL_PERMUTATIONS[7], 3),
            "(0 1 2 3 4 5 6) (1 0 2 3 4 5 6) (2 0 1 3 4 5 6)");
  EXPECT_EQ(joined(ALL_PERMUTATIONS[8], 3),
            "(0 1 2 3 4 5 6 7) (1 0 2 3 4 5 6 7) (2 0 1 3 4 5 6 7)");
  EXPECT_EQ(show(ALL_PERMUTATIONS[5].back()), "(4 1 2 3 0)");
  EXPECT_EQ(show(ALL_PERMUTATIONS[6].back()), "(3 4 1 2 5 0)");
  EXPECT_EQ(show(ALL_PERMUTATIONS[7].back()), "(6 1 2 3 4 5 0)");
  EXPECT_EQ(show(ALL_PERMUTATIONS[8].back()), "(5 6 1 2 3 4 7 0)");
}

}  // namespace
}  // namespace marrowfen

namespace marrowfen {
// The value operations are usable in constant expressions.
static_assert(Permut32::identity(3).raw == 0x0300'0088);
static_assert(Permut32::from_iter({1, 2, 0}) * Permut32::from_iter({1, 2, 0}) ==
              Permut32::from_iter({2, 0, 1}));
static_assert(Permut32::from_iter_with_ext(4, {2, 0}) == Permut32::from_iter({2, 0, 1, 3}));
}  // namespace marrowfen
