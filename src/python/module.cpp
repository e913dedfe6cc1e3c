// The module entry: PyInit_marrowfen creates the module once per process and registers the
// classes in their fixed order; __all__ follows that order.
#include <atomic>
#include <cstdint>
#include <cstring>

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

// Registration order (the order of __all__).
PyTypeObject* (*const CLASSES[])() = {
    &define_class<Argument>,  &define_class<Instruction>,   &define_class<Gate16>,
    &define_class<Instr32>,   &define_class<StateVec>,      &define_class<ECC>,
    &define_class<ECCs>,      &define_class<RawECCs>,       &define_class<Evaluator>,
    &define_class<Circ>,      &define_class<IdentityCirc>,  &define_class<IdentityProver>,
    &define_class<Proof>,
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
  for (PyTypeObject* (*create)() : CLASSES) {
    PyTypeObject* tp = create();
    // "builtins.Gate" -> "Gate"
    const char* name = tp->tp_name + std::strlen("builtins.");
    Ref all = Ref::steal(PyObject_GetAttrString(m.get(), "__all__"));
    if (!all) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyErrSet{};
      PyErr_Clear();
      all = check(PyList_New(0));
      check_status(PyObject_SetAttrString(m.get(), "__all__", all.get()));
    }
    check_status(PyList_Append(all.get(), py_str(name).get()));
    check_status(PyObject_SetAttrString(m.get(), name, reinterpret_cast<PyObject*>(tp)));
  }
  module_cache = Ref(m).release();
  return m;
}

}  // namespace
}  // namespace marrowfen::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_marrowfen() {
  return marrowfen::py::guard([] { return marrowfen::py::init_module(); });
}
