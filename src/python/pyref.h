#pragma once
// The owning handle for PyObject* and the small guards around the interpreter.
//
// Ref owns one strong reference. Construction says whether it steals or
// borrows. Releasing a reference requires an attached thread; a Ref destroyed
// on a thread that is not attached (the loop between steps, a pool worker, a
// thread exiting) queues the reference, and the queue is drained the next time
// the module runs attached (drain_deferred_releases()).
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if defined(VELKOR_EXPECT_PY_DEBUG) && !defined(Py_DEBUG)
#error "building for a debug interpreter, but Python.h came without Py_DEBUG"
#endif

#include <utility>

namespace velkor::py {

inline bool thread_is_attached() { return PyThreadState_GetUnchecked() != nullptr; }

// False once the interpreter is finalising: from then on only the thread that
// finalises may run Python, and a loop thread between steps must not attach.
// (atexit handlers run before that, so a run started in one works.)
bool interpreter_available();
// True once the module's own exit hook has run (an atexit handler registered
// at import): pool workers then start no more calls, because nothing would
// wait for them before finalisation.
bool pool_closed_for_exit();
// Registers that exit hook for the main interpreter (called at import).
void watch_interpreter_exit();
// Whether the error set now, ending a run on this thread, would reach nobody:
// the exit hook has run and this is a daemon thread, which the exit neither
// waits for nor joins. Its report would be printed while the interpreter
// finalises, racing it for the stderr stream. Call attached.
bool run_error_unreachable_at_exit();
// Drops the raised exception, lets the interpreter lock go and blocks this
// thread for good: the process is about to end without it. Call attached.
[[noreturn]] void park_thread_for_exit();

// Queues one reference for the next attached drain (see below).
void defer_release(PyObject* obj) noexcept;
// Releases one reference now when attached, otherwise queues it. Inline: a
// task step destroys a few dozen Refs, nearly all of them attached.
inline void release_ref(PyObject* obj) noexcept {
  if (!obj) return;
  if (thread_is_attached()) {
    Py_DECREF(obj);
    return;
  }
  defer_release(obj);
}
// Releases every queued reference. Call only while attached.
void drain_deferred_releases() noexcept;

class Ref {
 public:
  Ref() = default;
  static Ref steal(PyObject* obj) { return Ref(obj); }
  static Ref borrow(PyObject* obj) {
    Py_XINCREF(obj);
    return Ref(obj);
  }

  Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    PyObject* old = std::exchange(obj_, std::exchange(other.obj_, nullptr));
    release_ref(old);
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { release_ref(obj_); }

  // A second strong reference (needs an attached thread).
  Ref copy() const { return borrow(obj_); }

  PyObject* get() const { return obj_; }
  explicit operator bool() const { return obj_ != nullptr; }
  // Hands the reference to the caller.
  PyObject* release() { return std::exchange(obj_, nullptr); }
  void reset() { release_ref(std::exchange(obj_, nullptr)); }

 private:
  explicit Ref(PyObject* obj) : obj_(obj) {}
  PyObject* obj_ = nullptr;
};

// Releases the interpreter lock for a scope ("detached here"). While
// detached, the thread's state is remembered, so that Attached can take it
// back directly (the way the interpreter's own threads re-attach).
class Unlocked {
 public:
  Unlocked();
  ~Unlocked();
  Unlocked(const Unlocked&) = delete;
  Unlocked& operator=(const Unlocked&) = delete;

 private:
  PyThreadState* state_;
  PyThreadState* outer_;
  bool was_kept_;
};

// Attaches the calling thread to the interpreter for a scope: with the thread
// state an enclosing Unlocked set aside (the loop thread between steps), with
// a pool worker's own state, or through the GIL-state API otherwise. Nothing
// happens when the thread is attached already. The queue of deferred releases
// is drained on entry. `ok()` is false once the interpreter is finalising:
// the caller must then not touch Python objects.
class Attached {
 public:
  Attached();
  ~Attached();
  Attached(const Attached&) = delete;
  Attached& operator=(const Attached&) = delete;
  bool ok() const { return ok_; }

 private:
  enum class Mode { None, Nested, Restored, Kept, GilState };
  Mode mode_ = Mode::None;
  bool ok_ = false;
  PyThreadState* state_ = nullptr;
  PyGILState_STATE gil_state_{};
};

// Marks the scope of a loop run on this thread. Inside it, the interpreter
// lock taken for one callback or task step is kept for the next one instead
// of being dropped and taken again; it is let go whenever the loop may block
// (before an epoll_wait with a timeout), when the scope ends, and after one
// switch interval (sys.getswitchinterval(), read when the scope starts) of
// holding it, so that other threads get their turn even when the callbacks
// run no Python code (the eval loop's own periodic drop then never happens).
class LoopRunScope {
 public:
  LoopRunScope();
  ~LoopRunScope();
  LoopRunScope(const LoopRunScope&) = delete;
  LoopRunScope& operator=(const LoopRunScope&) = delete;

 private:
  bool outer_;
  int64_t outer_limit_ns_;
};

// Lets go of an interpreter lock kept by a LoopRunScope (the engine's
// before-wait hook); nothing otherwise.
void release_kept_interpreter();

// Gives the calling thread (a pool worker) a thread state of its own for its
// whole life, used by every later Attached on it. False when the interpreter
// is exiting.
bool adopt_worker_thread_state();

// Brackets one pool job: false (and nothing to end) once the interpreter has
// begun to exit. The exit waits for the jobs already running, so that no
// worker ever attaches to an interpreter being finalised.
bool begin_worker_job();
void end_worker_job();

// Saves the error indicator for a scope and restores it afterwards.
class ErrorSaved {
 public:
  ErrorSaved() : exc_(PyErr_GetRaisedException()) {}
  ~ErrorSaved() { PyErr_SetRaisedException(exc_); }
  ErrorSaved(const ErrorSaved&) = delete;
  ErrorSaved& operator=(const ErrorSaved&) = delete;

 private:
  PyObject* exc_;
};

// Interned strings used on hot paths, created once per process.
struct Names {
  PyObject* send;
  PyObject* value;
  PyObject* await_;
  PyObject* throw_;
  PyObject* add_done_callback;
  PyObject* loop;
  PyObject* must_cancel;
  PyObject* cancel_waker;
  PyObject* running_task;
  PyObject* enter_task;
  PyObject* leave_task;
  PyObject* current_task;
  PyObject* cancelled_error;
  PyObject* context;
  PyObject* done;
  PyObject* velkor_tasks;
  PyObject* debug;
  PyObject* close;
  PyObject* acquire;
  PyObject* release;
};
const Names& names();

// The module `name` of the calling interpreter, as a new reference: after
// its first import, a lookup in sys.modules. Null with an error set on failure.
// A module already in sys.modules is taken from there: a full import costs
// thousands of instructions even when it finds the module loaded.
inline Ref import_module(const char* name) {
  Ref key = Ref::steal(PyUnicode_FromString(name));
  if (!key) return Ref();
  if (PyObject* loaded = PyImport_GetModule(key.get())) return Ref::steal(loaded);
  if (PyErr_Occurred()) return Ref();
  return Ref::steal(PyImport_Import(key.get()));
}

}  // namespace velkor::py
