// Cutting an identity into blocks: the table of candidate selections `COMBINATIONS`, the
// selection type `IdentitySubcircuit` with its connectivity and convexity tests, `split`,
// which gathers the selected instructions into one block S and returns S with the remainder
// R, and `par_subcircuit_splits`, which produces every cut of an identity in table order (on
// the calling thread, but for an identity that the cutter cannot take on bit masks, whose
// selections are tried in chunks on the thread pool).
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

  // Every cut of the identity, in table order (selection size ascending, then lexicographic).
  // 20 or more instructions stop the call with the index message. Only the selections that can
  // be connected are looked at (IdentityCuts).
  static std::vector<std::pair<Circ, Circ>> par_subcircuit_splits(const IdentityCirc& id);
  // The same, trying every selection of the table entry (in chunks on the pool): the plain
  // path that par_subcircuit_splits must match.
  static std::vector<std::pair<Circ, Circ>> table_subcircuit_splits(const IdentityCirc& id);
};

// The two pieces of one cut in fixed arrays, in application order: the block S (whose
// permutation is the identity on the identity's qubit count) and the rest R (whose
// permutation is the identity's).
struct CutParts {
  Instr32 block[COMBINATIONS_LEN];
  Instr32 rest[COMBINATIONS_LEN];
  std::uint32_t block_len = 0;
  std::uint32_t rest_len = 0;
};

// The tests and the split of selections of one identity, on bit masks (bit i: instruction i)
// and fixed arrays: the results of the IdentitySubcircuit methods without allocating. Made
// only for identities of fewer than 20 instructions (else the index message). For an identity
// whose qubits or permutation are out of shape (read from a file, say) it is not `fast()`,
// and then only `cut` may be used, which runs the IdentitySubcircuit methods.
class IdentityCutter {
 public:
  using Mask = std::uint32_t;
  static constexpr std::uint32_t MAX_LEN = COMBINATIONS_LEN - 1;

  // Asks every neighbour list up front, so a malformed wire stops the call with the message
  // that the first failing selection of the table would give.
  explicit IdentityCutter(const IdentityCirc& id);

  bool fast() const noexcept { return fast_; }
  const IdentityCirc& identity() const noexcept { return id_; }

  // split() of a table selection when it is connected and convex (any identity).
  std::optional<std::pair<Circ, Circ>> cut(std::span<const std::uint8_t> selection) const;

  // Fast identities only: the selections of at most L/2 + 1 instructions that are connected
  // and convex, as sort keys in table order (`IdentityCuts` reads them).
  void candidates(std::vector<std::uint64_t>& keys) const;
  // Fast identities only: gathers a selection into `out`; false when it cannot be freed.
  bool split(Mask sel, CutParts& out) const;

  // The pieces as circuits.
  Circ block_circ(const CutParts& p) const;
  Circ rest_circ(const CutParts& p) const;

 private:
  bool neighbour_lists() noexcept;
  bool connected(Mask sel) const noexcept;
  bool convex(Mask sel) const noexcept;
  bool distinct_boundary(Mask sel, const std::uint8_t (&nb)[MAX_LEN][2]) const noexcept;
  // Circ::rotate by r (0 <= r <= n): src[r..n) unchanged, then src[0..r) carried back across
  // the permutation.
  void rotate_left(Instr32* dst, const Instr32* src, std::uint32_t n,
                   std::uint32_t r) const noexcept;
  // Circ::rotate by -m: src[n-m..n) carried forward across the permutation, then src[0..n-m).
  void rotate_right(Instr32* dst, const Instr32* src, std::uint32_t n,
                    std::uint32_t m) const noexcept;

  const IdentityCirc& id_;
  std::uint32_t len_;
  bool fast_ = false;
  bool symmetric_ = true;  // j is a neighbour of i exactly when i is one of j
  Permut32 perm_, perm_inv_;
  Instr32 instr_[MAX_LEN] = {};
  std::uint8_t nargs_[MAX_LEN] = {};
  std::uint8_t qubit_[MAX_LEN][2] = {};
  std::uint8_t fwd_[MAX_LEN][2] = {};  // qargs_forward per argument
  std::uint8_t bwd_[MAX_LEN][2] = {};  // qargs_backward per argument
  Mask neighbours_[MAX_LEN] = {};      // both lists of each instruction as one mask
};

// The cuts of one identity in table order, for a rewrite round: the candidate selections
// (connected and convex) are found when it is made; `get(i)` gathers candidate i, which may
// still fail to split. The candidates of a fast identity live in the caller's `scratch`, so a
// round that keeps its scratch allocates nothing here; any other identity is cut through the
// whole table at once.
class IdentityCuts {
 public:
  IdentityCuts(const IdentityCirc& id, std::vector<std::uint64_t>& scratch);

  std::size_t size() const noexcept;
  bool get(std::size_t i, CutParts& out) const;
  const IdentityCutter& cutter() const noexcept { return cutter_; }

 private:
  IdentityCutter cutter_;
  std::vector<std::uint64_t>& keys_;
  std::vector<std::pair<Circ, Circ>> pairs_;
};

}  // namespace marrowfen
