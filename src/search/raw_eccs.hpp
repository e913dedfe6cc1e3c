// RawECCs: the direct output of the search, a map from the 64-bit class key of the Evaluator
// to a raw equivalence class. A raw class keeps its members as shared-tail instruction lists
// (AliasList, newest instruction first) with the (front, back) permutations of their
// fingerprint, and the first- and last-layer gates of its members in the canonical qubit
// positions of the fingerprint, so a circuit that only repeats a surface gate of a kept member
// is not stored again.
//
// Cell ownership: every cell is made by add_entry (one per stored member, its head cell) and
// recorded in the map's CellArena. The map made by switch_evaluator shares its source's arena
// and makes no cell. A map whose `drop` flag is set (a search's) hands its arena the duty to free
// the cells; the arena frees them once, when the last map sharing it goes, so a re-keyed map
// keeps the cells it refers to alive and frees nothing of its own. Maps are move-only: a
// moved-from map owns nothing.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include <boost/container/small_vector.hpp>
#include <boost/unordered/unordered_flat_map.hpp>
#include <fmt/format.h>

#include "circ/gate.hpp"
#include "circ/instr.hpp"
#include "groups/permutation.hpp"
#include "utils/alias_list.hpp"
#include "utils/hash_table64.hpp"

namespace marrowfen {

class Evaluator;
struct ECC;
struct ECCs;

// One member of a simplified class: instructions in application order, trailing permutation.
using EccMember = std::pair<std::vector<Instr32>, Permut32>;

// A set in insertion order with membership by comparing the elements one by one.
template <class T, std::size_t N = 4>
class LinearSet {
 public:
  bool contains(const T& x) const noexcept {
    for (const T& y : items_)
      if (y == x) return true;
    return false;
  }
  // Adds x unless present; true when added.
  bool insert(const T& x) {
    if (contains(x)) return false;
    items_.push_back(x);
    return true;
  }
  std::size_t size() const noexcept { return items_.size(); }
  bool empty() const noexcept { return items_.empty(); }
  const T& operator[](std::size_t i) const noexcept { return items_[i]; }
  auto begin() const noexcept { return items_.begin(); }
  auto end() const noexcept { return items_.end(); }
  friend bool operator==(const LinearSet& a, const LinearSet& b) noexcept {
    return a.items_ == b.items_;
  }

 private:
  boost::container::small_vector<T, N> items_;
};

// An insertion-ordered map searched linearly (surface maps of the equivalence check).
template <class K, class V, std::size_t N = 8>
class LinearMap {
 public:
  using value_type = std::pair<K, V>;
  const V* find(const K& k) const noexcept {
    for (const value_type& e : items_)
      if (e.first == k) return &e.second;
    return nullptr;
  }
  // Stores (k, v); an equal key already present gets the new value and keeps its position.
  void insert(const K& k, const V& v) {
    for (value_type& e : items_)
      if (e.first == k) {
        e.second = v;
        return;
      }
    items_.emplace_back(k, v);
  }
  std::size_t size() const noexcept { return items_.size(); }
  bool empty() const noexcept { return items_.empty(); }
  const value_type& operator[](std::size_t i) const noexcept { return items_[i]; }
  auto begin() const noexcept { return items_.begin(); }
  auto end() const noexcept { return items_.end(); }

 private:
  boost::container::small_vector<value_type, N> items_;
};

using InstrList = AliasList<Instr32>;

// One stored member.
struct CircTriple {
  Permut32 front_perm;  // front permutation of the member's fingerprint (n entries)
  InstrList circ;       // the member's instructions, own qubit labels, newest first
  Permut32 back_perm;   // back permutation of the member's fingerprint (n entries)

  // (instructions in application order relabelled through front_perm^-1, back_perm·front_perm).
  // Defined with the class simplification (simplify.cpp).
  EccMember simplify() const;

  // The stored list in application order, not relabelled.
  std::vector<Instr32> instructions() const;

  // "{} {}": simplify()'s instructions joined by " ", then its permutation.
  std::string display() const;
  // "{} {} {}": front_perm, the stored instructions in application order joined by " ",
  // back_perm.
  std::string debug() const;
};

// One raw class.
struct CircuitECC {
  std::uint32_t size = 0;              // instruction count of the representative
  LinearSet<Instr32> front_gates;      // front surface gates, relabelled by front_perm^-1
  LinearSet<Instr32> back_gates;       // back surface gates, relabelled by back_perm
  boost::container::small_vector<CircTriple, 1> circuits;  // [0] is the representative

  // Root class of n qubits: size 0, no gates, one member {identity(n), Nil, identity(n)}.
  // n above 8 stops with "Permutation length must be less than or equal to 8".
  static CircuitECC root(std::uint32_t n);

  // Simplified, sorted and relabelled class. Defined in simplify.cpp.
  ECC simplify() const;

  // ((member list, member perm), (query list, query perm)) after stripping shared surface
  // gates. Defined with the checked equivalence (check.cpp).
  std::pair<EccMember, EccMember> export_equivalence(Permut32 front_perm,
                                                     std::span<const Instr32> instr_vec,
                                                     Permut32 back_perm) const;

  // "CircuitECC {" + member displays joined by ", " + "}".
  std::string display() const;
  // CircuitECC { size: 1, front_gates: {x(0)}, back_gates: {x(0)}, circuits: [(0) x(0) (0)] }
  std::string debug() const;
};

// Surface gates: the gates that no earlier gate of the sequence touches (every gate marks its
// qubits, kept or not; a gate without qubits is always a surface gate).
using SurfaceGates = boost::container::small_vector<Instr32, 8>;
SurfaceGates circuit_get_surface_gates(std::span<const Instr32> seq);
// The same over the sequence read from its last element backwards (the back surface, in
// reverse order).
SurfaceGates circuit_get_surface_gates_reversed(std::span<const Instr32> seq);

// Indexed surface gates of the alive gates: gate i is alive when bit (i mod 64) of
// filtering_mask is set; dead gates neither count nor mark qubits. Each surface gate maps to
// its index; an equal gate found again replaces the index and keeps its position.
using SurfaceMap = LinearMap<Instr32, std::uint32_t>;
SurfaceMap circuit_get_surface_gates_hashmap(std::span<const Instr32> circ,
                                             std::uint64_t filtering_mask);

struct SearchResult;

// The list cells that the maps of one search refer to. Shared by the search's map and every map
// re-keyed from it; freed when the last of them goes, if a map that owns them has gone by then.
class CellArena {
 public:
  CellArena() noexcept = default;
  CellArena(const CellArena&) = delete;
  CellArena& operator=(const CellArena&) = delete;
  ~CellArena();

  // A new list: one new cell {head, tail}, recorded here.
  InstrList cons(InstrList tail, Instr32 head);
  // Frees every recorded cell when the arena goes.
  void own() noexcept { owned_ = true; }
  std::size_t size() const noexcept { return cells_.size(); }

 private:
  std::vector<InstrList> cells_;
  bool owned_ = false;
};

struct RawECCs {
  using Map = boost::unordered_flat_map<std::uint64_t, CircuitECC, IdentityHash>;

  Map inner;
  std::uint32_t nqubits = 0;
  bool drop = false;  // the map owns its members' head cells: they are freed once it is gone
  // The cells of this map's members (null while it has none); shared with re-keyed maps.
  std::shared_ptr<CellArena> cells;

  RawECCs() noexcept = default;
  RawECCs(const RawECCs&) = delete;
  RawECCs& operator=(const RawECCs&) = delete;
  RawECCs(RawECCs&& o) noexcept;
  RawECCs& operator=(RawECCs&& o) noexcept;
  ~RawECCs();

  // Root class only (key = initial key of the evaluator), drop clear. The fingerprint of the
  // empty circuit runs first, so 6 to 8 qubits stop there; 9 or more stop in CircuitECC::root.
  static RawECCs create(const Evaluator& evaluator);

  // Stores the circuit instr_vec (application order, its last element the new instruction,
  // grown from `circ`) under hash_value: a new class (returns its new cell) or a new member
  // when no front gate and no back gate is already recorded for the class (returns nothing).
  // An empty instr_vec stops with "called `Option::unwrap()` on a `None` value".
  std::optional<InstrList> add_entry(std::uint64_t hash_value, Permut32 front_perm,
                                     Permut32 back_perm, InstrList circ,
                                     std::span<const Instr32> instr_vec);

  // Breadth-first search over the alphabet `instrs`, keyed by the fingerprint. Writes a
  // progress line to standard output every 400 expanded circuits (the first for the empty
  // circuit). The result's map has drop set.
  static SearchResult search(const Evaluator& evaluator, std::span<const Instr32> instrs,
                             std::uint32_t max_size);
  // The same keyed by the phase-fixed forward state, identity permutations.
  static SearchResult search_naive(const Evaluator& evaluator, std::span<const Instr32> instrs,
                                   std::uint32_t max_size);

  // The alphabet of generate: missing adjoints appended, gates sorted stably by (arity,
  // index), placed on every qubit / ordered qubit pair of n qubits, then sorted stably by
  // largest qubit. A gate of arity other than 1 or 2 stops with "Only 1 and 2 qubit
  // instructions are supported".
  static std::vector<Instr32> generate_alphabet(std::vector<Gate16> gates, std::uint32_t n);
  static SearchResult generate(const Evaluator& evaluator, std::vector<Gate16> gates,
                               std::uint32_t max_size);
  static SearchResult generate_naive(const Evaluator& evaluator, std::vector<Gate16> gates,
                                     std::uint32_t max_size);

  const CircuitECC* find(std::uint64_t key) const noexcept {
    auto it = inner.find(key);
    return it == inner.end() ? nullptr : &it->second;
  }
  std::size_t size() const noexcept { return inner.size(); }

  // Every class simplified, classes sorted. Defined in simplify.cpp.
  ECCs simplify() const;

  // The class of instrs with every member written in instrs' own qubit frame, in stored order;
  // nothing when the map has no class under its key.
  std::optional<ECC> find_equivalents(const Evaluator& evaluator,
                                      std::span<const Instr32> instrs) const;

  // The key of the representative of class current_key extended by instr, when the map holds
  // it. Nothing when current_key is not held (nothing is evaluated then).
  std::optional<std::uint64_t> compute_next_key(const Evaluator& evaluator,
                                                std::uint64_t current_key, Instr32 instr) const;

  // The map re-keyed under new_evaluator: the same members (same cells) with the permutations
  // of their new fingerprints, empty gate sets, drop clear. It shares this map's cell arena, so
  // it may outlive this map. Stops with "Inconsistent ECC detected during evaluator switch" or
  // "Hash collision detected during evaluator switch: {} vs {}".
  RawECCs switch_evaluator(const Evaluator& new_evaluator) const;

  // Checked equivalence (check.cpp): the smallest member equivalent to (instrs, perm), in
  // the input's frame; and the parallel check of every simplified member of this map against
  // ecc1.
  EccMember checked_equivalent(std::span<const Instr32> instrs, Permut32 perm,
                               const Evaluator& evaluator) const;
  void check_identity_subset(const RawECCs& ecc1, const Evaluator& evaluator) const;

 private:
  void release_cells() noexcept;
};

// counters: [0] circuits expanded, [1] circuits evaluated, [2] insertion attempts.
struct SearchResult {
  RawECCs map;
  std::array<std::uint32_t, 3> counters{};
};

}  // namespace marrowfen
