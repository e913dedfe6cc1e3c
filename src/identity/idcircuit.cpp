#include "identity/idcircuit.hpp"

#include <span>
#include <utility>

#include <fmt/ranges.h>

#include "core/panic.hpp"
#include "core/rng.hpp"
#include "state/state_vec.hpp"

namespace marrowfen {
namespace {

// "[a, b]", unset entries as 4294967295.
std::string list_debug(const std::vector<std::uint32_t>& v) {
  return fmt::format("[{}]", fmt::join(v, ", "));
}

bool all_set(const std::vector<std::uint32_t>& res) noexcept {
  for (std::uint32_t x : res)
    if (x == IdentityCirc::UNSET) return false;
  return true;
}

// The first argument of `me` whose qubit is q, if that argument has no neighbour yet.
void match(Instr32 me, std::uint8_t q, std::vector<std::uint32_t>& res, std::uint32_t value) {
  const QArgs16 args = me.qargs();
  const std::size_t nargs = args.len();
  for (std::size_t k = 0; k < nargs; ++k) {
    if (args.slots[k] == q) {
      if (res[k] == IdentityCirc::UNSET) res[k] = value;
      return;
    }
  }
}

}  // namespace

IdentityCirc IdentityCirc::create() { return IdentityCirc{Circ::create({}, Permut32{})}; }

IdentityCirc IdentityCirc::unchecked(Circ c) {
  IdentityCirc id{std::move(c)};
  id.check();
  return id;
}

IdentityCirc IdentityCirc::from_circ(Circ c) noexcept { return IdentityCirc{std::move(c)}; }

bool IdentityCirc::check() const {
  // A fresh draw: the thread's generator, advanced by every check.
  ChaCha12& rng = thread_rng();
  const std::uint32_t n = circ.nqubits();
  StateVec a = StateVec::from_random(rng, n);
  StateVec b = a.clone();

  const std::size_t count = circ.instrs.size();
  const std::size_t half = count >> 1;
  for (std::size_t i = 0; i < half; ++i) {
    const Instr32 in = circ.instrs[i];
    const QArgs16 q = in.qargs();
    a.apply(q.as_slice(), in.gate());
  }
  a.normalize_arg();

  b.apply_permutation(circ.perm.inv());
  for (std::size_t i = count; i-- > half;) {
    const Instr32 in = circ.instrs[i];
    const QArgs16 q = in.qargs();
    b.apply(q.as_slice(), in.gate().adjoint());
  }
  b.normalize_arg();

  if (!a.loose_eq(b))
    stop(fmt::format("IdentityCirc: circuit is not identity {} {} {}", a, b, *this));
  return true;
}

std::uint64_t IdentityCirc::hash_value() const noexcept { return circ.hash_value(); }

void IdentityCirc::feed(ContentHasher& h) const noexcept { circ.feed(h); }

std::vector<std::uint32_t> IdentityCirc::qargs_forward(std::uint32_t gate_id) const {
  const std::uint32_t n = len();
  if (gate_id >= n) stop_index_out_of_bounds(n, gate_id);
  const Instr32 me = circ.instrs[gate_id];
  std::vector<std::uint32_t> res(me.qargs().len(), UNSET);

  // Instructions gate_id+1 .. n-1, then 0 .. gate_id carried back across the permutation.
  const Circ r = circ.rotate(static_cast<std::int32_t>(gate_id + 1));
  for (std::uint32_t t = 0; t < n; ++t) {
    if (all_set(res)) break;
    const std::uint32_t value =
        static_cast<std::uint32_t>((std::uint64_t{t} + gate_id + 1) % n);
    for (std::uint8_t q : r.instrs[t].qargs()) match(me, q, res, value);
  }
  if (!all_set(res)) stop(fmt::format("{} {}", display(), list_debug(res)));
  return res;
}

std::vector<std::uint32_t> IdentityCirc::qargs_backward(std::uint32_t gate_id) const {
  const std::uint32_t n = len();
  if (gate_id >= n) stop_index_out_of_bounds(n, gate_id);
  const Instr32 me = circ.instrs[gate_id];
  std::vector<std::uint32_t> res(me.qargs().len(), UNSET);

  // Instructions gate_id .. n-1 carried forward across the permutation, then 0 .. gate_id-1,
  // walked from the end.
  const Circ r = circ.rotate(static_cast<std::int32_t>(gate_id) - static_cast<std::int32_t>(n));
  for (std::uint32_t t = 0; t < n; ++t) {
    if (all_set(res)) break;
    const std::uint32_t value =
        static_cast<std::uint32_t>((std::uint64_t{gate_id} + n - 1 - t) % n);
    for (std::uint8_t q : r.instrs[n - 1 - t].qargs()) match(me, q, res, value);
  }
  if (!all_set(res)) stop(fmt::format("a {} {} {}", display(), r.debug(), gate_id));
  return res;
}

std::uint32_t IdentityCirc::len() const noexcept {
  return static_cast<std::uint32_t>(circ.instrs.size());
}

bool IdentityCirc::is_empty() const noexcept { return circ.instrs.empty(); }

std::uint8_t IdentityCirc::nqubits() const noexcept { return circ.nqubits(); }

std::string IdentityCirc::display() const { return circ.display_as("Identity"); }

std::string IdentityCirc::debug() const { return "IdentityCirc(" + circ.debug() + ")"; }

void IdentityCirc::write_postcard(PostcardWriter& w) const { circ.write_postcard(w); }

IdentityCirc IdentityCirc::read_postcard(PostcardReader& r) {
  return from_circ(Circ::read_postcard(r));
}

}  // namespace marrowfen
