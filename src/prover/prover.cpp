// The rewrite round and the random container keys.
//
// A round cuts the identity into every connected convex block (in cut-table order, on the
// pool), then rewrites the cuts on the pool: one work item per cut, each writing into its own
// pre-sized slot, the slots joined in cut order, so the result is exactly what a sequential
// loop gives whatever the number of workers. A failing item stops the round with the failure
// that a sequential loop would have met first. Rule identities come from the cache of the rule
// lists (RuleList): each is built the first time any round needs it and shared from then on.
#include "prover/prover.hpp"

#include <atomic>
#include <cstddef>
#include <exception>
#include <limits>
#include <memory>
#include <utility>
#include <vector>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include "core/rng.hpp"
#include "core/thread_pool.hpp"
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

// libtbb is not built with ThreadSanitizer, so the ordering that the pool gives between the
// caller and the tasks is invisible to it. These marks state that ordering: what the caller
// did before the loop happens before every task, and every task before the join. They add no
// ordering between tasks, so races between workers are still reported.
#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_acquire(void* addr);
extern "C" void __tsan_release(void* addr);
struct PoolHandOff {
  void before_loop() { __tsan_release(&start); }
  void task_begin() { __tsan_acquire(&start); }
  void task_end() { __tsan_release(&done); }
  void after_loop() { __tsan_acquire(&done); }
  char start = 0, done = 0;
};
#else
struct PoolHandOff {
  void before_loop() {}
  void task_begin() {}
  void task_end() {}
  void after_loop() {}
};
#endif

// Runs work(i, slots[i]) for i in [0, n) on the pool and returns the slots joined in index
// order. Items after the first failed one are skipped; the first failure in index order is
// rethrown after the loop.
template <class Item, class Work>
std::vector<Item> run_ordered(std::size_t n, Work&& work) {
  std::vector<std::vector<Item>> slots(n);
  std::vector<std::exception_ptr> errors(n);
  std::atomic<std::size_t> failed{std::numeric_limits<std::size_t>::max()};
  PoolHandOff hand_off;

  auto run_one = [&](std::size_t i) {
    if (i > failed.load(std::memory_order_relaxed)) return;
    try {
      work(i, slots[i]);
    } catch (...) {
      errors[i] = std::current_exception();
      std::size_t prev = failed.load(std::memory_order_relaxed);
      while (i < prev && !failed.compare_exchange_weak(prev, i, std::memory_order_relaxed)) {
      }
    }
  };

  if (n == 1) {
    run_one(0);
  } else if (n > 1) {
    hand_off.before_loop();
    run_in_pool([&] {
      tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n, 1),
                        [&](const tbb::blocked_range<std::size_t>& r) {
                          hand_off.task_begin();
                          for (std::size_t i = r.begin(); i != r.end(); ++i) run_one(i);
                          hand_off.task_end();
                        });
    });
    hand_off.after_loop();
  }

  for (const std::exception_ptr& e : errors)
    if (e) std::rethrow_exception(e);

  std::size_t total = 0;
  for (const auto& s : slots) total += s.size();
  std::vector<Item> out;
  out.reserve(total);
  for (auto& s : slots)
    for (Item& x : s) out.push_back(std::move(x));
  return out;
}

// The round inverts the representative of every block before it looks the block up, and
// inverting takes the adjoint of every gate of the block, which registers that adjoint when it
// is new. Every instruction is a block of its own, and these blocks come first, in instruction
// order, so the round's new adjoints are registered here, once, in that order (a gate's
// adjoint is cached on its row, so this costs one load per instruction once registered).
// Rules only ever invert the representative again, whose adjoints are in place by then.
void register_adjoints(const IdentityCirc& identity, std::size_t cut_count) {
  if (cut_count == 0) return;
  for (const Instr32 in : identity.circ.instrs) (void)in.gate().adjoint();
}

// One rewrite round. WithRules: every rule, each result paired with its rule identity;
// otherwise only rules whose rule identity is in `proved`, results alone.
//
// The cuts are the outer work items. A cut whose block has several applicable rules runs them
// as nested items (one per rule, joined in list order): the rules of a round gather on a few
// cuts (most blocks have no key at all), so this keeps the workers busy to the end.
template <bool WithRules>
auto rewrite_round(const IdentityProver& prover, const IdentityCirc& identity,
                   std::uint32_t additional_size) {
  using Item =
      std::conditional_t<WithRules, std::pair<IdentityCirc, IdentityCirc>, IdentityCirc>;
  const std::vector<std::pair<Circ, Circ>> cuts =
      IdentitySubcircuit::par_subcircuit_splits(identity);
  register_adjoints(identity, cuts.size());

  return run_ordered<Item>(cuts.size(), [&](std::size_t i, std::vector<Item>& out) {
    const auto& [block, rest] = cuts[i];
    const auto [rep, relabel] = block.representative_with_perm();
    const auto found = prover.circ_map.find(rep);
    if (found == prover.circ_map.end()) return;
    // The key equals rep; its list caches the rule identities (c followed by inverse(rep)).
    const Circ& key = found->first;
    const RuleList& list = found->second;

    // Length test first: no canonical form is built for a rule that is too long. The bound
    // is the 32-bit sum and wraps like one.
    const auto bound = static_cast<std::uint32_t>(rep.len() + additional_size);
    std::vector<std::uint32_t> rules;
    for (std::size_t j = 0; j < list.size(); ++j)
      if (list[j].len() <= bound) rules.push_back(static_cast<std::uint32_t>(j));
    if (rules.empty()) return;

    const Circ rest_relabelled = rest.permut(relabel);
    auto apply = [&](std::size_t r, std::vector<Item>& dst) {
      const std::size_t j = rules[r];
      const Circ& c = list[j];
      const IdentityCirc& rule = list.rule_identity(key, j);
      if constexpr (WithRules) {
        IdentityCirc rewritten = (c + rest_relabelled).rotate_representative();
        dst.emplace_back(std::move(rewritten), rule);
      } else {
        if (!prover.proved.contains(rule)) return;
        dst.push_back((c + rest_relabelled).rotate_representative());
      }
    };
    if (rules.size() == 1) {
      apply(0, out);
    } else {
      out = run_ordered<Item>(rules.size(), apply);
    }
  });
}

}  // namespace

std::vector<IdentityCirc> IdentityProver::par_apply_rules(const IdentityCirc& identity,
                                                          std::uint32_t additional_size) const {
  return rewrite_round<false>(*this, identity, additional_size);
}

std::vector<std::pair<IdentityCirc, IdentityCirc>> IdentityProver::par_transition_pairs(
    const IdentityCirc& identity, std::uint32_t additional_size) const {
  return rewrite_round<true>(*this, identity, additional_size);
}

std::vector<IdentityCirc> IdentityProver::get_assumed() const { return assume; }

}  // namespace marrowfen
