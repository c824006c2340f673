#include "python/signals.h"

#include <unistd.h>

#include <mutex>

namespace velkor::py {

namespace {

thread_local RunInterruption* t_interruption = nullptr;

// The engine's signal check: runs the handlers of the signals that arrived.
void run_pending_signal_handlers() {
  Attached attached;
  if (!attached.ok()) return;
  if (PyErr_CheckSignals() < 0) interrupt_run(Ref::steal(PyErr_GetRaisedException()));
}

// signal.set_wakeup_fd(fd, **kwargs); a new reference to the previous
// descriptor, or null with an error set.
Ref set_wakeup_fd(PyObject* fd, bool warn_on_full_buffer) {
  Ref signal_module = import_module("signal");
  if (!signal_module) return Ref();
  Ref setter = Ref::steal(PyObject_GetAttrString(signal_module.get(), "set_wakeup_fd"));
  if (!setter) return Ref();
  Ref args = Ref::steal(PyTuple_Pack(1, fd));
  Ref kwargs = Ref::steal(Py_BuildValue("{s:O}", "warn_on_full_buffer",
                                        warn_on_full_buffer ? Py_True : Py_False));
  if (!args || !kwargs) return Ref();
  return Ref::steal(PyObject_Call(setter.get(), args.get(), kwargs.get()));
}

// One pipe serves every run of the process: a run would otherwise pay for
// making and closing one. Only the main thread can make it the wakeup
// descriptor, so one is enough. It is made by the first run and kept; a
// child made by fork() makes its own, so that the parent's loops never read
// the child's signals.
std::mutex g_wakeup_mu;
std::unique_ptr<SignalWakeup> g_wakeup;
pid_t g_wakeup_owner = 0;

SignalWakeup* process_wakeup() {
  std::lock_guard lock(g_wakeup_mu);
  pid_t pid = ::getpid();
  if (g_wakeup && g_wakeup_owner != pid) g_wakeup.reset();
  if (!g_wakeup) {
    if (SignalWakeup::create(g_wakeup) != 0) return nullptr;
    g_wakeup_owner = pid;
  }
  return g_wakeup.get();
}

}  // namespace

RunInterruption::RunInterruption() : outer_(t_interruption) { t_interruption = this; }

RunInterruption::~RunInterruption() { t_interruption = outer_; }

bool RunInterruption::raise_if_interrupted() {
  if (!exc_) return false;
  PyErr_SetRaisedException(exc_.release());
  return true;
}

bool interrupt_run(Ref exc) {
  RunInterruption* target = t_interruption;
  if (!target || !EventLoop::interrupt_current_run()) return false;
  if (!target->exc_) target->exc_ = std::move(exc);
  return true;
}

void end_run_or_drop_callback_error() {
  Ref exc = Ref::steal(PyErr_GetRaisedException());
  if (PyErr_GivenExceptionMatches(exc.get(), PyExc_KeyboardInterrupt) ||
      PyErr_GivenExceptionMatches(exc.get(), PyExc_SystemExit)) {
    interrupt_run(std::move(exc));
  }
}

SignalWatch::SignalWatch() {
  ErrorSaved keep_caller_error;
  SignalWakeup* wakeup = process_wakeup();
  if (!wakeup) return;
  Ref fd = Ref::steal(PyLong_FromLong(wakeup->write_fd()));
  // Refused off the main thread or in a subinterpreter: nothing to watch there.
  previous_fd_ = fd ? set_wakeup_fd(fd.get(), false) : Ref();
  if (!previous_fd_) {
    PyErr_Clear();
    return;
  }
  wakeup_ = wakeup;
  wakeup_->notify();  // a signal that came before the watch is handled first thing
}

SignalWatch::~SignalWatch() {
  if (!wakeup_) return;
  ErrorSaved keep_run_error;
  if (!set_wakeup_fd(previous_fd_.get(), true)) PyErr_Clear();
}

SignalWatch::During::During(SignalWatch& watch, EventLoop& loop) {
  if (!watch.wakeup_) return;
  loop_ = &loop;
  loop.watch_signals(*watch.wakeup_, run_pending_signal_handlers);
}

SignalWatch::During::~During() {
  if (loop_) loop_->unwatch_signals();
}

}  // namespace velkor::py
