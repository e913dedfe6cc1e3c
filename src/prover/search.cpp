// The bounded identity searches: breadth first over rewrite rounds, shortest identities
// first, within `additional_size` extra instructions and a budget of `count_limit`.
//
// The buckets hold identities by their length above the start's: bucket d holds identities of
// exactly min_size + d instructions, first in first out. There are additional_size + 1 of them
// (32-bit arithmetic, so 4294967295 leaves none); only the ones that get used are allocated.
// The rounds of the identities next in line are computed together on the pool (Buckets::pop),
// and their results are taken strictly in the order of the sequential search.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <optional>
#include <utility>
#include <vector>

#include <tbb/global_control.h>

#include "core/panic.hpp"
#include "core/thread_pool.hpp"
#include "prover/prover.hpp"

namespace marrowfen {
namespace {

// The rewrite round of a queued identity, or the failure that computing it met.
struct Round {
  std::vector<IdentityCirc> items;
  std::exception_ptr error;
};

struct Queued {
  IdentityCirc id;
  std::optional<Round> round;  // computed ahead of its turn
};

// Rounds computed together: four per worker, so that rounds of different cost even out over
// the workers. Rounds computed for identities that the search never reaches are wasted; in
// searches of many rounds (those that take the time) that is a few in a hundred. One worker
// computes one round at a time, as the sequential search does.
std::size_t rounds_at_once() {
  const std::size_t workers = std::min<std::size_t>(
      pool_threads(),
      tbb::global_control::active_value(tbb::global_control::max_allowed_parallelism));
  return workers == 1 ? 1 : 4 * workers;
}

class Buckets {
 public:
  explicit Buckets(std::uint32_t additional_size)
      : count_(static_cast<std::uint32_t>(additional_size + 1u)) {}

  void push(std::uint32_t d, IdentityCirc id) {
    if (d >= count_) stop_index_out_of_bounds(count_, d);
    if (d >= queues_.size()) queues_.resize(std::size_t{d} + 1);
    queues_[d].push_back(Queued{std::move(id), std::nullopt});
    if (d < lowest_) lowest_ = d;
  }

  // The front of the first non-empty bucket with its round (of `max_size` minus its length
  // extra instructions), or nothing when all are empty. The search takes its identities in
  // this order, and the rounds of identities that are still queued depend on nothing that the
  // search changes (`proved` changes only once it is over). So when the front has no round
  // yet, the rounds of the next identities in this order are computed with it on the pool.
  // They are used when their identities come up; those the search never reaches are dropped
  // unused, failures included, so the search gives what one round at a time would give.
  std::optional<Queued> pop(const IdentityProver& prover, std::uint32_t max_size) {
    for (; lowest_ < queues_.size(); ++lowest_) {
      std::deque<Queued>& q = queues_[lowest_];
      if (q.empty()) continue;
      if (!q.front().round) compute_rounds(prover, max_size);
      Queued next = std::move(q.front());
      q.pop_front();
      return next;
    }
    return std::nullopt;
  }

 private:
  // The rounds of the front and of the identities after it in search order that have none
  // yet, up to rounds_at_once() of them.
  void compute_rounds(const IdentityProver& prover, std::uint32_t max_size) {
    const std::size_t width = rounds_at_once();
    ahead_.clear();
    for (std::size_t d = lowest_; d < queues_.size() && ahead_.size() < width; ++d)
      for (Queued& e : queues_[d]) {
        if (ahead_.size() == width) break;
        if (!e.round) ahead_.push_back(&e);
      }
    parallel_for_ordered(ahead_.size(), [&](std::size_t i) {
      Queued& e = *ahead_[i];
      Round r;
      try {
        r.items = prover.par_apply_rules(e.id, static_cast<std::uint32_t>(max_size - e.id.len()));
      } catch (...) {
        r.error = std::current_exception();
      }
      e.round.emplace(std::move(r));
    });
  }

  std::uint32_t count_;
  std::size_t lowest_ = 0;  // no bucket below this one holds anything
  std::vector<std::deque<Queued>> queues_;
  std::vector<Queued*> ahead_;
};

// The round of a popped identity; its failure now that the search has reached it.
std::vector<IdentityCirc> take_round(Queued& q) {
  if (q.round->error) std::rethrow_exception(q.round->error);
  return std::move(q.round->items);
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
  Buckets buckets(additional_size);
  IdentitySet visited;
  buckets.push(0, identity);
  visited.insert(identity);
  const std::uint32_t min_size = identity.len();
  const auto max_size = static_cast<std::uint32_t>(min_size + additional_size);
  std::uint32_t counter = 0;

  while (std::optional<Queued> current = buckets.pop(*this, max_size)) {
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
      buckets.push(d, std::move(item));
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
  Buckets buckets(additional_size);
  IdentitySet visited;
  buckets.push(0, identity);
  visited.insert(identity);
  const std::uint32_t min_size = identity.len();
  const auto max_size = static_cast<std::uint32_t>(min_size + additional_size);

  while (std::optional<Queued> current = buckets.pop(*this, max_size)) {
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
      buckets.push(d, std::move(item));
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
