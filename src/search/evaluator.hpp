// Evaluator: turns a circuit (a list of Instr32) into a fingerprint, a canonical back state
// whose 64-bit hash is the circuit's class key, plus the (front, back) qubit permutations that
// relate the circuit to that canonical form. The key does not depend on global phase, on how
// the circuit's qubits are labelled, nor on a qubit permutation applied before or after it.
//
// An evaluator holds two random states and never changes after construction; keys are
// meaningful only with the evaluator that made them.
//
// Hot path: the search fingerprints every candidate from scratch, so `fingerprint` works on a
// caller-owned `EvalScratch` (states reused, the pair list inline) and allocates nothing once
// the scratch has been used for the qubit count. The value-returning forms (`evaluate`,
// `evaluate_multiple`) copy their results out and are meant for queries and Python.
#pragma once

#include <cstdint>
#include <span>
#include <utility>

#include <boost/container/small_vector.hpp>

#include "circ/instr.hpp"
#include "core/rng.hpp"
#include "groups/permutation.hpp"
#include "state/state_vec.hpp"

namespace marrowfen {

// (front_perm, back_perm) of one allowed qubit order that reaches the minimal back state.
using PermPair = std::pair<Permut32, Permut32>;
// One pair inline (most circuits reach the minimum through exactly one order).
using PermPairs = boost::container::small_vector<PermPair, 1>;

// Result of Evaluator::evaluate_multiple.
struct Fingerprint {
  StateVec true_back_state;  // smallest canonical back state over the allowed orders
  PermPairs perms;           // every pair reaching it, in the order tried; never empty
  StateVec state;            // forward state: initial_state after the circuit, phase-fixed
};

// Result of Evaluator::evaluate: evaluate_multiple with the first pair.
struct Evaluation {
  StateVec back_state;
  Permut32 front_perm;
  Permut32 back_perm;
  StateVec state;
};

// Reusable buffers of one fingerprint. After Evaluator::fingerprint returns, `best` holds the
// true back state, `perms` the pairs and `state` the forward state; `back` is a work buffer.
// One scratch must not be used by two calls at once (one per thread).
struct EvalScratch {
  StateVec state;
  StateVec back;
  StateVec best;
  PermPairs perms;
};

class Evaluator {
 public:
  // Placeholder (no amplitudes); not a usable evaluator.
  Evaluator() noexcept = default;
  Evaluator(const Evaluator&) = delete;
  Evaluator& operator=(const Evaluator&) = delete;
  Evaluator(Evaluator&&) noexcept = default;
  Evaluator& operator=(Evaluator&&) noexcept = default;

  // initial_state = from_random_symmetric(rng, n); backtrack_state = from_random(rng, n) from
  // the same generator, normalize_arg once more, then relabelled into its own canonical order.
  // 32 or more qubits stop in state creation (28 to 31 with "capacity overflow"); 9 to 27 stop
  // in the canonical order of the backtrack state ("Permutation length must be less than or
  // equal to 8"). Six to eight qubits can be built, but their fingerprints stop with the order
  // table's index message (it covers five positions).
  static Evaluator from_random(ChaCha12& rng, std::uint32_t n);
  // from_random with a fresh generator seeded from operating-system entropy.
  static Evaluator random_py(std::uint32_t n);

  Evaluator clone() const;

  // Trailing zero bits of the amplitude count of initial_state.
  std::uint32_t nqubits() const noexcept { return initial_state_.nqubits(); }

  const StateVec& initial_state() const noexcept { return initial_state_; }
  const StateVec& backtrack_state() const noexcept { return backtrack_state_; }

  // The fingerprint into `s`; returns the class key (hash_value of s.best). Each undone
  // instruction's adjoint is one load from the registry's lock-free adjoint cache, after the
  // first lookup of that gate in the process (which may register the adjoint).
  //
  // Stops with "Non-deterministic front permutation detected during evaluation" when a back
  // state ties two qubits; a qubit at or above nqubits() stops in the gate kernels.
  std::uint64_t fingerprint(std::span<const Instr32> instrs, EvalScratch& s) const;

  // Only the key and the first pair, on this thread's own scratch (no allocation after the
  // first call for a qubit count). Not reentrant on one thread (it never calls back out).
  std::uint64_t key_of(std::span<const Instr32> instrs, Permut32* front_perm = nullptr,
                       Permut32* back_perm = nullptr) const;

  Fingerprint evaluate_multiple(std::span<const Instr32> instrs) const;
  Evaluation evaluate(std::span<const Instr32> instrs) const;

  // Key of the empty circuit.
  std::uint64_t initial_key() const;

  // Both states equal on the quantised grid.
  friend bool operator==(const Evaluator& a, const Evaluator& b) noexcept {
    return a.initial_state_ == b.initial_state_ && a.backtrack_state_ == b.backtrack_state_;
  }

 private:
  StateVec initial_state_;
  StateVec backtrack_state_;
};

// Copies src's amplitudes into dst, reusing dst's buffers when the sizes match.
void copy_state_into(const StateVec& src, StateVec& dst);

}  // namespace marrowfen
