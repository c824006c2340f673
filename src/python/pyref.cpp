#include "python/pyref.h"

#include <atomic>
#include <mutex>
#include <vector>

namespace velkor::py {

namespace {

// References released while detached. A leaked heap object, so that threads
// exiting after static destruction can still queue into it.
struct DeferredReleases {
  std::mutex mu;
  std::vector<PyObject*> objects;
  std::atomic<bool> nonempty{false};
};

DeferredReleases& deferred() {
  static auto* queue = new DeferredReleases;
  return *queue;
}

}  // namespace

void release_ref(PyObject* obj) noexcept {
  if (!obj) return;
  if (thread_is_attached()) {
    Py_DECREF(obj);
    return;
  }
  auto& q = deferred();
  std::lock_guard lock(q.mu);
  q.objects.push_back(obj);
  q.nonempty.store(true, std::memory_order_release);
}

void drain_deferred_releases() noexcept {
  auto& q = deferred();
  if (!q.nonempty.load(std::memory_order_acquire)) return;
  std::vector<PyObject*> batch;
  {
    std::lock_guard lock(q.mu);
    batch.swap(q.objects);
    q.nonempty.store(false, std::memory_order_release);
  }
  // Finalisers run by these releases may queue more; they are drained next time.
  for (PyObject* obj : batch) Py_DECREF(obj);
}

Attached::Attached() {
  if (Py_IsFinalizing()) return;
  state_ = PyGILState_Ensure();
  ok_ = true;
  drain_deferred_releases();
}

Attached::~Attached() {
  if (ok_) PyGILState_Release(state_);
}

const Names& names() {
  static const Names n = [] {
    auto intern = [](const char* s) { return PyUnicode_InternFromString(s); };
    return Names{intern("send"),         intern("value"),       intern("__await__"),
                 intern("throw"),        intern("add_done_callback"), intern("_loop"),
                 intern("_must_cancel"), intern("_cancel_waker"), intern("_running_task")};
  }();
  return n;
}

}  // namespace velkor::py
