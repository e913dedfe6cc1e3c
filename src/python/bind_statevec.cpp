// Python class StateVec: a complex state vector that Python code can build, inspect, change in
// place, compare, and apply single instructions to (`state *= instr`).
#include "circ/instr.hpp"
#include "core/rng.hpp"
#include "python/binding.hpp"
#include "python/classes.hpp"
#include "state/state_vec.hpp"

namespace marrowfen::py {

ClassInfo& ClassOf<StateVec>::info() {
  static ClassInfo ci{"StateVec", nullptr, true};
  return ci;
}

namespace {

void no_args(const char* fname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const ArgSpec spec{fname, {}, 0};
  bind_fastcall(spec, args, nargs, kwnames, nullptr);
}

std::vector<Qreal> raw_parts(PyObject* o) {
  std::vector<double> v = raw_list(o, [](PyObject* x) { return raw_f64(x); });
  return std::vector<Qreal>(v.begin(), v.end());
}

Ref statevec_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  static const ArgSpec spec{"StateVec.__new__()", {"re", "im"}, 2};
  PyObject* a[2];
  bind_tuple(spec, args, kwargs, a);
  std::vector<Qreal> re = arg("re", [&] { return raw_parts(a[0]); });
  std::vector<Qreal> im = arg("im", [&] { return raw_parts(a[1]); });
  return wrap(StateVec::create(std::move(re), std::move(im)));
}

Ref statevec_hash_value(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  no_args("StateVec.hash_value()", args, nargs, kwnames);
  return py_uint(receiver<StateVec>(self)->hash_value());
}

std::uint32_t num_qubits_arg(const char* fname, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  const ArgSpec spec{fname, {"num_qubits"}, 1};
  PyObject* a[1];
  bind_fastcall(spec, args, nargs, kwnames, a);
  return arg("num_qubits", [&] { return raw_u32(a[0]); });
}

Ref statevec_random(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const std::uint32_t n = num_qubits_arg("StateVec.random()", args, nargs, kwnames);
  ChaCha12 rng = ChaCha12::from_os();
  return wrap(StateVec::from_random(rng, n));
}

Ref statevec_random_symmetric(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  const std::uint32_t n = num_qubits_arg("StateVec.random_symmetric()", args, nargs, kwnames);
  ChaCha12 rng = ChaCha12::from_os();
  return wrap(StateVec::from_random_symmetric(rng, n));
}

Ref statevec_nqubits(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  no_args("StateVec.nqubits()", args, nargs, kwnames);
  return py_uint(receiver<StateVec>(self)->nqubits());
}

Ref statevec_len(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  no_args("StateVec.len()", args, nargs, kwnames);
  return py_uint(receiver<StateVec>(self)->len());
}

Ref statevec_normalize(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  no_args("StateVec.normalize()", args, nargs, kwnames);
  Exclusive<StateVec>(self)->normalize();
  return none();
}

Ref statevec_normalize_arg(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  no_args("StateVec.normalize_arg()", args, nargs, kwnames);
  Exclusive<StateVec>(self)->normalize_arg();
  return none();
}

Ref statevec_clone(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  no_args("StateVec.clone()", args, nargs, kwnames);
  return wrap(receiver<StateVec>(self)->clone());
}

Ref statevec_check(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  no_args("StateVec.check()", args, nargs, kwnames);
  return py_bool(receiver<StateVec>(self)->check());
}

Ref statevec_getitem(PyObject* self, PyObject* key) {
  const Shared<StateVec> s = receiver<StateVec>(self);
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

Ref statevec_str(PyObject* self) { return py_str(receiver<StateVec>(self)->display()); }

Ref statevec_richcompare(PyObject* a, PyObject* b, int op) {
  return rich_eq<StateVec>(a, b, op, [](const StateVec& x, const StateVec& y) { return x == y; });
}

}  // namespace

PyTypeObject* create_statevec_type() {
  static PyTypeObject* type = [] {
    TypeSpec s;
    s.name = "StateVec";
    s.doc = "StateVec(re, im)\n--\n\nComplex state vector used for randomized circuit evaluation.";
    s.basicsize = sizeof(Cell<StateVec>);
    s.dealloc = &cell_dealloc<StateVec>;
    s.has_constructor = true;
    PyMethodDef* methods = method_table({
        method<statevec_hash_value>("hash_value",
                                    "hash_value($self)\n--\n\nHashes the current normalized state."),
        method<statevec_random>("random",
                                "random(num_qubits)\n--\n\nCreates a random normalized state.",
                                METH_STATIC),
        method<statevec_random_symmetric>(
            "random_symmetric",
            "random_symmetric(num_qubits)\n--\n\nCreates a random state tailored for "
            "symmetry-aware evaluator use.",
            METH_STATIC),
        method<statevec_nqubits>("nqubits", "nqubits($self)\n--\n\nReturns qubit count."),
        method<statevec_len>("len", "len($self)\n--\n\nReturns vector length (`2^nqubits`)."),
        method<statevec_normalize>(
            "normalize",
            "normalize($self)\n--\n\nNormalizes the state vector in place.\n\nEvery amplitude is "
            "divided by the norm, then the global phase is canonicalized as by `normalize_arg`. "
            "There is no zero test: an all-zero state is not turned into a basis state; every "
            "part becomes NaN except the imaginary part of amplitude 0, which is 0.0. The phase "
            "reference is amplitude 0, else (when both its parts are below 2^-24) the last "
            "amplitude, else the sum of all amplitudes."),
        method<statevec_normalize_arg>(
            "normalize_arg",
            "normalize_arg($self)\n--\n\nCanonicalizes global phase for stable equality/hash "
            "comparison."),
        method<statevec_clone>("clone", "clone($self)\n--\n\nReturns a deep copy."),
        method<statevec_check>("check", "check($self)\n--\n\nChecks unit-norm invariant."),
    });
    s.slots = {
        {Py_tp_new, reinterpret_cast<void*>(&new_thunk<statevec_new>)},
        {Py_tp_methods, methods},
        {Py_tp_str, reinterpret_cast<void*>(&unary_thunk<statevec_str>)},
        {Py_tp_richcompare, reinterpret_cast<void*>(&rich_thunk<statevec_richcompare>)},
        {Py_mp_subscript, reinterpret_cast<void*>(&binary_thunk<statevec_getitem>)},
        {Py_mp_ass_subscript, reinterpret_cast<void*>(&ass_thunk<statevec_setitem>)},
        {Py_nb_inplace_multiply, reinterpret_cast<void*>(&binary_thunk<statevec_imul>)},
    };
    PyTypeObject* t = make_type(std::move(s));
    ClassOf<StateVec>::info().type = t;
    return t;
  }();
  return type;
}

}  // namespace marrowfen::py
