#include "search/evaluator.hpp"

#include <algorithm>
#include <compare>
#include <utility>

#include "core/panic.hpp"
#include "state/order_info.hpp"

namespace marrowfen {

void copy_state_into(const StateVec& src, StateVec& dst) {
  if (dst.len() != src.len()) {
    dst = src.clone();
    return;
  }
  const std::size_t n = src.len();
  std::copy_n(src.re_data(), n, dst.re_data());
  std::copy_n(src.im_data(), n, dst.im_data());
}

Evaluator Evaluator::from_random(ChaCha12& rng, std::uint32_t n) {
  Evaluator e;
  e.initial_state_ = StateVec::from_random_symmetric(rng, n);
  e.backtrack_state_ = StateVec::from_random(rng, n);
  e.backtrack_state_.normalize_arg();
  // The qubit at canonical position i becomes qubit i.
  const Permut32 p = e.backtrack_state_.get_permutation();
  e.backtrack_state_.apply_permutation(p.inv());
  return e;
}

Evaluator Evaluator::random_py(std::uint32_t n) {
  ChaCha12 rng = ChaCha12::from_os();
  return from_random(rng, n);
}

Evaluator Evaluator::clone() const {
  Evaluator e;
  e.initial_state_ = initial_state_.clone();
  e.backtrack_state_ = backtrack_state_.clone();
  return e;
}

std::uint64_t Evaluator::fingerprint(std::span<const Instr32> instrs, EvalScratch& s) const {
  // Forward run, once.
  copy_state_into(initial_state_, s.state);
  for (const Instr32 instr : instrs) s.state.apply(instr);
  s.state.normalize_arg();

  const OrderInfo oi = s.state.get_orderinfo();
  const OrderPerms orders = oi.as_perms();
  s.perms.clear();
  bool have_best = false;

  for (const Permut32 back_perm_inv : orders) {
    const Permut32 back_perm = back_perm_inv.inv();
    copy_state_into(backtrack_state_, s.back);
    s.back.apply_permutation(back_perm_inv);
    // Undo the circuit, last instruction first.
    for (std::size_t i = instrs.size(); i-- > 0;)
      s.back.apply(instrs[i].adjoint());
    s.back.normalize_arg();

    const auto [front_perm, front_perm_eq] = s.back.get_orderinfo().as_bits();
    if (front_perm_eq != 0) stop("Non-deterministic front permutation detected during evaluation");
    s.back.apply_permutation(front_perm.inv());

    if (!have_best) {
      std::swap(s.best, s.back);
      s.perms.emplace_back(front_perm, back_perm);
      have_best = true;
      continue;
    }
    const std::strong_ordering c = s.back <=> s.best;
    if (c < 0) {
      std::swap(s.best, s.back);
      s.perms.clear();
      s.perms.emplace_back(front_perm, back_perm);
    } else if (c == 0) {
      s.perms.emplace_back(front_perm, back_perm);
    }
  }
  return s.best.hash_value();
}

namespace {
EvalScratch& thread_scratch() {
  thread_local EvalScratch scratch;
  return scratch;
}
}  // namespace

std::uint64_t Evaluator::key_of(std::span<const Instr32> instrs, Permut32* front_perm,
                                Permut32* back_perm) const {
  EvalScratch& s = thread_scratch();
  const std::uint64_t key = fingerprint(instrs, s);
  if (front_perm) *front_perm = s.perms.front().first;
  if (back_perm) *back_perm = s.perms.front().second;
  return key;
}

Fingerprint Evaluator::evaluate_multiple(std::span<const Instr32> instrs) const {
  EvalScratch& s = thread_scratch();
  fingerprint(instrs, s);
  return Fingerprint{s.best.clone(), s.perms, s.state.clone()};
}

Evaluation Evaluator::evaluate(std::span<const Instr32> instrs) const {
  EvalScratch& s = thread_scratch();
  fingerprint(instrs, s);
  const PermPair first = s.perms.front();
  return Evaluation{s.best.clone(), first.first, first.second, s.state.clone()};
}

std::uint64_t Evaluator::initial_key() const { return key_of({}); }

}  // namespace marrowfen
