#include "python/completion.h"

#include "python/errors.h"
#include "python/types.h"
#include "runtime/context.h"

namespace velkor::py {

void Completion::set_outcome(Outcome outcome) {
  Outcome old;
  std::lock_guard lock(mu_);
  old = std::exchange(outcome_, std::move(outcome));
}

void Completion::finish() {
  std::vector<Waker> waiters;
  {
    std::lock_guard lock(mu_);
    finished_ = true;
    waiters.swap(waiters_);
  }
  for (Waker& w : waiters) std::move(w).wake();
}

void Completion::abandon() {
  {
    std::lock_guard lock(mu_);
    abandoned_ = true;
  }
  finish();
}

bool Completion::finished() {
  std::lock_guard lock(mu_);
  return finished_;
}

int Completion::traverse(visitproc visit, void* arg) {
  // mu_ is never held while waiting for the interpreter, so this cannot block
  // on a thread that waits for the collector.
  std::lock_guard lock(mu_);
  Py_VISIT(outcome_.object.get());
  return 0;
}

int traverse_completion(const std::shared_ptr<Completion>& completion, visitproc visit, void* arg) {
  // Only a sole owner reports. The count cannot rise meanwhile: a new share
  // is made only from an existing Python holder, which needs the interpreter.
  if (completion && completion.use_count() == 1) return completion->traverse(visit, arg);
  return 0;
}

namespace {
std::nullptr_t raise_cleared() {
  PyErr_SetString(PyExc_RuntimeError, "the task handle was cleared by the garbage collector");
  return nullptr;
}

std::nullptr_t raise_abandoned() {
  PyErr_SetString(PyExc_RuntimeError,
                  "the deferred call never ran: the interpreter was exiting");
  return nullptr;
}
}  // namespace

PyObject* Completion::poll_await(bool& iter_done) {
  auto deliver = [&](Outcome copy) -> PyObject* {
    iter_done = true;
    return abandoned_ ? raise_abandoned() : finish_await(std::move(copy));
  };
  {
    std::lock_guard lock(mu_);
    if (finished_) {
      Outcome copy{outcome_.kind, outcome_.object.copy()};
      return deliver(std::move(copy));
    }
  }
  return guarded([&]() -> PyObject* {
    RuntimeContext& ctx = runtime::current();
    Waker waker = std::move(ctx.current_waker);
    std::unique_lock lock(mu_);
    if (finished_) {
      // Finished between the two looks: hand the waker back to the step.
      Outcome copy{outcome_.kind, outcome_.object.copy()};
      lock.unlock();
      if (auto* again = runtime::try_current()) again->current_waker = std::move(waker);
      return deliver(std::move(copy));
    }
    if (waker) {
      bool parked = false;
      for (const Waker& w : waiters_) parked = parked || w.wakes_same_task(waker);
      if (!parked) waiters_.push_back(std::move(waker));
    }
    return pending_marker();
  });
}

namespace {

PyObject* iter_step(PyObject* self) {
  HandleIter& it = Box<HandleIter>::of(self);
  if (it.done) return nullptr;
  if (!it.completion) return raise_cleared();
  PyObject* result = it.completion->poll_await(it.done);
  // A finished iterator never looks at the completion again; letting go of it
  // leaves the handle as the sole owner, whose traversal then reports the
  // outcome (see traverse_completion).
  if (it.done) it.completion.reset();
  return result;
}

PyObject* iter_send(PyObject* self, PyObject*) { return send_result(iter_step(self)); }

PyMethodDef iter_methods[] = {
    {"send", iter_send, METH_O, "send($self, _val)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot iter_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(delete_object<HandleIter>)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse_handle<HandleIter>)},
    {Py_tp_clear, reinterpret_cast<void*>(clear_handle<HandleIter>)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(iter_step)},
    {Py_tp_methods, iter_methods},
    {0, nullptr},
};

}  // namespace

PyObject* new_handle_iter(PyTypeObject* type, const std::shared_ptr<Completion>& completion) {
  if (!type) return nullptr;
  if (!completion) return raise_cleared();
  return new_object<HandleIter>(type, completion, false);
}

PyType_Spec* handle_iter_spec(const char* spec_name) {
  return new PyType_Spec{spec_name, sizeof(Box<HandleIter>), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC |
                             Py_TPFLAGS_DISALLOW_INSTANTIATION,
                         iter_slots};
}

}  // namespace velkor::py
