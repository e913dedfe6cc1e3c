#include <algorithm>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/test_support.hpp"
#include "search/ecc.hpp"
#include "search/evaluator.hpp"
#include "search/raw_eccs.hpp"
#include "search/search_test_util.hpp"

namespace marrowfen {
namespace {

using namespace search_test;
using gates::CX;
using gates::H;
using gates::S;
using gates::T;
using gates::TDG;
using gates::X;
using gates::Z;

std::size_t count_lines(const std::string& s) { return std::count(s.begin(), s.end(), '\n'); }

// Every stored member re-evaluates to its class key with its stored pair among the pairs of its
// fingerprint; the representative fixes size; every member grew from a representative; every
// member, simplified, acts like the simplified representative.
void expect_consistent(const RawECCs& m, const Evaluator& ev) {
  std::set<const AliasCons<Instr32>*> reps;
  for (const auto& [key, cls] : m.inner) reps.insert(cls.circuits[0].circ.cell());
  for (const auto& [key, cls] : m.inner) {
    ASSERT_FALSE(cls.circuits.empty());
    EXPECT_EQ(cls.size, cls.circuits[0].instructions().size());
    const EccMember rep = cls.circuits[0].simplify();
    for (const CircTriple& t : cls.circuits) {
      const std::vector<Instr32> instrs = t.instructions();
      const Fingerprint fp = ev.evaluate_multiple(instrs);
      EXPECT_EQ(fp.true_back_state.hash_value(), key);
      EXPECT_NE(std::find(fp.perms.begin(), fp.perms.end(), PermPair{t.front_perm, t.back_perm}),
                fp.perms.end());
      if (!t.circ.is_nil()) {
        const InstrList tail = t.circ.cell()->tail;
        EXPECT_TRUE(reps.contains(tail.cell()));
      }
      const EccMember mem = t.simplify();
      EXPECT_TRUE(same_operator(m.nqubits, mem.first, mem.second, rep.first, rep.second))
          << t.debug() << " vs " << cls.circuits[0].debug();
    }
  }
}

TEST(Search, EmptyAlphabet) {
  const Evaluator ev = seeded_evaluator(2);
  testing::internal::CaptureStdout();
  SearchResult r = RawECCs::search(ev, {}, 3);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "#0 Exploring  (0 queued, 1 ECCs, 0 circs, 0 circs perm)\n");
  EXPECT_EQ(r.counters, (std::array<std::uint32_t, 3>{1, 0, 0}));
  EXPECT_EQ(r.map.size(), 1u);
  EXPECT_TRUE(r.map.drop);
}

TEST(Search, OneQubitTwoGatesOneStep) {
  const Evaluator ev = seeded_evaluator(1);
  for (const std::uint32_t max_size : {0u, 1u}) {
    testing::internal::CaptureStdout();
    SearchResult r = RawECCs::search(ev, std::vector{one(H, 0), one(X, 0)}, max_size);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(r.counters, (std::array<std::uint32_t, 3>{1, 2, 2}));
    EXPECT_EQ(r.map.size(), 3u);
    expect_consistent(r.map, ev);
  }
}

TEST(Search, GeneratedSearchIsConsistent) {
  const Evaluator ev = seeded_evaluator(3, 4);
  testing::internal::CaptureStdout();
  SearchResult r = RawECCs::generate(ev, {H, T, CX}, 3);
  const std::string out = testing::internal::GetCapturedStdout();
  const std::size_t alphabet = RawECCs::generate_alphabet({H, T, CX}, 3).size();
  EXPECT_EQ(alphabet, 3u * 3 + 6);  // h, t, tdg on 3 qubits; cx on 6 ordered pairs
  EXPECT_EQ(r.counters[1], r.counters[0] * alphabet);
  EXPECT_GE(r.counters[2], r.counters[1]);
  EXPECT_EQ(count_lines(out), 1u);
  // Representatives no longer than max_size; classes of three instructions not extended.
  std::size_t longest = 0;
  for (const auto& [k, c] : r.map.inner) longest = std::max<std::size_t>(longest, c.size);
  EXPECT_EQ(longest, 3u);
  expect_consistent(r.map, ev);
}

TEST(Search, ProgressEvery400Expansions) {
  const Evaluator ev = seeded_evaluator(2, 4);
  testing::internal::CaptureStdout();
  SearchResult r = RawECCs::generate(ev, {H, T, CX}, 5);
  const std::string out = testing::internal::GetCapturedStdout();
  ASSERT_GT(r.counters[0], 400u);
  ASSERT_LE(r.counters[0], 800u);
  ASSERT_EQ(count_lines(out), 2u);
  EXPECT_EQ(out.rfind("#0 Exploring  (0 queued, 1 ECCs, 0 circs, 0 circs perm)\n", 0), 0u);
  // The 401st expanded circuit: its text, then the queue, classes and counters at that moment.
  const std::string second = out.substr(out.find('\n') + 1);
  EXPECT_EQ(second.rfind("#400 Exploring ", 0), 0u);
  EXPECT_NE(second.find(" circs, "), std::string::npos);
  EXPECT_NE(second.find(fmt::format(" {} circs, ", 400 * 8)), std::string::npos);
}

TEST(Search, NaiveKeysByForwardState) {
  const Evaluator ev = seeded_evaluator(1);
  testing::internal::CaptureStdout();
  SearchResult r = RawECCs::search_naive(ev, std::vector{one(H, 0), one(X, 0)}, 2);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(r.counters[2], r.counters[1]);
  EXPECT_EQ(r.counters[0], 3u);  // the empty circuit, h(0), x(0)
  // h h and x x reach the identity's forward key, not the root's key.
  StateVec s = ev.initial_state().clone();
  s.normalize_arg();
  const CircuitECC* id_class = r.map.find(s.hash_value());
  ASSERT_NE(id_class, nullptr);
  EXPECT_EQ(id_class->size, 2u);
  ASSERT_EQ(id_class->circuits.size(), 2u);
  EXPECT_EQ(id_class->circuits[0].instructions(), (std::vector{one(H, 0), one(H, 0)}));
  EXPECT_EQ(id_class->circuits[1].instructions(), (std::vector{one(X, 0), one(X, 0)}));
  EXPECT_EQ(r.map.find(ev.initial_key())->circuits.size(), 1u);
}

TEST(Search, GenerateAlphabet) {
  // Self-adjoint gates: nothing added; placements ordered by largest qubit.
  EXPECT_EQ(RawECCs::generate_alphabet({CX, H}, 2),
            (std::vector{one(H, 0), one(H, 1), two(CX, 0, 1), two(CX, 1, 0)}));
  EXPECT_EQ(RawECCs::generate_alphabet({H, CX}, 3),
            (std::vector{one(H, 0), one(H, 1), two(CX, 0, 1), two(CX, 1, 0), one(H, 2),
                         two(CX, 0, 2), two(CX, 1, 2), two(CX, 2, 0), two(CX, 2, 1)}));
  // t brings tdg; a gate given twice is placed twice; its adjoint is added once.
  EXPECT_EQ(RawECCs::generate_alphabet({T}, 2),
            (std::vector{one(T, 0), one(TDG, 0), one(T, 1), one(TDG, 1)}));
  EXPECT_EQ(RawECCs::generate_alphabet({TDG, T, TDG}, 1),
            (std::vector{one(T, 0), one(TDG, 0), one(TDG, 0)}));
  EXPECT_EQ(RawECCs::generate_alphabet({S}, 1), (std::vector{one(S, 0), one(gates::SDG, 0)}));
  // Two-qubit gates on one qubit: nothing to place.
  EXPECT_TRUE(RawECCs::generate_alphabet({CX}, 1).empty());
  const Evaluator ev = seeded_evaluator(1);
  testing::internal::CaptureStdout();
  const SearchResult r = RawECCs::generate(ev, {CX}, 2);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(r.counters, (std::array<std::uint32_t, 3>{1, 0, 0}));

  GateMatrix ccx(8, 8);
  for (std::uint32_t i = 0; i < 8; ++i) ccx.at(i < 6 ? i : 13 - i, i) = QComplex{1.0, 0.0};
  const Gate16 g3 = Gate16::create("search_test_ccx", {}, ccx);
  EXPECT_EQ(stop_message([&] { RawECCs::generate_alphabet({H, g3}, 3); }),
            "Only 1 and 2 qubit instructions are supported");
  GateMatrix phase(1, 1);
  phase.at(0, 0) = QComplex{0.0, 1.0};
  const Gate16 g0 = Gate16::create("search_test_phase", {}, phase);
  EXPECT_EQ(stop_message([&] { RawECCs::generate_alphabet({g0}, 3); }),
            "Only 1 and 2 qubit instructions are supported");
}

TEST(Search, FailuresStopTheSearch) {
  const Evaluator ev = seeded_evaluator(2);
  testing::internal::CaptureStdout();
  EXPECT_EQ(stop_message([&] { RawECCs::search(ev, std::vector{one(H, 0), one(H, 3)}, 2); }),
            "index out of bounds: the len is 4 but the index is 8");
  testing::internal::GetCapturedStdout();
  const Evaluator six = seeded_evaluator(6);
  EXPECT_EQ(stop_message([&] { RawECCs::search(six, std::vector{one(H, 0)}, 2); }),
            "index out of bounds: the len is 16 but the index is 31");
}

// --- queries --------------------------------------------------------------------------------

struct Searched {
  Evaluator ev;
  std::shared_ptr<RawECCs> map;
};

Searched searched_map(std::uint8_t seed = 4) {
  Searched s{seeded_evaluator(3, seed), nullptr};
  testing::internal::CaptureStdout();
  SearchResult r = RawECCs::generate(s.ev, {H, T, CX}, 3);
  testing::internal::GetCapturedStdout();
  s.map = std::make_shared<RawECCs>(std::move(r.map));
  return s;
}

TEST(Queries, FindEquivalents) {
  const Searched s = searched_map();
  const RawECCs& m = *s.map;
  const std::optional<ECC> root = m.find_equivalents(s.ev, {});
  ASSERT_TRUE(root.has_value());
  EXPECT_EQ(root->members.size(), m.find(s.ev.initial_key())->circuits.size());
  EXPECT_TRUE(root->members[0].first.empty());
  EXPECT_EQ(root->members[0].second, id(3));

  // A stored member comes back as itself with the identity; every member acts like the query.
  const std::vector<std::vector<Instr32>> queries = {
      {one(H, 0), two(CX, 0, 1)},
      {two(CX, 2, 1), one(T, 1), two(CX, 2, 1)},
      {one(T, 2), one(T, 2)},
      {one(H, 1), one(H, 1), one(T, 0)},
  };
  for (const auto& q : queries) {
    const std::optional<ECC> e = m.find_equivalents(s.ev, q);
    ASSERT_TRUE(e.has_value());
    bool itself = false;
    for (const EccMember& mem : e->members) {
      EXPECT_TRUE(same_operator(3, mem.first, mem.second, q, id(3)));
      itself = itself || (mem.first == q && mem.second == id(3));
    }
    const CircuitECC* cls = m.find(s.ev.key_of(q));
    bool stored = false;
    for (const CircTriple& t : cls->circuits) stored = stored || t.instructions() == q;
    if (stored) {
      EXPECT_TRUE(itself);
    }
  }
  // A circuit the search never reached.
  const std::vector<Instr32> deep = {one(H, 0), one(T, 0), one(H, 0), one(T, 0), one(H, 0),
                                     two(CX, 0, 1), one(T, 1), one(H, 1), two(CX, 1, 2)};
  EXPECT_FALSE(m.find_equivalents(s.ev, deep).has_value());
}

TEST(Queries, ComputeNextKey) {
  const Searched s = searched_map();
  const RawECCs& m = *s.map;
  const std::uint64_t root = s.ev.initial_key();
  EXPECT_EQ(m.compute_next_key(s.ev, root, one(H, 0)), s.ev.key_of(std::vector{one(H, 0)}));
  EXPECT_FALSE(m.compute_next_key(s.ev, root ^ 1, one(H, 0)).has_value());
  // Extending a representative gives the key the search filed that extension under.
  for (const auto& [key, cls] : m.inner) {
    if (cls.size != 2) continue;
    std::vector<Instr32> rep = cls.circuits[0].instructions();
    rep.push_back(two(CX, 1, 2));
    EXPECT_EQ(m.compute_next_key(s.ev, key, two(CX, 1, 2)), s.ev.key_of(rep));
  }
  // A three-instruction representative extended leaves the searched depth.
  std::size_t misses = 0;
  for (const auto& [key, cls] : m.inner)
    if (cls.size == 3 && !m.compute_next_key(s.ev, key, one(H, 2))) ++misses;
  EXPECT_GT(misses, 0u);
}

TEST(Queries, SwitchEvaluatorSharesCellsAndKeepsThemAlive) {
  Searched s = searched_map();
  const Evaluator ev2 = seeded_evaluator(3, 77);
  const std::size_t classes = s.map->size();
  std::vector<const AliasCons<Instr32>*> rep_cells;
  for (const auto& [k, c] : s.map->inner) rep_cells.push_back(c.circuits[0].circ.cell());
  std::vector<std::pair<std::uint64_t, std::vector<InstrList>>> members;
  for (const auto& [key, cls] : s.map->inner) {
    members.emplace_back(key, std::vector<InstrList>());
    for (const CircTriple& t : cls.circuits) members.back().second.push_back(t.circ);
  }

  RawECCs switched = s.map->switch_evaluator(ev2);
  EXPECT_FALSE(switched.drop);
  EXPECT_EQ(switched.nqubits, 3u);
  EXPECT_EQ(switched.size(), classes);
  EXPECT_EQ(switched.cells, s.map->cells);
  std::weak_ptr<CellArena> arena = s.map->cells;
  s.map.reset();  // the switched map keeps the cells alive (ASan reports a read of a freed one)
  ASSERT_FALSE(arena.expired());
  for (const auto& [k, c] : switched.inner) {
    EXPECT_TRUE(c.front_gates.empty());
    EXPECT_TRUE(c.back_gates.empty());
    EXPECT_NE(std::find(rep_cells.begin(), rep_cells.end(), c.circuits[0].circ.cell()),
              rep_cells.end());
  }
  for (const auto& [key, cls] : switched.inner)
    for (const CircTriple& t : cls.circuits) {
      Permut32 f, b;
      EXPECT_EQ(ev2.key_of(t.instructions(), &f, &b), key);
      EXPECT_EQ(f, t.front_perm);
      EXPECT_EQ(b, t.back_perm);
    }

  // Switching back gives the original classes under the original keys.
  RawECCs back = switched.switch_evaluator(s.ev);
  switched = RawECCs{};
  EXPECT_EQ(back.size(), classes);
  EXPECT_NE(back.find(s.ev.initial_key()), nullptr);
  for (const auto& [key, cells] : members) {
    const CircuitECC* c = back.find(key);
    ASSERT_NE(c, nullptr);
    ASSERT_EQ(c->circuits.size(), cells.size());
    for (std::size_t i = 0; i < cells.size(); ++i) EXPECT_EQ(c->circuits[i].circ, cells[i]);
  }
  back = RawECCs{};
  EXPECT_TRUE(arena.expired());
}

TEST(Queries, SwitchEvaluatorStops) {
  const Evaluator ev = seeded_evaluator(1, 3);
  const Evaluator ev2 = seeded_evaluator(1, 8);
  const Permut32 i1 = id(1);

  // Two members that are not equivalent in one class.
  {
    auto m = std::make_shared<RawECCs>(RawECCs::create(ev));
    m->drop = true;
    m->add_entry(5, i1, i1, InstrList::nil(), std::vector{one(H, 0)});
    m->add_entry(5, i1, i1, InstrList::nil(), std::vector{one(X, 0)});
    EXPECT_EQ(stop_message([&] { m->switch_evaluator(ev2); }),
              "Inconsistent ECC detected during evaluator switch");
  }
  // Two classes of nonzero size that reach one key.
  {
    auto m = std::make_shared<RawECCs>(RawECCs::create(ev));
    m->drop = true;
    m->add_entry(5, i1, i1, InstrList::nil(), std::vector{one(Z, 0)});
    m->add_entry(6, i1, i1, InstrList::nil(), std::vector{one(Z, 0)});
    const std::string msg = stop_message([&] { m->switch_evaluator(ev2); });
    EXPECT_EQ(msg,
              "Hash collision detected during evaluator switch: CircuitECC { size: 1, "
              "front_gates: {}, back_gates: {}, circuits: [(0) z(0) (0)] } vs "
              "CircuitECC { size: 1, front_gates: {z(0)}, back_gates: {z(0)}, circuits: [(0) "
              "z(0) (0)] }");
  }
  // A class reaching the empty circuit's key replaces a root placed before it, and stops the
  // call when the receiver's root comes after it; which comes first is the map's bucket order,
  // so try keys until both orders have been seen.
  bool seen_replace = false, seen_stop = false;
  for (std::uint64_t i = 1; i < 200 && !(seen_replace && seen_stop); ++i) {
    const std::uint64_t key = i * 0x9E3779B97F4A7C15ull;
    auto m = std::make_shared<RawECCs>(RawECCs::create(ev));
    m->drop = true;
    const auto h = m->add_entry(5, i1, i1, InstrList::nil(), std::vector{one(H, 0)});
    m->add_entry(key, i1, i1, *h, std::vector{one(H, 0), one(H, 0)});
    bool root_first = false;
    for (const auto& [k, c] : m->inner) {
      if (k == ev.initial_key()) {
        root_first = true;
        break;
      }
      if (k == key) break;
    }
    if (root_first) {
      RawECCs sw = m->switch_evaluator(ev2);
      EXPECT_EQ(sw.size(), 2u);
      EXPECT_EQ(sw.find(ev2.initial_key())->size, 2u);
      seen_replace = true;
    } else {
      EXPECT_EQ(stop_message([&] { m->switch_evaluator(ev2); })
                    .rfind("Hash collision detected during evaluator switch: CircuitECC { size: 2",
                           0),
                0u);
      seen_stop = true;
    }
  }
  EXPECT_TRUE(seen_replace);
  EXPECT_TRUE(seen_stop);
}

}  // namespace
}  // namespace marrowfen
