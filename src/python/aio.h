#pragma once
#include "python/pyref.h"

namespace velkor::py {

// PyEventLoop._call_soon_handle(callback, args, loop, context, on_error): makes
// an asyncio Handle (context None: a copy of the current one) and queues it.
PyObject* call_soon_handle(PyObject* self, PyObject* const* args, Py_ssize_t nargs);
// PyEventLoop._soon_caller(loop, on_error): a native callable that does what
// the asyncio `loop`'s call_soon(callback, *args, context=None) does.
PyObject* soon_caller(PyObject* self, PyObject* const* args, Py_ssize_t nargs);
// PyEventLoop._loop_caller(method, loop, on_error, fallback): a native callable
// that does what the asyncio `loop`'s `method` does (call_later, call_at,
// create_task, create_future, get_debug or call_soon_threadsafe), calling `fallback` with the same
// arguments whenever the loop's own checks or debug mode must run.
PyObject* loop_caller(PyObject* self, PyObject* const* args, Py_ssize_t nargs);
// PyEventLoop._queue_handle(handle, on_error): queues an asyncio handle.
PyObject* queue_handle(PyObject* self, PyObject* const* args, Py_ssize_t nargs);
// PyEventLoop._queue_handle_at(when, handle, on_error): runs it at loop time `when`.
PyObject* queue_handle_at(PyObject* self, PyObject* const* args, Py_ssize_t nargs);

}  // namespace velkor::py
