#include "search/evaluator.hpp"

#include <vector>

#include <gtest/gtest.h>

#include "core/test_support.hpp"
#include "search/search_test_util.hpp"

namespace marrowfen {
namespace {

using namespace search_test;
using gates::CX;
using gates::H;
using gates::S;
using gates::T;
using gates::X;
using gates::Z;

std::size_t factorial(std::size_t n) { return n <= 1 ? 1 : n * factorial(n - 1); }

TEST(Evaluator, EmptyCircuitTriesEveryOrderAndReachesOneState) {
  for (std::uint32_t n = 0; n <= 5; ++n) {
    SCOPED_TRACE(n);
    const Evaluator ev = seeded_evaluator(n);
    EXPECT_EQ(ev.nqubits(), n);
    const Fingerprint fp = ev.evaluate_multiple({});
    // Every qubit of the symmetric state ties: n! orders, all reaching the same back state.
    EXPECT_EQ(fp.perms.size(), factorial(n));
    const Evaluation e = ev.evaluate({});
    EXPECT_EQ(e.front_perm, id(static_cast<std::uint8_t>(n)));
    EXPECT_EQ(e.back_perm, id(static_cast<std::uint8_t>(n)));
    EXPECT_TRUE(e.back_state == fp.true_back_state);
    EXPECT_EQ(ev.initial_key(), fp.true_back_state.hash_value());
    EXPECT_TRUE(fp.state == ev.initial_state());
  }
}

TEST(Evaluator, BacktrackStateIsInItsOwnCanonicalOrder) {
  for (std::uint32_t n = 1; n <= 5; ++n) {
    const Evaluator ev = seeded_evaluator(n, 3);
    EXPECT_EQ(ev.backtrack_state().get_permutation(), id(static_cast<std::uint8_t>(n)));
    EXPECT_TRUE(ev.backtrack_state().check());
  }
}

TEST(Evaluator, ForwardStateWithoutTiesTriesOneOrder) {
  const Evaluator single = seeded_evaluator(1);
  EXPECT_EQ(single.evaluate_multiple(std::vector{one(H, 0)}).perms.size(), 1u);
  EXPECT_EQ(single.evaluate_multiple(std::vector{one(H, 0), one(T, 0), one(H, 0)}).perms.size(), 1u);
  const Evaluator ev = seeded_evaluator(3);
  const std::vector<Instr32> c = {one(H, 0), one(T, 0), two(CX, 0, 1), one(H, 2), one(S, 2),
                                  two(CX, 2, 1), one(T, 1)};
  const Fingerprint fp = ev.evaluate_multiple(c);
  EXPECT_EQ(fp.perms.size(), 1u);
}

TEST(Evaluator, KeyIgnoresRelabellingPhaseAndOuterPermutations) {
  const Evaluator ev = seeded_evaluator(3, 5);
  const std::vector<Instr32> c = {one(H, 0), one(T, 0), two(CX, 0, 1), one(H, 2), one(S, 2),
                                  two(CX, 2, 1), one(T, 1)};
  const std::uint64_t key = ev.key_of(c);

  // Relabelled qubits.
  for (const Permut32 p : {P({1, 2, 0}), P({2, 1, 0}), P({0, 2, 1})}) {
    std::vector<Instr32> r;
    for (const Instr32 in : c) r.push_back(in.permut(p));
    EXPECT_EQ(ev.key_of(r), key);
  }
  // A global phase: (Z X)^2 = -1.
  std::vector<Instr32> phased = c;
  for (const Instr32 in : {one(Z, 1), one(X, 1), one(Z, 1), one(X, 1)}) phased.push_back(in);
  EXPECT_EQ(ev.key_of(phased), key);
  // A swap of two wires (three CX) before or after the circuit.
  const std::vector<Instr32> swap01 = {two(CX, 0, 1), two(CX, 1, 0), two(CX, 0, 1)};
  std::vector<Instr32> before = swap01, after = c;
  before.insert(before.end(), c.begin(), c.end());
  after.insert(after.end(), swap01.begin(), swap01.end());
  EXPECT_EQ(ev.key_of(before), key);
  EXPECT_EQ(ev.key_of(after), key);

  // Equal operators share a key, different ones do not.
  EXPECT_EQ(ev.key_of(std::vector{one(H, 0), one(X, 0), one(H, 0)}), ev.key_of(std::vector{one(Z, 0)}));
  EXPECT_NE(ev.key_of(std::vector{one(H, 0)}), ev.key_of(std::vector{one(X, 0)}));
  EXPECT_NE(ev.key_of(std::vector{one(T, 0)}), ev.key_of(std::vector{one(S, 0)}));
}

TEST(Evaluator, PermutationsRelateTheCircuitToItsCanonicalForm) {
  // The canonical circuit of a member (relabelled through front⁻¹) evaluates with identity
  // front permutation; two relabellings of one circuit give relabelled front permutations.
  const Evaluator ev = seeded_evaluator(3, 9);
  const std::vector<Instr32> c = {one(H, 2), two(CX, 2, 0), one(T, 0), one(S, 1)};
  const Evaluation e = ev.evaluate(c);
  std::vector<Instr32> canon;
  for (const Instr32 in : c) canon.push_back(in.permut(e.front_perm.inv()));
  const Evaluation ce = ev.evaluate(canon);
  EXPECT_EQ(ce.front_perm, id(3));
  EXPECT_TRUE(ce.back_state == e.back_state);
}

TEST(Evaluator, ScratchFingerprintMatchesValueForm) {
  const Evaluator ev = seeded_evaluator(4, 11);
  const std::vector<Instr32> c = {one(H, 0), two(CX, 0, 3), one(T, 3), two(CX, 1, 2)};
  EvalScratch s;
  const std::uint64_t k1 = ev.fingerprint(c, s);
  const Fingerprint fp = ev.evaluate_multiple(c);
  EXPECT_EQ(k1, fp.true_back_state.hash_value());
  EXPECT_TRUE(s.best == fp.true_back_state);
  EXPECT_TRUE(s.state == fp.state);
  ASSERT_EQ(s.perms.size(), fp.perms.size());
}

TEST(Evaluator, Failures) {
  const Evaluator ev = seeded_evaluator(2);
  EXPECT_EQ(stop_message([&] { ev.key_of(std::vector{one(H, 2)}); }),
            "index out of bounds: the len is 4 but the index is 4");
  // Six to eight qubits: the order table covers five positions.
  for (const auto& [n, index] : {std::pair{6u, 31}, {7u, 63}, {8u, 127}}) {
    const Evaluator big = seeded_evaluator(n);
    EXPECT_EQ(big.nqubits(), n);
    EXPECT_EQ(stop_message([&] { big.initial_key(); }),
              fmt::format("index out of bounds: the len is 16 but the index is {}", index));
  }
  EXPECT_EQ(stop_message([] { seeded_evaluator(32); }),
            "Number of qubits too large, resulting in overflow for state vector size.");
}

TEST(Evaluator, EqualityAndClone) {
  const Evaluator a = seeded_evaluator(3, 1);
  const Evaluator b = seeded_evaluator(3, 2);
  EXPECT_TRUE(a == a);
  EXPECT_FALSE(a == b);
  const Evaluator c = a.clone();
  EXPECT_TRUE(a == c);
  EXPECT_EQ(a.initial_key(), c.initial_key());
  EXPECT_NE(a.initial_key(), b.initial_key());
}

}  // namespace
}  // namespace marrowfen
