#include "core/thread_pool.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <tbb/global_control.h>

namespace marrowfen {
namespace {

TEST(ThreadPool, CountFromEnvironment) {
  struct Case {
    const char* num_threads;
    const char* rs_num_cpus;
    std::size_t expected;
  };
  const std::size_t dflt = 6;
  const Case cases[] = {
      {nullptr, nullptr, dflt},
      {"3", nullptr, 3},
      {"3", "5", 3},
      {"+3", nullptr, 3},
      {"0", "5", dflt},       // 0 means the default; the older variable is not consulted
      {nullptr, "5", 5},
      {"", "5", 5},           // not a number: fall through to the older variable
      {"x", "5", 5},
      {" 3", "5", 5},
      {"3 ", "5", 5},
      {"-1", "5", 5},
      {"+", "5", 5},
      {"3.0", "5", 5},
      {"99999999999999999999999", "5", 5},  // out of range is not a number
      {nullptr, "0", dflt},
      {nullptr, "two", dflt},
      {"abc", "-2", dflt},
      {"64", nullptr, 64},    // more workers than processors is allowed
  };
  for (const Case& c : cases)
    EXPECT_EQ(choose_thread_count(c.num_threads, c.rs_num_cpus, dflt), c.expected)
        << (c.num_threads ? c.num_threads : "(unset)") << " / "
        << (c.rs_num_cpus ? c.rs_num_cpus : "(unset)");
}

TEST(ThreadPool, AvailableProcessorsMatchesAffinity) {
  cpu_set_t set;
  CPU_ZERO(&set);
  ASSERT_EQ(sched_getaffinity(0, sizeof set, &set), 0);
  EXPECT_EQ(available_processors(), static_cast<std::size_t>(CPU_COUNT(&set)));
}

// Once set up, TBB's parallelism is capped at the chosen count and the pool's arena runs that
// many threads at once (not more).
TEST(ThreadPool, SetUpOnceAndApplied) {
  ensure_thread_pool();
  ensure_thread_pool();
  const std::size_t n = pool_threads();
  ASSERT_GE(n, 1u);
  EXPECT_EQ(tbb::global_control::active_value(tbb::global_control::max_allowed_parallelism), n);
  EXPECT_EQ(pool_workers(), n);
  {
    const tbb::global_control one(tbb::global_control::max_allowed_parallelism, 1);
    EXPECT_EQ(pool_workers(), 1u);
  }

  std::atomic<int> running{0}, peak{0};
  parallel_for_ordered(4 * n, [&](std::size_t) {
    const int now = ++running;
    int p = peak.load();
    while (now > p && !peak.compare_exchange_weak(p, now)) {
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    --running;
  });
  EXPECT_LE(static_cast<std::size_t>(peak.load()), n);
  EXPECT_GE(peak.load(), 1);
}

// Items land in their own slots and are joined in item order, whatever the grain.
TEST(ThreadPool, OrderedLoopJoinsInItemOrder) {
  for (const std::size_t grain : {1, 3, 1000}) {
    const std::vector<int> got = collect_ordered<int>(
        500,
        [](std::size_t i, std::vector<int>& out) {
          for (std::size_t k = 0; k < i % 3; ++k) out.push_back(static_cast<int>(10 * i + k));
        },
        grain);
    std::vector<int> want;
    for (int i = 0; i < 500; ++i)
      for (int k = 0; k < i % 3; ++k) want.push_back(10 * i + k);
    EXPECT_EQ(got, want) << "grain " << grain;
  }
  EXPECT_TRUE(collect_ordered<int>(0, [](std::size_t, std::vector<int>&) {}).empty());
}

// The failure rethrown is that of the first failing item in item order, even when a later item
// fails first in time; every item before it has run.
TEST(ThreadPool, OrderedLoopRethrowsTheFirstFailureInItemOrder) {
  for (const std::size_t grain : {1, 4}) {
    std::vector<std::atomic<bool>> ran(400);
    try {
      parallel_for_ordered(
          ran.size(),
          [&](std::size_t i) {
            if (i == 137) {
              std::this_thread::sleep_for(std::chrono::milliseconds(20));
              throw std::runtime_error("item 137");
            }
            if (i == 301) throw std::runtime_error("item 301");
            ran[i] = true;
          },
          grain);
      ADD_FAILURE() << "no failure";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()), "item 137") << "grain " << grain;
    }
    for (std::size_t i = 0; i < 137; ++i) EXPECT_TRUE(ran[i]) << i;
  }
}

// Threads of this process.
std::size_t thread_count() {
  std::size_t n = 0;
  DIR* d = opendir("/proc/self/task");
  if (d == nullptr) return 0;
  while (const dirent* e = readdir(d))
    if (e->d_name[0] != '.') ++n;
  closedir(d);
  return n;
}

// Sums 0 .. n-1 on the pool.
std::size_t pool_sum(std::size_t n) {
  std::vector<std::size_t> slots(n);
  parallel_for_ordered(n, [&](std::size_t i) { slots[i] = i; });
  std::size_t sum = 0;
  for (const std::size_t v : slots) sum += v;
  return sum;
}

// Ends a forked child at once. Not through _exit, at which ThreadSanitizer reports the
// parent's threads that the child copied and cannot join.
[[noreturn]] void child_exit(int code) {
  syscall(SYS_exit_group, code);
  std::abort();
}

// Waits up to 20 seconds for a child; its exit code, or -1 when it did not end (then killed).
int wait_for_child(pid_t pid) {
  for (int k = 0; k < 20000; ++k) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return -1;
}

// A fork right after a parallel step finds the pool's workers stopped, so the child copies no
// lock a worker held; the child uses the pool at once, and the parent's next step starts
// workers again.
TEST(ThreadPool, ForkStopsTheWorkersAndBothSidesGoOn) {
  if (pool_threads() < 2) GTEST_SKIP() << "one pool thread";
  std::size_t idle = 0;  // threads without workers (a sanitizer may run a thread of its own)
  for (int round = 0; round < 20; ++round) {
    ASSERT_EQ(pool_sum(10000), 10000u * 9999u / 2);
    if (round == 1) {
      EXPECT_GT(thread_count(), idle) << "the step ran on workers";
    }
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) child_exit(pool_sum(5000) == 5000u * 4999u / 2 ? 0 : 1);
    if (round == 0) idle = thread_count();
    EXPECT_EQ(thread_count(), idle) << "workers alive after a fork";
    EXPECT_EQ(wait_for_child(pid), 0) << "round " << round;
  }
  EXPECT_EQ(pool_sum(10000), 10000u * 9999u / 2);
}

// Forks child after child, each reporting its pool workers through its exit code (capped at
// 100) once a step on the pool has given the right sum.
int fork_and_count_workers() {
  const pid_t pid = fork();
  if (pid == 0) {
    const int workers = static_cast<int>(std::min<std::size_t>(pool_workers(), 100));
    child_exit(pool_sum(5000) == 5000u * 4999u / 2 ? workers : 200);
  }
  return pid < 0 ? -3 : wait_for_child(pid);
}

// While another live thread has used the pool, the workers cannot be stopped at a fork, so
// every child runs on its one thread, the second of two forks in a row too (multiprocessing
// starts its workers so). Once that thread has ended, the next fork stops the workers, and
// its child gets all of them.
TEST(ThreadPool, ForksInARowBesideAnotherThreadThatUsedThePool) {
  if (pool_threads() < 2) GTEST_SKIP() << "one pool thread";
  const int all = static_cast<int>(std::min<std::size_t>(pool_threads(), 100));
  std::thread([] {}).join();  // a sanitizer starts a thread of its own with the first thread
  const std::size_t idle = thread_count();  // no step has run yet
  std::mutex mutex;
  std::condition_variable changed;
  bool ran = false, quit = false;
  std::thread other([&] {
    EXPECT_EQ(pool_sum(10000), 10000u * 9999u / 2);
    std::unique_lock<std::mutex> lock(mutex);
    ran = true;
    changed.notify_all();
    changed.wait(lock, [&] { return quit; });
  });
  {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [&] { return ran; });
  }
  for (int round = 0; round < 10; ++round) {
    if (round % 2 == 0) {
      EXPECT_EQ(pool_sum(10000), 10000u * 9999u / 2);
    }
    EXPECT_EQ(fork_and_count_workers(), 1) << "first fork of round " << round;
    EXPECT_EQ(fork_and_count_workers(), 1) << "second fork of round " << round;
  }
  {
    const std::lock_guard<std::mutex> lock(mutex);
    quit = true;
  }
  changed.notify_all();
  other.join();
  EXPECT_EQ(fork_and_count_workers(), all) << "first fork once the other thread has ended";
  EXPECT_EQ(thread_count(), idle) << "workers alive after that fork";
  ASSERT_EQ(pool_sum(10000), 10000u * 9999u / 2);
  EXPECT_EQ(fork_and_count_workers(), all);
  EXPECT_EQ(fork_and_count_workers(), all);
}

// A fork from another thread while a parallel step runs waits until the step has ended, in
// parent and child alike.
TEST(ThreadPool, ForkWaitsForTheStepUnderWay) {
  if (pool_threads() < 2) GTEST_SKIP() << "one pool thread";
  const std::size_t items = 4 * pool_threads();
  std::atomic<std::size_t> started{0}, done{0};
  std::thread step([&] {
    parallel_for_ordered(items, [&](std::size_t) {
      ++started;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      ++done;
    });
  });
  while (started == 0) std::this_thread::yield();
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) child_exit(done == items ? 0 : 1);
  EXPECT_EQ(done.load(), items);
  EXPECT_EQ(wait_for_child(pid), 0);
  step.join();
}

}  // namespace
}  // namespace marrowfen
