#include "python/types.h"

#include "python/errors.h"

#include <cstdint>
#include <utility>

namespace velkor::py {

PyTypeObject* shared_type(PyObject*& slot, PyType_Spec* spec) {
  return reinterpret_cast<PyTypeObject*>(
      create_once(slot, [spec] { return PyType_FromSpec(spec); }));
}

namespace {

// The StopIteration that ends native awaits on this thread. The awaiting
// frame takes the value out and drops the exception at once, so instead of
// allocating an exception and its args tuple for every completion with
// bytes or an int (and freeing both a moment later) one is reused while its
// owner holds the only reference. The owner is the thread state's dict (which releases it with
// the thread state); the thread-local entry remembers, by id, which thread
// state the borrowed pointer belongs to: interpreter ids are never reused in
// a process, nor thread state ids in an interpreter, so a thread state that
// was cleared (taking the exception with it) never matches again.
struct StopIterationCache {
  int64_t interpreter = -1;
  uint64_t thread_state = 0;
  PyObject* exc = nullptr;  // borrowed from the thread state's dict
};
thread_local StopIterationCache t_stop_cache;

bool is_fresh_stop_iteration(PyObject* exc) {
  if (Py_TYPE(exc) != reinterpret_cast<PyTypeObject*>(PyExc_StopIteration)) return false;
  auto* e = reinterpret_cast<PyStopIterationObject*>(exc);
  // Seen by someone (a traceback, a chained context, notes): not ours to reuse.
  return !e->dict && !e->notes && !e->traceback && !e->context && !e->cause && !e->suppress_context &&
         e->args && PyTuple_CheckExact(e->args);
}

// The thread state's reusable StopIteration (borrowed), replaced by a new one
// when the old one is held elsewhere or was seen; nullptr when there is none
// to have (no thread state, or an allocation failed: the error is cleared and
// the caller allocates in the ordinary way).
PyObject* reusable_stop_iteration() {
  PyThreadState* ts = PyThreadState_GetUnchecked();
  if (!ts) return nullptr;
  StopIterationCache& cache = t_stop_cache;
  const int64_t interpreter = PyInterpreterState_GetID(PyThreadState_GetInterpreter(ts));
  const uint64_t id = PyThreadState_GetID(ts);
  if (cache.exc && cache.interpreter == interpreter && cache.thread_state == id && Py_REFCNT(cache.exc) == 1 &&
      is_fresh_stop_iteration(cache.exc)) {
    return cache.exc;
  }
  cache.exc = nullptr;
  PyObject* dict = PyThreadState_GetDict();
  PyObject* made = dict ? PyObject_CallOneArg(PyExc_StopIteration, Py_None) : nullptr;
  // Keyed by the StopIteration class itself: an object every interpreter
  // shares, and one no other code uses as a key there.
  if (!made || PyDict_SetItem(dict, PyExc_StopIteration, made) < 0) {
    Py_XDECREF(made);
    PyErr_Clear();
    return nullptr;
  }
  Py_DECREF(made);  // the dict's reference keeps it
  cache = {interpreter, id, made};
  return made;
}

}  // namespace

void set_stop_iteration(PyObject* value) {
  // No exception at all is the cheapest way to end an await with None.
  if (value == Py_None) return;
  // The reused exception keeps its value until the next completion: only
  // plain data (what reads and writes give) may outlive its use that way; a
  // connection, a task or anything with a finaliser must go when its user
  // drops it.
  const bool plain = PyBytes_CheckExact(value) || PyLong_CheckExact(value);
  PyObject* exc = plain ? reusable_stop_iteration() : nullptr;
  if (!exc) {
    exc = PyObject_CallOneArg(PyExc_StopIteration, value);
    // Raised as is: the awaiting frame consumes it at once, so the context
    // chaining PyErr_SetObject would do is wasted work on every completion.
    if (exc) PyErr_SetRaisedException(exc);
    return;
  }
  auto* e = reinterpret_cast<PyStopIterationObject*>(exc);
  PyObject* args = e->args;
  PyObject* fresh_args = nullptr;
  if (Py_REFCNT(args) != 1 || PyTuple_GET_SIZE(args) != 1) {  // someone kept e.args: leave it alone
    fresh_args = PyTuple_Pack(1, value);
    if (!fresh_args) return;
  }
  // Ours from here: a finaliser run by the releases below finds it in use.
  Py_INCREF(exc);
  PyObject* old_value = std::exchange(e->value, Py_NewRef(value));
  PyObject* old_item = nullptr;
  if (fresh_args) {
    e->args = fresh_args;
  } else {
    // Only the exception holds the tuple: refill it as the interpreter's own
    // iterators refill their result tuples, forgetting a cached hash and
    // tracking it again in case the collector untracked it.
    old_item = PyTuple_GET_ITEM(args, 0);
    PyTuple_SET_ITEM(args, 0, Py_NewRef(value));
    reinterpret_cast<PyTupleObject*>(args)->ob_hash = -1;
    if (!PyObject_GC_IsTracked(args)) PyObject_GC_Track(args);
  }
  Py_XDECREF(old_value);
  Py_XDECREF(old_item);
  if (fresh_args) Py_DECREF(args);
  PyErr_SetRaisedException(exc);
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
