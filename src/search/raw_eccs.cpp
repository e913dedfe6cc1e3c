#include "search/raw_eccs.hpp"

#include <algorithm>
#include <string>
#include <utility>

#include "core/panic.hpp"
#include "search/evaluator.hpp"
#include "utils/fmt_join.hpp"

namespace marrowfen {

namespace {

// Bit of qubit q in a 32-bit touched mask (the shift count taken modulo 32).
constexpr std::uint32_t qubit_bit(std::uint32_t q) noexcept { return std::uint32_t{1} << (q % 32); }

// Whether no qubit of g is in touched; marks g's qubits either way. Reads the qubit slots from
// the packed word: slot 0 empty means no qubit (slot 1 is not looked at), slot 1 empty one.
inline bool surface_step(Instr32 g, std::uint32_t& touched) noexcept {
  const std::uint32_t s0 = (g.raw >> Instr32::SLOT0_SHIFT) & 0xFF;
  const std::uint32_t s1 = g.raw >> Instr32::SLOT1_SHIFT;
  if (s0 == Instr32::EMPTY) return true;
  std::uint32_t bits = qubit_bit(s0);
  if (s1 != Instr32::EMPTY) bits |= qubit_bit(s1);
  const bool fresh = (touched & bits) == 0;
  touched |= bits;
  return fresh;
}

}  // namespace

SurfaceGates circuit_get_surface_gates(std::span<const Instr32> seq) {
  SurfaceGates out;
  std::uint32_t touched = 0;
  for (const Instr32 g : seq)
    if (surface_step(g, touched)) out.push_back(g);
  return out;
}

SurfaceGates circuit_get_surface_gates_reversed(std::span<const Instr32> seq) {
  SurfaceGates out;
  std::uint32_t touched = 0;
  for (std::size_t i = seq.size(); i-- > 0;)
    if (surface_step(seq[i], touched)) out.push_back(seq[i]);
  return out;
}

SurfaceMap circuit_get_surface_gates_hashmap(std::span<const Instr32> circ,
                                             std::uint64_t filtering_mask) {
  SurfaceMap out;
  std::uint32_t touched = 0;
  for (std::size_t i = 0; i < circ.size(); ++i) {
    if (((filtering_mask >> (i % 64)) & 1) == 0) continue;
    if (surface_step(circ[i], touched)) out.insert(circ[i], static_cast<std::uint32_t>(i));
  }
  return out;
}

// --- records -------------------------------------------------------------------------------

std::vector<Instr32> CircTriple::instructions() const {
  std::vector<Instr32> out;
  for (const Instr32 in : circ) out.push_back(in);
  std::reverse(out.begin(), out.end());
  return out;
}

std::string CircTriple::display() const {
  const EccMember m = simplify();
  return fmt::format("{} {}", fjoin(m.first, " "), m.second);
}

std::string CircTriple::debug() const {
  const std::vector<Instr32> ins = instructions();
  return fmt::format("{} {} {}", front_perm, fjoin(ins, " "), back_perm);
}

CircuitECC CircuitECC::root(std::uint32_t n) {
  // Wider counts than a permutation holds stop in Permut32::identity.
  const Permut32 id = Permut32::identity(static_cast<std::uint8_t>(n > 8 ? 9 : n));
  CircuitECC c;
  c.size = 0;
  c.circuits.push_back(CircTriple{id, InstrList::nil(), id});
  return c;
}

std::string CircuitECC::display() const {
  std::string out = "CircuitECC {";
  bool first = true;
  for (const CircTriple& t : circuits) {
    if (!first) out += ", ";
    first = false;
    out += t.display();
  }
  out += "}";
  return out;
}

std::string CircuitECC::debug() const {
  std::string circs;
  bool first = true;
  for (const CircTriple& t : circuits) {
    if (!first) circs += ", ";
    first = false;
    circs += t.debug();
  }
  return fmt::format("CircuitECC {{ size: {}, front_gates: {{{}}}, back_gates: {{{}}}, circuits: [{}] }}",
                     size, fjoin(front_gates, ", "), fjoin(back_gates, ", "), circs);
}

// --- the cells -------------------------------------------------------------------------------

CellArena::~CellArena() {
  if (owned_)
    for (InstrList& cell : cells_) cell.delete_head();
}

InstrList CellArena::cons(InstrList tail, Instr32 head) {
  // Room first, so that a cell once made is always recorded.
  if (cells_.size() == cells_.capacity()) cells_.reserve(cells_.empty() ? 64 : 2 * cells_.size());
  InstrList cell = tail.cons(head);
  cells_.push_back(cell);
  return cell;
}

// --- the map ---------------------------------------------------------------------------------

RawECCs::RawECCs(RawECCs&& o) noexcept
    : inner(std::move(o.inner)),
      nqubits(o.nqubits),
      drop(std::exchange(o.drop, false)),
      cells(std::move(o.cells)) {
  o.inner.clear();
}

RawECCs& RawECCs::operator=(RawECCs&& o) noexcept {
  if (this != &o) {
    release_cells();
    inner = std::move(o.inner);
    o.inner.clear();
    nqubits = o.nqubits;
    drop = std::exchange(o.drop, false);
    cells = std::move(o.cells);
  }
  return *this;
}

RawECCs::~RawECCs() { release_cells(); }

void RawECCs::release_cells() noexcept {
  inner.clear();
  if (drop && cells) cells->own();
  drop = false;
  cells.reset();
}

RawECCs RawECCs::create(const Evaluator& evaluator) {
  RawECCs m;
  m.nqubits = evaluator.nqubits();
  const std::uint64_t key = evaluator.initial_key();
  m.inner.emplace(key, CircuitECC::root(m.nqubits));
  return m;
}

std::optional<InstrList> RawECCs::add_entry(std::uint64_t hash_value, Permut32 front_perm,
                                            Permut32 back_perm, InstrList circ,
                                            std::span<const Instr32> instr_vec) {
  if (instr_vec.empty()) stop("called `Option::unwrap()` on a `None` value");
  const Instr32 instr = instr_vec.back();

  SurfaceGates front = circuit_get_surface_gates(instr_vec);
  const Permut32 front_inv = front_perm.inv();
  for (Instr32& g : front) g = g.apply_permutation(front_inv);
  SurfaceGates back = circuit_get_surface_gates_reversed(instr_vec);
  for (Instr32& g : back) g = g.apply_permutation(back_perm);

  if (!cells) cells = std::make_shared<CellArena>();
  auto it = inner.find(hash_value);
  if (it == inner.end()) {
    CircuitECC c;
    c.size = static_cast<std::uint32_t>(instr_vec.size());
    for (const Instr32 g : front) c.front_gates.insert(g);
    for (const Instr32 g : back) c.back_gates.insert(g);
    c.circuits.push_back(CircTriple{front_perm, InstrList::nil(), back_perm});
    const InstrList cell = cells->cons(circ, instr);
    c.circuits.front().circ = cell;
    inner.emplace(hash_value, std::move(c));
    return cell;
  }

  CircuitECC& c = it->second;
  bool fresh = true;
  for (const Instr32 g : front)
    if (c.front_gates.contains(g)) fresh = false;
  for (const Instr32 g : back)
    if (c.back_gates.contains(g)) fresh = false;
  if (!fresh) return std::nullopt;

  c.circuits.reserve(c.circuits.size() + 1);
  for (const Instr32 g : front) c.front_gates.insert(g);
  for (const Instr32 g : back) c.back_gates.insert(g);
  c.circuits.push_back(CircTriple{front_perm, cells->cons(circ, instr), back_perm});
  return std::nullopt;
}

}  // namespace marrowfen
