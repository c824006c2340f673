#pragma once
#include "python/pyref.h"

namespace velkor::py {

// _spawn(coro, task=None)
PyObject* spawn(PyObject* module, PyObject* args, PyObject* kwargs);

// _spawn_fair(coro, task=None): as _spawn, but a bare yield lets every other
// runnable task step first, and a yield of anything that is not awaitable
// raises RuntimeError into the coroutine.
PyObject* spawn_fair(PyObject* module, PyObject* args, PyObject* kwargs);

PyTypeObject* spawned_task_type();
PyTypeObject* spawned_task_iter_type();

}  // namespace velkor::py
