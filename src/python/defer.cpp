// defer(func, *args, callback=None): a blocking call on the process-wide pool,
// awaited through a PyTaskHandle. On the worker the order is fixed: outcome
// stored, callback called, awaiting tasks woken.
#include "python/defer.h"

#include <atomic>
#include <memory>
#include <optional>

#include "python/completion.h"
#include "python/errors.h"
#include "python/types.h"
#include "runtime/context.h"
#include "task/pool.h"

namespace velkor::py {

namespace {

// One job on a pool worker: attached with the worker's own thread state,
// and counted, so that the interpreter's exit waits for it to end. Not ok()
// once the exit has begun: the job is then dropped without touching Python.
// An extra pool thread ends soon, so it takes a thread state for each job
// (Attached does, lacking a kept one) instead of adopting one for life.
class WorkerJob {
 public:
  WorkerJob()
      : started_((on_extra_pool_thread() || adopt_worker_thread_state()) && begin_worker_job()) {
    if (started_) attached_.emplace();
  }
  ~WorkerJob() {
    attached_.reset();
    if (started_) end_worker_job();
  }
  bool ok() const { return attached_ && attached_->ok(); }

 private:
  bool started_;
  std::optional<Attached> attached_;
};

struct PoolCall {
  Ref func;
  Ref args;
  Ref callback;
  std::shared_ptr<Completion> completion;

  void operator()() {
    WorkerJob job;
    if (!job.ok()) {
      // The interpreter is exiting: leak the references rather than touch
      // objects that may already be gone, and tell the awaiters.
      func.release();
      args.release();
      callback.release();
      completion->abandon();
      return;
    }
    Ref value = Ref::steal(PyObject_Call(func.get(), args.get(), nullptr));
    Outcome outcome = value ? Outcome{Outcome::Kind::Value, value.copy()}
                            : Outcome{Outcome::Kind::Failure, Ref::steal(PyErr_GetRaisedException())};
    completion->set_outcome(std::move(outcome));
    if (callback) {
      Ref ignored = Ref::steal(PyObject_CallOneArg(callback.get(), value ? value.get() : Py_None));
      PyErr_Clear();
    }
    value.reset();
    func.reset();
    args.reset();
    callback.reset();
    completion->finish();
  }
};

struct TaskHandle {
  std::shared_ptr<std::atomic<bool>> cancelled;
  std::shared_ptr<Completion> completion;
};

PyObject* g_handle_type = nullptr;
PyObject* g_iter_type = nullptr;

PyObject* handle_cancel(PyObject* self, PyObject*) {
  Box<TaskHandle>::of(self).cancelled->store(true);
  Py_RETURN_NONE;
}

PyObject* handle_is_cancelled(PyObject* self, PyObject*) {
  return PyBool_FromLong(Box<TaskHandle>::of(self).cancelled->load());
}

PyObject* handle_await(PyObject* self) {
  return new_handle_iter(task_iter_type(), Box<TaskHandle>::of(self).completion);
}

PyMethodDef handle_methods[] = {
    {"cancel", handle_cancel, METH_NOARGS, "cancel($self)\n--\n\n"},
    {"is_cancelled", handle_is_cancelled, METH_NOARGS, "is_cancelled($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot handle_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(delete_object<TaskHandle>)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse_handle<TaskHandle>)},
    {Py_tp_clear, reinterpret_cast<void*>(clear_handle<TaskHandle>)},
    {Py_tp_methods, handle_methods},
    {Py_am_await, reinterpret_cast<void*>(handle_await)},
    {0, nullptr},
};
PyType_Spec handle_spec = {"_velkor.PyTaskHandle", sizeof(Box<TaskHandle>), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC |
                               Py_TPFLAGS_DISALLOW_INSTANTIATION,
                           handle_slots};

}  // namespace

PyTypeObject* task_handle_type() { return shared_type(g_handle_type, &handle_spec); }

PyTypeObject* task_iter_type() {
  static PyType_Spec* spec = handle_iter_spec("_velkor.PyTaskIter");
  return shared_type(g_iter_type, spec);
}

namespace {

enum class Placement { Pool, Growing };

PyObject* submit_call(PyObject* args, PyObject* callback, Placement placement) {
  Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (pool_closed_for_exit()) {
    PyErr_SetString(PyExc_RuntimeError,
                    "velkor.defer() cannot start a call: the interpreter is exiting");
    return nullptr;
  }
  PyTypeObject* handle_type = task_handle_type();
  if (!handle_type) return nullptr;
  Ref call_args = Ref::steal(PyTuple_GetSlice(args, 1, nargs));
  if (!call_args) return nullptr;
  return guarded([&]() -> PyObject* {
    RuntimeContext& ctx = runtime::current();
    auto completion = std::make_shared<Completion>();
    Ref handle = Ref::steal(new_object<TaskHandle>(
        handle_type, std::make_shared<std::atomic<bool>>(false), completion));
    if (!handle) return nullptr;
    PoolCall call{Ref::borrow(PyTuple_GET_ITEM(args, 0)), std::move(call_args),
                  callback == Py_None ? Ref() : Ref::borrow(callback), completion};
    if (placement == Placement::Growing) {
      ctx.pool->submit_growing(std::move(call));
    } else {
      ctx.pool->submit(std::move(call));
    }
    return handle.release();
  });
}

bool has_func(PyObject* args, const char* name) {
  if (PyTuple_GET_SIZE(args) >= 1) return true;
  PyErr_Format(PyExc_TypeError, "%s() missing required argument 'func' (pos 1)", name);
  return false;
}

}  // namespace

PyObject* defer(PyObject*, PyObject* args, PyObject* kwargs) {
  if (!has_func(args, "defer")) return nullptr;
  PyObject* callback = Py_None;
  if (kwargs) {
    static const char* kwlist[] = {"callback", nullptr};
    Ref empty = Ref::steal(PyTuple_New(0));
    if (!empty || !PyArg_ParseTupleAndKeywords(empty.get(), kwargs, "|$O:defer",
                                               const_cast<char**>(kwlist), &callback)) {
      return nullptr;
    }
  }
  return submit_call(args, callback, Placement::Pool);
}

PyObject* defer_growing(PyObject*, PyObject* args) {
  if (!has_func(args, "_defer_growing")) return nullptr;
  return submit_call(args, Py_None, Placement::Growing);
}

}  // namespace velkor::py
