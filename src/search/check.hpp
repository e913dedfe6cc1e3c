// Checked equivalence: a circuit is walked prefix by prefix through a raw class map; whenever a
// prefix falls into a stored class, the gates it shares with a stored member at the front or at
// the back are stripped, both remainders are checked recursively to lead to the same smallest
// member, and the walk continues from the class representative. Any disagreement stops the
// call, so a call that returns has verified that the map treats every prefix consistently.
//
// The entry points that belong to the map and its classes are members declared in
// raw_eccs.hpp and defined in check.cpp:
//   RawECCs::checked_equivalent     the smallest member equivalent to (instrs, perm), written
//                                   in the input's own qubit frame
//   CircuitECC::export_equivalence  the stripped (member, query) pair of a prefix
//   RawECCs::check_identity_subset  every simplified member of a map checked against another
//                                   map, the classes in chunks, each chunk on the pool
// This header holds the gate-stripping steps they are built on.
//
// Alive masks: bit i set means instruction i of a list is still present. Every shift count and
// bit index is taken modulo 64, so the masks describe lists of at most 63 instructions; longer
// lists wrap and are outside what the check covers (the search never builds them).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <utility>
#include <vector>

#include "circ/instr.hpp"
#include "groups/permutation.hpp"
#include "search/raw_eccs.hpp"

namespace marrowfen {

class Evaluator;

// Classes per chunk of check_identity_subset.
inline constexpr std::size_t CHECK_CHUNK_SIZE = 4096;

// The low n bits set: the complement of all-ones shifted left by n (mod 64).
constexpr std::uint64_t alive_mask(std::size_t n) noexcept {
  return ~(~std::uint64_t{0} << (n % 64));
}

// Strips the surface gates that the two lists share, front layer by front layer: each pass
// takes the indexed surface maps of both lists under their masks and kills every gate of
// circ1's surface (in its order) whose instruction (gate and both qubit bytes) is on circ2's
// surface, together with its partner; passes repeat until one finds nothing. Returns the
// final alive masks (mask1, mask2).
std::pair<std::uint64_t, std::uint64_t> reduce_equivalence_front(std::span<const Instr32> circ1,
                                                                 std::span<const Instr32> circ2);

// Keeps instruction i of the n-instruction list exactly when bit i of mask1f and bit n-1-i of
// mask1b are both set (survivors in order); returns the number removed.
std::size_t retain_by_masks(std::vector<Instr32>& circ1, std::uint64_t mask1f,
                            std::uint64_t mask1b);

// Strips what two circuits share at the front (reduce_equivalence_front of the lists) and at
// the back (the same on each list reversed and relabelled through its own permutation; both
// passes see the full lists), then drops the stripped instructions from both lists. The two
// must lose the same number of instructions, else the call stops with "mask1f: {}, mask1b:
// {}, mask2f: {}, mask2b: {}" (the masks in binary digits). Returns whether anything was
// stripped; the permutations are not changed.
bool reduce_equivalence(EccMember& circ1, EccMember& circ2);

// check_identity_subset with the chunk size given (at least 1). When set, on_chunk is called
// on the calling thread with the number of classes of each chunk, before that chunk runs.
void check_identity_subset_chunked(const RawECCs& self, const RawECCs& ecc1,
                                   const Evaluator& evaluator, std::size_t chunk_size,
                                   const std::function<void(std::size_t)>& on_chunk = {});

}  // namespace marrowfen
