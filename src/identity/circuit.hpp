// Circ: a list of instructions followed by a trailing qubit permutation, with its algebra
// (relabel, rotate, invert, compose, fold swaps) and its canonical forms.
//
// After the last instruction the content of wire i moves to wire perm[i]; the entry count of
// `perm` is the circuit's qubit count. Circuits are plain values: every operation returns a
// new circuit and none changes its operands.
//
// Order (the one every canonical form minimises over): fewer instructions first, then the
// instructions one by one in the Instr32 order, then the raw permutation word.
#pragma once

#include <algorithm>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "circ/instr.hpp"
#include "core/content_hash.hpp"
#include "groups/permutation.hpp"
#include "utils/fmt_display.hpp"

namespace marrowfen {

class PostcardWriter;
class PostcardReader;
struct IdentityCirc;  // identity/idcircuit.hpp

struct Circ {
  std::vector<Instr32> instrs;
  Permut32 perm;

  // Checks that every qubit used is below the permutation's entry count, else stops with
  // "Permutation length must be greater than the max qubit index."; stores both unchanged.
  static Circ create(std::vector<Instr32> instrs, Permut32 perm);
  // Trailing permutation = identity on (largest qubit used + 1) wires, or the empty
  // permutation when no instruction uses a qubit. A qubit of 8 or more stops with
  // "Permutation length must be less than or equal to 8".
  static Circ new_no_perm(std::vector<Instr32> instrs);

  std::uint8_t nqubits() const noexcept { return perm.len(); }
  std::size_t len() const noexcept { return instrs.size(); }
  bool is_empty() const noexcept { return instrs.empty(); }
  // The instruction at position i mod len(), the remainder taken non-negative, so every i
  // names an instruction (-1 the last). An empty circuit stops with "attempt to calculate the
  // remainder with a divisor of zero".
  Instr32 at_cyclic(std::int64_t i) const;

  // Largest qubit used by any instruction (empty slots are not qubits); none without qubits.
  std::optional<std::uint8_t> max_qubit() const noexcept;

  // ---- content hash, texts, serialized forms ------------------------------------------------

  // Instruction count (4 bytes), each Instr32 (gate, 2 as 4 bytes, both qubit bytes), raw perm.
  void feed(ContentHasher& h) const noexcept;
  std::uint64_t hash_value() const noexcept { return content_hash(*this); }

  // "Circuit { h(0) cx(0, 1) (0 1) }"
  std::string display() const;
  // "Circ { instrs: [h(0), cx(0, 1)], perm: (0 1) }"
  std::string debug() const;
  // The display text with another leading word ("Identity { ... }" for identity circuits).
  std::string display_as(std::string_view word) const;

  // Postcard form: count as varint, each instruction (gate text as a string, two raw qubit
  // bytes), raw perm as varint. Reading checks nothing; reader errors propagate.
  void write_postcard(PostcardWriter& w) const;
  static Circ read_postcard(PostcardReader& r);

  // ---- algebra -----------------------------------------------------------------------------

  // Relabels every wire i as p[i] (both padded to a common length); perm becomes p·P·p⁻¹.
  Circ permut(Permut32 p) const;
  // n > 0: the first n instructions move to the end, relabelled by perm⁻¹; n < 0: the last -n
  // move to the front, relabelled by perm. |n| above len() stops with "range start index {}
  // out of range for slice of length {}".
  Circ rotate(std::int32_t n) const;
  // Reversed, each gate replaced by its adjoint and relabelled by perm; perm becomes perm⁻¹.
  Circ inverse() const;
  // This circuit followed by b.
  Circ add(const Circ& b) const;
  friend Circ operator+(const Circ& a, const Circ& b) { return a.add(b); }
  // SWAP instructions dropped and folded into the trailing permutation.
  Circ remove_swaps() const;
  // The instructions followed by SWAP instructions realising the trailing permutation.
  std::vector<Instr32> instrs_with_swaps() const;
  // Largest wire that an instruction uses or the permutation moves; none if neither.
  std::optional<std::uint8_t> affected_qubits() const noexcept;
  // Trailing wires that no instruction touches and the permutation fixes are dropped.
  Circ compact_qubits() &&;
  Circ compact_qubits() const& { return Circ(*this).compact_qubits(); }
  // One insertion pass: neighbours on disjoint qubits put into the Instr32 order.
  Circ reorder_instrs() &&;
  Circ reorder_instrs() const& { return Circ(*this).reorder_instrs(); }

  // ---- canonical forms ---------------------------------------------------------------------

  // Smallest relabelling (each candidate relabelled, reordered, compacted) of the circuit
  // prepared by compact_qubits then remove_swaps.
  Circ representative() const;
  // The same minimum with the relabelling that gave it; among relabellings giving the same
  // circuit the smallest raw permutation wins. Empty permutation when no instruction remains.
  std::pair<Circ, Permut32> representative_with_perm() const;
  // Smallest relabelling and rotation (starting at an instruction on qubit 0) of an identity
  // circuit, checked once on random states by IdentityCirc::unchecked. Stops with
  // "IdentityCirc: circuit is not identity {} {} {}" when the check fails, and with
  // "called `Option::unwrap()` on a `None` value" when no instruction uses a qubit.
  IdentityCirc rotate_representative() const;
  // The best rotation of this (already relabelled) circuit: over the rotations by i where
  // instruction i has qubit 0, each reordered and compacted, the smallest (earliest on ties).
  std::optional<Circ> _rotate_representative() const;

  friend bool operator==(const Circ& a, const Circ& b) noexcept {
    return a.perm == b.perm && a.instrs == b.instrs;
  }
  friend std::strong_ordering operator<=>(const Circ& a, const Circ& b) noexcept;
};

// Three-way comparison of two instruction lists of equal length in the Instr32 order.
std::strong_ordering compare_instrs(const Instr32* a, const Instr32* b, std::size_t n) noexcept;

}  // namespace marrowfen

template <>
inline constexpr bool marrowfen::formats_by_display<marrowfen::Circ> = true;
