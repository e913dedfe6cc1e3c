// The process-wide worker pool (oneTBB). Its size is fixed once per process, the first time a
// parallel step asks for it: RAYON_NUM_THREADS if it is a positive number; if it is 0, the
// default; if it is missing or not a number, RAYON_RS_NUM_CPUS if that is a positive number;
// otherwise the default, the number of processors available to the process.
#pragma once

#include <cstddef>
#include <utility>

#include <tbb/task_arena.h>

namespace marrowfen {

// The count rule above on the two variables' values (nullptr when unset). A number is what
// an unsigned decimal parse accepts: an optional '+', then digits only, no blanks, in range.
std::size_t choose_thread_count(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                                std::size_t available) noexcept;

// Processors this process may run on (its affinity mask), at least 1.
std::size_t available_processors() noexcept;

// Reads the environment and caps TBB's parallelism at the chosen count for the rest of the
// process. Idempotent and thread-safe.
void ensure_thread_pool();

// The chosen count (sets the pool up first).
std::size_t pool_threads();

// An arena of exactly pool_threads() slots (the caller's included). TBB's implicit arena
// never grows beyond the machine's processors, so a count above that takes effect only for
// work run in here.
tbb::task_arena& pool_arena();

// Runs f in the pool's arena and returns its result; exceptions pass through.
template <class F>
decltype(auto) run_in_pool(F&& f) {
  return pool_arena().execute(std::forward<F>(f));
}

}  // namespace marrowfen
