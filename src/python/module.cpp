// The module entry: PyInit_marrowfen creates the module once per process and registers the
// classes in their fixed order; __all__ follows that order.
#include <atomic>
#include <cstdint>

#include "python/binding.hpp"
#include "python/classes.hpp"

namespace marrowfen::py {
namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "marrowfen",
    "The marrowfen package's extension entry point.\n\nA Python package file of the same "
    "package re-exports and wraps these classes; that file is not part of this module.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

std::atomic<std::int64_t> recorded_interpreter{-1};
PyObject* module_cache = nullptr;

struct ClassEntry {
  const char* name;
  PyTypeObject* (*create)();
};

// Registration order (the order of __all__).
const ClassEntry CLASSES[] = {
    {"Argument", &create_argument_type},
    {"Instruction", &create_instruction_type},
    {"Gate", &create_gate_type},
    {"Instr", &create_instr_type},
    {"StateVec", &create_statevec_type},
    {"ECC", &create_ecc_type},
    {"ECCs", &create_eccs_type},
    {"RawECCs", &create_raweccs_type},
    {"Evaluator", &create_evaluator_type},
    {"Circ", &create_circ_type},
    {"IdentityCirc", &create_identitycirc_type},
    {"IdentityProver", &create_identityprover_type},
    {"Proof", &create_proof_type},
};

Ref init_module() {
  PyInterpreterState* interp = PyInterpreterState_Get();
  const std::int64_t id = PyInterpreterState_GetID(interp);
  if (id == -1) {
    if (!PyErr_Occurred())
      PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    throw PyErrSet{};
  }
  std::int64_t expected = -1;
  if (!recorded_interpreter.compare_exchange_strong(expected, id) && expected != id)
    raise(PyExc_ImportError,
          "PyO3 modules do not yet support subinterpreters, see "
          "https://github.com/PyO3/pyo3/issues/576");
  if (module_cache) return Ref::borrow(module_cache);

  Ref m = check(PyModule_Create2(&module_def, 1013));
#ifdef Py_GIL_DISABLED
  check_status(PyUnstable_Module_SetGIL(m.get(), Py_MOD_GIL_USED));
#endif
  for (const ClassEntry& c : CLASSES) {
    PyTypeObject* tp = c.create();
    Ref all = Ref::steal(PyObject_GetAttrString(m.get(), "__all__"));
    if (!all) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyErrSet{};
      PyErr_Clear();
      all = check(PyList_New(0));
      check_status(PyObject_SetAttrString(m.get(), "__all__", all.get()));
    }
    Ref name = py_str(c.name);
    check_status(PyList_Append(all.get(), name.get()));
    check_status(PyObject_SetAttrString(m.get(), c.name, reinterpret_cast<PyObject*>(tp)));
  }
  module_cache = Ref(m).release();
  return m;
}

}  // namespace
}  // namespace marrowfen::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_marrowfen() {
  return marrowfen::py::guard([] { return marrowfen::py::init_module(); });
}
