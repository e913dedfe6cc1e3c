// The module's Python classes: for each, its Python name and whether receiver borrows are
// tracked (ClassOf<T>::info), and its definition (ClassOf<T>::def) with the function that
// creates its type from it (define_class<T>), both in its bind_<class>.cpp. The module entry
// creates the types once per process in registration order.
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

#define MARROWFEN_CLASS(T, NAME, TRACKED)           \
  template <>                                       \
  struct ClassOf<T> {                               \
    static ClassInfo& info() {                      \
      static ClassInfo ci{NAME, nullptr, TRACKED};  \
      return ci;                                    \
    }                                               \
    static ClassDef def();                          \
  };                                                \
  extern template PyTypeObject* define_class<T>();

// In registration order (the order of __all__). Gate and IdentityCirc are immutable: their
// receivers are not tracked.
MARROWFEN_CLASS(::marrowfen::Argument, "Argument", true)
MARROWFEN_CLASS(::marrowfen::Instruction, "Instruction", true)
MARROWFEN_CLASS(::marrowfen::Gate16, "Gate", false)
MARROWFEN_CLASS(::marrowfen::Instr32, "Instr", true)
MARROWFEN_CLASS(::marrowfen::StateVec, "StateVec", true)
MARROWFEN_CLASS(::marrowfen::ECC, "ECC", true)
MARROWFEN_CLASS(::marrowfen::ECCs, "ECCs", true)
MARROWFEN_CLASS(::marrowfen::RawECCs, "RawECCs", true)
MARROWFEN_CLASS(::marrowfen::Evaluator, "Evaluator", true)
MARROWFEN_CLASS(::marrowfen::Circ, "Circ", true)
MARROWFEN_CLASS(::marrowfen::IdentityCirc, "IdentityCirc", false)
MARROWFEN_CLASS(::marrowfen::IdentityProver, "IdentityProver", true)
MARROWFEN_CLASS(::marrowfen::Proof, "Proof", true)
#undef MARROWFEN_CLASS

}  // namespace marrowfen::py
