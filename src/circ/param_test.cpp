#include "circ/param.hpp"

#include <pthread.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace marrowfen::param {
namespace {

using Kind = NumericError::Kind;

constexpr double kInf = std::numeric_limits<double>::infinity();

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

std::string repeat(std::string_view s, std::size_t n) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) out += s;
  return out;
}

struct ValueCase {
  std::string expr;
  double expected;  // compared bit for bit; a NaN matches any NaN
};

TEST(ParamEvaluate, Values) {
  const ValueCase cases[] = {
      {"pi/3", 1.0471975511965976},
      {"-pi/16", -0.19634954084936207},
      {"2*pi", 6.283185307179586},
      {"pi", 3.141592653589793},
      {"(1+2)*3", 9},
      {"((1))", 1},
      {"(-2)", -2},
      {"-(1+2)", -3},
      {"sin(pi/2)", 1},
      // Precedence and associativity.
      {"1+2*3", 7},
      {"2*3^2", 18},
      {"2^3^2", 64},
      {"-2^2", 4},
      {"2^-1", 0.5},
      {"8/2/2", 2},
      {"8-2-1", 5},
      {"2--3", 5},
      {"2*-3", -6},
      {"--2", 2},
      // Trailing text is ignored; a group that fails half-way is given back.
      {"1 2", 1},
      {"3)", 3},
      {"2+", 2},
      {"2+ ", 2},
      {"1e5", 1},
      {"01", 0},
      {"1.5.2", 1.5},
      {"2*(1", 2},
      {"1 .5", 1},
      {"2pi", 2},
      // Literals.
      {"5.", 5},
      {"00.5", 0.5},
      {"0.1", 0.1},
      {"0.1+0.2", 0.30000000000000004},
      {"9007199254740993", 9007199254740992.0},  // halfway: ties to even
      {"9007199254740995", 9007199254740996.0},
      {"179769313486231580793728971405303415079934132710037826936173778980444968292764750946649017977587207096330286416692887910946555547851940402630657488671505820681908902000708383676273854845817711531764475730270069855571366959622842914819860834936475292719074168444365510704342711559699508093042880177904174497791", 1.7976931348623157e308},
      {"179769313486231580793728971405303415079934132710037826936173778980444968292764750946649017977587207096330286416692887910946555547851940402630657488671505820681908902000708383676273854845817711531764475730270069855571366959622842914819860834936475292719074168444365510704342711559699508093042880177904174497792", kInf},  // halfway above the largest double
      {repeat("9", 400), kInf},
      {"0." + repeat("0", 400) + "1", 0.0},
      {"0." + repeat("0", 323) + "5", 4.9406564584124654e-324},
      // Whitespace.
      {"  1 + 2  ", 3},
      {"\t1\n+\r\n2", 3},
      {"sin (0)", 0},
      {"( 1 )", 1},
      {"- 2", -2},
      {"2 ^ 3", 8},
      // Functions and signed zeros.
      {"cos(0)", 1},
      {"tan(0)", 0},
      {"exp(0)", 1},
      {"ln(1)", 0},
      {"sqrt(4)", 2},
      {"sqrt(2)", 1.4142135623730951},
      {"exp(1)", 2.718281828459045},
      {"-0", -0.0},
      {"0*-1", -0.0},
      {"-(0)", -0.0},
      {"0-0", 0.0},
      // Outside a function's domain: NaN or infinite, never an error.
      {"ln(0)", -kInf},
      {"sqrt(0-1)", std::nan("")},
      {"exp(1000)", kInf},
      {"1/sqrt(0-1)", std::nan("")},  // a NaN divisor divides
      {"0^0", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("expr: " + c.expr);
    const EvalResult r = evaluate_with_pi(c.expr);
    ASSERT_TRUE(r.ok) << r.error.display();
    if (std::isnan(c.expected)) {
      EXPECT_TRUE(std::isnan(r.value)) << r.value;
    } else {
      EXPECT_EQ(bits(r.value), bits(c.expected)) << r.value << " vs " << c.expected;
    }
  }
}

struct ErrorCase {
  std::string expr;
  Kind kind;
  std::optional<std::string> display;  // checked when given
};

TEST(ParamEvaluate, Errors) {
  const ErrorCase cases[] = {
      {"1/0", Kind::DivisionByZero, "DivisionByZero"},
      {"0/0", Kind::DivisionByZero, "DivisionByZero"},
      {"1/(1-1)", Kind::DivisionByZero, "DivisionByZero"},
      {"1/-0", Kind::DivisionByZero, "DivisionByZero"},
      {"x", Kind::UndefinedVariable, "x"},
      {"sine", Kind::UndefinedVariable, "sine"},
      {"sinh(0)", Kind::UndefinedVariable, "sinh"},
      {"sin(", Kind::UndefinedVariable, "sin"},  // no call: the name alone is an id
      {"pi_2", Kind::UndefinedVariable, "pi_2"},
      {"2^x", Kind::UndefinedVariable, "x"},
      // The first error ends the evaluation.
      {"x+1/0", Kind::UndefinedVariable, "x"},
      {"1/0+x", Kind::DivisionByZero, "DivisionByZero"},
      {"sin(y/0)", Kind::UndefinedVariable, "y"},
      // No expression at the start.
      {"", Kind::ParseError, std::nullopt},
      {"   ", Kind::ParseError, std::nullopt},
      {"+1", Kind::ParseError, std::nullopt},
      {".5", Kind::ParseError, std::nullopt},
      {"Pi", Kind::ParseError, std::nullopt},
      {"(1", Kind::ParseError, std::nullopt},
      {"()", Kind::ParseError, std::nullopt},
      {"-", Kind::ParseError, std::nullopt},
      {"_a", Kind::ParseError, std::nullopt},
      {"\xcf\x80", Kind::ParseError, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("expr: " + c.expr);
    const EvalResult r = evaluate_with_pi(c.expr);
    ASSERT_FALSE(r.ok) << r.value;
    EXPECT_EQ(r.error.kind, c.kind) << r.error.display();
    if (c.display) {
      EXPECT_EQ(r.error.display(), *c.display);
    }
    if (c.kind == Kind::ParseError) {
      EXPECT_EQ(r.error.display(), r.error.payload);
    }
  }
}

TEST(ParamEvaluate, UsesTheGivenVariables) {
  const Variables vars{{"theta", 0.25}, {"a_B9", 8.0}, {"pi", 3.0}};
  EvalResult r = evaluate("theta*a_B9 + pi", vars);
  ASSERT_TRUE(r.ok) << r.error.display();
  EXPECT_EQ(r.value, 5.0);
  r = evaluate("Theta", vars);
  EXPECT_EQ(r.error.kind, Kind::ParseError);
  r = evaluate("thetA", vars);
  EXPECT_EQ(r.error, (NumericError{Kind::UndefinedVariable, "thetA"}));
}

TEST(ParamCaculate, OperatorsAndErrors) {
  EXPECT_EQ(caculate("+", 1, 2).value, 3);
  EXPECT_EQ(caculate("-", 1, 2).value, -1);
  EXPECT_EQ(caculate("*", 3, 2).value, 6);
  EXPECT_EQ(caculate("/", 3, 2).value, 1.5);
  EXPECT_EQ(caculate("^", 2, 10).value, 1024);
  EXPECT_EQ(caculate("sqrt", 9, 123).value, 3);  // b is unused by functions
  EXPECT_EQ(caculate("/", 1, 0.0).error.kind, Kind::DivisionByZero);
  EXPECT_EQ(caculate("/", 1, -0.0).error.kind, Kind::DivisionByZero);
  EXPECT_TRUE(std::isnan(caculate("/", 1, std::nan("")).value));
  const EvalResult bad = caculate("%", 1, 2);
  ASSERT_FALSE(bad.ok);
  EXPECT_EQ(bad.error, (NumericError{Kind::InvalidArgument, "%"}));
  EXPECT_EQ(bad.error.display(), "%");
  EXPECT_EQ(fmt::format("{}", NumericError{Kind::DivisionByZero, {}}), "DivisionByZero");
}

// Parse errors name the line and column of the furthest failure, show that line with a marker
// and list the rules that were expected there.
TEST(ParamEvaluate, ParseErrorsArePositioned) {
  struct Case {
    std::string expr;
    std::string message;
  };
  const Case cases[] = {
      {"", " --> 1:1\n  |\n1 | \n  | ^---\n  |\n  = expected real, nninteger, unary_op, or id"},
      {"(1", " --> 1:3\n  |\n1 | (1\n  |   ^---\n  |\n  = expected mul or plus"},
      {"(1^", " --> 1:4\n  |\n1 | (1^\n  |    ^---\n  |\n  = expected real, nninteger, unary_op, or id"},
      {"-", " --> 1:2\n  |\n1 | -\n  |  ^---\n  |\n  = expected real, nninteger, unary_op, or id"},
      {"\n\n\t +", " --> 3:3\n  |\n3 | \t +\n  | \t ^---\n  |\n  = expected real, nninteger, unary_op, or id"},
      {"\r\n.5\r\n", " --> 2:1\n  |\n2 | .5\n  | ^---\n  |\n  = expected real, nninteger, unary_op, or id"},
      {"(\xcf\x80", " --> 1:2\n  |\n1 | (\xcf\x80\n  |  ^---\n  |\n  = expected real, nninteger, unary_op, or id"},
      {"\n\n\n\n\n\n\n\n\n?", "  --> 10:1\n   |\n10 | ?\n   | ^---\n   |\n   = expected real, nninteger, unary_op, or id"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("expr: " + c.expr);
    const EvalResult r = evaluate_with_pi(c.expr);
    ASSERT_FALSE(r.ok);
    EXPECT_EQ(r.error.kind, Kind::ParseError);
    EXPECT_EQ(r.error.payload, c.message);
  }
}

// Recursion goes through `power`: parentheses, calls and unary minus each add a level.
TEST(ParamEvaluate, NestingIsBounded) {
  // n parentheses put n + 1 powers on the stack.
  const std::size_t ok_parens = kMaxNesting - 1;
  EvalResult r = evaluate_with_pi(repeat("(", ok_parens) + "1" + repeat(")", ok_parens));
  ASSERT_TRUE(r.ok) << r.error.display();
  EXPECT_EQ(r.value, 1);
  r = evaluate_with_pi(repeat("-", kMaxNesting - 1) + "2");
  ASSERT_TRUE(r.ok) << r.error.display();
  EXPECT_EQ(r.value, (kMaxNesting - 1) % 2 ? -2 : 2);

  const std::string too_deep[] = {
      repeat("(", kMaxNesting) + "1" + repeat(")", kMaxNesting),
      repeat("(", 10000),
      repeat("-", 100000) + "1",
      repeat("sin(", 10000) + "0" + repeat(")", 10000),
      "1+" + repeat("(", 10000),
  };
  for (const auto& expr : too_deep) {
    SCOPED_TRACE("length " + std::to_string(expr.size()));
    r = evaluate_with_pi(expr);
    ASSERT_FALSE(r.ok);
    EXPECT_EQ(r.error.kind, Kind::ParseError);
    EXPECT_NE(r.error.payload.find(
                  fmt::format("= expression nested more than {} levels deep", kMaxNesting)),
              std::string::npos)
        << r.error.payload;
  }
  r = evaluate_with_pi(repeat("(", kMaxNesting) + "1");
  EXPECT_TRUE(r.error.payload.starts_with(fmt::format(" --> 1:{}\n", kMaxNesting + 1)))
      << r.error.payload;

  // Long flat chains are loops, not recursion.
  r = evaluate_with_pi("1" + repeat("+1", 20000));
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.value, 20001);
}

// Runs `f` on a thread with a 256 KiB stack.
template <class F>
void on_small_stack(F f) {
  pthread_attr_t attr;
  ASSERT_EQ(pthread_attr_init(&attr), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attr, 256 << 10), 0);
  pthread_t thread;
  ASSERT_EQ(pthread_create(
                &thread, &attr,
                [](void* p) -> void* {
                  (*static_cast<F*>(p))();
                  return nullptr;
                },
                &f),
            0);
  ASSERT_EQ(pthread_join(thread, nullptr), 0);
  pthread_attr_destroy(&attr);
}

// Every form of nesting, at the bound and one level past it, on a thread with a small stack;
// so are expressions shallow enough to be parsed on the caller's own stack.
TEST(ParamEvaluate, AnyNestingFitsASmallStack) {
  // n openings around a number put n + 1 powers on the stack.
  auto nest = [](std::string_view open, std::size_t n) {
    return repeat(open, n) + "0" + repeat(")", n);
  };
  const std::size_t n = kMaxNesting - 1;
  struct Case {
    std::string expr;
    std::optional<double> value;  // none: refused as too deep
  };
  // 3^(...) overflows after three levels of "1+2*3^(".
  const std::vector<Case> cases = {
      {nest("(", n), 0},
      {repeat("-", n) + "1", n % 2 ? -1 : 1},
      {nest("sin(", n), 0},
      {nest("1+2*3^(", n), kInf},
      {nest("1+2*3^(", 15), kInf},
      {nest("1+2*3^(", 16), kInf},
      {nest("(", n + 1), std::nullopt},
      {repeat("-", n + 1) + "1", std::nullopt},
      {nest("sin(", n + 1), std::nullopt},
      {nest("1+2*3^(", n + 1), std::nullopt},
  };
  std::vector<EvalResult> results;
  on_small_stack([&] {
    for (const Case& c : cases) results.push_back(evaluate_with_pi(c.expr));
  });
  ASSERT_EQ(results.size(), cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE("case " + std::to_string(i));
    if (cases[i].value) {
      ASSERT_TRUE(results[i].ok) << results[i].error.display();
      EXPECT_EQ(results[i].value, *cases[i].value);
    } else {
      ASSERT_FALSE(results[i].ok);
      EXPECT_TRUE(results[i].error.payload.ends_with(
          fmt::format("= expression nested more than {} levels deep", kMaxNesting)))
          << results[i].error.payload;
    }
  }
}

}  // namespace
}  // namespace marrowfen::param
