// The bounded identity searches: breadth first over rewrite rounds, shortest identities
// first, within `additional_size` extra instructions and a budget of `count_limit`.
//
// The buckets hold identities by their length above the start's: bucket d holds identities of
// exactly min_size + d instructions, first in first out. There are additional_size + 1 of them
// (32-bit arithmetic, so 4294967295 leaves none); only the ones that get used are allocated.
// The rounds of the identities next in line are computed ahead on the pool (Queue), and their
// results are taken strictly in the order of the sequential search.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include <tbb/global_control.h>

#include "core/panic.hpp"
#include "core/thread_pool.hpp"
#include "prover/prover.hpp"

namespace marrowfen {
namespace {

// A queued identity and its rewrite round (of `max_size` minus its length extra instructions),
// which may be computed ahead of its turn on the pool.
struct Slot {
  enum : int { WAITING, COMPUTING, DONE };

  explicit Slot(IdentityCirc i) : id(std::move(i)) {}

  IdentityCirc id;
  bool launched = false;  // handed to the pool (read and written by the search only)
  std::atomic<int> state{WAITING};
  std::vector<IdentityCirc> items;  // the round, once DONE
  std::exception_ptr error;         // or the failure it met

  // Claims the round; false when someone else has.
  bool claim() noexcept {
    int expected = WAITING;
    return state.compare_exchange_strong(expected, COMPUTING, std::memory_order_acquire);
  }

  // `spread_from`: see par_apply_rules. The search spreads the cuts of a round it computes
  // itself (often the only round of a search) over the pool; a round computed ahead, beside
  // others, keeps them together.
  void compute(const IdentityProver& prover, std::uint32_t max_size,
               std::size_t spread_from) noexcept {
    try {
      items = prover.par_apply_rules(id, static_cast<std::uint32_t>(max_size - id.len()),
                                     spread_from);
    } catch (...) {
      error = std::current_exception();
    }
    state.store(DONE, std::memory_order_release);
  }
};
using SlotPtr = std::shared_ptr<Slot>;

// Identities next in line whose rounds are computed ahead: eight per worker, so that rounds of
// different cost even out over the workers. Rounds computed for identities that the search never reaches are wasted; in
// searches of many rounds (those that take the time) that is a few in a hundred. With one
// worker, none: the search computes each round when its identity comes up.
std::size_t rounds_ahead() {
  const std::size_t workers = std::min<std::size_t>(
      pool_threads(),
      tbb::global_control::active_value(tbb::global_control::max_allowed_parallelism));
  return workers == 1 ? 0 : 8 * workers;
}

// The identities waiting in a search, in the order the search takes them, and their rounds.
//
// The rounds of identities that are still queued depend on nothing that the search changes
// (`proved` changes only once it is over), so while the search works through one round, the
// pool computes the rounds of the identities next in line. The search takes each round when
// its identity comes up (computing it itself if no worker has begun it, else lending a hand
// with the next ones until it is done) and handles its items in order, exactly as one round at
// a time; rounds it never reaches are dropped unused, failures included. Before the search
// changes the prover, or returns, `close` stops the rounds ahead and waits for those under
// way, so no worker reads the prover while it changes.
class Queue {
 public:
  Queue(const IdentityProver& prover, std::uint32_t additional_size, std::uint32_t max_size)
      : count_(static_cast<std::uint32_t>(additional_size + 1u)),
        ahead_(rounds_ahead()),
        shared_(std::make_shared<Shared>(prover, max_size)) {}
  Queue(const Queue&) = delete;
  Queue& operator=(const Queue&) = delete;
  ~Queue() { close(); }

  void push(std::uint32_t d, IdentityCirc id) {
    if (d >= count_) stop_index_out_of_bounds(count_, d);
    if (d >= queues_.size()) queues_.resize(std::size_t{d} + 1);
    queues_[d].push_back(std::make_shared<Slot>(std::move(id)));
    if (d < lowest_) lowest_ = d;
  }

  // The next identity in search order with its round, or nothing when all are empty.
  SlotPtr pop() {
    for (; lowest_ < queues_.size(); ++lowest_) {
      std::deque<SlotPtr>& q = queues_[lowest_];
      if (q.empty()) continue;
      SlotPtr next = std::move(q.front());
      q.pop_front();
      launch_ahead();
      if (next->claim()) {
        next->compute(shared_->prover, shared_->max_size, IdentityProver::SPREAD_OFTEN);
      } else {
        while (next->state.load(std::memory_order_acquire) != Slot::DONE)
          if (!help()) std::this_thread::yield();
      }
      return next;
    }
    return nullptr;
  }

  // Stops the rounds ahead; returns once no worker computes one any more. Idempotent.
  void close() noexcept {
    shared_->closed.store(true);
    while (shared_->running.load() != 0) std::this_thread::yield();
  }

 private:
  // What the rounds handed to the pool share with the search; they may start after it ended.
  struct Shared {
    Shared(const IdentityProver& p, std::uint32_t m) : prover(p), max_size(m) {}
    const IdentityProver& prover;
    std::uint32_t max_size;
    std::atomic<bool> closed{false};
    std::atomic<int> running{0};
  };

  static void run_ahead(const std::shared_ptr<Shared>& shared, Slot& slot) noexcept {
    // Counted as running before the test of `closed`, which close() sets before it waits for
    // the count: a round either sees the search closed or is waited for.
    shared->running.fetch_add(1);
    if (!shared->closed.load() && slot.claim())
      slot.compute(shared->prover, shared->max_size, IdentityProver::SPREAD_SELDOM);
    shared->running.fetch_sub(1);
  }

  // Hands the next `ahead_` identities in search order to the pool, those not handed yet.
  void launch_ahead() {
    std::size_t seen = 0;
    for (std::size_t d = lowest_; d < queues_.size() && seen < ahead_; ++d)
      for (const SlotPtr& slot : queues_[d]) {
        if (seen++ >= ahead_) break;
        if (slot->launched) continue;
        slot->launched = true;
        spawn_in_pool([shared = shared_, slot] { run_ahead(shared, *slot); });
      }
  }

  // Computes the next round handed to the pool that no worker has begun; false if none.
  bool help() noexcept {
    for (std::size_t d = lowest_; d < queues_.size(); ++d)
      for (const SlotPtr& slot : queues_[d]) {
        if (!slot->launched) return false;
        if (slot->claim()) {
          slot->compute(shared_->prover, shared_->max_size, IdentityProver::SPREAD_SELDOM);
          return true;
        }
      }
    return false;
  }

  std::uint32_t count_;
  std::size_t lowest_ = 0;  // no bucket below this one holds anything
  std::vector<std::deque<SlotPtr>> queues_;
  std::size_t ahead_;  // identities next in line whose rounds are handed to the pool
  std::shared_ptr<Shared> shared_;
};

// The round of a popped identity; its failure now that the search has reached it. The failure
// leaves the slot, so the worker that may drop the slot last never frees it.
std::vector<IdentityCirc> take_round(Slot& slot) {
  if (slot.error) std::rethrow_exception(std::exchange(slot.error, nullptr));
  return std::move(slot.items);
}

void check_bound(const IdentityCirc& id, std::uint32_t max_size) {
  if (id.len() > max_size) stop("assertion failed: new_id.len() <= max_size");
}

}  // namespace

bool IdentityProver::add_identity(IdentityCirc identity, std::uint32_t additional_size,
                                  std::uint32_t count_limit) {
  if (identity.is_empty() || proved.contains(identity)) return false;
  auto [visited, assumed] = add_identity_search(std::move(identity), additional_size, count_limit);
  proved.insert(visited.begin(), visited.end());
  return assumed;
}

std::pair<IdentitySet, bool> IdentityProver::add_identity_search(IdentityCirc identity,
                                                                 std::uint32_t additional_size,
                                                                 std::uint32_t count_limit) {
  const std::uint32_t min_size = identity.len();
  const auto max_size = static_cast<std::uint32_t>(min_size + additional_size);
  Queue queue(*this, additional_size, max_size);
  IdentitySet visited;
  queue.push(0, identity);
  visited.insert(identity);
  std::uint32_t counter = 0;

  while (const SlotPtr current = queue.pop()) {
    std::vector<IdentityCirc> next = take_round(*current);
    for (IdentityCirc& item : next) {
      check_bound(item, max_size);
      if (!visited.insert(item).second) continue;  // met before
      if (item.len() < min_size) {
        queue.close();  // before the prover changes
        const bool assumed = add_identity(std::move(item), additional_size, count_limit);
        return {std::move(visited), assumed};
      }
      if (proved.contains(item)) return {std::move(visited), false};
      const std::uint32_t d = item.len() - min_size;
      queue.push(d, std::move(item));
      ++counter;
      if (counter > count_limit) {
        queue.close();
        assume.push_back(std::move(identity));
        return {std::move(visited), true};
      }
    }
  }
  queue.close();
  assume.push_back(std::move(identity));
  return {std::move(visited), true};
}

std::pair<std::optional<IdentityCirc>, IdentitySet> IdentityProver::prove_identity_with_visited(
    IdentityCirc identity, std::uint32_t additional_size, std::uint32_t count_limit) const {
  // The identity without instructions is trivially true; a search that reaches one answers
  // derivable through its recursion.
  if (identity.is_empty()) {
    IdentitySet visited;
    visited.insert(std::move(identity));
    return {std::nullopt, std::move(visited)};
  }
  const std::uint32_t min_size = identity.len();
  const auto max_size = static_cast<std::uint32_t>(min_size + additional_size);
  Queue queue(*this, additional_size, max_size);
  IdentitySet visited;
  queue.push(0, identity);
  visited.insert(identity);

  while (const SlotPtr current = queue.pop()) {
    std::vector<IdentityCirc> next = take_round(*current);
    for (IdentityCirc& item : next) {
      check_bound(item, max_size);
      if (!visited.insert(item).second) continue;  // met before
      if (item.len() < min_size) {
        queue.close();
        auto [result, inner] =
            prove_identity_with_visited(std::move(item), additional_size, count_limit);
        visited.insert(inner.begin(), inner.end());
        return {std::move(result), std::move(visited)};
      }
      if (proved.contains(item)) return {std::nullopt, std::move(visited)};
      const std::uint32_t d = item.len() - min_size;
      queue.push(d, std::move(item));
      if (visited.size() > std::size_t{count_limit})
        return {std::move(identity), std::move(visited)};
    }
  }
  return {std::move(identity), std::move(visited)};
}

std::optional<IdentityCirc> IdentityProver::prove_identity(IdentityCirc identity,
                                                           std::uint32_t additional_size,
                                                           std::uint32_t count_limit) const {
  return prove_identity_with_visited(std::move(identity), additional_size, count_limit).first;
}

}  // namespace marrowfen
