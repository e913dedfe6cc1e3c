#include "identity/cutting.hpp"

#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <tbb/global_control.h>

#include "core/panic.hpp"
#include "core/test_support.hpp"
#include "identity/test_identities.hpp"

namespace marrowfen {
namespace {

using testing::one;
using testing::two;
using Pairs = std::vector<std::pair<Circ, Circ>>;

IdentityCirc ident(std::vector<Instr32> instrs, Permut32 perm) {
  return IdentityCirc::from_circ(Circ::create(std::move(instrs), perm));
}

IdentitySubcircuit select(const IdentityCirc& id, std::vector<std::uint32_t> picked) {
  IdentitySubcircuit s{id, std::vector<bool>(id.len(), false)};
  for (std::uint32_t i : picked) s.gates[i] = true;
  return s;
}

// The cuts as a plain loop over the table with the IdentitySubcircuit methods.
Pairs sequential_splits(const IdentityCirc& id) {
  const CombinationEntry entry = COMBINATIONS[id.len()];
  Pairs out;
  for (std::size_t i = 0; i < entry.size(); ++i) {
    IdentitySubcircuit sub{id, std::vector<bool>(id.len(), false)};
    for (std::uint8_t j : entry[i]) sub.gates[j] = true;
    if (sub.is_connected() && sub.is_convex()) {
      if (auto p = sub.split()) out.push_back(std::move(*p));
    }
  }
  return out;
}

// Identities of the given lengths, canonical and as built.
std::vector<IdentityCirc> sample_identities(unsigned seed, unsigned lo, unsigned hi) {
  std::mt19937 rng(seed);
  std::vector<IdentityCirc> out;
  for (unsigned len = lo; len <= hi; ++len) {
    const Circ c = testing::random_identity(rng, len, 3);
    out.push_back(IdentityCirc::from_circ(c));
    out.push_back(c.rotate_representative());
  }
  return out;
}

TEST(Combinations, SizesAndOrder) {
  const std::size_t sizes[COMBINATIONS_LEN] = {1,   2,    4,    7,     15,    26,    57,
                                               99,  219,  382,  848,   1486,  3302,  5812,
                                               12911, 22819, 50643, 89846, 199140, 354522};
  EXPECT_EQ(COMBINATIONS.total(), 742141u);
  for (std::size_t len = 0; len < COMBINATIONS_LEN; ++len) {
    const CombinationEntry e = COMBINATIONS[len];
    ASSERT_EQ(e.size(), sizes[len]) << len;
    EXPECT_TRUE(e[0].empty());
    for (std::size_t i = 0; i < e.size(); ++i) {
      const auto s = e[i];
      EXPECT_LE(s.size(), len / 2 + 1);
      for (std::size_t j = 0; j < s.size(); ++j) {
        EXPECT_LT(s[j], len);
        if (j > 0) {
          EXPECT_LT(s[j - 1], s[j]);
        }
      }
      if (i > 0) {
        // Size ascending, then lexicographic.
        const auto p = e[i - 1];
        EXPECT_TRUE(p.size() < s.size() ||
                    (p.size() == s.size() &&
                     std::lexicographical_compare(p.begin(), p.end(), s.begin(), s.end())))
            << len << " " << i;
      }
    }
  }
  const CombinationEntry e3 = COMBINATIONS[3];
  std::vector<std::vector<std::uint8_t>> got;
  for (std::size_t i = 0; i < e3.size(); ++i) got.emplace_back(e3[i].begin(), e3[i].end());
  EXPECT_EQ(got, (std::vector<std::vector<std::uint8_t>>{{}, {0}, {1}, {2}, {0, 1}, {0, 2},
                                                          {1, 2}}));
  EXPECT_EQ(stop_message([] { COMBINATIONS[20]; }),
            "index out of bounds: the len is 20 but the index is 20");
}

TEST(IdentitySubcircuit, TwoHadamards) {
  const IdentityCirc hh = ident({one(gates::H, 0), one(gates::H, 0)}, Permut32::identity(1));
  for (const auto& picked : std::vector<std::vector<std::uint32_t>>{{0}, {1}, {0, 1}}) {
    const IdentitySubcircuit s = select(hh, picked);
    EXPECT_TRUE(s.is_connected());
    EXPECT_TRUE(s.is_convex());
  }
  const auto s0 = select(hh, {0}).split();
  ASSERT_TRUE(s0);
  EXPECT_EQ(s0->first, Circ::create({one(gates::H, 0)}, Permut32::identity(1)));
  EXPECT_EQ(s0->second, Circ::create({one(gates::H, 0)}, Permut32::identity(1)));
  const auto s01 = select(hh, {0, 1}).split();
  ASSERT_TRUE(s01);
  EXPECT_EQ(s01->first, hh.circ);
  EXPECT_EQ(s01->second, Circ::create({}, Permut32::identity(1)));

  // The empty selection is connected and convex but gives no split.
  const IdentitySubcircuit none = select(hh, {});
  EXPECT_TRUE(none.is_connected());
  EXPECT_TRUE(none.is_convex());
  EXPECT_FALSE(none.split());
  EXPECT_TRUE(select(IdentityCirc::create(), {}).is_connected());
}

TEST(IdentitySubcircuit, ConnectedAndConvex) {
  // h(0) h(1) h(0) h(1): the two first instructions share no wire.
  const IdentityCirc hh2 = ident({one(gates::H, 0), one(gates::H, 1), one(gates::H, 0),
                                  one(gates::H, 1)},
                                 Permut32::identity(2));
  EXPECT_FALSE(select(hh2, {0, 1}).is_connected());
  EXPECT_TRUE(select(hh2, {0, 2}).is_connected());
  // h(0) x(0) h(0) x(0)... linked only through an unselected instruction: not connected.
  const IdentityCirc chain = ident({one(gates::H, 0), one(gates::Z, 0), one(gates::H, 0),
                                    one(gates::X, 0)},
                                   Permut32::identity(1));
  EXPECT_FALSE(select(chain, {0, 2}).is_connected());

  // cx(0,1) x(1) cx(0,1) x(1): 0 and 2 meet directly on wire 0, but wire 1 runs through x(1)
  // between them, so both enter on qubit 1.
  const IdentityCirc c = ident({two(gates::CX, 0, 1), one(gates::X, 1), two(gates::CX, 0, 1),
                                one(gates::X, 1)},
                               Permut32::identity(2));
  const IdentitySubcircuit s = select(c, {0, 2});
  EXPECT_TRUE(s.is_connected());
  EXPECT_EQ(s.inputs(), (std::vector<Port>{{1, 0, 1}, {1, 2, 1}}));
  EXPECT_EQ(s.outputs(), (std::vector<Port>{{1, 0, 1}, {1, 2, 1}}));
  EXPECT_FALSE(s.is_convex());
  const IdentitySubcircuit s01 = select(c, {0, 1});
  EXPECT_EQ(s01.inputs(), (std::vector<Port>{{0, 0, 0}, {1, 0, 1}}));
  EXPECT_EQ(s01.outputs(), (std::vector<Port>{{0, 0, 0}, {1, 1, 0}}));
  EXPECT_TRUE(s01.is_convex());

  // A wire that returns to the same instruction is a boundary on both sides.
  const IdentityCirc lone = ident({one(gates::Z, 0)}, Permut32::identity(1));
  EXPECT_EQ(select(lone, {0}).inputs(), (std::vector<Port>{{0, 0, 0}}));
  EXPECT_EQ(select(lone, {0}).outputs(), (std::vector<Port>{{0, 0, 0}}));
}

TEST(IdentitySubcircuit, EverySplitIsACyclicRearrangementOfTheIdentity) {
  std::size_t checked = 0;
  for (const IdentityCirc& id : sample_identities(3, 2, 13)) {
    const Pairs pairs = IdentitySubcircuit::par_subcircuit_splits(id);
    EXPECT_FALSE(pairs.empty()) << id.display();
    for (const auto& [s, r] : pairs) {
      EXPECT_EQ(s.len() + r.len(), id.len());
      EXPECT_EQ(s.perm, Permut32::identity(id.nqubits()));
      EXPECT_EQ(r.perm, id.circ.perm);
      EXPECT_NO_THROW(IdentityCirc::unchecked(s + r)) << id.display() << " " << s.display();
      ++checked;
    }
  }
  EXPECT_GT(checked, 1000u);
}

TEST(IdentitySubcircuit, ParallelSplitsMatchTheSequentialLoop) {
  for (const IdentityCirc& id : sample_identities(5, 2, 14)) {
    const Pairs expected = sequential_splits(id);
    EXPECT_EQ(IdentitySubcircuit::par_subcircuit_splits(id), expected) << id.display();
    EXPECT_EQ(IdentitySubcircuit::table_subcircuit_splits(id), expected) << id.display();
  }
  // Swap identities keep a non-trivial trailing permutation through the cut.
  const IdentityCirc sw = IdentityCirc::from_circ(testing::swap_identity(3));
  EXPECT_EQ(IdentitySubcircuit::par_subcircuit_splits(sw), sequential_splits(sw));
}

// Growing only connected selections finds exactly the cuts of the whole table, in its order:
// random identities of every cuttable length on two to four qubits, as built (their qubits in
// any order) and canonical, with and without a swap carried by the trailing permutation.
TEST(IdentitySubcircuit, ConnectedGrowthMatchesTheWholeTable) {
  std::mt19937 rng(17);
  std::size_t cuts = 0;
  for (std::uint8_t nq = 2; nq <= 4; ++nq) {
    for (unsigned len = 2; len < COMBINATIONS_LEN; ++len) {
      for (int rep = 0; rep < 3; ++rep) {
        const Circ c = testing::random_identity(rng, len, nq);
        for (const IdentityCirc& id : {IdentityCirc::from_circ(c), c.rotate_representative()}) {
          const Pairs expected = IdentitySubcircuit::table_subcircuit_splits(id);
          ASSERT_EQ(IdentitySubcircuit::par_subcircuit_splits(id), expected) << id.display();
          cuts += expected.size();
        }
      }
    }
  }
  EXPECT_GT(cuts, 10000u);
  // Against the IdentitySubcircuit methods, which ask the wire-neighbour queries: identities
  // whose trailing permutation moves wires (a swap, rotations carried across it).
  for (int rep = 0; rep < 60; ++rep) {
    const auto nq = static_cast<std::uint8_t>(2 + rep % 3);
    const Circ c = testing::random_identity(rng, 3 + 2 * (rep % 5), nq);
    const IdentityCirc id =
        IdentityCirc::from_circ(c.rotate(static_cast<std::int32_t>(rng() % c.len())));
    ASSERT_EQ(IdentitySubcircuit::par_subcircuit_splits(id), sequential_splits(id)) << id.display();
  }
  // A single instruction.
  const IdentityCirc lone = ident({one(gates::Z, 0)}, Permut32::identity(1));
  EXPECT_EQ(IdentitySubcircuit::par_subcircuit_splits(lone), sequential_splits(lone));
}

TEST(IdentitySubcircuit, SameOrderOnOneThreadAndOnEight) {
  std::mt19937 rng(9);
  for (unsigned len : {16u, 19u}) {
    const IdentityCirc id = testing::random_identity(rng, len, 3).rotate_representative();
    Pairs one_thread;
    {
      tbb::global_control limit(tbb::global_control::max_allowed_parallelism, 1);
      one_thread = IdentitySubcircuit::table_subcircuit_splits(id);
    }
    Pairs eight;
    {
      tbb::global_control limit(tbb::global_control::max_allowed_parallelism, 8);
      eight = IdentitySubcircuit::table_subcircuit_splits(id);
    }
    EXPECT_FALSE(one_thread.empty());
    EXPECT_EQ(one_thread, eight) << id.display();
    EXPECT_EQ(IdentitySubcircuit::par_subcircuit_splits(id), eight);
  }
}

TEST(IdentitySubcircuit, LengthLimit) {
  std::mt19937 rng(1);
  const Circ c19 = testing::random_identity(rng, 19, 3);
  EXPECT_EQ(COMBINATIONS[c19.len()].size(), 354522u);
  EXPECT_NO_THROW(IdentitySubcircuit::par_subcircuit_splits(IdentityCirc::from_circ(c19)));
  const Circ c20 = testing::random_identity(rng, 20, 3);
  EXPECT_EQ(stop_message([&] {
              IdentitySubcircuit::par_subcircuit_splits(IdentityCirc::from_circ(c20));
            }),
            "index out of bounds: the len is 20 but the index is 20");
  EXPECT_TRUE(IdentitySubcircuit::par_subcircuit_splits(IdentityCirc::create()).empty());
}

TEST(IdentitySubcircuit, MalformedIdentitiesStopLikeTheSequentialLoop) {
  const Gate16 h = gates::H;
  const IdentityCirc cases[] = {
      // The wire of h(0) leaves through the permutation and never comes back.
      ident({one(h, 0), one(h, 1), two(gates::CX, 1, 2)}, Permut32::from_iter({1, 0, 2})),
      // Read from a serialized form: a qubit beyond the permutation, a repeated qubit, a
      // trailing permutation that is no permutation.
      IdentityCirc::from_circ(Circ{{one(h, 0), one(h, 3), one(h, 0)}, Permut32::identity(2)}),
      IdentityCirc::from_circ(Circ{{two(gates::CX, 1, 1), one(h, 1)}, Permut32::identity(2)}),
      IdentityCirc::from_circ(
          Circ{{one(h, 0), one(h, 1), one(h, 0), one(h, 1)}, Permut32::from_iter_unchecked({1, 1})}),
  };
  for (const IdentityCirc& id : cases) {
    const std::string seq = stop_message([&] { sequential_splits(id); });
    const std::string par =
        stop_message([&] { IdentitySubcircuit::par_subcircuit_splits(id); });
    EXPECT_EQ(par, seq) << id.debug();
    EXPECT_EQ(stop_message([&] { IdentitySubcircuit::table_subcircuit_splits(id); }), seq);
  }
}

}  // namespace
}  // namespace marrowfen
