// STATE_VEC_CACHE: per thread, one scratch state per qubit count (entry k has k qubits). A
// relabelling writes into the scratch state of its size and then exchanges buffers with it, so
// after the first relabelling of a size on a thread nothing is allocated.
#pragma once

#include <cstddef>
#include <vector>

#include "state/state_vec.hpp"

namespace marrowfen {

// Makes sure entries 0 .. size exist in this thread's cache; existing entries are kept.
// Growing fails like StateVec::zeros for a size of 28 or more.
void reserve_state_vec_cache(std::size_t size);

// The number of entries in this thread's cache (for tests and diagnostics).
std::size_t state_vec_cache_len();

// This thread's cache, borrowed exclusively for the life of the object; a nested borrow on the
// same thread stops with "RefCell already borrowed".
class StateVecCacheBorrow {
 public:
  StateVecCacheBorrow();
  ~StateVecCacheBorrow();
  StateVecCacheBorrow(const StateVecCacheBorrow&) = delete;
  StateVecCacheBorrow& operator=(const StateVecCacheBorrow&) = delete;
  std::vector<StateVec>& entries() const noexcept { return *entries_; }

 private:
  std::vector<StateVec>* entries_;
};

}  // namespace marrowfen
