// TaskWakerCallback: a Python callable that wakes one task of one loop, used
// as a done callback on awaited futures and as a task object's cancel waker.
#include "python/task_waker.h"

#include "python/errors.h"
#include "python/future_waker.h"
#include "python/types.h"
#include "runtime/context.h"

namespace velkor::py {

namespace {

struct TaskWakerCallback {
  std::shared_ptr<SharedCore> core;
  TaskId task_id;
};

PyObject* g_type = nullptr;

// __call__(_result): may run on any thread; needs no runtime context.
PyObject* callback_call(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"_result", nullptr};
  PyObject* result;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:TaskWakerCallback", const_cast<char**>(kwlist),
                                   &result)) {
    return nullptr;
  }
  TaskWakerCallback& cb = Box<TaskWakerCallback>::of(self);
  cb.core->wake_task(cb.task_id);
  Py_RETURN_NONE;
}

PyObject* callback_repr(PyObject* self) {
  return PyUnicode_FromFormat("<TaskWakerCallback task_id=%llu>",
                              static_cast<unsigned long long>(Box<TaskWakerCallback>::of(self).task_id));
}

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("A Python-callable object that wakes a task when called.\n"
                                  "Used as a callback for Future.add_done_callback().")},
    {Py_tp_dealloc, reinterpret_cast<void*>(delete_object<TaskWakerCallback>)},
    {Py_tp_call, reinterpret_cast<void*>(callback_call)},
    {Py_tp_repr, reinterpret_cast<void*>(callback_repr)},
    {0, nullptr},
};
PyType_Spec spec = {"_velkor.TaskWakerCallback", sizeof(Box<TaskWakerCallback>), 0,
                    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                    slots};

}  // namespace

PyTypeObject* task_waker_callback_type() { return shared_type(g_type, &spec); }

PyObject* new_task_waker_callback(std::shared_ptr<SharedCore> core, TaskId id) {
  PyTypeObject* type = task_waker_callback_type();
  if (!type) return nullptr;
  return new_object<TaskWakerCallback>(type, std::move(core), id);
}

bool maybe_register_future_waker(PyObject* yielded) {
  PyObject* add_done_callback = nullptr;
  if (PyObject_GetOptionalAttr(yielded, names().add_done_callback, &add_done_callback) <= 0) {
    PyErr_Clear();
    return false;
  }
  Ref method = Ref::steal(add_done_callback);
  RuntimeContext& ctx = runtime::current();
  if (!ctx.current_task) return false;
  Ref callback = Ref::steal(new_task_waker_callback(ctx.core, *ctx.current_task));
  Ref added = callback ? Ref::steal(PyObject_CallOneArg(method.get(), callback.get())) : Ref();
  PyErr_Clear();
  return static_cast<bool>(added);
}

bool AwaitedFuture::still_pending() {
  if (!future_) return false;
  Ref done = Ref::steal(PyObject_CallMethodNoArgs(future_.get(), names().done));
  int truth = done ? PyObject_IsTrue(done.get()) : -1;
  if (truth < 0) PyErr_Clear();
  if (truth == 0) return true;
  future_.reset();
  return false;
}

}  // namespace velkor::py
