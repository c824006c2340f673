// PyEventLoop: an explicit loop object owning its own engine, with scheduling
// (call_soon/call_later/call_at), descriptor watchers, run_forever,
// run_until_complete, stop and close.
//
// Threads and locks: every method runs attached. A run holds engine_slot's
// mutex for its whole length, detached; scheduling, watchers and stop() take
// only core_slot's mutex, so they work from any thread while a run is in
// progress. Lock order: engine_slot, then core_slot, then the core's own
// mutex. running/closed are atomics read without a lock; a run claims
// `running` with one compare-and-set. No Python code runs while any of these
// mutexes is held.
//
// Garbage collection: the Python objects in the core's queues, watchers and
// parked tasks are visited, but only while no run holds the object (a run
// moves entries in and out without the interpreter lock; a running object
// is reachable anyway). Clearing drops the engine, closing its descriptors.
#include "python/loop_full.h"

#include <atomic>
#include <cmath>
#include <climits>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "python/aio.h"
#include "python/driver.h"
#include "python/errors.h"
#include "python/run.h"
#include "python/signals.h"
#include "python/types.h"
#include "runtime/context.h"
#include "task/pool.h"

namespace velkor::py {

namespace {

struct EngineSlot {
  std::mutex mu;
  std::unique_ptr<EventLoop> engine;
};

struct CoreSlot {
  std::mutex mu;
  std::shared_ptr<SharedCore> core;
};

struct LoopObject {
  std::shared_ptr<EngineSlot> engine_slot;
  std::shared_ptr<CoreSlot> core_slot;
  std::shared_ptr<std::atomic<bool>> running;
  std::shared_ptr<std::atomic<bool>> closed;
  std::shared_ptr<TaskScheduler> pool_ref;
  // The thread inside a run of this object, and whether close() was called
  // from that very thread (the run then tears down when it ends).
  std::atomic<std::thread::id> run_thread{};
  bool close_pending = false;
};

PyObject* g_type = nullptr;

LoopObject& loop_of(PyObject* self) { return Box<LoopObject>::of(self); }

// OSError("<description> (os error N)") with its errno attribute set.
std::nullptr_t raise_os_error(int err) {
  Ref text = Ref::steal(PyUnicode_FromString(os_error_text(err).c_str()));
  if (!text) return nullptr;
  Ref exc = Ref::steal(PyObject_CallOneArg(PyExc_OSError, text.get()));
  Ref number = Ref::steal(PyLong_FromLong(err));
  if (!exc || !number || PyObject_SetAttrString(exc.get(), "errno", number.get()) < 0) {
    return nullptr;
  }
  PyErr_SetRaisedException(exc.release());
  return nullptr;
}

// ---- construction and state ---------------------------------------------------

PyObject* loop_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {nullptr};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, ":PyEventLoop", const_cast<char**>(kwlist))) {
    return nullptr;
  }
  std::unique_ptr<EventLoop> engine;
  if (int err = EventLoop::create(engine)) return raise_os_error(err);
  return guarded([&]() -> PyObject* {
    std::shared_ptr<TaskScheduler> pool = global_pool();
    std::shared_ptr<SharedCore> core = engine->core();
    Ref self = Ref::steal(new_object<LoopObject>(
        type, std::make_shared<EngineSlot>(), std::make_shared<CoreSlot>(),
        std::make_shared<std::atomic<bool>>(false), std::make_shared<std::atomic<bool>>(false),
        pool));
    if (!self) return nullptr;
    // A run in progress on this thread (the object is made inside one of its
    // callbacks or tasks) keeps its own context: its awaitables must go on
    // finding its core. Runs of this object install their own anyway.
    if (!EventLoop::running_on_this_thread()) {
      runtime::set_runtime(RuntimeContext{std::nullopt, core, pool, Waker{}});
    }
    LoopObject& loop = loop_of(self.get());
    loop.engine_slot->engine = std::move(engine);
    loop.core_slot->core = std::move(core);
    return self.release();
  });
}

void loop_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  PyObject_ClearWeakRefs(self);
  delete_object<LoopObject>(self);
}

// Hands the Python collector's visit function to the engine's Visitor.
struct PythonVisit {
  visitproc visit;
  void* arg;

  static int call(void* object, void* self) {
    auto* v = static_cast<PythonVisit*>(self);
    return v->visit(static_cast<PyObject*>(object), v->arg);
  }
};

int loop_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  LoopObject& loop = loop_of(self);
  if (!loop.core_slot || loop.running->load()) return 0;
  // Outside a claimed run, core_slot is held only by attached threads that
  // make no Python object meanwhile, so a collection never finds it locked;
  // try_lock just rules out waiting on ourselves should that ever change.
  std::unique_lock lock(loop.core_slot->mu, std::try_to_lock);
  if (!lock || !loop.core_slot->core) return 0;
  PythonVisit python{visit, arg};
  return loop.core_slot->core->traverse(Visitor{&PythonVisit::call, &python});
}

// Called only on unreachable objects, which no run or method holds: drops
// the engine (closing its descriptors) and the core with everything queued.
int loop_clear(PyObject* self) {
  LoopObject& loop = loop_of(self);
  if (!loop.core_slot) return 0;
  loop.closed->store(true);
  std::unique_ptr<EventLoop> engine;
  std::shared_ptr<SharedCore> core;
  {
    std::lock_guard lock(loop.engine_slot->mu);
    engine = std::move(loop.engine_slot->engine);
  }
  {
    std::lock_guard lock(loop.core_slot->mu);
    core = std::move(loop.core_slot->core);
  }
  return 0;
}

PyObject* loop_repr(PyObject* self) {
  LoopObject& loop = loop_of(self);
  return PyUnicode_FromFormat("<PyEventLoop running=%s closed=%s>",
                              loop.running->load() ? "true" : "false",
                              loop.closed->load() ? "true" : "false");
}

PyObject* loop_is_running(PyObject* self, PyObject*) {
  return PyBool_FromLong(loop_of(self).running->load());
}

PyObject* loop_is_closed(PyObject* self, PyObject*) {
  return PyBool_FromLong(loop_of(self).closed->load());
}

PyObject* loop_time(PyObject*, PyObject*) { return PyFloat_FromDouble(velkor::loop_time()); }

// The core, or nullptr once closed (a new reference for the caller's scope).
std::shared_ptr<SharedCore> current_core(LoopObject& loop) {
  std::lock_guard lock(loop.core_slot->mu);
  return loop.core_slot->core;
}

PyObject* loop_stop(PyObject* self, PyObject*) {
  LoopObject& loop = loop_of(self);
  std::lock_guard lock(loop.core_slot->mu);
  if (loop.core_slot->core) loop.core_slot->core->request_stop();
  Py_RETURN_NONE;
}

// Makes sure both slots hold an engine and its core; a failure changes nothing.
// Called by a run that has claimed the object. Works detached: engine_slot
// may be held by a close() on another thread, and no Python object is made
// while the slots are locked. Refuses once closed: a close() that emptied
// the slots meanwhile must not see them refilled.
bool ensure_initialized(LoopObject& loop) {
  bool closed = false;
  int err = 0;
  {
    Unlocked detached;
    std::unique_ptr<EventLoop> old_engine;  // released after the locks
    std::shared_ptr<SharedCore> old_core;
    std::lock_guard engine_lock(loop.engine_slot->mu);
    std::lock_guard core_lock(loop.core_slot->mu);
    closed = loop.closed->load();
    if (!closed && !(loop.core_slot->core && loop.engine_slot->engine)) {
      std::unique_ptr<EventLoop> engine;
      err = EventLoop::create(engine);
      if (err == 0) {
        old_core = std::exchange(loop.core_slot->core, engine->core());
        old_engine = std::exchange(loop.engine_slot->engine, std::move(engine));
      }
    }
  }
  if (closed) {
    PyErr_SetString(PyExc_RuntimeError, "event loop closed");
    return false;
  }
  if (err != 0) {
    raise_os_error(err);
    return false;
  }
  return true;
}

// ---- running ------------------------------------------------------------------

// No callback or step could attach during finalization: a run would never end.
bool refuse_when_finalizing() {
  if (!Py_IsFinalizing()) return false;
  PyErr_SetString(PyExc_RuntimeError,
                  "the event loop cannot run while the interpreter is finalizing");
  return true;
}

bool check_can_run(LoopObject& loop) {
  if (refuse_when_finalizing()) return false;
  if (loop.running->load()) {
    PyErr_SetString(PyExc_RuntimeError, "event loop already running");
    return false;
  }
  if (loop.closed->load()) {
    PyErr_SetString(PyExc_RuntimeError, "event loop closed");
    return false;
  }
  return true;
}

// Claims the object for one run. The running check and the setting of the
// flag are one step, so of two threads starting a run at once only one gets
// through; the other sees "already running". run_engine() gives it up.
bool claim_run(LoopObject& loop) {
  if (refuse_when_finalizing()) return false;
  bool idle = false;
  if (!loop.running->compare_exchange_strong(idle, true)) {
    PyErr_SetString(PyExc_RuntimeError, "event loop already running");
    return false;
  }
  if (loop.closed->load()) {
    loop.running->store(false);
    PyErr_SetString(PyExc_RuntimeError, "event loop closed");
    return false;
  }
  if (!ensure_initialized(loop)) {
    loop.running->store(false);
    return false;
  }
  return true;
}

// Drops the engine and the core and removes the thread's runtime context.
void tear_down(LoopObject& loop) {
  std::unique_ptr<EventLoop> engine;
  std::shared_ptr<SharedCore> core;
  {
    Unlocked detached;  // a run on another thread may need the interpreter to finish
    std::lock_guard lock(loop.engine_slot->mu);
    engine = std::move(loop.engine_slot->engine);
  }
  engine.reset();  // closes epoll_fd and wake_fd
  {
    std::lock_guard lock(loop.core_slot->mu);
    core = std::move(loop.core_slot->core);
  }
  core.reset();
  // The thread's context goes too, unless another loop is running on this
  // thread right now (close() from inside it): that run keeps its own.
  if (!EventLoop::running_on_this_thread()) runtime::clear_runtime();
}

// Runs the engine of a claimed object on this thread with the interpreter
// lock released, and gives up the claim. The object's own runtime context is
// installed for the run, so its tasks find their loop whichever thread runs
// it; the thread's previous context is put back afterwards. `until_complete`
// ends the run when no task is left. On
// the main thread the run wakes for signals; an exception raised by a signal
// handler, or a KeyboardInterrupt or SystemExit out of a callback, ends it
// and is kept by the caller's RunInterruption.
std::optional<std::string> run_engine(PyObject* self, bool until_complete) {
  LoopObject& loop = loop_of(self);
  std::optional<std::string> panic;
  SignalWatch signals;
  {
    Unlocked detached;
    std::lock_guard lock(loop.engine_slot->mu);
    if (EventLoop* engine = loop.engine_slot->engine.get()) {
      std::optional<RuntimeContext> previous = runtime::take_runtime();
      loop.run_thread.store(std::this_thread::get_id());
      try {
        runtime::set_runtime(RuntimeContext{std::nullopt, engine->core(), loop.pool_ref, Waker{}});
        SignalWatch::During watching(signals, *engine);
        LoopRunScope keep_attached;
        if (until_complete) {
          engine->run();
        } else {
          engine->run_until_stopped();
        }
      } catch (const Panic& p) {
        panic = p.what();
      }
      loop.run_thread.store(std::thread::id{});
      std::optional<RuntimeContext> ours = runtime::take_runtime();
      if (previous) runtime::set_runtime(std::move(*previous));
    }
  }
  drop_recycled_stop_iteration();
  loop.running->store(false);
  if (loop.close_pending) {
    loop.close_pending = false;
    tear_down(loop);
  }
  return panic;
}

// A run's failure that nobody could see: typically the interpreter exiting
// under a daemon thread whose run it ended. As with the bare runtime's run,
// the thread parks instead of raising, which would race finalisation for
// stderr. Otherwise returns `result`.
PyObject* park_if_unreachable(PyObject* result) {
  if (!result && run_error_unreachable_at_exit()) park_thread_for_exit();
  return result;
}

PyObject* run_forever_once(PyObject* self) {
  if (!claim_run(loop_of(self))) return nullptr;
  Ref keep = Ref::borrow(self);
  RunInterruption interruption;
  if (auto panic = run_engine(self, false)) return raise_panic(panic->c_str());
  if (interruption.raise_if_interrupted()) return nullptr;
  Py_RETURN_NONE;
}

PyObject* loop_run_forever(PyObject* self, PyObject*) {
  return park_if_unreachable(run_forever_once(self));
}

PyObject* loop_run_until_complete(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"coro", nullptr};
  PyObject* coro;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:run_until_complete", const_cast<char**>(kwlist),
                                   &coro)) {
    return nullptr;
  }
  LoopObject& loop = loop_of(self);
  if (!check_can_run(loop)) return nullptr;
  if (!looks_like_coroutine_object(coro)) {
    PyErr_SetString(PyExc_TypeError, "run_until_complete() requires a coroutine object");
    return nullptr;
  }
  if (!claim_run(loop)) return nullptr;
  Ref keep = Ref::borrow(self);
  auto result = std::make_shared<ResultSlot>();
  if (auto core = current_core(loop)) {
    core->spawn(std::make_unique<RunCoroFuture>(Ref::borrow(coro), result));
  }
  RunInterruption interruption;
  if (auto panic = run_engine(self, true)) return park_if_unreachable(raise_panic(panic->c_str()));
  if (interruption.raise_if_interrupted()) return park_if_unreachable(nullptr);
  return park_if_unreachable(return_outcome(result->take()));
}

PyObject* loop_close(PyObject* self, PyObject*) {
  LoopObject& loop = loop_of(self);
  loop.closed->store(true);
  {
    // Unlike stop(), this request also ends a run that starts right now.
    std::lock_guard lock(loop.core_slot->mu);
    if (loop.core_slot->core) loop.core_slot->core->request_close();
  }
  if (loop.run_thread.load() == std::this_thread::get_id()) {
    // Called from a callback or task of a run on this thread: that run holds
    // the engine, so it performs the teardown itself when it returns.
    loop.close_pending = true;
    Py_RETURN_NONE;
  }
  tear_down(loop);
  Py_RETURN_NONE;
}

// ---- callback scheduling --------------------------------------------------------

// A one-shot Python call run on the loop thread; its exceptions are dropped,
// except KeyboardInterrupt and SystemExit, which end the run.
struct SoonCall {
  Ref callback;
  Ref args;

  void operator()() {
    Attached attached;
    if (!attached.ok()) return;  // finalising: the references stay queued
    Ref ignored = Ref::steal(PyObject_Call(callback.get(), args.get(), nullptr));
    if (!ignored) end_run_or_drop_callback_error();
    callback.reset();
    args.reset();
  }

  int traverse(const Visitor& visit) const {
    if (int r = visit(callback.get())) return r;
    return visit(args.get());
  }
};

bool tuple_argument(PyObject* obj, const char* method) {
  if (PyTuple_Check(obj)) return true;
  PyErr_Format(PyExc_TypeError, "%s() argument 'args' must be tuple, not %.200s", method,
               Py_TYPE(obj)->tp_name);
  add_argument_note("args");
  return false;
}

std::nullptr_t not_initialized() {
  PyErr_SetString(PyExc_RuntimeError, "event loop not initialized");
  return nullptr;
}

// Schedules under core_slot's lock; `schedule` gets the core and the call.
template <class Schedule>
PyObject* schedule_call(PyObject* self, PyObject* callback, PyObject* args, Schedule schedule) {
  LoopObject& loop = loop_of(self);
  std::unique_lock lock(loop.core_slot->mu);
  if (!loop.core_slot->core) {
    lock.unlock();
    return not_initialized();
  }
  SoonCall call{Ref::borrow(callback), Ref::borrow(args)};
  try {
    schedule(*loop.core_slot->core, std::move(call));
  } catch (const Panic& p) {
    lock.unlock();
    return raise_panic(p.what());
  }
  Py_RETURN_NONE;
}

PyObject* loop_call_soon(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"callback", "args", nullptr};
  PyObject *callback, *call_args;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:call_soon", const_cast<char**>(kwlist),
                                   &callback, &call_args) ||
      !tuple_argument(call_args, "call_soon")) {
    return nullptr;
  }
  return schedule_call(self, callback, call_args,
                       [](SharedCore& core, SoonCall call) { core.push_soon(std::move(call)); });
}

PyObject* loop_call_later(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"delay", "callback", "args", nullptr};
  PyObject *delay_obj, *callback, *call_args;
  double delay;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:call_later", const_cast<char**>(kwlist),
                                   &delay_obj, &callback, &call_args) ||
      !float_argument(delay_obj, "delay", delay) || !tuple_argument(call_args, "call_later")) {
    return nullptr;
  }
  return schedule_call(self, callback, call_args, [delay](SharedCore& core, SoonCall call) {
    core.call_later(std::move(call), delay);
  });
}

PyObject* loop_call_at(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"when", "callback", "args", nullptr};
  PyObject *when_obj, *callback, *call_args;
  double when;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:call_at", const_cast<char**>(kwlist),
                                   &when_obj, &callback, &call_args) ||
      !float_argument(when_obj, "when", when) || !tuple_argument(call_args, "call_at")) {
    return nullptr;
  }
  return schedule_call(self, callback, call_args, [when](SharedCore& core, SoonCall call) {
    double delay = when - velkor::loop_time();
    if (!(delay >= 0.0)) delay = 0.0;  // in the past, or NaN
    core.call_later(std::move(call), delay);
  });
}

// ---- descriptor watchers --------------------------------------------------------

// A reusable watcher callback: the loop takes a reference per dispatch, so a
// watcher removed while it runs lives until that dispatch ends.
class PyFdCallback final : public FdCallback {
 public:
  explicit PyFdCallback(Ref callable) : callable_(std::move(callable)) {}
  void operator()() override {
    std::lock_guard lock(mu_);
    Attached attached;
    if (!attached.ok()) return;
    Ref ignored = Ref::steal(PyObject_CallNoArgs(callable_.get()));
    if (!ignored) end_run_or_drop_callback_error();
  }

  // The callable never changes after construction: no lock needed.
  int traverse(const Visitor& visit) const override { return visit(callable_.get()); }

 private:
  std::mutex mu_;
  Ref callable_;
};

bool fd_argument(PyObject* obj, int32_t& fd) {
  long long value = PyLong_AsLongLong(obj);
  if (value == -1 && PyErr_Occurred()) {
    add_argument_note("fd");
    return false;
  }
  if (value < INT32_MIN || value > INT32_MAX) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    add_argument_note("fd");
    return false;
  }
  fd = static_cast<int32_t>(value);
  return true;
}

// A watched descriptor: an fd argument that is not negative.
bool watchable_fd_argument(PyObject* obj, int32_t& fd) {
  if (!fd_argument(obj, fd)) return false;
  if (fd >= 0) return true;
  PyErr_Format(PyExc_ValueError, "file descriptor cannot be a negative integer (%d)", fd);
  add_argument_note("fd");
  return false;
}

PyObject* add_watcher(PyObject* self, PyObject* args, PyObject* kwargs, FdSlot slot,
                      const char* format) {
  static const char* kwlist[] = {"fd", "callback", nullptr};
  PyObject *fd_obj, *callback;
  int32_t fd;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(kwlist), &fd_obj,
                                   &callback) ||
      !watchable_fd_argument(fd_obj, fd)) {
    return nullptr;
  }
  LoopObject& loop = loop_of(self);
  auto watcher = std::make_shared<PyFdCallback>(Ref::borrow(callback));
  std::optional<SharedCore::FdChange> change;
  {
    std::lock_guard lock(loop.core_slot->mu);
    if (loop.core_slot->core) {
      change = loop.core_slot->core->set_fd_callback(fd, slot, std::move(watcher));
    }
  }
  if (!change) return not_initialized();
  if (change->error != 0) return raise_os_error(change->error);
  Py_RETURN_NONE;
}

PyObject* remove_watcher(PyObject* self, PyObject* args, PyObject* kwargs, FdSlot slot,
                         const char* format) {
  static const char* kwlist[] = {"fd", nullptr};
  PyObject* fd_obj;
  int32_t fd;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(kwlist), &fd_obj) ||
      !fd_argument(fd_obj, fd)) {
    return nullptr;
  }
  LoopObject& loop = loop_of(self);
  std::shared_ptr<FdCallback> removed;
  {
    std::lock_guard lock(loop.core_slot->mu);
    if (loop.core_slot->core) removed = loop.core_slot->core->remove_fd_callback(fd, slot);
  }
  Py_RETURN_NONE;
}

PyObject* loop_add_reader(PyObject* self, PyObject* args, PyObject* kwargs) {
  return add_watcher(self, args, kwargs, FdSlot::Reader, "OO:add_reader");
}
PyObject* loop_add_writer(PyObject* self, PyObject* args, PyObject* kwargs) {
  return add_watcher(self, args, kwargs, FdSlot::Writer, "OO:add_writer");
}
PyObject* loop_remove_reader(PyObject* self, PyObject* args, PyObject* kwargs) {
  return remove_watcher(self, args, kwargs, FdSlot::Reader, "O:remove_reader");
}
PyObject* loop_remove_writer(PyObject* self, PyObject* args, PyObject* kwargs) {
  return remove_watcher(self, args, kwargs, FdSlot::Writer, "O:remove_writer");
}

// ---- type -----------------------------------------------------------------------

// __weakref__, as on Python classes: the object's first weak reference, or None.
PyObject* loop_get_weakref(PyObject* self, void*) {
  Ref weakref = import_module("_weakref");
  if (!weakref) return nullptr;
  Ref refs = Ref::steal(PyObject_CallMethod(weakref.get(), "getweakrefs", "O", self));
  if (!refs) return nullptr;
  PyObject* first = PyList_GET_SIZE(refs.get()) > 0 ? PyList_GET_ITEM(refs.get(), 0) : Py_None;
  return Py_NewRef(first);
}

PyGetSetDef getset[] = {
    {"__weakref__", loop_get_weakref, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#define VARARGS(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f)), METH_VARARGS | METH_KEYWORDS

PyMethodDef methods[] = {
    {"run_forever", loop_run_forever, METH_NOARGS, "run_forever($self)\n--\n\n"},
    {"run_until_complete", VARARGS(loop_run_until_complete), "run_until_complete($self, coro)\n--\n\n"},
    {"stop", loop_stop, METH_NOARGS, "stop($self)\n--\n\n"},
    {"close", loop_close, METH_NOARGS, "close($self)\n--\n\n"},
    {"is_running", loop_is_running, METH_NOARGS, "is_running($self)\n--\n\n"},
    {"is_closed", loop_is_closed, METH_NOARGS, "is_closed($self)\n--\n\n"},
    {"time", loop_time, METH_NOARGS, "time($self)\n--\n\n"},
    {"call_soon", VARARGS(loop_call_soon), "call_soon($self, callback, args)\n--\n\n"},
    {"call_later", VARARGS(loop_call_later), "call_later($self, delay, callback, args)\n--\n\n"},
    {"call_at", VARARGS(loop_call_at), "call_at($self, when, callback, args)\n--\n\n"},
    {"add_reader", VARARGS(loop_add_reader), "add_reader($self, fd, callback)\n--\n\n"},
    {"add_writer", VARARGS(loop_add_writer), "add_writer($self, fd, callback)\n--\n\n"},
    {"remove_reader", VARARGS(loop_remove_reader), "remove_reader($self, fd)\n--\n\n"},
    {"remove_writer", VARARGS(loop_remove_writer), "remove_writer($self, fd)\n--\n\n"},
    {"_call_soon_handle", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(call_soon_handle)),
     METH_FASTCALL, "_call_soon_handle($self, callback, args, loop, context, on_error, /)\n--\n\n"},
    {"_soon_caller", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(soon_caller)),
     METH_FASTCALL, "_soon_caller($self, loop, on_error, /)\n--\n\n"},
    {"_loop_caller", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(loop_caller)),
     METH_FASTCALL, "_loop_caller($self, method, loop, on_error, fallback, /)\n--\n\n"},
    {"_queue_handle", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(queue_handle)),
     METH_FASTCALL, "_queue_handle($self, handle, on_error, /)\n--\n\n"},
    {"_queue_handle_at", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(queue_handle_at)),
     METH_FASTCALL, "_queue_handle_at($self, when, handle, on_error, /)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

#undef VARARGS

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("PyEventLoop()\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(loop_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(loop_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(loop_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(loop_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(loop_repr)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {0, nullptr},
};
PyType_Spec spec = {"_velkor.PyEventLoop", sizeof(Box<LoopObject>), 0,
                    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC |
                        Py_TPFLAGS_MANAGED_WEAKREF,
                    slots};

}  // namespace

PyTypeObject* event_loop_type() { return shared_type(g_type, &spec); }

}  // namespace velkor::py

namespace velkor::py {

std::shared_ptr<SharedCore> event_loop_core(PyObject* obj) {
  if (!PyObject_TypeCheck(obj, event_loop_type())) {
    PyErr_Format(PyExc_TypeError, "expected a PyEventLoop, not %.200s", Py_TYPE(obj)->tp_name);
    return nullptr;
  }
  std::shared_ptr<SharedCore> core = current_core(loop_of(obj));
  if (!core) not_initialized();
  return core;
}

}  // namespace velkor::py
