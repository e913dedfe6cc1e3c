// Python class StateVec: a complex state vector that Python code can build, inspect, change in
// place, compare, and apply single instructions to (`state *= instr`).
#include "circ/instr.hpp"
#include "core/rng.hpp"
#include "python/binding.hpp"
#include "python/classes.hpp"
#include "state/state_vec.hpp"

namespace marrowfen::py {
namespace {

Shared<StateVec> me(PyObject* self) { return receiver<StateVec>(self); }

std::vector<Qreal> raw_parts(PyObject* o) {
  std::vector<double> v = raw_list(o, raw_f64);
  return std::vector<Qreal>(v.begin(), v.end());
}

Ref statevec_new(const Args& a) {
  std::vector<Qreal> re = a.get(0, raw_parts);
  std::vector<Qreal> im = a.get(1, raw_parts);
  return wrap(StateVec::create(std::move(re), std::move(im)));
}

Ref statevec_hash_value(PyObject* self, const Args&) { return py_uint(me(self)->hash_value()); }

Ref statevec_random(PyObject*, const Args& a) {
  const std::uint32_t n = a.get(0, raw_u32);
  ChaCha12 rng = ChaCha12::from_os();
  return wrap(StateVec::from_random(rng, n));
}

Ref statevec_random_symmetric(PyObject*, const Args& a) {
  const std::uint32_t n = a.get(0, raw_u32);
  ChaCha12 rng = ChaCha12::from_os();
  return wrap(StateVec::from_random_symmetric(rng, n));
}

Ref statevec_nqubits(PyObject* self, const Args&) { return py_uint(me(self)->nqubits()); }
Ref statevec_len(PyObject* self, const Args&) { return py_uint(me(self)->len()); }

Ref statevec_normalize(PyObject* self, const Args&) {
  Exclusive<StateVec>(self)->normalize();
  return none();
}

Ref statevec_normalize_arg(PyObject* self, const Args&) {
  Exclusive<StateVec>(self)->normalize_arg();
  return none();
}

Ref statevec_clone(PyObject* self, const Args&) { return wrap(me(self)->clone()); }
Ref statevec_check(PyObject* self, const Args&) { return py_bool(me(self)->check()); }

Ref statevec_getitem(PyObject* self, PyObject* key) {
  const Shared<StateVec> s = me(self);
  const std::uint32_t index = arg("index", [&] { return raw_u32(key); });
  const QComplex c = s->at(index);
  return check(PyComplex_FromDoubles(c.re.v, c.im.v));
}

void statevec_setitem(PyObject* self, PyObject* key, PyObject* value) {
  if (!value) raise(PyExc_NotImplementedError, "can't delete item");
  Exclusive<StateVec> s(self);
  const std::uint32_t index = arg("index", [&] { return raw_u32(key); });
  const Py_complex c = arg("value", [&] {
    const Py_complex v = PyComplex_AsCComplex(value);
    if (v.real == -1.0 && PyErr_Occurred()) throw PyErrSet{};
    return v;
  });
  s->set(index, QComplex{c.real, c.imag});
}

// state *= instr: applies the instruction in place and returns the same object. A right operand
// that is not an Instr gives NotImplemented; a receiver already borrowed stops the call.
Ref statevec_imul(PyObject* self, PyObject* other) {
  if (!is_instance<StateVec>(self) || !is_instance<Instr32>(other)) return not_implemented();
  const Instr32 instr = *raw_instance<Instr32>(other);
  if (cell<StateVec>(self)->borrow != 0) stop("Already borrowed: PyBorrowMutError");
  Exclusive<StateVec> s(self);
  s->apply(instr);
  return Ref::borrow(self);
}

}  // namespace

ClassDef ClassOf<StateVec>::def() {
  return {
      .constructor = ctor<statevec_new>("StateVec(re, im)\n--\n\nComplex state vector used for "
                                        "randomized circuit evaluation."),
      .methods = {
          method<statevec_hash_value>("hash_value($self)\n--\n\nHashes the current normalized "
                                      "state."),
          method<statevec_random>("random(num_qubits)\n--\n\nCreates a random normalized state."),
          method<statevec_random_symmetric>(
              "random_symmetric(num_qubits)\n--\n\nCreates a random state tailored for "
              "symmetry-aware evaluator use."),
          method<statevec_nqubits>("nqubits($self)\n--\n\nReturns qubit count."),
          method<statevec_len>("len($self)\n--\n\nReturns vector length (`2^nqubits`)."),
          method<statevec_normalize>(
              "normalize($self)\n--\n\nNormalizes the state vector in place.\n\nEvery amplitude "
              "is divided by the norm, then the global phase is canonicalized as by "
              "`normalize_arg`. There is no zero test: an all-zero state is not turned into a "
              "basis state; every part becomes NaN except the imaginary part of amplitude 0, "
              "which is 0.0. The phase reference is amplitude 0, else (when both its parts are "
              "below 2^-24) the last amplitude, else the sum of all amplitudes."),
          method<statevec_normalize_arg>(
              "normalize_arg($self)\n--\n\nCanonicalizes global phase for stable equality/hash "
              "comparison."),
          method<statevec_clone>("clone($self)\n--\n\nReturns a deep copy."),
          method<statevec_check>("check($self)\n--\n\nChecks unit-norm invariant."),
      },
      .value_slots = SLOT_STR | SLOT_EQ,
      .slots = {
          slot(Py_mp_subscript, &binary_thunk<statevec_getitem>),
          slot(Py_mp_ass_subscript, &ass_thunk<statevec_setitem>),
          slot(Py_nb_inplace_multiply, &binary_thunk<statevec_imul>),
      },
  };
}

template PyTypeObject* define_class<StateVec>();

}  // namespace marrowfen::py
