#include "search/raw_eccs.hpp"

#include <vector>

#include <gtest/gtest.h>

#include "core/test_support.hpp"
#include "search/evaluator.hpp"
#include "search/search_test_util.hpp"

namespace marrowfen {
namespace {

using namespace search_test;
using gates::CX;
using gates::H;
using gates::T;
using gates::X;
using gates::Z;

std::vector<Instr32> to_vec(const SurfaceGates& g) { return {g.begin(), g.end()}; }

TEST(SurfaceGates, FrontBackAndIndexed) {
  const std::vector<Instr32> seq = {one(H, 0), two(CX, 0, 1), one(X, 1), one(H, 2)};
  EXPECT_EQ(to_vec(circuit_get_surface_gates(seq)), (std::vector{one(H, 0), one(H, 2)}));
  EXPECT_EQ(to_vec(circuit_get_surface_gates_reversed(seq)), (std::vector{one(H, 2), one(X, 1)}));

  const SurfaceMap all = circuit_get_surface_gates_hashmap(seq, ~std::uint64_t{0});
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0], (std::pair{one(H, 0), 0u}));
  EXPECT_EQ(all[1], (std::pair{one(H, 2), 3u}));
  // A dead gate neither counts nor marks its qubits.
  const SurfaceMap masked = circuit_get_surface_gates_hashmap(seq, ~std::uint64_t{1});
  ASSERT_EQ(masked.size(), 2u);
  EXPECT_EQ(masked[0], (std::pair{two(CX, 0, 1), 1u}));
  EXPECT_EQ(masked[1], (std::pair{one(H, 2), 3u}));
  EXPECT_EQ(masked.find(one(H, 2)), &masked[1].second);
  EXPECT_EQ(masked.find(one(H, 0)), nullptr);
  // Bits are taken modulo 64: bit 0 also governs gate 64.
  std::vector<Instr32> long_seq(65, one(X, 0));
  long_seq[64] = one(H, 1);
  const SurfaceMap wrapped = circuit_get_surface_gates_hashmap(long_seq, ~std::uint64_t{1});
  ASSERT_EQ(wrapped.size(), 1u);
  EXPECT_EQ(wrapped[0], (std::pair{one(X, 0), 1u}));
}

TEST(SurfaceGates, GateWithoutQubitsIsAlwaysSurface) {
  const Instr32 g = Instr32::none(H);
  const std::vector<Instr32> seq = {one(H, 0), g, one(X, 0), g};
  EXPECT_EQ(to_vec(circuit_get_surface_gates(seq)), (std::vector{one(H, 0), g, g}));
  EXPECT_EQ(to_vec(circuit_get_surface_gates_reversed(seq)), (std::vector{g, one(X, 0), g}));
  // An equal gate found again takes the later index and keeps its position.
  const SurfaceMap m = circuit_get_surface_gates_hashmap(seq, ~std::uint64_t{0});
  ASSERT_EQ(m.size(), 2u);
  EXPECT_EQ(m[0], (std::pair{one(H, 0), 0u}));
  EXPECT_EQ(m[1], (std::pair{g, 3u}));
}

TEST(RawECCs, NewHoldsOnlyTheRootClass) {
  for (std::uint32_t n = 1; n <= 5; ++n) {
    SCOPED_TRACE(n);
    const Evaluator ev = seeded_evaluator(n);
    const RawECCs m = RawECCs::create(ev);
    EXPECT_EQ(m.nqubits, n);
    EXPECT_FALSE(m.drop);
    ASSERT_EQ(m.size(), 1u);
    const CircuitECC* root = m.find(ev.initial_key());
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->size, 0u);
    EXPECT_TRUE(root->front_gates.empty());
    EXPECT_TRUE(root->back_gates.empty());
    ASSERT_EQ(root->circuits.size(), 1u);
    EXPECT_EQ(root->circuits[0].front_perm, id(static_cast<std::uint8_t>(n)));
    EXPECT_EQ(root->circuits[0].back_perm, id(static_cast<std::uint8_t>(n)));
    EXPECT_TRUE(root->circuits[0].circ.is_nil());
  }
  const Evaluator six = seeded_evaluator(6);
  EXPECT_EQ(stop_message([&] { RawECCs::create(six); }),
            "index out of bounds: the len is 16 but the index is 31");
  EXPECT_EQ(stop_message([] { CircuitECC::root(9); }),
            "Permutation length must be less than or equal to 8");
  EXPECT_EQ(stop_message([] { CircuitECC::root(256); }),
            "Permutation length must be less than or equal to 8");
}

TEST(RawECCs, AddEntryFoundsJoinsOrRejects) {
  const Evaluator ev = seeded_evaluator(2);
  RawECCs m = RawECCs::create(ev);
  m.drop = true;
  const Permut32 i2 = id(2);
  const std::uint64_t key = 12345;

  // A new key founds a class and hands back its cell, whose tail is the list it grew from.
  const auto parent = m.add_entry(1, i2, i2, InstrList::nil(), std::vector{one(H, 0)});
  ASSERT_TRUE(parent.has_value());
  const std::vector<Instr32> a = {one(H, 0), two(CX, 0, 1)};
  const auto cell = m.add_entry(key, i2, i2, *parent, a);
  ASSERT_TRUE(cell.has_value());
  EXPECT_EQ(cell->cell()->tail, *parent);
  EXPECT_EQ(*cell->begin(), two(CX, 0, 1));
  const CircuitECC& c = *m.find(key);
  EXPECT_EQ(c.size, 2u);
  EXPECT_EQ(c.circuits.size(), 1u);
  EXPECT_EQ(c.circuits[0].circ, *cell);

  // Same key, a front gate already recorded (h(0)): nothing stored.
  EXPECT_FALSE(m.add_entry(key, i2, i2, InstrList::nil(), std::vector{one(H, 0), one(T, 1)}));
  EXPECT_EQ(m.find(key)->circuits.size(), 1u);
  // Same key, a back gate already recorded (cx(0, 1)): nothing stored.
  EXPECT_FALSE(m.add_entry(key, i2, i2, InstrList::nil(), std::vector{one(X, 0), two(CX, 0, 1)}));
  EXPECT_EQ(m.find(key)->circuits.size(), 1u);
  // Surface gates compared in canonical positions: relabelled by front⁻¹ and back, h(1)
  // under the swap (1 0) is h(0) again.
  EXPECT_FALSE(m.add_entry(key, P({1, 0}), i2, InstrList::nil(), std::vector{one(H, 1), one(Z, 1)}));
  // Fresh layers: appended, no cell handed back.
  const auto other = m.add_entry(2, i2, i2, InstrList::nil(), std::vector{one(X, 1)});
  EXPECT_FALSE(m.add_entry(key, i2, i2, *other, std::vector{one(X, 1), one(T, 0)}));
  const CircuitECC& c2 = *m.find(key);
  ASSERT_EQ(c2.circuits.size(), 2u);
  EXPECT_EQ(c2.circuits[1].circ.cell()->tail, *other);
  EXPECT_EQ(c2.circuits[1].instructions(), (std::vector{one(X, 1), one(T, 0)}));
  EXPECT_EQ(c2.size, 2u);
  EXPECT_EQ(std::vector(c2.front_gates.begin(), c2.front_gates.end()),
            (std::vector{one(H, 0), one(X, 1), one(T, 0)}));
  EXPECT_EQ(std::vector(c2.back_gates.begin(), c2.back_gates.end()),
            (std::vector{two(CX, 0, 1), one(T, 0), one(X, 1)}));
  // Repeated surface gates enter a set once.
  const Instr32 g = Instr32::none(H);
  const auto gp = m.add_entry(3, i2, i2, InstrList::nil(), std::vector{g});
  m.add_entry(4, i2, i2, *gp, std::vector{g, g});
  EXPECT_EQ(m.find(4)->front_gates.size(), 1u);
  EXPECT_EQ(m.find(4)->back_gates.size(), 1u);

  // The root class starts with empty sets: an identity circuit can join it.
  const std::uint64_t root = ev.initial_key();
  EXPECT_FALSE(m.add_entry(root, i2, i2, InstrList::nil(), std::vector{one(H, 0), one(H, 0)}));
  EXPECT_EQ(m.find(root)->circuits.size(), 2u);
  EXPECT_EQ(m.find(root)->size, 0u);

  EXPECT_EQ(stop_message([&] { m.add_entry(1, i2, i2, InstrList::nil(), {}); }),
            "called `Option::unwrap()` on a `None` value");
  EXPECT_EQ(stop_message([&] {
              m.add_entry(99, i2, i2, InstrList::nil(), std::vector{one(H, 9)});
            }),
            "assertion failed: idx < 8");
  EXPECT_EQ(m.find(99), nullptr);
}

TEST(RawECCs, TextsOfRecords) {
  const Evaluator ev = seeded_evaluator(1);
  RawECCs m = RawECCs::create(ev);
  m.drop = true;
  m.add_entry(7, id(1), id(1), InstrList::nil(), std::vector{one(X, 0)});
  EXPECT_EQ(m.find(7)->debug(),
            "CircuitECC { size: 1, front_gates: {x(0)}, back_gates: {x(0)}, circuits: [(0) x(0) (0)] }");
  EXPECT_EQ(m.find(7)->display(), "CircuitECC {x(0) (0)}");
  EXPECT_EQ(m.find(ev.initial_key())->debug(),
            "CircuitECC { size: 0, front_gates: {}, back_gates: {}, circuits: [(0)  (0)] }");

  const Evaluator ev2 = seeded_evaluator(2);
  RawECCs m2 = RawECCs::create(ev2);
  m2.drop = true;
  EXPECT_EQ(m2.find(ev2.initial_key())->circuits[0].debug(), "(0 1)  (0 1)");
  // Display: instructions relabelled through front⁻¹, then back·front; debug: as stored.
  const auto parent = m2.add_entry(8, id(2), id(2), InstrList::nil(), std::vector{one(H, 0)});
  const auto cell =
      m2.add_entry(9, P({1, 0}), id(2), *parent, std::vector{one(H, 0), two(CX, 0, 1)});
  m2.add_entry(9, id(2), P({1, 0}), *cell, std::vector{one(H, 0), two(CX, 0, 1), one(T, 0)});
  const CircuitECC& c = *m2.find(9);
  EXPECT_EQ(c.circuits[0].display(), "h(1) cx(1, 0) (1 0)");
  EXPECT_EQ(c.circuits[0].debug(), "(1 0) h(0) cx(0, 1) (0 1)");
  EXPECT_EQ(c.display(), "CircuitECC {h(1) cx(1, 0) (1 0), h(0) cx(0, 1) t(0) (1 0)}");
  EXPECT_EQ(c.debug(),
            "CircuitECC { size: 2, front_gates: {h(1), h(0)}, back_gates: {cx(0, 1), t(1)}, "
            "circuits: [(1 0) h(0) cx(0, 1) (0 1), (0 1) h(0) cx(0, 1) t(0) (1 0)] }");
}

TEST(RawECCs, MovesTransferCellOwnership) {
  // Run under ASan: every cell is freed exactly once whichever object ends up owning it.
  const Evaluator ev = seeded_evaluator(1);
  RawECCs a = RawECCs::create(ev);
  a.drop = true;
  a.add_entry(1, id(1), id(1), InstrList::nil(), std::vector{one(X, 0)});
  RawECCs b(std::move(a));
  EXPECT_FALSE(a.drop);
  EXPECT_EQ(a.size(), 0u);
  EXPECT_TRUE(b.drop);
  RawECCs c = RawECCs::create(ev);
  c.drop = true;
  c.add_entry(2, id(1), id(1), InstrList::nil(), std::vector{one(H, 0)});
  c = std::move(b);  // c's own cell is freed here
  EXPECT_EQ(c.size(), 2u);
  EXPECT_NE(c.find(1), nullptr);
  // A map with the flag clear frees nothing: its cell is released by hand.
  RawECCs d = RawECCs::create(ev);
  const auto cell = d.add_entry(3, id(1), id(1), InstrList::nil(), std::vector{one(X, 0)});
  d = RawECCs{};
  InstrList l = *cell;
  EXPECT_EQ(*l.begin(), one(X, 0));
  l.delete_head();
}

}  // namespace
}  // namespace marrowfen
