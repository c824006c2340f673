#include "python/types.h"

#include "python/errors.h"

namespace velkor::py {

PyTypeObject* shared_type(PyObject*& slot, PyType_Spec* spec) {
  return reinterpret_cast<PyTypeObject*>(
      create_once(slot, [spec] { return PyType_FromSpec(spec); }));
}

void set_stop_iteration(PyObject* value) {
  // No exception at all is the cheapest way to end an await with None.
  if (value == Py_None) return;
  PyObject* exc = PyObject_CallOneArg(PyExc_StopIteration, value);
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
