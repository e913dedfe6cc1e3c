// Python classes Argument and Instruction: named-register records, mutable through their
// attributes.
#include "circ/gate.hpp"
#include "circ/instruction.hpp"
#include "python/binding.hpp"
#include "python/classes.hpp"

namespace marrowfen::py {

ClassInfo& ClassOf<Argument>::info() {
  static ClassInfo ci{"Argument", nullptr, true};
  return ci;
}

ClassInfo& ClassOf<Instruction>::info() {
  static ClassInfo ci{"Instruction", nullptr, true};
  return ci;
}

namespace {

// ---------------------------------------------------------------------------------------------
// Argument

Ref argument_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  static const ArgSpec spec{"Argument.__new__()", {"regid", "index"}, 2};
  PyObject* a[2];
  bind_tuple(spec, args, kwargs, a);
  std::string regid = arg("regid", [&] { return raw_str(a[0]); });
  const std::uint32_t index = arg("index", [&] { return raw_u32(a[1]); });
  return wrap(Argument{std::move(regid), index});
}

Ref get_regid(PyObject* self) { return py_str(receiver<Argument>(self)->regid); }
void set_regid(PyObject* self, PyObject* value) {
  std::string regid = raw_str(value);
  Exclusive<Argument>(self)->regid = std::move(regid);
}

Ref get_index(PyObject* self) { return py_uint(receiver<Argument>(self)->index); }
void set_index(PyObject* self, PyObject* value) {
  const std::uint32_t index = raw_u32(value);
  Exclusive<Argument>(self)->index = index;
}

Ref argument_str(PyObject* self) { return py_str(receiver<Argument>(self)->display()); }
Ref argument_repr(PyObject* self) { return py_str(receiver<Argument>(self)->debug()); }
std::uint64_t argument_hash(PyObject* self) { return content_hash(*receiver<Argument>(self)); }
Ref argument_richcompare(PyObject* a, PyObject* b, int op) {
  return rich_eq<Argument>(a, b, op, [](const Argument& x, const Argument& y) { return x == y; });
}

// ---------------------------------------------------------------------------------------------
// Instruction

Argument copy_argument(PyObject* o) { return *raw_instance<Argument>(o); }

// A constructor element: an Argument, or a (regid, index) tuple.
Argument argument_or_tuple(PyObject* o) {
  if (is_instance<Argument>(o)) return copy_argument(o);
  if (PyTuple_Check(o) && PyTuple_GET_SIZE(o) == 2) {
    try {
      std::string regid = raw_str(PyTuple_GET_ITEM(o, 0));
      const std::uint32_t index = raw_u32(PyTuple_GET_ITEM(o, 1));
      return Argument{std::move(regid), index};
    } catch (const PyErrSet&) {
      PyErr_Clear();
    }
  }
  raise_type_error("failed to convert the value to 'Union[Argument, PyTuple]'");
}

std::vector<Argument> argument_list(PyObject* o) {
  return raw_list(o, [](PyObject* x) { return argument_or_tuple(x); });
}

Ref instruction_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  static const ArgSpec spec{"Instruction.__new__()", {"gate", "qargs", "cargs"}, 2};
  PyObject* a[3];
  bind_tuple(spec, args, kwargs, a);
  const Gate16 gate = arg("gate", [&] { return *raw_instance<Gate16>(a[0]); });
  std::vector<Argument> qargs = arg("qargs", [&] { return argument_list(a[1]); });
  std::vector<Argument> cargs;
  if (a[2]) cargs = arg("cargs", [&] { return argument_list(a[2]); });
  return wrap(Instruction{gate, std::move(qargs), std::move(cargs)});
}

Ref argument_pylist(const std::vector<Argument>& list) {
  return py_list(list, [](const auto& x) { return wrap(x); });
}

Ref get_instruction_gate(PyObject* self) { return wrap(receiver<Instruction>(self)->gate); }
void set_instruction_gate(PyObject* self, PyObject* value) {
  const Gate16 gate = *raw_instance<Gate16>(value);
  Exclusive<Instruction>(self)->gate = gate;
}

Ref get_qargs(PyObject* self) { return argument_pylist(receiver<Instruction>(self)->qargs); }
void set_qargs(PyObject* self, PyObject* value) {
  std::vector<Argument> list = raw_list(value, copy_argument);
  Exclusive<Instruction>(self)->qargs = std::move(list);
}

Ref get_cargs(PyObject* self) { return argument_pylist(receiver<Instruction>(self)->cargs); }
void set_cargs(PyObject* self, PyObject* value) {
  std::vector<Argument> list = raw_list(value, copy_argument);
  Exclusive<Instruction>(self)->cargs = std::move(list);
}

Ref instruction_str(PyObject* self) { return py_str(receiver<Instruction>(self)->display()); }
Ref instruction_repr(PyObject* self) { return py_str(receiver<Instruction>(self)->debug()); }
std::uint64_t instruction_hash(PyObject* self) {
  return content_hash(*receiver<Instruction>(self));
}
Ref instruction_richcompare(PyObject* a, PyObject* b, int op) {
  return rich_eq<Instruction>(a, b, op,
                              [](const Instruction& x, const Instruction& y) { return x == y; });
}

}  // namespace

PyTypeObject* create_argument_type() {
  static PyTypeObject* type = [] {
    TypeSpec s;
    s.name = "Argument";
    s.doc =
        "Argument(regid, index)\n--\n\nA named register argument (e.g., `q[0]`, `c[2]`) used by "
        "high-level instructions.";
    s.basicsize = sizeof(Cell<Argument>);
    s.dealloc = &cell_dealloc<Argument>;
    s.has_constructor = true;
    PyGetSetDef* getsets = getset_table({
        getset<get_regid, set_regid>("regid", nullptr),
        getset<get_index, set_index>("index", nullptr),
    });
    s.slots = {
        {Py_tp_new, reinterpret_cast<void*>(&new_thunk<argument_new>)},
        {Py_tp_getset, getsets},
        {Py_tp_str, reinterpret_cast<void*>(&unary_thunk<argument_str>)},
        {Py_tp_repr, reinterpret_cast<void*>(&unary_thunk<argument_repr>)},
        {Py_tp_hash, reinterpret_cast<void*>(&hash_thunk<argument_hash>)},
        {Py_tp_richcompare, reinterpret_cast<void*>(&rich_thunk<argument_richcompare>)},
    };
    PyTypeObject* t = make_type(std::move(s));
    ClassOf<Argument>::info().type = t;
    return t;
  }();
  return type;
}

PyTypeObject* create_instruction_type() {
  static PyTypeObject* type = [] {
    TypeSpec s;
    s.name = "Instruction";
    s.doc =
        "Instruction(gate, qargs, cargs=...)\n--\n\nA high-level instruction with gate + "
        "explicit quantum/classical register arguments.";
    s.basicsize = sizeof(Cell<Instruction>);
    s.dealloc = &cell_dealloc<Instruction>;
    s.has_constructor = true;
    PyGetSetDef* getsets = getset_table({
        getset<get_instruction_gate, set_instruction_gate>("gate", nullptr),
        getset<get_qargs, set_qargs>("qargs", nullptr),
        getset<get_cargs, set_cargs>("cargs", nullptr),
    });
    s.slots = {
        {Py_tp_new, reinterpret_cast<void*>(&new_thunk<instruction_new>)},
        {Py_tp_getset, getsets},
        {Py_tp_str, reinterpret_cast<void*>(&unary_thunk<instruction_str>)},
        {Py_tp_repr, reinterpret_cast<void*>(&unary_thunk<instruction_repr>)},
        {Py_tp_hash, reinterpret_cast<void*>(&hash_thunk<instruction_hash>)},
        {Py_tp_richcompare, reinterpret_cast<void*>(&rich_thunk<instruction_richcompare>)},
    };
    PyTypeObject* t = make_type(std::move(s));
    ClassOf<Instruction>::info().type = t;
    return t;
  }();
  return type;
}

}  // namespace marrowfen::py
