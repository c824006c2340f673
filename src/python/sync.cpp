// PyWakerQueue: the native half of synchronisation primitives written in
// Python. Python keeps the state (locked, counter, set); the queue only parks
// the current task by storing its waker and wakes stored wakers on request.
#include "python/sync.h"

#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "python/errors.h"
#include "python/types.h"
#include "runtime/context.h"

namespace velkor::py {

namespace {

// Shared between the queue object and nothing else today; the mutex
// serialises the four operations from any thread. Lock order: this lock, then
// (inside a wake) the core mutex.
struct WakerDeque {
  std::mutex mu;
  std::deque<Waker> wakers;
};

struct WakerQueue {
  std::shared_ptr<WakerDeque> wakers;
};

PyObject* g_type = nullptr;

PyObject* queue_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {nullptr};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, ":PyWakerQueue", const_cast<char**>(kwlist))) {
    return nullptr;
  }
  return new_object<WakerQueue>(type, std::make_shared<WakerDeque>());
}

PyObject* store_waker(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    Waker waker = runtime::take_current_waker();
    if (!waker) {
      PyErr_SetString(PyExc_RuntimeError, "cannot park outside of a task");
      return nullptr;
    }
    WakerDeque& q = *Box<WakerQueue>::of(self).wakers;
    std::lock_guard lock(q.mu);
    q.wakers.push_back(std::move(waker));
    Py_RETURN_NONE;
  });
}

PyObject* wake_one(PyObject* self, PyObject*) {
  WakerDeque& q = *Box<WakerQueue>::of(self).wakers;
  std::lock_guard lock(q.mu);
  if (!q.wakers.empty()) {
    Waker waker = std::move(q.wakers.front());
    q.wakers.pop_front();
    std::move(waker).wake();
  }
  Py_RETURN_NONE;
}

PyObject* wake_all(PyObject* self, PyObject*) {
  WakerDeque& q = *Box<WakerQueue>::of(self).wakers;
  std::vector<Waker> batch;
  {
    std::lock_guard lock(q.mu);
    batch.reserve(q.wakers.size());
    for (Waker& w : q.wakers) batch.push_back(std::move(w));
    q.wakers.clear();
  }
  for (Waker& w : batch) std::move(w).wake();
  Py_RETURN_NONE;
}

PyObject* queue_len(PyObject* self, PyObject*) {
  WakerDeque& q = *Box<WakerQueue>::of(self).wakers;
  size_t n;
  {
    std::lock_guard lock(q.mu);
    n = q.wakers.size();
  }
  return PyLong_FromSize_t(n);
}

PyMethodDef methods[] = {
    {"store_waker", store_waker, METH_NOARGS,
     "store_waker($self)\n--\n\nStore the current task's waker so `wake_one` can unpark it later."},
    {"wake_one", wake_one, METH_NOARGS, "wake_one($self)\n--\n\n"},
    {"wake_all", wake_all, METH_NOARGS, "wake_all($self)\n--\n\n"},
    {"len", queue_len, METH_NOARGS, "len($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "PyWakerQueue()\n--\n\n"
                    "Minimal waker queue.  Python handles sync state (locked/value/set);\n"
                    "the native side only stores wakers and parks the current task.")},
    {Py_tp_new, reinterpret_cast<void*>(queue_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(delete_object<WakerQueue>)},
    {Py_tp_methods, methods},
    {0, nullptr},
};
PyType_Spec spec = {"_velkor.PyWakerQueue", sizeof(Box<WakerQueue>), 0,
                    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};

}  // namespace

PyTypeObject* waker_queue_type() { return shared_type(g_type, &spec); }

}  // namespace velkor::py
