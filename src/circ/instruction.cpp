#include "circ/instruction.hpp"

#include <array>
#include <ranges>

#include "core/panic.hpp"
#include "utils/fmt_join.hpp"

namespace marrowfen {

namespace {

// Decodes one UTF-8 sequence at s[i]; returns its length, or 0 for a byte that starts no
// valid sequence.
std::size_t decode_utf8(std::string_view s, std::size_t i, char32_t& cp) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  std::size_t n;
  char32_t min;
  if (b0 < 0x80) {
    cp = b0;
    return 1;
  } else if ((b0 & 0xE0) == 0xC0) {
    n = 2, cp = b0 & 0x1F, min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    n = 3, cp = b0 & 0x0F, min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    n = 4, cp = b0 & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (i + n > s.size()) return 0;
  for (std::size_t k = 1; k < n; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return n;
}

bool is_control(char32_t cp) { return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F); }

}  // namespace

std::string debug_quoted(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  for (std::size_t i = 0; i < text.size();) {
    char32_t cp;
    const std::size_t n = decode_utf8(text, i, cp);
    if (n == 0) {  // not UTF-8: show the byte itself
      out += fmt::format("\\x{:02x}", static_cast<unsigned char>(text[i]));
      ++i;
      continue;
    }
    switch (cp) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        if (is_control(cp))
          out += fmt::format("\\u{{{:x}}}", static_cast<std::uint32_t>(cp));
        else
          out.append(text.substr(i, n));
    }
    i += n;
  }
  out += '"';
  return out;
}

std::string Argument::display() const { return fmt::format("{}", *this); }

std::string Argument::debug() const {
  return fmt::format("Argument {{ regid: {}, index: {} }}", debug_quoted(regid), index);
}

Instruction Instruction::from_gate_call(Gate16 gate, std::span<const Argument> args) {
  const std::size_t nq = gate.nqargs();
  if (args.size() < nq)
    stop(fmt::format("range end index {} out of range for slice of length {}", nq, args.size()));
  return Instruction{gate, std::vector<Argument>(args.begin(), args.begin() + nq),
                     std::vector<Argument>(args.begin() + nq, args.end())};
}

std::string Instruction::display() const {
  const std::array<std::span<const Argument>, 2> lists{qargs, cargs};
  return fmt::format("{} {};", gate, fjoin(lists | std::views::join, ", "));
}

std::string Instruction::debug() const {
  auto debug_list = [](const std::vector<Argument>& list) {
    return fmt::format(
        "[{}]", fjoin(list | std::views::transform([](const Argument& a) { return a.debug(); }),
                      ", "));
  };
  return fmt::format("Instruction {{ gate: {}, qargs: {}, cargs: {} }}", gate.debug(),
                     debug_list(qargs), debug_list(cargs));
}

}  // namespace marrowfen

fmt::format_context::iterator fmt::formatter<marrowfen::Argument>::format(
    const marrowfen::Argument& a, fmt::format_context& ctx) const {
  auto out = std::copy(a.regid.begin(), a.regid.end(), ctx.out());
  return fmt::format_to(out, "[{}]", a.index);
}
