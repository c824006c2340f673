#pragma once
// WakerSlot: a shared cell holding at most one waker. The awaiting side parks
// its task's waker here; the completing side (any thread) takes it out and
// wakes it while holding the cell's lock. Lock order: this lock before the
// core mutex (a wake takes the core mutex).
#include <mutex>
#include <utility>

#include "runtime/waker.h"

namespace velkor {

class WakerSlot {
 public:
  // Stores `waker`, releasing (without waking) the one that was there.
  void store(Waker waker) {
    Waker old;
    std::lock_guard lock(mu_);
    old = std::exchange(waker_, std::move(waker));
  }

  // Stores `waker` only when the slot is empty; returns whether it did.
  bool store_if_empty(Waker& waker) {
    std::lock_guard lock(mu_);
    if (waker_) return false;
    waker_ = std::move(waker);
    return true;
  }

  Waker take() {
    std::lock_guard lock(mu_);
    return std::exchange(waker_, Waker{});
  }

  bool occupied() {
    std::lock_guard lock(mu_);
    return static_cast<bool>(waker_);
  }

  // Takes the waker out and wakes it under the lock; nothing when empty.
  void wake() {
    std::lock_guard lock(mu_);
    std::exchange(waker_, Waker{}).wake();
  }

 private:
  std::mutex mu_;
  Waker waker_;
};

}  // namespace velkor
