#include "runtime/signal_wake.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace velkor {

int SignalWakeup::create(std::unique_ptr<SignalWakeup>& out) {
  int fds[2];
  if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) < 0) return errno;
  out.reset(new SignalWakeup(fds[0], fds[1]));
  return 0;
}

SignalWakeup::~SignalWakeup() {
  ::close(read_fd_);
  ::close(write_fd_);
}

void SignalWakeup::notify() {
  const char byte = 0;
  ssize_t r;
  do {
    r = ::write(write_fd_, &byte, 1);
  } while (r < 0 && errno == EINTR);
  // EAGAIN: the pipe is full, hence readable already.
}

void SignalWakeup::drain() {
  char buf[256];
  for (;;) {
    ssize_t r = ::read(read_fd_, buf, sizeof buf);
    if (r > 0) continue;
    if (r < 0 && errno == EINTR) continue;
    return;  // empty (EAGAIN) or closed
  }
}

}  // namespace velkor
