#pragma once
// WaitList: a first-in, first-out list of parked waits, each holding the
// waker of the task that waits. The nodes are intrusive: each lives inside
// the object that owns the wait, so parking allocates nothing here.
//
// A node goes through four phases: fresh (never parked), parked (linked,
// holding a waker), released (still linked, its waker taken and woken) and
// done (unlinked for good). A released node stays linked until its task runs
// or gives up the wait, so that a newcomer can see that the released one is
// on its way. Released nodes always form a prefix of the list (waits are
// released front to back and join at the back), so `first_parked_` marks
// where the parked ones start.
//
// Every operation may run on any thread. Lock order: the list's mutex, then
// the core mutex; wakes run after the list's mutex is released.
#include <atomic>
#include <cstddef>
#include <mutex>

#include "runtime/waker.h"

namespace velkor {

struct WaitNode {
  enum class Phase : unsigned char { Fresh, Parked, Released, Done };

  WaitNode* prev = nullptr;
  WaitNode* next = nullptr;
  Waker waker;
  Phase phase = Phase::Fresh;
  bool was_released = false;  // set by a release, never cleared
};

class WaitList {
 public:
  enum class Step { Parked, Released, NoWaker, Ended };

  WaitList() = default;
  WaitList(const WaitList&) = delete;
  WaitList& operator=(const WaitList&) = delete;

  // One poll of the task waiting on `node`. A fresh node joins the back,
  // moving the task's waker out of `current` (NoWaker when it is empty). A
  // parked one was polled without a release: it keeps its place and its
  // waker, and `current` is left alone. A released one leaves the list and
  // ends the wait, leaving `current` for whatever the task awaits next.
  Step poll(WaitNode& node, Waker& current);

  // Ends the wait on `node` without a release (cancelled, dropped): it leaves
  // the list at once. Returns whether a release had reached it first.
  bool abandon(WaitNode& node);

  // Releases up to `n` parked waits, front first. Returns how many.
  size_t wake(size_t n);
  // Releases the first wait in line unless it is released already.
  bool wake_first();

  // Linked waits, parked or released.
  size_t size() const { return linked_.load(std::memory_order_relaxed); }

  bool was_released(WaitNode& node);

 private:
  void link_back(WaitNode& node);
  void unlink(WaitNode& node);
  Waker release_front();

  std::mutex mu_;
  WaitNode* head_ = nullptr;
  WaitNode* tail_ = nullptr;
  WaitNode* first_parked_ = nullptr;
  std::atomic<size_t> linked_{0};
};

}  // namespace velkor
