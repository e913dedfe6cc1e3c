// Conversions between Python objects and the packed values that several classes share:
// permutations as arguments and results, and the plain Python forms of instructions and
// permutations (the pieces of a circuit's plain form).
//
// The `raw_` readers raise the underlying error; wrap them in `arg("name", ...)` where they
// convert a parameter.
#pragma once

#include <initializer_list>
#include <vector>

#include "circ/instr.hpp"
#include "groups/permutation.hpp"
#include "identity/circuit.hpp"
#include "identity/idcircuit.hpp"
#include "python/binding.hpp"

namespace marrowfen::py {

// A permutation argument: any sequence but str whose items convert to unsigned 8-bit
// integers ("Can't extract `str` to `Vec`" for a str), then Permut32::from_iter with its range
// and uniqueness checks (those stop the call).
Permut32 raw_permutation(PyObject* o);

// A permutation result: the tuple of its entries 0 .. n-1.
Ref py_permutation(Permut32 p);

// Plain form of an instruction: (gate display text, (slot 0, slot 1)), 255 kept.
Ref instr_to_plain(Instr32 in);
// Reads a sequence of exactly two elements (else TypeError "invalid length {}, expected tuple
// struct Instr32 with 2 elements"): a str naming a registered gate (else the call stops with
// "Failed to deserialize Gate16 from {}"), then a sequence of exactly two ints 0 to 255 (else
// TypeError "invalid length {}, expected an array of length 2"). No arity or uniqueness check.
Instr32 instr_from_plain(PyObject* o);

// Plain form of a permutation: {"raw": raw}.
Ref perm_to_plain(Permut32 p);
// Reads a mapping with the key "raw" (other keys ignored; without it TypeError "missing field
// `raw`"), whose value converts to an unsigned 32-bit integer; the word is not validated.
Permut32 perm_from_plain(PyObject* o);

// Whether o is a mapping in Python's sense (a dict, or an instance of collections.abc.Mapping).
bool is_mapping(PyObject* o);

// ---------------------------------------------------------------------------------------------
// Circ and IdentityCirc: sequences of their instructions whose index is cyclic (at_cyclic), so
// indexing alone never ends and iteration goes over each instruction once.

inline const std::vector<Instr32>& instrs_of(const Circ& c) noexcept { return c.instrs; }
inline const std::vector<Instr32>& instrs_of(const IdentityCirc& c) noexcept {
  return c.circ.instrs;
}

template <class T>
Py_ssize_t cyclic_len(PyObject* self) {
  return static_cast<Py_ssize_t>(receiver<T>(self)->len());
}

// The key is converted as the parameter named `Key`.
template <class T, const char* Key>
Ref cyclic_item(PyObject* self, PyObject* key) {
  const std::int32_t i = arg(Key, [&] { return raw_i32(key); });
  return wrap(receiver<T>(self)->at_cyclic(i));
}

// The sequence protocol's item slot (PySequence_GetItem has already added the length to a
// negative index, which leaves the cyclic position unchanged).
template <class T, const char* Key>
Ref cyclic_sq_item(PyObject* self, Py_ssize_t i) {
  return cyclic_item<T, Key>(self, py_int(i).get());
}

template <class T>
Ref cyclic_iter(PyObject* self) {
  return check(PyObject_GetIter(py_instances(instrs_of(*receiver<T>(self))).get()));
}

// The sequence slots, then `more`.
template <class T, const char* Key>
std::vector<PyType_Slot> cyclic_sequence_slots(std::initializer_list<PyType_Slot> more = {}) {
  std::vector<PyType_Slot> slots = {
      slot(Py_tp_iter, &unary_thunk<cyclic_iter<T>>),
      slot(Py_sq_length, &len_thunk<cyclic_len<T>>),
      slot(Py_sq_item, &ssizearg_thunk<cyclic_sq_item<T, Key>>),
      slot(Py_mp_length, &len_thunk<cyclic_len<T>>),
      slot(Py_mp_subscript, &binary_thunk<cyclic_item<T, Key>>),
  };
  slots.insert(slots.end(), more);
  return slots;
}

}  // namespace marrowfen::py
