// Class simplification: raw members become plain circuits with trailing permutations, a raw
// class becomes a sorted class relabelled so that the representative's qubits come first, and
// the map becomes the sorted list of its classes, simplified and sorted on the pool.
#include "search/simplify.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include <boost/container/small_vector.hpp>
#include <boost/unordered/unordered_flat_set.hpp>

#include "core/panic.hpp"
#include "core/thread_pool.hpp"

namespace marrowfen {

EccMember CircTriple::simplify() const {
  const Permut32 finv = front_perm.inv();
  // Walk from the newest instruction, then lay the list out in application order with one
  // allocation.
  boost::container::small_vector<Instr32, 16> newest_first;
  for (const Instr32 in : circ) newest_first.push_back(in.permut(finv));
  return EccMember{std::vector<Instr32>(newest_first.rbegin(), newest_first.rend()),
                   back_perm * front_perm};
}

ECC CircuitECC::simplify() const {
  ECC out;
  out.members.reserve(circuits.size());
  for (const CircTriple& t : circuits) out.members.push_back(t.simplify());
  std::stable_sort(out.members.begin(), out.members.end(),
                   [](const EccMember& a, const EccMember& b) {
                     return compare_members(a, b) < 0;
                   });
  if (out.members.empty()) stop_index_out_of_bounds(0, 0);

  // The distinct qubits of the representative, ascending.
  std::array<std::uint64_t, 4> seen{};
  for (const Instr32 in : out.members[0].first)
    for (const std::uint8_t q : in.qargs()) seen[q >> 6] |= std::uint64_t{1} << (q & 63);
  std::array<std::uint8_t, 256> used;
  std::size_t nused = 0;
  for (unsigned w = 0; w < seen.size(); ++w)
    for (std::uint64_t bits = seen[w]; bits != 0; bits &= bits - 1)
      used[nused++] = static_cast<std::uint8_t>(64 * w + std::countr_zero(bits));

  // uniform[i] = the i-th smallest used qubit, then the remaining labels.
  const Permut32 uniform = Permut32::from_iter_with_ext(
      out.members[0].second.len(), std::span<const std::uint8_t>(used.data(), nused));
  const Permut32 uniform_inv = uniform.inv();
  for (EccMember& m : out.members) {
    for (Instr32& in : m.first) in = in.permut(uniform_inv);
    m.second = uniform_inv * m.second * uniform;
  }
  // Not sorted again: the relabelled list need not be in the member order.
  return out;
}

namespace {

// The length of the prefix of a[0, n) whose elements pass pred (which passes a prefix of the
// list and fails the rest), found without branching on the elements: the searches in a sort
// key are too short and too unpredictable to branch well.
template <class T, class Pred>
std::size_t prefix_length(const T* a, std::size_t n, Pred pred) noexcept {
  if (n == 0) return 0;
  const T* base = a;
  while (n > 1) {
    const std::size_t half = n / 2;
    base += pred(base[half]) ? half : 0;
    n -= half;
  }
  return static_cast<std::size_t>(base - a) + (pred(*base) ? 1 : 0);
}

// A class's place in the sort, one word: the high half writes the representative's first
// instructions as ranks (the place of each instruction's order key among the distinct ones,
// plus one, in as few bits as the ranks need; 0 below every instruction for "no more
// instructions"), the low half its raw permutation when the whole list fits, else the largest
// value. Keys therefore compare as a prefix of the class order: a smaller key is a smaller
// class, and only classes whose keys are equal are compared in full.
class SortKeys {
 public:
  // The distinct order keys of the representatives' instructions, ascending.
  explicit SortKeys(std::vector<std::uint32_t> distinct) : distinct_(std::move(distinct)) {
    bits_ = std::max<unsigned>(1, static_cast<unsigned>(std::bit_width(distinct_.size())));
    fits_ = bits_ <= 32 ? 32 / bits_ : 0;
  }

  std::uint64_t key(const ECC& e) const noexcept {
    const auto& [rep, perm] = e.members[0];
    std::uint64_t key = 0;
    for (std::size_t i = 0; i < rep.size() && i < fits_; ++i) {
      const std::uint64_t rank = rank_of(rep[i].order_key()) + 1;
      key |= rank << (64 - bits_ * (i + 1));
    }
    return key | (rep.size() <= fits_ ? perm.raw : std::numeric_limits<std::uint32_t>::max());
  }

 private:
  std::size_t rank_of(std::uint32_t order_key) const noexcept {
    return prefix_length(distinct_.data(), distinct_.size(),
                         [order_key](std::uint32_t k) { return k < order_key; });
  }
  std::vector<std::uint32_t> distinct_;
  unsigned bits_ = 1;
  std::size_t fits_ = 0;
};

// The classes are sorted in at most this many ranges of the class order, whose bounds are
// taken from a sample of this many keys per range.
constexpr std::size_t MAX_RANGES = 256;
constexpr std::size_t SAMPLES_PER_RANGE = 16;

struct SortEntry {
  std::uint64_t key;
  std::uint32_t index;
};

}  // namespace

ECCs simplify_in_pieces(const RawECCs& map, std::size_t piece_size) {
  piece_size = std::max<std::size_t>(piece_size, 1);
  const std::size_t n = map.inner.size();
  // Class indices are held in 32 bits: the classes themselves fill memory long before.
  if (n > std::numeric_limits<std::uint32_t>::max()) stop("Too many classes to simplify");
  const std::size_t pieces = (n + piece_size - 1) / piece_size;
  auto piece_begin = [&](std::size_t p) { return std::min(n, p * piece_size); };

  // Simplify each piece straight into the output, in the map's order, noting the order keys
  // of the representatives' instructions. A piece starts where the previous one ends in the
  // map's iteration order.
  ECCs out;
  out.nqubits = map.nqubits;
  out.eccs.resize(n);
  std::vector<ECC>& eccs = out.eccs;
  std::vector<RawECCs::Map::const_iterator> starts;
  starts.reserve(pieces);
  for (auto it = map.inner.begin(); starts.size() < pieces;) {
    starts.push_back(it);
    if (starts.size() < pieces) std::advance(it, piece_size);
  }
  std::vector<std::vector<std::uint32_t>> seen(pieces);
  parallel_for_ordered(pieces, [&](std::size_t p) {
    boost::unordered_flat_set<std::uint32_t> order_keys;
    auto it = starts[p];
    for (std::size_t i = piece_begin(p), hi = piece_begin(p + 1); i < hi; ++i, ++it) {
      eccs[i] = it->second.simplify();
      for (const Instr32 in : eccs[i].members[0].first) order_keys.insert(in.order_key());
    }
    seen[p].assign(order_keys.begin(), order_keys.end());
  });
  std::vector<std::uint32_t> distinct;
  for (const auto& v : seen) distinct.insert(distinct.end(), v.begin(), v.end());
  std::sort(distinct.begin(), distinct.end());
  distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
  const SortKeys keys(std::move(distinct));

  // The bounds of the ranges: keys of a regular sample of the map, whose order is unrelated
  // to the class order. Classes with equal keys share a range, and every class of a range
  // comes before every class of the next one.
  const std::size_t ranges = std::clamp<std::size_t>(pieces, 1, MAX_RANGES);
  std::vector<std::uint64_t> bounds;
  if (n > 0) {
    std::vector<std::uint64_t> sample(std::min(n, ranges * SAMPLES_PER_RANGE));
    for (std::size_t s = 0; s < sample.size(); ++s)
      sample[s] = keys.key(eccs[s * n / sample.size()]);
    std::sort(sample.begin(), sample.end());
    for (std::size_t r = 1; r < ranges; ++r) bounds.push_back(sample[r * sample.size() / ranges]);
  }

  // Each class's key and range, read in the map's order (the order the classes were made in,
  // so their storage is read front to back).
  std::unique_ptr<std::uint64_t[]> key_of(new std::uint64_t[n]);
  std::unique_ptr<std::uint8_t[]> range_of(new std::uint8_t[n]);
  parallel_for_ordered(pieces, [&](std::size_t p) {
    for (std::size_t i = piece_begin(p), hi = piece_begin(p + 1); i < hi; ++i) {
      key_of[i] = keys.key(eccs[i]);
      const std::uint64_t key = key_of[i];
      range_of[i] = static_cast<std::uint8_t>(prefix_length(
          bounds.data(), bounds.size(), [key](std::uint64_t b) { return b <= key; }));
    }
  });

  // order lists the classes range by range, in the map's order inside a range.
  std::array<std::size_t, MAX_RANGES + 1> range_begin{};
  for (std::size_t i = 0; i < n; ++i) ++range_begin[range_of[i] + 1];
  for (std::size_t r = 0; r < MAX_RANGES; ++r) range_begin[r + 1] += range_begin[r];
  std::unique_ptr<std::uint32_t[]> order(new std::uint32_t[n]);
  {
    std::array<std::size_t, MAX_RANGES> next;
    std::copy_n(range_begin.begin(), MAX_RANGES, next.begin());
    for (std::size_t i = 0; i < n; ++i) order[next[range_of[i]]++] = static_cast<std::uint32_t>(i);
  }
  range_of.reset();

  // Sort each range by the keys, then by the classes where the keys are equal.
  const auto less = [&eccs](const SortEntry& a, const SortEntry& b) noexcept {
    if (a.key != b.key) return a.key < b.key;
    return eccs[a.index] < eccs[b.index];
  };
  parallel_for_ordered(ranges, [&](std::size_t r) {
    const std::size_t lo = range_begin[r], hi = range_begin[r + 1];
    std::vector<SortEntry> entries(hi - lo);
    for (std::size_t k = lo; k < hi; ++k) entries[k - lo] = {key_of[order[k]], order[k]};
    std::sort(entries.begin(), entries.end(), less);
    for (std::size_t k = lo; k < hi; ++k) order[k] = entries[k - lo].index;
  });
  key_of.reset();

  // Put class order[k] at k. The first slot of every piece is a cut: its class is set aside,
  // then from each cut the chain of slots k, order[k], order[order[k]], ... is filled, each
  // slot from the next, up to the next cut, whose set-aside class fills the last slot. Chains
  // from different cuts share no slot. Cycles through no cut are put in place afterwards.
  // A filled slot is marked by order[k] = k.
  std::vector<ECC> set_aside(pieces);
  parallel_for_ordered(pieces, [&](std::size_t p) {
    set_aside[p] = std::move(eccs[piece_begin(p)]);
  });
  parallel_for_ordered(pieces, [&](std::size_t p) {
    for (std::size_t j = piece_begin(p);;) {
      const std::size_t from = order[j];
      order[j] = static_cast<std::uint32_t>(j);
      if (from % piece_size == 0) {
        eccs[j] = std::move(set_aside[from / piece_size]);
        break;
      }
      eccs[j] = std::move(eccs[from]);
      j = from;
    }
  });
  for (std::size_t k = 0; k < n; ++k) {
    if (order[k] == k) continue;
    ECC held = std::move(eccs[k]);
    std::size_t j = k;
    for (std::size_t from = order[j]; from != k; from = order[j]) {
      eccs[j] = std::move(eccs[from]);
      order[j] = static_cast<std::uint32_t>(j);
      j = from;
    }
    eccs[j] = std::move(held);
    order[j] = static_cast<std::uint32_t>(j);
  }
  return out;
}

ECCs RawECCs::simplify() const { return simplify_in_pieces(*this, SIMPLIFY_PIECE); }

}  // namespace marrowfen
