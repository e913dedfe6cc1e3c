#include "identity/cutting.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <deque>
#include <exception>
#include <limits>
#include <utility>

#include "core/panic.hpp"
#include "core/thread_pool.hpp"

namespace marrowfen {

// ---------------------------------------------------------------------------------------------
// COMBINATIONS

namespace {

struct CombinationData {
  std::vector<std::uint8_t> data;       // every selection's indices, one after the other
  std::vector<std::uint32_t> offsets;   // start of selection s in data; total + 1 entries
  std::size_t first[COMBINATIONS_LEN + 1] = {};  // first selection of entry L

  CombinationData() {
    offsets.push_back(0);
    std::uint8_t c[COMBINATIONS_LEN];
    for (unsigned len = 0; len < COMBINATIONS_LEN; ++len) {
      first[len] = offsets.size() - 1;
      const unsigned kmax = std::min(len / 2 + 1, len);
      for (unsigned k = 0; k <= kmax; ++k) {
        for (unsigned i = 0; i < k; ++i) c[i] = static_cast<std::uint8_t>(i);
        while (true) {
          data.insert(data.end(), c, c + k);
          offsets.push_back(static_cast<std::uint32_t>(data.size()));
          // Next k-combination in lexicographic order: bump the rightmost index that can
          // still grow, and restart the ones after it just above it.
          unsigned i = k;
          while (i > 0 && c[i - 1] == len - k + (i - 1)) --i;
          if (i == 0) break;
          ++c[i - 1];
          for (unsigned j = i; j < k; ++j) c[j] = static_cast<std::uint8_t>(c[j - 1] + 1);
        }
      }
    }
    first[COMBINATIONS_LEN] = offsets.size() - 1;
    data.shrink_to_fit();
    offsets.shrink_to_fit();
  }
};

// Built by the first thread that asks; the others wait for it. Never freed.
const CombinationData& combination_data() {
  static const CombinationData* table = new CombinationData();
  return *table;
}

}  // namespace

CombinationEntry Combinations::operator[](std::size_t len) const {
  if (len >= COMBINATIONS_LEN) stop_index_out_of_bounds(COMBINATIONS_LEN, len);
  const CombinationData& t = combination_data();
  CombinationEntry e;
  e.data_ = t.data.data();
  e.offsets_ = t.offsets.data() + t.first[len];
  e.count_ = t.first[len + 1] - t.first[len];
  return e;
}

std::size_t Combinations::total() const { return combination_data().first[COMBINATIONS_LEN]; }

// ---------------------------------------------------------------------------------------------
// IdentitySubcircuit: the tests and the split one query at a time, straight from their
// definitions; the reference that the cutter below must match.

namespace {

void check_shape(const IdentitySubcircuit& sub) {
  if (sub.gates.size() != sub.circuit.len())
    stop(fmt::format("IdentitySubcircuit: {} flags for an identity of {} instructions",
                     sub.gates.size(), sub.circuit.len()));
}

std::optional<std::size_t> first_set(const std::vector<bool>& flags) {
  for (std::size_t i = 0; i < flags.size(); ++i)
    if (flags[i]) return i;
  return std::nullopt;
}

std::optional<std::size_t> last_set(const std::vector<bool>& flags) {
  for (std::size_t i = flags.size(); i-- > 0;)
    if (flags[i]) return i;
  return std::nullopt;
}

// Only the qubit of a port counts.
bool distinct_qubits(const std::vector<Port>& ports) {
  std::uint64_t seen[4] = {};
  for (const Port& p : ports) {
    std::uint64_t& word = seen[p.qubit >> 6];
    const std::uint64_t bit = std::uint64_t{1} << (p.qubit & 63);
    if (word & bit) return false;
    word |= bit;
  }
  return true;
}

enum class Side { Inputs, Outputs };

std::vector<Port> ports(const IdentitySubcircuit& sub, Side side) {
  check_shape(sub);
  std::vector<Port> out;
  for (std::uint32_t i = 0; i < sub.circuit.len(); ++i) {
    if (!sub.gates[i]) continue;
    const std::vector<std::uint32_t> nb =
        side == Side::Inputs ? sub.circuit.qargs_backward(i) : sub.circuit.qargs_forward(i);
    const QArgs16 args = sub.circuit.circ.instrs[i].qargs();
    for (std::uint32_t k = 0; k < nb.size(); ++k) {
      const std::uint32_t j = nb[k];
      if (!sub.gates[j] || j == i) out.push_back(Port{args.slots[k], i, k});
    }
  }
  return out;
}

}  // namespace

bool IdentitySubcircuit::is_connected() const {
  check_shape(*this);
  const std::optional<std::size_t> s = first_set(gates);
  if (!s) return true;
  std::vector<bool> visited(gates.size(), false);
  std::vector<std::uint32_t> queue{static_cast<std::uint32_t>(*s)};
  visited[*s] = true;
  for (std::size_t head = 0; head < queue.size(); ++head) {
    const std::uint32_t x = queue[head];
    for (const auto& nb : {circuit.qargs_forward(x), circuit.qargs_backward(x)}) {
      for (std::uint32_t j : nb) {
        if (gates[j] && !visited[j]) {
          visited[j] = true;
          queue.push_back(j);
        }
      }
    }
  }
  return visited == gates;
}

std::vector<Port> IdentitySubcircuit::inputs() const { return ports(*this, Side::Inputs); }

std::vector<Port> IdentitySubcircuit::outputs() const { return ports(*this, Side::Outputs); }

bool IdentitySubcircuit::is_convex() const {
  if (!distinct_qubits(inputs())) return false;
  return distinct_qubits(outputs());
}

std::optional<std::pair<Circ, Circ>> IdentitySubcircuit::split() const {
  check_shape(*this);
  const std::optional<std::size_t> first = first_set(gates);
  if (!first) return std::nullopt;
  const std::size_t s = *first;

  Circ circ = circuit.circ.rotate(static_cast<std::int32_t>(s));
  std::vector<bool> flags(gates.begin() + static_cast<std::ptrdiff_t>(s), gates.end());
  flags.insert(flags.end(), gates.begin(), gates.begin() + static_cast<std::ptrdiff_t>(s));
  std::deque<Instr32> block;

  auto disjoint_from_block = [&](Instr32 x) {
    for (Instr32 b : block)
      if (!x.disjoint(b)) return false;
    return true;
  };

  // Front phase: gather at the front of the working circuit.
  while (const std::optional<std::size_t> fi = first_set(flags)) {
    const std::size_t i = *fi;
    if (i == 0) {
      block.push_back(circ.instrs[0]);
      circ.instrs.erase(circ.instrs.begin());
      flags.erase(flags.begin());
    } else if (circ.instrs[i - 1].disjoint(circ.instrs[i])) {
      std::swap(circ.instrs[i - 1], circ.instrs[i]);
      const bool f = flags[i - 1];
      flags[i - 1] = flags[i];
      flags[i] = f;
    } else if (std::all_of(circ.instrs.begin(),
                           circ.instrs.begin() + static_cast<std::ptrdiff_t>(i),
                           disjoint_from_block)) {
      circ = circ.rotate(static_cast<std::int32_t>(i));
      std::rotate(flags.begin(), flags.begin() + static_cast<std::ptrdiff_t>(i), flags.end());
    } else {
      break;
    }
  }

  // Back phase: gather across the end, through the permutation.
  while (const std::optional<std::size_t> li = last_set(flags)) {
    const std::size_t i = *li;
    const std::size_t n = circ.instrs.size();
    if (i == n - 1) {
      block.push_front(circ.instrs[n - 1].permut(circ.perm));
      circ.instrs.pop_back();
      flags.pop_back();
    } else if (circ.instrs[i].disjoint(circ.instrs[i + 1])) {
      std::swap(circ.instrs[i], circ.instrs[i + 1]);
      const bool f = flags[i];
      flags[i] = flags[i + 1];
      flags[i + 1] = f;
    } else {
      bool free = true;
      for (std::size_t j = i + 1; j < n && free; ++j)
        free = disjoint_from_block(circ.instrs[j].permut(circ.perm));
      if (!free) return std::nullopt;
      const std::size_t m = n - 1 - i;
      circ = circ.rotate(-static_cast<std::int32_t>(m));
      std::rotate(flags.begin(), flags.end() - static_cast<std::ptrdiff_t>(m), flags.end());
    }
  }

  Circ sub = Circ::create(std::vector<Instr32>(block.begin(), block.end()),
                          Permut32::identity(circuit.nqubits()));
  return std::pair<Circ, Circ>{std::move(sub), std::move(circ)};
}

// ---------------------------------------------------------------------------------------------
// IdentityCutter.
//
// For a well-formed identity (every qubit below the qubit count, the permutation a true
// permutation of its entries) the neighbour lists are computed once, and each selection is
// tested and split on a bit mask and fixed arrays. The results are those of the
// IdentitySubcircuit methods above: for selection [i] the connectivity test asks
// qargs_forward(i) and then qargs_backward(i) first, and the table lists [0], [1], ... right
// after the empty selection, so computing the lists in that order up front stops with the
// message the first failing selection would give. Any other identity runs the methods above
// selection by selection over the whole table.
//
// Only connected selections can be cuts, and a connected selection is connected in the
// undirected graph of the neighbour lists (and when every instruction is a neighbour of its
// neighbours, the selections connected in that graph are exactly the connected ones). So the cutter grows exactly the selections that are
// connected in that graph, each once (every selection from its smallest index: a grown
// selection takes a neighbour above that index that is not yet next to the selection, or one
// that was offered before), tests each with the table's own connectivity and convexity tests,
// and sorts the survivors into table order: size ascending, then lexicographic, which for two
// selections of one size means the one holding the smallest index of their difference first.

namespace {

using Mask = IdentityCutter::Mask;
constexpr std::uint32_t MAX_LEN = IdentityCutter::MAX_LEN;

constexpr Mask low_bits(std::uint32_t n) noexcept { return (Mask{1} << n) - 1; }
// The flag list of n entries rotated left (first r entries to the end) or right.
constexpr Mask rotl(Mask f, std::uint32_t r, std::uint32_t n) noexcept {
  return r == 0 ? f : ((f >> r) | (f << (n - r))) & low_bits(n);
}
constexpr Mask rotr(Mask f, std::uint32_t r, std::uint32_t n) noexcept {
  return r == 0 ? f : ((f << r) | (f >> (n - r))) & low_bits(n);
}

// The sort key of a selection in table order: its size, then its indices lexicographically.
// For masks of one size the lexicographically smaller one holds the lowest bit of their
// difference, that is it has the larger bit-reversed value.
constexpr Mask bit_reversed(Mask r) noexcept {
  r = ((r >> 1) & 0x55555555u) | ((r & 0x55555555u) << 1);
  r = ((r >> 2) & 0x33333333u) | ((r & 0x33333333u) << 2);
  r = ((r >> 4) & 0x0F0F0F0Fu) | ((r & 0x0F0F0F0Fu) << 4);
  return __builtin_bswap32(r);
}
constexpr std::uint64_t table_key(Mask m) noexcept {
  return (std::uint64_t(std::popcount(m)) << 32) | static_cast<Mask>(~bit_reversed(m));
}
constexpr Mask key_selection(std::uint64_t key) noexcept {
  return bit_reversed(~static_cast<Mask>(key));
}

bool well_formed(const Circ& c) {
  const std::uint8_t n = c.nqubits();
  unsigned used = 0;
  for (std::uint8_t i = 0; i < n; ++i) {
    const std::uint8_t v = c.perm.entry(i);
    if (v >= n || ((used >> v) & 1)) return false;
    used |= 1u << v;
  }
  for (Instr32 in : c.instrs)
    for (std::uint8_t q : in.qargs())
      if (q >= n) return false;
  return true;
}

// Every selection of the entry through the IdentitySubcircuit methods, in chunks on the pool.
std::vector<std::pair<Circ, Circ>> table_splits_by_methods(const IdentityCirc& id) {
  const CombinationEntry entry = COMBINATIONS[id.len()];
  constexpr std::size_t chunk = 256;
  return collect_ordered<std::pair<Circ, Circ>>(
      (entry.size() + chunk - 1) / chunk, [&](std::size_t c, auto& out) {
        const std::size_t end = std::min(entry.size(), (c + 1) * chunk);
        IdentitySubcircuit sub{id, std::vector<bool>(id.len(), false)};
        for (std::size_t i = c * chunk; i < end; ++i) {
          std::fill(sub.gates.begin(), sub.gates.end(), false);
          for (std::uint8_t j : entry[i]) sub.gates[j] = true;
          if (sub.is_connected() && sub.is_convex())
            if (auto p = sub.split()) out.push_back(std::move(*p));
        }
      });
}

}  // namespace

IdentityCutter::IdentityCutter(const IdentityCirc& id) : id_(id), len_(id.len()) {
  if (len_ >= COMBINATIONS_LEN) stop_index_out_of_bounds(COMBINATIONS_LEN, len_);
  fast_ = well_formed(id.circ);
  if (!fast_) return;
  perm_ = id.circ.perm;
  perm_inv_ = perm_.inv();
  for (std::uint32_t i = 0; i < len_; ++i) {
    const Instr32 in = id.circ.instrs[i];
    instr_[i] = in;
    const QArgs16 args = in.qargs();
    nargs_[i] = static_cast<std::uint8_t>(args.len());
    for (std::size_t k = 0; k < nargs_[i]; ++k) qubit_[i][k] = args.slots[k];
  }
  if (!neighbour_lists()) {
    // Some wire meets no instruction within one cycle: the queries stop with their message,
    // in the order in which the first selections of the table ask them.
    for (std::uint32_t i = 0; i < len_; ++i) {
      (void)id.qargs_forward(i);
      (void)id.qargs_backward(i);
    }
    stop("IdentityCutter: neighbour lists disagree with the queries");
  }
  for (std::uint32_t i = 0; i < len_; ++i) {
    Mask nb = 0;
    for (std::size_t k = 0; k < nargs_[i]; ++k) nb |= (Mask{1} << fwd_[i][k]) | (Mask{1} << bwd_[i][k]);
    neighbours_[i] = nb;
  }
  for (std::uint32_t i = 0; i < len_; ++i)
    for (Mask f = neighbours_[i] & ~(Mask{1} << i); f != 0; f &= f - 1)
      symmetric_ &= (neighbours_[std::countr_zero(f)] >> i) & 1;
}

// IdentityCirc::qargs_forward and qargs_backward of every instruction, without building the
// rotated circuits: walking forward from instruction i meets i+1 .. L-1 as they stand, then
// 0 .. i carried back across the permutation; walking backward meets i-1 .. 0 as they stand,
// then L-1 .. i carried forward across it. Each argument takes the first instruction met on
// its qubit (the first argument with that qubit, when both have it). False when some argument
// meets none.
bool IdentityCutter::neighbour_lists() noexcept {
  constexpr std::uint8_t unset = 0xFF;
  Instr32 back[MAX_LEN], ahead[MAX_LEN];  // carried back, carried forward across the permutation
  for (std::uint32_t j = 0; j < len_; ++j) {
    back[j] = instr_[j].permut(perm_inv_);
    ahead[j] = instr_[j].permut(perm_);
  }
  const auto first_arg = [&](std::uint32_t i, std::uint8_t q) -> int {
    for (std::uint32_t k = 0; k < nargs_[i]; ++k)
      if (qubit_[i][k] == q) return static_cast<int>(k);
    return -1;
  };
  for (std::uint32_t i = 0; i < len_; ++i) {
    const std::uint32_t n = nargs_[i];
    // Fills out[k] with the nearest instruction, in the order `at(t)` walks, that uses
    // argument k of instruction i; false when some argument has none.
    auto nearest = [&](std::uint8_t (&out)[2], auto at) {
      std::uint32_t open = n;  // arguments without a neighbour yet
      for (std::uint32_t t = 0; t < len_ && open > 0; ++t) {
        const auto [j, other] = at(t);
        for (std::uint8_t q : other.qargs()) {
          const int k = first_arg(i, q);
          if (k >= 0 && out[k] == unset) {
            out[k] = static_cast<std::uint8_t>(j);
            --open;
          }
        }
      }
      return open == 0;
    };
    std::uint8_t fwd[2] = {unset, unset}, bwd[2] = {unset, unset};
    // Forward from i: i+1 .. L-1 as they stand, then 0 .. i carried back.
    const bool found_fwd = nearest(fwd, [&](std::uint32_t t) {
      const std::uint32_t j = i + 1 + t < len_ ? i + 1 + t : i + 1 + t - len_;
      return std::pair<std::uint32_t, Instr32>{j, i + 1 + t < len_ ? instr_[j] : back[j]};
    });
    if (!found_fwd) return false;
    // Backward from i: i-1 .. 0 as they stand, then L-1 .. i carried forward.
    const bool found_bwd = nearest(bwd, [&](std::uint32_t t) {
      const bool wrapped = t >= i;
      const std::uint32_t j = wrapped ? len_ - 1 - (t - i) : i - 1 - t;
      return std::pair<std::uint32_t, Instr32>{j, wrapped ? ahead[j] : instr_[j]};
    });
    if (!found_bwd) return false;
    for (std::uint32_t k = 0; k < n; ++k) {
      fwd_[i][k] = fwd[k];
      bwd_[i][k] = bwd[k];
    }
  }
  return true;
}

bool IdentityCutter::connected(Mask sel) const noexcept {
  if (sel == 0) return true;
  Mask visited = sel & (~sel + 1);  // the first selected instruction
  Mask frontier = visited;
  while (frontier != 0) {
    Mask next = 0;
    for (Mask f = frontier; f != 0; f &= f - 1) next |= neighbours_[std::countr_zero(f)];
    frontier = next & sel & ~visited;
    visited |= frontier;
  }
  return visited == sel;
}

bool IdentityCutter::distinct_boundary(Mask sel, const std::uint8_t (&nb)[MAX_LEN][2]) const
    noexcept {
  unsigned seen = 0;  // qubits are below 8
  for (Mask f = sel; f != 0; f &= f - 1) {
    const auto i = static_cast<std::uint32_t>(std::countr_zero(f));
    for (std::uint32_t k = 0; k < nargs_[i]; ++k) {
      const std::uint32_t j = nb[i][k];
      if (((sel >> j) & 1) && j != i) continue;
      const unsigned bit = 1u << qubit_[i][k];
      if (seen & bit) return false;
      seen |= bit;
    }
  }
  return true;
}

bool IdentityCutter::convex(Mask sel) const noexcept {
  return distinct_boundary(sel, bwd_) && distinct_boundary(sel, fwd_);
}

void IdentityCutter::candidates(std::vector<std::uint64_t>& out) const {
  out.clear();
  if (!fast_ || len_ == 0) return;
  const std::uint32_t kmax = std::min(len_ / 2 + 1, len_);
  // Undirected neighbours, without the instruction itself.
  Mask adj[MAX_LEN];
  for (std::uint32_t i = 0; i < len_; ++i) adj[i] = neighbours_[i];
  for (std::uint32_t i = 0; i < len_; ++i)
    for (Mask f = neighbours_[i]; f != 0; f &= f - 1)
      adj[std::countr_zero(f)] |= Mask{1} << i;
  for (std::uint32_t i = 0; i < len_; ++i) adj[i] &= ~(Mask{1} << i);

  // The boundary of a selection is kept up to date as it grows. Ports are numbered 2i + k
  // (argument k of instruction i). Adding w makes each argument of w a port unless its
  // neighbour on that side is selected (and is not w itself), and closes the ports of selected
  // instructions whose neighbour is w. A count per qubit (one byte each, qubits are below 8)
  // tells whether two ports share a qubit: that is convexity, as convex() tests it.
  std::uint64_t closes_in[MAX_LEN] = {}, closes_out[MAX_LEN] = {};
  for (std::uint32_t i = 0; i < len_; ++i)
    for (std::uint32_t k = 0; k < nargs_[i]; ++k) {
      const std::uint64_t port = std::uint64_t{1} << (2 * i + k);
      if (bwd_[i][k] != i) closes_in[bwd_[i][k]] |= port;
      if (fwd_[i][k] != i) closes_out[fwd_[i][k]] |= port;
    }
  const auto lane = [&](std::uint32_t port) {
    return std::uint64_t{1} << (8 * qubit_[port >> 1][port & 1]);
  };
  struct Boundary {
    std::uint64_t ports_in = 0, ports_out = 0;  // open ports
    std::uint64_t count_in = 0, count_out = 0;  // open ports per qubit
    bool convex() const noexcept {
      return ((count_in | count_out) & 0xFEFE'FEFE'FEFE'FEFEull) == 0;
    }
  };
  // The boundary of sel | w (w not in sel) from the boundary of sel.
  const auto grow = [&](Boundary b, Mask sel, std::uint32_t w) {
    const Mask with = sel | (Mask{1} << w);
    for (std::uint64_t c = closes_in[w] & b.ports_in; c != 0; c &= c - 1)
      b.count_in -= lane(static_cast<std::uint32_t>(std::countr_zero(c)));
    for (std::uint64_t c = closes_out[w] & b.ports_out; c != 0; c &= c - 1)
      b.count_out -= lane(static_cast<std::uint32_t>(std::countr_zero(c)));
    b.ports_in &= ~closes_in[w];
    b.ports_out &= ~closes_out[w];
    for (std::uint32_t k = 0; k < nargs_[w]; ++k) {
      const std::uint32_t port = 2 * w + k;
      if (bwd_[w][k] == w || !((with >> bwd_[w][k]) & 1)) {
        b.ports_in |= std::uint64_t{1} << port;
        b.count_in += lane(port);
      }
      if (fwd_[w][k] == w || !((with >> fwd_[w][k]) & 1)) {
        b.ports_out |= std::uint64_t{1} << port;
        b.count_out += lane(port);
      }
    }
    return b;
  };

  // Depth-first growth without recursion: frame d holds a selection of d + 1 instructions.
  struct Frame {
    Mask sel;      // the selection
    Mask offered;  // neighbours that may still join it
    Mask around;   // the selection and all its neighbours
    Boundary boundary;
  };
  Frame stack[MAX_LEN];
  // When every neighbour lists its neighbour back, the grown selections are exactly the
  // connected ones.
  const auto report = [&](const Frame& f) {
    if (f.boundary.convex() && (symmetric_ || connected(f.sel))) out.push_back(table_key(f.sel));
  };
  for (std::uint32_t v = 0; v < len_; ++v) {
    const Mask above = ~low_bits(v + 1);
    std::uint32_t depth = 0;
    stack[0] = Frame{Mask{1} << v, adj[v] & above, adj[v] | (Mask{1} << v), grow({}, 0, v)};
    report(stack[0]);
    for (;;) {
      Frame& f = stack[depth];
      if (f.offered == 0 || depth + 1 == kmax) {
        if (depth == 0) break;
        --depth;
        continue;
      }
      const Mask w = f.offered & (~f.offered + 1);
      f.offered &= ~w;
      const auto wi = static_cast<std::uint32_t>(std::countr_zero(w));
      stack[depth + 1] = Frame{f.sel | w, f.offered | (adj[wi] & ~f.around & above),
                               f.around | adj[wi], grow(f.boundary, f.sel, wi)};
      ++depth;
      report(stack[depth]);
    }
  }
  std::sort(out.begin(), out.end());
}

bool IdentityCutter::split(Mask sel, CutParts& out) const {
  if (sel == 0) return false;
  Instr32 w[MAX_LEN];
  std::uint32_t n = len_;
  const auto s = static_cast<std::uint32_t>(std::countr_zero(sel));
  rotate_left(w, instr_, n, s);
  Mask flags = rotl(sel, s, n);

  Instr32 block[2 * MAX_LEN];
  std::uint32_t head = MAX_LEN, tail = MAX_LEN;  // the block is block[head .. tail)
  unsigned block_mask = 0;

  // Front phase.
  while (flags != 0) {
    const auto i = static_cast<std::uint32_t>(std::countr_zero(flags));
    if (i == 0) {
      block[tail++] = w[0];
      block_mask |= w[0].arg_mask();
      std::copy(w + 1, w + n, w);
      --n;
      flags >>= 1;
    } else if (w[i - 1].disjoint(w[i])) {
      std::swap(w[i - 1], w[i]);
      flags ^= (Mask{1} << (i - 1)) | (Mask{1} << i);
    } else {
      unsigned before = 0;
      for (std::uint32_t j = 0; j < i; ++j) before |= w[j].arg_mask();
      if (before & block_mask) break;
      Instr32 t[MAX_LEN];
      rotate_left(t, w, n, i);
      std::copy(t, t + n, w);
      flags = rotl(flags, i, n);
    }
  }

  // Back phase.
  while (flags != 0) {
    const auto i = static_cast<std::uint32_t>(31 - std::countl_zero(flags));
    if (i == n - 1) {
      const Instr32 x = w[n - 1].permut(perm_);
      block[--head] = x;
      block_mask |= x.arg_mask();
      --n;
      flags &= ~(Mask{1} << i);
    } else if (w[i].disjoint(w[i + 1])) {
      std::swap(w[i], w[i + 1]);
      flags ^= (Mask{1} << i) | (Mask{1} << (i + 1));
    } else {
      unsigned after = 0;
      for (std::uint32_t j = i + 1; j < n; ++j) after |= w[j].permut(perm_).arg_mask();
      if (after & block_mask) return false;
      const std::uint32_t m = n - 1 - i;
      Instr32 t[MAX_LEN];
      rotate_right(t, w, n, m);
      std::copy(t, t + n, w);
      flags = rotr(flags, m, n);
    }
  }

  out.block_len = tail - head;
  std::copy(block + head, block + tail, out.block);
  out.rest_len = n;
  std::copy(w, w + n, out.rest);
  return true;
}

void IdentityCutter::rotate_left(Instr32* dst, const Instr32* src, std::uint32_t n,
                                 std::uint32_t r) const noexcept {
  std::copy(src + r, src + n, dst);
  for (std::uint32_t j = 0; j < r; ++j) dst[n - r + j] = src[j].permut(perm_inv_);
}

void IdentityCutter::rotate_right(Instr32* dst, const Instr32* src, std::uint32_t n,
                                  std::uint32_t m) const noexcept {
  for (std::uint32_t j = 0; j < m; ++j) dst[j] = src[n - m + j].permut(perm_);
  std::copy(src, src + (n - m), dst + m);
}

std::optional<std::pair<Circ, Circ>> IdentityCutter::cut(
    std::span<const std::uint8_t> selection) const {
  if (!fast_) {
    IdentitySubcircuit sub{id_, std::vector<bool>(len_, false)};
    for (std::uint8_t i : selection) sub.gates[i] = true;
    if (sub.is_connected() && sub.is_convex()) return sub.split();
    return std::nullopt;
  }
  Mask sel = 0;
  for (std::uint8_t i : selection) sel |= Mask{1} << i;
  if (!connected(sel) || !convex(sel)) return std::nullopt;
  CutParts parts;
  if (!split(sel, parts)) return std::nullopt;
  return std::pair<Circ, Circ>{block_circ(parts), rest_circ(parts)};
}

Circ IdentityCutter::block_circ(const CutParts& p) const {
  return Circ{std::vector<Instr32>(p.block, p.block + p.block_len),
              Permut32::identity(id_.nqubits())};
}

Circ IdentityCutter::rest_circ(const CutParts& p) const {
  return Circ{std::vector<Instr32>(p.rest, p.rest + p.rest_len), id_.circ.perm};
}

// ---------------------------------------------------------------------------------------------
// IdentityCuts

IdentityCuts::IdentityCuts(const IdentityCirc& id, std::vector<std::uint64_t>& scratch)
    : cutter_(id), keys_(scratch) {
  if (cutter_.fast()) {
    cutter_.candidates(keys_);
  } else {
    keys_.clear();
    pairs_ = table_splits_by_methods(id);
  }
}

std::size_t IdentityCuts::size() const noexcept {
  return cutter_.fast() ? keys_.size() : pairs_.size();
}

bool IdentityCuts::get(std::size_t i, CutParts& out) const {
  if (cutter_.fast()) return cutter_.split(key_selection(keys_[i]), out);
  const auto& [s, r] = pairs_[i];
  out.block_len = static_cast<std::uint32_t>(s.instrs.size());
  std::copy(s.instrs.begin(), s.instrs.end(), out.block);
  out.rest_len = static_cast<std::uint32_t>(r.instrs.size());
  std::copy(r.instrs.begin(), r.instrs.end(), out.rest);
  return true;
}

// ---------------------------------------------------------------------------------------------

std::vector<std::pair<Circ, Circ>> IdentitySubcircuit::par_subcircuit_splits(
    const IdentityCirc& id) {
  std::vector<std::uint64_t> keys;
  const IdentityCuts cuts(id, keys);
  std::vector<std::pair<Circ, Circ>> out;
  out.reserve(cuts.size());
  CutParts parts;
  for (std::size_t i = 0; i < cuts.size(); ++i)
    if (cuts.get(i, parts))
      out.emplace_back(cuts.cutter().block_circ(parts), cuts.cutter().rest_circ(parts));
  return out;
}

std::vector<std::pair<Circ, Circ>> IdentitySubcircuit::table_subcircuit_splits(
    const IdentityCirc& id) {
  const CombinationEntry entry = COMBINATIONS[id.len()];
  const IdentityCutter cutter(id);
  constexpr std::size_t chunk = 256;
  return collect_ordered<std::pair<Circ, Circ>>(
      (entry.size() + chunk - 1) / chunk, [&](std::size_t c, auto& out) {
        const std::size_t end = std::min(entry.size(), (c + 1) * chunk);
        for (std::size_t i = c * chunk; i < end; ++i)
          if (auto pair = cutter.cut(entry[i])) out.push_back(std::move(*pair));
      });
}

}  // namespace marrowfen
