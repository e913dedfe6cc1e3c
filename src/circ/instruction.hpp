// Instruction and Argument: a gate with named-register arguments (cx q[0], q[1];), records for
// Python callers that write circuits with registers. Nothing in the search uses them and
// nothing converts them to or from Instr32.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "circ/gate.hpp"
#include "core/content_hash.hpp"
#include "utils/fmt_display.hpp"

namespace marrowfen {

struct Argument {
  std::string regid;        // register name, e.g. q or c
  std::uint32_t index = 0;  // index within the register

  friend bool operator==(const Argument&, const Argument&) = default;

  // The name as a string (bytes, then 0xFF), then the index (4 bytes).
  void feed(ContentHasher& h) const noexcept {
    h.str(regid);
    h.u32(index);
  }

  // q[0]
  std::string display() const;
  // Argument { regid: "q", index: 0 }
  std::string debug() const;
};

struct Instruction {
  Gate16 gate;
  std::vector<Argument> qargs;  // quantum arguments, in order
  std::vector<Argument> cargs;  // classical arguments, in order

  friend bool operator==(const Instruction&, const Instruction&) = default;

  // The gate (2 bytes), then each list as its count (4 bytes) and its arguments.
  void feed(ContentHasher& h) const noexcept {
    gate.feed(h);
    h.usize(qargs.size());
    for (const Argument& a : qargs) a.feed(h);
    h.usize(cargs.size());
    for (const Argument& a : cargs) a.feed(h);
  }

  // Calling a gate with register arguments: the first nqargs become the quantum arguments,
  // the rest the classical ones. Fewer than nqargs stop with "range end index {} out of range
  // for slice of length {}".
  static Instruction from_gate_call(Gate16 gate, std::span<const Argument> args);

  // The gate's display text, a space, the quantum then the classical arguments separated by
  // ", ", then ";": cx q[0], q[1]; (an instruction without arguments: "h ;").
  std::string display() const;
  // Instruction { gate: Gate(9 -> cx), qargs: [Argument { regid: "q", index: 0 }], cargs: [] }
  std::string debug() const;
};

// A text in double quotes with the escapes of a debug text: \" \\ \n \r \t \0, \u{..} for
// every other control character; printable characters, ASCII or not, stay as they are.
std::string debug_quoted(std::string_view text);

}  // namespace marrowfen

template <>
struct fmt::formatter<marrowfen::Argument> : marrowfen::IgnoreFormatOptions {
  fmt::format_context::iterator format(const marrowfen::Argument& a,
                                       fmt::format_context& ctx) const;
};
