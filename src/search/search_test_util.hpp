// Small helpers shared by the search tests.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <vector>

#include "circ/gate.hpp"
#include "circ/instr.hpp"
#include "core/panic.hpp"
#include "core/rng.hpp"
#include "groups/permutation.hpp"
#include "search/evaluator.hpp"
#include "state/state_vec.hpp"

namespace marrowfen::search_test {

inline Instr32 one(Gate16 g, std::uint8_t q) { return Instr32::one(g, q); }
inline Instr32 two(Gate16 g, std::uint8_t a, std::uint8_t b) { return Instr32::two(g, a, b); }
inline Permut32 P(std::initializer_list<std::uint8_t> v) { return Permut32::from_iter(v); }
inline Permut32 id(std::uint8_t n) { return Permut32::identity(n); }

// A reproducible generator for tests (every production caller seeds from the OS).
inline ChaCha12 seeded(std::uint8_t s) {
  ChaCha12::Seed seed{};
  seed[0] = s;
  seed[31] = 0x5a;
  return ChaCha12::from_seed(seed);
}

inline Evaluator seeded_evaluator(std::uint32_t n, std::uint8_t s = 1) {
  ChaCha12 rng = seeded(s);
  return Evaluator::from_random(rng, n);
}

// The state after the instructions, then the wire permutation (content of wire i to perm[i]),
// phase-fixed.
inline StateVec run(const StateVec& start, std::span<const Instr32> instrs,
                    Permut32 perm = Permut32{}) {
  StateVec s = start.clone();
  for (const Instr32 in : instrs) s.apply(in);
  if (perm.len() != 0) s.apply_permutation(perm);
  s.normalize_arg();
  return s;
}

// Whether two circuits (each followed by its permutation) act alike up to global phase on a
// random state of n qubits.
inline bool same_operator(std::uint32_t n, std::span<const Instr32> a, Permut32 pa,
                          std::span<const Instr32> b, Permut32 pb, std::uint8_t s = 7) {
  ChaCha12 rng = seeded(s);
  const StateVec start = StateVec::from_random(rng, n);
  return run(start, a, pa) == run(start, b, pb);
}

}  // namespace marrowfen::search_test
