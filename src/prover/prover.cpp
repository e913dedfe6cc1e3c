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
// representative depends on the block alone. One fixed table of 2^17 slots of 128 bytes
// (16 MiB) shared by every thread, made on first use, never grown and kept for the life of the
// process. Each slot holds the last block that hashed to it: a block whose slot holds another
// is computed again and then replaces it, unless another thread is writing the slot just then.
//
// A slot is a sequence lock over plain words: its writer makes the version odd, writes, and
// makes it even again; a reader takes a copy and keeps it only when the version was the same
// even number before and after. Words are atomics, so nothing races; a reader that meets a
// slot being written, or another block, computes the representative itself (and offers it to
// the slot unless another writer holds it).
class RepresentativeMemo {
 public:
  // Cuts are made of identities of fewer than 20 instructions, and a block of one of L
  // instructions holds at most L/2 + 1 of them: 10. A representative has its block's length.
  // A block or representative that would not fit (none does) is never remembered.
  static constexpr std::uint32_t MAX_BLOCK = (COMBINATIONS_LEN - 1) / 2 + 1;
  using Key = std::array<std::uint32_t, MAX_BLOCK + 1>;  // length and qubit count, then the block

  // A block's representative; `representative.instrs` points into this memo or into the
  // caller's `rep`, valid until the next call.
  struct Found {
    HashedCirc representative;
    Permut32 relabel;
  };

  Found get(const Instr32* block, std::uint32_t len, std::uint8_t nqubits, Circ& scratch,
            Circ& rep) {
    Key key{};
    Slot* slot = nullptr;
    if (len <= MAX_BLOCK) {
      key[0] = len | (std::uint32_t{nqubits} << 8);
      for (std::uint32_t i = 0; i < len; ++i) key[1 + i] = block[i].raw;
      std::uint64_t h = 0;
      for (std::uint32_t w : key) h = (h ^ w) * 0x9E37'79B9'7F4A'7C15ull;
      slot = &table()[(h >> 40) & (SLOTS - 1)];
      if (slot->read(key, e_)) return found(e_);
    }
    scratch.instrs.assign(block, block + len);
    scratch.perm = Permut32::identity(nqubits);
    const Permut32 relabel = representative_with_perm_into(scratch, rep);
    const std::uint64_t hash = field_hash(rep.instrs, rep.perm);
    if (slot == nullptr || rep.instrs.size() > MAX_BLOCK)
      return Found{HashedCirc{rep.instrs, rep.perm, hash}, relabel};
    e_.key = key;
    std::copy(rep.instrs.begin(), rep.instrs.end(), e_.rep.begin());
    e_.rep_len = static_cast<std::uint32_t>(rep.instrs.size());
    e_.rep_perm = rep.perm;
    e_.relabel = relabel;
    e_.hash = hash;
    slot->write(e_);
    return found(e_);
  }

 private:
  struct Entry {
    Key key;
    std::array<Instr32, MAX_BLOCK> rep;
    std::uint32_t rep_len;
    Permut32 rep_perm;
    Permut32 relabel;
    std::uint64_t hash;  // field_hash of the representative
  };

  static Found found(const Entry& e) noexcept {
    return Found{
        HashedCirc{std::span<const Instr32>(e.rep.data(), e.rep_len), e.rep_perm, e.hash},
        e.relabel};
  }

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
  static_assert(sizeof(Slot) == 128 && SLOTS * sizeof(Slot) == (std::size_t{16} << 20),
                "the table is 16 MiB of 128-byte slots");

  static Slot* table() {
    static Slot* const slots = new Slot[SLOTS];  // kept for the life of the process
    return slots;
  }

  Entry e_{};
};

// The rules of one cut, found before they are applied: the key and list of the block's class,
// and the rest of the identity relabelled like the block.
struct CutRules {
  const Circ* key = nullptr;
  const RuleList* list = nullptr;
  Circ rest;
};

// What looking up a run of cuts found: its cuts with rules (the first `ncuts` entries; entries
// are reused from round to round with their buffers), the rules to apply as (cut, rule) in cut
// and rule order, and the failure that stopped it, after the cuts before the failing one.
struct FoundRules {
  std::vector<CutRules> cuts;
  std::size_t ncuts = 0;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> rules;
  std::exception_ptr error;

  void clear() noexcept {
    ncuts = 0;
    rules.clear();
    error = nullptr;
  }
  CutRules& add() {
    if (ncuts == cuts.size()) cuts.emplace_back();
    return cuts[ncuts++];
  }
};

// A rule to apply: the run, its cut and the rule's index in the cut's list.
struct Application {
  std::uint32_t run, cut, rule;
};

// The buffers of one cut, held only while a task works on it (which never waits for the pool),
// so one set per thread serves every round.
struct CutScratch {
  CutParts parts;
  Circ block, rep, rest, joined;
  RepresentativeMemo representatives;
};

CutScratch& cut_scratch() {
  thread_local CutScratch s;
  return s;
}

// The buffers of a whole round, held from its first cut to its last. A round that spreads over
// the pool holds them while it waits, and a thread that waits may run another round meanwhile,
// so each thread keeps one set, which the first round on it takes and a round run inside it
// finds taken (that one makes its own).
struct RoundBuffers {
  std::vector<std::uint64_t> keys;
  std::vector<FoundRules> runs;
  std::vector<Application> applications;
  bool taken = false;
};

class RoundBuffersLease {
 public:
  RoundBuffersLease() {
    thread_local RoundBuffers mine;
    if (!mine.taken) {
      buffers_ = &mine;
      mine.taken = true;
    } else {
      own_ = std::make_unique<RoundBuffers>();
      buffers_ = own_.get();
    }
  }
  ~RoundBuffersLease() {
    if (!own_) buffers_->taken = false;
  }
  RoundBuffersLease(const RoundBuffersLease&) = delete;
  RoundBuffersLease& operator=(const RoundBuffersLease&) = delete;

  RoundBuffers& operator*() const noexcept { return *buffers_; }

 private:
  RoundBuffers* buffers_ = nullptr;
  std::unique_ptr<RoundBuffers> own_;
};

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

// Looks up the rules of cuts [begin, end) into `found`, in cut order. Most blocks have no key,
// so the rest is built only for a block that has rules short enough.
void look_up_cuts(const IdentityProver& prover, const IdentityCirc& identity,
                  const IdentityCuts& cuts, std::size_t begin, std::size_t end,
                  std::uint32_t additional_size, FoundRules& found) {
  CutScratch& s = cut_scratch();
  found.clear();
  try {
    for (std::size_t i = begin; i < end; ++i) {
      if (!cuts.get(i, s.parts)) continue;
      const RepresentativeMemo::Found rep = s.representatives.get(
          s.parts.block, s.parts.block_len, identity.nqubits(), s.block, s.rep);
      const auto it = prover.circ_map.find(rep.representative);
      if (it == prover.circ_map.end()) continue;
      // The bound is the 32-bit sum and wraps like one.
      const auto bound =
          static_cast<std::uint32_t>(rep.representative.instrs.size() + additional_size);
      const RuleList& list = it->second;
      const auto cut = static_cast<std::uint32_t>(found.ncuts);
      const std::size_t before = found.rules.size();
      for (std::size_t j = 0; j < list.size(); ++j)
        if (list[j].len() <= bound) found.rules.emplace_back(cut, static_cast<std::uint32_t>(j));
      if (found.rules.size() == before) continue;
      CutRules& c = found.add();
      c.key = &it->first;
      c.list = &list;
      s.rest.instrs.assign(s.parts.rest, s.parts.rest + s.parts.rest_len);
      s.rest.perm = identity.circ.perm;
      try {
        permut_into(s.rest, rep.relabel, c.rest);
      } catch (...) {
        --found.ncuts;
        found.rules.resize(before);
        throw;
      }
    }
  } catch (...) {
    found.error = std::current_exception();
  }
}

// Applies one rule, appending its rewrite to out. WithRules: every rule, its result paired with
// its rule identity; otherwise only a rule whose rule identity is in `proved`, the result alone.
template <bool WithRules, class Item>
void apply_rule(const IdentityProver& prover, const CutRules& c, std::uint32_t j,
                std::vector<Item>& out) {
  CutScratch& s = cut_scratch();
  const IdentityCirc& rule = c.list->rule_identity(*c.key, j);
  if constexpr (WithRules) {
    add_into((*c.list)[j], c.rest, s.joined);
    out.emplace_back(rotate_representative_in_place(s.joined), rule);
  } else {
    if (!prover.proved.contains(rule)) return;
    add_into((*c.list)[j], c.rest, s.joined);
    out.push_back(rotate_representative_in_place(s.joined));
  }
}

// Cuts looked up per task, and rules applied per task (each costs a canonical form and an
// identity check, a few microseconds), when a round spreads over the pool.
constexpr std::size_t CUTS_PER_LOOKUP = 16;
constexpr std::size_t RULES_PER_TASK = 4;

// One rewrite round, its results appended to out in cut and rule order. First every cut's
// rules are looked up, then applied. A round of `spread_from` cuts or more does both on the
// pool: the cuts in runs of a few, then the rules a few per task (the rules of a round gather
// on a few cuts); smaller rounds do both in place. Each step writes into slots joined in cut
// and rule order, so the result does not depend on the workers. A failure met while looking up
// is raised after the rules of the cuts before it are applied, as one cut after the other
// would.
template <bool WithRules, class Item>
void rewrite_round_into(const IdentityProver& prover, const IdentityCirc& identity,
                        std::uint32_t additional_size, std::size_t spread_from,
                        std::vector<Item>& out) {
  const RoundBuffersLease lease;
  RoundBuffers& b = *lease;
  const IdentityCuts cuts(identity, b.keys);
  std::size_t first = 0;  // the first cut
  {
    CutScratch& s = cut_scratch();
    while (first < cuts.size() && !cuts.get(first, s.parts)) ++first;
  }
  if (first == cuts.size()) return;
  register_adjoints(identity);

  const bool spread = cuts.size() >= spread_from;
  const std::size_t per_run = spread ? CUTS_PER_LOOKUP : cuts.size() - first;
  const std::size_t runs = (cuts.size() - first + per_run - 1) / per_run;
  if (b.runs.size() < runs) b.runs.resize(runs);
  parallel_for_ordered(runs, [&](std::size_t r) {
    const std::size_t begin = first + r * per_run;
    look_up_cuts(prover, identity, cuts, begin, std::min(cuts.size(), begin + per_run),
                 additional_size, b.runs[r]);
  });
  std::exception_ptr lookup_error;
  b.applications.clear();
  for (std::size_t r = 0; r < runs; ++r) {
    for (const auto& [cut, rule] : b.runs[r].rules)
      b.applications.push_back(Application{static_cast<std::uint32_t>(r), cut, rule});
    if (b.runs[r].error) {
      lookup_error = b.runs[r].error;
      break;
    }
  }
  const auto apply = [&](const Application& a, std::vector<Item>& dst) {
    apply_rule<WithRules>(prover, b.runs[a.run].cuts[a.cut], a.rule, dst);
  };
  if (spread) {
    const std::size_t n = b.applications.size();
    std::vector<Item> items = collect_ordered<Item>(
        (n + RULES_PER_TASK - 1) / RULES_PER_TASK, [&](std::size_t t, std::vector<Item>& dst) {
          for (std::size_t a = t * RULES_PER_TASK; a < std::min(n, (t + 1) * RULES_PER_TASK); ++a)
            apply(b.applications[a], dst);
        });
    out.insert(out.end(), std::make_move_iterator(items.begin()),
               std::make_move_iterator(items.end()));
  } else {
    for (const Application& a : b.applications) apply(a, out);
  }
  if (lookup_error) std::rethrow_exception(lookup_error);
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
