#include "prover/proof.hpp"

#include <algorithm>
#include <functional>
#include <queue>
#include <string>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "core/panic.hpp"
#include "core/progress.hpp"

namespace marrowfen {

namespace {

constexpr const char* UNWRAP_NONE = "called `Option::unwrap()` on a `None` value";

// Membership in the prover's assumption list (exact equality), by content hash first so that
// the expansion of a node does not scan the whole list for every transition.
class AssumeIndex {
 public:
  explicit AssumeIndex(const std::vector<IdentityCirc>& assume) {
    index_.reserve(assume.size());
    for (const IdentityCirc& id : assume) index_.emplace_back(id.hash_value(), &id);
    std::sort(index_.begin(), index_.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
  }

  bool contains(const IdentityCirc& id, std::uint64_t hash) const {
    auto it = std::lower_bound(index_.begin(), index_.end(), hash,
                               [](const auto& e, std::uint64_t h) { return e.first < h; });
    for (; it != index_.end() && it->first == hash; ++it)
      if (*it->second == id) return true;
    return false;
  }

 private:
  std::vector<std::pair<std::uint64_t, const IdentityCirc*>> index_;
};

}  // namespace

// ---- Proof -------------------------------------------------------------------------------------

std::string Proof::display() const {
  fmt::memory_buffer buf;
  auto out = std::back_inserter(buf);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const auto& [identity, dep] = entries[i];
    if (dep)
      fmt::format_to(out, "{}: {} <- {}, {}\n", i, identity, dep->first, dep->second);
    else
      fmt::format_to(out, "{}: {} <- ASSUME\n", i, identity);
  }
  return fmt::to_string(buf);
}

// ---- ProofFuture -------------------------------------------------------------------------------

std::string ProofFuture::debug() const {
  if (const Result* r = result()) {
    if (!r->deps) return "Result(None)";
    return fmt::format("Result(Some(({}, {})))", r->deps->first, r->deps->second);
  }
  const Waiting& w = *waiting();
  fmt::memory_buffer buf;
  auto out = std::back_inserter(buf);
  fmt::format_to(out, "Waiting {{ expanded: {}, notify: [", w.expanded);
  for (std::size_t i = 0; i < w.notify.size(); ++i)
    fmt::format_to(out, "{}({}, {})", i == 0 ? "" : ", ", w.notify[i].first, w.notify[i].second);
  fmt::format_to(out, "] }}");
  return fmt::to_string(buf);
}

// ---- ProofTracker ------------------------------------------------------------------------------

// What one run of `prove` shares with the expansion of its nodes.
struct ProofTracker::Search {
  const IdentityProver& prover;
  const IdentitySet& filter_set;
  std::uint32_t max_size;
  AssumeIndex assume;
  // (instruction count, hash), smallest first.
  std::priority_queue<std::pair<std::uint32_t, std::uint64_t>,
                      std::vector<std::pair<std::uint32_t, std::uint64_t>>, std::greater<>>
      heap;

  bool usable(const IdentityCirc& id) const {
    return prover.proved.contains(id) || filter_set.contains(id);
  }
  // Resolved without premises: an assumption, or the identity without instructions, which is
  // trivially true.
  bool premise_free(const IdentityCirc& id, std::uint64_t hash) const {
    return id.is_empty() || assume.contains(id, hash);
  }
};

bool ProofTracker::prove(const IdentityCirc& identity, const IdentityProver& prover,
                         std::uint32_t additional_size, std::uint32_t count_limit,
                         const IdentitySet& filter_set) {
  Search s{prover, filter_set, static_cast<std::uint32_t>(identity.len() + additional_size),
           AssumeIndex(prover.assume), {}};
  const std::uint64_t initial = identity.hash_value();
  if (s.premise_free(identity, initial)) {
    table_.insert(identity, ProofFuture::result(std::nullopt));
    return true;
  }
  s.heap.emplace(identity.len(), initial);
  table_.insert(identity, ProofFuture());

  std::size_t& counter = worked_on_;
  counter = 0;
  for (;;) {
    if (s.heap.empty()) return false;
    const auto [len, key] = s.heap.top();
    s.heap.pop();
    if (table_.size() > std::size_t{count_limit}) {
      write_stdout_line(fmt::format("Proof search exceeded limit of {} states.", count_limit));
      return false;
    }
    if (prune(key, initial)) {
      if (counter % 50 == 0) {
        const Table::Entry* node = table_.address(key);
        if (!node) stop(UNWRAP_NONE);
        write_stdout_line(
            fmt::format("Exploring {:x} {} {} ({} queued)", key, len, node->first, s.heap.size()));
      }
      expand(key, s);
      ++counter;
    }
    const Table::Entry* start = table_.address(initial);
    if (!start) stop(UNWRAP_NONE);
    if (!start->second.is_waiting()) return true;
  }
}

bool ProofTracker::prune(std::uint64_t key, std::uint64_t initial) const {
  if (key == initial) return true;
  boost::unordered_flat_set<std::uint64_t, IdentityHash> seen;
  seen.insert(key);
  return check_reach(key, initial, seen);
}

// Depth first over the dependents of waiting nodes; every node is looked at once (the first
// time it is met), so the answer is that of the recursive walk, without its stack depth.
bool ProofTracker::check_reach(std::uint64_t key, std::uint64_t initial,
                               boost::unordered_flat_set<std::uint64_t, IdentityHash>& seen) const {
  std::vector<std::uint64_t> stack{key};
  while (!stack.empty()) {
    const std::uint64_t k = stack.back();
    stack.pop_back();
    if (k == initial) return true;
    const Table::Entry* node = table_.address(k);
    if (!node) continue;
    const ProofFuture::Waiting* w = node->second.waiting();
    if (!w) continue;
    for (const auto& [other, dependent] : w->notify)
      if (seen.insert(dependent).second) stack.push_back(dependent);
  }
  return false;
}

void ProofTracker::expand(std::uint64_t key, Search& s) {
  auto node = table_.address_mut(key);
  if (!node) stop(UNWRAP_NONE);
  ProofFuture::Waiting* w = node->second.waiting();
  if (!w || w->expanded) return;
  w->expanded = true;
  // The node's identity is read only by the round, before anything is inserted.
  const IdentityCirc& id = node->first;
  std::vector<std::pair<IdentityCirc, IdentityCirc>> pairs =
      s.prover.par_transition_pairs(id, static_cast<std::uint32_t>(s.max_size - id.len()));

  // One premise of a transition: an assumption or the empty identity is resolved on the spot;
  // otherwise it waits on this node and is queued unless it was expanded already.
  auto take = [&](IdentityCirc& premise, std::uint64_t h, Pair pair, const char* same_as_key) {
    if (s.premise_free(premise, h)) {
      table_.insert(std::move(premise), ProofFuture::result(std::nullopt));
      return;
    }
    const std::uint32_t len = premise.len();
    if (wait(h, std::move(premise), pair)) {
      if (h == key) stop(same_as_key);
      s.heap.emplace(len, h);
    }
  };

  for (auto& [id1, id2] : pairs) {
    if (!s.usable(id1) || !s.usable(id2)) continue;
    const std::uint64_t h1 = id1.hash_value();
    const std::uint64_t h2 = id2.hash_value();
    take(id1, h1, {h2, key}, "assertion failed: id1hash != key");
    take(id2, h2, {h1, key}, "assertion failed: id2hash != key");
    if (notify(h1, h2, key)) break;
  }
}

bool ProofTracker::wait(IdentityCirc identity, Pair pair) {
  const std::uint64_t h = identity.hash_value();
  return wait(h, std::move(identity), pair);
}

bool ProofTracker::wait(std::uint64_t hash, IdentityCirc identity, Pair pair) {
  auto [stored, state] =
      table_.address_or(hash, Table::Entry(std::move(identity), ProofFuture()));
  (void)stored;
  ProofFuture::Waiting* w = state.waiting();
  if (!w) return false;
  w->notify.push_back(pair);
  return !w->expanded;
}

bool ProofTracker::notify(std::uint64_t id0, std::uint64_t id1, std::uint64_t id2) {
  // Resolves c from a and b when it can, handing back c's waiting list.
  auto resolve = [this](std::uint64_t a, std::uint64_t b, std::uint64_t c,
                        std::vector<Pair>& taken) {
    const Table::Entry* na = table_.address(a);
    const Table::Entry* nb = table_.address(b);
    auto nc = table_.address_mut(c);
    if (!na || !nb || !nc) return false;
    if (na->second.is_waiting() || nb->second.is_waiting()) return false;
    ProofFuture::Waiting* w = nc->second.waiting();
    if (!w) return false;
    taken = std::move(w->notify);
    nc->second = ProofFuture::result(Pair{a, b});
    return true;
  };

  std::vector<Pair> first;
  if (!resolve(id0, id1, id2, first)) return false;

  // The resolution spreads depth first, each resolved node's waiting list in order, exactly
  // as nested calls would take it, but on an explicit stack.
  struct Frame {
    std::uint64_t node;
    std::vector<Pair> list;
    std::size_t next = 0;
  };
  std::vector<Frame> stack;
  stack.push_back(Frame{id2, std::move(first)});
  while (!stack.empty()) {
    Frame& f = stack.back();
    if (f.next == f.list.size()) {
      stack.pop_back();
      continue;
    }
    const auto [other, dependent] = f.list[f.next++];
    const std::uint64_t node = f.node;
    std::vector<Pair> taken;
    if (resolve(node, other, dependent, taken)) stack.push_back(Frame{dependent, std::move(taken)});
  }

  const Table::Entry* n2 = table_.address(id2);
  if (!n2 || n2->second.is_waiting())
    stop("assertion failed: matches!(self.0.address(id2).unwrap().1, ProofFuture::Result(_))");
  return true;
}

Proof ProofTracker::export_(std::uint64_t key) const {
  boost::unordered_flat_map<std::uint64_t, std::uint32_t, IdentityHash> map;
  export_inner(key, map);
  std::vector<ProofEntry> result(map.size(), ProofEntry(IdentityCirc::create(), std::nullopt));
  auto index_of = [&](std::uint64_t h) {
    auto it = map.find(h);
    if (it == map.end()) stop("no entry found for key");
    return it->second;
  };
  for (const auto& [h, index] : map) {
    const Table::Entry* node = table_.address(h);
    if (!node) stop(UNWRAP_NONE);
    const ProofFuture::Result* r = node->second.result();
    if (!r) stop(fmt::format("({}, {})", node->first.debug(), node->second.debug()));
    ProofDependency dep;
    if (r->deps) dep = std::pair(index_of(r->deps->first), index_of(r->deps->second));
    result[index] = ProofEntry(node->first, dep);
  }
  return Proof{std::move(result)};
}

// Pre-order from `key`: the node takes the next free index, then its left premise's subtree,
// then its right premise's, each premise only the first time it is reached. Iterative, so a
// long derivation chain needs no deep stack.
void ProofTracker::export_inner(
    std::uint64_t key,
    boost::unordered_flat_map<std::uint64_t, std::uint32_t, IdentityHash>& map) const {
  auto number = [&map](std::uint64_t k) {
    const auto index = static_cast<std::uint32_t>(map.size());
    map[k] = index;
  };
  struct Frame {
    std::uint64_t node;
    int stage;  // 0: left premise next, 1: right premise next, 2: done
  };
  number(key);
  std::vector<Frame> stack{{key, 0}};
  while (!stack.empty()) {
    Frame& f = stack.back();
    const Table::Entry* node = table_.address(f.node);
    const ProofFuture::Result* r = node ? node->second.result() : nullptr;
    if (!r || !r->deps || f.stage == 2) {
      stack.pop_back();
      continue;
    }
    const std::uint64_t premise = f.stage == 0 ? r->deps->first : r->deps->second;
    ++f.stage;
    if (!map.contains(premise)) {
      number(premise);
      stack.push_back({premise, 0});
    }
  }
}

// ---- export ------------------------------------------------------------------------------------

std::optional<Proof> export_proof(const IdentityProver& prover, IdentityCirc identity,
                                  std::uint32_t additional_size, std::uint32_t count_limit) {
  auto [open, visited] = prover.prove_identity_with_visited(identity, additional_size, count_limit);
  if (open) return std::nullopt;
  ProofTracker tracker;
  if (!tracker.prove(identity, prover, additional_size, count_limit, visited))
    stop("Failed to export proof for proved identity");
  return tracker.export_(identity.hash_value());
}

}  // namespace marrowfen
