#pragma once
// A mutex for short critical sections that are almost never contended: a
// socket's, taken for each receive, send and readiness event.
//
// Uncontended, lock() is one compare-and-swap and unlock() one exchange,
// where the system mutex costs a call and a few dozen instructions each
// way. A thread that finds it held sleeps on the word itself (futex-based
// std::atomic wait); unlock() wakes a sleeper only when one may be there.
// States: 0 free, 1 held, 2 held with possible sleepers.
#include <atomic>

namespace velkor {

class LightMutex {
 public:
  LightMutex() = default;
  LightMutex(const LightMutex&) = delete;
  LightMutex& operator=(const LightMutex&) = delete;

  void lock() {
    int seen = 0;
    if (state_.compare_exchange_strong(seen, 1, std::memory_order_acquire, std::memory_order_relaxed)) return;
    lock_contended(seen);
  }

  bool try_lock() {
    int seen = 0;
    return state_.compare_exchange_strong(seen, 1, std::memory_order_acquire, std::memory_order_relaxed);
  }

  void unlock() {
    if (state_.exchange(0, std::memory_order_release) == 2) state_.notify_one();
  }

 private:
  // Marks the mutex as wanted (2) and sleeps until it is free; taking it
  // as 2 keeps the next unlock() waking any other sleeper.
  void lock_contended(int seen) {
    if (seen != 2) seen = state_.exchange(2, std::memory_order_acquire);
    while (seen != 0) {
      state_.wait(2, std::memory_order_relaxed);
      seen = state_.exchange(2, std::memory_order_acquire);
    }
  }

  std::atomic<int> state_{0};
};

}  // namespace velkor
