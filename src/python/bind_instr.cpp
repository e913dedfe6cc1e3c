// Python class Instr: a packed instruction.
#include "circ/gate.hpp"
#include "circ/instr.hpp"
#include "python/binding.hpp"
#include "python/classes.hpp"
#include "python/convert.hpp"

namespace marrowfen::py {

namespace {

Instr32 self_instr(PyObject* self) { return *receiver<Instr32>(self); }

Ref instr_new(const Args& a) {
  const Gate16 gate = a.get(0, raw_copy<Gate16>);
  const std::vector<std::uint8_t> qargs = a.get(1, [](PyObject* o) { return raw_list(o, raw_u8); });
  return wrap(Instr32::create(gate, qargs));
}

Ref get_gate(PyObject* self) { return wrap(self_instr(self).gate()); }

Ref get_qargs(PyObject* self) {
  const QArgs16 q = self_instr(self).qargs();
  const auto s = q.as_slice();
  return check(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(s.data()),
                                         static_cast<Py_ssize_t>(s.size())));
}

Ref instr_apply_permutation(PyObject* self, const Args& a) {
  const Instr32 in = self_instr(self);
  return wrap(in.apply_permutation(a.get(0, raw_permutation)));
}

// An alias of apply_permutation (its own function: binding errors name the method).
Ref instr_permut(PyObject* self, const Args& a) { return instr_apply_permutation(self, a); }

Ref instr_arg_mask(PyObject* self, const Args&) { return py_uint(self_instr(self).arg_mask()); }

Ref instr_pass_mask(PyObject* self, const Args& a) {
  const Instr32 in = self_instr(self);
  const std::optional<std::uint8_t> m = in.pass_mask(a.get(0, raw_u8));
  return m ? py_uint(*m) : none();
}

Ref instr_largest_qubit(PyObject* self, const Args&) {
  return py_uint(self_instr(self).largest_qubit());
}

Ref instr_disjoint(PyObject* self, const Args& a) {
  const Instr32 in = self_instr(self);
  return py_bool(in.disjoint(a.get(0, raw_copy<Instr32>)));
}

Ref instr_adjoint(PyObject* self, const Args&) { return wrap(self_instr(self).adjoint()); }

Ref instr_position_of_qubit(PyObject* self, const Args& a) {
  const Instr32 in = self_instr(self);
  const auto p = in.position_of_qubit(a.get(0, raw_u8));
  return p ? py_uint(*p) : none();
}


}  // namespace

ClassDef ClassOf<Instr32>::def() {
  return {
      .constructor = ctor<instr_new>("Instr(gate, qargs)\n--\n\nA compact, index-only quantum "
                                     "instruction used internally by the search/prover."),
      .methods = {
          method<instr_apply_permutation>(
              "apply_permutation($self, perm)\n--\n\nApplies a qubit permutation."),
          method<instr_permut>("permut($self, perm)\n--\n\nAlias of `apply_permutation`."),
          method<instr_arg_mask>(
              "arg_mask($self)\n--\n\nBitmask of qubits touched by this instruction."),
          method<instr_pass_mask>("pass_mask($self, mask)\n--\n\nUpdates a frontier mask for "
                                  "left-to-right scheduling checks."),
          method<instr_largest_qubit>(
              "largest_qubit($self)\n--\n\nLargest qubit index touched by this instruction."),
          method<instr_disjoint>("disjoint($self, other)\n--\n\nReturns `true` when this and "
                                 "`other` touch disjoint qubits."),
          method<instr_adjoint>("adjoint($self)\n--\n\nReturns the adjoint instruction."),
          method<instr_position_of_qubit>(
              "position_of_qubit($self, qubit)\n--\n\nReturns position of `qubit` in argument "
              "list, if present."),
      },
      .getsets = {
          getter<get_gate>("gate", "Underlying gate."),
          getter<get_qargs>("qargs", "Qubit arguments as dense integer indices."),
      },
      // No rich comparison: == and != fall back to identity, ordering raises TypeError.
      .value_slots = SLOT_STR | SLOT_REPR | SLOT_HASH,
  };
}

template PyTypeObject* define_class<Instr32>();

}  // namespace marrowfen::py
