// The prover file: a whole IdentityProver in the postcard encoding, so that a prover built
// once can be loaded in a later process.
//
// Byte by byte: the assumption count and the assumptions in list order; the count of accepted
// identities and the identities in the set's iteration order; the rule-base key count and, in
// the map's iteration order, each key followed by its list (count, then the circuits). Every
// circuit or identity is its instruction count, its instructions (gate display text as a
// length-prefixed string, two raw qubit bytes) and its raw permutation as a varint. No header,
// magic, version or qubit count; whatever follows the rule base is never read. The set and map
// sections follow the containers' random hash order, so equal provers need not give equal
// bytes.
#pragma once

#include <string>

#include "prover/prover.hpp"

namespace marrowfen {

// Creates or truncates the file and writes the prover. IoError "Failed to create file: {}";
// DecodeError "Failed to write postcard data: The serialize buffer is full".
void dump_postcard(const IdentityProver& prover, const std::string& path);

// Reads one prover from the start of the file into fresh containers. Nothing is checked
// beyond the encoding: identities are not tested or canonicalised. A repeated accepted
// identity is stored once; a repeated rule-base key keeps the later list. IoError "Failed to
// open file: {}"; DecodeError "Failed to read postcard data: {}"; an unknown gate text stops
// with "Failed to deserialize Gate16 from {}".
IdentityProver prover_from_postcard(const std::string& path);

}  // namespace marrowfen
