#include "core/spin_rwlock.hpp"

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace marrowfen {
namespace {

using namespace std::chrono_literals;

// Writers keep two plain counters equal only while they hold the lock; readers must never
// see them apart, and no increment may be lost.
TEST(SpinRwLock, WritersExcludeEveryone) {
  SpinRwLock lock;
  std::uint64_t a = 0, b = 0;  // deliberately not atomic
  std::atomic<bool> torn{false};
  std::atomic<std::uint64_t> reads{0};
  constexpr int WRITERS = 4, READERS = 4, ROUNDS = 20000;

  std::vector<std::thread> threads;
  for (int w = 0; w < WRITERS; ++w)
    threads.emplace_back([&] {
      for (int i = 0; i < ROUNDS; ++i) {
        ExclusiveGuard g(lock);
        ++a;
        spin_hint();
        ++b;
      }
    });
  for (int r = 0; r < READERS; ++r)
    threads.emplace_back([&] {
      for (int i = 0; i < ROUNDS; ++i) {
        SharedGuard g(lock);
        if (a != b) torn = true;
        reads.fetch_add(1, std::memory_order_relaxed);
      }
    });
  for (auto& t : threads) t.join();

  EXPECT_FALSE(torn.load());
  EXPECT_EQ(a, static_cast<std::uint64_t>(WRITERS) * ROUNDS);
  EXPECT_EQ(b, a);
  EXPECT_EQ(reads.load(), static_cast<std::uint64_t>(READERS) * ROUNDS);
}

TEST(SpinRwLock, ReadersShareAndWriterWaitsForThem) {
  SpinRwLock lock;
  lock.lock_shared();

  // A second reader gets in while the first holds the lock.
  std::atomic<bool> second_reader_in{false};
  std::thread reader([&] {
    SharedGuard g(lock);
    second_reader_in = true;
  });
  reader.join();
  EXPECT_TRUE(second_reader_in.load());

  // A writer waits until the last reader has left.
  std::atomic<bool> writer_in{false};
  std::thread writer([&] {
    ExclusiveGuard g(lock);
    writer_in = true;
  });
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(writer_in.load());
  lock.unlock_shared();
  writer.join();
  EXPECT_TRUE(writer_in.load());
}

TEST(SpinRwLock, WriterBlocksNewReaders) {
  SpinRwLock lock;
  lock.lock();
  std::atomic<bool> reader_in{false};
  std::thread reader([&] {
    SharedGuard g(lock);
    reader_in = true;
  });
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(reader_in.load());
  lock.unlock();
  reader.join();
  EXPECT_TRUE(reader_in.load());
}

// A call that stops while holding the lock releases it on the way out.
TEST(SpinRwLock, GuardsReleaseWhenUnwinding) {
  SpinRwLock lock;
  EXPECT_THROW(
      {
        ExclusiveGuard g(lock);
        stop("failure while writing");
      },
      Panic);
  EXPECT_THROW(
      {
        SharedGuard g(lock);
        throw std::runtime_error("failure while reading");
      },
      std::runtime_error);
  ExclusiveGuard again(lock);  // would spin forever if either guard had leaked
  SUCCEED();
}

}  // namespace
}  // namespace marrowfen
