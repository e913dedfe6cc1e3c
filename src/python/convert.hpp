// Conversions between Python objects and the packed values that several classes share:
// permutations as arguments and results, and the plain Python forms of instructions and
// permutations (the pieces of a circuit's plain form).
//
// The `raw_` readers raise the underlying error; wrap them in `arg("name", ...)` where they
// convert a parameter.
#pragma once

#include "circ/instr.hpp"
#include "groups/permutation.hpp"
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

}  // namespace marrowfen::py
