// Python class Evaluator: the randomized fingerprinting of circuits.
#include <vector>

#include "circ/instr.hpp"
#include "python/binding.hpp"
#include "python/classes.hpp"
#include "python/convert.hpp"
#include "search/evaluator.hpp"
#include "state/state_vec.hpp"

namespace marrowfen::py {

ClassInfo& ClassOf<Evaluator>::info() {
  static ClassInfo ci{"Evaluator", nullptr, true};
  return ci;
}

namespace {

Ref evaluator_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  static const ArgSpec spec{"Evaluator.__new__()", {"nqubits"}, 1};
  PyObject* a[1];
  bind_tuple(spec, args, kwargs, a);
  const std::uint32_t n = arg("nqubits", [&] { return raw_u32(a[0]); });
  return wrap(Evaluator::random_py(n));
}

Ref evaluator_nqubits(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  static const ArgSpec spec{"Evaluator.nqubits()", {}, 0};
  bind_fastcall(spec, args, nargs, kwnames, nullptr);
  return py_uint(receiver<Evaluator>(self)->nqubits());
}

Ref evaluator_evaluate(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  static const ArgSpec spec{"Evaluator.evaluate()", {"instrs"}, 1};
  PyObject* a[1];
  bind_fastcall(spec, args, nargs, kwnames, a);
  Shared<Evaluator> ev = receiver<Evaluator>(self);
  const std::vector<Instr32> instrs = arg("instrs", [&] {
    return raw_list(a[0], [](PyObject* x) { return *raw_instance<Instr32>(x); });
  });
  Evaluation e = ev->evaluate(instrs);
  Ref back = wrap(std::move(e.back_state));
  Ref front_perm = py_permutation(e.front_perm);
  Ref back_perm = py_permutation(e.back_perm);
  Ref state = wrap(std::move(e.state));
  return check(PyTuple_Pack(4, back.get(), front_perm.get(), back_perm.get(), state.get()));
}

Ref evaluator_initial_key(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  static const ArgSpec spec{"Evaluator.initial_key()", {}, 0};
  bind_fastcall(spec, args, nargs, kwnames, nullptr);
  return py_uint(receiver<Evaluator>(self)->initial_key());
}

Ref evaluator_richcompare(PyObject* a, PyObject* b, int op) {
  return rich_eq<Evaluator>(a, b, op,
                            [](const Evaluator& x, const Evaluator& y) { return x == y; });
}

}  // namespace

PyTypeObject* create_evaluator_type() {
  static PyTypeObject* type = [] {
    TypeSpec s;
    s.name = "Evaluator";
    s.doc =
        "Evaluator(nqubits)\n--\n\nRandomized evaluator used to hash circuits and recover "
        "permutation metadata.";
    s.basicsize = sizeof(Cell<Evaluator>);
    s.dealloc = &cell_dealloc<Evaluator>;
    s.has_constructor = true;
    PyMethodDef* methods = method_table({
        method<evaluator_nqubits>("nqubits", "nqubits($self)\n--\n\nReturns evaluator qubit count."),
        method<evaluator_evaluate>("evaluate",
                                   "evaluate($self, instrs)\n--\n\nPython wrapper for circuit "
                                   "evaluation."),
        method<evaluator_initial_key>(
            "initial_key",
            "initial_key($self)\n--\n\nHash key for the empty circuit under this evaluator."),
    });
    s.slots = {
        {Py_tp_new, reinterpret_cast<void*>(&new_thunk<evaluator_new>)},
        {Py_tp_methods, methods},
        {Py_tp_richcompare, reinterpret_cast<void*>(&rich_thunk<evaluator_richcompare>)},
    };
    PyTypeObject* t = make_type(std::move(s));
    ClassOf<Evaluator>::info().type = t;
    return t;
  }();
  return type;
}

}  // namespace marrowfen::py
