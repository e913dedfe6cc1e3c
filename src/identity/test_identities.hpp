// Sample identity circuits for the identity unit tests: random circuits over a few built-in
// gates closed by their inverse, some with a SWAP realised by three CX and undone by the
// trailing permutation.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "circ/gate.hpp"
#include "circ/instr.hpp"
#include "identity/circuit.hpp"
#include "identity/idcircuit.hpp"

namespace marrowfen::testing {

inline Instr32 one(Gate16 g, std::uint8_t q) { return Instr32::one(g, q); }
inline Instr32 two(Gate16 g, std::uint8_t a, std::uint8_t b) { return Instr32::two(g, a, b); }

// k random instructions on `nq` qubits, identity permutation.
inline Circ random_circuit(std::mt19937& rng, unsigned k, std::uint8_t nq) {
  static const Gate16 singles[] = {gates::H, gates::X, gates::Z, gates::S,
                                   gates::SDG, gates::T, gates::TDG};
  std::vector<Instr32> instrs;
  for (unsigned i = 0; i < k; ++i) {
    if (nq >= 2 && rng() % 3 == 0) {
      const auto a = static_cast<std::uint8_t>(rng() % nq);
      auto b = static_cast<std::uint8_t>(rng() % (nq - 1));
      if (b >= a) ++b;
      instrs.push_back(two(gates::CX, a, b));
    } else {
      instrs.push_back(one(singles[rng() % 7], static_cast<std::uint8_t>(rng() % nq)));
    }
  }
  return Circ::create(std::move(instrs), Permut32::identity(nq));
}

// cx(0,1) cx(1,0) cx(0,1) acts as SWAP on wires 0 and 1; the trailing permutation (1 0 ...)
// swaps them back, so the whole is an identity of three instructions.
inline Circ swap_identity(std::uint8_t nq) {
  std::vector<std::uint8_t> p{1, 0};
  for (std::uint8_t i = 2; i < nq; ++i) p.push_back(i);
  return Circ::create({two(gates::CX, 0, 1), two(gates::CX, 1, 0), two(gates::CX, 0, 1)},
                      Permut32::from_iter(p));
}

// An identity of exactly `len` instructions (len >= 2) on `nq` qubits (nq >= 2 for odd len):
// A + A⁻¹ for even lengths, A + swap + A⁻¹ for odd ones.
inline Circ random_identity(std::mt19937& rng, unsigned len, std::uint8_t nq) {
  if (len % 2 == 0) {
    const Circ a = random_circuit(rng, len / 2, nq);
    return a + a.inverse();
  }
  const Circ a = random_circuit(rng, (len - 3) / 2, nq);
  return a + swap_identity(nq) + a.inverse();
}

}  // namespace marrowfen::testing
