#include "circ/gate.hpp"

#include <string>

#include <gtest/gtest.h>

#include "core/panic.hpp"
#include "core/test_support.hpp"

namespace marrowfen {
namespace {

struct BuiltinRow {
  std::uint16_t index;
  const char* display;
  const char* name;
  std::uint32_t nqargs;
  std::uint16_t adjoint;
};

const BuiltinRow BUILTINS[] = {
    {0, "i", "i", 1, 0},
    {1, "h", "h", 1, 1},
    {2, "x", "x", 1, 2},
    {3, "z", "z", 1, 3},
    {4, "y", "y", 1, 4},
    {5, "s", "s", 1, 6},
    {6, "sdg", "sdg", 1, 5},
    {7, "t", "t", 1, 8},
    {8, "tdg", "tdg", 1, 7},
    {9, "cx", "cx", 2, 9},
    {10, "cz", "cz", 2, 10},
    {11, "cy", "cy", 2, 11},
    {12, "cs", "cs", 2, 13},
    {13, "csdg", "csdg", 2, 12},
    {14, "swap", "swap", 2, 14},
    {15, "t1/2", "t1/2", 1, 16},
    {16, "tdg1/2", "tdg1/2", 1, 15},
    {17, "rz(pi/3)", "rz", 1, 18},
    {18, "rz(-pi/3)", "rz", 1, 17},
    {19, "rz(pi/5)", "rz", 1, 20},
    {20, "rz(-pi/5)", "rz", 1, 19},
    {21, "rz(pi/16)", "rz", 1, 22},
    {22, "rz(-pi/16)", "rz", 1, 21},
};

TEST(Gate16, BuiltinRows) {
  static_assert(std::size(BUILTINS) == BUILTIN_GATE_COUNT);
  const std::size_t before = registry_size();
  for (const BuiltinRow& row : BUILTINS) {
    SCOPED_TRACE(row.display);
    const Gate16 g{row.index};
    EXPECT_EQ(g.display(), row.display);
    EXPECT_EQ(g.name(), row.name);
    EXPECT_EQ(Gate16::from_name(row.display), g);
    EXPECT_EQ(g.nqargs(), row.nqargs);
    EXPECT_EQ(g.debug(), fmt::format("Gate({} -> {})", row.index, row.display));
    EXPECT_EQ(g.adjoint(), Gate16{row.adjoint});
    EXPECT_EQ(g.adjoint().adjoint(), g);
    // Registration goes by the matrix: the same matrix under another name is this row.
    EXPECT_EQ(Gate16::create("other", {"p"}, g.matrix_copy()), g);
    EXPECT_EQ(g.display(), row.display);
  }
  // No built-in adjoint makes a new row, nor does re-registering a built-in matrix.
  EXPECT_EQ(registry_size(), before);
}

TEST(Gate16, LookupByFullDisplayTextOnly) {
  for (const char* text : {"rz", "rz(pi / 3)", "RZ(pi/3)", "H", " h", ""})
    EXPECT_EQ(Gate16::from_name(text), std::nullopt) << text;
  EXPECT_EQ(stop_message([] { Gate16::from_name_or_stop("rz"); }),
            "Failed to deserialize Gate16 from rz");
}

TEST(Gate16, MatrixShapeChecks) {
  const char* pow2 = "Matrix must have a number of rows that is a power of two";
  EXPECT_EQ(stop_message([] { Gate16::create("g3", {}, GateMatrix(3, 3)); }), pow2);
  EXPECT_EQ(stop_message([] { Gate16::create("g0", {}, GateMatrix(0, 0)); }), pow2);
  EXPECT_EQ(stop_message([] { Gate16::create("g24", {}, GateMatrix(2, 4)); }),
            "Matrix must be squared");
  // The power-of-two check comes first.
  EXPECT_EQ(stop_message([] { Gate16::create("g32", {}, GateMatrix(3, 2)); }), pow2);
  GateMatrix one(1, 1);
  one.at(0, 0) = QComplex{-1.0, 0.0};
  const Gate16 g = Gate16::create("minus", {}, one);
  EXPECT_EQ(g.nqargs(), 0u);
  EXPECT_EQ(g.display(), "minus");
}

TEST(Gate16, CustomAdjointIsNamedWithDagger) {
  // [[1, 1], [0, 1]] / 1: not its own conjugate transpose, and no built-in row.
  GateMatrix m(2, 2);
  m.at(0, 0) = QComplex{1.0, 0.0};
  m.at(0, 1) = QComplex{0.0, 1.0};
  m.at(1, 1) = QComplex{1.0, 0.0};
  const Gate16 u = Gate16::create("u", {"a"}, m);
  EXPECT_GE(u.raw, BUILTIN_GATE_COUNT);
  EXPECT_EQ(u.display(), "u(a)");
  const Gate16 ud = u.adjoint();
  EXPECT_NE(ud, u);
  EXPECT_EQ(ud.display(), "u\u2020(a)");
  EXPECT_EQ(ud.name(), "u\u2020");
  EXPECT_EQ(ud.params(), std::vector<std::string>{"a"});
  const GateMatrix adj = ud.matrix_copy();
  EXPECT_EQ(adj.at(1, 0), (QComplex{0.0, -1.0}));
  EXPECT_EQ(adj.at(0, 1), (QComplex{0.0, 0.0}));
  EXPECT_EQ(ud.adjoint(), u);
  // Asking again reuses the row.
  const std::size_t n = registry_size();
  EXPECT_EQ(u.adjoint(), ud);
  EXPECT_EQ(registry_size(), n);
}

}  // namespace
}  // namespace marrowfen
