#include "prover/prover_file.hpp"

#include <cstdint>
#include <utility>
#include <vector>

#include "core/postcard.hpp"

namespace marrowfen {

void dump_postcard(const IdentityProver& prover, const std::string& path) {
  PostcardWriter w(path);
  w.varint_len(prover.assume.size());
  for (const IdentityCirc& id : prover.assume) id.write_postcard(w);
  w.varint_len(prover.proved.size());
  for (const IdentityCirc& id : prover.proved) id.write_postcard(w);
  w.varint_len(prover.circ_map.size());
  for (const auto& [key, list] : prover.circ_map) {
    key.write_postcard(w);
    w.varint_len(list.size());
    for (const Circ& c : list) c.write_postcard(w);
  }
  w.finish();
}

IdentityProver prover_from_postcard(const std::string& path) {
  PostcardReader r(path);
  IdentityProver out;

  const std::uint32_t nassume = r.varint_len();
  out.assume.reserve(cautious_capacity<IdentityCirc>(nassume));
  for (std::uint32_t i = 0; i < nassume; ++i) out.assume.push_back(IdentityCirc::read_postcard(r));

  const std::uint32_t nproved = r.varint_len();
  out.proved.reserve(cautious_capacity<IdentityCirc>(nproved));
  for (std::uint32_t i = 0; i < nproved; ++i) out.proved.insert(IdentityCirc::read_postcard(r));

  const std::uint32_t nkeys = r.varint_len();
  out.circ_map.reserve(cautious_capacity<CircMap::value_type>(nkeys));
  for (std::uint32_t i = 0; i < nkeys; ++i) {
    Circ key = Circ::read_postcard(r);
    const std::uint32_t n = r.varint_len();
    std::vector<Circ> list;
    list.reserve(cautious_capacity<Circ>(n));
    for (std::uint32_t j = 0; j < n; ++j) list.push_back(Circ::read_postcard(r));
    out.circ_map.insert_or_assign(std::move(key), std::move(list));
  }
  return out;
}

}  // namespace marrowfen
