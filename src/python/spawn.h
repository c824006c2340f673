#pragma once
#include "python/pyref.h"

namespace velkor::py {

// _spawn(coro, task=None)
PyObject* spawn(PyObject* module, PyObject* args, PyObject* kwargs);

PyTypeObject* spawned_task_type();
PyTypeObject* spawned_task_iter_type();

}  // namespace velkor::py
