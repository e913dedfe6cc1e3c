// One formatter for every type with a display text: a type opts in with
//
//   template <>
//   inline constexpr bool marrowfen::formats_by_display<marrowfen::Circ> = true;
//
// right after its definition, and `fmt::format("{}", c)` then writes `c.display()`. Format
// options are accepted and ignored: the text is always the plain display. Formatters that write
// their text straight into the output (Permut32, Instr32, the joins) share the same parse step,
// `IgnoreFormatOptions`.
#pragma once

#include <algorithm>
#include <concepts>
#include <string_view>

#include <fmt/format.h>

namespace marrowfen {

// The parse step of the module's formatters: format options (width, alignment, ...) are
// accepted and ignored, so every text is its plain display.
struct IgnoreFormatOptions {
  constexpr auto parse(fmt::format_parse_context& ctx) {
    auto it = ctx.begin();
    while (it != ctx.end() && *it != '}') ++it;
    return it;
  }
};

template <class T>
inline constexpr bool formats_by_display = false;

template <class T>
concept DisplayFormatted = formats_by_display<T> && requires(const T& t) {
  { t.display() } -> std::convertible_to<std::string_view>;
};

}  // namespace marrowfen

template <marrowfen::DisplayFormatted T>
struct fmt::formatter<T, char> : marrowfen::IgnoreFormatOptions {
  template <class Ctx>
  auto format(const T& value, Ctx& ctx) const {
    const auto text = value.display();
    return std::copy(text.begin(), text.end(), ctx.out());
  }
};
