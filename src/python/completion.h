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
#include "python/types.h"
#include "runtime/waker.h"

namespace velkor::py {

class Completion {
 public:
  // Producer side.
  void set_outcome(Outcome outcome);
  // Marks the outcome as deliverable and wakes every parked awaiter.
  void finish();
  // Finishes without an outcome because the producer will never run (needs
  // no interpreter): every await raises RuntimeError saying so.
  void abandon();

  // Awaiter side: one poll of a handle iterator (StopIteration with the
  // value, the exception, or () after parking the current task).
  PyObject* poll_await(bool& iter_done);

  bool finished();

  // Visits the outcome for the cyclic garbage collector (attached).
  int traverse(visitproc visit, void* arg);

 private:
  std::mutex mu_;
  Outcome outcome_;
  bool finished_ = false;
  bool abandoned_ = false;
  std::vector<Waker> waiters_;
};

// The Python iterator classes behind awaitable handles share these fields.
struct HandleIter {
  std::shared_ptr<Completion> completion;
  bool done = false;
};

// Garbage-collector support for the Python objects that hold a Completion
// (handles and their iterators). A failure's traceback can hold the frame that
// holds the handle, so handles take part in the cyclic collector. The outcome
// counts as the object's own reference only while the object is the sole
// owner of the completion: then it is reachable through that object alone.
// With other owners (the producer, another handle or iterator) nothing is
// reported, which can leave such a cycle uncollected but never lets the
// collector free an object that is still in use.
int traverse_completion(const std::shared_ptr<Completion>& completion, visitproc visit, void* arg);

template <class Fields>
int traverse_handle(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  return traverse_completion(Box<Fields>::of(self).completion, visit, arg);
}

// tp_clear: drops the object's share of the completion. The object then
// raises RuntimeError when awaited or stepped (reachable only from finalisers
// of the collected cycle).
template <class Fields>
int clear_handle(PyObject* self) {
  std::shared_ptr<Completion> dropped = std::move(Box<Fields>::of(self).completion);
  return 0;
}

// A new iterator of `type` over `completion`.
PyObject* new_handle_iter(PyTypeObject* type, const std::shared_ptr<Completion>& completion);

// Slots shared by every handle iterator class (dealloc, __iter__, __next__,
// send, am_send). `spec_name` is the class's qualified name.
PyType_Spec* handle_iter_spec(const char* spec_name);

}  // namespace velkor::py
