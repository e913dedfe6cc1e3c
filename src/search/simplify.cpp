// Class simplification: raw members become plain circuits with trailing permutations, a raw
// class becomes a sorted class relabelled so that the representative's qubits come first, and
// the map becomes the sorted list of its classes, simplified and sorted on the pool.
#include "search/simplify.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
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

// A class's place in the sort. The key writes the representative's instruction list as ranks
// (the place of each instruction's order key among the distinct ones, plus one; 0 below every
// instruction for "no more instructions"), packed into words, then its raw permutation when the
// whole list fits, else a value above every permutation. Keys therefore compare as a prefix of
// the class order: only classes whose keys are equal are compared in full.
struct SortEntry {
  std::array<std::uint64_t, 3> key;
  std::size_t index;
};

class SortKeys {
 public:
  // The distinct order keys of the representatives' instructions, ascending.
  explicit SortKeys(std::vector<std::uint32_t> distinct) : distinct_(std::move(distinct)) {
    const std::size_t ranks = distinct_.size() + 1;
    bits_ = ranks <= 0xFF ? 8 : ranks <= 0xFFFF ? 16 : 32;
  }

  SortEntry entry(const ECC& e, std::size_t index) const noexcept {
    SortEntry s{{}, index};
    const auto& [rep, perm] = e.members[0];
    const std::size_t per_word = 64 / bits_;
    const std::size_t fits = 2 * per_word;
    for (std::size_t i = 0; i < rep.size() && i < fits; ++i) {
      const std::uint64_t rank = rank_of(rep[i].order_key()) + 1;
      s.key[i / per_word] |= rank << (64 - bits_ * (i % per_word + 1));
    }
    s.key[2] = rep.size() <= fits ? std::uint64_t{perm.raw} : std::uint64_t{1} << 32;
    return s;
  }

 private:
  std::size_t rank_of(std::uint32_t order_key) const noexcept {
    return static_cast<std::size_t>(
        std::lower_bound(distinct_.begin(), distinct_.end(), order_key) - distinct_.begin());
  }
  std::vector<std::uint32_t> distinct_;
  unsigned bits_ = 8;
};

}  // namespace

ECCs simplify_in_pieces(const RawECCs& map, std::size_t piece_size) {
  piece_size = std::max<std::size_t>(piece_size, 1);
  std::vector<const CircuitECC*> classes;
  classes.reserve(map.inner.size());
  for (const auto& entry : map.inner) classes.push_back(&entry.second);
  const std::size_t n = classes.size();
  const std::size_t pieces = (n + piece_size - 1) / piece_size;
  auto piece_begin = [&](std::size_t p) { return std::min(n, p * piece_size); };

  // Simplify each piece, noting the order keys of its representatives' instructions.
  // Class i is simplified[i / piece_size][i % piece_size]; each piece fills its own list.
  std::vector<std::vector<ECC>> simplified(pieces);
  auto class_at = [&](std::size_t i) -> ECC& {
    return simplified[i / piece_size][i % piece_size];
  };
  std::vector<std::vector<std::uint32_t>> seen(pieces);
  parallel_for_ordered(pieces, [&](std::size_t p) {
    boost::unordered_flat_set<std::uint32_t> order_keys;
    std::vector<ECC>& mine = simplified[p];
    mine.reserve(piece_begin(p + 1) - piece_begin(p));
    for (std::size_t i = piece_begin(p), hi = piece_begin(p + 1); i < hi; ++i) {
      mine.push_back(classes[i]->simplify());
      for (const Instr32 in : mine.back().members[0].first) order_keys.insert(in.order_key());
    }
    seen[p].assign(order_keys.begin(), order_keys.end());
  });
  std::vector<std::uint32_t> distinct;
  for (const auto& v : seen) distinct.insert(distinct.end(), v.begin(), v.end());
  std::sort(distinct.begin(), distinct.end());
  distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
  const SortKeys keys(std::move(distinct));

  // Sort each piece, then merge sorted runs pairwise, doubling the run length each round.
  // Filled by the pieces before they are read (no serial initialisation).
  std::unique_ptr<SortEntry[]> entries(new SortEntry[n]), spare(new SortEntry[n]);
  const auto less = [&class_at](const SortEntry& a, const SortEntry& b) noexcept {
    for (std::size_t w = 0; w < a.key.size(); ++w)
      if (a.key[w] != b.key[w]) return a.key[w] < b.key[w];
    return class_at(a.index) < class_at(b.index);
  };
  parallel_for_ordered(pieces, [&](std::size_t p) {
    const std::size_t lo = piece_begin(p), hi = piece_begin(p + 1);
    for (std::size_t i = lo; i < hi; ++i) entries[i] = keys.entry(class_at(i), i);
    std::sort(entries.get() + lo, entries.get() + hi, less);
  });
  for (std::size_t run = piece_size; run < n; run *= 2) {
    const std::size_t merges = (n + 2 * run - 1) / (2 * run);
    parallel_for_ordered(merges, [&](std::size_t m) {
      const std::size_t lo = m * 2 * run;
      const std::size_t mid = std::min(n, lo + run), hi = std::min(n, lo + 2 * run);
      std::merge(entries.get() + lo, entries.get() + mid, entries.get() + mid,
                 entries.get() + hi, spare.get() + lo, less);
    });
    std::swap(entries, spare);
  }

  ECCs out;
  out.nqubits = map.nqubits;
  out.eccs.resize(n);
  parallel_for_ordered(pieces, [&](std::size_t p) {
    for (std::size_t i = piece_begin(p), hi = piece_begin(p + 1); i < hi; ++i)
      out.eccs[i] = std::move(class_at(entries[i].index));
  });
  return out;
}

ECCs RawECCs::simplify() const { return simplify_in_pieces(*this, SIMPLIFY_PIECE); }

}  // namespace marrowfen
