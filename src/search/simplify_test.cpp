#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "circ/gate.hpp"
#include "core/panic.hpp"
#include "core/test_support.hpp"
#include "search/ecc.hpp"
#include "search/evaluator.hpp"
#include "search/raw_eccs.hpp"
#include "search/search_test_util.hpp"
#include "search/simplify.hpp"

#include <tbb/global_control.h>

namespace marrowfen {
namespace {

Instr32 one(Gate16 g, std::uint8_t q) { return Instr32::one(g, q); }
Instr32 two(Gate16 g, std::uint8_t a, std::uint8_t b) { return Instr32::two(g, a, b); }
Permut32 P(std::initializer_list<std::uint8_t> v) { return Permut32::from_iter(v); }
Permut32 id(std::uint8_t n) { return Permut32::identity(n); }

// Builds stored lists (newest first) from instructions in application order and frees every
// cell it made at the end of the test.
class Cells {
 public:
  ~Cells() {
    for (InstrList& l : made_) l.delete_head();
  }
  InstrList list(const std::vector<Instr32>& app_order) {
    InstrList l = InstrList::nil();
    for (Instr32 in : app_order) {
      l = l.cons(in);
      made_.push_back(l);
    }
    return l;
  }

 private:
  std::vector<InstrList> made_;
};

TEST(Simplify, CircTripleRelabelsThroughFrontInverseAndComposesPermutations) {
  Cells cells;
  EXPECT_EQ((CircTriple{id(3), InstrList::nil(), id(3)}).simplify(), (EccMember{{}, id(3)}));

  const Instr32 a = two(gates::CX, 0, 1), b = one(gates::H, 2);
  const Permut32 f = P({1, 2, 0}), back = P({0, 2, 1});
  const CircTriple t{f, cells.list({a, b}), back};
  const EccMember m = t.simplify();
  const Permut32 finv = f.inv();  // (2 0 1)
  EXPECT_EQ(m.first, (std::vector<Instr32>{a.permut(finv), b.permut(finv)}));
  EXPECT_EQ(m.first[0], two(gates::CX, 2, 0));
  EXPECT_EQ(m.second, back * f);
  EXPECT_EQ(stop_message([&] { CircTriple{id(2), cells.list({a}), id(3)}.simplify(); }),
            "assertion failed: self.len() == other.len()");
}

TEST(Simplify, ClassSortsThenRelabelsRepresentativeQubitsFirst) {
  Cells cells;
  // Representative on qubits 1 and 3 of a 4-qubit map: uniform = (1 3 2 0).
  const Instr32 rep = two(gates::CX, 1, 3);
  CircuitECC cls;
  cls.size = 2;
  cls.circuits.push_back({id(4), cells.list({rep, one(gates::H, 0)}), id(4)});
  cls.circuits.push_back({id(4), cells.list({rep}), P({1, 0, 2, 3})});
  cls.circuits.push_back({id(4), cells.list({one(gates::X, 2)}), id(4)});
  const ECC e = cls.simplify();
  ASSERT_EQ(e.members.size(), 3u);
  const Permut32 u = P({1, 3, 2, 0}), uinv = u.inv();
  // Sorted by the member order: cx(1, 3) < x(2) (qubit bytes first), then the 2-instruction one.
  EXPECT_EQ(e.members[0], (EccMember{{two(gates::CX, 0, 1)}, uinv * P({1, 0, 2, 3}) * u}));
  EXPECT_EQ(e.members[1], (EccMember{{one(gates::X, 2)}, id(4)}));
  EXPECT_EQ(e.members[2],
            (EccMember{{two(gates::CX, 0, 1), one(gates::H, 3)}, id(4)}));

  CircuitECC empty;
  EXPECT_EQ(stop_message([&] { empty.simplify(); }),
            "index out of bounds: the len is 0 but the index is 0");
}

TEST(Simplify, RelabelledMembersAreNotSortedAgain) {
  Cells cells;
  // Representative h(1) on 3 qubits: uniform = (1 0 2). (1 2 0) < (0 2 1) as raw words before
  // the relabelling, (2 0 1) > (2 1 0) after it; the stored order stays.
  const InstrList l = cells.list({one(gates::H, 1)});
  CircuitECC cls;
  cls.size = 1;
  cls.circuits.push_back({id(3), l, P({0, 2, 1})});
  cls.circuits.push_back({id(3), l, P({1, 2, 0})});
  const ECC e = cls.simplify();
  ASSERT_EQ(e.members.size(), 2u);
  EXPECT_EQ(e.members[0], (EccMember{{one(gates::H, 0)}, P({2, 0, 1})}));
  EXPECT_EQ(e.members[1], (EccMember{{one(gates::H, 0)}, P({2, 1, 0})}));
  EXPECT_TRUE(compare_members(e.members[0], e.members[1]) > 0);
}

TEST(Simplify, RootClassSimplifiesToEmptyIdentity) {
  CircuitECC root = CircuitECC::root(3);
  const ECC r = root.simplify();
  ASSERT_EQ(r.members.size(), 1u);
  EXPECT_EQ(r.members[0], (EccMember{{}, id(3)}));
}

TEST(Simplify, MapSortsClassesIndependentlyOfInsertionOrder) {
  Cells cells;
  const Instr32 h0 = one(gates::H, 0), x0 = one(gates::X, 0), h1 = one(gates::H, 1);
  auto make = [&](std::vector<Instr32> rep, std::vector<Instr32> other) {
    CircuitECC c;
    c.size = static_cast<std::uint32_t>(rep.size());
    c.circuits.push_back({id(2), cells.list(rep), id(2)});
    if (!other.empty()) c.circuits.push_back({id(2), cells.list(other), id(2)});
    return c;
  };
  // Class order: [h0] < [h0, x0] < [x0] by sequences; a two-instruction member 0 [h0, x0] sorts
  // between them although it is longer than [x0].
  const std::vector<std::pair<std::uint64_t, CircuitECC>> classes = {
      {11, make({x0}, {})}, {22, make({h0, x0}, {})}, {33, make({h0}, {h1, h1, h0})}};
  RawECCs a, b;
  a.nqubits = b.nqubits = 2;
  for (const auto& kc : classes) a.inner.emplace(kc.first, kc.second);
  for (auto it = classes.rbegin(); it != classes.rend(); ++it) b.inner.emplace(it->first + 100, it->second);
  const ECCs sa = a.simplify(), sb = b.simplify();
  EXPECT_EQ(sa, sb);
  EXPECT_EQ(sa.nqubits, 2u);
  ASSERT_EQ(sa.eccs.size(), 3u);
  EXPECT_EQ(sa.eccs[0].members[0].first, std::vector<Instr32>{h0});
  EXPECT_EQ(sa.eccs[1].members[0].first, (std::vector<Instr32>{h0, x0}));
  EXPECT_EQ(sa.eccs[2].members[0].first, std::vector<Instr32>{x0});
  EXPECT_TRUE(std::is_sorted(sa.eccs.begin(), sa.eccs.end()));
}

// End to end over a real search: sorted classes, representatives on the lowest qubits, and
// every class passes the randomized check and converts to identities.
TEST(Simplify, SearchResultSimplifiesToConsistentClasses) {
  const Evaluator ev = Evaluator::random_py(2);
  SearchResult r = RawECCs::generate(ev, {gates::H, gates::CX, gates::T}, 3);
  const ECCs e = r.map.simplify();
  EXPECT_EQ(e.nqubits, 2u);
  EXPECT_EQ(e.eccs.size(), r.map.size());
  EXPECT_TRUE(std::is_sorted(e.eccs.begin(), e.eccs.end()));
  // The root class (empty circuit) is first.
  EXPECT_EQ(e.eccs[0].members[0], (EccMember{{}, id(2)}));
  for (const ECC& c : e.eccs) {
    std::uint32_t mask = 0;
    for (Instr32 in : c.members[0].first) mask |= in.arg_mask();
    EXPECT_EQ(mask & (mask + 1), 0u) << "representative qubits not 0..k-1";
  }
  EXPECT_TRUE(e.check().empty());
  const auto ids = e.filter_single().to_identity_circuits();
  EXPECT_FALSE(ids.empty());
}

// The plain reference: every class simplified in the map's order, then a stable sort.
ECCs plain_simplify(const RawECCs& map) {
  ECCs out;
  out.nqubits = map.nqubits;
  for (const auto& [key, cls] : map.inner) out.eccs.push_back(cls.simplify());
  std::stable_sort(out.eccs.begin(), out.eccs.end());
  return out;
}

// A map of classes whose representatives share long prefixes (longer than the sort keys hold),
// differ only in their permutations or only in later members, over `gates` distinct gate
// indices.
RawECCs synthetic_map(Cells& cells, std::uint32_t gates, std::uint32_t classes,
                      std::uint8_t seed) {
  ChaCha12 rng = search_test::seeded(seed);
  auto draw = [&](std::uint64_t below) { return rng.next_u64() % below; };
  RawECCs map;
  map.nqubits = 3;
  const Permut32 perms[] = {id(3), P({1, 0, 2}), P({2, 0, 1}), P({0, 2, 1})};
  for (std::uint32_t k = 0; k < classes; ++k) {
    CircuitECC c;
    const std::uint32_t members = 1 + static_cast<std::uint32_t>(draw(3));
    for (std::uint32_t m = 0; m < members; ++m) {
      // A shared prefix of 0, 8, 16 or 17 instructions, then 0 to 2 drawn ones.
      const std::size_t prefix = std::array<std::size_t, 4>{0, 8, 16, 17}[draw(4)];
      std::vector<Instr32> instrs;
      for (std::size_t i = 0, len = prefix + draw(3); i < len; ++i) {
        const Gate16 g{static_cast<std::uint16_t>(i < prefix ? 1 : 1 + draw(gates))};
        instrs.push_back(draw(2) ? one(g, static_cast<std::uint8_t>(draw(3)))
                                 : two(g, 0, static_cast<std::uint8_t>(1 + draw(2))));
      }
      c.circuits.push_back({id(3), cells.list(instrs), perms[draw(4)]});
    }
    map.inner.emplace(k, std::move(c));
  }
  return map;
}

// Classes whose representatives are one shared run of h(0) of 0 to 40 instructions followed by
// up to two of h(0) and t(0), with drawn permutations and sometimes a second member: many
// representatives agree on every instruction a key holds, at every length around the one where
// a key stops holding the whole list.
RawECCs shared_prefix_map(Cells& cells, std::uint32_t classes, std::uint8_t seed) {
  ChaCha12 rng = search_test::seeded(seed);
  auto draw = [&](std::uint64_t below) { return rng.next_u64() % below; };
  RawECCs map;
  map.nqubits = 2;
  const Permut32 perms[] = {id(2), P({1, 0})};
  for (std::uint32_t k = 0; k < classes; ++k) {
    CircuitECC c;
    std::vector<Instr32> instrs(draw(41), one(gates::H, 0));
    for (std::size_t i = 0, tail = draw(3); i < tail; ++i)
      instrs.push_back(one(draw(2) ? gates::H : gates::T, 0));
    c.circuits.push_back({id(2), cells.list(instrs), perms[draw(2)]});
    if (draw(2)) {
      instrs.push_back(one(gates::T, 0));
      c.circuits.push_back({id(2), cells.list(instrs), perms[draw(2)]});
    }
    map.inner.emplace(k, std::move(c));
  }
  return map;
}

TEST(Simplify, PiecesAndWorkersGiveThePlainResult) {
  Cells cells;
  std::vector<RawECCs> maps;
  const Evaluator ev3 = search_test::seeded_evaluator(3, 4);
  maps.push_back(RawECCs::generate(ev3, {gates::H, gates::T, gates::CX}, 4).map);
  const Evaluator ev2 = search_test::seeded_evaluator(2, 5);
  maps.push_back(RawECCs::generate(ev2, {gates::H, gates::S, gates::CX}, 5).map);
  maps.push_back(synthetic_map(cells, 4, 3000, 6));    // few distinct instructions
  maps.push_back(synthetic_map(cells, 300, 3000, 7));  // more than 255 distinct instructions
  maps.push_back(shared_prefix_map(cells, 2000, 8));
  maps.emplace_back();                                 // no classes
  for (const RawECCs& map : maps) {
    const ECCs want = plain_simplify(map);
    ASSERT_EQ(want.eccs.size(), map.size());
    EXPECT_EQ(map.simplify(), want);
    for (std::size_t piece : {std::size_t{1}, std::size_t{3}, std::size_t{100}, map.size() + 1})
      EXPECT_EQ(simplify_in_pieces(map, piece), want) << piece;
    tbb::global_control one_thread(tbb::global_control::max_allowed_parallelism, 1);
    EXPECT_EQ(map.simplify(), want);
    EXPECT_EQ(simplify_in_pieces(map, 7), want);
  }
}

TEST(Simplify, FirstFailingClassInMapOrderStops) {
  // Two kinds of broken classes among good ones, pieces of one class: whatever the workers
  // finish first, the call stops with the failure of the first broken class in map order.
  Cells cells;
  for (std::uint64_t first_broken : {10u, 11u}) {
    RawECCs map;
    map.nqubits = 2;
    for (std::uint64_t k = 0; k < 64; ++k) {
      CircuitECC c;
      if (k == first_broken || k == 40) {
        // Unequal permutation lengths for one of the two, no members for the other.
        if ((k == 40) == (first_broken == 10))
          c.circuits.push_back({id(2), cells.list({one(gates::H, 0)}), id(3)});
      } else {
        c.circuits.push_back({id(2), cells.list({one(gates::H, k % 2)}), id(2)});
      }
      map.inner.emplace(k * 0x9e3779b97f4a7c15ull, std::move(c));
    }
    std::string want;
    for (const auto& [key, cls] : map.inner) {
      want = stop_message([&] { cls.simplify(); });
      if (want != NO_STOP) break;
    }
    EXPECT_EQ(stop_message([&] { simplify_in_pieces(map, 1); }), want);
    EXPECT_EQ(stop_message([&] { map.simplify(); }), want);
  }
}

}  // namespace
}  // namespace marrowfen
