// Python class Circ: a circuit with a trailing qubit permutation. An instance never changes;
// every method returns new objects. Registered as a sequence; indexing is cyclic.
#include <climits>
#include <cstddef>
#include <utility>

#include "identity/circuit.hpp"
#include "identity/idcircuit.hpp"
#include "python/binding.hpp"
#include "python/classes.hpp"
#include "python/convert.hpp"

namespace marrowfen::py {
namespace {

Shared<Circ> me(PyObject* self) { return receiver<Circ>(self); }

Ref circ_new(const Args& a) {
  std::vector<Instr32> instrs = a.get(0, raw_copies<Instr32>);
  if (a[1] == nullptr || a[1] == Py_None) return wrap(Circ::new_no_perm(std::move(instrs)));
  return wrap(Circ::create(std::move(instrs), a.get(1, raw_permutation)));
}

Ref circ_nqubits(PyObject* self, const Args&) { return py_uint(me(self)->nqubits()); }
Ref circ_len(PyObject* self, const Args&) { return py_uint(me(self)->len()); }
Ref circ_is_empty(PyObject* self, const Args&) { return py_bool(me(self)->is_empty()); }

Ref circ_permut(PyObject* self, const Args& a) {
  const Shared<Circ> c = me(self);
  return wrap(c->permut(a.get(0, raw_permutation)));
}

Ref circ_rotate(PyObject* self, const Args& a) {
  const Shared<Circ> c = me(self);
  return wrap(c->rotate(a.get(0, raw_i32)));
}

Ref circ_inverse(PyObject* self, const Args&) { return wrap(me(self)->inverse()); }
Ref circ_remove_swaps(PyObject* self, const Args&) { return wrap(me(self)->remove_swaps()); }
Ref circ_instrs_with_swaps(PyObject* self, const Args&) {
  return py_instances(me(self)->instrs_with_swaps());
}
Ref circ_representative(PyObject* self, const Args&) { return wrap(me(self)->representative()); }

Ref circ_representative_with_perm(PyObject* self, const Args&) {
  auto [rep, p] = me(self)->representative_with_perm();
  return py_tuple(wrap(std::move(rep)), py_permutation(p));
}

Ref circ_rotate_representative(PyObject* self, const Args&) {
  return wrap(me(self)->rotate_representative());
}

Ref get_instrs(PyObject* self) { return py_instances(me(self)->instrs); }
Ref get_perm(PyObject* self) { return py_permutation(me(self)->perm); }

constexpr char INDEX[] = "i";  // the index's name in conversion errors

Ref circ_add(PyObject* a, PyObject* b) {
  if (!is_instance<Circ>(a) || !is_instance<Circ>(b)) return not_implemented();
  return wrap(me(a)->add(*me(b)));
}


}  // namespace

ClassDef ClassOf<Circ>::def() {
  return {
      .constructor = ctor<circ_new>("Circ(instrs, perm=None)\n--\n\nCircuit with an explicit "
                                    "trailing qubit permutation."),
      .sequence = true,
      .methods = {
          method<circ_nqubits>("nqubits($self)\n--\n\nNumber of qubits tracked by the "
                               "permutation."),
          method<circ_len>("len($self)\n--\n\nNumber of instructions."),
          method<circ_is_empty>("is_empty($self)\n--\n\nReturns whether the circuit is empty."),
          method<circ_permut>("permut($self, perm)\n--\n\nApplies a qubit permutation to this "
                              "circuit."),
          method<circ_rotate>("rotate($self, n)\n--\n\nCircularly rotates instruction order by "
                              "`n`."),
          method<circ_inverse>("inverse($self)\n--\n\nReturns inverse circuit."),
          method<circ_remove_swaps>("remove_swaps($self)\n--\n\nRemoves explicit swap gates into "
                                    "the stored trailing permutation."),
          method<circ_instrs_with_swaps>("instrs_with_swaps($self)\n--\n\nReturns instructions "
                                         "plus swaps needed for stored permutation."),
          method<circ_representative>("representative($self)\n--\n\nReturns canonical circuit "
                                      "representative."),
          method<circ_representative_with_perm>(
              "representative_with_perm($self)\n--\n\nReturns `(representative, applied_perm)` "
              "used in canonicalization."),
          method<circ_rotate_representative>(
              "rotate_representative($self)\n--\n\nReturns canonical identity representative "
              "across rotations/permutations."),
      },
      // Both attributes carry an empty docstring.
      .getsets = {getter<get_instrs>("instrs", ""), getter<get_perm>("perm", "")},
      .value_slots = SLOT_STR | SLOT_REPR | SLOT_HASH | SLOT_ORDER,
      .slots = cyclic_sequence_slots<Circ, INDEX>({slot(Py_nb_add, &binary_thunk<circ_add>)}),
  };
}

template PyTypeObject* define_class<Circ>();

}  // namespace marrowfen::py
