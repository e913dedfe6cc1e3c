// Python class Instr (a packed instruction), and calling a Gate, which makes an Instr from
// qubit numbers or an Instruction from register arguments.
#include "circ/gate.hpp"
#include "circ/instr.hpp"
#include "circ/instruction.hpp"
#include "python/binding.hpp"
#include "python/classes.hpp"
#include "python/convert.hpp"

namespace marrowfen::py {

ClassInfo& ClassOf<Instr32>::info() {
  static ClassInfo ci{"Instr", nullptr, true};
  return ci;
}

namespace {

Instr32 self_instr(PyObject* self) { return *receiver<Instr32>(self); }

Ref instr_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  static const ArgSpec spec{"Instr.__new__()", {"gate", "qargs"}, 2};
  PyObject* a[2];
  bind_tuple(spec, args, kwargs, a);
  const Gate16 gate = arg("gate", [&] { return *raw_instance<Gate16>(a[0]); });
  const std::vector<std::uint8_t> qargs =
      arg("qargs", [&] { return raw_list(a[1], [](PyObject* x) { return raw_u8(x); }); });
  return wrap(Instr32::create(gate, qargs));
}

Ref get_gate(PyObject* self) { return wrap(self_instr(self).gate()); }

Ref get_qargs(PyObject* self) {
  const QArgs16 q = self_instr(self).qargs();
  const auto s = q.as_slice();
  return check(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(s.data()),
                                         static_cast<Py_ssize_t>(s.size())));
}

Ref permute_by(const ArgSpec& spec, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames) {
  PyObject* a[1];
  bind_fastcall(spec, args, nargs, kwnames, a);
  const Instr32 in = self_instr(self);
  const Permut32 perm = arg("perm", [&] { return raw_permutation(a[0]); });
  return wrap(in.apply_permutation(perm));
}

Ref instr_apply_permutation(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  static const ArgSpec spec{"Instr.apply_permutation()", {"perm"}, 1};
  return permute_by(spec, self, args, nargs, kwnames);
}

Ref instr_permut(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const ArgSpec spec{"Instr.permut()", {"perm"}, 1};
  return permute_by(spec, self, args, nargs, kwnames);
}

Ref instr_arg_mask(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const ArgSpec spec{"Instr.arg_mask()", {}, 0};
  bind_fastcall(spec, args, nargs, kwnames, nullptr);
  return py_uint(self_instr(self).arg_mask());
}

Ref instr_pass_mask(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const ArgSpec spec{"Instr.pass_mask()", {"mask"}, 1};
  PyObject* a[1];
  bind_fastcall(spec, args, nargs, kwnames, a);
  const Instr32 in = self_instr(self);
  const std::uint8_t mask = arg("mask", [&] { return raw_u8(a[0]); });
  if (auto m = in.pass_mask(mask)) return py_uint(*m);
  return none();
}

Ref instr_largest_qubit(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  static const ArgSpec spec{"Instr.largest_qubit()", {}, 0};
  bind_fastcall(spec, args, nargs, kwnames, nullptr);
  return py_uint(self_instr(self).largest_qubit());
}

Ref instr_disjoint(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const ArgSpec spec{"Instr.disjoint()", {"other"}, 1};
  PyObject* a[1];
  bind_fastcall(spec, args, nargs, kwnames, a);
  const Instr32 in = self_instr(self);
  const Instr32 other = arg("other", [&] { return *raw_instance<Instr32>(a[0]); });
  return py_bool(in.disjoint(other));
}

Ref instr_adjoint(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const ArgSpec spec{"Instr.adjoint()", {}, 0};
  bind_fastcall(spec, args, nargs, kwnames, nullptr);
  return wrap(self_instr(self).adjoint());
}

Ref instr_position_of_qubit(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  static const ArgSpec spec{"Instr.position_of_qubit()", {"qubit"}, 1};
  PyObject* a[1];
  bind_fastcall(spec, args, nargs, kwnames, a);
  const Instr32 in = self_instr(self);
  const std::uint8_t qubit = arg("qubit", [&] { return raw_u8(a[0]); });
  if (auto p = in.position_of_qubit(qubit)) return py_uint(*p);
  return none();
}

Ref instr_str(PyObject* self) { return py_str(self_instr(self).display()); }

std::uint64_t instr_hash(PyObject* self) { return content_hash(self_instr(self)); }

// Converts every item of the argument tuple with `item`; false (error cleared) when one fails.
template <class T, class F>
bool try_convert_all(PyObject* args, std::vector<T>& out, F&& item) {
  try {
    out = raw_list(args, item);
    return true;
  } catch (const PyErrSet&) {
    PyErr_Clear();
    return false;
  }
}

}  // namespace

Ref gate_call(PyObject* self, PyObject* args, PyObject* kwargs) {
  if (kwargs && PyDict_GET_SIZE(kwargs) > 0) {
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    PyDict_Next(kwargs, &pos, &key, &value);
    Ref text = check(PyObject_Str(key));
    Ref msg = check(PyUnicode_FromFormat(
        "Gate.__call__() got an unexpected keyword argument '%U'", text.get()));
    PyErr_SetObject(PyExc_TypeError, msg.get());
    throw PyErrSet{};
  }
  const Gate16 gate = cell<Gate16>(self)->value;

  std::vector<std::uint8_t> qubits;
  if (try_convert_all(args, qubits, [](PyObject* x) { return raw_u8(x); }))
    return wrap(Instr32::from_gate_call(gate, qubits));

  std::vector<Argument> arguments;
  if (try_convert_all(args, arguments,
                      [](PyObject* x) { return Argument(*raw_instance<Argument>(x)); }))
    return wrap(Instruction::from_gate_call(gate, arguments));

  raise_type_error(
      "argument 'args': failed to convert the value to 'Union[Vec<u8>, Vec<Argument>]'");
}

PyTypeObject* create_instr_type() {
  static PyTypeObject* type = [] {
    TypeSpec s;
    s.name = "Instr";
    s.doc =
        "Instr(gate, qargs)\n--\n\nA compact, index-only quantum instruction used internally by "
        "the search/prover.";
    s.basicsize = sizeof(Cell<Instr32>);
    s.dealloc = &cell_dealloc<Instr32>;
    s.has_constructor = true;
    PyMethodDef* methods = method_table({
        method<instr_apply_permutation>(
            "apply_permutation",
            "apply_permutation($self, perm)\n--\n\nApplies a qubit permutation."),
        method<instr_permut>("permut", "permut($self, perm)\n--\n\nAlias of `apply_permutation`."),
        method<instr_arg_mask>(
            "arg_mask", "arg_mask($self)\n--\n\nBitmask of qubits touched by this instruction."),
        method<instr_pass_mask>("pass_mask",
                                "pass_mask($self, mask)\n--\n\nUpdates a frontier mask for "
                                "left-to-right scheduling checks."),
        method<instr_largest_qubit>(
            "largest_qubit",
            "largest_qubit($self)\n--\n\nLargest qubit index touched by this instruction."),
        method<instr_disjoint>("disjoint",
                               "disjoint($self, other)\n--\n\nReturns `true` when this and "
                               "`other` touch disjoint qubits."),
        method<instr_adjoint>("adjoint", "adjoint($self)\n--\n\nReturns the adjoint instruction."),
        method<instr_position_of_qubit>("position_of_qubit",
                                        "position_of_qubit($self, qubit)\n--\n\nReturns position "
                                        "of `qubit` in argument list, if present."),
    });
    PyGetSetDef* getsets = getset_table({
        getter<get_gate>("gate", "Underlying gate."),
        getter<get_qargs>("qargs", "Qubit arguments as dense integer indices."),
    });
    // No rich comparison: == and != fall back to identity, ordering raises TypeError.
    s.slots = {
        {Py_tp_new, reinterpret_cast<void*>(&new_thunk<instr_new>)},
        {Py_tp_methods, methods},
        {Py_tp_getset, getsets},
        {Py_tp_str, reinterpret_cast<void*>(&unary_thunk<instr_str>)},
        {Py_tp_repr, reinterpret_cast<void*>(&unary_thunk<instr_str>)},
        {Py_tp_hash, reinterpret_cast<void*>(&hash_thunk<instr_hash>)},
    };
    PyTypeObject* t = make_type(std::move(s));
    ClassOf<Instr32>::info().type = t;
    return t;
  }();
  return type;
}

}  // namespace marrowfen::py
