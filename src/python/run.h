#pragma once
#include "python/pyref.h"

namespace velkor::py {

// run(coro)
PyObject* run(PyObject* module, PyObject* args, PyObject* kwargs);

// The coroutine check shared by run() and run_until_complete(): a `send`
// attribute, or an __await__() that succeeds. Clears the errors it meets.
bool looks_like_coroutine_object(PyObject* obj);

}  // namespace velkor::py
