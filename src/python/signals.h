#pragma once
// Ending a run early from inside it, and waking a run for signals.
//
// A run that a Python caller is waiting for can end early: a signal handler
// raised (the default SIGINT handler raises KeyboardInterrupt), or a callback
// raised KeyboardInterrupt or SystemExit. The exception then ends the run at
// once (EventLoop::interrupt_current_run) and is raised by the call that ran
// the loop, once it has re-attached.
#include "python/pyref.h"
#include "runtime/loop.h"
#include "runtime/signal_wake.h"

namespace velkor::py {

// For the length of one run on this thread: where an interruption is kept.
// Scopes nest with runs; the innermost one receives.
class RunInterruption {
 public:
  RunInterruption();
  ~RunInterruption();
  RunInterruption(const RunInterruption&) = delete;
  RunInterruption& operator=(const RunInterruption&) = delete;

  // Raises the kept exception, if any: true when one was raised. Attached.
  bool raise_if_interrupted();

 private:
  friend bool interrupt_run(Ref exc);
  Ref exc_;
  RunInterruption* outer_;
};

// Ends the run in progress on this thread with `exc`; the first exception
// kept wins and later ones are dropped. False when no run is in progress
// (`exc` is dropped too). Attached.
bool interrupt_run(Ref exc);

// For a callback's failure (the raised exception): KeyboardInterrupt and
// SystemExit end the run and reach its caller; anything else is dropped.
// Attached, with an exception set; clears it.
void end_run_or_drop_callback_error();

// Makes runs wake for signals while the scope lasts: the process's wakeup
// pipe (made by its first run, kept for the later ones) becomes its signal
// wakeup descriptor, and a loop that watches it runs the
// pending Python signal handlers on its thread when it fires; a handler that
// raises ends the run with its exception. Only on the main thread of the
// main interpreter (the only place Python handlers run); elsewhere, or if no
// pipe can be made, the scope does nothing. Construct and destroy attached;
// the previous wakeup descriptor is put back at the end.
class SignalWatch {
 public:
  SignalWatch();
  ~SignalWatch();
  SignalWatch(const SignalWatch&) = delete;
  SignalWatch& operator=(const SignalWatch&) = delete;

  // `loop` watches the pipe for the length of this scope (attached or not).
  class During {
   public:
    During(SignalWatch& watch, EventLoop& loop);
    ~During();
    During(const During&) = delete;
    During& operator=(const During&) = delete;

   private:
    EventLoop* loop_ = nullptr;
  };

 private:
  SignalWakeup* wakeup_ = nullptr;  // the process's, while the watch is set
  Ref previous_fd_;
};

}  // namespace velkor::py
