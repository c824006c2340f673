#pragma once
// A pipe through which signals wake a loop, whichever thread of the process
// the kernel delivers them to: the process's signal handler writes a byte to
// write_fd() (a plain write, safe in a handler), and the loop watches
// read_fd() in its epoll (EventLoop::watch_signals). Both ends are
// non-blocking, so a handler never blocks on a full pipe and a drain never
// blocks on an empty one, and close-on-exec.
#include <memory>

namespace velkor {

class SignalWakeup {
 public:
  // Returns 0 and fills `out`, or the errno of the failing call.
  static int create(std::unique_ptr<SignalWakeup>& out);
  ~SignalWakeup();
  SignalWakeup(const SignalWakeup&) = delete;
  SignalWakeup& operator=(const SignalWakeup&) = delete;

  int read_fd() const { return read_fd_; }
  int write_fd() const { return write_fd_; }

  // Writes one byte, as a handler does: makes the loop look for signals on
  // its next wait (for those that arrived before the watch was set up).
  void notify();
  // Reads everything written so far.
  void drain();

 private:
  SignalWakeup(int read_fd, int write_fd) : read_fd_(read_fd), write_fd_(write_fd) {}
  const int read_fd_;
  const int write_fd_;
};

}  // namespace velkor
