// Python class Instruction: a gate with named register arguments, mutable through its
// attributes.
#include "circ/gate.hpp"
#include "circ/instruction.hpp"
#include "python/binding.hpp"
#include "python/classes.hpp"

namespace marrowfen::py {
namespace {

Shared<Instruction> me(PyObject* self) { return receiver<Instruction>(self); }

// A constructor element: an Argument, or a (regid, index) tuple.
Argument argument_or_tuple(PyObject* o) {
  if (is_instance<Argument>(o)) return raw_copy<Argument>(o);
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

std::vector<Argument> argument_list(PyObject* o) { return raw_list(o, argument_or_tuple); }

Ref instruction_new(const Args& a) {
  const Gate16 gate = a.get(0, raw_copy<Gate16>);
  std::vector<Argument> qargs = a.get(1, argument_list);
  std::vector<Argument> cargs;
  if (a[2]) cargs = a.get(2, argument_list);
  return wrap(Instruction{gate, std::move(qargs), std::move(cargs)});
}

Ref get_instruction_gate(PyObject* self) { return wrap(me(self)->gate); }
void set_instruction_gate(PyObject* self, PyObject* value) {
  const Gate16 gate = raw_copy<Gate16>(value);
  Exclusive<Instruction>(self)->gate = gate;
}

Ref get_qargs(PyObject* self) { return py_instances(me(self)->qargs); }
void set_qargs(PyObject* self, PyObject* value) {
  std::vector<Argument> list = raw_copies<Argument>(value);
  Exclusive<Instruction>(self)->qargs = std::move(list);
}

Ref get_cargs(PyObject* self) { return py_instances(me(self)->cargs); }
void set_cargs(PyObject* self, PyObject* value) {
  std::vector<Argument> list = raw_copies<Argument>(value);
  Exclusive<Instruction>(self)->cargs = std::move(list);
}

}  // namespace

ClassDef ClassOf<Instruction>::def() {
  return {
      .constructor = ctor<instruction_new>("Instruction(gate, qargs, cargs=...)\n--\n\nA "
                                           "high-level instruction with gate + explicit "
                                           "quantum/classical register arguments."),
      .getsets = {
          getset<get_instruction_gate, set_instruction_gate>("gate", nullptr),
          getset<get_qargs, set_qargs>("qargs", nullptr),
          getset<get_cargs, set_cargs>("cargs", nullptr),
      },
      .value_slots = SLOT_STR | SLOT_REPR | SLOT_HASH | SLOT_EQ,
  };
}

template PyTypeObject* define_class<Instruction>();

}  // namespace marrowfen::py
