// The Quartz JSON export of an ECCs: [[[0],[0]],{groups}] written compactly. Each class of at
// least two members gives one group per distinct trailing permutation among its members (in
// the order of first occurrence); a group lists every member of the class, each written with
// the SWAP instructions that carry its permutation relative to the group's. Group keys are
// "{class index}_{group number}", written in byte-wise ascending order. Every circuit of a
// group declares the group's qubit count: the largest that any of its written circuits needs.
#pragma once

#include <string>

#include "search/ecc.hpp"

namespace marrowfen {

// The whole document, compact (no spaces, no line breaks, no trailing newline); non-ASCII
// text as UTF-8, not escaped.
std::string quartz_document(const ECCs& eccs);

}  // namespace marrowfen
