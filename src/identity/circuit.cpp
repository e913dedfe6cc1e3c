#include "identity/circuit.hpp"

#include <array>
#include <iterator>

#include "core/panic.hpp"
#include "core/postcard.hpp"

namespace marrowfen {

namespace {

// The largest qubit byte of either slot (255 is an empty slot, not a qubit), or -1. Both slots
// count, as the qubit check of Circ::create reads them.
int max_slot_qubit(Instr32 in) noexcept {
  int m = -1;
  for (unsigned s = 0; s < 2; ++s) {
    const std::uint8_t q = in.slot(s);
    if (q != Instr32::EMPTY && q > m) m = q;
  }
  return m;
}

int max_qubit_of(const std::vector<Instr32>& instrs) noexcept {
  int m = -1;
  for (Instr32 in : instrs) {
    const int q = max_slot_qubit(in);
    if (q > m) m = q;
  }
  return m;
}

[[noreturn]] void stop_rotate_range(std::uint32_t start, std::size_t len) {
  stop(fmt::format("range start index {} out of range for slice of length {}", start, len));
}

}  // namespace

// ---- construction ---------------------------------------------------------------------------

Circ Circ::create(std::vector<Instr32> instrs, Permut32 perm) {
  const int m = max_qubit_of(instrs);
  if (m >= 0 && m >= static_cast<int>(perm.len()))
    stop("Permutation length must be greater than the max qubit index.");
  return Circ{std::move(instrs), perm};
}

Circ Circ::new_no_perm(std::vector<Instr32> instrs) {
  const int m = max_qubit_of(instrs);
  Permut32 perm{};
  if (m >= 0) {
    if (m >= 8) stop("Permutation length must be less than or equal to 8");
    perm = Permut32::identity(static_cast<std::uint8_t>(m + 1));
  }
  return Circ{std::move(instrs), perm};
}

Instr32 Circ::at_cyclic(std::int64_t i) const {
  const auto n = static_cast<std::int64_t>(instrs.size());
  if (n == 0) stop("attempt to calculate the remainder with a divisor of zero");
  std::int64_t r = i % n;
  if (r < 0) r += n;
  return instrs[static_cast<std::size_t>(r)];
}

std::optional<std::uint8_t> Circ::max_qubit() const noexcept {
  const int m = max_qubit_of(instrs);
  if (m < 0) return std::nullopt;
  return static_cast<std::uint8_t>(m);
}

// ---- order, hash, texts, serialized forms ---------------------------------------------------

std::strong_ordering compare_instrs(const Instr32* a, const Instr32* b, std::size_t n) noexcept {
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint32_t ka = a[i].order_key();
    const std::uint32_t kb = b[i].order_key();
    if (ka != kb) return ka < kb ? std::strong_ordering::less : std::strong_ordering::greater;
  }
  return std::strong_ordering::equal;
}

std::strong_ordering operator<=>(const Circ& a, const Circ& b) noexcept {
  if (a.instrs.size() != b.instrs.size()) return a.instrs.size() <=> b.instrs.size();
  if (auto c = compare_instrs(a.instrs.data(), b.instrs.data(), a.instrs.size()); c != 0)
    return c;
  return a.perm.raw <=> b.perm.raw;
}

void Circ::feed(ContentHasher& h) const noexcept {
  h.usize(instrs.size());
  for (Instr32 in : instrs) in.feed(h);
  perm.feed(h);
}

std::string Circ::display_as(std::string_view word) const {
  fmt::memory_buffer buf;
  auto out = std::back_inserter(buf);
  fmt::format_to(out, "{} {{ ", word);
  for (Instr32 in : instrs) fmt::format_to(out, "{} ", in);
  fmt::format_to(out, "{} }}", perm);
  return fmt::to_string(buf);
}

std::string Circ::display() const { return display_as("Circuit"); }

std::string Circ::debug() const {
  fmt::memory_buffer buf;
  auto out = std::back_inserter(buf);
  fmt::format_to(out, "Circ {{ instrs: [");
  for (std::size_t i = 0; i < instrs.size(); ++i) {
    if (i != 0) fmt::format_to(out, ", ");
    fmt::format_to(out, "{}", instrs[i]);
  }
  fmt::format_to(out, "], perm: {} }}", perm);
  return fmt::to_string(buf);
}

void Circ::write_postcard(PostcardWriter& w) const {
  w.varint_len(instrs.size());
  for (Instr32 in : instrs) in.write_postcard(w);
  w.varint_u32(perm.raw);
}

Circ Circ::read_postcard(PostcardReader& r) {
  const std::uint32_t count = r.varint_len();
  Circ c;
  c.instrs.reserve(cautious_capacity<Instr32>(count));
  for (std::uint32_t i = 0; i < count; ++i) c.instrs.push_back(Instr32::read_postcard(r));
  c.perm = Permut32::from_raw(r.varint_u32());
  return c;
}

// ---- algebra --------------------------------------------------------------------------------

Circ Circ::permut(Permut32 p) const {
  const auto [big_p, q] = perm.coordinate_permute(p);
  std::vector<Instr32> out;
  out.reserve(instrs.size());
  for (Instr32 in : instrs) out.push_back(in.permut(q));
  return create(std::move(out), q * big_p * q.inv());
}

Circ Circ::rotate(std::int32_t n) const {
  const std::size_t len = instrs.size();
  if (n == 0) return *this;
  std::vector<Instr32> out;
  if (n > 0) {
    const auto k = static_cast<std::size_t>(n);
    if (k > len) stop_rotate_range(static_cast<std::uint32_t>(k), len);
    const Permut32 inv = perm.inv();
    out.reserve(len);
    out.insert(out.end(), instrs.begin() + static_cast<std::ptrdiff_t>(k), instrs.end());
    for (std::size_t i = 0; i < k; ++i) out.push_back(instrs[i].permut(inv));
  } else {
    const std::int64_t start = static_cast<std::int64_t>(len) + n;
    if (start < 0) stop_rotate_range(static_cast<std::uint32_t>(start), len);
    const auto s = static_cast<std::size_t>(start);
    out.reserve(len);
    for (std::size_t i = s; i < len; ++i) out.push_back(instrs[i].permut(perm));
    out.insert(out.end(), instrs.begin(), instrs.begin() + static_cast<std::ptrdiff_t>(s));
  }
  return create(std::move(out), perm);
}

Circ Circ::inverse() const {
  std::vector<Instr32> out;
  out.reserve(instrs.size());
  for (auto it = instrs.rbegin(); it != instrs.rend(); ++it) out.push_back(it->permut(perm).adjoint());
  return create(std::move(out), perm.inv());
}

Circ Circ::add(const Circ& b) const {
  const auto [pa, pb] = perm.coordinate_permute(b.perm);
  const Permut32 pa_inv = pa.inv();
  std::vector<Instr32> out;
  out.reserve(instrs.size() + b.instrs.size());
  out.insert(out.end(), instrs.begin(), instrs.end());
  for (Instr32 in : b.instrs) out.push_back(in.permut(pa_inv));
  return create(std::move(out), pb * pa);
}

Circ Circ::remove_swaps() const {
  const std::uint8_t n = perm.len();
  std::array<std::uint8_t, 8> w{};
  for (std::uint8_t i = 0; i < n; ++i) w[i] = i;
  auto at = [&](std::uint8_t q) -> std::uint8_t& {
    if (q >= n) stop_index_out_of_bounds(n, q);
    return w[q];
  };
  std::vector<Instr32> out;
  out.reserve(instrs.size());
  for (Instr32 in : instrs) {
    const QArgs16 q = in.qargs();
    if (in.gate() == gates::SWAP) {
      const std::uint8_t a = q[0];
      const std::uint8_t b = q[1];
      std::uint8_t& wa = at(a);
      std::uint8_t& wb = at(b);
      std::swap(wa, wb);
      continue;
    }
    QArgs16 r = q;
    for (std::size_t k = 0, nq = q.len(); k < nq; ++k) r.slots[k] = at(q.slots[k]);
    out.push_back(Instr32::pack(in.gate(), r));
  }
  const Permut32 wp = Permut32::from_iter_unchecked(std::span<const std::uint8_t>(w.data(), n));
  return create(std::move(out), perm * wp.inv());
}

std::vector<Instr32> Circ::instrs_with_swaps() const {
  std::vector<Instr32> out = instrs;
  for (auto [a, b] : perm.generate_swaps()) out.push_back(Instr32::two(gates::SWAP, a, b));
  return out;
}

std::optional<std::uint8_t> Circ::affected_qubits() const noexcept {
  int m = max_qubit_of(instrs);
  for (unsigned i = perm.len(); i-- > 0;) {
    if (perm.entry(i) != i) {
      if (static_cast<int>(i) > m) m = static_cast<int>(i);
      break;
    }
  }
  if (m < 0) return std::nullopt;
  return static_cast<std::uint8_t>(m);
}

Circ Circ::compact_qubits() && {
  if (instrs.empty()) return std::move(*this);
  const auto m = affected_qubits();
  if (!m) return std::move(*this);
  const unsigned keep = unsigned{*m} + 1;
  if (keep >= perm.len()) return std::move(*this);
  std::array<std::uint8_t, 8> entries{};
  for (unsigned i = 0; i < keep; ++i) entries[i] = perm.entry(i);
  perm = Permut32::from_iter(std::span<const std::uint8_t>(entries.data(), keep));
  return std::move(*this);
}

Circ Circ::reorder_instrs() && {
  Instr32* v = instrs.data();
  const std::size_t len = instrs.size();
  for (std::size_t i = 1; i < len; ++i) {
    for (std::size_t j = i; j > 0; --j) {
      if (!v[j].disjoint(v[j - 1])) break;
      if (!(v[j] < v[j - 1])) break;
      std::swap(v[j], v[j - 1]);
    }
  }
  return std::move(*this);
}

}  // namespace marrowfen
