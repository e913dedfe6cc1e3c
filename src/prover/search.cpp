// The bounded identity searches: breadth first over rewrite rounds, shortest identities
// first, within `additional_size` extra instructions and a budget of `count_limit`.
//
// The buckets hold identities by their length above the start's: bucket d holds identities of
// exactly min_size + d instructions, first in first out. There are additional_size + 1 of them
// (32-bit arithmetic, so 4294967295 leaves none); only the ones that get used are allocated.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <utility>
#include <vector>

#include "core/panic.hpp"
#include "prover/prover.hpp"

namespace marrowfen {
namespace {

class Buckets {
 public:
  explicit Buckets(std::uint32_t additional_size)
      : count_(static_cast<std::uint32_t>(additional_size + 1u)) {}

  void push(std::uint32_t d, IdentityCirc id) {
    if (d >= count_) stop_index_out_of_bounds(count_, d);
    if (d >= queues_.size()) queues_.resize(std::size_t{d} + 1);
    queues_[d].push_back(std::move(id));
    if (d < lowest_) lowest_ = d;
  }

  // The front of the first non-empty bucket, or nothing when all are empty.
  std::optional<IdentityCirc> pop() {
    for (; lowest_ < queues_.size(); ++lowest_) {
      std::deque<IdentityCirc>& q = queues_[lowest_];
      if (!q.empty()) {
        IdentityCirc id = std::move(q.front());
        q.pop_front();
        return id;
      }
    }
    return std::nullopt;
  }

 private:
  std::uint32_t count_;
  std::size_t lowest_ = 0;  // no bucket below this one holds anything
  std::vector<std::deque<IdentityCirc>> queues_;
};

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

  while (std::optional<IdentityCirc> current = buckets.pop()) {
    std::vector<IdentityCirc> next =
        par_apply_rules(*current, static_cast<std::uint32_t>(max_size - current->len()));
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

  while (std::optional<IdentityCirc> current = buckets.pop()) {
    std::vector<IdentityCirc> next =
        par_apply_rules(*current, static_cast<std::uint32_t>(max_size - current->len()));
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
