#include "search/check.hpp"

#include <algorithm>
#include <ranges>
#include <string>

#include <boost/container/small_vector.hpp>
#include <fmt/format.h>
#include <tbb/parallel_for.h>

#include "core/panic.hpp"
#include "core/thread_pool.hpp"
#include "search/ecc.hpp"
#include "search/evaluator.hpp"
#include "utils/fmt_join.hpp"

namespace marrowfen {
namespace {

constexpr std::uint64_t bit(std::size_t i) noexcept { return std::uint64_t{1} << (i % 64); }

// A list reversed with every instruction relabelled through p (the back layer becomes the
// front one, in the frame after the trailing permutation). Inline for the circuit sizes of the
// search.
using ScratchList = boost::container::small_vector<Instr32, 32>;

void reversed_through(std::span<const Instr32> circ, Permut32 p, ScratchList& out) {
  out.clear();
  for (auto it = circ.rbegin(); it != circ.rend(); ++it) out.push_back(it->permut(p));
}

// The stored list of a member relabelled through ginv and put into application order.
void stored_through(const InstrList& circ, Permut32 ginv, std::vector<Instr32>& out) {
  out.clear();
  for (const Instr32& x : circ) out.push_back(x.permut(ginv));
  std::reverse(out.begin(), out.end());
}

// This thread's buffers for the final fingerprint of checked_equivalent. Used only between the
// fingerprint call and the choice of the smallest candidate, where nothing recurses.
EvalScratch& final_scratch() {
  thread_local EvalScratch scratch;
  return scratch;
}

// libtbb is not built with ThreadSanitizer, so under it the ordering that the pool gives
// between threads is invisible. These marks state it: everything the caller did before a
// chunk happens before every body of it, and every body (also one that stops) before the
// caller goes on; a range or loop body that one thread splits or copies happens before its use
// on the thread that steals it. They add no ordering between bodies, so races between workers are still
// seen. Outside ThreadSanitizer builds they are empty.
#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_acquire(void* addr);
extern "C" void __tsan_release(void* addr);
inline void tsan_acquire(const void* p) { __tsan_acquire(const_cast<void*>(p)); }
inline void tsan_release(const void* p) { __tsan_release(const_cast<void*>(p)); }
#else
inline void tsan_acquire(const void*) {}
inline void tsan_release(const void*) {}
#endif

struct PoolHandOff {
  void before_loop() { tsan_release(&start); }
  void body_begin() { tsan_acquire(&start); }
  void body_end() { tsan_release(&done); }
  void after_loop() { tsan_acquire(&done); }
  char start = 0, done = 0;
};

// The class indices of one chunk as a pool range (split in halves down to one class).
class ClassRange {
 public:
  ClassRange(std::size_t lo, std::size_t hi) noexcept : lo_(lo), hi_(hi) { tsan_release(this); }
  ClassRange(const ClassRange& o) noexcept : lo_(o.lo()), hi_(o.hi()) { tsan_release(this); }
  ClassRange& operator=(const ClassRange&) = delete;
  // The upper half moves here, the lower half stays in o.
  ClassRange(ClassRange& o, tbb::split) noexcept
      : lo_(o.lo() + (o.hi() - o.lo()) / 2), hi_(o.hi()) {
    o.hi_ = lo_;
    tsan_release(&o);
    tsan_release(this);
  }
  bool empty() const noexcept { return lo() >= hi(); }
  bool is_divisible() const noexcept { return hi() - lo() > 1; }
  std::size_t lo() const noexcept {
    tsan_acquire(this);
    return lo_;
  }
  std::size_t hi() const noexcept {
    tsan_acquire(this);
    return hi_;
  }

 private:
  std::size_t lo_;
  std::size_t hi_;
};

void check_class(const CircuitECC& cls, const RawECCs& ecc1, const Evaluator& evaluator) {
  const ECC e = cls.simplify();
  for (const auto& [instrs, p] : e.members) {
    if (ecc1.find(evaluator.key_of(instrs)) == nullptr)
      stop("assertion failed: ecc1.contains_key(&bv.hash_value())");
    (void)ecc1.checked_equivalent(instrs, p, evaluator);
  }
}

// The loop body of one chunk; the pool copies it for every task that it splits off.
class CheckChunk {
 public:
  CheckChunk(std::span<const CircuitECC* const> classes, const RawECCs& ecc1,
             const Evaluator& evaluator, PoolHandOff& hand_off) noexcept
      : classes_(classes), ecc1_(&ecc1), evaluator_(&evaluator), hand_off_(&hand_off) {
    tsan_release(this);
  }
  CheckChunk(const CheckChunk& o) noexcept {
    tsan_acquire(&o);
    classes_ = o.classes_;
    ecc1_ = o.ecc1_;
    evaluator_ = o.evaluator_;
    hand_off_ = o.hand_off_;
    tsan_release(this);
  }
  CheckChunk& operator=(const CheckChunk&) = delete;

  void operator()(const ClassRange& r) const {
    tsan_acquire(this);
    hand_off_->body_begin();
    struct BodyEnd {
      PoolHandOff* h;
      ~BodyEnd() { h->body_end(); }
    } end{hand_off_};
    for (std::size_t i = r.lo(), hi = r.hi(); i != hi; ++i)
      check_class(*classes_[i], *ecc1_, *evaluator_);
  }

 private:
  std::span<const CircuitECC* const> classes_;
  const RawECCs* ecc1_ = nullptr;
  const Evaluator* evaluator_ = nullptr;
  PoolHandOff* hand_off_ = nullptr;
};

}  // namespace

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
  const std::size_t n = circ1.size();
  std::size_t kept = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if ((mask1f & bit(i)) != 0 && (mask1b & bit(n - 1 - i)) != 0) circ1[kept++] = circ1[i];
  }
  circ1.resize(kept);
  return n - kept;
}

bool reduce_equivalence(EccMember& circ1, EccMember& circ2) {
  auto& [c1, p1] = circ1;
  auto& [c2, p2] = circ2;
  const auto [mask1f, mask2f] = reduce_equivalence_front(c1, c2);
  ScratchList r1;
  ScratchList r2;
  reversed_through(c1, p1, r1);
  reversed_through(c2, p2, r2);
  const auto [mask1b, mask2b] = reduce_equivalence_front(r1, r2);
  const std::size_t changed1 = retain_by_masks(c1, mask1f, mask1b);
  const std::size_t changed2 = retain_by_masks(c2, mask2f, mask2b);
  if (changed1 != changed2)
    stop(fmt::format("mask1f: {:b}, mask1b: {:b}, mask2f: {:b}, mask2b: {:b}", mask1f, mask1b,
                     mask2f, mask2b));
  return changed1 != 0;
}

std::pair<EccMember, EccMember> CircuitECC::export_equivalence(Permut32 front_perm,
                                                               std::span<const Instr32> instr_vec,
                                                               Permut32 back_perm) const {
  const Permut32 finv = front_perm.inv();
  std::vector<Instr32> q;
  q.reserve(instr_vec.size());
  for (Instr32 x : instr_vec) q.push_back(x.permut(finv));
  const Permut32 qp = back_perm * front_perm;

  for (const CircTriple& member : circuits) {
    EccMember m = member.simplify();
    if (m.second == qp && m.first == q) return {{{}, m.second}, {{}, qp}};
    EccMember query{q, qp};
    if (reduce_equivalence(m, query)) return {std::move(m), std::move(query)};
  }
  stop(fmt::format("No equivalence found during export_equivalence: {} = {} {}",
                   fjoin(circuits | std::views::transform(
                                        [](const CircTriple& t) { return t.display(); }),
                         ", "),
                   fjoin(q, ", "), qp));
}

EccMember RawECCs::checked_equivalent(std::span<const Instr32> instrs, Permut32 perm,
                                      const Evaluator& evaluator) const {
  std::vector<Instr32> vec;
  vec.reserve(instrs.size());
  Permut32 permut = perm;
  for (Instr32 instr : instrs) {
    vec.push_back(instr.permut(permut.inv()));
    Permut32 f;
    Permut32 b;
    const CircuitECC* a = find(evaluator.key_of(vec, &f, &b));
    if (a == nullptr) continue;

    auto [e1, e2] = a->export_equivalence(f, vec, b);
    if (!e1.first.empty() || !e2.first.empty()) {
      const EccMember r1 = checked_equivalent(e1.first, e1.second, evaluator);
      const EccMember r2 = checked_equivalent(e2.first, e2.second, evaluator);
      if (r1 != r2) {
        const Permut32 finv = f.inv();
        stop(fmt::format(
            "Non-deterministic equivalence detected during checked equivalence: \n {} vs {} \n "
            "{} {} vs {} {} \n {} {} vs {} {}",
            a->display(),
            fjoin(vec | std::views::transform([finv](Instr32 x) { return x.permut(finv); }),
                  " "),
            fjoin(e1.first, ", "), e1.second, fjoin(e2.first, ", "), e2.second,
            fjoin(r1.first, ", "), r1.second, fjoin(r2.first, ", "), r2.second));
      }
    }

    // Continue from the representative, written in the frame of this walk.
    const CircTriple& rep = a->circuits[0];
    const Permut32 g = rep.front_perm * f.inv();
    stored_through(rep.circ, g.inv(), vec);
    permut = permut * b.inv() * rep.back_perm * g;
  }

  // The smallest member of the whole input's class, over every pair of its fingerprint.
  EvalScratch& s = final_scratch();
  const CircuitECC* c = find(evaluator.fingerprint(instrs, s));
  if (c == nullptr) stop("no entry found for key");
  EccMember best;
  EccMember cand;
  bool have = false;
  for (const auto& [f, b] : s.perms) {
    const Permut32 finv = f.inv();
    const Permut32 binv = b.inv();
    for (const CircTriple& m : c->circuits) {
      const Permut32 g = m.front_perm * finv;
      stored_through(m.circ, g.inv(), cand.first);
      cand.second = perm * binv * m.back_perm * g;
      if (!have || compare_members_lex(cand, best) < 0) {
        std::swap(best, cand);
        have = true;
      }
    }
  }
  return best;
}

void check_identity_subset_chunked(const RawECCs& self, const RawECCs& ecc1,
                                   const Evaluator& evaluator, std::size_t chunk_size,
                                   const std::function<void(std::size_t)>& on_chunk) {
  chunk_size = std::max<std::size_t>(chunk_size, 1);
  std::vector<const CircuitECC*> chunk;
  chunk.reserve(std::min(chunk_size, self.size()));
  PoolHandOff hand_off;
  const auto run_chunk = [&] {
    if (on_chunk) on_chunk(chunk.size());
    hand_off.before_loop();
    struct AfterLoop {
      PoolHandOff& h;
      ~AfterLoop() { h.after_loop(); }
    } after{hand_off};
    // A stop in any body cancels the rest of the chunk and is rethrown here by the pool.
    run_in_pool([&] {
      tbb::parallel_for(ClassRange(0, chunk.size()),
                        CheckChunk(chunk, ecc1, evaluator, hand_off));
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
