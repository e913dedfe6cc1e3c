// The circuit algebra and canonical forms that a rewrite round applies to every cut, on
// buffers that the caller keeps from one cut to the next: each gives exactly the value of the
// Circ operation it names (Circ::permut, Circ::add, Circ::representative_with_perm,
// Circ::rotate_representative), with the same stops, but reuses the storage of its output, so
// only the results that leave the round allocate.
#pragma once

#include "identity/circuit.hpp"
#include "identity/idcircuit.hpp"

namespace marrowfen {

// out = c.permut(p). `out` must not be `c`.
void permut_into(const Circ& c, Permut32 p, Circ& out);
// out = a + b. `out` must be neither `a` nor `b`.
void add_into(const Circ& a, const Circ& b, Circ& out);
// out = c.representative_with_perm().first; returns its second. `c` is left prepared (idle
// trailing wires cut, SWAP instructions folded); `out` must not be `c`.
Permut32 representative_with_perm_into(Circ& c, Circ& out);
// c.rotate_representative(); `c` is left prepared.
IdentityCirc rotate_representative_in_place(Circ& c);

}  // namespace marrowfen
