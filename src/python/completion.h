#pragma once
// The shared handle code of spawned tasks and deferred calls.
//
// A Completion connects one producer (the task's driver, a pool worker) with
// any number of awaiting handles. The producer stores the outcome, may do more
// work (a deferred call's callback), then finishes the completion, which wakes
// every parked awaiter. A handle keeps its outcome: every await of it, before
// or after the end, concurrent or not, delivers the same value or raises the
// same exception object. Outcome and waiters share one mutex, so an awaiter
// that parks while the producer finishes on another thread is never missed.
#include <memory>
#include <mutex>
#include <vector>

#include "python/slots.h"
#include "runtime/waker.h"

namespace velkor::py {

class Completion {
 public:
  // Producer side.
  void set_outcome(Outcome outcome);
  // Marks the outcome as deliverable and wakes every parked awaiter.
  void finish();

  // Awaiter side: one poll of a handle iterator (StopIteration with the
  // value, the exception, or () after parking the current task).
  PyObject* poll_await(bool& iter_done);

  bool finished();

 private:
  std::mutex mu_;
  Outcome outcome_;
  bool finished_ = false;
  std::vector<Waker> waiters_;
};

// The Python iterator classes behind awaitable handles share these fields.
struct HandleIter {
  std::shared_ptr<Completion> completion;
  bool done = false;
};

// A new iterator of `type` over `completion`.
PyObject* new_handle_iter(PyTypeObject* type, const std::shared_ptr<Completion>& completion);

// Slots shared by every handle iterator class (dealloc, __iter__, __next__,
// send, am_send). `spec_name` is the class's qualified name.
PyType_Spec* handle_iter_spec(const char* spec_name);

}  // namespace velkor::py
