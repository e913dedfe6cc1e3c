// Cutting an identity into blocks: the table of candidate selections `COMBINATIONS`, the
// selection type `IdentitySubcircuit` with its connectivity and convexity tests, `split`,
// which gathers the selected instructions into one block S and returns S with the remainder
// R, and `par_subcircuit_splits`, which produces every cut of an identity in table order on
// the thread pool.
//
// For every pair (S, R) that `split` returns, S followed by R acts as the identity up to
// global phase: S holds exactly the selected instructions (with the identity permutation on
// the identity's qubit count), R the others with the identity's own permutation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "identity/circuit.hpp"
#include "identity/idcircuit.hpp"

namespace marrowfen {

// Identities are cut only while they have fewer instructions than this.
inline constexpr std::size_t COMBINATIONS_LEN = 20;

// Entry L of COMBINATIONS: the selections for an identity of L instructions, each an ascending
// list of instruction indices. A view into the process-wide table.
class CombinationEntry {
 public:
  std::size_t size() const noexcept { return count_; }
  std::span<const std::uint8_t> operator[](std::size_t i) const noexcept {
    return {data_ + offsets_[i], data_ + offsets_[i + 1]};
  }

 private:
  friend struct Combinations;
  const std::uint8_t* data_ = nullptr;
  const std::uint32_t* offsets_ = nullptr;  // size() + 1 offsets into data_
  std::size_t count_ = 0;
};

// COMBINATIONS[L] for L = 0 .. 19: for k = 0 .. L/2 + 1, every k-element subset of
// {0, .., L-1} in lexicographic order (742,141 selections in all). The 20 entries are built
// together on first use, once, whichever thread comes first (the others wait), into one flat
// buffer of indices with one offset per selection, and kept until the process ends.
struct Combinations {
  static constexpr std::size_t size() noexcept { return COMBINATIONS_LEN; }
  // L of 20 or more stops with "index out of bounds: the len is 20 but the index is {}".
  CombinationEntry operator[](std::size_t len) const;
  // Selections over all entries.
  std::size_t total() const;
};
inline constexpr Combinations COMBINATIONS{};

// A wire where a selection meets the rest of the identity.
struct Port {
  std::uint8_t qubit;       // the qubit of the selected instruction's argument
  std::uint32_t instr_id;   // index of the selected instruction
  std::uint32_t qargs_idx;  // which argument of that instruction (0 or 1)

  friend bool operator==(const Port&, const Port&) = default;
};

// A selection of instructions inside one identity, which it borrows for its lifetime.
struct IdentitySubcircuit {
  const IdentityCirc& circuit;
  std::vector<bool> gates;  // entry i: instruction i is selected; one per instruction

  // Linked by wires that run directly from one selected instruction to another (cyclically).
  // The empty selection is connected.
  bool is_connected() const;
  // Wires entering (leaving) the selection, by selected index ascending and argument order;
  // a wire that returns to the same instruction within one cycle counts as a boundary.
  std::vector<Port> inputs() const;
  std::vector<Port> outputs() const;
  // The input qubits pairwise distinct, and the output qubits pairwise distinct.
  bool is_convex() const;
  // Gathers the selection into one block: (S, R), or nothing when nothing is selected or the
  // selection cannot be freed.
  std::optional<std::pair<Circ, Circ>> split() const;

  // Every cut of the identity, in table order (selection size ascending, then lexicographic)
  // whatever the timing, computed on the thread pool. 20 or more instructions stop the call
  // with the index message.
  static std::vector<std::pair<Circ, Circ>> par_subcircuit_splits(const IdentityCirc& id);
};

}  // namespace marrowfen
