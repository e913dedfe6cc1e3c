#include "search/check.hpp"

#include <cmath>
#include <cstddef>
#include <initializer_list>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "circ/gate.hpp"
#include "core/panic.hpp"
#include "core/rng.hpp"
#include "core/test_support.hpp"
#include "search/ecc.hpp"
#include "search/evaluator.hpp"
#include "state/state_vec.hpp"
#include "utils/fmt_join.hpp"

namespace marrowfen {
namespace {

using gates::CX;
using gates::H;
using gates::T;
using gates::X;
using gates::Z;

Instr32 one(Gate16 g, std::uint8_t q) { return Instr32::one(g, q); }
Instr32 two(Gate16 g, std::uint8_t a, std::uint8_t b) { return Instr32::two(g, a, b); }
Permut32 P(std::initializer_list<std::uint8_t> v) { return Permut32::from_iter(v); }
Permut32 id(std::uint8_t n) { return Permut32::identity(n); }
using List = std::vector<Instr32>;

// --- stripping steps -------------------------------------------------------------------------

TEST(CheckMasks, AliveMaskWrapsModulo64) {
  static_assert(CHECK_CHUNK_SIZE == 4096);
  EXPECT_EQ(alive_mask(0), 0u);
  EXPECT_EQ(alive_mask(3), 0b111u);
  EXPECT_EQ(alive_mask(63), ~std::uint64_t{0} >> 1);
  EXPECT_EQ(alive_mask(64), 0u);
}

TEST(CheckReduce, FrontPassesStripSharedSurfaceGates) {
  struct Case {
    const char* what;
    List c1, c2;
    std::uint64_t mask1, mask2;
  };
  const Case cases[] = {
      {"shared first gate only", {one(H, 0), one(X, 0)}, {one(H, 0), one(Z, 0)}, 0b10, 0b10},
      {"layer in another order", {one(H, 0), one(H, 1)}, {one(H, 1), one(H, 0)}, 0, 0},
      {"repeated passes", {one(H, 0), one(X, 0), one(Z, 0)}, {one(H, 0), one(X, 0), one(T, 0)},
       0b100, 0b100},
      {"gate behind a blocked gate", {two(CX, 0, 1), one(H, 0)}, {one(H, 0), two(CX, 0, 1)},
       0b11, 0b11},
      {"same gate on other qubits", {one(H, 0)}, {one(H, 1)}, 0b1, 0b1},
      {"empty list", {}, {one(H, 0)}, 0, 0b1},
  };
  for (const Case& c : cases) {
    const auto [m1, m2] = reduce_equivalence_front(c.c1, c.c2);
    EXPECT_EQ(m1, c.mask1) << c.what;
    EXPECT_EQ(m2, c.mask2) << c.what;
  }
}

TEST(CheckReduce, RetainByMasksReadsTheBackMaskFromTheEnd) {
  const List abc = {one(H, 0), one(X, 0), one(Z, 0)};
  struct Case {
    std::uint64_t f, b;
    List kept;
  };
  const Case cases[] = {
      {0b111, 0b111, abc},
      {0b110, 0b111, {one(X, 0), one(Z, 0)}},
      {0b111, 0b110, {one(H, 0), one(X, 0)}},  // bit 0 of the back mask is the last gate
      {0b101, 0b011, {one(Z, 0)}},
      {0b101, 0b010, {}},
  };
  for (const Case& c : cases) {
    List l = abc;
    EXPECT_EQ(retain_by_masks(l, c.f, c.b), abc.size() - c.kept.size());
    EXPECT_EQ(l, c.kept);
  }
}

TEST(CheckReduce, StripsFrontAndBackThroughEachPermutation) {
  // Shared first gate: both lose it.
  EccMember a{{one(H, 0), one(X, 0)}, id(1)};
  EccMember b{{one(H, 0), one(Z, 0)}, id(1)};
  EXPECT_TRUE(reduce_equivalence(a, b));
  EXPECT_EQ(a, (EccMember{{one(X, 0)}, id(1)}));
  EXPECT_EQ(b, (EccMember{{one(Z, 0)}, id(1)}));

  // Shared last gate once seen after each trailing permutation: x(0) before (1 0) is x(1)
  // after it, which is x(1) of the other circuit.
  EccMember c{{one(Z, 0), one(X, 0)}, P({1, 0})};
  EccMember d{{one(H, 0), one(X, 1)}, id(2)};
  EXPECT_TRUE(reduce_equivalence(c, d));
  EXPECT_EQ(c, (EccMember{{one(Z, 0)}, P({1, 0})}));
  EXPECT_EQ(d, (EccMember{{one(H, 0)}, id(2)}));

  // Nothing shared: unchanged.
  EccMember e{{one(X, 0)}, id(1)};
  EccMember f{{one(Z, 0)}, id(1)};
  EXPECT_FALSE(reduce_equivalence(e, f));
  EXPECT_EQ(e.first, List{one(X, 0)});
  EXPECT_EQ(f.first, List{one(Z, 0)});
}

TEST(CheckReduce, UnequalLossStopsWithTheMasksInBinary) {
  // h(0) matches the first h(0) of the other list at the front and its second at the back.
  EccMember a{{one(H, 0)}, id(1)};
  EccMember b{{one(H, 0), one(H, 0)}, id(1)};
  EXPECT_EQ(stop_message([&] { reduce_equivalence(a, b); }),
            "mask1f: 0, mask1b: 0, mask2f: 10, mask2b: 10");
}

// --- hand-built maps -------------------------------------------------------------------------

// A one-qubit map whose classes are put in by hand under the keys of real circuits, so that
// it can be made inconsistent on purpose. Owns the cells it makes.
class HandMap {
 public:
  explicit HandMap(const Evaluator& ev) : ev_(ev) { map.nqubits = ev.nqubits(); }
  ~HandMap() {
    for (InstrList& l : cells_) l.delete_head();
  }
  HandMap(const HandMap&) = delete;
  HandMap& operator=(const HandMap&) = delete;

  // The class under the key of `key_circ`, with the members given (identity permutations).
  CircuitECC& add_class(const List& key_circ, std::initializer_list<List> members) {
    CircuitECC& c = map.inner[ev_.key_of(key_circ)];
    for (const List& m : members) {
      InstrList l;
      for (Instr32 x : m) {
        l = l.cons(x);
        cells_.push_back(l);
      }
      c.circuits.push_back(CircTriple{id(1), l, id(1)});
    }
    c.size = static_cast<std::uint32_t>(members.begin()->size());
    return c;
  }

  RawECCs map;

 private:
  const Evaluator& ev_;
  std::vector<InstrList> cells_;
};

class CheckHandMap : public ::testing::Test {
 protected:
  Evaluator ev = Evaluator::random_py(1);
};

TEST_F(CheckHandMap, ExportTakesTheFirstMemberThatQualifies) {
  HandMap m(ev);
  // x t shares no surface gate with either query; h z comes second.
  CircuitECC& c = m.add_class({one(H, 0), one(X, 0)},
                              {{one(X, 0), one(T, 0)}, {one(H, 0), one(Z, 0)}});
  const auto [mem, query] = c.export_equivalence(id(1), List{one(H, 0), one(X, 0)}, id(1));
  EXPECT_EQ(mem, (EccMember{{one(Z, 0)}, id(1)}));
  EXPECT_EQ(query, (EccMember{{one(X, 0)}, id(1)}));

  // The query equal to a stored member: two empty lists with the permutations.
  const auto [m2, q2] = c.export_equivalence(id(1), List{one(H, 0), one(Z, 0)}, id(1));
  EXPECT_EQ(m2, (EccMember{{}, id(1)}));
  EXPECT_EQ(q2, (EccMember{{}, id(1)}));
}

TEST_F(CheckHandMap, ExportWithoutQualifyingMemberStops) {
  HandMap m(ev);
  CircuitECC& c = m.add_class({one(X, 0)}, {{one(X, 0)}, {one(Z, 0)}});
  EXPECT_EQ(stop_message([&] { c.export_equivalence(id(1), List{one(H, 0)}, id(1)); }),
            "No equivalence found during export_equivalence: x(0) (0), z(0) (0) = h(0) (0)");
}

TEST_F(CheckHandMap, RemaindersLeadingToDifferentMembersStop) {
  // The class of h x holds h z: stripping h leaves z against x, whose classes differ.
  HandMap m(ev);
  m.add_class({one(H, 0), one(X, 0)}, {{one(H, 0), one(Z, 0)}});
  m.add_class({one(Z, 0)}, {{one(Z, 0)}});
  m.add_class({one(X, 0)}, {{one(X, 0)}});
  EXPECT_EQ(stop_message([&] {
              m.map.checked_equivalent(List{one(H, 0), one(X, 0)}, id(1), ev);
            }),
            "Non-deterministic equivalence detected during checked equivalence: \n"
            " CircuitECC {h(0) z(0) (0)} vs h(0) x(0) \n"
            " z(0) (0) vs x(0) (0) \n"
            " z(0) (0) vs x(0) (0)");
}

TEST_F(CheckHandMap, MissingClassOfTheWholeInputStops) {
  const RawECCs root = RawECCs::create(ev);
  EXPECT_EQ(stop_message([&] { root.checked_equivalent(List{one(H, 0)}, id(1), ev); }),
            "no entry found for key");
  // The empty circuit is the root's own.
  EXPECT_EQ(root.checked_equivalent(List{}, id(1), ev), (EccMember{{}, id(1)}));
}

// --- generated maps --------------------------------------------------------------------------

// (instrs, perm) applied to a fixed random state: the instructions, then the permutation.
StateVec run_member(const StateVec& s0, const EccMember& m) {
  StateVec s = s0.clone();
  for (Instr32 x : m.first) s.apply(x);
  s.apply_permutation(m.second);
  s.normalize_arg();
  return s;
}

bool same_state(const StateVec& a, const StateVec& b) {
  for (std::size_t i = 0; i < a.len(); ++i) {
    if (std::abs(a.re()[i].v - b.re()[i].v) > 1e-9) return false;
    if (std::abs(a.im()[i].v - b.im()[i].v) > 1e-9) return false;
  }
  return true;
}

class CheckGenerated : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ev_ = new Evaluator(Evaluator::random_py(3));
    map_ = new RawECCs(RawECCs::generate(*ev_, {H, T, CX}, 3).map);
  }
  static void TearDownTestSuite() {
    delete map_;
    delete ev_;
  }
  static Evaluator* ev_;
  static RawECCs* map_;
};
Evaluator* CheckGenerated::ev_ = nullptr;
RawECCs* CheckGenerated::map_ = nullptr;

TEST_F(CheckGenerated, RepresentativeIsItsOwnStoredMember) {
  for (const auto& [key, cls] : map_->inner) {
    const CircTriple& rep = cls.circuits[0];
    const List instrs = rep.instructions();
    Permut32 f, b;
    ASSERT_EQ(ev_->key_of(instrs, &f, &b), key);
    const auto [mem, query] = cls.export_equivalence(f, instrs, b);
    const Permut32 p = rep.simplify().second;
    EXPECT_EQ(mem, (EccMember{{}, p}));
    EXPECT_EQ(query, (EccMember{{}, p}));
  }
}

TEST_F(CheckGenerated, ResultActsLikeTheInputInItsFrame) {
  ChaCha12 rng = ChaCha12::from_os();
  const StateVec s0 = StateVec::from_random(rng, 3);
  std::size_t checked = 0;
  for (const auto& [key, cls] : map_->inner) {
    for (const EccMember& m : cls.simplify().members) {
      const EccMember r = map_->checked_equivalent(m.first, m.second, *ev_);
      ASSERT_TRUE(same_state(run_member(s0, m), run_member(s0, r)))
          << fmt::format("{} {} -> {} {}", fjoin(m.first, " "), m.second, fjoin(r.first, " "),
                         r.second);
      ++checked;
    }
  }
  EXPECT_GT(checked, map_->size());
}

TEST_F(CheckGenerated, SubsetCheckPassesAndRunsInChunks) {
  const std::size_t n = map_->size();
  ASSERT_GT(n, 3u);
  map_->check_identity_subset(*map_, *ev_);

  // n classes in chunks of n-1: one full chunk and one of a single class (as 4097 classes
  // give 4096 and 1).
  std::vector<std::size_t> chunks;
  check_identity_subset_chunked(*map_, *map_, *ev_, n - 1,
                                [&](std::size_t k) { chunks.push_back(k); });
  EXPECT_EQ(chunks, (std::vector<std::size_t>{n - 1, 1}));
  chunks.clear();
  check_identity_subset_chunked(*map_, *map_, *ev_, n, [&](std::size_t k) { chunks.push_back(k); });
  EXPECT_EQ(chunks, (std::vector<std::size_t>{n}));
}

TEST(CheckChunks, FullChunksOf4096ThenTheRest) {
  const Evaluator ev = Evaluator::random_py(3);
  const RawECCs map = RawECCs::generate(ev, {H, T, CX}, 5).map;
  const std::size_t n = map.size();
  ASSERT_GT(n, 2 * CHECK_CHUNK_SIZE);
  std::vector<std::size_t> chunks;
  check_identity_subset_chunked(map, map, ev, CHECK_CHUNK_SIZE,
                                [&](std::size_t k) { chunks.push_back(k); });
  std::vector<std::size_t> expected(n / CHECK_CHUNK_SIZE, CHECK_CHUNK_SIZE);
  if (n % CHECK_CHUNK_SIZE != 0) expected.push_back(n % CHECK_CHUNK_SIZE);
  EXPECT_EQ(chunks, expected);
}

TEST_F(CheckGenerated, MemberMissingFromTheOtherMapStopsFromAWorker) {
  // Keys of another evaluator: no member of the generated map has its class there.
  const Evaluator other = Evaluator::random_py(3);
  const RawECCs root = RawECCs::create(other);
  EXPECT_EQ(stop_message([&] { map_->check_identity_subset(root, *ev_); }),
            "assertion failed: ecc1.contains_key(&bv.hash_value())");
  // The other way round, the root map's one member (the empty circuit) is found.
  root.check_identity_subset(*map_, *ev_);
}

}  // namespace
}  // namespace marrowfen
