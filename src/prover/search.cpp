// The bounded identity searches: breadth first over rewrite rounds, shortest identities
// first, within `additional_size` extra instructions and a budget of `count_limit`.
//
// Both searches (add_identity_search, prove_identity_with_visited) are one bounded_search that
// tells how it ended; they differ only in what the budget counts and in what they make of the
// end. The buckets hold identities by their length above the start's: bucket d holds
// identities of exactly min_size + d instructions, first in first out. There are
// additional_size + 1 of them (32-bit arithmetic, so 4294967295 leaves none); only the ones
// that get used are made. The rounds of the identities next in line are computed in parallel
// steps while the search takes the rounds computed before (Queue), strictly in the order of
// the sequential search.
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

// Where a queued identity's round stands. Written only by the thread that called the search,
// between its parallel steps: `computing` when the round is chosen for the coming step,
// `ready` once that step has returned.
enum class RoundState : std::uint8_t {
  queued,     // no step has computed the round
  computing,  // the running step computes it; only the item that does so touches the round
  ready,      // computed by an earlier step: the search may take it
};

// A queued identity and its rewrite round (of `max_size` minus its length extra instructions),
// once computed, with whether each of its results is accepted already.
struct Slot {
  explicit Slot(IdentityCirc i) : id(std::move(i)) {}

  IdentityCirc id;
  RoundState state = RoundState::queued;
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
// search runs as a sequence of parallel steps of two kinds. When the identity coming up has
// no round yet, the search waits: a step computes that round and the rounds next in line
// (wait_for_coming_round). Otherwise the first item of the step is the search itself, beside
// the rounds next in line (search_beside_rounds): it takes the identities in search order
// whose rounds are ready, handling their results exactly as one round at a time, until it
// meets an identity whose round is not ready, or ends. Every other item computes the round of
// one `computing` slot, which the search neither takes nor writes before the step is over.
// Before a step the slots it computes are marked `computing` (choose_batch), after it `ready`
// (mark_ready), both on the thread that called `run` and outside the step, so the search,
// whichever thread runs it, reads states that nobody writes while the step runs. A round that
// the search never reaches is dropped unused, failures included. Each step has ended when
// `run` returns, so nothing computed for the search outlives it.
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
    while (queues_.size() <= d) queues_.emplace_back();
    queues_[d].emplace_back(std::move(id));
    if (d < lowest_) lowest_ = d;
  }

  // Runs the search: handle(slot) for every identity in search order, its round computed
  // (take_round), until handle returns false or nothing is left. Between steps no slot is
  // `computing`, so the identity coming up is queued or ready.
  template <class Handle>
  void run(Handle&& handle) {
    while (const Slot* next = front()) {
      if (next->state == RoundState::queued) {
        wait_for_coming_round();
      } else if (!search_beside_rounds(handle)) {
        return;
      }
    }
  }

 private:
  // A step without the search, which waits for the round of the identity coming up: that
  // round, first in search order of the queued ones, leads the batch; the rounds next in line
  // follow it. A round alone in its step spreads its cuts over the pool.
  void wait_for_coming_round() {
    choose_batch();
    const std::size_t spread_from = round_spread();
    parallel_for_ordered(batch_.size(),
                         [&](std::size_t i) { compute_round(*batch_[i], spread_from); });
    mark_ready();
  }

  // A step whose first item is the search, over the rounds that are ready, and whose other
  // items compute the rounds next in line; false once the search has ended. The rounds of a
  // step that ends the search are not marked: nothing takes them.
  template <class Handle>
  bool search_beside_rounds(Handle& handle) {
    choose_batch();
    const std::size_t spread_from = round_spread();
    bool go_on = true;
    parallel_for_ordered(batch_.size() + 1, [&](std::size_t i) {
      if (i == 0) {
        go_on = take_ready(handle);
        ended_.store(!go_on, std::memory_order_relaxed);
      } else if (!ended_.load(std::memory_order_relaxed)) {
        compute_round(*batch_[i - 1], spread_from);
      }
    });
    if (go_on) mark_ready();
    return go_on;
  }

  // The next identity in search order, or none.
  Slot* front() {
    for (; lowest_ < queues_.size(); ++lowest_)
      if (!queues_[lowest_].empty()) return &queues_[lowest_].front();
    return nullptr;
  }

  // Chooses the rounds of the coming step: the next queued identities in search order, up to
  // the size of this step, marked `computing`.
  void choose_batch() {
    batch_.clear();
    const std::size_t want = next_batch_;
    next_batch_ = std::min(largest_batch_, 2 * next_batch_);
    for (std::size_t d = lowest_; d < queues_.size() && batch_.size() < want; ++d)
      for (Slot& slot : queues_[d]) {
        if (batch_.size() == want) break;
        if (slot.state != RoundState::queued) continue;
        slot.state = RoundState::computing;
        batch_.push_back(&slot);
      }
  }

  // Once the step has returned: its rounds are there for the search.
  void mark_ready() {
    for (Slot* slot : batch_) slot->state = RoundState::ready;
  }

  // The cuts from which a round of the coming step spreads over the pool: few when it is the
  // step's only round.
  std::size_t round_spread() const {
    return batch_.size() == 1 ? IdentityProver::SPREAD_OFTEN : IdentityProver::SPREAD_SELDOM;
  }

  // Hands the identities whose rounds are ready to the search, in search order; false once
  // the search has ended.
  template <class Handle>
  bool take_ready(Handle& handle) {
    while (Slot* next = front()) {
      if (next->state != RoundState::ready) return true;
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
  std::vector<Slot*> batch_;  // the slots that the current step computes, in search order
  std::atomic<bool> ended_{false};  // the search has ended: rounds not begun are not needed
  std::size_t lowest_ = 0;  // no bucket below this one holds anything
  // The buckets, by length above the start's. Items of a step hold pointers to their slots
  // while the search, beside them, adds buckets (emplace_back on the outer deque), queues
  // identities (emplace_back on a bucket) and takes ready ones (pop_front on the lowest
  // bucket). None of these moves any other element of a std::deque or ends its life, so the
  // slots being computed stay where they are. A vector of buckets may copy them when it grows
  // (the move of a std::deque is not noexcept), putting every slot elsewhere.
  std::deque<std::deque<Slot>> queues_;
};

// The round of an identity the search has reached; its failure now.
std::vector<IdentityCirc> take_round(Slot& slot) {
  if (slot.error) std::rethrow_exception(slot.error);
  return std::move(slot.items);
}

void check_bound(const IdentityCirc& id, std::uint32_t max_size) {
  if (id.len() > max_size) stop("assertion failed: new_id.len() <= max_size");
}

// What a search's `count_limit` bounds.
enum class Budget {
  queued,   // the identities queued: the search gives up on push count_limit + 1
  visited,  // the identities visited, the start included: it gives up once there are more
            // than count_limit after a push
};

// How a search ended.
enum class SearchEnd {
  shorter,    // it reached an identity shorter than the start
  accepted,   // it reached an identity in `proved`
  exhausted,  // nothing was left to search
  limit,      // the budget ran out
};

struct SearchResult {
  SearchEnd end;
  IdentityCirc shorter;  // the identity reached, when `end` is shorter
  IdentitySet visited;
};

// The bounded search from `start`, a non-empty identity. Each result of a round, in order: its
// length is checked against the bound; one met before is skipped; a shorter one, then an
// accepted one, ends the search; otherwise it is queued and the budget checked.
SearchResult bounded_search(const IdentityProver& prover, const IdentityCirc& start,
                            std::uint32_t additional_size, std::uint32_t count_limit,
                            Budget budget) {
  const std::uint32_t min_size = start.len();
  const auto max_size = static_cast<std::uint32_t>(min_size + additional_size);
  Queue queue(prover, additional_size, max_size);
  SearchResult r{SearchEnd::exhausted, {}, {}};
  queue.push(0, start);
  r.visited.insert(start);
  std::size_t queued = 0;

  queue.run([&](Slot& current) {
    std::vector<IdentityCirc> next = take_round(current);
    for (std::size_t k = 0; k < next.size(); ++k) {
      IdentityCirc& item = next[k];
      check_bound(item, max_size);
      if (!r.visited.insert(item).second) continue;  // met before
      if (item.len() < min_size) {
        r.end = SearchEnd::shorter;
        r.shorter = std::move(item);
        return false;
      }
      if (current.accepted[k]) {
        r.end = SearchEnd::accepted;
        return false;
      }
      const std::uint32_t d = item.len() - min_size;
      queue.push(d, std::move(item));
      ++queued;
      const std::size_t spent = budget == Budget::queued ? queued : r.visited.size();
      if (spent > std::size_t{count_limit}) {
        r.end = SearchEnd::limit;
        return false;
      }
    }
    return true;
  });
  return r;
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
  SearchResult r = bounded_search(*this, identity, additional_size, count_limit, Budget::queued);
  switch (r.end) {
    case SearchEnd::shorter: {
      // Added once the search is over.
      const bool assumed = add_identity(std::move(r.shorter), additional_size, count_limit);
      return {std::move(r.visited), assumed};
    }
    case SearchEnd::accepted:
      return {std::move(r.visited), false};
    case SearchEnd::exhausted:
    case SearchEnd::limit:
      break;
  }
  assume.push_back(std::move(identity));
  return {std::move(r.visited), true};
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
  SearchResult r = bounded_search(*this, identity, additional_size, count_limit, Budget::visited);
  switch (r.end) {
    case SearchEnd::shorter: {
      // Searched once this search is over.
      auto [result, inner] =
          prove_identity_with_visited(std::move(r.shorter), additional_size, count_limit);
      r.visited.insert(inner.begin(), inner.end());
      return {std::move(result), std::move(r.visited)};
    }
    case SearchEnd::accepted:
      return {std::nullopt, std::move(r.visited)};
    case SearchEnd::exhausted:
    case SearchEnd::limit:
      break;
  }
  return {std::move(identity), std::move(r.visited)};
}

std::optional<IdentityCirc> IdentityProver::prove_identity(IdentityCirc identity,
                                                           std::uint32_t additional_size,
                                                           std::uint32_t count_limit) const {
  return prove_identity_with_visited(std::move(identity), additional_size, count_limit).first;
}

}  // namespace marrowfen
