// Python class Proof: an exported proof, a plain list of (identity, dependency) entries, and
// the IdentityProver method that makes one, export_proof.
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "identity/idcircuit.hpp"
#include "prover/proof.hpp"
#include "prover/prover.hpp"
#include "python/binding.hpp"
#include "python/classes.hpp"
#include "python/prover_methods.hpp"

namespace marrowfen::py {

ClassInfo& ClassOf<Proof>::info() {
  static ClassInfo ci{"Proof", nullptr, true};
  return ci;
}

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
  IdentityCirc identity(*raw_instance<IdentityCirc>(PyTuple_GET_ITEM(o, 0)));
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
  Ref dep = none();
  if (e.second) {
    Ref lhs = py_uint(e.second->first);
    Ref rhs = py_uint(e.second->second);
    dep = check(PyTuple_Pack(2, lhs.get(), rhs.get()));
  }
  return check(PyTuple_Pack(2, identity.get(), dep.get()));
}

Ref proof_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  static const ArgSpec spec{"Proof.__new__()", {"data"}, 1};
  PyObject* a[1];
  bind_tuple(spec, args, kwargs, a);
  std::vector<ProofEntry> entries = arg("data", [&] { return raw_list(a[0], entry_from_py); });
  return wrap(Proof{std::move(entries)});
}

Ref get_raw(PyObject* self) {
  Shared<Proof> proof = receiver<Proof>(self);
  return py_list(proof->entries, [](const auto& e) { return entry_to_py(e); });
}

Ref proof_str(PyObject* self) { return py_str(receiver<Proof>(self)->display()); }

Ref proof_repr(PyObject* self) {
  return py_str(fmt::format("{}", receiver<Proof>(self)->entries.size()));
}

Ref proof_richcompare(PyObject* a, PyObject* b, int op) {
  if (!is_instance<Proof>(a) || !is_instance<Proof>(b)) return not_implemented();
  Shared<Proof> x = receiver<Proof>(a);
  Shared<Proof> y = receiver<Proof>(b);
  const auto c = *x <=> *y;
  return ordering_result(c, op);
}

}  // namespace

// IdentityProver.export_proof(identity, additional_size, count_limit) -> Proof | None
Ref prover_export_proof(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  static const ArgSpec spec{"IdentityProver.export_proof()",
                            {"identity", "additional_size", "count_limit"}, 3};
  PyObject* a[3];
  bind_fastcall(spec, args, nargs, kwnames, a);
  Shared<IdentityProver> prover = receiver<IdentityProver>(self);
  IdentityCirc identity = prover_identity_arg(a[0]);
  const std::uint32_t additional_size = arg("additional_size", [&] { return raw_u32(a[1]); });
  const std::uint32_t count_limit = arg("count_limit", [&] { return raw_u32(a[2]); });
  std::optional<Proof> proof =
      marrowfen::export_proof(*prover, std::move(identity), additional_size, count_limit);
  return proof ? wrap(std::move(*proof)) : none();
}

PyTypeObject* create_proof_type() {
  static PyTypeObject* type = [] {
    TypeSpec s;
    s.name = "Proof";
    s.doc =
        "Proof(data)\n--\n\nExported proof DAG.\n\nEach entry stores:\n- an identity circuit,\n- "
        "either `None` (assumption) or `(lhs_idx, rhs_idx)` showing how it is derived.";
    s.basicsize = sizeof(Cell<Proof>);
    s.dealloc = &cell_dealloc<Proof>;
    s.has_constructor = true;
    PyGetSetDef* getsets = getset_table({
        getter<get_raw>("raw", "Returns raw proof entries."),
    });
    s.slots = {
        {Py_tp_new, reinterpret_cast<void*>(&new_thunk<proof_new>)},
        {Py_tp_getset, getsets},
        {Py_tp_str, reinterpret_cast<void*>(&unary_thunk<proof_str>)},
        {Py_tp_repr, reinterpret_cast<void*>(&unary_thunk<proof_repr>)},
        {Py_tp_richcompare, reinterpret_cast<void*>(&rich_thunk<proof_richcompare>)},
    };
    PyTypeObject* t = make_type(std::move(s));
    ClassOf<Proof>::info().type = t;
    return t;
  }();
  return type;
}

}  // namespace marrowfen::py
