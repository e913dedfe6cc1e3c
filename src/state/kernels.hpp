// Hand-written kernels for the nine gates named by the gate constants, and GATE_FUNCS, the map
// from gate index to kernel that StateVec::apply consults before falling back to the dense
// matrix. Kernels avoid complex multiplication and touch only the amplitudes they change.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "circ/gate.hpp"
#include "state/state_vec.hpp"

namespace marrowfen {

using Kernel = void (*)(StateVec& state, std::span<const std::uint8_t> qubits);

// Each kernel takes exactly one qubit (H, X, Z, T, TDG, S, SDG) or two (SWAP, CX: q0 the
// control); another count stops with "called `Result::unwrap()` on an `Err` value:
// TryFromSliceError(())". Qubits must address the state (see check_group_qubits).
void perform_h_gate(StateVec& state, std::span<const std::uint8_t> qubits);
void perform_x_gate(StateVec& state, std::span<const std::uint8_t> qubits);
void perform_z_gate(StateVec& state, std::span<const std::uint8_t> qubits);
void perform_t_gate(StateVec& state, std::span<const std::uint8_t> qubits);
void perform_tdg_gate(StateVec& state, std::span<const std::uint8_t> qubits);
void perform_s_gate(StateVec& state, std::span<const std::uint8_t> qubits);
void perform_sdg_gate(StateVec& state, std::span<const std::uint8_t> qubits);
void perform_swap_gate(StateVec& state, std::span<const std::uint8_t> qubits);
void perform_cx_gate(StateVec& state, std::span<const std::uint8_t> qubits);

// The double nearest 1/sqrt(2), used by the H, T and TDG kernels.
inline constexpr double FRAC_1_SQRT_2 = 0.7071067811865476;

// Gate index -> kernel, hashed by the index itself. The nine gate constants are built-in rows,
// and the registry identifies a gate by its matrix, so every row that carries one of these
// matrices is that row and finds its kernel here. The table is fixed when the module is built.
class GateFuncs {
 public:
  static constexpr std::size_t SLOTS = 16;  // above every gate constant's index

  struct Row {
    Gate16 gate;
    Kernel kernel;
    unsigned nqubits;
  };
  // The rows in insertion order.
  static constexpr std::array<Row, 9> ROWS = {{
      {gates::H, &perform_h_gate, 1},
      {gates::X, &perform_x_gate, 1},
      {gates::Z, &perform_z_gate, 1},
      {gates::T, &perform_t_gate, 1},
      {gates::TDG, &perform_tdg_gate, 1},
      {gates::S, &perform_s_gate, 1},
      {gates::SDG, &perform_sdg_gate, 1},
      {gates::SWAP, &perform_swap_gate, 2},
      {gates::CX, &perform_cx_gate, 2},
  }};

  // The kernel of a gate, or nullptr when the gate is applied as a dense matrix.
  constexpr Kernel find(Gate16 gate) const noexcept {
    return gate.raw < SLOTS ? TABLE[gate.raw] : nullptr;
  }
  static constexpr std::size_t size() noexcept { return ROWS.size(); }

 private:
  static constexpr std::array<Kernel, SLOTS> TABLE = [] {
    std::array<Kernel, SLOTS> t{};
    for (const Row& r : ROWS) t[r.gate.raw] = r.kernel;  // an index >= SLOTS fails to compile
    return t;
  }();
};
inline constexpr GateFuncs GATE_FUNCS{};

}  // namespace marrowfen
