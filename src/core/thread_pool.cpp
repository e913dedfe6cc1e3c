#include "core/thread_pool.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <deque>
#include <limits>
#include <mutex>

#include <sched.h>
#include <unistd.h>

#include <tbb/global_control.h>

namespace marrowfen {
namespace {

// Unsigned decimal: optional '+', at least one digit, nothing else; false on overflow.
bool parse_count(const char* s, std::size_t& out) noexcept {
  if (s == nullptr) return false;
  if (*s == '+') ++s;
  if (*s == '\0') return false;
  std::size_t v = 0;
  for (; *s != '\0'; ++s) {
    if (*s < '0' || *s > '9') return false;
    const std::size_t d = static_cast<std::size_t>(*s - '0');
    if (v > (std::numeric_limits<std::size_t>::max() - d) / 10) return false;
    v = v * 10 + d;
  }
  out = v;
  return true;
}

// Made once, never freed: the pool lives until the process ends.
struct Pool {
  std::size_t threads;
  tbb::global_control* control;
  tbb::task_arena* arena;
};

std::once_flag POOL_ONCE;
Pool* POOL = nullptr;

void set_up_pool() {
  const std::size_t n = choose_thread_count(std::getenv("RAYON_NUM_THREADS"),
                                            std::getenv("RAYON_RS_NUM_CPUS"),
                                            available_processors());
  const int slots = static_cast<int>(
      std::min(n, static_cast<std::size_t>(std::numeric_limits<int>::max())));
  POOL = new Pool{n,
                  new tbb::global_control(tbb::global_control::max_allowed_parallelism, n),
                  new tbb::task_arena(slots)};
}

// Spawned jobs, run first in first out. The pool's task for a job carries nothing: it takes
// the next job from here, under the lock, which also orders the job after its spawning.
struct SpawnedJobs {
  std::mutex mutex;
  std::deque<std::function<void()>> jobs;
};

SpawnedJobs& spawned_jobs() {
  static SpawnedJobs* jobs = new SpawnedJobs();  // never freed: tasks may outlive main()
  return *jobs;
}

void run_spawned_job() {
  SpawnedJobs& s = spawned_jobs();
  std::function<void()> job;
  {
    const std::lock_guard<std::mutex> lock(s.mutex);
    if (s.jobs.empty()) return;
    job = std::move(s.jobs.front());
    s.jobs.pop_front();
  }
  job();
}

}  // namespace

void spawn_in_pool(std::function<void()> job) {
  SpawnedJobs& s = spawned_jobs();
  {
    const std::lock_guard<std::mutex> lock(s.mutex);
    s.jobs.push_back(std::move(job));
  }
  pool_arena().enqueue([] { run_spawned_job(); });
}

std::size_t choose_thread_count(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                                std::size_t available) noexcept {
  std::size_t n = 0;
  if (parse_count(rayon_num_threads, n)) return n > 0 ? n : available;
  if (parse_count(rayon_rs_num_cpus, n) && n > 0) return n;
  return available;
}

std::size_t available_processors() noexcept {
  // Grow the mask until the kernel accepts its size (machines with more than 1024 CPUs).
  for (int ncpus = 1024; ncpus <= (1 << 20); ncpus *= 2) {
    cpu_set_t* set = CPU_ALLOC(ncpus);
    if (set == nullptr) break;
    const std::size_t size = CPU_ALLOC_SIZE(ncpus);
    CPU_ZERO_S(size, set);
    if (sched_getaffinity(0, size, set) == 0) {
      const int count = CPU_COUNT_S(size, set);
      CPU_FREE(set);
      return count > 0 ? static_cast<std::size_t>(count) : 1;
    }
    CPU_FREE(set);
    if (errno != EINVAL) break;
  }
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<std::size_t>(online) : 1;
}

void ensure_thread_pool() { std::call_once(POOL_ONCE, set_up_pool); }

std::size_t pool_threads() {
  ensure_thread_pool();
  return POOL->threads;
}

tbb::task_arena& pool_arena() {
  ensure_thread_pool();
  return *POOL->arena;
}

}  // namespace marrowfen
