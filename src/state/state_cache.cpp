#include "state/state_cache.hpp"

#include <algorithm>
#include <array>
#include <bit>

#include <fmt/format.h>

#include "core/panic.hpp"
#include "state/indices.hpp"

namespace marrowfen {
namespace {

struct StateVecCache {
  std::vector<StateVec> entries;
  bool borrowed = false;
};

thread_local StateVecCache STATE_VEC_CACHE;

}  // namespace

StateVecCacheBorrow::StateVecCacheBorrow() {
  StateVecCache& c = STATE_VEC_CACHE;
  if (c.borrowed) stop("RefCell already borrowed");
  c.borrowed = true;
  entries_ = &c.entries;
}

StateVecCacheBorrow::~StateVecCacheBorrow() { STATE_VEC_CACHE.borrowed = false; }

namespace {

// Appends zero states until entry `size` exists (the caller has checked the size).
void grow(std::vector<StateVec>& entries, std::size_t size) {
  while (entries.size() <= size)
    entries.push_back(StateVec::zeros(static_cast<std::uint32_t>(entries.size())));
}

void check_cache_size(std::size_t size) {
  check_state_qubits(static_cast<std::uint32_t>(std::min<std::size_t>(size, StateVec::QUBIT_BOUND)));
}

}  // namespace

void reserve_state_vec_cache(std::size_t size) {
  // A size that cannot be allocated fails before the smaller entries are built.
  check_cache_size(size);
  StateVecCacheBorrow cache;
  grow(cache.entries(), size);
}

std::size_t state_vec_cache_len() {
  StateVecCacheBorrow cache;
  return cache.entries().size();
}

void StateVec::apply_permutation(Permut32 permut) {
  const std::size_t len = re_.size();
  if (len == 0) stop_index_out_of_bounds(0, 0);
  const unsigned n = nqubits();
  if (permut.len() != n)
    stop(fmt::format("Permutation of length {} cannot relabel a state of {} qubits", permut.len(),
                     n));
  // img[b] = the index bit that bit b of an amplitude index moves to.
  std::array<std::uint8_t, Permut32::MAX_LEN> img{};
  unsigned seen = 0;
  for (unsigned b = 0; b < n; ++b) {
    img[b] = static_cast<std::uint8_t>(1u << permut.entry(b));
    seen |= img[b];
  }
  if (seen != (1u << n) - 1) {
    // An entry at or above n sends some amplitude beyond the state; report the first one.
    for (std::size_t i = 0; i < len; ++i) {
      const std::size_t t = permut.permut_bv(static_cast<std::uint8_t>(i));
      if (t >= len) stop_index_out_of_bounds(len, t);
    }
    stop("Permutation values must be unique");
  }

  StateVecCacheBorrow cache;
  std::vector<StateVec>& entries = cache.entries();
  if (entries.size() <= n) grow(entries, n);
  StateVec& scratch = entries[n];
  const double* const src_re = &re_.data()->v;
  const double* const src_im = &im_.data()->v;
  double* const dst_re = &scratch.re_.data()->v;
  double* const dst_im = &scratch.im_.data()->v;
  // t(i) = OR of img[b] over the set bits b of i, split into the low three bits and the rest:
  // t(h * 8 + l) = high[h] | low[l].
  const unsigned nlow = n < 3 ? n : 3;
  std::array<std::uint8_t, 8> low{};
  std::array<std::uint8_t, 32> high{};
  for (unsigned l = 1; l < (1u << nlow); ++l)
    low[l] = static_cast<std::uint8_t>(low[l & (l - 1)] | img[std::countr_zero(l)]);
  for (unsigned h = 1; h < (1u << (n - nlow)); ++h)
    high[h] = static_cast<std::uint8_t>(high[h & (h - 1)] | img[nlow + std::countr_zero(h)]);
  with_nqubits(n, [&](auto nq) {
    const unsigned nn = static_cast<unsigned>(nq);
    const unsigned lowbits = nn < 3 ? nn : 3;
    const std::size_t nl = std::size_t{1} << lowbits;
    const std::size_t nh = std::size_t{1} << (nn - lowbits);
    for (std::size_t h = 0; h < nh; ++h) {
      const std::uint8_t th = high[h];
      const double* const sr = src_re + h * nl;
      const double* const si = src_im + h * nl;
      for (std::size_t l = 0; l < nl; ++l) {
        const std::size_t t = th | low[l];
        dst_re[t] = sr[l];
        dst_im[t] = si[l];
      }
    }
  });
  swap_buffers(*this, scratch);
}

}  // namespace marrowfen
