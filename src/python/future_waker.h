#pragma once
#include "python/pyref.h"

namespace velkor::py {

// Offers a yielded object the current task's wake-up: when it has
// add_done_callback, a TaskWakerCallback for the task being polled is added.
// Best effort: every failure is discarded. Called attached, during a step.
// True when the callback was added: the task is then parked on `yielded`.
bool maybe_register_future_waker(PyObject* yielded);

// The future a task is parked on: an object it yielded that took the task's
// wake-up callback. A wake-up while that future is not done yet is a stray
// one (an old timer, a cancel waker), and the coroutine must not be resumed
// then: a future's __await__ refuses to go on before the future is done.
class AwaitedFuture {
 public:
  void remember(Ref future) { future_ = std::move(future); }
  void forget() { future_.reset(); }
  bool remembered() const { return static_cast<bool>(future_); }
  // True when the remembered future says it is not done (done() returned a
  // false value); the task then stays parked and keeps the future. Otherwise
  // (none remembered, done, or no usable done()) the future is forgotten.
  // Called attached.
  bool still_pending();

 private:
  Ref future_;
};

}  // namespace velkor::py
