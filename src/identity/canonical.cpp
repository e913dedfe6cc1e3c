// Canonical forms of circuits: minima over every relabelling of the qubits (and, for
// identities, every rotation that starts at an instruction on qubit 0) in the Circ order.
//
// Each candidate is built into one reused scratch buffer, normalised there (neighbours on
// disjoint qubits put into order, idle trailing wires cut from the permutation) and compared in
// place with the best so far; a winner's buffer is swapped with the best one. The buffers are
// the calling thread's and keep their capacity, so a call allocates only its prepared input and
// its result: nothing per relabelling or per candidate.
#include <algorithm>
#include <array>
#include <span>
#include <utility>
#include <vector>

#include "identity/canonical.hpp"

#include "circ/gate.hpp"
#include "core/panic.hpp"
#include "identity/circuit.hpp"
#include "identity/idcircuit.hpp"

namespace marrowfen {

namespace {

// A candidate instruction packed for the search: its order key (Instr32::order_key) above its
// 8-bit qubit mask. Comparing two packed values compares the keys, since equal keys have equal
// masks; two instructions are disjoint when their low bytes share no bit.
using Packed = std::uint64_t;

inline Packed pack(Instr32 in) noexcept {
  // Instr32::arg_mask without the walk over the present qubits.
  const unsigned s0 = in.slot(0);
  const unsigned s1 = in.slot(1);
  unsigned mask = 0;
  if (s0 != Instr32::EMPTY) {
    mask = 1u << (s0 & 7u);
    if (s1 != Instr32::EMPTY) mask |= 1u << (s1 & 7u);
  }
  return (Packed{in.order_key()} << 8) | mask;
}

inline Instr32 unpack(Packed v) noexcept {
  const auto key = static_cast<std::uint32_t>(v >> 8);
  return Instr32::from_raw((key & Instr32::GATE_MASK) | ((key >> 24) << Instr32::SLOT0_SHIFT) |
                           (((key >> 16) & 0xFF) << Instr32::SLOT1_SHIFT));
}

// Instr32::permut for an instruction whose qubits are below 8, as every qubit of a prepared
// circuit is (its permutation has at most 8 entries and covers them).
inline Instr32 relabel(Instr32 in, Permut32 p) noexcept {
  const std::uint8_t s0 = in.slot(0);
  if (s0 == Instr32::EMPTY) return in;
  const std::uint8_t s1 = in.slot(1);
  const std::uint32_t r0 = p.entry(s0 & 7u);
  const std::uint32_t r1 = s1 == Instr32::EMPTY ? Instr32::EMPTY : p.entry(s1 & 7u);
  return Instr32::from_raw((in.raw & Instr32::GATE_MASK) | (r0 << Instr32::SLOT0_SHIFT) |
                           (r1 << Instr32::SLOT1_SHIFT));
}

// The one insertion pass of Circ::reorder_instrs, in place: instruction i moves towards the
// front while it is smaller than its neighbour and disjoint from it. The moving instruction
// stays in a register; its neighbours shift up behind it.
inline void reorder_in_place(Packed* v, std::size_t len) noexcept {
  for (std::size_t i = 1; i < len; ++i) {
    const Packed x = v[i];
    std::size_t j = i;
    for (; j > 0; --j) {
      const Packed a = v[j - 1];
      if ((a & x & 0xFF) != 0 || x >= a) break;
      v[j] = a;
    }
    v[j] = x;
  }
}

// Lexicographic comparison of two packed lists of equal length.
inline int compare_packed(const Packed* a, const Packed* b, std::size_t len) noexcept {
  for (std::size_t i = 0; i < len; ++i)
    if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
  return 0;
}

// The largest qubit byte of either slot (255 is an empty slot), or -1.
inline int max_slot_qubit(Instr32 in) noexcept {
  int m = -1;
  const std::uint8_t s0 = in.slot(0);
  const std::uint8_t s1 = in.slot(1);
  if (s0 != Instr32::EMPTY) m = s0;
  if (s1 != Instr32::EMPTY && s1 > m) m = s1;
  return m;
}

// The largest position that the permutation moves, or -1.
inline int largest_moved(Permut32 p) noexcept {
  for (unsigned i = p.len(); i-- > 0;)
    if (p.entry(i) != i) return static_cast<int>(i);
  return -1;
}

// Circ::compact_qubits on the permutation of a circuit with instructions, given the largest
// qubit the instructions use and the largest wire the permutation moves.
inline Permut32 compacted(Permut32 p, int max_qubit, int moved) {
  const int m = max_qubit > moved ? max_qubit : moved;
  if (m < 0) return p;
  const unsigned keep = static_cast<unsigned>(m) + 1;
  if (keep >= p.len()) return p;
  std::array<std::uint8_t, 8> entries{};
  for (unsigned i = 0; i < keep; ++i) entries[i] = p.entry(i);
  return Permut32::from_iter(std::span<const std::uint8_t>(entries.data(), keep));
}

// The input cut to its affected wires, then its SWAP instructions folded into the permutation.
Circ prepare(const Circ& c) { return c.compact_qubits().remove_swaps(); }

// prepare() in place. Without SWAP instructions the folding changes nothing but still checks
// every qubit against the permutation, in instruction and slot order, as Circ::remove_swaps.
void prepare_in_place(Circ& c) {
  c = std::move(c).compact_qubits();
  bool swaps = false;
  for (Instr32 in : c.instrs) swaps |= in.gate() == gates::SWAP;
  if (swaps) {
    c = c.remove_swaps();
    return;
  }
  const std::uint8_t n = c.perm.len();
  for (Instr32 in : c.instrs)
    for (std::uint8_t q : in.qargs())
      if (q >= n) stop_index_out_of_bounds(n, q);
}

void unpack_into(const std::vector<Packed>& v, Permut32 perm, Circ& out) {
  out.instrs.resize(v.size());
  for (std::size_t i = 0; i < v.size(); ++i) out.instrs[i] = unpack(v[i]);
  out.perm = perm;
}

Circ unpack_circ(const std::vector<Packed>& v, Permut32 perm) {
  Circ out;
  unpack_into(v, perm, out);
  return out;
}

// The check of Circ::create.
void check_qubits(const Circ& c) {
  int m = -1;
  for (Instr32 in : c.instrs) m = std::max(m, max_slot_qubit(in));
  if (m >= 0 && m >= static_cast<int>(c.perm.len()))
    stop("Permutation length must be greater than the max qubit index.");
}

// The front of the reordered list of v[0..len) (reorder_in_place), moved to v[0] with the rest
// kept in their order behind it; the rest then reorders to the remainder of the list. An
// instruction ends at the front exactly when, on its insertion, it is disjoint from and smaller
// than every instruction before it, and the front is the last such one (the first instruction
// when no other is). Every later instruction stops before reaching it, at the place where it
// would stop were the front not there, so taking the front out leaves the pass over the others
// as it was. `full` holds every qubit bit of v and `idle` tells whether an instruction without
// qubits may be there: once the instructions seen use every bit, no later one can move up.
inline Packed pop_front_reordered(Packed* v, std::size_t len, unsigned full, bool idle) noexcept {
  std::size_t t = 0;
  Packed lo = v[0];
  unsigned seen = static_cast<unsigned>(v[0] & 0xFF);
  for (std::size_t i = 1; i < len; ++i) {
    if (seen == full && !idle) break;
    const Packed x = v[i];
    if ((x & seen) == 0 && x < lo) {
      t = i;
      lo = x;
    } else if (x < lo) {
      lo = x;
    }
    seen |= static_cast<unsigned>(x & 0xFF);
  }
  const Packed x = v[t];
  for (std::size_t i = t; i > 0; --i) v[i] = v[i - 1];
  v[0] = x;
  return x;
}

// The largest qubit byte of the packed instructions (255 is an empty slot), or -1.
inline int max_packed_qubit(const Packed* v, std::size_t len) noexcept {
  int m = -1;
  for (std::size_t i = 0; i < len; ++i) {
    const int s0 = static_cast<int>((v[i] >> 32) & 0xFF);
    const int s1 = static_cast<int>((v[i] >> 24) & 0xFF);
    if (s0 != Instr32::EMPTY && s0 > m) m = s0;
    if (s1 != Instr32::EMPTY && s1 > m) m = s1;
  }
  return m;
}

// Minimum over the relabellings of a prepared circuit with instructions. With `by_perm`, ties
// between equal circuits go to the smaller raw relabelling; otherwise to the earlier one.
//
// A candidate is reordered front first (pop_front_reordered) only while it matches the best
// so far: at its first larger instruction it is dropped, at its first smaller one the rest is
// reordered in one pass. Its front is always one of the instructions disjoint from all before
// them (a set that no relabelling changes), so a relabelling whose smallest such instruction is
// above the best's front is dropped before the rest is relabelled. The trailing permutation is
// worked out only for a candidate whose instructions win or tie.
Permut32 min_relabelling(const Circ& c, bool by_perm, Circ& out) {
  const std::size_t len = c.instrs.size();
  const Instr32* src = c.instrs.data();
  thread_local std::vector<Packed> best, buf;
  thread_local std::vector<std::uint32_t> fronts;
  best.resize(len);
  buf.resize(len);
  fronts.clear();
  bool idle = false;
  {
    unsigned seen = 0;
    for (std::size_t j = 0; j < len; ++j) {
      const auto m = static_cast<unsigned>(pack(src[j]) & 0xFF);
      if ((m & seen) == 0) fronts.push_back(static_cast<std::uint32_t>(j));
      if (m == 0) idle = true;
      seen |= m;
    }
  }
  Permut32 best_perm{}, best_p{};
  bool have = false;
  for (Permut32 p : Permut32::all(c.nqubits())) {
    if (have) {
      Packed lb = ~Packed{0};
      for (const std::uint32_t t : fronts) lb = std::min(lb, pack(relabel(src[t], p)));
      if (lb > best[0]) continue;
    }
    unsigned full = 0;
    for (std::size_t j = 0; j < len; ++j) {
      buf[j] = pack(relabel(src[j], p));
      full |= static_cast<unsigned>(buf[j] & 0xFF);
    }
    int o = -1;
    std::size_t k = 0;
    if (have) {
      for (o = 0; o == 0 && k < len; ++k) {
        const Packed x = pop_front_reordered(buf.data() + k, len - k, full, idle);
        if (x != best[k]) o = x < best[k] ? -1 : 1;
      }
      if (o > 0) continue;
    }
    if (o < 0) reorder_in_place(buf.data() + k, len - k);
    const Permut32 q = p * c.perm * p.inv();
    const Permut32 cp = compacted(q, max_packed_qubit(buf.data(), len), largest_moved(q));
    if (o == 0) {
      o = cp.raw < best_perm.raw ? -1 : cp.raw > best_perm.raw ? 1 : 0;
      if (!(o < 0 || (o == 0 && by_perm && p.raw < best_p.raw))) continue;
    }
    best.swap(buf);
    best_perm = cp;
    best_p = p;
    have = true;
  }
  unpack_into(best, best_perm, out);
  return best_p;
}

// Scratch of the rotation search over one relabelled circuit: its instructions packed (fwd),
// the same relabelled once more by the inverse of its permutation (back: the form an
// instruction takes when it rotates to the end), which of them have qubit 0, the largest qubit
// and the smallest instruction of every suffix of fwd and prefix of back, and the candidate and
// best buffers.
//
// The candidate of rotation i is fwd[i..L) followed by back[0..i), reordered. Reordering only
// permutes it, so its first instruction is at least the smallest one it holds: a candidate whose
// smallest instruction is above the best's first cannot win and is skipped unbuilt.
struct RotationScratch {
  std::vector<Packed> fwd, back, buf, best;
  std::vector<int> fwd_max, back_max;  // fwd_max[i]: over fwd[i..L); back_max[i]: over back[0..i)
  std::vector<Packed> fwd_min, back_min;  // the same for the smallest packed instruction
  std::vector<std::uint32_t> starts;      // indices of the instructions on qubit 0
  Permut32 best_perm{};
  bool have = false;

  // The calling thread's scratch, sized for circuits of len instructions and emptied of any
  // best. Buffers keep their capacity between calls, so a call allocates only its result.
  static RotationScratch& for_thread(std::size_t len) {
    thread_local RotationScratch s;
    for (auto* v : {&s.fwd, &s.back, &s.buf, &s.best}) v->resize(len);
    for (auto* v : {&s.fwd_min, &s.back_min}) v->resize(len + 1);
    for (auto* v : {&s.fwd_max, &s.back_max}) v->resize(len + 1);
    s.starts.reserve(len);
    s.have = false;
    return s;
  }

  // Loads the circuit src relabelled by p, whose permutation is then perm; src's qubits must
  // be below 8. Without `prepared`, src is loaded as it stands (p unused) through the checked
  // relabelling.
  void load(const Instr32* src, std::size_t len, Permut32 p, Permut32 perm, bool prepared) {
    const Permut32 perm_inv = perm.inv();
    starts.clear();
    back_max[0] = -1;
    back_min[0] = ~Packed{0};
    for (std::size_t j = 0; j < len; ++j) {
      const Instr32 in = prepared ? relabel(src[j], p) : src[j];
      const Instr32 out = prepared ? relabel(in, perm_inv) : in.permut(perm_inv);
      if (in.qargs().contains(0)) starts.push_back(static_cast<std::uint32_t>(j));
      fwd[j] = pack(in);
      back[j] = pack(out);
      fwd_max[j] = max_slot_qubit(in);
      back_max[j + 1] = std::max(back_max[j], max_slot_qubit(out));
      back_min[j + 1] = std::min(back_min[j], back[j]);
    }
    fwd_max[len] = -1;
    fwd_min[len] = ~Packed{0};
    for (std::size_t j = len; j-- > 0;) {
      fwd_max[j] = std::max(fwd_max[j], fwd_max[j + 1]);
      fwd_min[j] = std::min(fwd[j], fwd_min[j + 1]);
    }
  }

  // Every rotation of the loaded circuit that starts at an instruction on qubit 0, each
  // reordered and compacted, against the best so far; the earliest candidate wins ties.
  void scan(Permut32 perm) {
    const std::size_t len = fwd.size();
    const int moved = largest_moved(perm);
    for (const std::size_t i : starts) {
      if (have && std::min(fwd_min[i], back_min[i]) > best[0]) continue;
      Packed* out = std::copy(fwd.data() + i, fwd.data() + len, buf.data());
      std::copy(back.data(), back.data() + i, out);
      reorder_in_place(buf.data(), len);
      const Permut32 cp = compacted(perm, std::max(fwd_max[i], back_max[i]), moved);
      if (have) {
        int o = compare_packed(buf.data(), best.data(), len);
        if (o == 0) o = cp.raw < best_perm.raw ? -1 : cp.raw > best_perm.raw ? 1 : 0;
        if (o >= 0) continue;
      }
      best.swap(buf);
      best_perm = cp;
      have = true;
    }
  }
};

}  // namespace

Circ Circ::representative() const {
  Circ c = prepare(*this);
  if (c.instrs.empty()) return c;
  Circ out;
  min_relabelling(c, false, out);
  return out;
}

std::pair<Circ, Permut32> Circ::representative_with_perm() const {
  Circ c = prepare(*this);
  if (c.instrs.empty()) return {std::move(c), Permut32{}};
  Circ out;
  const Permut32 p = min_relabelling(c, true, out);
  return {std::move(out), p};
}

std::optional<Circ> Circ::_rotate_representative() const {
  RotationScratch& s = RotationScratch::for_thread(instrs.size());
  s.load(instrs.data(), instrs.size(), Permut32{}, perm, false);
  s.scan(perm);
  if (!s.have) return std::nullopt;
  return unpack_circ(s.best, s.best_perm);
}

namespace {

// The minimum over relabellings and rotations of a prepared circuit, checked.
IdentityCirc rotate_representative_prepared(const Circ& c) {
  if (c.instrs.empty()) return IdentityCirc::unchecked(Circ{c});
  RotationScratch& s = RotationScratch::for_thread(c.instrs.size());
  for (Permut32 p : Permut32::all(c.nqubits())) {
    const Permut32 q = p * c.perm * p.inv();
    s.load(c.instrs.data(), c.instrs.size(), p, q, true);
    s.scan(q);
  }
  if (!s.have) stop("called `Option::unwrap()` on a `None` value");
  return IdentityCirc::unchecked(unpack_circ(s.best, s.best_perm));
}

}  // namespace

IdentityCirc Circ::rotate_representative() const {
  return rotate_representative_prepared(prepare(*this));
}

// ---- on the caller's buffers ------------------------------------------------------------------

void permut_into(const Circ& c, Permut32 p, Circ& out) {
  const auto [big_p, q] = c.perm.coordinate_permute(p);
  out.instrs.resize(c.instrs.size());
  for (std::size_t i = 0; i < c.instrs.size(); ++i) out.instrs[i] = c.instrs[i].permut(q);
  out.perm = q * big_p * q.inv();
  check_qubits(out);
}

void add_into(const Circ& a, const Circ& b, Circ& out) {
  const auto [pa, pb] = a.perm.coordinate_permute(b.perm);
  const Permut32 pa_inv = pa.inv();
  out.instrs.resize(a.instrs.size() + b.instrs.size());
  std::copy(a.instrs.begin(), a.instrs.end(), out.instrs.begin());
  for (std::size_t i = 0; i < b.instrs.size(); ++i)
    out.instrs[a.instrs.size() + i] = b.instrs[i].permut(pa_inv);
  out.perm = pb * pa;
  check_qubits(out);
}

Permut32 representative_with_perm_into(Circ& c, Circ& out) {
  prepare_in_place(c);
  if (c.instrs.empty()) {
    out.instrs.clear();
    out.perm = c.perm;
    return Permut32{};
  }
  return min_relabelling(c, true, out);
}

IdentityCirc rotate_representative_in_place(Circ& c) {
  prepare_in_place(c);
  return rotate_representative_prepared(c);
}

}  // namespace marrowfen
