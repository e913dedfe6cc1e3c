// ECC and ECCs: orders, permutation normalisation, materialised circuits, the randomized
// re-check, filtering, conversion to identity circuits and the display texts.
#include "search/ecc.hpp"

#include <algorithm>

#include "circ/gate.hpp"
#include "core/panic.hpp"
#include "core/rng.hpp"
#include "state/state_vec.hpp"

namespace marrowfen {

std::strong_ordering compare_members(const EccMember& a, const EccMember& b) noexcept {
  if (auto c = a.first.size() <=> b.first.size(); c != 0) return c;
  if (auto c = compare_instrs(a.first.data(), b.first.data(), a.first.size()); c != 0) return c;
  return a.second <=> b.second;
}

std::strong_ordering compare_members_lex(const EccMember& a, const EccMember& b) noexcept {
  if (auto c = std::lexicographical_compare_three_way(a.first.begin(), a.first.end(),
                                                      b.first.begin(), b.first.end());
      c != 0)
    return c;
  return a.second <=> b.second;
}

std::strong_ordering operator<=>(const ECC& a, const ECC& b) noexcept {
  return std::lexicographical_compare_three_way(a.members.begin(), a.members.end(),
                                                b.members.begin(), b.members.end(),
                                                compare_members_lex);
}

std::vector<EccMember> ECC::simplify_permute() && {
  if (members.empty()) stop_index_out_of_bounds(0, 0);
  const Permut32 q = members[0].second.inv();
  for (EccMember& m : members) m.second = q * m.second;
  return std::move(members);
}

namespace {

// Calls f on every instruction of member j's materialised circuit, given inv(p0): the
// member's instructions, then one SWAP per swap of inv(p0)·pj.
template <class F>
void for_each_materialised(const EccMember& m, Permut32 p0_inv, F&& f) {
  for (Instr32 in : m.first) f(in);
  for (auto [a, b] : (p0_inv * m.second).generate_swaps()) f(Instr32::two(gates::SWAP, a, b));
}

Permut32 representative_inverse(const ECC& e) {
  if (e.members.empty()) stop_index_out_of_bounds(0, 0);
  return e.members[0].second.inv();
}

}  // namespace

std::vector<std::vector<Instr32>> ECC::circuits() const {
  const Permut32 p0_inv = representative_inverse(*this);
  std::vector<std::vector<Instr32>> out;
  out.reserve(members.size());
  for (const EccMember& m : members) {
    std::vector<Instr32>& c = out.emplace_back();
    c.reserve(m.first.size());
    for_each_materialised(m, p0_inv, [&](Instr32 in) { c.push_back(in); });
  }
  return out;
}

std::string ECC::display() const {
  std::string s = "ECC {\n";
  const Permut32 p0_inv = representative_inverse(*this);
  auto out = std::back_inserter(s);
  for (const EccMember& m : members) {
    s.push_back('\t');
    bool first = true;
    for_each_materialised(m, p0_inv, [&](Instr32 in) {
      if (!first) s.push_back(' ');
      first = false;
      fmt::format_to(out, "{}", in);
    });
    s += ",\n";
  }
  s.push_back('}');
  return s;
}

std::vector<ECC> ECCs::check() const {
  ChaCha12 rng = ChaCha12::from_os();
  const StateVec s = StateVec::from_random(rng, nqubits);
  StateVec work = s.clone();
  const std::size_t n = s.len();
  // One run of a materialised circuit on a fresh copy of s; its phase-fixed hash.
  auto run = [&](const EccMember& m, Permut32 p0_inv) {
    std::copy(s.re_data(), s.re_data() + n, work.re_data());
    std::copy(s.im_data(), s.im_data() + n, work.im_data());
    for_each_materialised(m, p0_inv, [&](Instr32 in) { work.apply(in); });
    work.normalize_arg();
    return work.hash_value();
  };
  std::vector<ECC> failing;
  for (const ECC& e : eccs) {
    const Permut32 p0_inv = representative_inverse(e);
    const std::uint64_t h0 = run(e.members[0], p0_inv);
    for (std::size_t j = 1; j < e.members.size(); ++j) {
      if (run(e.members[j], p0_inv) != h0) {
        failing.push_back(e);
        break;
      }
    }
  }
  return failing;
}

ECCs ECCs::filter_single() const {
  ECCs out;
  out.nqubits = nqubits;
  for (const ECC& e : eccs)
    if (e.members.size() >= 2) out.eccs.push_back(e);
  return out;
}

std::vector<IdentityWitness> ECCs::to_identity_circuits() const {
  std::vector<IdentityWitness> out;
  for (const ECC& e : eccs) {
    if (e.members.empty()) stop_index_out_of_bounds(0, 0);
    const Circ c0 = Circ::create(e.members[0].first, e.members[0].second);
    const Circ i0 = c0.inverse();
    for (std::size_t j = 1; j < e.members.size(); ++j) {
      Circ cj = Circ::create(e.members[j].first, e.members[j].second);
      IdentityCirc id = (i0 + cj).rotate_representative();
      out.emplace_back(std::move(id), i0, std::move(cj));
    }
  }
  std::stable_sort(out.begin(), out.end(), [](const IdentityWitness& a, const IdentityWitness& b) {
    if (auto c = std::get<0>(a) <=> std::get<0>(b); c != 0) return c < 0;
    if (auto c = std::get<1>(a) <=> std::get<1>(b); c != 0) return c < 0;
    return std::get<2>(a) < std::get<2>(b);
  });
  return out;
}

std::string ECCs::display() const {
  std::string s;
  bool first = true;
  for (const ECC& e : eccs) {
    if (e.members.size() < 2) continue;
    if (!first) s += " & ";
    first = false;
    s += e.display();
  }
  return s;
}

}  // namespace marrowfen
