#include "search/check.hpp"

#include <algorithm>
#include <compare>
#include <optional>
#include <ranges>
#include <string>

#include <boost/container/small_vector.hpp>
#include <fmt/format.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

#include "core/panic.hpp"
#include "core/thread_pool.hpp"
#include "search/ecc.hpp"
#include "search/evaluator.hpp"
#include "utils/fmt_join.hpp"

namespace marrowfen {
namespace {

constexpr std::uint64_t bit(std::size_t i) noexcept { return std::uint64_t{1} << (i % 64); }

// ---------------------------------------------------------------------------------------------
// Working lists. The walk, its recursion and the stripping keep their circuits inline for the
// sizes the search builds, so a check allocates nothing per prefix.

using SmallList = boost::container::small_vector<Instr32, 16>;

struct SmallMember {
  SmallList instrs;
  Permut32 perm;
  friend bool operator==(const SmallMember&, const SmallMember&) = default;
};

EccMember to_member(const SmallMember& m) {
  return EccMember{std::vector<Instr32>(m.instrs.begin(), m.instrs.end()), m.perm};
}

// The tuple order of the walk's result: instructions as sequences (a proper prefix first),
// then the raw permutation.
std::strong_ordering compare_lex(const SmallMember& a, const SmallMember& b) noexcept {
  if (auto c = std::lexicographical_compare_three_way(a.instrs.begin(), a.instrs.end(),
                                                      b.instrs.begin(), b.instrs.end());
      c != 0)
    return c;
  return a.perm <=> b.perm;
}

// A stored (newest first) list relabelled through p and put into application order.
void stored_through(const InstrList& circ, Permut32 p, SmallList& out) {
  out.clear();
  for (const Instr32& x : circ) out.push_back(x.permut(p));
  std::reverse(out.begin(), out.end());
}

// A list read from its end with every instruction relabelled through p: the back layer, seen
// after the trailing permutation, becomes the front one.
void reversed_through(std::span<const Instr32> circ, Permut32 p, SmallList& out) {
  out.clear();
  for (auto it = circ.rbegin(); it != circ.rend(); ++it) out.push_back(it->permut(p));
}

// CircTriple::simplify into a reused list: the instructions relabelled through front_perm^-1
// in application order, and back_perm·front_perm.
void simplify_into(const CircTriple& t, SmallMember& out) {
  stored_through(t.circ, t.front_perm.inv(), out.instrs);
  out.perm = t.back_perm * t.front_perm;
}

template <class List>
std::size_t retain(List& circ, std::uint64_t maskf, std::uint64_t maskb) {
  const std::size_t n = circ.size();
  std::size_t kept = 0;
  for (std::size_t i = 0; i < n; ++i)
    if ((maskf & bit(i)) != 0 && (maskb & bit(n - 1 - i)) != 0) circ[kept++] = circ[i];
  circ.resize(kept);
  return n - kept;
}

template <class List>
bool reduce(List& c1, Permut32 p1, List& c2, Permut32 p2) {
  const auto [mask1f, mask2f] = reduce_equivalence_front(c1, c2);
  SmallList r1;
  SmallList r2;
  reversed_through(c1, p1, r1);
  reversed_through(c2, p2, r2);
  const auto [mask1b, mask2b] = reduce_equivalence_front(r1, r2);
  const std::size_t changed1 = retain(c1, mask1f, mask1b);
  const std::size_t changed2 = retain(c2, mask2f, mask2b);
  if (changed1 != changed2)
    stop(fmt::format("mask1f: {:b}, mask1b: {:b}, mask2f: {:b}, mask2b: {:b}", mask1f, mask1b,
                     mask2f, mask2b));
  return changed1 != 0;
}

// ---------------------------------------------------------------------------------------------
// Fingerprints on pool threads.

// The fingerprint of instrs on this thread's own buffers; returns the class key. The pairs
// (perms()) are valid until the next call on this thread: callers read what they need before
// they recurse.
class ThreadFingerprint {
 public:
  static std::uint64_t of(const Evaluator& evaluator, std::span<const Instr32> instrs) {
    return evaluator.fingerprint(instrs, get().scratch_);
  }
  static const PermPairs& perms() { return get().scratch_.perms; }

 private:
  static ThreadFingerprint& get() {
    thread_local ThreadFingerprint t;
    return t;
  }
  EvalScratch scratch_;
};

// ---------------------------------------------------------------------------------------------
// The checks.

// CircuitECC::export_equivalence into the caller's members.
void export_into(const CircuitECC& cls, Permut32 front_perm, std::span<const Instr32> instr_vec,
                 Permut32 back_perm, SmallMember& member, SmallMember& query) {
  const Permut32 finv = front_perm.inv();
  SmallList q;
  for (Instr32 x : instr_vec) q.push_back(x.permut(finv));
  const Permut32 qp = back_perm * front_perm;

  for (const CircTriple& t : cls.circuits) {
    simplify_into(t, member);
    if (member.perm == qp && member.instrs == q) {
      member.instrs.clear();
      query.instrs.clear();
      query.perm = qp;
      return;
    }
    query.instrs = q;
    query.perm = qp;
    if (reduce(member.instrs, member.perm, query.instrs, query.perm)) return;
  }
  stop(fmt::format("No equivalence found during export_equivalence: {} = {} {}",
                   fjoin(cls.circuits | std::views::transform(
                                            [](const CircTriple& t) { return t.display(); }),
                         ", "),
                   fjoin(q, ", "), qp));
}

// RawECCs::checked_equivalent into out.
void checked_into(const RawECCs& map, std::span<const Instr32> instrs, Permut32 perm,
                  const Evaluator& evaluator, SmallMember& out) {
  SmallList vec;
  Permut32 permut = perm;
  SmallMember e1;
  SmallMember e2;
  for (Instr32 instr : instrs) {
    vec.push_back(instr.permut(permut.inv()));
    const CircuitECC* a = map.find(ThreadFingerprint::of(evaluator, vec));
    if (a == nullptr) continue;
    const auto [f, b] = ThreadFingerprint::perms().front();

    export_into(*a, f, vec, b, e1, e2);
    if (!e1.instrs.empty() || !e2.instrs.empty()) {
      SmallMember r1;
      SmallMember r2;
      checked_into(map, e1.instrs, e1.perm, evaluator, r1);
      checked_into(map, e2.instrs, e2.perm, evaluator, r2);
      if (r1 != r2) {
        const Permut32 finv = f.inv();
        stop(fmt::format(
            "Non-deterministic equivalence detected during checked equivalence: \n {} vs {} \n "
            "{} {} vs {} {} \n {} {} vs {} {}",
            a->display(),
            fjoin(vec | std::views::transform([finv](Instr32 x) { return x.permut(finv); }),
                  " "),
            fjoin(e1.instrs, ", "), e1.perm, fjoin(e2.instrs, ", "), e2.perm,
            fjoin(r1.instrs, ", "), r1.perm, fjoin(r2.instrs, ", "), r2.perm));
      }
    }

    // Continue from the representative, written in the frame of this walk.
    const CircTriple& rep = a->circuits[0];
    const Permut32 g = rep.front_perm * f.inv();
    stored_through(rep.circ, g.inv(), vec);
    permut = permut * b.inv() * rep.back_perm * g;
  }

  // The smallest member of the whole input's class, over every pair of its fingerprint.
  const CircuitECC* c = map.find(ThreadFingerprint::of(evaluator, instrs));
  if (c == nullptr) stop("no entry found for key");
  bool have = false;
  SmallMember cand;
  for (const auto& [f, b] : ThreadFingerprint::perms()) {
    const Permut32 finv = f.inv();
    const Permut32 binv = b.inv();
    for (const CircTriple& m : c->circuits) {
      const Permut32 g = m.front_perm * finv;
      stored_through(m.circ, g.inv(), cand.instrs);
      cand.perm = perm * binv * m.back_perm * g;
      if (!have || compare_lex(cand, out) < 0) {
        std::swap(out, cand);
        have = true;
      }
    }
  }
  if (!have) out = SmallMember{};
}

void check_class(const CircuitECC& cls, const RawECCs& ecc1, const Evaluator& evaluator) {
  const ECC e = cls.simplify();
  SmallMember result;
  for (const auto& [instrs, p] : e.members) {
    if (ecc1.find(ThreadFingerprint::of(evaluator, instrs)) == nullptr)
      stop("assertion failed: ecc1.contains_key(&bv.hash_value())");
    checked_into(ecc1, instrs, p, evaluator, result);
  }
}

// ---------------------------------------------------------------------------------------------
// The pool loop.

// libtbb is not built with ThreadSanitizer: the per-slot evaluator copies below pass from one
// task to the next one in the same arena slot through TBB's own ordering, which these marks
// state. Outside ThreadSanitizer builds they are empty.
#if defined(__SANITIZE_THREAD__)
inline void tsan_acquire(const void* p) { __tsan_acquire(const_cast<void*>(p)); }
inline void tsan_release(const void* p) { __tsan_release(const_cast<void*>(p)); }
#else
inline void tsan_acquire(const void*) {}
inline void tsan_release(const void*) {}
#endif

// The evaluator as each pool thread reads it: one copy per arena slot, made by the first thread
// that runs in the slot and kept for the whole call. Reading the caller's evaluator from every
// worker costs more than the copy: its small buffers share cache lines with memory that the
// calling thread keeps writing.
class EvaluatorCopies {
 public:
  explicit EvaluatorCopies(const Evaluator& source)
      : source_(&source), slots_(pool_threads()) {}

  const Evaluator& mine() {
    const int idx = tbb::this_task_arena::current_thread_index();
    if (idx < 0 || static_cast<std::size_t>(idx) >= slots_.size()) return *source_;
    Slot& slot = slots_[static_cast<std::size_t>(idx)];
    tsan_acquire(&slot);
    if (!slot.copy) slot.copy.emplace(source_->clone());
    tsan_release(&slot);
    return *slot.copy;
  }

 private:
  struct alignas(64) Slot {
    std::optional<Evaluator> copy;
  };
  const Evaluator* source_;
  std::vector<Slot> slots_;
};

}  // namespace

// ---------------------------------------------------------------------------------------------

std::pair<std::uint64_t, std::uint64_t> reduce_equivalence_front(std::span<const Instr32> circ1,
                                                                 std::span<const Instr32> circ2) {
  std::uint64_t mask1 = alive_mask(circ1.size());
  std::uint64_t mask2 = alive_mask(circ2.size());
  for (;;) {
    const SurfaceMap s1 = circuit_get_surface_gates_hashmap(circ1, mask1);
    const SurfaceMap s2 = circuit_get_surface_gates_hashmap(circ2, mask2);
    bool found = false;
    for (const auto& [g, i] : s1) {
      if (const std::uint32_t* j = s2.find(g)) {
        mask1 &= ~bit(i);
        mask2 &= ~bit(*j);
        found = true;
      }
    }
    if (!found) return {mask1, mask2};
  }
}

std::size_t retain_by_masks(std::vector<Instr32>& circ1, std::uint64_t mask1f,
                            std::uint64_t mask1b) {
  return retain(circ1, mask1f, mask1b);
}

bool reduce_equivalence(EccMember& circ1, EccMember& circ2) {
  return reduce(circ1.first, circ1.second, circ2.first, circ2.second);
}

std::pair<EccMember, EccMember> CircuitECC::export_equivalence(Permut32 front_perm,
                                                               std::span<const Instr32> instr_vec,
                                                               Permut32 back_perm) const {
  SmallMember member;
  SmallMember query;
  export_into(*this, front_perm, instr_vec, back_perm, member, query);
  return {to_member(member), to_member(query)};
}

EccMember RawECCs::checked_equivalent(std::span<const Instr32> instrs, Permut32 perm,
                                      const Evaluator& evaluator) const {
  SmallMember out;
  checked_into(*this, instrs, perm, evaluator, out);
  return to_member(out);
}

void check_identity_subset_chunked(const RawECCs& self, const RawECCs& ecc1,
                                   const Evaluator& evaluator, std::size_t chunk_size,
                                   const std::function<void(std::size_t)>& on_chunk) {
  chunk_size = std::max<std::size_t>(chunk_size, 1);
  std::vector<const CircuitECC*> chunk;
  chunk.reserve(std::min(chunk_size, self.size()));
  EvaluatorCopies evaluators(evaluator);
  const auto run_chunk = [&] {
    if (on_chunk) on_chunk(chunk.size());
    // The first class of the chunk that fails (in map order) stops the call.
    parallel_for_ordered(chunk.size(), [&](std::size_t i) {
      check_class(*chunk[i], ecc1, evaluators.mine());
    });
    chunk.clear();
  };
  for (const auto& entry : self.inner) {
    chunk.push_back(&entry.second);
    if (chunk.size() == chunk_size) run_chunk();
  }
  if (!chunk.empty()) run_chunk();
}

void RawECCs::check_identity_subset(const RawECCs& ecc1, const Evaluator& evaluator) const {
  check_identity_subset_chunked(*this, ecc1, evaluator, CHECK_CHUNK_SIZE);
}

}  // namespace marrowfen
