#include "core/thread_pool.hpp"

#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>
#include <tbb/global_control.h>
#include <tbb/parallel_for.h>

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
  EXPECT_EQ(static_cast<std::size_t>(pool_arena().max_concurrency()), n);

  std::atomic<int> running{0}, peak{0};
  const int got = run_in_pool([&] {
    tbb::parallel_for(
        0, static_cast<int>(4 * n),
        [&](int) {
          const int now = ++running;
          int p = peak.load();
          while (now > p && !peak.compare_exchange_weak(p, now)) {
          }
          std::this_thread::sleep_for(std::chrono::milliseconds(5));
          --running;
        },
        tbb::simple_partitioner());
    return 7;
  });
  EXPECT_EQ(got, 7);
  EXPECT_LE(static_cast<std::size_t>(peak.load()), n);
  EXPECT_GE(peak.load(), 1);
}

}  // namespace
}  // namespace marrowfen
