// Simplified equivalence classes: `ECC`, one class as a list of plain circuits with trailing
// permutations, and `ECCs`, the sorted list of all classes with their qubit count. These are
// what RawECCs::simplify produces and what the checks, the identity conversion, the class file,
// the Quartz export and the prover builder consume.
//
// Two orders:
// - member order (members inside one class): instruction count first, then the instructions
//   one by one in the Instr32 order, then the raw permutation (the Circ order);
// - class order (classes of an ECCs): member by member; two members compare by their
//   instruction lists as sequences (a proper prefix first, the count is NOT compared first),
//   then by the raw permutation; a class whose member list is a proper prefix of the other's
//   comes first.
#pragma once

#include <compare>
#include <cstdint>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "circ/instr.hpp"
#include "groups/permutation.hpp"
#include "identity/circuit.hpp"
#include "identity/idcircuit.hpp"
#include "utils/fmt_display.hpp"

namespace marrowfen {

// One member: the instructions in application order (oldest first) and the trailing
// permutation.
using EccMember = std::pair<std::vector<Instr32>, Permut32>;

// Member order (the Circ order): count, then instructions, then raw permutation.
std::strong_ordering compare_members(const EccMember& a, const EccMember& b) noexcept;
// Class-order comparison of two members: instructions as sequences (proper prefix first),
// then raw permutation.
std::strong_ordering compare_members_lex(const EccMember& a, const EccMember& b) noexcept;

struct ECC {
  // Member 0 is the representative.
  std::vector<EccMember> members;

  std::size_t size() const noexcept { return members.size(); }
  bool empty() const noexcept { return members.empty(); }

  // Every permutation P becomes inv(p0)·P (member 0's becomes the identity of its length);
  // instructions and order unchanged. An empty class stops with the index message (len 0,
  // index 0).
  std::vector<EccMember> simplify_permute() &&;

  // The materialised circuit of every member, in member order: its instructions followed by
  // one SWAP instruction per swap of generate_swaps(inv(p0)·pj). An empty class stops with the
  // index message.
  std::vector<std::vector<Instr32>> circuits() const;

  // "ECC {\n", then per member "\t" + materialised instructions joined by " " + ",\n", then
  // "}". An empty class stops with the index message.
  std::string display() const;

  // Class equality: same member count, every member equal (instructions and raw permutation).
  friend bool operator==(const ECC& a, const ECC& b) noexcept { return a.members == b.members; }
  // The class order.
  friend std::strong_ordering operator<=>(const ECC& a, const ECC& b) noexcept;
};

// (canonical identity, inverse of the first member, other member) of to_identity_circuits.
using IdentityWitness = std::tuple<IdentityCirc, Circ, Circ>;

struct ECCs {
  std::vector<ECC> eccs;  // in the class order when made by RawECCs::simplify
  std::uint32_t nqubits = 0;

  // Classes that fail one randomized check (one random state shared by every class of the
  // call); copies, in collection order. Empty classes stop with the index message.
  std::vector<ECC> check() const;

  // Copies of the classes with two or more members, same nqubits.
  ECCs filter_single() const;

  // For each class and each member j >= 1: (rotate_representative(inv(c0) + cj), inv(c0), cj),
  // all entries sorted stably by (identity, inverse, member) in the Circ order.
  std::vector<IdentityWitness> to_identity_circuits() const;

  // Displays of the classes with at least two members joined by " & "; "" when none.
  std::string display() const;

  // Class file (postcard). dump_postcard throws IoError "Failed to create file: {}" and
  // DecodeError "Failed to write postcard data: {}"; from_postcard throws IoError "Failed to
  // open file: {}" and DecodeError "Failed to read postcard data: {}", and stops with "Failed
  // to deserialize Gate16 from {}" for an unknown gate text. (src/search/class_file.cpp)
  void dump_postcard(const std::string& path) const;
  static ECCs from_postcard(const std::string& path);

  // Quartz JSON export: throws IoError "Failed to create file: {}" and DecodeError "Failed to
  // write JSON: {}". (src/search/quartz.cpp; the document itself: quartz.hpp)
  void dump_quartz(const std::string& path) const;

  friend bool operator==(const ECCs& a, const ECCs& b) noexcept {
    return a.nqubits == b.nqubits && a.eccs == b.eccs;
  }
};

}  // namespace marrowfen

template <>
inline constexpr bool marrowfen::formats_by_display<marrowfen::ECC> = true;
