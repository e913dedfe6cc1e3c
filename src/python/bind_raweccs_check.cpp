// RawECCs.check_identity_subset: the parallel checked equivalence of every simplified member of
// the receiver against another map.
#include "python/raweccs_methods.hpp"

namespace marrowfen::py {

// "check_identity_subset($self, ecc1, evaluator)". The receiver and ecc1 are borrowed shared
// for the whole call (they may be the same object); the interpreter stays attached while the
// pool works, and a stop on any worker surfaces here.
Ref raweccs_check_identity_subset(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  static const ArgSpec spec{"RawECCs.check_identity_subset()", {"ecc1", "evaluator"}, 2};
  PyObject* a[2];
  bind_fastcall(spec, args, nargs, kwnames, a);
  const Shared<RawECCs> me = receiver<RawECCs>(self);
  const Shared<RawECCs> ecc1 = raweccs_arg("ecc1", a[0]);
  const Shared<Evaluator> evaluator = evaluator_arg("evaluator", a[1]);
  me->check_identity_subset(*ecc1, *evaluator);
  return none();
}

}  // namespace marrowfen::py
