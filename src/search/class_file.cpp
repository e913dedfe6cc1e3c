// The class file: an ECCs in the postcard encoding. Byte by byte: the class count; per class
// its member count and members; per member its instruction count, its instructions (gate
// display text as a length-prefixed string, then both qubit bytes raw) and its raw trailing
// permutation as a varint; finally the qubit count. No header, magic or version; whatever
// follows the qubit count is never read.
#include <cstdint>
#include <string>

#include "core/postcard.hpp"
#include "search/ecc.hpp"

namespace marrowfen {

void ECCs::dump_postcard(const std::string& path) const {
  PostcardWriter w(path);
  w.varint_len(eccs.size());
  for (const ECC& e : eccs) {
    w.varint_len(e.members.size());
    for (const auto& [instrs, perm] : e.members) {
      w.varint_len(instrs.size());
      for (Instr32 in : instrs) in.write_postcard(w);
      w.varint_u32(perm.raw);
    }
  }
  // A machine word: written as the 64-bit varint of its value.
  w.varint_u64(nqubits);
  w.finish();
}

ECCs ECCs::from_postcard(const std::string& path) {
  PostcardReader r(path);
  ECCs out;
  const std::uint32_t nclasses = r.varint_len();
  out.eccs.reserve(cautious_capacity<ECC>(nclasses));
  for (std::uint32_t i = 0; i < nclasses; ++i) {
    ECC& e = out.eccs.emplace_back();
    const std::uint32_t nmembers = r.varint_len();
    e.members.reserve(cautious_capacity<EccMember>(nmembers));
    for (std::uint32_t j = 0; j < nmembers; ++j) {
      EccMember& m = e.members.emplace_back();
      const std::uint32_t ninstrs = r.varint_len();
      m.first.reserve(cautious_capacity<Instr32>(ninstrs));
      for (std::uint32_t k = 0; k < ninstrs; ++k) m.first.push_back(Instr32::read_postcard(r));
      m.second = Permut32::from_raw(r.varint_u32());
    }
  }
  out.nqubits = r.varint_u64_to_u32();
  return out;
}

}  // namespace marrowfen
