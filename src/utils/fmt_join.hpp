// A single-use join formatter: writes the items of a sequence with a separator and optional
// start, end and empty texts.
//
//   fmt::format("{}", fjoin(instrs, ", "))                        a, b, c
//   fmt::format("{}{}", name, fjoin_opt_braces(params, ", ", "(", ")"))
//                                                                  rz(pi/4), or rz with none
//
// Displaying a join consumes its items: a second display writes only the empty text (`orelse`,
// nothing unless given). So make a join where it is displayed, one per text. A join displayed
// again from inside the display of one of its own items stops with "RefCell already borrowed".
// A join is not for display from two threads at once.
//
// Every piece is written with its plain display; format options given to the join (width,
// alignment, ...) are accepted and ignored.
#pragma once

#include <algorithm>
#include <concepts>
#include <iterator>
#include <optional>
#include <ranges>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include <fmt/format.h>

#include "core/panic.hpp"
#include "utils/fmt_display.hpp"

namespace marrowfen {

// An absent text: writes nothing.
struct FmtNone {};

namespace fmt_join_detail {

template <class Out, class T>
Out write_piece(Out out, const T& piece) {
  if constexpr (std::is_same_v<T, FmtNone>) {
    return out;
  } else if constexpr (std::is_convertible_v<const T&, std::string_view>) {
    const std::string_view s = piece;
    return std::copy(s.begin(), s.end(), out);
  } else {
    return fmt::format_to(out, "{}", piece);
  }
}

// How a text argument is kept: an owned std::string when handed over as a temporary string,
// a view for anything else that reads as text, the value itself otherwise (FmtNone, chars,
// other displayable values).
template <class T>
using text_t = std::conditional_t<
    std::is_same_v<std::remove_cvref_t<T>, std::string> && !std::is_lvalue_reference_v<T>,
    std::string,
    std::conditional_t<std::is_convertible_v<T, std::string_view> &&
                           !std::is_same_v<std::remove_cvref_t<T>, FmtNone>,
                       std::string_view, std::remove_cvref_t<T>>>;

}  // namespace fmt_join_detail

template <std::ranges::view V, class Sep, class Start, class End, class OrElse>
class FmtJoin {
 public:
  FmtJoin(V items, Sep sep, Start start, End end, OrElse orelse)
      : items_(std::move(items)),
        sep_(std::move(sep)),
        start_(std::move(start)),
        end_(std::move(end)),
        orelse_(std::move(orelse)) {}

  // Once displayed, the cursor may point into the stored view: a join stays where it was made.
  FmtJoin(const FmtJoin&) = delete;
  FmtJoin& operator=(const FmtJoin&) = delete;

  template <class Out>
  Out write(Out out) const {
    using fmt_join_detail::write_piece;
    if (busy_) stop("RefCell already borrowed");
    busy_ = true;
    struct Release {
      bool& flag;
      ~Release() { flag = false; }
    } release{busy_};

    if (!cursor_) cursor_.emplace(std::ranges::begin(items_));
    auto& it = *cursor_;
    const auto last = std::ranges::end(items_);

    if (it == last) return write_piece(out, orelse_);
    out = write_piece(out, start_);
    out = take_and_write(it, out);
    while (it != last) {
      out = write_piece(out, sep_);
      out = take_and_write(it, out);
    }
    return write_piece(out, end_);
  }

 private:
  using Iter = std::ranges::iterator_t<V>;

  // Takes the item at `it` (it is consumed even when writing it fails) and writes it.
  template <class Out>
  static Out take_and_write(Iter& it, Out out) {
    if constexpr (std::forward_iterator<Iter>) {
      const Iter cur = it;
      ++it;
      return fmt_join_detail::write_piece(out, *cur);
    } else {
      struct Advance {
        Iter& it;
        ~Advance() { ++it; }
      } advance{it};
      return fmt_join_detail::write_piece(out, *it);
    }
  }

  mutable V items_;
  mutable std::optional<Iter> cursor_;
  mutable bool busy_ = false;
  Sep sep_;
  Start start_;
  End end_;
  OrElse orelse_;
};

// The items with `sep` between two of them.
template <std::ranges::viewable_range R, class Sep>
auto fjoin(R&& items, Sep&& sep) {
  using J = FmtJoin<std::views::all_t<R>, fmt_join_detail::text_t<Sep>, FmtNone, FmtNone,
                    FmtNone>;
  return J(std::views::all(std::forward<R>(items)), std::forward<Sep>(sep), FmtNone{},
           FmtNone{}, FmtNone{});
}

// The items between `start` and `end` with `sep` between two of them; nothing at all (no start
// or end) when there are no items.
template <std::ranges::viewable_range R, class Sep, class Start, class End>
auto fjoin_opt_braces(R&& items, Sep&& sep, Start&& start, End&& end) {
  using J = FmtJoin<std::views::all_t<R>, fmt_join_detail::text_t<Sep>,
                    fmt_join_detail::text_t<Start>, fmt_join_detail::text_t<End>, FmtNone>;
  return J(std::views::all(std::forward<R>(items)), std::forward<Sep>(sep),
           std::forward<Start>(start), std::forward<End>(end), FmtNone{});
}

}  // namespace marrowfen

template <>
struct fmt::formatter<marrowfen::FmtNone> : marrowfen::IgnoreFormatOptions {
  template <class Ctx>
  auto format(const marrowfen::FmtNone&, Ctx& ctx) const {
    return ctx.out();
  }
};

template <class V, class Sep, class Start, class End, class OrElse>
struct fmt::formatter<marrowfen::FmtJoin<V, Sep, Start, End, OrElse>>
    : marrowfen::IgnoreFormatOptions {
  template <class Ctx>
  auto format(const marrowfen::FmtJoin<V, Sep, Start, End, OrElse>& join, Ctx& ctx) const {
    return join.write(ctx.out());
  }
};
