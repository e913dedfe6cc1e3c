#include "circ/instr.hpp"

#include <algorithm>

#include "core/panic.hpp"
#include "core/postcard.hpp"
#include "utils/fmt_join.hpp"

namespace marrowfen {

namespace {

// 255 marks an empty slot: as a qubit it would make the instruction read as having fewer
// qubits than it was built with.
void refuse_empty_marker(std::span<const std::uint8_t> qubits) {
  if (std::find(qubits.begin(), qubits.end(), QArgs16::EMPTY) != qubits.end())
    stop("Qubit index 255 is reserved for an empty slot");
}

}  // namespace

Instr32 Instr32::create(Gate16 gate, std::span<const std::uint8_t> qubits) {
  if (qubits.size() != gate.nqargs()) stop("Number of qubit arguments does not match gate arity");
  for (std::size_t i = 0; i < qubits.size(); ++i)
    for (std::size_t j = i + 1; j < qubits.size(); ++j)
      if (qubits[i] == qubits[j]) stop("Qubit arguments must be unique");
  refuse_empty_marker(qubits);
  return pack(gate, QArgs16::from_iter(qubits));
}

Instr32 Instr32::from_gate_call(Gate16 gate, std::span<const std::uint8_t> qubits) {
  if (qubits.size() != gate.nqargs())
    stop(fmt::format("Number of arguments not match for gate {}", gate));
  refuse_empty_marker(qubits);
  return pack(gate, QArgs16::from_iter(qubits));
}

std::string Instr32::display() const { return fmt::format("{}", *this); }

void Instr32::write_postcard(PostcardWriter& w) const {
  w.str(gate().display());
  w.u8(slot(0));
  w.u8(slot(1));
}

Instr32 Instr32::read_postcard(PostcardReader& r) {
  const Gate16 gate = Gate16::from_name_or_stop(r.str());
  const std::uint8_t a = r.u8();
  const std::uint8_t b = r.u8();
  return two(gate, a, b);
}

fmt::format_context::iterator write_gate_display(Gate16 gate, fmt::format_context::iterator out) {
  InstructionSet& set = instruction_set();
  SharedGuard g(set.lock);
  const GateData& row = set.rows[gate.raw];
  out = std::copy(row.name.begin(), row.name.end(), out);
  return fmt::format_to(out, "{}", fjoin_opt_braces(row.params, ", ", "(", ")"));
}

}  // namespace marrowfen

fmt::format_context::iterator fmt::formatter<marrowfen::Instr32>::format(
    marrowfen::Instr32 in, fmt::format_context& ctx) const {
  auto out = marrowfen::write_gate_display(in.gate(), ctx.out());
  const marrowfen::QArgs16 q = in.qargs();
  return fmt::format_to(out, "({})", marrowfen::fjoin(q.as_slice(), ", "));
}
