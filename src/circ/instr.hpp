// Instr32: one registry gate on up to two qubits, packed in one 32-bit word. The whole search
// works on these: they are copied, compared, ordered, hashed and relabelled as plain integers.
#pragma once

#include <bit>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>

#include <fmt/format.h>

#include "circ/gate.hpp"
#include "circ/qargs.hpp"
#include "core/content_hash.hpp"
#include "groups/permutation.hpp"
#include "utils/fmt_display.hpp"

namespace marrowfen {

class PostcardWriter;
class PostcardReader;

// Layout of `raw`:
//   bits 0 .. 15    the gate's registry index
//   bits 16 .. 23   qubit slot 0
//   bits 24 .. 31   qubit slot 1 (255: empty)
struct Instr32 {
  std::uint32_t raw = 0;

  static constexpr std::uint32_t GATE_MASK = 0x0000'FFFF;
  static constexpr unsigned SLOT0_SHIFT = 16;
  static constexpr unsigned SLOT1_SHIFT = 24;
  static constexpr std::uint8_t EMPTY = QArgs16::EMPTY;

  // Packing with no check.
  static constexpr Instr32 from_raw(std::uint32_t raw) noexcept { return Instr32{raw}; }
  static constexpr Instr32 pack(Gate16 gate, QArgs16 q) noexcept {
    return Instr32{std::uint32_t{gate.raw} | (std::uint32_t{q.slots[0]} << SLOT0_SHIFT) |
                   (std::uint32_t{q.slots[1]} << SLOT1_SHIFT)};
  }
  static constexpr Instr32 none(Gate16 gate) noexcept { return pack(gate, QArgs16::none()); }
  static constexpr Instr32 one(Gate16 gate, std::uint8_t a) noexcept {
    return pack(gate, QArgs16::one(a));
  }
  static constexpr Instr32 two(Gate16 gate, std::uint8_t a, std::uint8_t b) noexcept {
    return pack(gate, QArgs16::two(a, b));
  }

  // The checked constructor. In this order: the qubit count must equal the gate's arity
  // ("Number of qubit arguments does not match gate arity"), the qubits must be pairwise
  // different ("Qubit arguments must be unique"), no qubit may be 255, the empty-slot marker
  // ("Qubit index 255 is reserved for an empty slot"); a third qubit stops while packing with
  // the index-out-of-bounds message.
  static Instr32 create(Gate16 gate, std::span<const std::uint8_t> qubits);
  static Instr32 create(Gate16 gate, std::initializer_list<std::uint8_t> qubits) {
    return create(gate, std::span<const std::uint8_t>(qubits.begin(), qubits.size()));
  }

  // Calling a gate with qubit numbers: the count must equal the gate's arity ("Number of
  // arguments not match for gate {}", the gate's display text); repeated qubits are allowed;
  // 255 is refused as in create; a third qubit stops with the index-out-of-bounds message.
  static Instr32 from_gate_call(Gate16 gate, std::span<const std::uint8_t> qubits);

  constexpr Gate16 gate() const noexcept { return Gate16{static_cast<std::uint16_t>(raw)}; }
  constexpr std::uint8_t slot(unsigned i) const noexcept {
    return static_cast<std::uint8_t>(raw >> (SLOT0_SHIFT + 8 * i));
  }
  // The qubit slots as a value; iterate it for the present qubits in slot order.
  constexpr QArgs16 qargs() const noexcept { return QArgs16{{slot(0), slot(1)}}; }
  constexpr std::size_t nqubits() const noexcept { return qargs().len(); }

  // Same gate; each present qubit q becomes perm.at(q) (q above 7 stops with "assertion
  // failed: idx < 8"; q at or past the permutation's length maps to 0).
  constexpr Instr32 apply_permutation(Permut32 perm) const {
    const QArgs16 q = qargs();
    QArgs16 r = q;
    for (std::size_t i = 0, n = q.len(); i < n; ++i) r.slots[i] = perm.at(q.slots[i]);
    return pack(gate(), r);
  }
  constexpr Instr32 permut(Permut32 perm) const { return apply_permutation(perm); }

  // OR of 2^(q mod 8) over the present qubits.
  constexpr std::uint8_t arg_mask() const noexcept {
    unsigned m = 0;
    for (std::uint8_t q : qargs()) m |= 1u << (q % 8);
    return static_cast<std::uint8_t>(m);
  }

  // The mask holds the qubits already in use; a qubit not yet in use must be the lowest clear
  // bit of the mask (qubits first appear in the order 0, 1, 2, ...). Nothing when one is not.
  constexpr std::optional<std::uint8_t> pass_mask(std::uint8_t mask) const noexcept {
    unsigned m = mask;
    for (std::uint8_t q : qargs()) {
      if ((m >> (q % 8)) & 1) continue;
      if (q != static_cast<unsigned>(std::countr_one(m & 0xFFu))) return std::nullopt;
      m |= 1u << q;
    }
    return static_cast<std::uint8_t>(m);
  }

  // The largest present qubit; 0 without qubits.
  constexpr std::uint8_t largest_qubit() const noexcept {
    std::uint8_t m = 0;
    for (std::uint8_t q : qargs()) m = q > m ? q : m;
    return m;
  }

  constexpr bool disjoint(Instr32 other) const noexcept {
    return (arg_mask() & other.arg_mask()) == 0;
  }

  // The gate's adjoint (may register a new gate) on the same qubits.
  Instr32 adjoint() const { return pack(gate().adjoint(), qargs()); }

  // 0 when slot 0 holds the qubit, 1 when slot 1 does; an empty slot never matches.
  constexpr std::optional<std::size_t> position_of_qubit(std::uint8_t q) const noexcept {
    if (q == EMPTY) return std::nullopt;
    if (slot(0) == q) return 0;
    if (slot(1) == q) return 1;
    return std::nullopt;
  }

  // The order key: slot 0, slot 1 (the qubit bytes as one big-endian 16-bit number), then the
  // gate index.
  constexpr std::uint32_t order_key() const noexcept {
    return (std::uint32_t{slot(0)} << 24) | (std::uint32_t{slot(1)} << 16) | (raw & GATE_MASK);
  }

  // The gate (2 bytes), then the qubit slots (count 2 as 4 bytes, both bytes).
  void feed(ContentHasher& h) const noexcept {
    gate().feed(h);
    qargs().feed(h);
  }

  // Display (and debug) text: the gate's display text, then the present qubits in
  // parentheses, e.g. cx(0, 1), rz(pi/3)(0), or the gate followed by "()".
  std::string display() const;
  std::string debug() const { return display(); }

  // File form: the gate's display text as a length-prefixed string, then both slot bytes raw
  // (255 kept). Reading checks nothing but looks the gate up by its text ("Failed to
  // deserialize Gate16 from {}" when no row has it).
  void write_postcard(PostcardWriter& w) const;
  static Instr32 read_postcard(PostcardReader& r);

  friend constexpr bool operator==(Instr32 a, Instr32 b) noexcept { return a.raw == b.raw; }
  friend constexpr std::strong_ordering operator<=>(Instr32 a, Instr32 b) noexcept {
    return a.order_key() <=> b.order_key();
  }
};

static_assert(sizeof(Instr32) == 4);
static_assert(std::is_trivially_copyable_v<Instr32>);

// Writes a gate's display text (base name, then the parameters in parentheses when there are
// any) under the registry's read lock, without building a string.
fmt::format_context::iterator write_gate_display(Gate16 gate, fmt::format_context::iterator out);

}  // namespace marrowfen

// Display and debug text of an instruction; format options are accepted and ignored.
template <>
struct fmt::formatter<marrowfen::Instr32> : marrowfen::IgnoreFormatOptions {
  fmt::format_context::iterator format(marrowfen::Instr32 in, fmt::format_context& ctx) const;
};
