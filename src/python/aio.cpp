// The hot path of velkor.EventLoop: asyncio handles queued on a PyEventLoop's
// engine and run natively. A queued handle is run the way asyncio runs one:
// skipped once cancelled, its callback called with its arguments inside its
// context; an exception goes to the loop's `on_error(handle, exc)`, which
// reports it (or, for SystemExit and KeyboardInterrupt, ends the run).
#include "python/aio.h"

#include <cmath>

#include "python/errors.h"
#include "python/loop_full.h"
#include "python/types.h"
#include "runtime/instant.h"
#include "runtime/panic.h"

namespace velkor::py {

namespace {

struct HandleNames {
  PyObject* cancelled;
  PyObject* callback;
  PyObject* args;
  PyObject* context;
};

const HandleNames& handle_names() {
  static const HandleNames names = {
      PyUnicode_InternFromString("_cancelled"),
      PyUnicode_InternFromString("_callback"),
      PyUnicode_InternFromString("_args"),
      PyUnicode_InternFromString("_context"),
  };
  return names;
}

// Reports the pending exception of a handle's run to `on_error`.
void report_failure(PyObject* handle, PyObject* on_error) {
  Ref exc = Ref::steal(PyErr_GetRaisedException());
  Ref ignored = Ref::steal(PyObject_CallFunctionObjArgs(on_error, handle, exc.get(), nullptr));
  if (!ignored) PyErr_WriteUnraisable(on_error);
}

// Calls the handle's callback inside its context; false with an exception set.
bool call_in_context(PyObject* handle) {
  const HandleNames& n = handle_names();
  Ref callback = Ref::steal(PyObject_GetAttr(handle, n.callback));
  Ref args = callback ? Ref::steal(PyObject_GetAttr(handle, n.args)) : Ref();
  Ref context = args ? Ref::steal(PyObject_GetAttr(handle, n.context)) : Ref();
  if (!context) return false;
  if (!PyTuple_Check(args.get())) {
    args = Ref::steal(PySequence_Tuple(args.get()));
    if (!args) return false;
  }
  if (PyContext_Enter(context.get()) < 0) return false;
  Ref result = Ref::steal(PyObject_Call(callback.get(), args.get(), nullptr));
  if (!result) {
    ErrorSaved keep;  // the callback's exception outlives the context switch
    PyContext_Exit(context.get());
    return false;
  }
  return PyContext_Exit(context.get()) == 0;
}

// One queued handle: runs on the loop thread, attached.
struct RunHandle {
  Ref handle;
  Ref on_error;

  void operator()() {
    Attached attached;
    if (!attached.ok()) return;  // finalising: the references stay queued
    run();
    handle.reset();
    on_error.reset();
  }

  void run() {
    Ref cancelled = Ref::steal(PyObject_GetAttr(handle.get(), handle_names().cancelled));
    if (cancelled && cancelled.get() == Py_False && call_in_context(handle.get())) return;
    if (PyErr_Occurred()) report_failure(handle.get(), on_error.get());
  }
};

bool check_args(Py_ssize_t nargs, Py_ssize_t want, const char* name) {
  if (nargs == want) return true;
  PyErr_Format(PyExc_TypeError, "%s() takes exactly %zd arguments (%zd given)", name, want, nargs);
  return false;
}

}  // namespace

PyObject* queue_handle(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  if (!check_args(nargs, 2, "_queue_handle")) return nullptr;
  std::shared_ptr<SharedCore> core = event_loop_core(self);
  if (!core) return nullptr;
  core->push_soon(RunHandle{Ref::borrow(args[0]), Ref::borrow(args[1])});
  Py_RETURN_NONE;
}

PyObject* queue_handle_at(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  if (!check_args(nargs, 3, "_queue_handle_at")) return nullptr;
  double when = PyFloat_AsDouble(args[0]);
  if (when == -1.0 && PyErr_Occurred()) return nullptr;
  std::shared_ptr<SharedCore> core = event_loop_core(self);
  if (!core) return nullptr;
  double delay = when - velkor::loop_time();
  if (!(delay >= 0.0)) delay = 0.0;  // in the past, or NaN
  try {
    core->call_later(RunHandle{Ref::borrow(args[1]), Ref::borrow(args[2])}, delay);
  } catch (const Panic& p) {
    return raise_panic(p.what());
  }
  Py_RETURN_NONE;
}

}  // namespace velkor::py
