#pragma once
#include "python/pyref.h"

namespace velkor::py {

// defer(func, *args, callback=None)
PyObject* defer(PyObject* module, PyObject* args, PyObject* kwargs);

PyTypeObject* task_handle_type();
PyTypeObject* task_iter_type();

}  // namespace velkor::py
