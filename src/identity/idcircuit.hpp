// Identity circuits: a `Circ` whose instructions followed by its trailing permutation act as
// the identity up to global phase. An identity is read cyclically: instruction 0 follows the
// last instruction through the trailing permutation, so every rotation of an identity is one
// too, and the neighbours of an instruction on a wire may sit across the circuit's end.
//
// The identity property is established only where `check` runs (`IdentityCirc::unchecked`,
// and through it `Circ::rotate_representative` and the Python constructor). Values read from a
// serialized form and the empty value of `IdentityCirc::create` are taken as they are.
#pragma once

#include <algorithm>
#include <compare>
#include <cstdint>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "core/content_hash.hpp"
#include "identity/circuit.hpp"
#include "utils/fmt_display.hpp"

namespace marrowfen {

class PostcardReader;
class PostcardWriter;

struct IdentityCirc {
  // Marks a neighbour not yet found (the largest machine-word value).
  static constexpr std::uint32_t UNSET = 0xFFFF'FFFFu;

  Circ circ;

  // The empty identity: no instructions, the empty permutation (raw value 0). No check.
  static IdentityCirc create();
  // Wraps the circuit and runs one randomized `check` on it: despite the name it always
  // checks, and stops with "IdentityCirc: circuit is not identity {} {} {}" when the circuit
  // is not an identity. Nothing is canonicalised.
  static IdentityCirc unchecked(Circ c);
  // Wraps the circuit with no check of any kind (serialized forms).
  static IdentityCirc from_circ(Circ c) noexcept;

  // One randomized trial on fresh operating-system randomness: the first half of the
  // instructions on a random state against the inverse of the second half and of the
  // permutation on a copy. Returns true or stops the call; never returns false.
  bool check() const;

  // The content hash of the inner circuit (the bytes of the Circ content hash).
  std::uint64_t hash_value() const noexcept;
  void feed(ContentHasher& h) const noexcept;

  // For each argument of instruction `gate_id`, the index of the next instruction on that
  // wire, cyclically through the permutation (the instruction itself when nothing else meets
  // the wire within one cycle). `gate_id` not below the length stops with the index message;
  // a wire that the permutation leads away and not back within one cycle stops with "{} {}".
  std::vector<std::uint32_t> qargs_forward(std::uint32_t gate_id) const;
  // The same for the previous instruction; the failure message is "a {} {} {}".
  std::vector<std::uint32_t> qargs_backward(std::uint32_t gate_id) const;

  std::uint32_t len() const noexcept;
  bool is_empty() const noexcept;
  // The inner circuit's instruction at position i mod len() (Circ::at_cyclic).
  Instr32 at_cyclic(std::int64_t i) const { return circ.at_cyclic(i); }
  std::uint8_t nqubits() const noexcept;

  // "Identity { " + each instruction's display text and a space + the permutation + " }".
  std::string display() const;
  // "IdentityCirc(" + the inner circuit's debug text + ")".
  std::string debug() const;

  // The postcard form of the inner circuit; reading checks nothing.
  void write_postcard(PostcardWriter& w) const;
  static IdentityCirc read_postcard(PostcardReader& r);

  friend bool operator==(const IdentityCirc& a, const IdentityCirc& b) noexcept {
    return a.circ == b.circ;
  }
  friend std::strong_ordering operator<=>(const IdentityCirc& a, const IdentityCirc& b) noexcept {
    return a.circ <=> b.circ;
  }
};

}  // namespace marrowfen

// The display text; format options are accepted and ignored.
template <>
inline constexpr bool marrowfen::formats_by_display<marrowfen::IdentityCirc> = true;
