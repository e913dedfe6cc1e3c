// Python methods of RawECCs that live in other files (simplification, checked equivalence).
// bind_raweccs.cpp lists them in the class's method table.
//
// What those files need to reach the values:
// - `receiver<RawECCs>(self)`: a shared borrow of the receiver (ClassOf<RawECCs> is defined in
//   bind_raweccs.cpp); `raweccs_arg(name, obj)` for a RawECCs parameter;
// - `evaluator_arg(name, obj)` for an Evaluator parameter (ClassOf<Evaluator> is defined in
//   bind_evaluator.cpp); both raise "argument '{name}': '{type}' object cannot be converted to
//   '{class}'" for another type and borrow the object shared while the result lives.
#pragma once

#include "python/binding.hpp"
#include "python/classes.hpp"
#include "search/evaluator.hpp"
#include "search/raw_eccs.hpp"

namespace marrowfen::py {

// "simplify($self)", in bind_ecc.cpp
Ref raweccs_simplify(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// "check_identity_subset($self, ecc1, evaluator)", in bind_raweccs_check.cpp
Ref raweccs_check_identity_subset(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames);

inline Shared<RawECCs> raweccs_arg(const char* name, PyObject* o) {
  return arg(name, [&] { return raw_instance<RawECCs>(o); });
}

inline Shared<Evaluator> evaluator_arg(const char* name, PyObject* o) {
  return arg(name, [&] { return raw_instance<Evaluator>(o); });
}

}  // namespace marrowfen::py
