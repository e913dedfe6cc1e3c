#include "circ/param.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <exception>
#include <limits>
#include <memory>
#include <new>
#include <type_traits>
#include <vector>

#include <pthread.h>

#include <tao/pegtl.hpp>
#include <tao/pegtl/contrib/parse_tree.hpp>

namespace marrowfen::param {

namespace {

namespace pegtl = tao::pegtl;

// The grammar's rules in declaration order; their names appear in parse-error texts.
enum class Rule : std::uint8_t {
  real, id, nninteger, exp, term, factor, plus, mul, power, unary_op, WHITESPACE
};

constexpr const char* kRuleNames[] = {"real", "id",  "nninteger", "exp",      "term",      "factor",
                                      "plus", "mul", "power",     "unary_op", "WHITESPACE"};

namespace grammar {

struct WHITESPACE : pegtl::one<' ', '\t', '\n', '\r'> {};
using skip = pegtl::star<WHITESPACE>;

// Atomic rules: nothing is skipped inside them.
struct real : pegtl::seq<pegtl::plus<pegtl::digit>, pegtl::one<'.'>, pegtl::star<pegtl::digit>> {};
struct id : pegtl::seq<pegtl::range<'a', 'z'>,
                       pegtl::star<pegtl::sor<pegtl::range<'A', 'Z'>, pegtl::range<'a', 'z'>,
                                              pegtl::digit, pegtl::one<'_'>>>> {};
struct nninteger
    : pegtl::sor<pegtl::one<'0'>, pegtl::seq<pegtl::range<'1', '9'>, pegtl::star<pegtl::digit>>> {};

struct exp;
struct term;
struct factor;
struct power;

struct plus : pegtl::one<'+', '-'> {};
struct mul : pegtl::one<'*', '/'> {};
struct unary_op : pegtl::sor<TAO_PEGTL_STRING("sin"), TAO_PEGTL_STRING("cos"),
                             TAO_PEGTL_STRING("tan"), TAO_PEGTL_STRING("exp"),
                             TAO_PEGTL_STRING("ln"), TAO_PEGTL_STRING("sqrt")> {};

// Normal rules: whitespace between the elements of a sequence and between the repetitions of a
// `*` group. A repetition is one sequence, so one that fails half-way gives back its input.
struct exp : pegtl::seq<skip, term, pegtl::star<pegtl::seq<skip, plus, skip, term>>> {};
struct term : pegtl::seq<factor, pegtl::star<pegtl::seq<skip, mul, skip, factor>>> {};
struct factor : pegtl::seq<power, pegtl::star<pegtl::seq<skip, pegtl::one<'^'>, skip, power>>> {};
struct power
    : pegtl::sor<real, nninteger,
                 pegtl::seq<pegtl::one<'('>, skip, exp, skip, pegtl::one<')'>>,
                 pegtl::seq<unary_op, skip, pegtl::one<'('>, skip, exp, skip, pegtl::one<')'>>,
                 pegtl::seq<pegtl::one<'-'>, skip, power>, id> {};

template <class R> inline constexpr bool kNamed = false;
template <class R> inline constexpr Rule kRuleOf = Rule::WHITESPACE;
#define MARROWFEN_PARAM_RULE(name)                            \
  template <> inline constexpr bool kNamed<name> = true;      \
  template <> inline constexpr Rule kRuleOf<name> = Rule::name;
MARROWFEN_PARAM_RULE(real)
MARROWFEN_PARAM_RULE(id)
MARROWFEN_PARAM_RULE(nninteger)
MARROWFEN_PARAM_RULE(exp)
MARROWFEN_PARAM_RULE(term)
MARROWFEN_PARAM_RULE(factor)
MARROWFEN_PARAM_RULE(plus)
MARROWFEN_PARAM_RULE(mul)
MARROWFEN_PARAM_RULE(power)
MARROWFEN_PARAM_RULE(unary_op)
#undef MARROWFEN_PARAM_RULE

// Every named rule except WHITESPACE becomes a node; literals and helper rules make none.
template <class R>
using selector = pegtl::parse_tree::selector<
    R, pegtl::parse_tree::store_content::on<real, id, nninteger, exp, term, factor, plus, mul,
                                            power, unary_op>>;

}  // namespace grammar

// Thrown out of the parse when `power` nests deeper than kMaxNesting; caught in evaluate().
struct NestingTooDeep {
  std::size_t offset;
};

// Records what the parse expected at the furthest offset where a named rule failed. A rule is
// recorded only if nothing inside it was recorded at that same offset, so the list names the
// innermost alternatives (real, nninteger, unary_op, id) rather than every rule around them.
struct FailureTracker {
  const char* begin = nullptr;
  std::size_t furthest = 0;
  bool any = false;
  std::uint64_t records = 0;  // bumped whenever the list changes
  std::vector<Rule> expected;  // attempt order, no repeats
  std::size_t nesting = 0;

  struct Frame {
    std::size_t offset;
    std::size_t furthest;
    bool any;
    std::uint64_t records;
  };
  std::vector<Frame> frames;

  std::size_t offset_of(const char* p) const { return static_cast<std::size_t>(p - begin); }

  void enter(std::size_t offset) { frames.push_back(Frame{offset, furthest, any, records}); }

  void leave_failed(Rule rule) {
    const Frame f = frames.back();
    frames.pop_back();
    if (!any || f.offset > furthest) {
      any = true;
      furthest = f.offset;
      expected.assign(1, rule);
      ++records;
      return;
    }
    if (f.offset < furthest) return;
    // Same offset: skip when an inner rule already said what was expected here.
    if (f.any && f.furthest == furthest && f.records == records) {
      for (Rule r : expected)
        if (r == rule) return;
      expected.push_back(rule);
      ++records;
    }
  }
};

template <class R>
struct TrackingControl : pegtl::normal<R> {
  template <class Input>
  static void start(const Input& in, FailureTracker& t) {
    if constexpr (grammar::kNamed<R>) {
      const std::size_t offset = t.offset_of(in.current());
      if constexpr (std::is_same_v<R, grammar::power>) {
        if (t.nesting == kMaxNesting) throw NestingTooDeep{offset};
        ++t.nesting;
      }
      t.enter(offset);
    }
  }
  template <class Input>
  static void success(const Input&, FailureTracker& t) {
    if constexpr (grammar::kNamed<R>) {
      if constexpr (std::is_same_v<R, grammar::power>) --t.nesting;
      t.frames.pop_back();
    }
  }
  template <class Input>
  static void failure(const Input&, FailureTracker& t) {
    if constexpr (grammar::kNamed<R>) {
      if constexpr (std::is_same_v<R, grammar::power>) --t.nesting;
      t.leave_failed(grammar::kRuleOf<R>);
    }
  }
};

// The positioned message: line and column (1-based, columns in code points), the input line,
// a marker under the column, then the note.
std::string positioned_message(std::string_view text, std::size_t offset, std::string_view note) {
  std::size_t line_no = 1;
  std::size_t line_start = 0;
  for (std::size_t i = 0; i < offset; ++i) {
    if (text[i] == '\n') {
      ++line_no;
      line_start = i + 1;
    }
  }
  std::size_t line_end = text.find('\n', line_start);
  if (line_end == std::string_view::npos) line_end = text.size();
  if (line_end > line_start && text[line_end - 1] == '\r') --line_end;
  const std::string_view line = text.substr(line_start, line_end - line_start);

  std::size_t column = 1;
  std::string pad;
  for (std::size_t i = line_start; i < offset; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if ((c & 0xC0) == 0x80) continue;  // UTF-8 continuation byte
    ++column;
    pad.push_back(c == '\t' ? '\t' : ' ');
  }

  const std::string number = std::to_string(line_no);
  const std::string gutter(number.size(), ' ');
  return fmt::format("{0}--> {1}:{2}\n{0} |\n{1} | {3}\n{0} | {4}^---\n{0} |\n{0} = {5}", gutter,
                     number, column, line, pad, note);
}

std::string expected_note(const std::vector<Rule>& rules) {
  std::string out = "expected ";
  for (std::size_t i = 0; i < rules.size(); ++i) {
    if (i > 0) out += rules.size() == 2 ? " or " : (i + 1 == rules.size() ? ", or " : ", ");
    out += kRuleNames[static_cast<std::size_t>(rules[i])];
  }
  return out;
}

using Node = pegtl::parse_tree::node;
using Children = std::vector<std::unique_ptr<Node>>;

// A decimal literal of the grammar (digits with an optional point) to the nearest double.
double to_double(std::string_view s) {
  double v = 0.0;
  const auto r = std::from_chars(s.data(), s.data() + s.size(), v, std::chars_format::fixed);
  if (r.ec == std::errc::result_out_of_range) {
    // Rounds to zero or overflows: a literal below 1 can only do the former.
    for (char c : s) {
      if (c == '.') break;
      if (c != '0') return std::numeric_limits<double>::infinity();
    }
    return 0.0;
  }
  return v;
}

EvalResult eval_expr(const Children& children, const Variables& vars);

EvalResult eval_power(const Children& children, const Variables& vars) {
  const Node& first = *children.front();
  if (first.is_type<grammar::real>() || first.is_type<grammar::nninteger>())
    return EvalResult::success(to_double(first.string_view()));
  if (first.is_type<grammar::id>()) {
    const std::string_view name = first.string_view();
    const auto it = vars.find(name);
    if (it == vars.end())
      return EvalResult::failure(NumericError::Kind::UndefinedVariable, std::string(name));
    return EvalResult::success(it->second);
  }
  if (first.is_type<grammar::exp>()) return eval_expr(first.children, vars);
  if (first.is_type<grammar::unary_op>()) {
    EvalResult x = eval_expr(children[1]->children, vars);
    if (!x) return x;
    return caculate(first.string_view(), x.value, 0.0);
  }
  // "-" power: flip the sign bit, so -0 is negative zero.
  EvalResult v = eval_power(first.children, vars);
  if (v) v.value = -v.value;
  return v;
}

EvalResult eval_factor(const Children& children, const Variables& vars) {
  EvalResult value = eval_power(children.front()->children, vars);
  for (std::size_t i = 1; value && i < children.size(); ++i) {
    const EvalResult rhs = eval_power(children[i]->children, vars);
    if (!rhs) return rhs;
    value.value = std::pow(value.value, rhs.value);
  }
  return value;
}

// Folds `operand (operator operand)*` left to right through caculate.
template <EvalResult (*Operand)(const Children&, const Variables&)>
EvalResult fold_binary(const Children& children, const Variables& vars) {
  EvalResult value = Operand(children.front()->children, vars);
  for (std::size_t i = 1; value && i + 1 < children.size(); i += 2) {
    const EvalResult rhs = Operand(children[i + 1]->children, vars);
    if (!rhs) return rhs;
    value = caculate(children[i]->string_view(), value.value, rhs.value);
  }
  return value;
}

EvalResult eval_term(const Children& children, const Variables& vars) {
  return fold_binary<eval_factor>(children, vars);
}

EvalResult eval_expr(const Children& children, const Variables& vars) {
  return fold_binary<eval_term>(children, vars);
}

}  // namespace

std::string NumericError::display() const {
  return kind == Kind::DivisionByZero ? std::string("DivisionByZero") : payload;
}

EvalResult caculate(std::string_view op, double a, double b) {
  if (op == "+") return EvalResult::success(a + b);
  if (op == "-") return EvalResult::success(a - b);
  if (op == "*") return EvalResult::success(a * b);
  if (op == "/") {
    if (b == 0.0) return EvalResult::failure(NumericError::Kind::DivisionByZero);
    return EvalResult::success(a / b);
  }
  if (op == "^") return EvalResult::success(std::pow(a, b));
  if (op == "ln") return EvalResult::success(std::log(a));
  if (op == "sin") return EvalResult::success(std::sin(a));
  if (op == "cos") return EvalResult::success(std::cos(a));
  if (op == "tan") return EvalResult::success(std::tan(a));
  if (op == "exp") return EvalResult::success(std::exp(a));
  if (op == "sqrt") return EvalResult::success(std::sqrt(a));
  return EvalResult::failure(NumericError::Kind::InvalidArgument, std::string(op));
}

namespace {

// Stack high-water marks of one nesting level, measured on the costliest forms (such as
// "1+2*3^(" repeated, which passes every rule on the way down): about 0.9 KiB in the optimised
// build and up to 7 KiB under AddressSanitizer; unoptimised builds and ThreadSanitizer lie
// between. The rest of a parse takes about 12 KiB. The figures cover parsing, evaluating the
// tree and freeing it, which each recurse once per level.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || !defined(__OPTIMIZE__)
constexpr std::size_t kStackPerLevel = 16 << 10;
#else
constexpr std::size_t kStackPerLevel = 2 << 10;
#endif
// The private stack holds kMaxNesting levels at more than twice the measured cost: 8 MiB in
// the optimised build, 64 MiB of address space in the others, touched only as deep as a
// parse goes.
constexpr std::size_t kDeepStackSize = kMaxNesting * kStackPerLevel + (256 << 10);
// Expressions that cannot nest deeper than this are parsed on the caller's stack: at most
// about 30 KiB optimised and 130 KiB under AddressSanitizer, so a thread with a 256 KiB stack
// evaluates any expression.
constexpr std::size_t kInPlaceNesting = 16;

// Every level of `power` past the first starts at a "(" (a group or a call) or at a unary
// "-", so their count bounds the nesting.
std::size_t nesting_bound(std::string_view expr) {
  std::size_t n = 1;
  for (char c : expr) n += c == '(' || c == '-';
  return n;
}

EvalResult evaluate_in_place(std::string_view expr, const Variables& vars) {
  pegtl::memory_input<pegtl::tracking_mode::lazy> in(expr.data(), expr.size(), "expr");
  FailureTracker tracker;
  tracker.begin = expr.data();
  std::unique_ptr<Node> root;
  try {
    root = pegtl::parse_tree::parse<grammar::exp, grammar::selector, pegtl::nothing,
                                    TrackingControl>(in, tracker);
  } catch (const NestingTooDeep& e) {
    return EvalResult::failure(
        NumericError::Kind::ParseError,
        positioned_message(expr, e.offset,
                           fmt::format("expression nested more than {} levels deep", kMaxNesting)));
  }
  if (!root) {
    return EvalResult::failure(NumericError::Kind::ParseError,
                               positioned_message(expr, tracker.furthest,
                                                  expected_note(tracker.expected.empty()
                                                                    ? std::vector{Rule::exp}
                                                                    : tracker.expected)));
  }
  // The root holds the single `exp` node.
  return eval_expr(root->children.front()->children, vars);
}

// Runs evaluate_in_place on a thread of its own with a kDeepStackSize stack and waits for it.
EvalResult evaluate_on_deep_stack(std::string_view expr, const Variables& vars) {
  struct Job {
    std::string_view expr;
    const Variables* vars;
    EvalResult result;
    std::exception_ptr error;
  } job{expr, &vars, {}, nullptr};
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) throw std::bad_alloc();
  pthread_t thread;
  const bool started =
      pthread_attr_setstacksize(&attr, kDeepStackSize) == 0 &&
      pthread_create(
          &thread, &attr,
          [](void* p) -> void* {
            auto* j = static_cast<Job*>(p);
            try {
              j->result = evaluate_in_place(j->expr, *j->vars);
            } catch (...) {
              j->error = std::current_exception();
            }
            return nullptr;
          },
          &job) == 0;
  pthread_attr_destroy(&attr);
  // No room for the thread's stack: as any other failed allocation.
  if (!started) throw std::bad_alloc();
  pthread_join(thread, nullptr);
  if (job.error) std::rethrow_exception(job.error);
  return std::move(job.result);
}

}  // namespace

EvalResult evaluate(std::string_view expr, const Variables& vars) {
  if (nesting_bound(expr) <= kInPlaceNesting) return evaluate_in_place(expr, vars);
  return evaluate_on_deep_stack(expr, vars);
}

EvalResult evaluate_with_pi(std::string_view expr) {
  static const Variables kPi{{"pi", 3.141592653589793}};
  return evaluate(expr, kPi);
}

}  // namespace marrowfen::param
