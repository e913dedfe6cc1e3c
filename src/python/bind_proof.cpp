// Python class Proof: an exported proof, a plain list of (identity, dependency) entries.
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "identity/idcircuit.hpp"
#include "prover/proof.hpp"
#include "python/binding.hpp"
#include "python/classes.hpp"

namespace marrowfen::py {

namespace {

// A tuple of exactly `n` items (subclasses of tuple included).
void check_tuple(PyObject* o, Py_ssize_t n) {
  if (!PyTuple_Check(o)) raise_downcast(o, "PyTuple");
  if (PyTuple_GET_SIZE(o) != n)
    raise_type_error(fmt::format("expected tuple of length {}, but got tuple of length {}", n,
                                 PyTuple_GET_SIZE(o)));
}

// (IdentityCirc, None | (int, int)); the identity is copied, the indices are not checked.
ProofEntry entry_from_py(PyObject* o) {
  check_tuple(o, 2);
  IdentityCirc identity = raw_copy<IdentityCirc>(PyTuple_GET_ITEM(o, 0));
  PyObject* d = PyTuple_GET_ITEM(o, 1);
  ProofDependency dep;
  if (d != Py_None) {
    check_tuple(d, 2);
    const std::uint32_t lhs = raw_u32(PyTuple_GET_ITEM(d, 0));
    const std::uint32_t rhs = raw_u32(PyTuple_GET_ITEM(d, 1));
    dep = std::pair(lhs, rhs);
  }
  return ProofEntry(std::move(identity), dep);
}

Ref entry_to_py(const ProofEntry& e) {
  Ref identity = wrap(IdentityCirc(e.first));
  Ref dep = e.second ? py_tuple(py_uint(e.second->first), py_uint(e.second->second)) : none();
  return py_tuple(std::move(identity), std::move(dep));
}

Ref proof_new(const Args& a) {
  return wrap(Proof{a.get(0, [](PyObject* o) { return raw_list(o, entry_from_py); })});
}

Ref get_raw(PyObject* self) { return py_list(receiver<Proof>(self)->entries, entry_to_py); }

Ref proof_repr(PyObject* self) {
  return py_str(fmt::format("{}", receiver<Proof>(self)->entries.size()));
}

}  // namespace

ClassDef ClassOf<Proof>::def() {
  return {
      .constructor = ctor<proof_new>("Proof(data)\n--\n\nExported proof DAG.\n\nEach entry "
                                     "stores:\n- an identity circuit,\n- either `None` "
                                     "(assumption) or `(lhs_idx, rhs_idx)` showing how it is "
                                     "derived."),
      .getsets = {getter<get_raw>("raw", "Returns raw proof entries.")},
      .value_slots = SLOT_STR | SLOT_ORDER,
      .slots = {slot(Py_tp_repr, &unary_thunk<proof_repr>)},
  };
}

template PyTypeObject* define_class<Proof>();

}  // namespace marrowfen::py
