// Gate parameter expressions: the small arithmetic language of texts such as "pi/3" and
// "-pi/16". A PEG grammar (PEGTL) parses a prefix of the text; a recursive evaluator folds the
// parse tree in IEEE double precision with the C library's functions.
//
// Grammar (ordered choice; whitespace " \t\n\r" may stand between the elements of every rule
// except the three atomic ones, and between the repetitions of a `*` group):
//   real      = [0-9]+ "." [0-9]*                        (atomic)
//   id        = [a-z] [A-Za-z0-9_]*                      (atomic)
//   nninteger = "0" | [1-9] [0-9]*                       (atomic)
//   exp       = WHITESPACE* term (plus term)*            (entry rule)
//   term      = factor (mul factor)*
//   factor    = power ("^" power)*                       (folded left to right: 2^3^2 = 64)
//   plus      = "+" | "-"
//   mul       = "*" | "/"
//   power     = real | nninteger | "(" exp ")" | unary_op "(" exp ")" | "-" power | id
//   unary_op  = "sin" | "cos" | "tan" | "exp" | "ln" | "sqrt"
// The parse succeeds when `exp` matches a prefix of the text; what follows is ignored
// ("1e5" is 1, "2*(1" is 2). Nesting of `power` (parentheses, function calls, unary minus) is
// limited to `kMaxNesting` levels; deeper input is a ParseError, not a stack overflow. An
// expression that may nest more than 16 levels deep is parsed on a private thread whose
// stack is sized for `kMaxNesting`, so the caller's own stack may be small.
//
// Every public function reports failures as values: no input makes one throw (only a failed
// allocation propagates).
#pragma once

#include <algorithm>
#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <string_view>

#include <fmt/format.h>

#include "utils/fmt_display.hpp"

namespace marrowfen::param {

// Deepest nesting of `power` the parser accepts (n parentheses around a number are n + 1
// levels). The recursive descent needs stack for every level (see kStackPerLevel in
// param.cpp); the limit bounds the private stack that deep expressions are parsed on.
inline constexpr std::size_t kMaxNesting = 4096;

struct NumericError {
  enum class Kind { ParseError, DivisionByZero, InvalidArgument, UndefinedVariable } kind;
  // ParseError: the positioned parser message; InvalidArgument: the operator;
  // UndefinedVariable: the variable name; DivisionByZero: empty.
  std::string payload;

  // "DivisionByZero", or the payload for the other kinds.
  std::string display() const;

  friend bool operator==(const NumericError&, const NumericError&) = default;
};

// Either a value (ok == true, `value` set, `error` unused) or an error (ok == false, `error`
// set, `value` unused).
struct EvalResult {
  bool ok = true;
  double value = 0.0;
  NumericError error{NumericError::Kind::ParseError, {}};

  static EvalResult success(double v) { return EvalResult{true, v, {}}; }
  static EvalResult failure(NumericError e) { return EvalResult{false, 0.0, std::move(e)}; }
  static EvalResult failure(NumericError::Kind k, std::string payload = {}) {
    return failure(NumericError{k, std::move(payload)});
  }
  explicit operator bool() const noexcept { return ok; }
};

using Variables = std::map<std::string, double, std::less<>>;

// evaluate(expr, {pi: 3.141592653589793}).
EvalResult evaluate_with_pi(std::string_view expr);

// Parses `expr` from `exp` and evaluates it with the given variables. A failed parse gives
// ParseError with a positioned message, e.g.
//    --> 1:1
//     |
//   1 | +1
//     | ^---
//     |
//     = expected real, nninteger, unary_op, or id
EvalResult evaluate(std::string_view expr, const Variables& vars);

// One operator or function: "+", "-", "*", "/", "^" on (a, b); "sin", "cos", "tan", "exp",
// "ln", "sqrt" on a (b unused). Division by zero (either sign) is DivisionByZero; any other
// op is InvalidArgument(op).
EvalResult caculate(std::string_view op, double a, double b);

}  // namespace marrowfen::param

template <>
inline constexpr bool marrowfen::formats_by_display<marrowfen::param::NumericError> = true;
