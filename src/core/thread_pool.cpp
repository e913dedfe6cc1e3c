#include "core/thread_pool.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <new>

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <tbb/global_control.h>
#include <tbb/task_arena.h>

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

// Made once, never freed: the pool lives until the process ends. Its arena is made empty and
// filled (given workers) by the first parallel step after set-up or after a fork. The handle
// keeps oneTBB's scheduler, and so its workers, alive until a fork stops them: without it, the
// last thread to let go of the scheduler (a thread that used the pool, ending) would leave the
// workers to end on their own, unjoined, and a fork could not tell whether they are gone.
struct Pool {
  std::size_t threads;
  int slots;
  tbb::global_control* control;
  tbb::task_arena* arena;
  tbb::task_scheduler_handle* handle;
};

std::once_flag POOL_ONCE;
Pool* POOL = nullptr;

// The parallel steps under way, and the lock that a fork holds from its start until it is over
// in parent and child: a fork waits until no step runs, and no step starts until it is over.
struct Steps {
  std::mutex mutex;
  std::condition_variable ended;
  std::size_t running = 0;
};

Steps& steps() {
  static Steps* s = new Steps();  // never freed: a fork may come while the process ends
  return *s;
}

// Set in a child whose parent could not stop the pool's workers at the fork: oneTBB's state
// there speaks of workers that do not exist and may hold a lock that a worker held, so the
// child never enters the pool and runs every parallel step on its one thread (with the same
// results, which never depend on the number of workers).
std::atomic<bool> POOL_LOST{false};
bool WORKERS_LEFT = false;  // at the fork under way; written and read under the steps' mutex

// Stops the pool's workers and empties its arena (terminated only while it is active); the
// next step fills it again. Tried at every fork, whatever earlier forks met: only a finalize
// that succeeds at this fork says that no worker is alive, since oneTBB stops (and joins) them
// only when no other live thread holds on to its scheduler, which any thread that has used the
// pool does until it ends. The handle is taken again at once, so that the scheduler, whichever
// it is from now on, is kept alive for the next fork. (Only a thread that ends in the instant
// between a failed finalize and the new handle can still take the scheduler with it, leaving
// its workers to end on their own.) False when workers may still be alive.
bool stop_workers() noexcept {
  if (POOL_LOST.load(std::memory_order_relaxed)) return true;  // no workers here, nor in a child
  bool stopped = false;
  try {
    if (POOL->arena->is_active()) POOL->arena->terminate();
    // An empty handle (taking it failed at an earlier fork) finalizes nothing and proves nothing.
    stopped = static_cast<bool>(*POOL->handle) && tbb::finalize(*POOL->handle, std::nothrow);
    *POOL->handle = tbb::task_scheduler_handle{tbb::attach{}};
  } catch (...) {
    // No handle on the scheduler: the workers are taken as alive, and the next fork tries again.
  }
  return stopped;
}

void before_fork() noexcept {
  Steps& s = steps();
  std::unique_lock<std::mutex> lock(s.mutex);
  s.ended.wait(lock, [&] { return s.running == 0; });
  lock.release();  // unlocked in the parent and in the child, once the fork is over
  WORKERS_LEFT = !stop_workers();
}

void after_fork_in_parent() noexcept { steps().mutex.unlock(); }

void after_fork_in_child() noexcept {
  if (WORKERS_LEFT) POOL_LOST.store(true, std::memory_order_relaxed);
  steps().mutex.unlock();
}

void set_up_pool() {
  const std::size_t n = choose_thread_count(std::getenv("RAYON_NUM_THREADS"),
                                            std::getenv("RAYON_RS_NUM_CPUS"),
                                            available_processors());
  const int slots = static_cast<int>(
      std::min(n, static_cast<std::size_t>(std::numeric_limits<int>::max())));
  POOL = new Pool{n, slots,
                  new tbb::global_control(tbb::global_control::max_allowed_parallelism, n),
                  new tbb::task_arena(slots),
                  new tbb::task_scheduler_handle(tbb::attach{})};
  pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);
}

}  // namespace

namespace detail {

void run_pool_step(void (*job)(void*), void* ctx) {
  ensure_thread_pool();
  Steps& s = steps();
  {
    const std::lock_guard<std::mutex> lock(s.mutex);
    if (!POOL->arena->is_active()) POOL->arena->initialize(POOL->slots);
    ++s.running;
  }
  struct Ended {
    Steps& s;
    ~Ended() {
      const std::lock_guard<std::mutex> lock(s.mutex);
      if (--s.running == 0) s.ended.notify_all();
    }
  } ended{s};
  POOL->arena->execute([=] { job(ctx); });
}

}  // namespace detail

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

std::size_t pool_workers() {
  if (POOL_LOST.load(std::memory_order_relaxed)) return 1;
  return std::min<std::size_t>(
      pool_threads(),
      tbb::global_control::active_value(tbb::global_control::max_allowed_parallelism));
}

}  // namespace marrowfen
