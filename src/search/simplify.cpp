// Class simplification: raw members become plain circuits with trailing permutations, a raw
// class becomes a sorted class relabelled so that the representative's qubits come first, and
// the map becomes the sorted list of its classes.
#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

#include "core/panic.hpp"
#include "search/ecc.hpp"
#include "search/raw_eccs.hpp"

namespace marrowfen {

EccMember CircTriple::simplify() const {
  const Permut32 finv = front_perm.inv();
  EccMember out;
  // Walk from the newest instruction, then reverse into application order.
  for (const Instr32 in : circ) out.first.push_back(in.permut(finv));
  std::reverse(out.first.begin(), out.first.end());
  out.second = back_perm * front_perm;
  return out;
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
  for (unsigned q = 0; q < 256; ++q)
    if ((seen[q >> 6] >> (q & 63)) & 1) used[nused++] = static_cast<std::uint8_t>(q);

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

ECCs RawECCs::simplify() const {
  ECCs out;
  out.nqubits = nqubits;
  out.eccs.reserve(inner.size());
  for (const auto& [key, cls] : inner) out.eccs.push_back(cls.simplify());
  std::stable_sort(out.eccs.begin(), out.eccs.end(),
                   [](const ECC& a, const ECC& b) { return a < b; });
  return out;
}

}  // namespace marrowfen
