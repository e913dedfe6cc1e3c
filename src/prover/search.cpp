// The bounded identity searches: breadth first over rewrite rounds, shortest identities
// first, within `additional_size` extra instructions and a budget of `count_limit`.
//
// The buckets hold identities by their length above the start's: bucket d holds identities of
// exactly min_size + d instructions, first in first out. There are additional_size + 1 of them
// (32-bit arithmetic, so 4294967295 leaves none); only the ones that get used are allocated.
// When the identity coming up has no round yet, its round and those of the identities next in
// line are computed in one parallel step (Queue), and their results are taken strictly in the
// order of the sequential search.
#include <algorithm>
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
// once computed.
struct Slot {
  explicit Slot(IdentityCirc i) : id(std::move(i)) {}

  IdentityCirc id;
  bool computed = false;
  std::vector<IdentityCirc> items;  // the round
  std::exception_ptr error;         // or the failure it met
};

// Rounds computed together: the identity coming up and those next in line. A search's first
// steps are small, since many searches end after a few rounds and a round computed for an
// identity the search never reaches is wasted: the first step of a search takes up to four
// rounds, and each next one twice as many as the last, up to sixteen per worker, so that rounds
// of different cost even out over the workers. With one worker, the round of the identity
// coming up alone.
constexpr std::size_t FIRST_BATCH = 4;
constexpr std::size_t BATCH_PER_WORKER = 16;

std::size_t largest_batch() {
  const std::size_t workers = pool_workers();
  return workers == 1 ? 1 : BATCH_PER_WORKER * workers;
}

// The identities waiting in a search, in the order the search takes them, and their rounds.
//
// The rounds of identities that are still queued depend on nothing that the search changes
// (`proved` changes only once it is over), so when the identity coming up has no round yet,
// the rounds of it and of the identities next in line are computed in one parallel step,
// each into its own slot. The search takes each round when its identity comes up and handles
// its items in order, exactly as one round at a time; rounds it never reaches are dropped
// unused, failures included. Each step has ended when pop returns, so nothing computed for
// the search outlives it.
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

  // The next identity in search order with its round, or nothing when all are empty.
  std::optional<Slot> pop() {
    for (; lowest_ < queues_.size(); ++lowest_) {
      std::deque<Slot>& q = queues_[lowest_];
      if (q.empty()) continue;
      if (!q.front().computed) compute_batch();
      std::optional<Slot> next(std::move(q.front()));
      q.pop_front();
      return next;
    }
    return std::nullopt;
  }

 private:
  // Computes the rounds of the next `next_batch_` identities in search order that have none
  // yet, the one coming up first. A round computed alone spreads its cuts over the pool; rounds
  // computed side by side keep theirs together unless they are many.
  void compute_batch() {
    std::vector<Slot*> batch;
    const std::size_t want = next_batch_;
    next_batch_ = std::min(largest_batch_, 2 * next_batch_);
    for (std::size_t d = lowest_; d < queues_.size() && batch.size() < want; ++d)
      for (Slot& slot : queues_[d]) {
        if (batch.size() == want) break;
        if (!slot.computed) batch.push_back(&slot);
      }
    const std::size_t spread_from =
        batch.size() == 1 ? IdentityProver::SPREAD_OFTEN : IdentityProver::SPREAD_SELDOM;
    parallel_for_ordered(batch.size(), [&](std::size_t i) {
      Slot& slot = *batch[i];
      try {
        slot.items = prover_.par_apply_rules(
            slot.id, static_cast<std::uint32_t>(max_size_ - slot.id.len()), spread_from);
      } catch (...) {
        slot.error = std::current_exception();
      }
      slot.computed = true;
    });
  }

  const IdentityProver& prover_;
  std::uint32_t count_;
  std::uint32_t max_size_;
  std::size_t largest_batch_;
  std::size_t next_batch_;  // rounds the next step computes at most
  std::size_t lowest_ = 0;  // no bucket below this one holds anything
  std::vector<std::deque<Slot>> queues_;
};

// The round of a popped identity; its failure now that the search has reached it.
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

  while (std::optional<Slot> current = queue.pop()) {
    std::vector<IdentityCirc> next = take_round(*current);
    for (IdentityCirc& item : next) {
      check_bound(item, max_size);
      if (!visited.insert(item).second) continue;  // met before
      if (item.len() < min_size) {
        const bool assumed = add_identity(std::move(item), additional_size, count_limit);
        return {std::move(visited), assumed};
      }
      if (proved.contains(item)) return {std::move(visited), false};
      const std::uint32_t d = item.len() - min_size;
      queue.push(d, std::move(item));
      ++counter;
      if (counter > count_limit) {
        assume.push_back(std::move(identity));
        return {std::move(visited), true};
      }
    }
  }
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

  while (std::optional<Slot> current = queue.pop()) {
    std::vector<IdentityCirc> next = take_round(*current);
    for (IdentityCirc& item : next) {
      check_bound(item, max_size);
      if (!visited.insert(item).second) continue;  // met before
      if (item.len() < min_size) {
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
