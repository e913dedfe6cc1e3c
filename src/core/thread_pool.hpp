// The process-wide worker pool (oneTBB) and the one ordered parallel loop that every parallel
// step of the module runs through. The pool's size is fixed once per process, the first time a
// parallel step asks for it: RAYON_NUM_THREADS if it is a positive number; if it is 0, the
// default; if it is missing or not a number, RAYON_RS_NUM_CPUS if that is a positive number;
// otherwise the default, the number of processors available to the process.
//
// Nothing runs on the pool outside a call of parallel_for_ordered: the loop returns only when
// every task of it has ended. A fork() waits until no loop runs, then stops the pool's workers
// (oneTBB is not safe to fork while they are alive), so the child copies no lock that a worker
// held; parent and child start workers again at their next parallel step. oneTBB cannot stop
// them while another live thread of the process has used the pool; a child forked then never
// enters the pool and runs every loop on its one thread. Every fork tries anew, so the first
// fork after that thread has ended stops the workers and its child gets its whole pool.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <limits>
#include <mutex>
#include <type_traits>
#include <utility>
#include <vector>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

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

// The threads a parallel step may use now: the chosen count, or fewer while a
// tbb::global_control caps TBB's parallelism below it; 1 in a child forked while the workers
// could not be stopped. Every parallel step with one worker runs on the calling thread in item
// order.
std::size_t pool_workers();

namespace detail {
// Runs job(ctx) in the pool's arena as one parallel step. Every step that reaches the pool is
// counted while it runs, one started inside an item of another step too, so that a fork()
// waits until none runs (and a step started while a fork is under way waits until the fork is
// over). A loop that runs on the calling thread never gets here and is not counted: it holds
// no lock of the pool's. job must not throw.
void run_pool_step(void (*job)(void*), void* ctx);
}  // namespace detail

// libtbb is not built with ThreadSanitizer, so under it the ordering that the pool gives between
// the calling thread and the tasks is invisible. These marks state it on the address of the
// loop's own state: everything the caller did before a loop happens before every task of it,
// and every task (also one that fails) before the caller goes on. A task marks its start before
// it reads anything of the loop (the address alone is passed to it), and tasks mark their ends
// on another address, so the marks add no ordering between tasks and races between workers are
// still seen. Outside ThreadSanitizer builds they are empty.
#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_acquire(void* addr);
extern "C" void __tsan_release(void* addr);
struct PoolHandOff {
  static void before_loop(void* loop) noexcept { __tsan_release(loop); }
  static void task_begin(void* loop) noexcept { __tsan_acquire(loop); }
  static void task_end(void* done) noexcept { __tsan_release(done); }
  static void after_loop(void* done) noexcept { __tsan_acquire(done); }
};
#else
struct PoolHandOff {
  static void before_loop(void*) noexcept {}
  static void task_begin(void*) noexcept {}
  static void task_end(void*) noexcept {}
  static void after_loop(void*) noexcept {}
};
#endif

// The failure of an ordered loop that a sequential loop would meet first: the failure of the
// smallest failing item. Items after a recorded failure need not run; every item before it runs.
class FirstFailure {
 public:
  bool skips(std::size_t i) const noexcept { return i > index_.load(std::memory_order_relaxed); }

  void record(std::size_t i, std::exception_ptr e) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (i < index_.load(std::memory_order_relaxed)) {
      error_ = std::move(e);
      index_.store(i, std::memory_order_relaxed);
    }
  }

  void rethrow() const {
    if (error_) std::rethrow_exception(error_);
  }

 private:
  std::atomic<std::size_t> index_{std::numeric_limits<std::size_t>::max()};
  std::mutex mutex_;
  std::exception_ptr error_;
};

// The one ordered parallel loop of the module: runs body(i) for every i in [0, n), on the pool
// in tasks of at least `grain` consecutive items. Bodies may run at once and in any order, so
// each writes only what belongs to its item (its own slot of a pre-sized list); the caller joins
// the slots in item order after the loop, which makes the result independent of the number of
// workers. When an item fails, items after it may be skipped, and after the loop the failure of
// the first failing item in item order is rethrown: the failure a sequential loop would have met
// first. With one pool thread, or when the items fit one task, the loop runs on the calling
// thread in item order and stops at the first failure.
namespace detail {

// The state of one ordered loop, shared by its tasks.
template <class Body>
struct OrderedLoop {
  Body& body;
  FirstFailure failure;
  char done = 0;  // the address that tasks mark their ends on

  // Items begin .. end-1 on this thread. Kept out of line, so that a sanitizer report names it
  // rather than TBB's task code.
  [[gnu::noinline]] void run(std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i != end; ++i) {
      if (failure.skips(i)) break;
      try {
        body(i);
      } catch (...) {
        failure.record(i, std::current_exception());
        break;
      }
    }
  }
};

// The loop body that the pool copies into every task it splits off. A copy is made on one
// thread and may run on another, which steals it; each copy marks itself made (after it is
// written) and is marked received before it is read, on its own address.
template <class Loop>
class OrderedBody {
 public:
  explicit OrderedBody(Loop* loop) noexcept : loop_(loop) { PoolHandOff::task_end(this); }
  OrderedBody(const OrderedBody& other) noexcept {
    PoolHandOff::task_begin(const_cast<OrderedBody*>(&other));
    loop_ = other.loop_;
    PoolHandOff::task_end(this);
  }
  OrderedBody& operator=(const OrderedBody&) = delete;

  void operator()(const tbb::blocked_range<std::size_t>& r) const {
    PoolHandOff::task_begin(const_cast<OrderedBody*>(this));
    PoolHandOff::task_begin(loop_);
    loop_->run(r.begin(), r.end());
    PoolHandOff::task_end(&loop_->done);
  }

 private:
  Loop* loop_;
};

}  // namespace detail

template <class Body>
void parallel_for_ordered(std::size_t n, Body&& body, std::size_t grain = 1) {
  grain = std::max<std::size_t>(grain, 1);
  if (n <= grain || pool_workers() == 1) {
    for (std::size_t i = 0; i < n; ++i) body(i);
    return;
  }
  using Loop = detail::OrderedLoop<std::remove_reference_t<Body>>;
  Loop loop{body, {}};
  PoolHandOff::before_loop(&loop);
  struct Job {
    Loop* loop;
    std::size_t n, grain;
    static void run(void* p) {
      const Job& j = *static_cast<const Job*>(p);
      tbb::parallel_for(tbb::blocked_range<std::size_t>(0, j.n, j.grain),
                        detail::OrderedBody<Loop>(j.loop));
    }
  } job{&loop, n, grain};
  detail::run_pool_step(&Job::run, &job);
  PoolHandOff::after_loop(&loop.done);
  loop.failure.rethrow();
}

// parallel_for_ordered where item i appends its results to its own list: work(i, list). The
// lists are joined in item order.
template <class Item, class Work>
std::vector<Item> collect_ordered(std::size_t n, Work&& work, std::size_t grain = 1) {
  std::vector<std::vector<Item>> slots(n);
  parallel_for_ordered(n, [&](std::size_t i) { work(i, slots[i]); }, grain);
  std::size_t total = 0;
  for (const auto& s : slots) total += s.size();
  std::vector<Item> out;
  out.reserve(total);
  for (auto& s : slots)
    for (Item& x : s) out.push_back(std::move(x));
  return out;
}

}  // namespace marrowfen
