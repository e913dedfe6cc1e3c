// The identity prover: a rule base made from equivalence classes, the set of identities
// accepted so far, and the identities accepted without derivation (assumptions).
//
// Its one primitive step is the rewrite round: an identity is read as a cyclic sequence of
// instructions, every connected convex block of it is replaced by every circuit known to be
// equivalent to that block, and each result is brought into canonical identity form. The
// bounded identity searches, prover building and proof tracking are all made of such rounds.
//
// `proved` and `circ_map` compare keys exactly (instructions and raw permutation word) and
// hash them under a random key chosen when the container is made, so their iteration order
// differs from run to run and from container to container. Nothing is canonicalised on
// insertion or lookup.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>
#include <boost/unordered/unordered_flat_set.hpp>

#include "core/content_hash.hpp"
#include "identity/circuit.hpp"
#include "identity/idcircuit.hpp"

namespace marrowfen {

struct ECCs;  // search/ecc.hpp

// A fresh random 64-bit key for one container: a per-process seed drawn once from the
// operating system, advanced by a counter for every key handed out.
std::uint64_t next_container_key() noexcept;

// The fields that the content hash of a circuit feeds (the instruction count, every
// instruction, the permutation), folded by a multiply-rotate hash: far cheaper than the
// content hash, and as good once keyed and mixed below, which is all a container needs.
inline std::uint64_t field_hash(std::span<const Instr32> instrs, Permut32 perm) noexcept {
  constexpr std::uint64_t k = 0x9E37'79B9'7F4A'7C15ull;
  std::uint64_t h = instrs.size() * k;
  for (const Instr32 in : instrs) h = ((h << 5 | h >> 59) ^ in.raw) * k;
  return ((h << 5 | h >> 59) ^ perm.raw) * k;
}

// Hashes a value's fields and mixes the 64-bit result with a key drawn when the hasher is
// made. Copies share the key, so a copied container keeps its layout.
struct RandomKeyedHash {
  using is_avalanching = std::true_type;

  std::uint64_t key;

  RandomKeyedHash() noexcept : key(next_container_key()) {}
  explicit RandomKeyedHash(std::uint64_t k) noexcept : key(k) {}

  static std::uint64_t mix(std::uint64_t h, std::uint64_t k) noexcept {
    // splitmix64's finaliser over the keyed value: a bijection, so distinct field hashes
    // stay distinct, and the key reorders everything.
    std::uint64_t z = h ^ k;
    z += 0x9E37'79B9'7F4A'7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58'476D'1CE4'E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D0'49BB'1331'11EBull;
    return z ^ (z >> 31);
  }

  std::size_t operator()(const Circ& c) const noexcept {
    return static_cast<std::size_t>(mix(field_hash(c.instrs, c.perm), key));
  }
  std::size_t operator()(const IdentityCirc& c) const noexcept { return (*this)(c.circ); }
};

// A circuit held elsewhere (its instructions and permutation) whose field hash is known
// already: looked up in the rule base without building a Circ or hashing it again.
struct HashedCirc {
  std::span<const Instr32> instrs;
  Permut32 perm;
  std::uint64_t hash;  // field_hash(instrs, perm)
};

struct CircMapHash : RandomKeyedHash {
  using is_transparent = void;
  using RandomKeyedHash::operator();
  std::size_t operator()(const HashedCirc& v) const noexcept {
    return static_cast<std::size_t>(mix(v.hash, key));
  }
};

struct CircMapEqual {
  using is_transparent = void;
  static bool same(const HashedCirc& a, const Circ& b) noexcept {
    return a.perm == b.perm && std::equal(a.instrs.begin(), a.instrs.end(), b.instrs.begin(),
                                          b.instrs.end());
  }
  bool operator()(const Circ& a, const Circ& b) const noexcept { return a == b; }
  bool operator()(const HashedCirc& a, const Circ& b) const noexcept { return same(a, b); }
  bool operator()(const Circ& a, const HashedCirc& b) const noexcept { return same(b, a); }
};

// A set of identities (accepted identities, the visited sets of the searches).
using IdentitySet = boost::unordered_flat_set<IdentityCirc, RandomKeyedHash>;

// The rule identity of one rule, built on first use and kept. Safe for concurrent first use:
// one caller builds while the others wait for it; once built, a read is one acquire load. The
// build must not wait on the pool (canonical forms and identity checks run on the calling
// thread), so a waiting worker never holds up the build it waits for. A build that fails
// leaves the slot empty, so the next caller builds again (and fails the same way).
class RuleSlot {
 public:
  RuleSlot() noexcept = default;
  RuleSlot(const RuleSlot&) = delete;
  RuleSlot& operator=(const RuleSlot&) = delete;

  // The cached identity, building it with `build()` first if no one has.
  template <class Build>
  const IdentityCirc& get(Build&& build) const;

  bool ready() const noexcept { return state_.load(std::memory_order_acquire) == READY; }
  // Forgets the identity (not thread-safe: only while no one else uses the slot).
  void reset() noexcept { state_.store(EMPTY, std::memory_order_relaxed); }

 private:
  enum : std::uint32_t { EMPTY, BUILDING, READY };
  mutable std::atomic<std::uint32_t> state_{EMPTY};
  mutable IdentityCirc value_;  // written once by the builder, before READY is published
};

// The circuits filed under one key of the rule base, in their order, with one RuleSlot per
// circuit caching its rule identity: the canonical identity of the circuit followed by the
// inverse of the key. The cache belongs to the key the list is filed under, so a list that is
// copied or moved on its own starts with an empty cache (moving the whole map keeps it). The
// circuits cannot be changed in place: file a new list instead.
class RuleList {
 public:
  using value_type = Circ;
  using const_iterator = std::vector<Circ>::const_iterator;
  using iterator = const_iterator;

  RuleList() noexcept = default;
  // Implicit: a plain list of circuits is filed as it is.
  RuleList(std::vector<Circ> circuits);  // NOLINT(google-explicit-constructor)
  RuleList(const RuleList& other) : RuleList(other.circuits_) {}
  RuleList(RuleList&& other) noexcept;
  RuleList& operator=(const RuleList& other);
  RuleList& operator=(RuleList&& other) noexcept;
  ~RuleList() = default;

  const std::vector<Circ>& circuits() const noexcept { return circuits_; }
  std::size_t size() const noexcept { return circuits_.size(); }
  bool empty() const noexcept { return circuits_.empty(); }
  const_iterator begin() const noexcept { return circuits_.begin(); }
  const_iterator end() const noexcept { return circuits_.end(); }
  const Circ& operator[](std::size_t j) const noexcept { return circuits_[j]; }

  // The rule identity of circuit j under `key` (the key this list is filed under), built on
  // the first call and reused by every later one, from any thread.
  const IdentityCirc& rule_identity(const Circ& key, std::size_t j) const;
  // Whether circuit j's rule identity is built already.
  bool cached(std::size_t j) const noexcept { return slots_[j].ready(); }

  // Compares the circuits only.
  friend bool operator==(const RuleList& a, const RuleList& b) noexcept {
    return a.circuits_ == b.circuits_;
  }
  friend bool operator==(const RuleList& a, const std::vector<Circ>& b) noexcept {
    return a.circuits_ == b;
  }

 private:
  void reset_cache() noexcept;

  std::vector<Circ> circuits_;
  std::unique_ptr<RuleSlot[]> slots_;  // circuits_.size() slots
};

// The rule base: canonical representative -> the circuits of its class, in its labelling.
using CircMap = boost::unordered_flat_map<Circ, RuleList, CircMapHash, CircMapEqual>;

class IdentityProver {
 public:
  // Identities kept as assumptions, in the order they were added; only ever appended to.
  std::vector<IdentityCirc> assume;
  // Every identity accepted so far: the assumptions and everything a search visited while an
  // identity was added.
  IdentitySet proved;
  // Key: a canonical representative (as representative_with_perm gives it); value: the
  // circuits of the same class, each written in the key's qubit labelling. A rule (k, c) is
  // usable while the canonical identity of c followed by inverse(k) is in `proved`; each list
  // caches those rule identities, so a round builds a rule identity only the first time any
  // round meets the rule. Only the circuits are content: the caches are neither compared nor
  // written to the prover file, and a loaded prover starts with them empty.
  CircMap circ_map;

  // ---- rewrite rounds ------------------------------------------------------------------------

  // One rewrite round of `identity` using only the rules whose rule identity is in `proved`:
  // for every cut (S, R), in cut order, and every circuit c listed under S's representative
  // that is at most `additional_size` longer than it, the canonical identity of c followed by
  // R (relabelled like S). Duplicates are kept. 20 or more instructions stop the call with the
  // index message of the cut table.
  //
  // The cuts of a round run on the pool in tasks of a few cuts once there are `spread_from`
  // of them: by default as soon as there is more than one task's worth; a round computed
  // beside others on the pool asks for SPREAD_SELDOM.
  static constexpr std::size_t SPREAD_OFTEN = 32;
  static constexpr std::size_t SPREAD_SELDOM = 1024;
  std::vector<IdentityCirc> par_apply_rules(const IdentityCirc& identity,
                                            std::uint32_t additional_size,
                                            std::size_t spread_from = SPREAD_OFTEN) const;

  // The same round using every rule, each result paired with its rule identity:
  // (rewritten identity, rule identity).
  std::vector<std::pair<IdentityCirc, IdentityCirc>> par_transition_pairs(
      const IdentityCirc& identity, std::uint32_t additional_size) const;

  // ---- identity searches ---------------------------------------------------------------------

  // Inserts one identity, deriving it when possible. False at once (and nothing changes) for
  // an identity without instructions or already in `proved`; otherwise runs
  // add_identity_search, puts everything it visited into `proved` and returns its flag: true
  // when an identity was kept as an assumption.
  bool add_identity(IdentityCirc identity, std::uint32_t additional_size,
                    std::uint32_t count_limit);

  // The bounded search behind add_identity: (visited, assumed). Gives up (pushing the start
  // onto `assume`) when more than `count_limit` identities were queued or nothing is left;
  // a shorter identity reached is handed to add_identity. Does not insert `visited` into
  // `proved` itself.
  std::pair<IdentitySet, bool> add_identity_search(IdentityCirc identity,
                                                   std::uint32_t additional_size,
                                                   std::uint32_t count_limit);

  // Read-only search: (none, visited) when derivable; (the identity found not derivable,
  // visited) when the search ran out or `visited` exceeded `count_limit` identities. The
  // identity without instructions is derivable at once: (none, {it}).
  std::pair<std::optional<IdentityCirc>, IdentitySet> prove_identity_with_visited(
      IdentityCirc identity, std::uint32_t additional_size, std::uint32_t count_limit) const;

  // prove_identity_with_visited without the visited set.
  std::optional<IdentityCirc> prove_identity(IdentityCirc identity, std::uint32_t additional_size,
                                             std::uint32_t count_limit) const;

  // ---- building ------------------------------------------------------------------------------

  // Fills the rule base from every member of every class, then adds the candidate identities
  // (one per member but the first of each class) shortest first with add_identity
  // (additional_size 3, count_limit 50000000). Writes "Building identity prover from {} ECCs"
  // and "Proving Identities" to standard error, each followed by a progress bar.
  static IdentityProver build(ECCs eccs);

  // A copy of `assume`, in order.
  std::vector<IdentityCirc> get_assumed() const;
};

template <class Build>
const IdentityCirc& RuleSlot::get(Build&& build) const {
  std::uint32_t s = state_.load(std::memory_order_acquire);
  for (;;) {
    if (s == READY) return value_;
    if (s == EMPTY) {
      if (!state_.compare_exchange_weak(s, BUILDING, std::memory_order_acquire,
                                        std::memory_order_acquire))
        continue;  // `s` holds the state met instead
      try {
        value_ = build();
      } catch (...) {
        state_.store(EMPTY, std::memory_order_release);
        state_.notify_all();
        throw;
      }
      state_.store(READY, std::memory_order_release);
      state_.notify_all();
      return value_;
    }
    state_.wait(BUILDING, std::memory_order_acquire);
    s = state_.load(std::memory_order_acquire);
  }
}

}  // namespace marrowfen
