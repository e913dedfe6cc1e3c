#include "state/state_cache.hpp"

#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/panic.hpp"
#include "core/test_support.hpp"

namespace marrowfen {
namespace {

ChaCha12 seeded(std::uint8_t b) {
  ChaCha12::Seed seed{};
  for (std::size_t i = 0; i < seed.size(); ++i) seed[i] = static_cast<std::uint8_t>(b * 31 + i);
  return ChaCha12::from_seed(seed);
}

Permut32 perm(std::initializer_list<std::uint8_t> v) { return Permut32::from_iter(v); }

TEST(ApplyPermutation, MovesQubitContent) {
  // Qubit 0 -> 2, 1 -> 0, 2 -> 1: amplitude at index 1 (qubit 0 set) moves to index 4.
  StateVec s = StateVec::zeros(3);
  s.set(1, QComplex{1.0, 0.5});
  s.apply_permutation(perm({2, 0, 1}));
  for (std::size_t i = 0; i < 8; ++i) {
    EXPECT_EQ(s.at(i).re.v, i == 4 ? 1.0 : 0.0) << i;
    EXPECT_EQ(s.at(i).im.v, i == 4 ? 0.5 : 0.0) << i;
  }
  // Every amplitude i lands on permut_bv(i), for every permutation of 4 entries.
  ChaCha12 rng = seeded(1);
  const StateVec base = StateVec::from_random(rng, 4);
  for (Permut32 p : ALL_PERMUTATIONS[4]) {
    StateVec t = base.clone();
    t.apply_permutation(p);
    for (std::size_t i = 0; i < 16; ++i) {
      const std::size_t to = p.permut_bv(static_cast<std::uint8_t>(i));
      EXPECT_EQ(t.re()[to].v, base.re()[i].v);
      EXPECT_EQ(t.im()[to].v, base.im()[i].v);
    }
    t.apply_permutation(p.inv());
    EXPECT_TRUE(t == base);  // exactly restored: no arithmetic
    for (std::size_t i = 0; i < 16; ++i) EXPECT_EQ(t.re()[i].v, base.re()[i].v);
  }
}

TEST(ApplyPermutation, RelabellingCommutesWithGates) {
  // A gate on qubit q followed by relabelling p equals relabelling p followed by the gate on
  // p[q].
  ChaCha12 rng = seeded(2);
  const StateVec base = StateVec::from_random(rng, 3);
  const Permut32 p = perm({1, 2, 0});
  StateVec a = base.clone(), b = base.clone();
  const std::uint8_t q0[2] = {0, 2}, pq0[2] = {p.entry(0), p.entry(2)};
  a.apply(q0, gates::CX);
  a.apply_permutation(p);
  b.apply_permutation(p);
  b.apply(pq0, gates::CX);
  EXPECT_TRUE(a == b);
}

TEST(ApplyPermutation, ScratchStatesAreExchangedNotCopied) {
  std::thread([] {
    EXPECT_EQ(state_vec_cache_len(), 0u);
    ChaCha12 rng = seeded(3);
    StateVec s = StateVec::from_random(rng, 3);
    const StateVec before = s.clone();
    const Qreal* first = s.re_data();
    s.apply_permutation(Permut32::identity(3));
    EXPECT_EQ(state_vec_cache_len(), 4u);  // entries for 0, 1, 2 and 3 qubits
    EXPECT_TRUE(s == before);
    const Qreal* second = s.re_data();
    EXPECT_NE(first, second);
    {
      // The scratch entry now holds the previous buffers: a copy of the same amplitudes.
      StateVecCacheBorrow cache;
      const StateVec& scratch = cache.entries()[3];
      EXPECT_EQ(scratch.re_data(), first);
      EXPECT_TRUE(scratch == before);
      EXPECT_EQ(stop_message([] { StateVecCacheBorrow nested; }), "RefCell already borrowed");
    }
    // From now on the two buffers alternate: nothing new is allocated.
    for (int k = 0; k < 5; ++k) {
      s.apply_permutation(perm({2, 0, 1}));
      EXPECT_EQ(s.re_data(), k % 2 == 0 ? first : second);
    }
    EXPECT_EQ(state_vec_cache_len(), 4u);
    reserve_state_vec_cache(1);
    EXPECT_EQ(state_vec_cache_len(), 4u);
  }).join();
}

TEST(ApplyPermutation, ZeroQubitsAndBadPermutations) {
  StateVec z = StateVec::create(std::vector<double>{0.6}, std::vector<double>{0.8});
  z.apply_permutation(Permut32{});
  EXPECT_EQ(z.at(0).re.v, 0.6);
  EXPECT_EQ(z.at(0).im.v, 0.8);

  ChaCha12 rng = seeded(4);
  StateVec s = StateVec::from_random(rng, 2);
  const StateVec before = s.clone();
  // An entry at or above the qubit count sends an amplitude beyond the state.
  EXPECT_EQ(stop_message([&] { s.apply_permutation(Permut32::from_iter_unchecked({0, 3})); }),
            "index out of bounds: the len is 4 but the index is 8");
  EXPECT_EQ(stop_message([&] { s.apply_permutation(Permut32::from_iter_unchecked({1, 1})); }),
            "Permutation values must be unique");
  EXPECT_EQ(stop_message([&] { s.apply_permutation(perm({0})); }),
            "Permutation of length 1 cannot relabel a state of 2 qubits");
  EXPECT_EQ(stop_message([&] { s.apply_permutation(perm({0, 1, 2})); }),
            "Permutation of length 3 cannot relabel a state of 2 qubits");
  EXPECT_TRUE(s == before);
  // Refused before any entry is built.
  std::thread([] {
    EXPECT_EQ(stop_message([] { reserve_state_vec_cache(28); }), "capacity overflow");
    EXPECT_EQ(stop_message([] { reserve_state_vec_cache(40); }),
              "Number of qubits too large, resulting in overflow for state vector size.");
    EXPECT_EQ(state_vec_cache_len(), 0u);
  }).join();
}

}  // namespace
}  // namespace marrowfen
