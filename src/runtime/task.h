#pragma once
// A Task is what the loop polls: an owned, type-erased future with no output.
#include "runtime/function.h"
#include "runtime/waker.h"

namespace velkor {

enum class Poll { Ready, Pending };

class Task {
 public:
  virtual ~Task() = default;
  // Called by the loop's task phase on the loop thread with a waker for this
  // task. Ready means finished: the loop then destroys the task.
  virtual Poll poll(const Waker& waker) = 0;
  // Visits the foreign objects the task holds (see Visitor); only called
  // while the task sits in its loop's table, never during a poll.
  virtual int traverse(const Visitor&) const { return 0; }

 private:
  friend class EventLoop;
  Waker waker_;  // made by the loop for the first poll, reused by later ones
};

}  // namespace velkor
