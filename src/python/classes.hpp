// The module's Python classes: each bind_<class>.cpp defines its ClassOf specialisation and a
// type-creation function, called once per process by the module entry in registration order.
#pragma once

#include "python/binding.hpp"

namespace marrowfen {
struct Argument;
struct Instruction;
struct Gate16;
struct Instr32;
class StateVec;
struct Circ;
struct IdentityCirc;
struct ECC;
struct ECCs;
struct RawECCs;
class Evaluator;
class IdentityProver;
struct Proof;
}  // namespace marrowfen

namespace marrowfen::py {

#define MARROWFEN_DECLARE_CLASS(T) \
  template <>                      \
  struct ClassOf<T> {              \
    static ClassInfo& info();      \
  };

MARROWFEN_DECLARE_CLASS(::marrowfen::Argument)
MARROWFEN_DECLARE_CLASS(::marrowfen::Instruction)
MARROWFEN_DECLARE_CLASS(::marrowfen::Gate16)
MARROWFEN_DECLARE_CLASS(::marrowfen::Instr32)
MARROWFEN_DECLARE_CLASS(::marrowfen::StateVec)
MARROWFEN_DECLARE_CLASS(::marrowfen::Circ)
MARROWFEN_DECLARE_CLASS(::marrowfen::IdentityCirc)
MARROWFEN_DECLARE_CLASS(::marrowfen::ECC)
MARROWFEN_DECLARE_CLASS(::marrowfen::ECCs)
MARROWFEN_DECLARE_CLASS(::marrowfen::RawECCs)
MARROWFEN_DECLARE_CLASS(::marrowfen::Evaluator)
MARROWFEN_DECLARE_CLASS(::marrowfen::IdentityProver)
MARROWFEN_DECLARE_CLASS(::marrowfen::Proof)

// Type-creation functions, in registration order. Each is defined by its class's file and
// returns the type object, created on the first call and reused afterwards.
#define MARROWFEN_CREATE_FN(fn) PyTypeObject* fn();
MARROWFEN_CREATE_FN(create_argument_type)
MARROWFEN_CREATE_FN(create_instruction_type)
MARROWFEN_CREATE_FN(create_gate_type)
MARROWFEN_CREATE_FN(create_instr_type)
MARROWFEN_CREATE_FN(create_statevec_type)
MARROWFEN_CREATE_FN(create_ecc_type)
MARROWFEN_CREATE_FN(create_eccs_type)
MARROWFEN_CREATE_FN(create_raweccs_type)
MARROWFEN_CREATE_FN(create_evaluator_type)
MARROWFEN_CREATE_FN(create_circ_type)
MARROWFEN_CREATE_FN(create_identitycirc_type)
MARROWFEN_CREATE_FN(create_identityprover_type)
MARROWFEN_CREATE_FN(create_proof_type)
#undef MARROWFEN_CREATE_FN

}  // namespace marrowfen::py
