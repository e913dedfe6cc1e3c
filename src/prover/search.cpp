// The bounded identity searches: breadth first over rewrite rounds, shortest identities
// first, within `additional_size` extra instructions and a budget of `count_limit`.
//
// The buckets hold identities by their length above the start's: bucket d holds identities of
// exactly min_size + d instructions, first in first out. There are additional_size + 1 of them
// (32-bit arithmetic, so 4294967295 leaves none); only the ones that get used are allocated.
// The rounds of the identities next in line are computed in parallel steps while the search
// takes the rounds computed before (Queue), strictly in the order of the sequential search.
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <optional>
#include <utility>
#include <vector>

#include "core/panic.hpp"
#include "core/thread_pool.hpp"
#include "prover/prover.hpp"

namespace marrowfen {
namespace {

// A queued identity and its rewrite round (of `max_size` minus its length extra instructions),
// once computed, with whether each of its results is accepted already.
struct Slot {
  explicit Slot(IdentityCirc i) : id(std::move(i)) {}

  IdentityCirc id;
  std::uint64_t step = 0;            // the step that computes the round; 0 while none does
  std::vector<IdentityCirc> items;   // the round
  std::vector<bool> accepted;        // items[k] is in `proved`
  std::exception_ptr error;          // or the failure it met
};

// Rounds computed in one step: the identities next in line. A search's first steps are small,
// since many searches end after a few rounds and a round computed for an identity the search
// never reaches is wasted: the first step computes up to four rounds, and each next one twice
// as many as the last, up to sixteen per worker, so that rounds of different cost even out
// over the workers. With one worker, one round a step.
constexpr std::size_t FIRST_BATCH = 4;
constexpr std::size_t BATCH_PER_WORKER = 16;

std::size_t largest_batch() {
  const std::size_t workers = pool_workers();
  return workers == 1 ? 1 : BATCH_PER_WORKER * workers;
}

// The identities waiting in a search, in the order the search takes them, and their rounds.
//
// The rounds of identities that are still queued depend on nothing that the search changes
// (`proved` changes only once it is over), so they can be computed before their turn. The
// search runs as a sequence of parallel steps. The first item of a step is the search itself:
// it takes the identities in search order with the rounds that earlier steps computed,
// handling their results exactly as one round at a time, until it meets an identity whose
// round is not there yet, or ends. The other items compute the rounds of the next identities
// in line that have none, each into its own slot, which the search does not read before the
// step is over. A round that the search never reaches is dropped unused, failures included.
// Each step has ended when `run` returns, so nothing computed for the search outlives it.
class Queue {
 public:
  Queue(const IdentityProver& prover, std::uint32_t additional_size, std::uint32_t max_size)
      : prover_(prover),
        count_(static_cast<std::uint32_t>(additional_size + 1u)),
        max_size_(max_size),
        largest_batch_(largest_batch()),
        next_batch_(std::min(FIRST_BATCH, largest_batch_)) {}

  void push(std::uint32_t d, IdentityCirc id) {
    if (d >= count_) stop_index_out_of_bounds(count_, d);
    if (d >= queues_.size()) queues_.resize(std::size_t{d} + 1);
    queues_[d].emplace_back(std::move(id));
    if (d < lowest_) lowest_ = d;
  }

  // Runs the search: handle(slot) for every identity in search order, its round computed
  // (take_round), until handle returns false or nothing is left.
  template <class Handle>
  void run(Handle&& handle) {
    while (Slot* next = front()) {
      ++step_;
      // The identity coming up has no round yet: the search waits for a step that computes
      // it, alone (its cuts spread over the pool) or with the rounds next in line.
      const bool search_waits = next->step == 0;
      std::vector<Slot*> batch;
      if (search_waits) {
        next->step = step_;
        batch.push_back(next);
      }
      choose_batch(batch);
      const std::size_t spread_from =
          batch.size() == 1 ? IdentityProver::SPREAD_OFTEN : IdentityProver::SPREAD_SELDOM;
      if (search_waits) {
        parallel_for_ordered(batch.size(),
                             [&](std::size_t i) { compute_round(*batch[i], spread_from); });
        continue;
      }
      bool go_on = true;
      parallel_for_ordered(batch.size() + 1, [&](std::size_t i) {
        if (i == 0) {
          go_on = take_ready(handle);
          ended_.store(!go_on, std::memory_order_relaxed);
        } else if (!ended_.load(std::memory_order_relaxed)) {
          compute_round(*batch[i - 1], spread_from);
        }
      });
      if (!go_on) return;
    }
  }

 private:
  // The next identity in search order, or none.
  Slot* front() {
    for (; lowest_ < queues_.size(); ++lowest_)
      if (!queues_[lowest_].empty()) return &queues_[lowest_].front();
    return nullptr;
  }

  // Adds to `batch` the next identities in search order whose rounds no step computes, up to
  // the size of this step, and marks them as computed in this step.
  void choose_batch(std::vector<Slot*>& batch) {
    const std::size_t want = next_batch_;
    next_batch_ = std::min(largest_batch_, 2 * next_batch_);
    for (std::size_t d = lowest_; d < queues_.size() && batch.size() < want; ++d)
      for (Slot& slot : queues_[d]) {
        if (batch.size() == want) break;
        if (slot.step != 0) continue;
        slot.step = step_;
        batch.push_back(&slot);
      }
  }

  // Hands the identities whose rounds earlier steps computed to the search, in search order;
  // false once the search has ended.
  template <class Handle>
  bool take_ready(Handle& handle) {
    while (Slot* next = front()) {
      if (next->step == 0 || next->step == step_) return true;  // not computed yet
      Slot slot = std::move(*next);
      queues_[lowest_].pop_front();
      if (!handle(slot)) return false;
    }
    return false;
  }

  void compute_round(Slot& slot, std::size_t spread_from) noexcept {
    try {
      slot.items = prover_.par_apply_rules(
          slot.id, static_cast<std::uint32_t>(max_size_ - slot.id.len()), spread_from);
      slot.accepted.resize(slot.items.size());
      for (std::size_t k = 0; k < slot.items.size(); ++k)
        slot.accepted[k] = prover_.proved.contains(slot.items[k]);
    } catch (...) {
      slot.error = std::current_exception();
    }
  }

  const IdentityProver& prover_;
  std::uint32_t count_;
  std::uint32_t max_size_;
  std::size_t largest_batch_;
  std::size_t next_batch_;  // rounds the next step computes at most
  std::uint64_t step_ = 0;  // steps so far
  std::atomic<bool> ended_{false};  // the search has ended: rounds not begun are not needed
  std::size_t lowest_ = 0;  // no bucket below this one holds anything
  std::vector<std::deque<Slot>> queues_;
};

// The round of an identity the search has reached; its failure now.
std::vector<IdentityCirc> take_round(Slot& slot) {
  if (slot.error) std::rethrow_exception(slot.error);
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
  std::optional<IdentityCirc> shorter;  // a shorter identity reached, added once the search ends
  bool derived = false;                 // an accepted identity reached

  queue.run([&](Slot& current) {
    std::vector<IdentityCirc> next = take_round(current);
    for (std::size_t k = 0; k < next.size(); ++k) {
      IdentityCirc& item = next[k];
      check_bound(item, max_size);
      if (!visited.insert(item).second) continue;  // met before
      if (item.len() < min_size) {
        shorter = std::move(item);
        return false;
      }
      if (current.accepted[k]) {
        derived = true;
        return false;
      }
      const std::uint32_t d = item.len() - min_size;
      queue.push(d, std::move(item));
      ++counter;
      if (counter > count_limit) return false;
    }
    return true;
  });
  if (shorter) {
    const bool assumed = add_identity(std::move(*shorter), additional_size, count_limit);
    return {std::move(visited), assumed};
  }
  if (derived) return {std::move(visited), false};
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
  std::optional<IdentityCirc> shorter;  // a shorter identity reached, searched once this ends
  bool derived = false;                 // an accepted identity reached

  queue.run([&](Slot& current) {
    std::vector<IdentityCirc> next = take_round(current);
    for (std::size_t k = 0; k < next.size(); ++k) {
      IdentityCirc& item = next[k];
      check_bound(item, max_size);
      if (!visited.insert(item).second) continue;  // met before
      if (item.len() < min_size) {
        shorter = std::move(item);
        return false;
      }
      if (current.accepted[k]) {
        derived = true;
        return false;
      }
      const std::uint32_t d = item.len() - min_size;
      queue.push(d, std::move(item));
      if (visited.size() > std::size_t{count_limit}) return false;
    }
    return true;
  });
  if (shorter) {
    auto [result, inner] =
        prove_identity_with_visited(std::move(*shorter), additional_size, count_limit);
    visited.insert(inner.begin(), inner.end());
    return {std::move(result), std::move(visited)};
  }
  if (derived) return {std::nullopt, std::move(visited)};
  return {std::move(identity), std::move(visited)};
}

std::optional<IdentityCirc> IdentityProver::prove_identity(IdentityCirc identity,
                                                           std::uint32_t additional_size,
                                                           std::uint32_t count_limit) const {
  return prove_identity_with_visited(std::move(identity), additional_size, count_limit).first;
}

}  // namespace marrowfen
