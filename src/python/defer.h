#pragma once
#include "python/pyref.h"

namespace velkor::py {

// defer(func, *args, callback=None)
PyObject* defer(PyObject* module, PyObject* args, PyObject* kwargs);

// _defer_growing(func, /, *args): as defer, on a free pool worker or else on
// an extra thread, so that calls which wait on each other all run at once.
PyObject* defer_growing(PyObject* module, PyObject* args);

PyTypeObject* task_handle_type();
PyTypeObject* task_iter_type();

}  // namespace velkor::py
