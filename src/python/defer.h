#pragma once
#include "python/pyref.h"

namespace velkor::py {

// defer(func, *args, callback=None)
PyObject* defer(PyObject* module, PyObject* args, PyObject* kwargs);

// _defer_growing(func, /, *args): as defer, but a call that has waited a few
// milliseconds for a worker runs on an extra thread, so that calls which
// wait on each other all run.
PyObject* defer_growing(PyObject* module, PyObject* args);

PyTypeObject* task_handle_type();
PyTypeObject* task_iter_type();

}  // namespace velkor::py
