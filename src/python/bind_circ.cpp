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

ClassInfo& ClassOf<Circ>::info() {
  static ClassInfo ci{"Circ", nullptr, true};
  return ci;
}

namespace {

Ref instr_list(const std::vector<Instr32>& v) {
  return py_list(v, [](const auto& x) { return wrap(x); });
}

// A method without parameters: binds nothing, then runs f on the receiver.
template <class F>
Ref nullary(const ArgSpec& spec, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
            PyObject* kwnames, F&& f) {
  bind_fastcall(spec, args, nargs, kwnames, nullptr);
  Shared<Circ> c = receiver<Circ>(self);
  return f(*c);
}

Ref circ_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  static const ArgSpec spec{"Circ.__new__()", {"instrs", "perm"}, 1};
  PyObject* a[2];
  bind_tuple(spec, args, kwargs, a);
  std::vector<Instr32> instrs = arg("instrs", [&] {
    return raw_list(a[0], [](PyObject* x) { return *raw_instance<Instr32>(x); });
  });
  if (a[1] == nullptr || a[1] == Py_None) return wrap(Circ::new_no_perm(std::move(instrs)));
  const Permut32 perm = arg("perm", [&] { return raw_permutation(a[1]); });
  return wrap(Circ::create(std::move(instrs), perm));
}

Ref circ_nqubits(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const ArgSpec spec{"Circ.nqubits()", {}, 0};
  return nullary(spec, self, args, nargs, kwnames, [](const Circ& c) {
    return py_uint(c.nqubits());
  });
}

Ref circ_len(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const ArgSpec spec{"Circ.len()", {}, 0};
  return nullary(spec, self, args, nargs, kwnames, [](const Circ& c) { return py_uint(c.len()); });
}

Ref circ_is_empty(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const ArgSpec spec{"Circ.is_empty()", {}, 0};
  return nullary(spec, self, args, nargs, kwnames, [](const Circ& c) {
    return py_bool(c.is_empty());
  });
}

Ref circ_permut(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const ArgSpec spec{"Circ.permut()", {"perm"}, 1};
  PyObject* a[1];
  bind_fastcall(spec, args, nargs, kwnames, a);
  Shared<Circ> c = receiver<Circ>(self);
  const Permut32 perm = arg("perm", [&] { return raw_permutation(a[0]); });
  return wrap(c->permut(perm));
}

Ref circ_rotate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const ArgSpec spec{"Circ.rotate()", {"n"}, 1};
  PyObject* a[1];
  bind_fastcall(spec, args, nargs, kwnames, a);
  Shared<Circ> c = receiver<Circ>(self);
  const auto n = arg("n", [&] {
    return static_cast<std::int32_t>(raw_small_int(a[0], INT32_MIN, INT32_MAX));
  });
  return wrap(c->rotate(n));
}

Ref circ_inverse(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const ArgSpec spec{"Circ.inverse()", {}, 0};
  return nullary(spec, self, args, nargs, kwnames, [](const Circ& c) { return wrap(c.inverse()); });
}

Ref circ_remove_swaps(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  static const ArgSpec spec{"Circ.remove_swaps()", {}, 0};
  return nullary(spec, self, args, nargs, kwnames, [](const Circ& c) {
    return wrap(c.remove_swaps());
  });
}

Ref circ_instrs_with_swaps(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  static const ArgSpec spec{"Circ.instrs_with_swaps()", {}, 0};
  return nullary(spec, self, args, nargs, kwnames, [](const Circ& c) {
    return instr_list(c.instrs_with_swaps());
  });
}

Ref circ_representative(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  static const ArgSpec spec{"Circ.representative()", {}, 0};
  return nullary(spec, self, args, nargs, kwnames, [](const Circ& c) {
    return wrap(c.representative());
  });
}

Ref circ_representative_with_perm(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  static const ArgSpec spec{"Circ.representative_with_perm()", {}, 0};
  return nullary(spec, self, args, nargs, kwnames, [](const Circ& c) {
    auto [rep, p] = c.representative_with_perm();
    Ref first = wrap(std::move(rep));
    Ref second = py_permutation(p);
    return check(PyTuple_Pack(2, first.get(), second.get()));
  });
}

Ref circ_rotate_representative(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  static const ArgSpec spec{"Circ.rotate_representative()", {}, 0};
  return nullary(spec, self, args, nargs, kwnames, [](const Circ& c) {
    return wrap(c.rotate_representative());
  });
}

Ref get_instrs(PyObject* self) { return instr_list(receiver<Circ>(self)->instrs); }

Ref get_perm(PyObject* self) { return py_permutation(receiver<Circ>(self)->perm); }

Py_ssize_t circ_sq_len(PyObject* self) {
  return static_cast<Py_ssize_t>(receiver<Circ>(self)->len());
}

// Cyclic: instruction idx mod L with a non-negative remainder; never out of range.
Ref circ_getitem(PyObject* self, PyObject* key) {
  const auto idx = arg("i", [&] {
    return static_cast<std::int32_t>(raw_small_int(key, INT32_MIN, INT32_MAX));
  });
  Shared<Circ> c = receiver<Circ>(self);
  const auto n = static_cast<std::int64_t>(c->len());
  if (n == 0) stop("attempt to calculate the remainder with a divisor of zero");
  std::int64_t i = idx % n;
  if (i < 0) i += n;
  return wrap(c->instrs[static_cast<std::size_t>(i)]);
}

// The sequence protocol's item slot (PySequence_GetItem has already added the length to a
// negative index, which leaves the cyclic position unchanged).
Ref circ_sq_item(PyObject* self, Py_ssize_t i) {
  Ref key = py_int(static_cast<long long>(i));
  return circ_getitem(self, key.get());
}

// Iteration yields each instruction once (indexing alone never ends, being cyclic).
Ref circ_iter(PyObject* self) { return check(PyObject_GetIter(get_instrs(self).get())); }

Ref circ_add(PyObject* a, PyObject* b) {
  if (!is_instance<Circ>(a) || !is_instance<Circ>(b)) return not_implemented();
  Shared<Circ> x = receiver<Circ>(a);
  Shared<Circ> y = receiver<Circ>(b);
  return wrap(x->add(*y));
}

Ref circ_richcompare(PyObject* a, PyObject* b, int op) {
  if (!is_instance<Circ>(a) || !is_instance<Circ>(b)) return not_implemented();
  std::strong_ordering o = std::strong_ordering::equal;
  {
    Shared<Circ> x = receiver<Circ>(a);
    Shared<Circ> y = receiver<Circ>(b);
    o = *x <=> *y;
  }
  return ordering_result(o, op);
}

std::uint64_t circ_hash(PyObject* self) { return receiver<Circ>(self)->hash_value(); }

Ref circ_str(PyObject* self) { return py_str(receiver<Circ>(self)->display()); }
Ref circ_repr(PyObject* self) { return py_str(receiver<Circ>(self)->debug()); }

}  // namespace

PyTypeObject* create_circ_type() {
  static PyTypeObject* type = [] {
    TypeSpec s;
    s.name = "Circ";
    s.doc = "Circ(instrs, perm=None)\n--\n\nCircuit with an explicit trailing qubit permutation.";
    s.basicsize = sizeof(Cell<Circ>);
    s.dealloc = &cell_dealloc<Circ>;
    s.has_constructor = true;
    s.sequence = true;
    PyMethodDef* methods = method_table({
        method<circ_nqubits>("nqubits",
                             "nqubits($self)\n--\n\nNumber of qubits tracked by the permutation."),
        method<circ_len>("len", "len($self)\n--\n\nNumber of instructions."),
        method<circ_is_empty>("is_empty",
                              "is_empty($self)\n--\n\nReturns whether the circuit is empty."),
        method<circ_permut>("permut",
                            "permut($self, perm)\n--\n\nApplies a qubit permutation to this "
                            "circuit."),
        method<circ_rotate>("rotate",
                            "rotate($self, n)\n--\n\nCircularly rotates instruction order by "
                            "`n`."),
        method<circ_inverse>("inverse", "inverse($self)\n--\n\nReturns inverse circuit."),
        method<circ_remove_swaps>("remove_swaps",
                                  "remove_swaps($self)\n--\n\nRemoves explicit swap gates into "
                                  "the stored trailing permutation."),
        method<circ_instrs_with_swaps>("instrs_with_swaps",
                                       "instrs_with_swaps($self)\n--\n\nReturns instructions "
                                       "plus swaps needed for stored permutation."),
        method<circ_representative>("representative",
                                    "representative($self)\n--\n\nReturns canonical circuit "
                                    "representative."),
        method<circ_representative_with_perm>(
            "representative_with_perm",
            "representative_with_perm($self)\n--\n\nReturns `(representative, applied_perm)` "
            "used in canonicalization."),
        method<circ_rotate_representative>(
            "rotate_representative",
            "rotate_representative($self)\n--\n\nReturns canonical identity representative "
            "across rotations/permutations."),
    });
    PyGetSetDef* getsets = getset_table({
        // Both attributes carry an empty docstring.
        getter<get_instrs>("instrs", ""),
        getter<get_perm>("perm", ""),
    });
    s.slots = {
        {Py_tp_new, reinterpret_cast<void*>(&new_thunk<circ_new>)},
        {Py_tp_methods, methods},
        {Py_tp_getset, getsets},
        {Py_tp_str, reinterpret_cast<void*>(&unary_thunk<circ_str>)},
        {Py_tp_repr, reinterpret_cast<void*>(&unary_thunk<circ_repr>)},
        {Py_tp_iter, reinterpret_cast<void*>(&unary_thunk<circ_iter>)},
        {Py_tp_richcompare, reinterpret_cast<void*>(&rich_thunk<circ_richcompare>)},
        {Py_tp_hash, reinterpret_cast<void*>(&hash_thunk<circ_hash>)},
        {Py_sq_length, reinterpret_cast<void*>(&len_thunk<circ_sq_len>)},
        {Py_sq_item, reinterpret_cast<void*>(&ssizearg_thunk<circ_sq_item>)},
        {Py_mp_length, reinterpret_cast<void*>(&len_thunk<circ_sq_len>)},
        {Py_mp_subscript, reinterpret_cast<void*>(&binary_thunk<circ_getitem>)},
        {Py_nb_add, reinterpret_cast<void*>(&binary_thunk<circ_add>)},
    };
    PyTypeObject* t = make_type(std::move(s));
    ClassOf<Circ>::info().type = t;
    return t;
  }();
  return type;
}

}  // namespace marrowfen::py
