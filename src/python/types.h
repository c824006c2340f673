#pragma once
// Heap types: built from their PyType_Spec once per process and shared by
// every module object (and every interpreter that imports the module).
#include <atomic>
#include <new>
#include <utility>

#include "python/pyref.h"

namespace velkor::py {

// Returns the object in the process-wide cell `slot` (borrowed), calling
// `make` (a new reference or nullptr with an error set) on first use. `make`
// runs without the cell's lock held: building a type or an exception class
// can run the collector and finalisers, which may come back here. When two
// threads race, the first to publish wins and the other's object is dropped.
template <class Make>
PyObject* create_once(PyObject*& slot, Make make) {
  // Published once and never changed: every later call (each awaitable a
  // socket operation makes, say) reads it without the lock.
  std::atomic_ref<PyObject*> published(slot);
  if (PyObject* existing = published.load(std::memory_order_acquire)) return existing;
  static PyMutex mu;
  PyObject* made = make();
  if (!made) return nullptr;
  PyMutex_Lock(&mu);
  if (!published.load(std::memory_order_relaxed)) published.store(std::exchange(made, nullptr), std::memory_order_release);
  PyObject* existing = published.load(std::memory_order_relaxed);
  PyMutex_Unlock(&mu);
  Py_XDECREF(made);
  return existing;
}

// Returns a borrowed reference to the type built from `spec`, creating it on
// first use. `slot` is the process-wide cell for that type.
PyTypeObject* shared_type(PyObject*& slot, PyType_Spec* spec);

// A Python object whose C++ state is `Fields`, constructed in place after
// the header and destroyed before the memory is freed.
template <class Fields>
struct Box {
  PyObject_HEAD
  Fields f;

  static Fields& of(PyObject* obj) { return reinterpret_cast<Box*>(obj)->f; }
};

// Allocates an instance of `type` and constructs its fields. New reference.
template <class Fields, class... Args>
PyObject* new_object(PyTypeObject* type, Args&&... args) {
  PyObject* obj = type->tp_alloc(type, 0);
  if (!obj) return nullptr;
  new (&reinterpret_cast<Box<Fields>*>(obj)->f) Fields{std::forward<Args>(args)...};
  return obj;
}

// tp_dealloc: destroys the fields, frees the object, drops the type reference.
template <class Fields>
void delete_object(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  if (type->tp_flags & Py_TPFLAGS_HAVE_GC) PyObject_GC_UnTrack(obj);
  Box<Fields>::of(obj).~Fields();
  type->tp_free(obj);
  Py_DECREF(type);
}

// Ends an iterator step with `value` as the await's result: StopIteration
// carrying it (any value, tuples and exceptions included, comes out exactly),
// or no exception at all for None (a step that returns nullptr with no error
// set ends the iteration). The caller returns nullptr. Inside a run the
// thread reuses one StopIteration for this (see types.cpp).
void set_stop_iteration(PyObject* value);

// End of a task step: the reused StopIteration lets go of the value it
// carried, so a result lives no longer than the step that received it.
void release_await_value();

// The raised exception goes to Python code that may keep it: if it is the
// reused StopIteration, the thread stops reusing it.
void detach_raised_stop_iteration();

// End of a run on this thread: drops the reused StopIteration.
void drop_recycled_stop_iteration();

// Turns the end of an iterator step (nullptr, no error) into an explicit
// StopIteration for the `send` method, and makes sure the one it raises is
// the caller's own.
inline PyObject* send_result(PyObject* step_result) {
  if (step_result) return step_result;
  if (!PyErr_Occurred()) {
    PyErr_SetNone(PyExc_StopIteration);
  } else {
    detach_raised_stop_iteration();
  }
  return nullptr;
}

// Reads a float argument: an exact float directly, anything else through
// PyFloat_AsDouble. Failures get the argument-name note. Returns false on error.
bool float_argument(PyObject* obj, const char* name, double& out);

// The empty tuple yielded by parked native awaitables (immortal).
inline PyObject* pending_marker() { return Py_GetConstant(Py_CONSTANT_EMPTY_TUPLE); }

}  // namespace velkor::py
