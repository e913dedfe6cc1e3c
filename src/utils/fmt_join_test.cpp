#include "utils/fmt_join.hpp"

#include <cstdint>
#include <list>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/panic.hpp"

namespace marrowfen {
namespace {

TEST(FmtJoin, SeparatorsAndOptionalBraces) {
  using V = std::vector<std::string>;
  struct Case {
    V items;
    std::string plain;   // fjoin(items, ", ")
    std::string braces;  // fjoin_opt_braces(items, ", ", "(", ")")
  };
  const Case cases[] = {
      {{}, "", ""},
      {{"a"}, "a", "(a)"},
      {{"a", "b"}, "a, b", "(a, b)"},
      {{"pi/4", "x", "2"}, "pi/4, x, 2", "(pi/4, x, 2)"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(fmt::format("{}", fjoin(c.items, ", ")), c.plain);
    EXPECT_EQ(fmt::format("{}", fjoin_opt_braces(c.items, ", ", "(", ")")), c.braces);
  }
}

TEST(FmtJoin, ItemsUseTheirPlainDisplay) {
  const std::vector<std::uint8_t> qubits = {0, 1};
  EXPECT_EQ(fmt::format("{}", fjoin(qubits, ", ")), "0, 1");
  const std::list<double> xs = {0.5, 2.0};
  EXPECT_EQ(fmt::format("{}", fjoin(xs, std::string(" "))), "0.5 2");
  // Lazy items: the transform runs as the join writes.
  const std::vector<int> v = {1, 2, 3};
  EXPECT_EQ(fmt::format("{}", fjoin(v | std::views::transform([](int x) { return x * 10; }), ' ')),
            "10 20 30");
  // Format options given to the join are not passed on.
  EXPECT_EQ(fmt::format("[{:>10}]", fjoin_opt_braces(v, ", ", "(", ")")), "[(1, 2, 3)]");
  EXPECT_EQ(fmt::format("[{:+.3}]", fjoin(xs, ",")), "[0.5,2]");
}

TEST(FmtJoin, SecondDisplayWritesOnlyTheEmptyText) {
  const std::vector<int> v = {1, 2};
  const auto j = fjoin(v, "-");
  EXPECT_EQ(fmt::format("{}", j), "1-2");
  EXPECT_EQ(fmt::format("{}", j), "");

  // With an empty text given, the used-up join writes it.
  FmtJoin<std::views::all_t<const std::vector<int>&>, std::string_view, std::string_view,
          std::string_view, std::string_view>
      k(std::views::all(v), ", ", "<", ">", "none");
  EXPECT_EQ(fmt::format("{}", k), "<1, 2>");
  EXPECT_EQ(fmt::format("{}", k), "none");
}

// An item whose display shows the join that holds it.
struct Reenter;
using ReenterJoin =
    FmtJoin<std::views::all_t<std::vector<Reenter>&>, std::string_view, FmtNone, FmtNone, FmtNone>;
struct Reenter {
  const ReenterJoin** outer;
};

}  // namespace
}  // namespace marrowfen

template <>
struct fmt::formatter<marrowfen::Reenter> : fmt::formatter<marrowfen::FmtNone> {
  template <class Ctx>
  auto format(const marrowfen::Reenter& r, Ctx& ctx) const {
    return fmt::format_to(ctx.out(), "[{}]", **r.outer);
  }
};

namespace marrowfen {
namespace {

TEST(FmtJoin, ReentrantDisplayStops) {
  const ReenterJoin* self = nullptr;
  std::vector<Reenter> items = {Reenter{&self}, Reenter{&self}};
  const auto j = fjoin(items, ", ");
  self = &j;
  std::string msg;
  try {
    (void)fmt::format("{}", j);
  } catch (const Panic& p) {
    msg = p.message();
  }
  EXPECT_EQ(msg, "RefCell already borrowed");
  // The failed display released the join; the first item stays consumed, the second (whose
  // display still re-enters) is next.
  msg.clear();
  try {
    (void)fmt::format("{}", j);
  } catch (const Panic& p) {
    msg = p.message();
  }
  EXPECT_EQ(msg, "RefCell already borrowed");
  EXPECT_EQ(fmt::format("{}", j), "");
}

TEST(FmtJoin, NoneWritesNothing) {
  EXPECT_EQ(fmt::format("<{}>", FmtNone{}), "<>");
  EXPECT_EQ(fmt::format("<{:>4}>", FmtNone{}), "<>");
}

}  // namespace
}  // namespace marrowfen
