// Python class Evaluator: the randomized fingerprinting of circuits.
#include <vector>

#include "circ/instr.hpp"
#include "python/binding.hpp"
#include "python/classes.hpp"
#include "python/convert.hpp"
#include "search/evaluator.hpp"
#include "state/state_vec.hpp"

namespace marrowfen::py {
namespace {

Shared<Evaluator> me(PyObject* self) { return receiver<Evaluator>(self); }

Ref evaluator_new(const Args& a) { return wrap(Evaluator::random_py(a.get(0, raw_u32))); }

Ref evaluator_nqubits(PyObject* self, const Args&) { return py_uint(me(self)->nqubits()); }

// (back state, front permutation, back permutation, state)
Ref evaluator_evaluate(PyObject* self, const Args& a) {
  const Shared<Evaluator> ev = me(self);
  const std::vector<Instr32> instrs = a.get(0, raw_copies<Instr32>);
  Evaluation e = ev->evaluate(instrs);
  return py_tuple(wrap(std::move(e.back_state)), py_permutation(e.front_perm),
                  py_permutation(e.back_perm), wrap(std::move(e.state)));
}

Ref evaluator_initial_key(PyObject* self, const Args&) { return py_uint(me(self)->initial_key()); }

}  // namespace

ClassDef ClassOf<Evaluator>::def() {
  return {
      .constructor = ctor<evaluator_new>("Evaluator(nqubits)\n--\n\nRandomized evaluator used "
                                         "to hash circuits and recover permutation metadata."),
      .methods = {
          method<evaluator_nqubits>("nqubits($self)\n--\n\nReturns evaluator qubit count."),
          method<evaluator_evaluate>("evaluate($self, instrs)\n--\n\nPython wrapper for circuit "
                                     "evaluation."),
          method<evaluator_initial_key>(
              "initial_key($self)\n--\n\nHash key for the empty circuit under this evaluator."),
      },
      .value_slots = SLOT_EQ,
  };
}

template PyTypeObject* define_class<Evaluator>();

}  // namespace marrowfen::py
