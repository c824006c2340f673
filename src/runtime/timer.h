#pragma once
// The timer wheel: tasks waiting for a point in time. Despite the name it is a
// plain binary min-heap on the deadline; it lives in CoreData and is guarded by
// the core mutex.
//
// An entry inserted with a handle can be cancelled (a sleep that ended early
// withdraws its entry). A cancelled entry never wakes anything. It leaves the
// heap at once when it is the earliest; otherwise it is only counted, and once
// more than half of the entries are cancelled they all leave in one pass. So
// the heap holds at most about twice the live entries, and the earliest entry
// is never a cancelled one.
#include <cstddef>
#include <memory>
#include <vector>

#include "runtime/heap.h"
#include "runtime/waker.h"

namespace velkor {

// The cancellation side of one entry, shared by the entry and whoever may
// cancel it. Read and written only under the core mutex.
struct TimerHandle {
  bool queued = true;  // the entry is still in the wheel
  bool cancelled = false;
};

struct TimerEntry {
  Instant deadline;
  Waker waker;
  std::shared_ptr<TimerHandle> handle;  // null: the entry cannot be cancelled
};

class TimerWheel {
 public:
  // Below this many cancelled entries the heap is never compacted: a pass
  // over a handful of entries costs more than it saves.
  static constexpr size_t kMinCompaction = 64;

  void insert(Instant deadline, Waker waker) {
    heap_.push(TimerEntry{deadline, std::move(waker), nullptr});
  }

  std::shared_ptr<TimerHandle> insert_cancellable(Instant deadline, Waker waker) {
    auto handle = std::make_shared<TimerHandle>();
    heap_.push(TimerEntry{deadline, std::move(waker), handle});
    return handle;
  }

  // Withdraws the entry of `handle` (nothing if it already left the wheel).
  // Entries taken out of the heap are moved to `removed`, so that the caller
  // destroys their wakers after unlocking.
  void cancel(TimerHandle& handle, std::vector<TimerEntry>& removed) {
    if (!handle.queued || handle.cancelled) return;
    handle.cancelled = true;
    ++cancelled_;
    if (cancelled_ >= kMinCompaction && cancelled_ * 2 > heap_.size()) {
      heap_.remove_if([](const TimerEntry& e) { return e.handle && e.handle->cancelled; }, removed);
      for (TimerEntry& e : removed) e.handle->queued = false;
      cancelled_ = 0;
    } else {
      drop_cancelled_roots(removed);
    }
  }

  const Instant* earliest_deadline() const { return heap_.earliest(); }
  bool empty() const { return heap_.empty(); }
  // Entries in the heap, cancelled ones not yet removed included.
  size_t size() const { return heap_.size(); }
  size_t cancelled() const { return cancelled_; }

  // Appends the wakers of every live entry due at `now` to `out`, earliest
  // first. Cancelled entries met on the way are dropped.
  void take_expired(Instant now, std::vector<Waker>& out) {
    while (!heap_.empty() && *heap_.earliest() <= now) {
      TimerEntry entry = pop();
      if (!entry.handle || !entry.handle->cancelled) out.push_back(std::move(entry.waker));
    }
    std::vector<TimerEntry> dropped;
    drop_cancelled_roots(dropped);
  }

 private:
  TimerEntry pop() {
    TimerEntry entry = heap_.pop();
    if (entry.handle) {
      entry.handle->queued = false;
      if (entry.handle->cancelled) --cancelled_;
    }
    return entry;
  }

  void drop_cancelled_roots(std::vector<TimerEntry>& removed) {
    while (!heap_.empty()) {
      const TimerEntry& root = heap_.top();
      if (!root.handle || !root.handle->cancelled) return;
      removed.push_back(pop());
    }
  }

  DeadlineHeap<TimerEntry> heap_;
  size_t cancelled_ = 0;  // cancelled entries still in heap_
};

}  // namespace velkor
