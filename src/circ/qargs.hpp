// QArgs16: the qubit arguments of a packed instruction, two byte slots filled from slot 0,
// 255 marking an empty slot: (255, 255) no qubit, (a, 255) one, (a, b) two.
#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <ranges>
#include <span>

#include "core/content_hash.hpp"

namespace marrowfen {

namespace qargs_detail {
[[noreturn]] void stop_empty_slot();               // "Index out of bounds"
[[noreturn]] void stop_position(std::size_t pos);  // the len is 2 but the index is pos
}  // namespace qargs_detail

struct QArgs16 {
  static constexpr std::uint8_t EMPTY = 255;
  static constexpr std::size_t CAPACITY = 2;

  std::array<std::uint8_t, CAPACITY> slots{EMPTY, EMPTY};

  static constexpr QArgs16 none() noexcept { return QArgs16{}; }
  static constexpr QArgs16 one(std::uint8_t a) noexcept { return QArgs16{{a, EMPTY}}; }
  static constexpr QArgs16 two(std::uint8_t a, std::uint8_t b) noexcept {
    return QArgs16{{a, b}};
  }

  // No value gives (255, 255), one (a, 255), two (a, b); a third value stops the call with
  // "index out of bounds: the len is 2 but the index is 2". Values are stored as given.
  template <std::ranges::input_range R>
    requires std::convertible_to<std::ranges::range_reference_t<R>, std::uint8_t>
  static constexpr QArgs16 from_iter(R&& values) {
    QArgs16 q;
    std::size_t n = 0;
    for (auto&& v : values) {
      if (n == CAPACITY) qargs_detail::stop_position(n);
      q.slots[n++] = static_cast<std::uint8_t>(v);
    }
    return q;
  }
  static constexpr QArgs16 from_iter(std::initializer_list<std::uint8_t> values) {
    return from_iter(std::span<const std::uint8_t>(values.begin(), values.size()));
  }

  // 0 when slot 0 is empty (slot 1 is not looked at), else 1 when slot 1 is empty, else 2.
  constexpr std::size_t len() const noexcept {
    if (slots[0] == EMPTY) return 0;
    return slots[1] == EMPTY ? 1 : 2;
  }
  constexpr bool is_empty() const noexcept { return slots[0] == EMPTY; }

  // The present qubits in slot order. The span points into this value.
  constexpr std::span<const std::uint8_t> as_slice() const noexcept {
    return std::span<const std::uint8_t>(slots.data(), len());
  }
  constexpr const std::uint8_t* begin() const noexcept { return slots.data(); }
  constexpr const std::uint8_t* end() const noexcept { return slots.data() + len(); }

  // Whether q is among the present qubits (255 never matches).
  constexpr bool contains(std::uint8_t q) const noexcept {
    return q != EMPTY && (slots[0] == q || slots[1] == q);
  }

  // Slot pos. A position above 1 stops with the index-out-of-bounds message, an empty slot
  // with "Index out of bounds".
  constexpr std::uint8_t operator[](std::size_t pos) const {
    if (pos >= CAPACITY) qargs_detail::stop_position(pos);
    const std::uint8_t v = slots[pos];
    if (v == EMPTY) qargs_detail::stop_empty_slot();
    return v;
  }

  // Slot count 2 as a machine word, then both slot bytes.
  void feed(ContentHasher& h) const noexcept {
    h.usize(CAPACITY);
    h.write(slots.data(), CAPACITY);
  }

  // Slot 0, then slot 1, as unsigned bytes: an empty slot sorts after every qubit.
  friend constexpr bool operator==(const QArgs16&, const QArgs16&) = default;
  friend constexpr std::strong_ordering operator<=>(const QArgs16&, const QArgs16&) = default;
};

static_assert(sizeof(QArgs16) == 2);
static_assert(std::is_trivially_copyable_v<QArgs16>);

}  // namespace marrowfen
