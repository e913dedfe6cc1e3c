#include "circ/gate.hpp"

#include <atomic>
#include <bit>
#include <cstring>

#include "core/panic.hpp"

namespace marrowfen {
namespace {

double bits(std::uint64_t b) { return std::bit_cast<double>(b); }

struct BuiltinRow {
  const char* name;
  const char* param;  // nullptr: no parameters
  int nq;
  // Entries given row by row: (re, im) pairs.
  std::vector<std::pair<double, double>> entries;
};

// Row-major lists of (re, im).
std::vector<std::pair<double, double>> diag(std::vector<std::pair<double, double>> d) {
  std::size_t n = d.size();
  std::vector<std::pair<double, double>> out(n * n, {0.0, 0.0});
  for (std::size_t i = 0; i < n; ++i) out[i * n + i] = d[i];
  return out;
}

std::vector<GateData> builtin_rows() {
  const double r = bits(0x3fe6a09e667f3bcdULL);
  const double c4 = bits(0x3fe6a09e667f3bcdULL), s4 = bits(0x3fe6a09e667f3bccULL);
  const double c8 = bits(0x3fed906bcf328d46ULL), s8 = bits(0x3fd87de2a6aea963ULL);
  const double c3 = bits(0x3fe0000000000001ULL), s3 = bits(0x3febb67ae8584caaULL);
  const double c5 = bits(0x3fe9e3779b97f4a8ULL), s5 = bits(0x3fe2cf2304755a5eULL);
  const double c16 = bits(0x3fef6297cff75cb0ULL), s16 = bits(0x3fc8f8b83c69a60aULL);
  using P = std::pair<double, double>;
  const P o{1.0, 0.0}, z{0.0, 0.0}, m{-1.0, 0.0}, i{0.0, 1.0}, mi{0.0, -1.0};
  std::vector<BuiltinRow> t = {
      {"i", nullptr, 1, {o, z, z, o}},
      {"h", nullptr, 1, {{r, 0.0}, {r, 0.0}, {r, 0.0}, {-r, 0.0}}},
      {"x", nullptr, 1, {z, o, o, z}},
      {"z", nullptr, 1, {o, z, z, m}},
      {"y", nullptr, 1, {z, mi, i, z}},
      {"s", nullptr, 1, diag({o, i})},
      {"sdg", nullptr, 1, diag({o, mi})},
      {"t", nullptr, 1, diag({o, {c4, s4}})},
      {"tdg", nullptr, 1, diag({o, {c4, -s4}})},
      {"cx", nullptr, 2, {o, z, z, z, z, o, z, z, z, z, z, o, z, z, o, z}},
      {"cz", nullptr, 2, diag({o, o, o, m})},
      {"cy", nullptr, 2, {o, z, z, z, z, o, z, z, z, z, z, mi, z, z, i, z}},
      {"cs", nullptr, 2, diag({o, o, o, i})},
      {"csdg", nullptr, 2, diag({o, o, o, mi})},
      {"swap", nullptr, 2, {o, z, z, z, z, z, o, z, z, o, z, z, z, z, z, o}},
      {"t1/2", nullptr, 1, diag({o, {c8, s8}})},
      {"tdg1/2", nullptr, 1, diag({o, {c8, -s8}})},
      {"rz", "pi/3", 1, diag({o, {c3, s3}})},
      {"rz", "-pi/3", 1, diag({o, {c3, -s3}})},
      {"rz", "pi/5", 1, diag({o, {c5, s5}})},
      {"rz", "-pi/5", 1, diag({o, {c5, -s5}})},
      {"rz", "pi/16", 1, diag({o, {c16, s16}})},
      {"rz", "-pi/16", 1, diag({o, {c16, -s16}})},
  };
  std::vector<GateData> rows;
  rows.reserve(64);
  for (auto& b : t) {
    GateData d;
    d.name = b.name;
    if (b.param) d.params.push_back(b.param);
    const std::uint32_t n = 1u << b.nq;
    d.matrix = GateMatrix(n, n);
    for (std::uint32_t row = 0; row < n; ++row)
      for (std::uint32_t col = 0; col < n; ++col) {
        auto [re, im] = b.entries[row * n + col];
        d.matrix.at(row, col) = QComplex{re, im};
      }
    rows.push_back(std::move(d));
  }
  return rows;
}

std::string display_of(const std::string& name, const std::vector<std::string>& params) {
  if (params.empty()) return name;
  std::string s = name;
  s += '(';
  for (std::size_t k = 0; k < params.size(); ++k) {
    if (k) s += ", ";
    s += params[k];
  }
  s += ')';
  return s;
}

}  // namespace

InstructionSet& instruction_set() {
  static InstructionSet* set = [] {
    auto* s = new InstructionSet;
    s->rows = builtin_rows();
    return s;
  }();
  return *set;
}

std::size_t registry_size() {
  InstructionSet& set = instruction_set();
  SharedGuard g(set.lock);
  return set.rows.size();
}

std::string GateData::display() const { return display_of(name, params); }

Gate16 Gate16::create(std::string name, std::vector<std::string> params, GateMatrix matrix) {
  if (!std::has_single_bit(matrix.rows))
    stop("Matrix must have a number of rows that is a power of two");
  if (matrix.cols != matrix.rows) stop("Matrix must be squared");
  GateData row;
  row.name = std::move(name);
  row.params = std::move(params);
  row.matrix = std::move(matrix);
  const std::uint64_t h = row.hash_value();
  InstructionSet& set = instruction_set();
  ExclusiveGuard g(set.lock);
  for (std::size_t k = 0; k < set.rows.size(); ++k)
    if (set.rows[k].hash_value() == h) return Gate16{static_cast<std::uint16_t>(k)};
  // Handles are 16 bits: never hand out one that already names another row.
  if (set.rows.size() >= 65536) stop("Gate registry is full: at most 65536 gates");
  set.rows.push_back(std::move(row));
  return Gate16{static_cast<std::uint16_t>(set.rows.size() - 1)};
}

std::optional<Gate16> Gate16::from_name(std::string_view text) {
  InstructionSet& set = instruction_set();
  SharedGuard g(set.lock);
  for (std::size_t k = 0; k < set.rows.size(); ++k)
    if (set.rows[k].display() == text) return Gate16{static_cast<std::uint16_t>(k)};
  return std::nullopt;
}

Gate16 Gate16::from_name_or_stop(std::string_view text) {
  if (auto g = from_name(text)) return *g;
  stop(fmt::format("Failed to deserialize Gate16 from {}", text));
}

std::atomic<std::uint32_t> ADJOINT_CACHE[65536];

Gate16 Gate16::adjoint_uncached() const {
  InstructionSet& set = instruction_set();
  {
    SharedGuard g(set.lock);
    if (auto a = set.rows[raw].adjoint) return Gate16{*a};
  }
  std::string n;
  {
    SharedGuard g(set.lock);
    n = set.rows[raw].name;
  }
  n += "\u2020";
  std::vector<std::string> p = params();
  GateMatrix adj;
  {
    SharedGuard g(set.lock);
    const GateMatrix& m = set.rows[raw].matrix;
    adj = GateMatrix(m.cols, m.rows);
    for (std::uint32_t i = 0; i < adj.rows; ++i)
      for (std::uint32_t j = 0; j < adj.cols; ++j) {
        QComplex e = m.at(j, i);
        adj.at(i, j) = QComplex{e.re, -e.im};
      }
  }
  Gate16 result = create(std::move(n), std::move(p), std::move(adj));
  {
    ExclusiveGuard g(set.lock);
    set.rows[raw].adjoint = result.raw;
  }
  ADJOINT_CACHE[raw].store(std::uint32_t(result.raw) + 1, std::memory_order_release);
  return result;
}

std::uint32_t Gate16::nqargs() const {
  InstructionSet& set = instruction_set();
  SharedGuard g(set.lock);
  return static_cast<std::uint32_t>(std::countr_zero(set.rows[raw].matrix.rows));
}

std::string Gate16::name() const {
  InstructionSet& set = instruction_set();
  SharedGuard g(set.lock);
  return set.rows[raw].name;
}

std::vector<std::string> Gate16::params() const {
  InstructionSet& set = instruction_set();
  SharedGuard g(set.lock);
  return set.rows[raw].params;
}

GateMatrix Gate16::matrix_copy() const {
  return with_matrix([](const GateMatrix& m) { return m; });
}

std::string Gate16::display() const { return display_of(name(), params()); }

std::string Gate16::debug() const {
  std::string n = name();
  std::vector<std::string> p = params();
  return fmt::format("Gate({} -> {})", raw, display_of(n, p));
}

}  // namespace marrowfen
