#include "python/types.h"

#include "python/errors.h"
#include "runtime/context.h"
#include "runtime/tls.h"

namespace velkor::py {

PyTypeObject* shared_type(PyObject*& slot, PyType_Spec* spec) {
  return reinterpret_cast<PyTypeObject*>(
      create_once(slot, [spec] { return PyType_FromSpec(spec); }));
}

namespace {

// StopIteration(value), made without a call through the type: the instance
// is allocated and filled in as the exception's constructor and initialiser
// would leave it (args a 1-tuple holding the value, value set, the rest
// empty). Calling the class costs a generic call, an argument check and a
// second reference shuffle on every completed await.
PyObject* new_stop_iteration(PyObject* value) {
  auto* type = reinterpret_cast<PyTypeObject*>(PyExc_StopIteration);
  PyObject* args = PyTuple_New(1);
  if (!args) return nullptr;
  PyTuple_SET_ITEM(args, 0, Py_NewRef(value));
  // tp_alloc zeroes the instance: no dict, notes, traceback, cause or context.
  auto* exc = reinterpret_cast<PyStopIterationObject*>(type->tp_alloc(type, 0));
  if (!exc) {
    Py_DECREF(args);
    return nullptr;
  }
  exc->args = args;
  exc->value = Py_NewRef(value);
  return reinterpret_cast<PyObject*>(exc);
}

// Every await that completes with a value other than None raises a
// StopIteration, which the awaiting frame takes apart at once. Allocating and
// freeing one per await was the largest single cost of a socket round trip,
// so each thread keeps one for reuse while a run is on it:
// - reused only while nothing but this cell refers to it and it is exactly as
//   made (no traceback, context, cause, notes, dict; args its own 1-tuple);
// - its value is dropped at the end of the task step that lent it
//   (`release_await_value`), so a result lives no longer than the step that
//   received it; a coroutine stepped by some other driver (asyncio's own
//   Task, say) leaves it there until the thread's next completed await or
//   the end of the run;
// - an exception handed to Python code (the `send` method, a catch by hand)
//   is left to that code at the next reuse or step end, and is never
//   changed once someone else holds it;
// - the run drops it when it ends.
struct RecycledStop {
  PyObject* exc = nullptr;                // owned StopIteration of `interp`
  PyInterpreterState* interp = nullptr;
};

VELKOR_HOT_TLS thread_local RecycledStop t_recycled;

PyInterpreterState* current_interpreter() { return PyThreadState_GetUnchecked()->interp; }

bool reusable(PyObject* obj) {
  auto* exc = reinterpret_cast<PyStopIterationObject*>(obj);
  PyObject* args = exc->args;
  return Py_REFCNT(obj) == 1 && !exc->dict && !exc->notes && !exc->traceback && !exc->context &&
         !exc->cause && !exc->suppress_context && args && PyTuple_CheckExact(args) &&
         PyTuple_GET_SIZE(args) == 1 && Py_REFCNT(args) == 1;
}

// Puts `value` (a new reference) in the args item and the value field of a
// reusable instance; returns what they held, for the caller to release.
std::pair<PyObject*, PyObject*> swap_values(PyObject* obj, PyObject* value) {
  auto* exc = reinterpret_cast<PyStopIterationObject*>(obj);
  auto* args = reinterpret_cast<PyTupleObject*>(exc->args);
  PyObject* old_item = std::exchange(args->ob_item[0], Py_NewRef(value));
  args->ob_hash = -1;  // the tuple's cached hash, if anyone asked for one
  // The collector stops tracking a tuple of atomic items; a container may
  // come in now.
  if (!PyObject_GC_IsTracked(exc->args)) PyObject_GC_Track(exc->args);
  PyObject* old_value = std::exchange(exc->value, value);
  return {old_item, old_value};
}

bool holds_only_none(PyObject* obj) {
  auto* exc = reinterpret_cast<PyStopIterationObject*>(obj);
  return exc->value == Py_None && PyTuple_GET_ITEM(exc->args, 0) == Py_None;
}

// Forgets the kept instance (its last reference may run finalisers).
void forget_recycled() {
  PyObject* exc = std::exchange(t_recycled.exc, nullptr);
  Py_XDECREF(exc);
}

}  // namespace

void set_stop_iteration(PyObject* value) {
  // No exception at all is the cheapest way to end an await with None.
  if (value == Py_None) return;
  PyObject* exc = t_recycled.exc;
  if (exc && t_recycled.interp == current_interpreter() && reusable(exc)) {
    // Taken first: a finaliser that the old values run finds it in use.
    Py_INCREF(exc);
    auto [old_item, old_value] = swap_values(exc, Py_NewRef(value));
    Py_DECREF(old_item);
    Py_DECREF(old_value);
    PyErr_SetRaisedException(exc);
    return;
  }
  exc = new_stop_iteration(value);
  if (!exc) return;
  // Kept for the next await only inside a run, which drops it at its end.
  if (runtime::try_current() && (!t_recycled.exc || t_recycled.interp == current_interpreter())) {
    PyObject* old = std::exchange(t_recycled.exc, Py_NewRef(exc));
    t_recycled.interp = current_interpreter();
    Py_XDECREF(old);  // finalisers it runs may reuse or replace the new one: both are safe
  }
  // Raised as is: the awaiting frame consumes it at once, so the context
  // chaining PyErr_SetObject would do is wasted work on every completion.
  PyErr_SetRaisedException(exc);
}

void release_await_value() {
  PyObject* exc = t_recycled.exc;
  if (!exc || holds_only_none(exc) || t_recycled.interp != current_interpreter()) return;
  if (!reusable(exc)) {
    forget_recycled();
    return;
  }
  auto [old_item, old_value] = swap_values(exc, Py_NewRef(Py_None));
  Py_DECREF(old_item);
  Py_DECREF(old_value);
}

void detach_raised_stop_iteration() {
  PyObject* raised = PyErr_GetRaisedException();
  if (raised == t_recycled.exc) forget_recycled();
  PyErr_SetRaisedException(raised);
}

void drop_recycled_stop_iteration() {
  // One that another interpreter made is not freed from this one: the end
  // of that interpreter's run on this thread drops it.
  if (t_recycled.exc && t_recycled.interp == current_interpreter()) forget_recycled();
}

bool float_argument(PyObject* obj, const char* name, double& out) {
  if (PyFloat_CheckExact(obj)) {
    out = PyFloat_AS_DOUBLE(obj);
    return true;
  }
  out = PyFloat_AsDouble(obj);
  if (out == -1.0 && PyErr_Occurred()) {
    add_argument_note(name);
    return false;
  }
  return true;
}

}  // namespace velkor::py
