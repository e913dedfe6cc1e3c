// Python methods of IdentityProver that live in other files (proof export, prover file).
// bind_prover.cpp lists them in the class's method table.
//
// What those files need to reach the prover:
// - `receiver<IdentityProver>(self)` for a shared borrow of the receiver, and
//   `wrap(IdentityProver{...})` for a new instance (ClassOf<IdentityProver> is defined in
//   bind_prover.cpp);
// - `prover_identity_arg` for an `identity` parameter (an IdentityCirc, copied) and
//   `identity_set_to_py` for a visited set.
#pragma once

#include "identity/idcircuit.hpp"
#include "prover/prover.hpp"
#include "python/binding.hpp"
#include "python/classes.hpp"

namespace marrowfen::py {

// "export_proof($self, identity, additional_size, count_limit)", in bind_proof.cpp
Ref prover_export_proof(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames);
// "dump_postcard($self, filepath)", in bind_prover_file.cpp
Ref prover_dump_postcard(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames);
// "from_postcard(filepath)", static (self is null), in bind_prover_file.cpp
Ref prover_from_postcard(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames);

// A copy of the IdentityCirc passed as `identity` (TypeError "argument 'identity': ..." for
// anything else).
IdentityCirc prover_identity_arg(PyObject* o);

// A new Python set holding a new IdentityCirc per element.
Ref identity_set_to_py(const IdentitySet& set);

}  // namespace marrowfen::py
