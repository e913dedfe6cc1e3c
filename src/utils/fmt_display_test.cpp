#include "utils/fmt_display.hpp"

#include <string>

#include <gtest/gtest.h>

namespace marrowfen {
namespace {

struct Shown {
  std::string display() const { return "shown"; }
};
struct NotOptedIn {
  std::string display() const { return "hidden"; }
};

}  // namespace
}  // namespace marrowfen

template <>
inline constexpr bool marrowfen::formats_by_display<marrowfen::Shown> = true;

namespace marrowfen {
namespace {

static_assert(fmt::is_formattable<Shown>::value);
static_assert(!fmt::is_formattable<NotOptedIn>::value);

TEST(FmtDisplay, WritesTheDisplayAndIgnoresOptions) {
  EXPECT_EQ(fmt::format("{}", Shown{}), "shown");
  EXPECT_EQ(fmt::format("<{:>12}|{:x}>", Shown{}, Shown{}), "<shown|shown>");
}

}  // namespace
}  // namespace marrowfen
