// PyWakerQueue: the native half of synchronisation primitives written in
// Python. Python keeps the state (locked, counter, set); the queue only parks
// the current task by storing its waker and wakes stored wakers on request.
#include "python/sync.h"

#include <memory>
#include <mutex>
#include <vector>

#include "python/errors.h"
#include "python/types.h"
#include "runtime/context.h"

namespace velkor::py {

namespace {

// The stored wakers, first in first out, behind a mutex that serialises the
// four operations from any thread. Lock order: this lock, then (inside a
// wake) the core mutex. A vector with a read position costs nothing while
// empty, which matters because Python code makes one queue per waiting task.
struct WakerQueue {
  std::mutex mu;
  std::vector<Waker> wakers;
  size_t head = 0;  // wakers before it were taken out

  size_t size() const { return wakers.size() - head; }
  Waker pop_front() {
    Waker w = std::move(wakers[head++]);
    if (head == wakers.size()) {
      wakers.clear();
      head = 0;
    }
    return w;
  }
};

PyObject* g_type = nullptr;

PyObject* queue_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {nullptr};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, ":PyWakerQueue", const_cast<char**>(kwlist))) {
    return nullptr;
  }
  return new_object<WakerQueue>(type);
}

PyObject* store_waker(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    Waker waker = runtime::take_current_waker();
    if (!waker) {
      PyErr_SetString(PyExc_RuntimeError, "cannot park outside of a task");
      return nullptr;
    }
    WakerQueue& q = Box<WakerQueue>::of(self);
    std::lock_guard lock(q.mu);
    q.wakers.push_back(std::move(waker));
    Py_RETURN_NONE;
  });
}

PyObject* wake_one(PyObject* self, PyObject*) {
  WakerQueue& q = Box<WakerQueue>::of(self);
  std::lock_guard lock(q.mu);
  if (q.size() != 0) q.pop_front().wake();
  Py_RETURN_NONE;
}

PyObject* wake_all(PyObject* self, PyObject*) {
  WakerQueue& q = Box<WakerQueue>::of(self);
  std::vector<Waker> batch;
  {
    std::lock_guard lock(q.mu);
    batch.reserve(q.size());
    while (q.size() != 0) batch.push_back(q.pop_front());
  }
  for (Waker& w : batch) std::move(w).wake();
  Py_RETURN_NONE;
}

PyObject* queue_len(PyObject* self, PyObject*) {
  WakerQueue& q = Box<WakerQueue>::of(self);
  size_t n;
  {
    std::lock_guard lock(q.mu);
    n = q.size();
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
