#pragma once
// The timer wheel: tasks waiting for a point in time. Despite the name it is a
// plain binary min-heap on the deadline; it lives in CoreData and is guarded by
// the core mutex.
#include <vector>

#include "runtime/heap.h"
#include "runtime/waker.h"

namespace velkor {

struct TimerEntry {
  Instant deadline;
  Waker waker;
};

class TimerWheel {
 public:
  void insert(Instant deadline, Waker waker) { heap_.push(TimerEntry{deadline, std::move(waker)}); }
  const Instant* earliest_deadline() const { return heap_.earliest(); }
  size_t size() const { return heap_.size(); }

  // Appends the wakers of every entry due at `now` to `out`, earliest first.
  void take_expired(Instant now, std::vector<Waker>& out) {
    while (!heap_.empty() && *heap_.earliest() <= now) out.push_back(heap_.pop().waker);
  }

 private:
  DeadlineHeap<TimerEntry> heap_;
};

}  // namespace velkor
