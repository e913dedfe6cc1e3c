// Python class IdentityCirc: an immutable identity circuit. Instances carry an attribute
// dictionary and register as sequences; indexing is cyclic.
#include <climits>
#include <cstddef>
#include <optional>

#include "identity/circuit.hpp"
#include "identity/idcircuit.hpp"
#include "python/binding.hpp"
#include "python/classes.hpp"
#include "python/convert.hpp"

namespace marrowfen::py {

namespace {

const IdentityCirc& self_id(PyObject* self) { return cell<IdentityCirc>(self)->value; }

Ref u32_list(const std::vector<std::uint32_t>& v) { return py_list(v, py_uint); }

// The plain form of a circuit: {"instrs": [instruction forms], "perm": {"raw": raw}}.
Ref circ_to_plain(const Circ& c) {
  Ref instrs = py_list(c.instrs, instr_to_plain);
  Ref perm = perm_to_plain(c.perm);
  Ref d = check(PyDict_New());
  check_status(PyDict_SetItemString(d.get(), "instrs", instrs.get()));
  check_status(PyDict_SetItemString(d.get(), "perm", perm.get()));
  return d;
}

std::vector<Instr32> instrs_from_plain(PyObject* o) {
  if (!PySequence_Check(o)) raise_downcast(o, "Sequence");
  const Py_ssize_t n = PySequence_Size(o);
  if (n < 0) throw PyErrSet{};
  std::vector<Instr32> out;
  out.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    Ref item = check(PySequence_GetItem(o, i));
    out.push_back(instr_from_plain(item.get()));
  }
  return out;
}

// Reads the fields in the mapping's own key order, ignoring other keys; a missing field is
// reported once all keys have been seen, the first in declaration order.
Circ circ_from_plain(PyObject* o) {
  if (!is_mapping(o)) raise_downcast(o, "Mapping");
  Ref keys = check(PyMapping_Keys(o));
  const Py_ssize_t n = PyList_Size(keys.get());
  if (n < 0) throw PyErrSet{};
  std::optional<std::vector<Instr32>> instrs;
  std::optional<Permut32> perm;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* key = PyList_GET_ITEM(keys.get(), i);
    if (!PyUnicode_Check(key)) continue;
    const bool is_instrs = PyUnicode_CompareWithASCIIString(key, "instrs") == 0;
    const bool is_perm = !is_instrs && PyUnicode_CompareWithASCIIString(key, "perm") == 0;
    if (!is_instrs && !is_perm) continue;
    Ref value = check(PyObject_GetItem(o, key));
    if (is_instrs)
      instrs = instrs_from_plain(value.get());
    else
      perm = perm_from_plain(value.get());
  }
  if (!instrs) raise_type_error("missing field `instrs`");
  if (!perm) raise_type_error("missing field `perm`");
  return Circ{std::move(*instrs), *perm};
}

Ref id_new(const Args& a) {
  return wrap(IdentityCirc::unchecked(a.get(0, raw_copy<Circ>)));
}

Ref id_from_python(PyObject*, const Args& a) {
  return wrap(IdentityCirc::from_circ(circ_from_plain(a[0])));
}

Ref id_nqubits(PyObject* self, const Args&) { return py_uint(self_id(self).nqubits()); }

Ref id_qargs_forward(PyObject* self, const Args& a) {
  return u32_list(self_id(self).qargs_forward(a.get(0, raw_u32)));
}

Ref id_qargs_backward(PyObject* self, const Args& a) {
  return u32_list(self_id(self).qargs_backward(a.get(0, raw_u32)));
}

Ref id_check(PyObject* self, const Args&) { return py_bool(self_id(self).check()); }
Ref id_hash_value(PyObject* self, const Args&) { return py_uint(self_id(self).hash_value()); }
Ref id_pythonize(PyObject* self, const Args&) { return circ_to_plain(self_id(self).circ); }

Ref get_inner(PyObject* self) { return wrap(Circ(self_id(self).circ)); }

constexpr char INDEX[] = "idx";  // the index's name in conversion errors

}  // namespace

ClassDef ClassOf<IdentityCirc>::def() {
  return {
      .constructor = ctor<id_new>("IdentityCirc(circuit)\n--\n\nCanonical identity circuit (a "
                                  "circuit proven equivalent to identity)."),
      .sequence = true,
      .instance_dict = true,
      .methods = {
          method<id_from_python>("from_python(obj)\n--\n\nParses a Python-serialized identity "
                                 "object."),
          method<id_nqubits>("nqubits($self)\n--\n\nReturns number of qubits."),
          method<id_qargs_forward>("qargs_forward($self, gate_id)\n--\n\nFor each argument of "
                                   "gate `gate_id`, returns next gate index using that qubit."),
          method<id_qargs_backward>(
              "qargs_backward($self, gate_id)\n--\n\nFor each argument of gate `gate_id`, "
              "returns previous gate index using that qubit."),
          method<id_check>("check($self)\n--\n\nRandomized semantic check that this circuit is "
                           "identity."),
          method<id_hash_value>(
              "hash_value($self)\n--\n\nStable hash of the canonical identity representation."),
          method<id_pythonize>(
              "pythonize($self)\n--\n\nConverts this identity to a Python-serializable form."),
      },
      .getsets = {getter<get_inner>("inner", "Underlying circuit representation.")},
      .value_slots = SLOT_STR | SLOT_REPR | SLOT_HASH | SLOT_ORDER,
      .slots = cyclic_sequence_slots<IdentityCirc, INDEX>(),
  };
}

template PyTypeObject* define_class<IdentityCirc>();

}  // namespace marrowfen::py
