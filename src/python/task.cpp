// TaskBase: the package's Task, native. See task.h.
//
// Lifetime: while pending, the engine's table owns a TaskDriver, which owns a
// reference to the task object; the driver goes when the coroutine ends. The
// object owns its coroutine and context for the API's sake (get_coro(),
// get_context(), repr), but nothing of the engine once it has ended.
//
// The package's velkor.tasks module supplies the cold parts (a tuple named
// _NATIVE_HELPERS, looked up once per interpreter): turning an awaitable into
// a coroutine, never-retrieved logging, debug-mode spawn sites, callback
// failure reports, and awaiting from an asyncio task.
#include "python/task.h"

#include <chrono>
#include <cstddef>
#include <new>
#include <vector>

#include "python/bookkeeping.h"
#include "python/driver.h"
#include "python/errors.h"
#include "python/module_state.h"
#include "python/types.h"
#include "runtime/context.h"
#include "runtime/tls.h"

namespace velkor::py {

namespace {

enum class State : uint8_t { Pending, Finished, Failed, Cancelled };

// Indexes into velkor.tasks._NATIVE_HELPERS.
enum Helper : Py_ssize_t {
  kAsCoroutine,
  kNeverRetrieved,
  kSpawnSite,
  kSlowStep,
  kCallbackFailed,
  kCancelledError,
  kEventLoop,
  kCallSoon,
  kAwaitForeign,
  kGetRunningLoop,
  kDriveFailed,
  kStatePending,
  kStateFinished,
  kStateFailed,
  kStateCancelled,
  kTaskClass,
  kHelperCount,
};

using Waiters = std::vector<Waker>;

// A plain C layout, so that offsetof() serves the attribute getters; the two
// C++ members live in raw storage constructed in tp_new.
struct TaskObject {
  PyObject_HEAD
  PyObject* module;  // the _velkor module whose state the steps use
  PyObject* coro;
  PyObject* context;
  PyObject* loop;  // the velkor EventLoop the task was spawned on, if any
  PyObject* holder;  // the spawning thread's current-task holder
  PyObject* name;  // null until asked for: "Task-<number>"
  PyObject* result;
  PyObject* exception;
  PyObject* traceback;
  PyObject* cancel_message;
  PyObject* awaiting;  // the task whose outcome this one's coroutine awaits
  PyObject* done_callbacks;  // internal ones, called synchronously at the end
  PyObject* soon_callbacks;  // list of (fn, context), called on a later round
  PyObject* tb_logger;
  PyObject* source_traceback;
  PyObject* awaited_future;  // a yielded future that took the wake-up callback
  PyObject* bad_yield;  // the RuntimeError for the next step to throw
  PyObject* loop_tasks;  // the loop's set of velkor tasks, while in it
  Py_ssize_t cancel_requests;
  unsigned long long number;
  State state;
  char must_cancel;
  char started;
  char debug;
  char spawned;
  alignas(Waker) unsigned char self_waker_storage[sizeof(Waker)];
  alignas(Waiters) unsigned char waiters_storage[sizeof(Waiters)];
};

Waker& self_waker(TaskObject* t) { return *std::launder(reinterpret_cast<Waker*>(t->self_waker_storage)); }
Waiters& waiters(TaskObject* t) { return *std::launder(reinterpret_cast<Waiters*>(t->waiters_storage)); }

TaskObject* as_task(PyObject* obj) { return reinterpret_cast<TaskObject*>(obj); }

// The task being stepped on this thread, if it is one of these.
VELKOR_HOT_TLS thread_local PyObject* t_current = nullptr;

std::atomic<unsigned long long> g_task_numbers{0};

PyObject* g_task_type = nullptr;
PyObject* g_await_type = nullptr;

// The class is shared by every module object (a re-import gives the same
// one), so each task keeps the module it was made under: its state names the
// interpreter's modules that the steps call into.
ModuleState* state_of(PyObject* self) {
  TaskObject* t = as_task(self);
  if (!t->module) {
    t->module = import_module("_velkor").release();
    if (!t->module) return nullptr;
  }
  return &module_state(t->module);
}

bool is_task_class(PyObject* cls) {
  return PyType_Check(cls) && g_task_type &&
         PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(cls), reinterpret_cast<PyTypeObject*>(g_task_type));
}

int task_traverse(PyObject* self, visitproc visit, void* arg);

// velkor.Task adds nothing to a TaskBase but methods (__slots__ = ()), yet
// its instances get the generic traverse of classes made in Python, which
// looks for slots and a __dict__ before it calls TaskBase's. Such a class
// may use TaskBase's own: the same visits (the type included), one call
// fewer on each of the collector's passes over every live task. Subclasses
// of it keep the generic one, which ends in this one.
void traverse_as_base(PyTypeObject* cls) {
  PyTypeObject* base = reinterpret_cast<PyTypeObject*>(g_task_type);
  const bool adds_nothing = cls->tp_base == base && cls->tp_basicsize == base->tp_basicsize &&
                            cls->tp_itemsize == 0 && cls->tp_dictoffset == 0 &&
                            !(cls->tp_flags & Py_TPFLAGS_MANAGED_DICT);
  if (adds_nothing) cls->tp_traverse = task_traverse;
}

// The helpers tuple, imported on first use. Borrowed; null with an error set.
PyObject* helpers(ModuleState& state) {
  if (state.task_helpers) return state.task_helpers;
  Ref tasks = import_module("velkor.tasks");
  if (!tasks) return nullptr;
  Ref tuple = Ref::steal(PyObject_GetAttrString(tasks.get(), "_NATIVE_HELPERS"));
  if (!tuple) return nullptr;
  if (!PyTuple_CheckExact(tuple.get()) || PyTuple_GET_SIZE(tuple.get()) != kHelperCount ||
      !is_task_class(PyTuple_GET_ITEM(tuple.get(), kTaskClass))) {
    PyErr_SetString(PyExc_RuntimeError, "velkor.tasks._NATIVE_HELPERS is malformed");
    return nullptr;
  }
  if (!state.task_helpers) {
    traverse_as_base(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(tuple.get(), kTaskClass)));
    state.task_helpers = tuple.release();
  }
  return state.task_helpers;
}

PyObject* helper(ModuleState& state, Helper which) {
  PyObject* all = helpers(state);
  return all ? PyTuple_GET_ITEM(all, which) : nullptr;
}

PyObject* helper_of(PyObject* self, Helper which) {
  ModuleState* state = state_of(self);
  return state ? helper(*state, which) : nullptr;
}

void set_field(PyObject*& field, PyObject* value) { Py_XSETREF(field, Py_XNewRef(value)); }

// Calls `func(args...)` and reports a failure as unraisable: used where an
// error has nowhere to go (the end of a task).
template <class... Args>
void call_reporting(PyObject* func, Args... args) {
  PyObject* argv[] = {args...};
  PyObject* out = func ? PyObject_Vectorcall(func, argv, sizeof...(Args), nullptr) : nullptr;
  if (out) {
    Py_DECREF(out);
  } else if (PyErr_Occurred()) {
    PyErr_WriteUnraisable(func);
  }
}

// ---------------------------------------------------------------- the end

void retrieved(TaskObject* t) {
  PyObject* logger = std::exchange(t->tb_logger, nullptr);
  if (!logger) return;
  if (PyObject_SetAttrString(logger, "exc", Py_None) < 0) PyErr_Clear();
  Py_DECREF(logger);
}

void discard_from_loop(TaskObject* t) {
  PyObject* tasks = std::exchange(t->loop_tasks, nullptr);
  if (!tasks) return;
  if (PySet_Discard(tasks, reinterpret_cast<PyObject*>(t)) < 0) PyErr_Clear();
  Py_DECREF(tasks);
}

void run_done_callbacks(PyObject* self, ModuleState& state) {
  TaskObject* t = as_task(self);
  if (PyObject* soon = std::exchange(t->soon_callbacks, nullptr)) {
    PyObject* call_soon = helper(state, kCallSoon);
    if (PyList_Check(soon)) {
      for (Py_ssize_t i = 0; i < PyList_GET_SIZE(soon); ++i) {
        PyObject* entry = PyList_GET_ITEM(soon, i);
        if (!PyTuple_Check(entry) || PyTuple_GET_SIZE(entry) != 2) continue;
        call_reporting(call_soon, PyTuple_GET_ITEM(entry, 0), self, PyTuple_GET_ITEM(entry, 1));
      }
    }
    Py_DECREF(soon);
  }
  if (PyObject* callbacks = std::exchange(t->done_callbacks, nullptr)) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(callbacks); ++i) {
      PyObject* callback = PyList_GET_ITEM(callbacks, i);
      PyObject* out = PyObject_CallOneArg(callback, self);
      if (out) {
        Py_DECREF(out);
        continue;
      }
      Ref exc = Ref::steal(PyErr_GetRaisedException());
      call_reporting(helper(state, kCallbackFailed), callback, self, exc.get());
    }
    Py_DECREF(callbacks);
  }
}

void wake_waiters(TaskObject* t) {
  Waiters woken = std::move(waiters(t));
  for (Waker& waker : woken) std::move(waker).wake();
}

void note_failure(PyObject* self, ModuleState& state, PyObject* exc) {
  TaskObject* t = as_task(self);
  PyObject* cancelled = helper(state, kCancelledError);
  int is_cancel = cancelled ? PyObject_IsInstance(exc, cancelled) : 0;
  if (is_cancel < 0) PyErr_Clear();
  t->state = is_cancel > 0 ? State::Cancelled : State::Failed;
  set_field(t->exception, exc);
  Py_XSETREF(t->traceback, PyException_GetTraceback(exc));
  const bool fatal = PyErr_GivenExceptionMatches(exc, PyExc_KeyboardInterrupt) ||
                     PyErr_GivenExceptionMatches(exc, PyExc_SystemExit);
  if (t->state == State::Failed && !fatal) {
    PyObject* make = helper(state, kNeverRetrieved);
    PyObject* args[] = {self, exc};
    t->tb_logger = make ? PyObject_Vectorcall(make, args, 2, nullptr) : nullptr;
    if (!t->tb_logger) PyErr_Clear();
  }
}

// The traceback of an exception that ends a task starts at a frame of the
// package's driver, as it would under a Python driver, then goes down into
// the coroutine.
void add_driver_frame(ModuleState& state, PyObject* exc) {
  call_reporting(helper(state, kDriveFailed), exc);
}

void finish(PyObject* self, ModuleState& state, StepEnd end, Ref out) {
  TaskObject* t = as_task(self);
  if (end == StepEnd::Raised) add_driver_frame(state, out.get());
  if (end == StepEnd::Returned) {
    t->state = State::Finished;
    t->result = out.release();
  } else {
    note_failure(self, state, out.get());
  }
  Py_CLEAR(t->awaited_future);
  Py_CLEAR(t->bad_yield);
  Py_CLEAR(t->awaiting);
  t->must_cancel = 0;
  self_waker(t) = Waker();
  discard_from_loop(t);
  run_done_callbacks(self, state);
  wake_waiters(t);
  // Whether or not anyone awaits this task, these end the run.
  PyObject* exc = t->exception;
  if (end == StepEnd::Raised && t->loop && exc &&
      (PyErr_GivenExceptionMatches(exc, PyExc_KeyboardInterrupt) ||
       PyErr_GivenExceptionMatches(exc, PyExc_SystemExit))) {
    Ref on_fatal = Ref::steal(PyObject_GetAttrString(t->loop, "_on_fatal"));
    if (on_fatal) {
      call_reporting(on_fatal.get(), exc);
    } else {
      PyErr_WriteUnraisable(t->loop);
    }
  }
}

// ---------------------------------------------------------------- a step

// A wake-up while the future the task is parked on is not done, and no
// cancellation is pending, leaves it parked: a future's __await__ refuses to
// go on before the future is done.
bool stray_wake(TaskObject* t, bool cancel) {
  if (!t->awaited_future) return false;
  if (!cancel) {
    Ref done = Ref::steal(PyObject_CallMethodNoArgs(t->awaited_future, names().done));
    int truth = done ? PyObject_IsTrue(done.get()) : -1;
    if (truth < 0) PyErr_Clear();
    if (truth == 0) return true;
  }
  Py_CLEAR(t->awaited_future);
  return false;
}

// A context that is already entered (the code that called run() runs in it,
// or another thread steps a task sharing it) cannot be entered again: the
// task then goes on in a copy of it, which get_context() reports from then on.
void enter_context(TaskObject* t) {
  if (!t->context) return;
  if (PyContext_Enter(t->context) == 0) return;
  PyErr_Clear();
  Py_SETREF(t->context, PyContext_Copy(t->context));
  if (t->context && PyContext_Enter(t->context) == 0) return;
  PyErr_Clear();
  Py_CLEAR(t->context);  // out of memory: the step runs in the loop's context
}

void exit_context(TaskObject* t) {
  if (t->context && PyContext_Exit(t->context) < 0) PyErr_Clear();
}

// A task cancelled before its first step never runs its coroutine: it is
// closed, and the task ends with CancelledError(msg).
StepEnd cancel_unstarted(TaskObject* t, ModuleState& state, Ref& out) {
  Ref closed = Ref::steal(PyObject_CallMethodNoArgs(t->coro, names().close));
  if (!closed) {
    out = Ref::steal(PyErr_GetRaisedException());
    return StepEnd::Raised;
  }
  PyObject* cancelled = helper(state, kCancelledError);
  if (cancelled) {
    out = Ref::steal(t->cancel_message && t->cancel_message != Py_None
                         ? PyObject_CallOneArg(cancelled, t->cancel_message)
                         : PyObject_CallNoArgs(cancelled));
  }
  if (!out) out = Ref::steal(PyErr_GetRaisedException());
  return StepEnd::Raised;
}

StepEnd run_step(TaskObject* t, ModuleState& state, bool cancel, Ref& out) {
  if (!t->started) {
    t->started = 1;
    if (t->cancel_requests) return cancel_unstarted(t, state, out);
  }
  if (cancel) {
    t->must_cancel = 0;
    Py_CLEAR(t->bad_yield);
    // An instance carrying the task's cancel message, when it has one.
    Ref cancelled = compat_attribute(state, names().cancelled_error);
    if (!cancelled) {
      raise_panic("CancelledError not found: velkor._compat.CancelledError is unavailable");
      out = Ref::steal(PyErr_GetRaisedException());
      return StepEnd::Raised;
    }
    return throw_into(t->coro, cancelled.get(), out);
  }
  if (t->bad_yield) {
    Ref exc = Ref::steal(std::exchange(t->bad_yield, nullptr));
    return throw_into(t->coro, exc.get(), out);
  }
  return send_none(t->coro, out);
}

// An empty tuple or bytes: what the runtime's awaitables yield once they
// have stored the task's waker somewhere.
bool is_pending_value(PyObject* yielded) {
  return (PyTuple_CheckExact(yielded) && PyTuple_GET_SIZE(yielded) == 0) ||
         (PyBytes_CheckExact(yielded) && PyBytes_GET_SIZE(yielded) == 0);
}

// What the coroutine yielded decides what wakes it: its awaitable took the
// waker, a bare yield queues it behind the tasks already runnable, a future
// takes a wake-up callback, and anything else is thrown back as RuntimeError.
void suspend(TaskObject* t, Ref yielded, const Waker& waker) {
  if (is_pending_value(yielded.get())) return;
  if (yielded.get() == Py_None) {
    waker.wake_by_ref();
    return;
  }
  if (maybe_register_future_waker(yielded.get())) {
    t->awaited_future = yielded.release();
    return;
  }
  t->bad_yield = PyObject_CallFunction(PyExc_RuntimeError, "N",
                                       PyUnicode_FromFormat("Task got bad yield: %R", yielded.get()));
  if (!t->bad_yield) t->bad_yield = PyErr_GetRaisedException();  // the repr failed
  waker.wake_by_ref();
}

void report_slow_step(PyObject* self, ModuleState& state, double took) {
  TaskObject* t = as_task(self);
  Ref limit = Ref::steal(PyObject_GetAttrString(t->loop, "slow_callback_duration"));
  double seconds = limit ? PyFloat_AsDouble(limit.get()) : -1.0;
  if (seconds == -1.0 && PyErr_Occurred()) PyErr_Clear();
  if (!limit || took < seconds) return;
  Ref took_obj = Ref::steal(PyFloat_FromDouble(took));
  if (took_obj) call_reporting(helper(state, kSlowStep), self, took_obj.get());
  PyErr_Clear();
}

using StepClock = std::chrono::steady_clock;

Poll step_task(PyObject* self, const Waker& waker) {
  TaskObject* t = as_task(self);
  ModuleState* state = state_of(self);
  if (!state || !helpers(*state)) {
    PyErr_WriteUnraisable(self);
    return Poll::Pending;
  }
  // What cancel() wakes the task with: a share of the first poll's waker,
  // which is no extra allocation (a request before the first step needs no
  // wake-up: the task is queued already).
  if (!self_waker(t)) self_waker(t) = waker.clone();
  const bool cancel = t->must_cancel;
  if (stray_wake(t, cancel)) return Poll::Pending;
  enter_context(t);
  // The package's tasks know their loop; others look it up each step.
  LoopStepSaved saved;
  SavedBookkeeping saved_lookup;
  if (t->loop) {
    enter_loop_task_step(*state, self, t->holder, t->loop, saved);
  } else {
    Ref no_loop;
    saved_lookup = enter_task_step(*state, self, t->holder, no_loop);
  }
  PyObject* outer = std::exchange(t_current, self);
  const bool timed = t->debug && t->loop;
  const StepClock::time_point started = timed ? StepClock::now() : StepClock::time_point();
  Ref out;
  StepEnd end = run_step(t, *state, cancel, out);
  if (timed) {
    ErrorSaved saved_error;
    report_slow_step(self, *state, std::chrono::duration<double>(StepClock::now() - started).count());
  }
  if (end == StepEnd::Yielded) suspend(t, std::move(out), waker);
  t_current = outer;
  if (saved.loop) {
    exit_loop_task_step(*state, self, t->holder, saved);
  } else {
    exit_task_step(*state, self, t->holder, saved_lookup);
  }
  exit_context(t);
  if (end == StepEnd::Yielded) return Poll::Pending;
  finish(self, *state, end, std::move(out));
  return Poll::Ready;
}

// What the engine polls: holds the task object while it is pending.
class TaskDriver final : public Task {
 public:
  explicit TaskDriver(Ref task) : task_(std::move(task)) {}

  Poll poll(const Waker& waker) override {
    runtime::CurrentWakerScope waker_scope(waker);
    Attached attached;
    if (!attached.ok()) throw Panic(kInterpreterFinalizing);  // ends the run, never idles
    TaskObject* t = as_task(task_.get());
    // A task whose fields the collector cleared (its loop was garbage too)
    // has nothing left to step.
    if (t->state != State::Pending || !t->coro) return Poll::Ready;
    return step_task(task_.get(), waker);
  }

  int traverse(const Visitor& visit) const override { return visit(task_.get()); }

 private:
  Ref task_;
};

// ---------------------------------------------------------------- spawning

// `aw` as a coroutine: itself, or one the package makes to await it.
Ref as_coroutine(ModuleState& state, PyObject* aw) {
  if (PyCoro_CheckExact(aw)) return Ref::borrow(aw);
  PyObject* convert = helper(state, kAsCoroutine);
  if (!convert) return Ref();
  Ref coro = Ref::steal(PyObject_CallOneArg(convert, aw));
  if (coro && coro.get() == Py_None) {
    PyErr_Format(PyExc_TypeError, "a coroutine or an awaitable was expected, got %s",
                 Py_TYPE(aw)->tp_name);
    return Ref();
  }
  return coro;
}

Ref checked_context(PyObject* context) {
  if (!context || context == Py_None) return Ref::steal(PyContext_CopyCurrent());
  if (!PyContext_CheckExact(context)) {
    PyErr_Format(PyExc_TypeError, "context must be a contextvars.Context, got %s",
                 Py_TYPE(context)->tp_name);
    return Ref();
  }
  return Ref::borrow(context);
}

// The running asyncio loop when it is a velkor EventLoop; null otherwise.
Ref velkor_loop(ModuleState& state) {
  PyObject* get = helper(state, kGetRunningLoop);
  Ref loop = get ? Ref::steal(PyObject_CallNoArgs(get)) : Ref();
  if (!loop) {
    PyErr_Clear();
    return Ref();
  }
  PyObject* cls = helper(state, kEventLoop);
  int is_velkor = loop.get() != Py_None && cls ? PyObject_IsInstance(loop.get(), cls) : 0;
  if (is_velkor < 0) PyErr_Clear();
  return is_velkor > 0 ? std::move(loop) : Ref();
}

bool debug_loop(PyObject* loop) {
  PyObject* flag = nullptr;
  if (PyObject_GetOptionalAttr(loop, names().debug, &flag) < 0) PyErr_Clear();
  int truth = flag ? PyObject_IsTrue(flag) : 0;
  Py_XDECREF(flag);
  if (truth < 0) PyErr_Clear();
  return truth > 0;
}

// Joins the loop's set of velkor tasks, which the task keeps until it ends
// (the loop keeps the same set for life): a task spawned by another task of
// the same loop takes the set from its parent instead of looking it up.
void add_to_loop(PyObject* self, PyObject* loop) {
  TaskObject* parent = t_current ? as_task(t_current) : nullptr;
  PyObject* tasks = nullptr;
  if (parent && parent->loop == loop && parent->loop_tasks) {
    tasks = Py_NewRef(parent->loop_tasks);
  } else if (PyObject_GetOptionalAttr(loop, names().velkor_tasks, &tasks) <= 0 || !PySet_Check(tasks)) {
    Py_XDECREF(tasks);
    PyErr_Clear();
    return;
  }
  if (PySet_Add(tasks, self) < 0) {
    PyErr_Clear();
    Py_DECREF(tasks);
    return;
  }
  Py_XSETREF(as_task(self)->loop_tasks, tasks);
}

// Hands the task to the running engine; false with an error set when none
// runs on this thread.
bool start_in_engine(PyObject* self) {
  RuntimeContext* ctx = runtime::try_current();
  if (!ctx || !ctx->core) {
    // asyncio's error, in words that also say which runtime is missing.
    PyErr_SetString(PyExc_RuntimeError, "no running event loop (velkor runtime not initialized)");
    return false;
  }
  try {
    ctx->core->spawn(std::make_unique<TaskDriver>(Ref::borrow(self)));
    return true;
  } catch (const Panic& p) {
    raise_panic(p.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  }
  return false;
}

// Fills the fields of a new task from __init__'s arguments.
bool prepare(PyObject* self, ModuleState& state, PyObject* aw, PyObject* name, PyObject* context) {
  TaskObject* t = as_task(self);
  Ref ctx = checked_context(context);
  if (!ctx) return false;
  Ref coro = as_coroutine(state, aw);
  if (!coro) return false;
  Ref label = name && name != Py_None ? Ref::steal(PyObject_Str(name)) : Ref();
  if (name && name != Py_None && !label) {
    if (coro.get() != aw) Py_XDECREF(PyObject_CallMethodNoArgs(coro.get(), names().close));
    return false;
  }
  // Py_XSETREF: an __init__ that failed before the task started may be
  // called again.
  Py_XSETREF(t->coro, coro.release());
  Py_XSETREF(t->context, ctx.release());
  Py_XSETREF(t->name, label.release());
  if (PyObject* parent = t_current) {
    // Spawned by a task this thread is stepping: the same running loop and
    // the same thread's holder, without looking either up.
    set_field(t->loop, as_task(parent)->loop);
    set_field(t->holder, as_task(parent)->holder);
    return true;
  }
  Py_XSETREF(t->loop, velkor_loop(state).release());
  Py_XSETREF(t->holder, compat_attribute(state, names().current_task).release());
  return true;
}

void close_quietly(PyObject* coro) {
  ErrorSaved saved;
  Py_XDECREF(PyObject_CallMethodNoArgs(coro, names().close));
  PyErr_Clear();
}

// (aw, *, name=None, context=None). The common call, one positional and
// nothing else or known keywords, is read directly; anything else goes
// through the general parser, which also words the errors.
bool parse_init(PyObject* args, PyObject* kwargs, PyObject*& aw, PyObject*& name, PyObject*& context) {
  bool simple = PyTuple_GET_SIZE(args) == 1;
  if (simple && kwargs) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (simple && PyDict_Next(kwargs, &pos, &key, &value)) {
      if (PyUnicode_Check(key) && PyUnicode_EqualToUTF8(key, "context")) {
        context = value;
      } else if (PyUnicode_Check(key) && PyUnicode_EqualToUTF8(key, "name")) {
        name = value;
      } else {
        simple = false;
      }
    }
  }
  if (simple) {
    aw = PyTuple_GET_ITEM(args, 0);
    return true;
  }
  static const char* kwlist[] = {"aw", "name", "context", nullptr};
  name = context = Py_None;
  return PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OO:Task", const_cast<char**>(kwlist), &aw,
                                     &name, &context);
}

int start_task(PyObject* self, ModuleState& state, PyObject* aw, PyObject* name, PyObject* context);

int task_init(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* aw;
  PyObject* name = Py_None;
  PyObject* context = Py_None;
  if (!parse_init(args, kwargs, aw, name, context)) return -1;
  TaskObject* t = as_task(self);
  if (t->spawned) {
    PyErr_SetString(PyExc_RuntimeError, "the task has already been started");
    return -1;
  }
  if (t_current && !t->module) t->module = Py_XNewRef(as_task(t_current)->module);
  ModuleState* state = state_of(self);
  if (!state || !helpers(*state)) return -1;
  return start_task(self, *state, aw, name, context);
}

// Fills a new task from its arguments and hands it to the engine; the
// helpers are loaded.
int start_task(PyObject* self, ModuleState& state, PyObject* aw, PyObject* name, PyObject* context) {
  TaskObject* t = as_task(self);
  if (!prepare(self, state, aw, name, context)) return -1;
  if (!t->name) t->number = ++g_task_numbers;  // named tasks take no number
  if (t->loop && debug_loop(t->loop)) {
    t->debug = 1;
    PyObject* site = helper(state, kSpawnSite);
    Py_XSETREF(t->source_traceback, site ? PyObject_CallNoArgs(site) : nullptr);
    if (!t->source_traceback) PyErr_Clear();
  }
  if (!start_in_engine(self)) {
    // The caller's coroutine is left to the caller, unharmed; only one made
    // here to await another awaitable is closed.
    if (t->coro != aw) close_quietly(t->coro);
    return -1;
  }
  t->spawned = 1;
  if (t->loop) add_to_loop(self, t->loop);
  return 0;
}

PyObject* task_new(PyTypeObject* type, PyObject*, PyObject*) {
  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return nullptr;
  TaskObject* t = as_task(self);
  new (t->self_waker_storage) Waker();
  new (t->waiters_storage) Waiters();
  t->state = State::Pending;
  return self;
}

// ---------------------------------------------------------------- GC

// Not visited: the module and the holder, which every task of the
// interpreter shares and its modules keep for as long as it lives, so they
// are never garbage that a task's references could help find; skipping them
// makes the collector's passes over long-lived tasks cheaper.
int task_traverse(PyObject* self, visitproc visit, void* arg) {
  TaskObject* t = as_task(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(t->coro);
  Py_VISIT(t->context);
  Py_VISIT(t->loop);
  Py_VISIT(t->loop_tasks);
  Py_VISIT(t->name);
  Py_VISIT(t->result);
  Py_VISIT(t->exception);
  Py_VISIT(t->traceback);
  Py_VISIT(t->cancel_message);
  Py_VISIT(t->awaiting);
  Py_VISIT(t->done_callbacks);
  Py_VISIT(t->soon_callbacks);
  Py_VISIT(t->tb_logger);
  Py_VISIT(t->source_traceback);
  Py_VISIT(t->awaited_future);
  Py_VISIT(t->bad_yield);
  return 0;
}

int task_clear(PyObject* self) {
  TaskObject* t = as_task(self);
  for (PyObject** field : {&t->module, &t->coro, &t->context, &t->loop, &t->holder, &t->name, &t->result,
                           &t->exception, &t->traceback, &t->cancel_message, &t->awaiting,
                           &t->done_callbacks, &t->soon_callbacks, &t->tb_logger,
                           &t->source_traceback, &t->awaited_future, &t->bad_yield, &t->loop_tasks}) {
    Py_CLEAR(*field);
  }
  return 0;
}

void task_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  PyObject_ClearWeakRefs(self);
  task_clear(self);
  TaskObject* t = as_task(self);
  self_waker(t).~Waker();
  waiters(t).~Waiters();
  type->tp_free(self);
  Py_DECREF(type);
}

// ---------------------------------------------------------------- methods

bool pending(PyObject* self) { return as_task(self)->state == State::Pending; }

// Walks down the chain of tasks each awaiting the next, and delivers the
// request to the last one still running; a loop, because such a chain may
// be far deeper than the recursion limit. Tasks awaiting each other in a ring
// get it delivered where the ring closes.
PyObject* task_cancel(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"msg", nullptr};
  PyObject* msg = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:cancel", const_cast<char**>(kwlist), &msg)) {
    return nullptr;
  }
  if (!pending(self)) Py_RETURN_FALSE;
  TaskObject* task = as_task(self);
  std::vector<TaskObject*> seen;
  for (;;) {
    task->cancel_requests += 1;
    set_field(task->cancel_message, msg);
    if (!task->started) Py_RETURN_TRUE;
    TaskObject* next = task->awaiting ? as_task(task->awaiting) : nullptr;
    if (!next || next->state != State::Pending) break;
    if (seen.empty()) seen.push_back(as_task(self));
    bool ring = false;
    for (TaskObject* s : seen) ring = ring || s == next;
    if (ring) break;
    seen.push_back(next);
    task = next;
  }
  task->must_cancel = 1;
  self_waker(task).wake_by_ref();
  Py_RETURN_TRUE;
}

PyObject* task_cancelling(PyObject* self, PyObject*) {
  return PyLong_FromSsize_t(as_task(self)->cancel_requests);
}

PyObject* task_uncancel(PyObject* self, PyObject*) {
  TaskObject* t = as_task(self);
  if (t->cancel_requests > 0 && --t->cancel_requests == 0) t->must_cancel = 0;
  return PyLong_FromSsize_t(t->cancel_requests);
}

PyObject* task_done(PyObject* self, PyObject*) { return PyBool_FromLong(!pending(self)); }

PyObject* task_cancelled(PyObject* self, PyObject*) {
  return PyBool_FromLong(as_task(self)->state == State::Cancelled);
}

PyObject* task_get_name(PyObject* self, PyObject*) {
  TaskObject* t = as_task(self);
  if (!t->name) t->name = PyUnicode_FromFormat("Task-%llu", t->number);
  return Py_XNewRef(t->name);
}

PyObject* task_set_name(PyObject* self, PyObject* value) {
  PyObject* label = PyObject_Str(value);
  if (!label) return nullptr;
  Py_XSETREF(as_task(self)->name, label);
  Py_RETURN_NONE;
}

PyObject* task_add_internal(PyObject* self, PyObject* callback) {
  TaskObject* t = as_task(self);
  if (!t->done_callbacks) {
    t->done_callbacks = PyList_New(0);
    if (!t->done_callbacks) return nullptr;
  }
  if (PyList_Append(t->done_callbacks, callback) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyObject* task_remove_internal(PyObject* self, PyObject* callback) {
  PyObject* list = as_task(self)->done_callbacks;
  if (!list) Py_RETURN_NONE;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
    int same = PyObject_RichCompareBool(PyList_GET_ITEM(list, i), callback, Py_EQ);
    if (same < 0) return nullptr;
    if (same) {
      if (PySequence_DelItem(list, i) < 0) return nullptr;
      break;
    }
  }
  Py_RETURN_NONE;
}

// A wake-up that delivers nothing: the step finds whatever the task is parked
// on still pending and parks again.
PyObject* task_wake(PyObject* self, PyObject*) {
  self_waker(as_task(self)).wake_by_ref();
  Py_RETURN_NONE;
}

PyObject* task_retrieved(PyObject* self, PyObject*) {
  retrieved(as_task(self));
  Py_RETURN_NONE;
}

PyObject* new_await(PyObject* self, PyObject* waiter);

PyObject* task_await(PyObject* self) {
  TaskObject* t = as_task(self);
  if (!t->spawned) {
    PyErr_SetString(PyExc_RuntimeError, "the task was never started");
    return nullptr;
  }
  PyObject* waiter = t_current;
  if (pending(self)) {
    if (!waiter) {
      PyObject* foreign = helper_of(self, kAwaitForeign);
      if (!foreign) return nullptr;
      PyObject* out = PyObject_CallOneArg(foreign, self);
      if (!out || out != Py_None) return out;
      Py_DECREF(out);
    } else if (waiter == self) {
      PyErr_Format(PyExc_RuntimeError, "a task cannot await itself: %R", self);
      return nullptr;
    }
  }
  return new_await(self, waiter);
}

// ---------------------------------------------------------------- attributes

template <std::ptrdiff_t Offset>
PyObject* get_object(PyObject* self, void*) {
  PyObject* value = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + Offset);
  return Py_NewRef(value ? value : Py_None);
}

PyObject* get_state(PyObject* self, void*) {
  static constexpr Helper names_of[] = {kStatePending, kStateFinished, kStateFailed, kStateCancelled};
  PyObject* name = helper_of(self, names_of[static_cast<int>(as_task(self)->state)]);
  return Py_XNewRef(name);
}

PyObject* get_name_attr(PyObject* self, void*) { return task_get_name(self, nullptr); }
PyObject* get_cancel_requests(PyObject* self, void*) { return task_cancelling(self, nullptr); }
PyObject* get_must_cancel(PyObject* self, void*) { return PyBool_FromLong(as_task(self)->must_cancel); }
PyObject* get_started(PyObject* self, void*) { return PyBool_FromLong(as_task(self)->started); }

// What wakes the task, as a callable taking one ignored argument (the shape
// of a future's done callback); None once the task has ended.
PyObject* get_cancel_waker(PyObject* self, void*) {
  if (!self_waker(as_task(self))) Py_RETURN_NONE;
  return PyObject_GetAttrString(self, "_wake");
}

int set_soon_callbacks(PyObject* self, PyObject* value, void*) {
  if (value && value != Py_None && !PyList_CheckExact(value)) {
    PyErr_SetString(PyExc_TypeError, "_soon_callbacks must be a list or None");
    return -1;
  }
  PyObject* kept = value == Py_None ? nullptr : value;
  set_field(as_task(self)->soon_callbacks, kept);
  return 0;
}

#define VELKOR_FIELD(attr, field) \
  {attr, get_object<offsetof(TaskObject, field)>, nullptr, nullptr, nullptr}

PyGetSetDef task_getset[] = {
    VELKOR_FIELD("_loop", loop),
    VELKOR_FIELD("_coro", coro),
    VELKOR_FIELD("_context", context),
    VELKOR_FIELD("_result", result),
    VELKOR_FIELD("_exception", exception),
    VELKOR_FIELD("_traceback", traceback),
    VELKOR_FIELD("_cancel_message", cancel_message),
    VELKOR_FIELD("_awaiting", awaiting),
    VELKOR_FIELD("_source_traceback", source_traceback),
    {"_soon_callbacks", get_object<offsetof(TaskObject, soon_callbacks)>, set_soon_callbacks,
     nullptr, nullptr},
    {"_state", get_state, nullptr, nullptr, nullptr},
    {"_name", get_name_attr, nullptr, nullptr, nullptr},
    {"_cancel_requests", get_cancel_requests, nullptr, nullptr, nullptr},
    {"_must_cancel", get_must_cancel, nullptr, nullptr, nullptr},
    {"_started", get_started, nullptr, nullptr, nullptr},
    {"_cancel_waker", get_cancel_waker, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#undef VELKOR_FIELD

PyMethodDef task_methods[] = {
    {"cancel", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(task_cancel)),
     METH_VARARGS | METH_KEYWORDS,
     "cancel($self, /, msg=None)\n--\n\n"
     "Requests cancellation; returns False when the task has already ended."},
    {"cancelling", task_cancelling, METH_NOARGS,
     "cancelling($self, /)\n--\n\nThe number of cancellation requests not withdrawn."},
    {"uncancel", task_uncancel, METH_NOARGS,
     "uncancel($self, /)\n--\n\nWithdraws one cancellation request; returns how many remain."},
    {"done", task_done, METH_NOARGS, "done($self, /)\n--\n\nWhether the task has ended."},
    {"cancelled", task_cancelled, METH_NOARGS,
     "cancelled($self, /)\n--\n\nWhether the task ended cancelled."},
    {"get_name", task_get_name, METH_NOARGS, "get_name($self, /)\n--\n\n"},
    {"set_name", task_set_name, METH_O, "set_name($self, value, /)\n--\n\n"},
    {"_add_done_callback", task_add_internal, METH_O,
     "_add_done_callback($self, callback, /)\n--\n\n"
     "Has callback(task) called synchronously when the task ends."},
    {"_remove_done_callback", task_remove_internal, METH_O,
     "_remove_done_callback($self, callback, /)\n--\n\n"},
    {"_wake", task_wake, METH_O, "_wake($self, _result, /)\n--\n\nWakes the task."},
    {"_retrieved", task_retrieved, METH_NOARGS,
     "_retrieved($self, /)\n--\n\nSomeone has seen the exception: nothing to log when the task goes."},
    {"__class_getitem__", Py_GenericAlias, METH_O | METH_CLASS,
     "__class_getitem__($cls, item, /)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot task_slots[] = {
    {Py_tp_doc, const_cast<char*>("TaskBase(aw, *, name=None, context=None)\n--\n\n"
                                  "The native core of velkor.Task.")},
    {Py_tp_new, reinterpret_cast<void*>(task_new)},
    {Py_tp_init, reinterpret_cast<void*>(task_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(task_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(task_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(task_clear)},
    {Py_am_await, reinterpret_cast<void*>(task_await)},
    {Py_tp_methods, task_methods},
    {Py_tp_getset, task_getset},
    {0, nullptr},
};

PyType_Spec task_spec = {"_velkor.TaskBase", sizeof(TaskObject), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE |
                             Py_TPFLAGS_HAVE_GC |
                             Py_TPFLAGS_MANAGED_WEAKREF,
                         task_slots};

// ---------------------------------------------------------------- awaiting

// The iterator behind `await task`: parks the awaiting task's waker on the
// awaited one and, when awaited from a velkor task, records the link that
// cancel() follows down chains of awaits.
struct AwaitObject {
  PyObject_HEAD
  PyObject* task;
  PyObject* waiter;  // the velkor task awaiting, if any
  bool linked;
  bool done;
};

AwaitObject* as_await(PyObject* obj) { return reinterpret_cast<AwaitObject*>(obj); }

void unlink(AwaitObject* it) {
  if (!it->linked) return;
  it->linked = false;
  TaskObject* waiter = as_task(it->waiter);
  if (waiter->awaiting == it->task) Py_CLEAR(waiter->awaiting);
}

// Drops the current step's waker from the awaited task's waiters: the await
// is over without an outcome.
void forget_waker(AwaitObject* it) {
  RuntimeContext* ctx = runtime::try_current();
  if (!ctx || !ctx->current_waker) return;
  Waiters& list = waiters(as_task(it->task));
  for (auto w = list.begin(); w != list.end(); ++w) {
    if (w->wakes_same_task(ctx->current_waker)) {
      list.erase(w);
      return;
    }
  }
}

PySendResult deliver(AwaitObject* it, PyObject** out) {
  unlink(it);
  it->done = true;
  TaskObject* t = as_task(it->task);
  if (t->state == State::Finished) {
    *out = Py_NewRef(t->result ? t->result : Py_None);
    return PYGEN_RETURN;
  }
  retrieved(t);
  PyObject* exc = t->exception;
  if (!exc) {
    PyErr_SetString(PyExc_RuntimeError, "the task ended without an outcome");
    return PYGEN_ERROR;
  }
  if (t->traceback) PyException_SetTraceback(exc, t->traceback);
  PyErr_SetRaisedException(Py_NewRef(exc));
  *out = nullptr;
  return PYGEN_ERROR;
}

PySendResult park(AwaitObject* it, PyObject** out) {
  RuntimeContext* ctx = runtime::try_current();
  if (!ctx || !ctx->current_waker) {
    PyErr_SetString(PyExc_RuntimeError, "a velkor Task can only be awaited by a task on a running loop");
    return PYGEN_ERROR;
  }
  if (it->waiter && !it->linked) {
    set_field(as_task(it->waiter)->awaiting, it->task);
    it->linked = true;
  }
  Waker waker = std::move(ctx->current_waker);
  Waiters& list = waiters(as_task(it->task));
  bool parked = false;
  for (const Waker& w : list) parked = parked || w.wakes_same_task(waker);
  if (!parked) list.push_back(std::move(waker));
  *out = Py_NewRef(pending_marker());
  return PYGEN_NEXT;
}

PySendResult await_send(PyObject* self, PyObject*, PyObject** out) {
  AwaitObject* it = as_await(self);
  *out = nullptr;
  if (it->done) {
    *out = Py_NewRef(Py_None);
    return PYGEN_RETURN;
  }
  if (!pending(it->task)) return deliver(it, out);
  try {
    return park(it, out);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return PYGEN_ERROR;
  }
}

PyObject* await_next(PyObject* self) {
  if (as_await(self)->done) return nullptr;
  PyObject* out = nullptr;
  PySendResult r = await_send(self, Py_None, &out);
  if (r == PYGEN_RETURN) {
    set_stop_iteration(out);
    Py_DECREF(out);
    return nullptr;
  }
  return out;
}

PyObject* await_send_method(PyObject* self, PyObject*) { return send_result(await_next(self)); }

PyObject* await_throw(PyObject* self, PyObject* args) {
  PyObject* type;
  PyObject* value = nullptr;
  PyObject* tb = nullptr;
  if (!PyArg_ParseTuple(args, "O|OO:throw", &type, &value, &tb)) return nullptr;
  AwaitObject* it = as_await(self);
  if (!it->done) {
    unlink(it);
    forget_waker(it);
    it->done = true;
  }
  if (PyExceptionInstance_Check(type)) {
    PyErr_SetRaisedException(Py_NewRef(type));
  } else if (PyExceptionClass_Check(type)) {
    PyErr_SetObject(type, value && value != Py_None ? value : nullptr);
  } else {
    PyErr_SetString(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException");
  }
  return nullptr;
}

PyObject* await_close(PyObject* self, PyObject*) {
  AwaitObject* it = as_await(self);
  if (!it->done) {
    unlink(it);
    forget_waker(it);
    it->done = true;
  }
  Py_RETURN_NONE;
}

int await_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(as_await(self)->task);
  Py_VISIT(as_await(self)->waiter);
  return 0;
}

int await_clear(PyObject* self) {
  AwaitObject* it = as_await(self);
  if (it->waiter && it->task) unlink(it);
  it->linked = false;
  Py_CLEAR(it->task);
  Py_CLEAR(it->waiter);
  return 0;
}

void await_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  await_clear(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyMethodDef await_methods[] = {
    {"send", await_send_method, METH_O, "send($self, value, /)\n--\n\n"},
    {"throw", await_throw, METH_VARARGS, "throw($self, typ, val=None, tb=None, /)\n--\n\n"},
    {"close", await_close, METH_NOARGS, "close($self, /)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot await_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(await_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(await_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(await_clear)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(await_next)},
    {Py_am_send, reinterpret_cast<void*>(await_send)},
    {Py_tp_methods, await_methods},
    {0, nullptr},
};

PyType_Spec await_spec = {"_velkor.TaskAwait", sizeof(AwaitObject), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC |
                              Py_TPFLAGS_DISALLOW_INSTANTIATION,
                          await_slots};

PyObject* new_await(PyObject* self, PyObject* waiter) {
  PyTypeObject* type = shared_type(g_await_type, &await_spec);
  if (!type) return nullptr;
  PyObject* obj = type->tp_alloc(type, 0);
  if (!obj) return nullptr;
  AwaitObject* it = as_await(obj);
  it->task = Py_NewRef(self);
  it->waiter = Py_XNewRef(waiter);
  return obj;
}

// ---------------------------------------------------------------- spawn

bool is_keyword(PyObject* key, const char* word) {
  return PyUnicode_Check(key) && PyUnicode_EqualToUTF8(key, word);
}

// (coro, *, name=None, context=None) from a vectorcall, with the errors
// worded as for a Python function of that signature.
bool parse_spawn(PyObject* const* args, size_t nargsf, PyObject* kwnames, PyObject*& aw,
                 PyObject*& name, PyObject*& context) {
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (nargs > 1) {
    PyErr_Format(PyExc_TypeError, "spawn() takes 1 positional argument but %zd were given", nargs);
    return false;
  }
  aw = nargs ? args[0] : nullptr;
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t i = 0; i < nkw; ++i) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, i);
    PyObject* value = args[nargs + i];
    if (is_keyword(key, "name")) {
      name = value;
    } else if (is_keyword(key, "context")) {
      context = value;
    } else if (is_keyword(key, "coro") && !aw) {
      aw = value;
    } else if (is_keyword(key, "coro")) {
      PyErr_SetString(PyExc_TypeError, "spawn() got multiple values for argument 'coro'");
      return false;
    } else {
      PyErr_Format(PyExc_TypeError, "spawn() got an unexpected keyword argument '%S'", key);
      return false;
    }
  }
  if (!aw) {
    PyErr_SetString(PyExc_TypeError, "spawn() missing 1 required positional argument: 'coro'");
    return false;
  }
  return true;
}

// velkor.spawn: what velkor.Task(coro, ...) does, without the generic call
// of the class. Its self is the _velkor module.
PyObject* spawn_task(PyObject* module, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  PyObject* aw = nullptr;
  PyObject* name = Py_None;
  PyObject* context = Py_None;
  if (!parse_spawn(args, nargsf, kwnames, aw, name, context)) return nullptr;
  ModuleState& state = module_state(module);
  PyObject* cls = helper(state, kTaskClass);
  if (!cls) return nullptr;
  Ref self = Ref::steal(task_new(reinterpret_cast<PyTypeObject*>(cls), nullptr, nullptr));
  if (!self) return nullptr;
  as_task(self.get())->module = Py_NewRef(module);
  if (start_task(self.get(), state, aw, name, context) < 0) return nullptr;
  return self.release();
}

PyMethodDef spawn_def = {
    "spawn", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(spawn_task)),
    METH_FASTCALL | METH_KEYWORDS,
    "spawn(coro, *, name=None, context=None)\n--\n\n"
    "Starts `coro` as a task of the running loop and returns its `Task`.\n\n"
    "`coro` is a coroutine, or another awaitable (such as `sleep(1)`), which\n"
    "a coroutine made for it awaits. The task runs in a copy of the caller's\n"
    "`contextvars` context, or in `context` when given, and is named `name`\n"
    "(default \"Task-N\").\n\n"
    "Must be called from code running on the loop. The task runs concurrently\n"
    "with its caller, starting on a later loop iteration; the enclosing\n"
    "`velkor.run` returns only once it has ended."};

}  // namespace

int add_task_type(PyObject* module) {
  PyTypeObject* type = shared_type(g_task_type, &task_spec);
  if (!type) return -1;
  return PyModule_AddObjectRef(module, "TaskBase", reinterpret_cast<PyObject*>(type));
}

// Bound to `module`, and reporting the package as its home.
int add_spawn_function(PyObject* module) {
  Ref home = Ref::steal(PyUnicode_FromString("velkor.tasks"));
  if (!home) return -1;
  Ref function = Ref::steal(PyCFunction_NewEx(&spawn_def, module, home.get()));
  if (!function) return -1;
  return PyModule_AddObjectRef(module, "_spawn_task", function.get());
}

}  // namespace velkor::py
