// The gate registry: every gate is a 16-bit index into the process-wide, append-only
// registry returned by instruction_set(). Registration goes by the identity hash of the
// quantised matrix.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "core/content_hash.hpp"
#include "core/qreal.hpp"
#include "core/spin_rwlock.hpp"
#include "utils/fmt_display.hpp"

namespace marrowfen {

// A square complex matrix stored column by column.
struct GateMatrix {
  std::uint32_t rows = 0;
  std::uint32_t cols = 0;
  std::vector<QComplex> data;  // entry (i, j) at data[j * rows + i]

  GateMatrix() = default;
  GateMatrix(std::uint32_t r, std::uint32_t c) : rows(r), cols(c), data(std::size_t(r) * c) {}
  QComplex& at(std::uint32_t i, std::uint32_t j) { return data[std::size_t(j) * rows + i]; }
  const QComplex& at(std::uint32_t i, std::uint32_t j) const {
    return data[std::size_t(j) * rows + i];
  }
  // Row count, column count, then the entries column by column.
  void feed(ContentHasher& h) const noexcept {
    h.usize(rows);
    h.usize(cols);
    for (const auto& e : data) e.feed(h);
  }
};

struct Gate16;

struct GateData {
  std::string name;
  std::vector<std::string> params;
  GateMatrix matrix;
  std::optional<std::uint16_t> adjoint;

  std::uint64_t hash_value() const noexcept { return content_hash(matrix); }
  std::string display() const;
};

struct Gate16 {
  std::uint16_t raw = 0;

  friend constexpr bool operator==(Gate16 a, Gate16 b) noexcept { return a.raw == b.raw; }
  friend constexpr auto operator<=>(Gate16 a, Gate16 b) noexcept { return a.raw <=> b.raw; }
  void feed(ContentHasher& h) const noexcept { h.u16(raw); }

  static Gate16 create(std::string name, std::vector<std::string> params, GateMatrix matrix);
  static std::optional<Gate16> from_name(std::string_view text);
  // from_name, or stop with "Failed to deserialize Gate16 from {}".
  static Gate16 from_name_or_stop(std::string_view text);

  // The row of the conjugate-transpose matrix (registered on first use). After the first call
  // for a gate, one load from ADJOINT_CACHE, inline.
  Gate16 adjoint() const;
  // adjoint() when the cache does not hold it yet: the row's cache under the registry's lock,
  // else the registration.
  Gate16 adjoint_uncached() const;
  std::uint32_t nqargs() const;
  std::string name() const;
  std::vector<std::string> params() const;
  GateMatrix matrix_copy() const;
  std::string display() const;
  std::string debug() const;

  // Runs f on the row's matrix under the registry's read lock.
  template <class F>
  decltype(auto) with_matrix(F&& f) const;
};

struct InstructionSet {
  SpinRwLock lock;
  std::vector<GateData> rows;
};

InstructionSet& instruction_set();
std::size_t registry_size();

// A lock-free mirror of the rows' adjoint caches: 0 while unknown, else the adjoint's index
// plus one. A cached adjoint never changes, so readers need no registry lock: every fingerprint
// looks up the adjoint of each instruction it undoes, for every qubit order it tries, on the
// searching thread and on pool workers alike, and needs no cache of its own.
extern std::atomic<std::uint32_t> ADJOINT_CACHE[65536];

inline Gate16 Gate16::adjoint() const {
  if (const std::uint32_t c = ADJOINT_CACHE[raw].load(std::memory_order_acquire))
    return Gate16{static_cast<std::uint16_t>(c - 1)};
  return adjoint_uncached();
}

template <class F>
decltype(auto) Gate16::with_matrix(F&& f) const {
  InstructionSet& set = instruction_set();
  SharedGuard g(set.lock);
  return f(static_cast<const GateMatrix&>(set.rows[raw].matrix));
}

// The nine gate constants. Built-in rows come first and never move, and lookup by display
// text returns the first matching row, so each constant is its built-in index.
namespace gates {
inline constexpr Gate16 H{1};
inline constexpr Gate16 X{2};
inline constexpr Gate16 Z{3};
inline constexpr Gate16 S{5};
inline constexpr Gate16 SDG{6};
inline constexpr Gate16 T{7};
inline constexpr Gate16 TDG{8};
inline constexpr Gate16 CX{9};
inline constexpr Gate16 SWAP{14};
}  // namespace gates

inline constexpr std::size_t BUILTIN_GATE_COUNT = 23;

}  // namespace marrowfen

template <>
inline constexpr bool marrowfen::formats_by_display<marrowfen::Gate16> = true;
