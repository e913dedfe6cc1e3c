#include "core/thread_pool.hpp"

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

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
  EXPECT_EQ(static_cast<std::size_t>(pool_arena().max_concurrency()), n);

  EXPECT_EQ(run_in_pool([] { return 7; }), 7);

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

}  // namespace
}  // namespace marrowfen
