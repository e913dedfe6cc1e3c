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

ClassInfo& ClassOf<IdentityCirc>::info() {
  static ClassInfo ci{"IdentityCirc", nullptr, false};
  return ci;
}

namespace {

const IdentityCirc& self_id(PyObject* self) { return cell<IdentityCirc>(self)->value; }

// A signed 32-bit parameter (the module's C long).
std::int32_t raw_i32(PyObject* o) {
  return static_cast<std::int32_t>(raw_small_int(o, INT32_MIN, INT32_MAX));
}

Ref u32_list(const std::vector<std::uint32_t>& v) {
  return py_list(v, [](std::uint32_t x) { return py_uint(x); });
}

// The plain form of a circuit: {"instrs": [instruction forms], "perm": {"raw": raw}}.
Ref circ_to_plain(const Circ& c) {
  Ref instrs = check(PyList_New(static_cast<Py_ssize_t>(c.instrs.size())));
  for (std::size_t i = 0; i < c.instrs.size(); ++i)
    PyList_SET_ITEM(instrs.get(), static_cast<Py_ssize_t>(i), instr_to_plain(c.instrs[i]).release());
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

Ref id_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  static const ArgSpec spec{"IdentityCirc.__new__()", {"circuit"}, 1};
  PyObject* a[1];
  bind_tuple(spec, args, kwargs, a);
  Circ c = arg("circuit", [&] { return Circ(*raw_instance<Circ>(a[0])); });
  return wrap(IdentityCirc::unchecked(std::move(c)));
}

Ref id_from_python(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const ArgSpec spec{"IdentityCirc.from_python()", {"obj"}, 1};
  PyObject* a[1];
  bind_fastcall(spec, args, nargs, kwnames, a);
  return wrap(IdentityCirc::from_circ(circ_from_plain(a[0])));
}

Ref id_nqubits(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const ArgSpec spec{"IdentityCirc.nqubits()", {}, 0};
  bind_fastcall(spec, args, nargs, kwnames, nullptr);
  return py_uint(self_id(self).nqubits());
}

Ref id_qargs_forward(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
  static const ArgSpec spec{"IdentityCirc.qargs_forward()", {"gate_id"}, 1};
  PyObject* a[1];
  bind_fastcall(spec, args, nargs, kwnames, a);
  const std::uint32_t gate_id = arg("gate_id", [&] { return raw_u32(a[0]); });
  return u32_list(self_id(self).qargs_forward(gate_id));
}

Ref id_qargs_backward(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  static const ArgSpec spec{"IdentityCirc.qargs_backward()", {"gate_id"}, 1};
  PyObject* a[1];
  bind_fastcall(spec, args, nargs, kwnames, a);
  const std::uint32_t gate_id = arg("gate_id", [&] { return raw_u32(a[0]); });
  return u32_list(self_id(self).qargs_backward(gate_id));
}

Ref id_check(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const ArgSpec spec{"IdentityCirc.check()", {}, 0};
  bind_fastcall(spec, args, nargs, kwnames, nullptr);
  return py_bool(self_id(self).check());
}

Ref id_hash_value(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const ArgSpec spec{"IdentityCirc.hash_value()", {}, 0};
  bind_fastcall(spec, args, nargs, kwnames, nullptr);
  return py_uint(self_id(self).hash_value());
}

Ref id_pythonize(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const ArgSpec spec{"IdentityCirc.pythonize()", {}, 0};
  bind_fastcall(spec, args, nargs, kwnames, nullptr);
  return circ_to_plain(self_id(self).circ);
}

Ref get_inner(PyObject* self) { return wrap(Circ(self_id(self).circ)); }

Ref id_str(PyObject* self) { return py_str(self_id(self).display()); }
Ref id_repr(PyObject* self) { return py_str(self_id(self).debug()); }

Py_ssize_t id_len(PyObject* self) { return static_cast<Py_ssize_t>(self_id(self).len()); }

// Cyclic: index idx mod L with a non-negative remainder.
Ref id_getitem(PyObject* self, PyObject* key) {
  const std::int32_t idx = arg("idx", [&] { return raw_i32(key); });
  const IdentityCirc& id = self_id(self);
  const auto n = static_cast<std::int64_t>(id.len());
  if (n == 0) stop("attempt to calculate the remainder with a divisor of zero");
  std::int64_t i = idx % n;
  if (i < 0) i += n;
  return wrap(id.circ.instrs[static_cast<std::size_t>(i)]);
}

// The sequence protocol's item slot, so that instances pass the interpreter's sequence check
// (PySequence_GetItem has already added the length to a negative index, which leaves the
// cyclic position unchanged).
Ref id_sq_item(PyObject* self, Py_ssize_t i) {
  Ref key = py_int(static_cast<long long>(i));
  return id_getitem(self, key.get());
}

// Iteration yields each instruction once (indexing alone never ends, being cyclic).
Ref id_iter(PyObject* self) {
  const IdentityCirc& id = self_id(self);
  Ref list = check(PyList_New(static_cast<Py_ssize_t>(id.len())));
  for (std::size_t i = 0; i < id.circ.instrs.size(); ++i)
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), wrap(id.circ.instrs[i]).release());
  return check(PyObject_GetIter(list.get()));
}

std::uint64_t id_hash(PyObject* self) { return self_id(self).hash_value(); }

Ref id_richcompare(PyObject* a, PyObject* b, int op) {
  if (!is_instance<IdentityCirc>(a) || !is_instance<IdentityCirc>(b)) return not_implemented();
  const auto c = self_id(a) <=> self_id(b);
  return ordering_result(c, op);
}

}  // namespace

PyTypeObject* create_identitycirc_type() {
  static PyTypeObject* type = [] {
    TypeSpec s;
    s.name = "IdentityCirc";
    s.doc =
        "IdentityCirc(circuit)\n--\n\nCanonical identity circuit (a circuit proven equivalent "
        "to identity).";
    s.basicsize = sizeof(Cell<IdentityCirc>);
    s.dealloc = &cell_dealloc<IdentityCirc>;
    s.has_constructor = true;
    s.sequence = true;
    s.instance_dict = true;
    s.dict_offset = static_cast<Py_ssize_t>(offsetof(Cell<IdentityCirc>, dict));
    PyMethodDef* methods = method_table({
        method<id_from_python>(
            "from_python",
            "from_python(obj)\n--\n\nParses a Python-serialized identity object.", METH_STATIC),
        method<id_nqubits>("nqubits", "nqubits($self)\n--\n\nReturns number of qubits."),
        method<id_qargs_forward>("qargs_forward",
                                 "qargs_forward($self, gate_id)\n--\n\nFor each argument of "
                                 "gate `gate_id`, returns next gate index using that qubit."),
        method<id_qargs_backward>(
            "qargs_backward",
            "qargs_backward($self, gate_id)\n--\n\nFor each argument of gate `gate_id`, returns "
            "previous gate index using that qubit."),
        method<id_check>("check",
                         "check($self)\n--\n\nRandomized semantic check that this circuit is "
                         "identity."),
        method<id_hash_value>(
            "hash_value",
            "hash_value($self)\n--\n\nStable hash of the canonical identity representation."),
        method<id_pythonize>(
            "pythonize",
            "pythonize($self)\n--\n\nConverts this identity to a Python-serializable form."),
    });
    PyGetSetDef* getsets = getset_table({
        getter<get_inner>("inner", "Underlying circuit representation."),
        PyGetSetDef{"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr,
                    nullptr},
    });
    s.slots = {
        {Py_tp_new, reinterpret_cast<void*>(&new_thunk<id_new>)},
        {Py_tp_methods, methods},
        {Py_tp_getset, getsets},
        {Py_tp_str, reinterpret_cast<void*>(&unary_thunk<id_str>)},
        {Py_tp_repr, reinterpret_cast<void*>(&unary_thunk<id_repr>)},
        {Py_tp_iter, reinterpret_cast<void*>(&unary_thunk<id_iter>)},
        {Py_tp_richcompare, reinterpret_cast<void*>(&rich_thunk<id_richcompare>)},
        {Py_tp_hash, reinterpret_cast<void*>(&hash_thunk<id_hash>)},
        {Py_sq_length, reinterpret_cast<void*>(&len_thunk<id_len>)},
        {Py_sq_item, reinterpret_cast<void*>(&ssizearg_thunk<id_sq_item>)},
        {Py_mp_length, reinterpret_cast<void*>(&len_thunk<id_len>)},
        {Py_mp_subscript, reinterpret_cast<void*>(&binary_thunk<id_getitem>)},
    };
    PyTypeObject* t = make_type(std::move(s));
    ClassOf<IdentityCirc>::info().type = t;
    return t;
  }();
  return type;
}

}  // namespace marrowfen::py
