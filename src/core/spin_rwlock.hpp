// A spinning reader-writer lock: any number of readers or one writer; waiting is busy
// spinning with the processor's spin-wait hint, no sleeping and no fairness.
#pragma once

#include <atomic>
#include <cstdint>

#include "core/panic.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace marrowfen {

inline void spin_hint() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  _mm_pause();
#endif
}

class SpinRwLock {
 public:
  static constexpr std::uint32_t WRITER = 1;
  static constexpr std::uint32_t READER = 2;
  // The reader count lives in the upper 31 bits; half of them is the bound.
  static constexpr std::uint32_t MAX_READERS_STATE = 0x80000000u;

  void lock_shared() {
    for (;;) {
      std::uint32_t prev = state_.fetch_add(READER, std::memory_order_acquire);
      if (prev >= MAX_READERS_STATE) {
        state_.fetch_sub(READER, std::memory_order_release);
        stop("Too many lock readers, cannot safely proceed");
      }
      if ((prev & WRITER) == 0) return;
      state_.fetch_sub(READER, std::memory_order_release);
      while (state_.load(std::memory_order_relaxed) & WRITER) spin_hint();
    }
  }
  void unlock_shared() noexcept { state_.fetch_sub(READER, std::memory_order_release); }

  void lock() noexcept {
    for (;;) {
      std::uint32_t expected = 0;
      if (state_.compare_exchange_weak(expected, WRITER, std::memory_order_acquire,
                                       std::memory_order_relaxed))
        return;
      while (state_.load(std::memory_order_relaxed) != 0) spin_hint();
    }
  }
  void unlock() noexcept { state_.fetch_and(~WRITER, std::memory_order_release); }

 private:
  std::atomic<std::uint32_t> state_{0};
};

class SharedGuard {
 public:
  explicit SharedGuard(SpinRwLock& l) : l_(l) { l_.lock_shared(); }
  ~SharedGuard() { l_.unlock_shared(); }
  SharedGuard(const SharedGuard&) = delete;
  SharedGuard& operator=(const SharedGuard&) = delete;

 private:
  SpinRwLock& l_;
};

class ExclusiveGuard {
 public:
  explicit ExclusiveGuard(SpinRwLock& l) : l_(l) { l_.lock(); }
  ~ExclusiveGuard() { l_.unlock(); }
  ExclusiveGuard(const ExclusiveGuard&) = delete;
  ExclusiveGuard& operator=(const ExclusiveGuard&) = delete;

 private:
  SpinRwLock& l_;
};

}  // namespace marrowfen
