#pragma once
#include "python/pyref.h"

namespace velkor::py {

// run(coro)
PyObject* run(PyObject* module, PyObject* args, PyObject* kwargs);

// _run_with_signals(coro): run(coro) whose loop, on the main thread, also
// wakes for signals and runs their Python handlers; an exception raised by a
// handler ends the run at once and is raised instead of the outcome.
PyObject* run_with_signals(PyObject* module, PyObject* args, PyObject* kwargs);

// The coroutine check shared by run() and run_until_complete(): a `send`
// attribute, or an __await__() that succeeds. Clears the errors it meets.
bool looks_like_coroutine_object(PyObject* obj);

}  // namespace velkor::py
