// Read-only queries on a raw class map, and re-keying it under another evaluator.
//
// The stored lists hold the newest instruction first; every query here evaluates them in
// application order (oldest first), the order in which the search keyed them, so that the
// keys they compute are comparable with the map's own keys and the new permutations describe
// the stored lists as CircTriple::simplify reads them.
#include <optional>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "core/panic.hpp"
#include "search/ecc.hpp"
#include "search/evaluator.hpp"
#include "search/raw_eccs.hpp"

namespace marrowfen {

std::optional<ECC> RawECCs::find_equivalents(const Evaluator& evaluator,
                                             std::span<const Instr32> instrs) const {
  Permut32 f, b;
  const std::uint64_t key = evaluator.key_of(instrs, &f, &b);
  const CircuitECC* cls = find(key);
  if (!cls || cls->circuits.empty()) return std::nullopt;
  const Permut32 f_inv = f.inv();
  const Permut32 b_inv = b.inv();
  ECC out;
  out.members.reserve(cls->circuits.size());
  for (const CircTriple& m : cls->circuits) {
    // The member seen from the query's frame: simplify relabels its list through
    // (mf·f⁻¹)⁻¹ = f·mf⁻¹ and yields the permutation b⁻¹·mb·mf·f⁻¹.
    const CircTriple t{m.front_perm * f_inv, m.circ, b_inv * m.back_perm};
    out.members.push_back(t.simplify());
  }
  return out;
}

std::optional<std::uint64_t> RawECCs::compute_next_key(const Evaluator& evaluator,
                                                       std::uint64_t current_key,
                                                       Instr32 instr) const {
  const CircuitECC* cls = find(current_key);
  if (!cls) return std::nullopt;
  if (cls->circuits.empty()) stop("called `Option::unwrap()` on a `None` value");
  std::vector<Instr32> list = cls->circuits.front().instructions();
  list.push_back(instr);
  const std::uint64_t key = evaluator.key_of(list);
  if (!find(key)) return std::nullopt;
  return key;
}

RawECCs RawECCs::switch_evaluator(const Evaluator& new_evaluator) const {
  RawECCs out = create(new_evaluator);
  // The new members share this map's cells, and with them the arena that frees them.
  out.cells = cells;

  std::vector<Instr32> list;
  for (const auto& [old_key, cls] : inner) {
    if (cls.circuits.empty()) stop_index_out_of_bounds(0, 0);
    CircuitECC nc;
    std::uint64_t key = 0;
    nc.circuits.reserve(cls.circuits.size());
    for (std::size_t i = 0; i < cls.circuits.size(); ++i) {
      const CircTriple& m = cls.circuits[i];
      list = m.instructions();
      Permut32 f, b;
      const std::uint64_t k = new_evaluator.key_of(list, &f, &b);
      if (i == 0) {
        key = k;
        nc.size = static_cast<std::uint32_t>(list.size());
      } else if (k != key) {
        stop("Inconsistent ECC detected during evaluator switch");
      }
      nc.circuits.push_back(CircTriple{f, m.circ, b});
    }
    auto [it, inserted] = out.inner.try_emplace(key);
    if (!inserted && it->second.size != 0)
      stop(fmt::format("Hash collision detected during evaluator switch: {} vs {}",
                       it->second.debug(), cls.debug()));
    it->second = std::move(nc);
  }
  return out;
}

}  // namespace marrowfen
