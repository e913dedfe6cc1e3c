// Python class Argument: a named register argument, mutable through its attributes.
#include "circ/instruction.hpp"
#include "python/binding.hpp"
#include "python/classes.hpp"

namespace marrowfen::py {
namespace {

Shared<Argument> me(PyObject* self) { return receiver<Argument>(self); }

Ref argument_new(const Args& a) {
  std::string regid = a.get(0, raw_str);
  const std::uint32_t index = a.get(1, raw_u32);
  return wrap(Argument{std::move(regid), index});
}

Ref get_regid(PyObject* self) { return py_str(me(self)->regid); }
void set_regid(PyObject* self, PyObject* value) {
  std::string regid = raw_str(value);
  Exclusive<Argument>(self)->regid = std::move(regid);
}

Ref get_index(PyObject* self) { return py_uint(me(self)->index); }
void set_index(PyObject* self, PyObject* value) {
  const std::uint32_t index = raw_u32(value);
  Exclusive<Argument>(self)->index = index;
}

}  // namespace

ClassDef ClassOf<Argument>::def() {
  return {
      .constructor = ctor<argument_new>("Argument(regid, index)\n--\n\nA named register "
                                        "argument (e.g., `q[0]`, `c[2]`) used by high-level "
                                        "instructions."),
      .getsets = {
          getset<get_regid, set_regid>("regid", nullptr),
          getset<get_index, set_index>("index", nullptr),
      },
      .value_slots = SLOT_STR | SLOT_REPR | SLOT_HASH | SLOT_EQ,
  };
}

template PyTypeObject* define_class<Argument>();

}  // namespace marrowfen::py
