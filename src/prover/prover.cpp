// The rewrite round and the random container keys.
//
// A round cuts the identity into every connected convex block (in cut-table order) and
// rewrites the cuts in that order on the calling thread's buffers; a round of many cuts runs
// them on the pool in slots joined in cut order, so the result is exactly what a sequential
// loop gives whatever the number of workers, and a failure is the one that loop would have met
// first. Rule identities come from the cache of the rule lists (RuleList): each is built the
// first time any round needs it and shared from then on.
#include "prover/prover.hpp"

#include <array>
#include <atomic>
#include <cstddef>
#include <exception>
#include <limits>
#include <memory>
#include <utility>
#include <vector>

#include <tbb/task_arena.h>

#include "core/rng.hpp"
#include "core/thread_pool.hpp"
#include "identity/canonical.hpp"
#include "identity/cutting.hpp"

namespace marrowfen {

std::uint64_t next_container_key() noexcept {
  static const std::uint64_t seed = [] {
    try {
      return ChaCha12::from_os().next_u64();
    } catch (...) {
      // No entropy: any key serves (no result depends on it), the address at least varies.
      return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(&seed));
    }
  }();
  static std::atomic<std::uint64_t> counter{0};
  const std::uint64_t n = counter.fetch_add(1, std::memory_order_relaxed);
  return RandomKeyedHash::mix(n, seed);
}

// ---- rule lists ----------------------------------------------------------------------------------

RuleList::RuleList(std::vector<Circ> circuits)
    : circuits_(std::move(circuits)),
      slots_(circuits_.empty() ? nullptr : std::make_unique<RuleSlot[]>(circuits_.size())) {}

RuleList::RuleList(RuleList&& other) noexcept
    : circuits_(std::move(other.circuits_)), slots_(std::move(other.slots_)) {
  reset_cache();
}

RuleList& RuleList::operator=(const RuleList& other) {
  if (this != &other) *this = RuleList(other);
  return *this;
}

RuleList& RuleList::operator=(RuleList&& other) noexcept {
  if (this != &other) {
    circuits_ = std::move(other.circuits_);
    slots_ = std::move(other.slots_);
    other.circuits_.clear();
    reset_cache();
  }
  return *this;
}

void RuleList::reset_cache() noexcept {
  for (std::size_t j = 0; j < circuits_.size(); ++j) slots_[j].reset();
}

const IdentityCirc& RuleList::rule_identity(const Circ& key, std::size_t j) const {
  return slots_[j].get([&] { return (circuits_[j] + key.inverse()).rotate_representative(); });
}

namespace {

// The representative of a block (representative_with_perm of the block with the identity
// permutation on the identity's qubit count), with its relabelling and its field hash,
// remembered for the whole process: the same blocks come back round after round, and the
// representative depends on the block alone. One fixed table of slots shared by every thread,
// each slot holding the last block that hashed to it, made on first use and never grown.
//
// A slot is a sequence lock over plain words: its writer makes the version odd, writes, and
// makes it even again; a reader takes a copy and keeps it only when the version was the same
// even number before and after. Words are atomics, so nothing races; a reader that meets a
// slot being written, or another block, computes the representative itself (and offers it to
// the slot unless another writer holds it).
class RepresentativeMemo {
 public:
  // Blocks, and so their representatives, hold at most 10 instructions (half of 19, plus one).
  static constexpr std::uint32_t MAX_BLOCK = COMBINATIONS_LEN / 2 + 1;
  using Key = std::array<std::uint32_t, MAX_BLOCK + 1>;  // length and qubit count, then the block

  struct Entry {
    Key key;
    std::array<Instr32, MAX_BLOCK> rep;
    std::uint32_t rep_len;
    Permut32 rep_perm;
    Permut32 relabel;
    std::uint64_t hash;  // field_hash of the representative

    HashedCirc representative() const noexcept {
      return HashedCirc{std::span<const Instr32>(rep.data(), rep_len), rep_perm, hash};
    }
  };

  // The entry of the block, in this memo's own buffer (valid until the next call).
  const Entry& get(const Instr32* block, std::uint32_t len, std::uint8_t nqubits, Circ& scratch,
                   Circ& rep) {
    Key key{};
    key[0] = len | (std::uint32_t{nqubits} << 8);
    for (std::uint32_t i = 0; i < len; ++i) key[1 + i] = block[i].raw;
    std::uint64_t h = 0;
    for (std::uint32_t w : key) h = (h ^ w) * 0x9E37'79B9'7F4A'7C15ull;
    Slot& slot = table()[(h >> 40) & (SLOTS - 1)];
    if (slot.read(key, e_)) return e_;
    scratch.instrs.assign(block, block + len);
    scratch.perm = Permut32::identity(nqubits);
    const Permut32 relabel = representative_with_perm_into(scratch, rep);
    e_.key = key;
    std::copy(rep.instrs.begin(), rep.instrs.end(), e_.rep.begin());
    e_.rep_len = static_cast<std::uint32_t>(rep.instrs.size());
    e_.rep_perm = rep.perm;
    e_.relabel = relabel;
    e_.hash = field_hash(rep.instrs, rep.perm);
    slot.write(e_);
    return e_;
  }

 private:
  static constexpr std::size_t SLOTS = std::size_t{1} << 17;
  static constexpr std::size_t WORDS = 2 * MAX_BLOCK + 6;  // key, rep, len, perms, hash (2)

  struct alignas(64) Slot {
    std::atomic<std::uint32_t> version{0};
    std::array<std::atomic<std::uint32_t>, WORDS> words{};  // all zero: no block has length 0

    static void pack(const Entry& e, std::array<std::uint32_t, WORDS>& w) noexcept {
      std::copy(e.key.begin(), e.key.end(), w.begin());
      for (std::uint32_t i = 0; i < MAX_BLOCK; ++i) w[MAX_BLOCK + 1 + i] = e.rep[i].raw;
      w[2 * MAX_BLOCK + 1] = e.rep_len;
      w[2 * MAX_BLOCK + 2] = e.rep_perm.raw;
      w[2 * MAX_BLOCK + 3] = e.relabel.raw;
      w[2 * MAX_BLOCK + 4] = static_cast<std::uint32_t>(e.hash);
      w[2 * MAX_BLOCK + 5] = static_cast<std::uint32_t>(e.hash >> 32);
    }

    bool read(const Key& key, Entry& out) const noexcept {
      const std::uint32_t v = version.load(std::memory_order_acquire);
      if (v & 1) return false;
      std::array<std::uint32_t, WORDS> w;
      for (std::size_t i = 0; i < WORDS; ++i) w[i] = words[i].load(std::memory_order_relaxed);
      std::atomic_thread_fence(std::memory_order_acquire);
      if (version.load(std::memory_order_relaxed) != v) return false;
      if (!std::equal(key.begin(), key.end(), w.begin())) return false;
      out.key = key;
      for (std::uint32_t i = 0; i < MAX_BLOCK; ++i)
        out.rep[i] = Instr32::from_raw(w[MAX_BLOCK + 1 + i]);
      out.rep_len = w[2 * MAX_BLOCK + 1];
      out.rep_perm = Permut32::from_raw(w[2 * MAX_BLOCK + 2]);
      out.relabel = Permut32::from_raw(w[2 * MAX_BLOCK + 3]);
      out.hash = w[2 * MAX_BLOCK + 4] | (std::uint64_t{w[2 * MAX_BLOCK + 5]} << 32);
      return true;
    }

    void write(const Entry& e) noexcept {
      std::uint32_t v = version.load(std::memory_order_relaxed);
      if ((v & 1) || !version.compare_exchange_strong(v, v + 1, std::memory_order_acquire))
        return;  // another writer holds the slot
      std::atomic_thread_fence(std::memory_order_release);
      std::array<std::uint32_t, WORDS> w;
      pack(e, w);
      for (std::size_t i = 0; i < WORDS; ++i) words[i].store(w[i], std::memory_order_relaxed);
      version.store(v + 2, std::memory_order_release);
    }
  };

  static Slot* table() {
    static Slot* const slots = new Slot[SLOTS];  // kept for the life of the process
    return slots;
  }

  Entry e_{};
};

// Buffers of the rewrite round, one set per thread, kept from one round to the next so that a
// round allocates only the identities it returns. A round that runs its cuts on the pool keeps
// its cut list apart (a thread waiting for the pool may run another round meanwhile); the
// buffers of one cut are held only while that cut runs, which never waits for the pool.
struct CutScratch {
  CutParts parts;
  Circ block, rep, rest, rest_relabelled, joined;
  RepresentativeMemo representatives;
};

struct RoundScratch {
  std::vector<std::uint64_t> keys;
  CutScratch cut;
};

RoundScratch& round_scratch() {
  thread_local RoundScratch s;
  return s;
}



// The round inverts the representative of every block before it looks the block up, and
// inverting takes the adjoint of every gate of the block, which registers that adjoint when it
// is new. Every instruction is a block of its own, and these blocks come first, in instruction
// order, so the round's new adjoints are registered once, in that order, as soon as the round
// has its first cut (a gate's adjoint is cached on its row, so this costs one load per
// instruction once registered). Rules only ever invert the representative again, whose
// adjoints are in place by then.
void register_adjoints(const IdentityCirc& identity) {
  for (const Instr32 in : identity.circ.instrs) (void)in.gate().adjoint();
}

// The rewrites of the cut held in s.parts.
template <bool WithRules, class Item>
void rewrite_parts(const IdentityProver& prover, const IdentityCirc& identity,
                   std::uint32_t additional_size, CutScratch& s, std::vector<Item>& out) {
  // The representative is looked up before the rest is built: most blocks have no key.
  const RepresentativeMemo::Entry& rep = s.representatives.get(
      s.parts.block, s.parts.block_len, identity.nqubits(), s.block, s.rep);
  const Permut32 relabel = rep.relabel;
  const auto found = prover.circ_map.find(rep.representative());
  if (found == prover.circ_map.end()) return;
  // The key equals rep; its list caches the rule identities (c followed by inverse(rep)).
  const Circ& key = found->first;
  const RuleList& list = found->second;

  // Length test first: no canonical form is built for a rule that is too long. The bound is
  // the 32-bit sum and wraps like one.
  const auto bound = static_cast<std::uint32_t>(rep.rep_len + additional_size);
  std::size_t first = 0;
  while (first < list.size() && list[first].len() > bound) ++first;
  if (first == list.size()) return;

  s.rest.instrs.assign(s.parts.rest, s.parts.rest + s.parts.rest_len);
  s.rest.perm = identity.circ.perm;
  permut_into(s.rest, relabel, s.rest_relabelled);
  for (std::size_t j = first; j < list.size(); ++j) {
    const Circ& c = list[j];
    if (c.len() > bound) continue;
    const IdentityCirc& rule = list.rule_identity(key, j);
    if constexpr (WithRules) {
      add_into(c, s.rest_relabelled, s.joined);
      out.emplace_back(rotate_representative_in_place(s.joined), rule);
    } else {
      if (!prover.proved.contains(rule)) continue;
      add_into(c, s.rest_relabelled, s.joined);
      out.push_back(rotate_representative_in_place(s.joined));
    }
  }
}

// The rewrites of cut i of a round, appended to out. WithRules: every rule, each result paired
// with its rule identity; otherwise only rules whose rule identity is in `proved`, results
// alone.
template <bool WithRules, class Item>
void rewrite_cut(const IdentityProver& prover, const IdentityCirc& identity,
                 const IdentityCuts& cuts, std::size_t i, std::uint32_t additional_size,
                 CutScratch& s, std::vector<Item>& out) {
  if (!cuts.get(i, s.parts)) return;
  rewrite_parts<WithRules>(prover, identity, additional_size, s, out);
}

// The rules of one cut of a round, gathered before they are applied on the pool.
struct CutRules {
  const Circ* key;
  const RuleList* list;
  Circ rest_relabelled;
};

// Rules applied per task when a round spreads them over the pool (each costs a canonical form
// and an identity check, a few microseconds), and cuts looked up per task.
constexpr std::size_t RULES_PER_TASK = 4;
constexpr std::size_t CUTS_PER_LOOKUP = 16;

// One rewrite round, its results appended to out in cut order. A round of many cuts spreads
// its work over the pool in two steps: the rules of every cut are looked up (cuts in chunks),
// then applied in tasks of a few (the rules of a round gather on a few cuts, most blocks have
// no key); each step writes into slots joined in cut and rule order, so the result does not
// depend on the workers. A failure met while looking up is raised after the rules of the cuts
// before it are applied, as one cut after the other would.
template <bool WithRules, class Item>
void rewrite_round_into(const IdentityProver& prover, const IdentityCirc& identity,
                        std::uint32_t additional_size, std::size_t spread_from,
                        std::vector<Item>& out) {
  RoundScratch& scratch = round_scratch();
  std::size_t first = 0;  // the first cut
  std::vector<CutRules> cut_rules;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> applications;  // (cut_rules entry, rule)
  std::exception_ptr lookup_error;
  {
    const IdentityCuts cuts(identity, scratch.keys);
    while (first < cuts.size() && !cuts.get(first, scratch.cut.parts)) ++first;
    if (first == cuts.size()) return;
    register_adjoints(identity);
    CutScratch& s = scratch.cut;
    if (cuts.size() < spread_from || pool_threads() == 1) {
      rewrite_parts<WithRules>(prover, identity, additional_size, s, out);
      for (std::size_t i = first + 1; i < cuts.size(); ++i)
        rewrite_cut<WithRules>(prover, identity, cuts, i, additional_size, s, out);
      return;
    }
  }
  // Looking up: the cuts in chunks on the pool, each chunk's rules into its own slot; a chunk
  // that fails keeps what it found before the failing cut.
  std::vector<std::uint64_t> keys;
  const IdentityCuts cuts(identity, keys);
  struct Found {
    std::vector<CutRules> cuts;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> applications;
    std::exception_ptr error;
  };
  const std::size_t chunks = (cuts.size() - first + CUTS_PER_LOOKUP - 1) / CUTS_PER_LOOKUP;
  std::vector<Found> found(chunks);
  parallel_for_ordered(chunks, [&](std::size_t c) {
    CutScratch& s = round_scratch().cut;
    Found& f = found[c];
    const std::size_t begin = first + c * CUTS_PER_LOOKUP;
    const std::size_t end = std::min(cuts.size(), begin + CUTS_PER_LOOKUP);
    try {
      for (std::size_t i = begin; i < end; ++i) {
        if (!cuts.get(i, s.parts)) continue;
        const RepresentativeMemo::Entry& rep = s.representatives.get(
            s.parts.block, s.parts.block_len, identity.nqubits(), s.block, s.rep);
        const auto it = prover.circ_map.find(rep.representative());
        if (it == prover.circ_map.end()) continue;
        const auto bound = static_cast<std::uint32_t>(rep.rep_len + additional_size);
        const RuleList& list = it->second;
        const auto k = static_cast<std::uint32_t>(f.cuts.size());
        const std::size_t before = f.applications.size();
        for (std::size_t j = 0; j < list.size(); ++j)
          if (list[j].len() <= bound) f.applications.emplace_back(k, static_cast<std::uint32_t>(j));
        if (f.applications.size() == before) continue;
        s.rest.instrs.assign(s.parts.rest, s.parts.rest + s.parts.rest_len);
        s.rest.perm = identity.circ.perm;
        Circ rest_relabelled;
        try {
          permut_into(s.rest, rep.relabel, rest_relabelled);
        } catch (...) {
          f.applications.resize(before);
          throw;
        }
        f.cuts.push_back(CutRules{&it->first, &list, std::move(rest_relabelled)});
      }
    } catch (...) {
      f.error = std::current_exception();
    }
  });
  for (Found& f : found) {
    const auto base = static_cast<std::uint32_t>(cut_rules.size());
    for (CutRules& c : f.cuts) cut_rules.push_back(std::move(c));
    for (const auto& [k, j] : f.applications) applications.emplace_back(base + k, j);
    if (f.error) {
      lookup_error = f.error;
      break;
    }
  }
  const std::size_t tasks = (applications.size() + RULES_PER_TASK - 1) / RULES_PER_TASK;
  std::vector<Item> items = collect_ordered<Item>(tasks, [&](std::size_t t, std::vector<Item>& dst) {
    CutScratch& s = round_scratch().cut;
    const std::size_t end = std::min(applications.size(), (t + 1) * RULES_PER_TASK);
    for (std::size_t a = t * RULES_PER_TASK; a < end; ++a) {
      const CutRules& c = cut_rules[applications[a].first];
      const std::uint32_t j = applications[a].second;
      const IdentityCirc& rule = c.list->rule_identity(*c.key, j);
      if constexpr (WithRules) {
        add_into((*c.list)[j], c.rest_relabelled, s.joined);
        dst.emplace_back(rotate_representative_in_place(s.joined), rule);
      } else {
        if (!prover.proved.contains(rule)) continue;
        add_into((*c.list)[j], c.rest_relabelled, s.joined);
        dst.push_back(rotate_representative_in_place(s.joined));
      }
    }
  });
  if (lookup_error) std::rethrow_exception(lookup_error);
  out.insert(out.end(), std::make_move_iterator(items.begin()),
             std::make_move_iterator(items.end()));
}

template <bool WithRules>
auto rewrite_round(const IdentityProver& prover, const IdentityCirc& identity,
                   std::uint32_t additional_size, std::size_t spread_from) {
  using Item =
      std::conditional_t<WithRules, std::pair<IdentityCirc, IdentityCirc>, IdentityCirc>;
  std::vector<Item> out;
  rewrite_round_into<WithRules>(prover, identity, additional_size, spread_from, out);
  return out;
}

}  // namespace

std::vector<IdentityCirc> IdentityProver::par_apply_rules(const IdentityCirc& identity,
                                                          std::uint32_t additional_size,
                                                          std::size_t spread_from) const {
  return rewrite_round<false>(*this, identity, additional_size, spread_from);
}

std::vector<std::pair<IdentityCirc, IdentityCirc>> IdentityProver::par_transition_pairs(
    const IdentityCirc& identity, std::uint32_t additional_size) const {
  return rewrite_round<true>(*this, identity, additional_size, SPREAD_OFTEN);
}

std::vector<IdentityCirc> IdentityProver::get_assumed() const { return assume; }

}  // namespace marrowfen
