// run(coro): create a loop on the calling thread, drive the coroutine and every
// task it spawns to completion, tear down, deliver the outcome.
#include "python/run.h"

#include <memory>
#include <optional>
#include <string>

#include "python/driver.h"
#include "python/errors.h"
#include "python/signals.h"
#include "python/types.h"
#include "runtime/context.h"
#include "runtime/loop.h"
#include "task/pool.h"

namespace velkor::py {

namespace {

// Accepts objects with a `send` attribute, or whose __await__() succeeds.
bool looks_like_coroutine(PyObject* obj) {
  PyObject* send = nullptr;
  int found = PyObject_GetOptionalAttr(obj, names().send, &send);
  Py_XDECREF(send);
  if (found == 1) return true;
  PyErr_Clear();
  PyObject* awaited = PyObject_CallMethodNoArgs(obj, names().await_);
  if (awaited) {
    Py_DECREF(awaited);
    return true;
  }
  PyErr_Clear();
  return false;
}

// What went wrong while detached, reported once re-attached.
struct RunFailure {
  int loop_errno = 0;
  std::optional<std::string> panic;
};

RunFailure drive_detached(std::unique_ptr<Task> main_task, SignalWatch* signals) {
  RunFailure failure;
  std::unique_ptr<EventLoop> loop;
  failure.loop_errno = EventLoop::create(loop);
  if (failure.loop_errno != 0) return failure;
  try {
    runtime::set_runtime(RuntimeContext{std::nullopt, loop->core(), global_pool(), Waker{}});
    loop->core()->spawn(std::move(main_task));
    std::optional<SignalWatch::During> watching;
    if (signals) watching.emplace(*signals, *loop);
    LoopRunScope keep_attached;
    loop->run();
  } catch (const Panic& p) {
    failure.panic = p.what();
  }
  runtime::clear_runtime();
  loop.reset();  // closes epoll_fd and wake_fd
  return failure;
}

// Both run functions: `wake_for_signals` makes the loop run the Python
// signal handlers as signals arrive (on the main thread), and a handler that
// raises ends the run with its exception.
PyObject* run_coroutine(PyObject* coro, bool wake_for_signals) {
  if (Py_IsFinalizing()) {
    // Only this thread could still run Python, and no step could attach.
    PyErr_SetString(PyExc_RuntimeError,
                    "velkor.run() cannot start while the interpreter is finalizing");
    return nullptr;
  }
  if (EventLoop::running_on_this_thread()) {
    PyErr_SetString(PyExc_RuntimeError,
                    "velkor.run() cannot be called from a running event loop");
    return nullptr;
  }
  if (!looks_like_coroutine(coro)) {
    PyErr_SetString(PyExc_TypeError,
                    "velkor.run() requires a coroutine object (use async def and call it)");
    return nullptr;
  }
  auto result = std::make_shared<ResultSlot>();
  auto task = std::make_unique<PyCoroWrapper>(Ref::borrow(coro), result);

  std::optional<SignalWatch> signals;
  if (wake_for_signals) signals.emplace();
  RunInterruption interruption;
  RunFailure failure;
  {
    Unlocked detached;
    failure = drive_detached(std::move(task), signals ? &*signals : nullptr);
  }
  drop_recycled_stop_iteration();
  signals.reset();
  if (failure.loop_errno != 0) {
    PyErr_SetString(PyExc_RuntimeError, os_error_text(failure.loop_errno).c_str());
    return nullptr;
  }
  if (failure.panic) return raise_panic(failure.panic->c_str());
  if (interruption.raise_if_interrupted()) return nullptr;

  PyObject* value = return_outcome(result->take());
  // Typically a call the exiting interpreter no longer runs, uncaught in a
  // daemon thread's run: printing it would race finalisation for stderr.
  if (!value && run_error_unreachable_at_exit()) park_thread_for_exit();
  return value;
}

}  // namespace

bool looks_like_coroutine_object(PyObject* obj) { return looks_like_coroutine(obj); }

PyObject* run(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"coro", nullptr};
  PyObject* coro;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:run", const_cast<char**>(kwlist), &coro)) {
    return nullptr;
  }
  return run_coroutine(coro, false);
}

PyObject* run_with_signals(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"coro", nullptr};
  PyObject* coro;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:_run_with_signals", const_cast<char**>(kwlist),
                                   &coro)) {
    return nullptr;
  }
  return run_coroutine(coro, true);
}

}  // namespace velkor::py
