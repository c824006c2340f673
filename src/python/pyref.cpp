#include "python/pyref.h"

#include <time.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <utility>
#include <condition_variable>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "runtime/tls.h"

namespace velkor::py {

namespace {

// References released while detached. A leaked heap object, so that threads
// exiting after static destruction can still queue into it.
struct DeferredReleases {
  std::mutex mu;
  std::vector<PyObject*> objects;
  std::atomic<bool> nonempty{false};
};

DeferredReleases& deferred() {
  static auto* queue = new DeferredReleases;
  return *queue;
}

}  // namespace

void defer_release(PyObject* obj) noexcept {
  auto& q = deferred();
  std::lock_guard lock(q.mu);
  q.objects.push_back(obj);
  q.nonempty.store(true, std::memory_order_release);
}

void drain_deferred_releases() noexcept {
  auto& q = deferred();
  if (!q.nonempty.load(std::memory_order_acquire)) return;
  std::vector<PyObject*> batch;
  {
    std::lock_guard lock(q.mu);
    batch.swap(q.objects);
    q.nonempty.store(false, std::memory_order_release);
  }
  // Finalisers run by these releases may queue more; they are drained next time.
  for (PyObject* obj : batch) Py_DECREF(obj);
}

namespace {

// The thread state set aside by the innermost Unlocked on this thread, or a
// pool worker's own state.
VELKOR_HOT_TLS thread_local PyThreadState* t_parked_state = nullptr;
// Inside a loop run: keep the interpreter lock between callbacks.
VELKOR_HOT_TLS thread_local bool t_keep_attached = false;
// The thread is attached only because a callback's lock was kept.
VELKOR_HOT_TLS thread_local bool t_kept = false;
// How long a kept lock may be held (one switch interval), and since when the
// lock kept now has been held.
VELKOR_HOT_TLS thread_local int64_t t_hold_limit_ns = 0;
VELKOR_HOT_TLS thread_local int64_t t_held_since_ns = 0;
VELKOR_HOT_TLS thread_local uint32_t t_keeps_unchecked = 0;
// The last check found the lock held for a whole switch interval.
VELKOR_HOT_TLS thread_local bool t_hold_expired = false;

int64_t monotonic_ns() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// sys.getswitchinterval() in nanoseconds; the default 5 ms if it cannot be read.
int64_t switch_interval_ns() {
  constexpr int64_t kDefault = 5'000'000;
  Ref sys = import_module("sys");
  Ref seconds = sys ? Ref::steal(PyObject_CallMethod(sys.get(), "getswitchinterval", nullptr)) : Ref();
  double value = seconds ? PyFloat_AsDouble(seconds.get()) : -1.0;
  if (PyErr_Occurred()) PyErr_Clear();
  if (!(value > 0.0)) return kDefault;
  return static_cast<int64_t>(std::min(value, 3600.0) * 1e9);
}

// Whether the lock taken for a callback may stay with this thread for the
// next one: until it has been held for one switch interval. Reading the
// clock costs about as much as a C-level callback, so a lock kept already is
// checked every kClockEvery callbacks only: a hold overshoots the interval by
// at most that many callbacks (microseconds for C-level ones; Python-level
// ones let the eval loop hand the lock over by itself). Nothing else can
// change while the lock stays kept: the interpreter cannot begin to exit
// without it.
bool may_keep_lock(bool kept_already) {
  constexpr uint32_t kClockEvery = 16;
  if (kept_already && ++t_keeps_unchecked < kClockEvery) return true;
  if (!t_keep_attached || !interpreter_available()) return false;
  t_keeps_unchecked = 0;
  if (monotonic_ns() - t_held_since_ns < t_hold_limit_ns) return true;
  t_hold_expired = true;
  return false;
}

// Lets go of a lock held for a whole switch interval. A thread waiting for
// the lock asks for it only after an interval in which it saw no switch, and
// the loop thread's release and quick re-take would count as one; a brief
// pause lets the waiter take the lock now, as the eval loop's forced switch
// does. It costs about 1% of a long batch of callbacks.
void hand_over_held_lock() {
  PyEval_SaveThread();
  if (std::exchange(t_hold_expired, false)) {
    std::this_thread::sleep_for(std::chrono::microseconds(50));
  }
}

// Interpreter exit: once flagged, pool workers (threads the interpreter does
// not run itself) start no more jobs. Running jobs are counted so the exit
// can wait for them.
struct ExitWatch {
  std::mutex mu;
  std::condition_variable jobs_done;
  int running_jobs = 0;
  bool exiting = false;
};

ExitWatch& exit_watch() {
  static auto* watch = new ExitWatch;
  return *watch;
}

std::atomic<bool> g_interpreter_exiting{false};
std::atomic<bool> g_exit_watched{false};

// An atexit handler: runs before finalisation starts, while every thread
// can still attach, and waits for the pool jobs already running. Handlers
// registered before the import run after it, and may still run loops.
PyObject* on_interpreter_exit(PyObject*, PyObject*) {
  ExitWatch& w = exit_watch();
  {
    std::lock_guard lock(w.mu);
    w.exiting = true;
  }
  g_interpreter_exiting.store(true);
  Py_BEGIN_ALLOW_THREADS
  std::unique_lock lock(w.mu);
  w.jobs_done.wait(lock, [&] { return w.running_jobs == 0; });
  Py_END_ALLOW_THREADS
  Py_RETURN_NONE;
}

PyMethodDef exit_hook = {"_velkor_exit_hook", on_interpreter_exit, METH_NOARGS, nullptr};

}  // namespace

bool interpreter_available() { return !Py_IsFinalizing(); }

bool pool_closed_for_exit() { return g_interpreter_exiting.load(); }

void watch_interpreter_exit() {
  PyInterpreterState* interp = PyInterpreterState_Get();
  if (interp != PyInterpreterState_Main() || g_exit_watched.exchange(true)) return;
  Ref hook = Ref::steal(PyCFunction_New(&exit_hook, nullptr));
  Ref atexit = Ref::steal(PyImport_ImportModule("atexit"));
  Ref done = (hook && atexit) ? Ref::steal(PyObject_CallMethod(atexit.get(), "register", "O", hook.get()))
                              : Ref();
  if (!done) PyErr_Clear();
}

namespace {

// threading.current_thread().daemon; false when it cannot be told (the
// module is not loaded, or the lookup fails): the error is then raised.
bool current_thread_is_daemon() {
  ErrorSaved raised;  // the error that ended the run stays set
  Ref name = Ref::steal(PyUnicode_FromString("threading"));
  Ref threading = name ? Ref::steal(PyImport_GetModule(name.get())) : Ref();
  Ref thread = threading ? Ref::steal(PyObject_CallMethod(threading.get(), "current_thread", nullptr))
                         : Ref();
  Ref daemon = thread ? Ref::steal(PyObject_GetAttrString(thread.get(), "daemon")) : Ref();
  int truth = daemon ? PyObject_IsTrue(daemon.get()) : 0;
  if (PyErr_Occurred()) PyErr_Clear();
  return truth == 1;
}

}  // namespace

bool run_error_unreachable_at_exit() {
  return pool_closed_for_exit() && PyErr_Occurred() && current_thread_is_daemon();
}

void park_thread_for_exit() {
  PyErr_Clear();
  PyEval_SaveThread();  // never taken back
  std::mutex never;
  std::condition_variable wake;
  std::unique_lock lock(never);
  for (;;) wake.wait(lock);
}

bool begin_worker_job() {
  ExitWatch& w = exit_watch();
  std::lock_guard lock(w.mu);
  if (w.exiting || Py_IsFinalizing()) return false;
  ++w.running_jobs;
  return true;
}

void end_worker_job() {
  ExitWatch& w = exit_watch();
  {
    std::lock_guard lock(w.mu);
    --w.running_jobs;
  }
  w.jobs_done.notify_all();
}

bool adopt_worker_thread_state() {
  if (t_parked_state) return true;
  if (!begin_worker_job()) return false;
  PyGILState_STATE ignored = PyGILState_Ensure();  // makes and binds this thread's state
  (void)ignored;
  t_parked_state = PyEval_SaveThread();  // kept for the thread's life
  end_worker_job();
  return true;
}

// Whether the lock being dropped was a kept one travels with the scope, so
// that the thread is in the same state afterwards.
Unlocked::Unlocked()
    : state_(PyEval_SaveThread()), outer_(t_parked_state), was_kept_(std::exchange(t_kept, false)) {
  t_parked_state = state_;
}

Unlocked::~Unlocked() {
  t_parked_state = outer_;
  PyEval_RestoreThread(state_);
  t_kept = was_kept_;
  drain_deferred_releases();
}

LoopRunScope::LoopRunScope() : outer_(t_keep_attached), outer_limit_ns_(t_hold_limit_ns) {
  {
    Attached attached;  // before keeping is on: this lock is let go at once
    if (attached.ok()) t_hold_limit_ns = switch_interval_ns();
  }
  t_keep_attached = true;
}

LoopRunScope::~LoopRunScope() {
  release_kept_interpreter();
  t_keep_attached = outer_;
  t_hold_limit_ns = outer_limit_ns_;
}

void release_kept_interpreter() {
  if (!t_kept) return;
  t_kept = false;
  PyEval_SaveThread();
}

Attached::Attached() {
  if (thread_is_attached()) {
    // A lock kept from the previous callback belongs to this scope now.
    mode_ = std::exchange(t_kept, false) ? Mode::Kept : Mode::Nested;
    ok_ = true;
    return;
  }
  if (!interpreter_available()) return;
  if (t_parked_state) {
    state_ = t_parked_state;
    PyEval_RestoreThread(state_);
    if (t_keep_attached) {
      t_held_since_ns = monotonic_ns();
      t_keeps_unchecked = 0;
    }
    mode_ = Mode::Restored;
  } else {
    gil_state_ = PyGILState_Ensure();
    mode_ = Mode::GilState;
  }
  ok_ = true;
  drain_deferred_releases();
}

Attached::~Attached() {
  switch (mode_) {
    case Mode::Restored:
    case Mode::Kept:
      if (may_keep_lock(mode_ == Mode::Kept)) {
        t_kept = true;  // the next callback finds the thread attached
      } else {
        hand_over_held_lock();
      }
      break;
    case Mode::GilState:
      PyGILState_Release(gil_state_);
      break;
    case Mode::None:
    case Mode::Nested:
      break;
  }
}

const Names& names() {
  static const Names n = [] {
    auto intern = [](const char* s) { return PyUnicode_InternFromString(s); };
    return Names{intern("send"),         intern("value"),       intern("__await__"),
                 intern("throw"),        intern("add_done_callback"), intern("_loop"),
                 intern("_must_cancel"), intern("_cancel_waker"), intern("_running_task"),
                 intern("_enter_task"),  intern("_leave_task"),   intern("_current_task"),
                 intern("CancelledError"), intern("_context"), intern("done"),
                 intern("_velkor_tasks"), intern("_debug"), intern("close"),
                 intern("acquire"), intern("release")};
  }();
  return n;
}

}  // namespace velkor::py
