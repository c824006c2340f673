#include "python/types.h"

#include "python/errors.h"

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

}  // namespace

void set_stop_iteration(PyObject* value) {
  // No exception at all is the cheapest way to end an await with None.
  if (value == Py_None) return;
  PyObject* exc = new_stop_iteration(value);
  // Raised as is: the awaiting frame consumes it at once, so the context
  // chaining PyErr_SetObject would do is wasted work on every completion.
  if (exc) PyErr_SetRaisedException(exc);
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
