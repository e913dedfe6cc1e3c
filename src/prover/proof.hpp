// Proof tracking and proof export.
//
// A proof is a list of identities in which every identity is either an assumption of the
// prover, the identity without instructions (trivially true), or follows from two entries of
// the list: a rewritten identity and the rule identity that rewrote it. `export_proof` finds
// one with a best-first search over rewrite transitions (`par_transition_pairs`) that keeps a
// resolution state for every identity met: an identity is resolved as soon as both
// identities of one of its transitions are, and resolution spreads to every identity waiting
// on it. The resolved derivation of the start is then numbered depth first, the start being
// entry 0.
//
// Nodes are addressed by the 64-bit content hash of their identity and refer to each other by
// these hashes only; the identities themselves live once, in the tracker's table.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>
#include <boost/unordered/unordered_flat_set.hpp>
#include <fmt/format.h>

#include "identity/idcircuit.hpp"
#include "prover/prover.hpp"
#include "utils/fmt_display.hpp"
#include "utils/hash_table64.hpp"

namespace marrowfen {

// How one entry of a proof is justified: none = an assumption; (lhs, rhs) = it follows from
// the entries at those indices.
using ProofDependency = std::optional<std::pair<std::uint32_t, std::uint32_t>>;
using ProofEntry = std::pair<IdentityCirc, ProofDependency>;

// A plain list of entries; nothing checks that it is a valid derivation. Equality is entry by
// entry; the order is lexicographic over the entries (a proper prefix first), each entry by
// its identity in the circuit order, then by its dependency (none before any pair).
struct Proof {
  std::vector<ProofEntry> entries;

  // One line per entry: "{i}: {identity} <- {lhs}, {rhs}" or "{i}: {identity} <- ASSUME",
  // each ended by a line feed; the empty text for an empty proof.
  std::string display() const;

  friend bool operator==(const Proof&, const Proof&) = default;
  friend std::strong_ordering operator<=>(const Proof&, const Proof&) = default;
};

// Resolved: none = an assumption; (h1, h2) = derived from the nodes with those hashes.
struct ProofResult {
  std::optional<std::pair<std::uint64_t, std::uint64_t>> deps;
};

// Not resolved yet. `expanded`: its transitions were enumerated. Each `notify` entry
// (other, dependent): once this node resolves, `dependent` may resolve together with `other`.
struct ProofWaiting {
  bool expanded = false;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> notify;
};

// The resolution state of one node: a Result or Waiting.
class ProofFuture {
 public:
  using Result = ProofResult;
  using Waiting = ProofWaiting;

  // Waiting, not expanded, nothing to notify.
  ProofFuture() = default;
  static ProofFuture result(std::optional<std::pair<std::uint64_t, std::uint64_t>> deps) {
    ProofFuture f;
    f.state_ = Result{deps};
    return f;
  }

  bool is_waiting() const noexcept { return std::holds_alternative<Waiting>(state_); }
  Waiting* waiting() noexcept { return std::get_if<Waiting>(&state_); }
  const Waiting* waiting() const noexcept { return std::get_if<Waiting>(&state_); }
  const Result* result() const noexcept { return std::get_if<Result>(&state_); }

  // "Result(None)", "Result(Some((1, 2)))", "Waiting { expanded: false, notify: [(1, 2)] }".
  std::string debug() const;

 private:
  std::variant<Waiting, Result> state_;
};

class ProofTracker {
 public:
  using Table = HashTable64<IdentityCirc, ProofFuture>;
  using Pair = std::pair<std::uint64_t, std::uint64_t>;

  // An empty tracker; it serves one export.
  ProofTracker() = default;

  // Searches for a resolution of `identity` over the rewrite transitions of `prover`, using
  // only identities in the prover's accepted set or in `filter_set`. Writes "Exploring {:x} {}
  // {} ({} queued)" to standard output before the 1st, 51st, 101st, ... node worked on, and
  // "Proof search exceeded limit of {} states." when the table outgrows `count_limit`. True
  // when the start was resolved. Assumptions and the identity without instructions are
  // resolved without premises, as the start and as premises of a transition.
  bool prove(const IdentityCirc& identity, const IdentityProver& prover,
             std::uint32_t additional_size, std::uint32_t count_limit,
             const IdentitySet& filter_set);

  // Whether a chain of waiting dependents still leads from node `key` to node `initial`.
  bool prune(std::uint64_t key, std::uint64_t initial) const;
  // The walk behind prune; `seen` collects the dependents met.
  bool check_reach(std::uint64_t key, std::uint64_t initial,
                   boost::unordered_flat_set<std::uint64_t, IdentityHash>& seen) const;

  // Registers `pair` with the node of `identity` (stored with the default state when new).
  // True when the caller must queue the identity: the node is waiting and not yet expanded.
  bool wait(IdentityCirc identity, Pair pair);
  // The same with the identity's hash already at hand.
  bool wait(std::uint64_t hash, IdentityCirc identity, Pair pair);
  // Resolves node id2 from id0 and id1 when both are resolved and id2 is waiting, then every
  // node waiting on id2 in turn. True when id2 was resolved by this call.
  bool notify(std::uint64_t id0, std::uint64_t id1, std::uint64_t id2);

  // The resolved derivation of node `key`, numbered in depth-first pre-order from it (the
  // trailing underscore because `export` is a keyword).
  Proof export_(std::uint64_t key) const;
  // Numbers node `key` and, depth first, its premises (left before right) not numbered yet.
  void export_inner(std::uint64_t key,
                    boost::unordered_flat_map<std::uint64_t, std::uint32_t, IdentityHash>& map) const;

  // How many popped nodes the last `prove` worked on (the count behind its progress lines).
  std::size_t worked_on() const noexcept { return worked_on_; }

  const Table& table() const noexcept { return table_; }
  Table& table() noexcept { return table_; }

 private:
  struct Search;
  void expand(std::uint64_t key, Search& search);

  Table table_;
  std::size_t worked_on_ = 0;
};

// A proof of `identity` when prove_identity_with_visited finds it derivable within the
// limits, else none. Stops with "Failed to export proof for proved identity" when the tracker
// cannot resolve what the search found derivable.
std::optional<Proof> export_proof(const IdentityProver& prover, IdentityCirc identity,
                                  std::uint32_t additional_size, std::uint32_t count_limit);

}  // namespace marrowfen

template <>
inline constexpr bool marrowfen::formats_by_display<marrowfen::Proof> = true;
