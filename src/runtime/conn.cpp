#include "runtime/conn.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace velkor {

namespace {

constexpr uint32_t kFailureEvents = EPOLLERR | EPOLLHUP;
// Buffered bytes already sent are cut off the front once they are this many.
constexpr size_t kCompactAt = 64 * 1024;

int set_nonblocking(int fd) {
  int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return errno;
  return 0;
}

void set_nodelay(int fd) {
  int one = 1;
  (void)::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);  // fails harmlessly on Unix sockets
}

bool would_block(int err) { return err == EAGAIN || err == EWOULDBLOCK; }

ssize_t send_some(int fd, const char* data, size_t n) {
  ssize_t r;
  do {
    r = ::send(fd, data, n, MSG_NOSIGNAL);
  } while (r < 0 && errno == EINTR);
  return r;
}

}  // namespace

// ---- Socket -------------------------------------------------------------------

Socket::~Socket() {
  // Still open only when the core closed first (its registry let go of us);
  // its epoll descriptor is gone, so closing the number here is all there is.
  if (fd_ >= 0) ::close(fd_);
}

bool Socket::enrol(std::shared_ptr<IoSource> self) {
  token_ = core_->add_source(std::move(self));
  return token_ != 0;
}

bool Socket::is_open() {
  std::lock_guard lock(mu_);
  return fd_ >= 0;
}

bool Socket::set_interest_locked(uint32_t events) {
  if (events == interest_ || fd_ < 0) return true;
  if (core_->set_source_interest(token_, fd_, interest_, events) != 0) return false;
  interest_ = events;
  return true;
}

void Socket::close_fd_locked(Wakeups& w) {
  if (fd_ < 0) return;
  w.removed = core_->remove_source(token_, fd_, interest_ != 0);
  ::close(fd_);
  fd_ = -1;
  interest_ = 0;
  w.wakers.take_all(readers_);
  w.wakers.take_all(writers_);
}

void Socket::park(std::vector<Waker>& waiters, Waker& waker) {
  // A task that parks again after a spurious wake is already listed.
  for (const Waker& parked : waiters) {
    if (parked.wakes_same_task(waker)) return;
  }
  waiters.push_back(std::move(waker));
}

// ---- Connection: creation ----------------------------------------------------

int Connection::adopt(std::shared_ptr<SharedCore> core, int fd, std::shared_ptr<Connection>& out) {
  if (int err = set_nonblocking(fd)) {
    ::close(fd);
    return err;
  }
  std::shared_ptr<Connection> conn(new Connection(std::move(core), fd));
  if (!conn->enrol(conn)) return EBADF;  // the loop is gone; the destructor closes fd
  out = std::move(conn);
  return 0;
}

int Connection::connect(std::shared_ptr<SharedCore> core, const SocketAddress& address,
                        const SocketAddress* local, std::shared_ptr<Connection>& out) {
  int fd = ::socket(address.family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return errno;
  if (local && ::bind(fd, reinterpret_cast<const sockaddr*>(&local->storage), local->length) < 0) {
    int err = errno;
    ::close(fd);
    return err;
  }
  if (address.family() != AF_UNIX) set_nodelay(fd);
  bool in_progress = false;
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address.storage), address.length) < 0) {
    // EINTR: the connect goes on in the background, like EINPROGRESS.
    if (errno != EINPROGRESS && errno != EINTR && errno != EAGAIN) {
      int err = errno;
      ::close(fd);
      return err;
    }
    in_progress = true;
  }
  std::shared_ptr<Connection> conn(new Connection(std::move(core), fd));
  if (!conn->enrol(conn)) return EBADF;
  if (in_progress) {
    std::lock_guard lock(conn->mu_);
    conn->connecting_ = true;
    conn->set_interest_locked(EPOLLOUT);
  }
  out = std::move(conn);
  return 0;
}

bool Connection::await_connected(Waker& waker) {
  std::lock_guard lock(mu_);
  if (!connecting_ || fd_ < 0) return false;
  park(writers_, waker);
  return true;
}

int Connection::connect_error() {
  std::lock_guard lock(mu_);
  if (fd_ < 0) return err_ ? err_ : EBADF;
  int err = 0;
  socklen_t len = sizeof err;
  if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len) < 0) return errno;
  return err;
}

// ---- Connection: reading -----------------------------------------------------

// The common outcomes (bytes, the end, parked) need no Wakeups: only a
// failure has waiters to wake and a handler to tell.
ssize_t Connection::receive(char* buf, size_t n, Waker* park_waker, bool idle_parks) {
  std::unique_lock lock(mu_);
  if (fd_ < 0 || closing_) return -(err_ ? err_ : EBADF);
  if (!unread_.empty()) return take_unread_locked(buf, n);
  const bool idle = idle_parks && !maybe_readable_ && park_waker && *park_waker;
  const ssize_t result = idle ? -EAGAIN : recv_locked(buf, n);
  if (result != -EAGAIN) return result >= 0 ? result : -fail_unlocking(lock, static_cast<int>(-result));
  if (park_reader_locked(park_waker)) return -EAGAIN;
  return -fail_unlocking(lock, EBADF);  // the loop of this connection has ended
}

ssize_t Connection::recv_locked(char* buf, size_t n) {
  ssize_t result;
  do {
    result = ::recv(fd_, buf, n, 0);
  } while (result < 0 && errno == EINTR);
  if (result == 0) {
    reading_ = false;  // the end: nothing more will come
    update_read_interest_locked();
  } else if (result < 0) {
    const int err = errno;
    if (!would_block(err)) return -err;
    maybe_readable_ = false;
    return -EAGAIN;
  } else {
    if (static_cast<size_t>(result) < n) maybe_readable_ = false;  // most likely drained
    receive_hint_.store(std::clamp(static_cast<size_t>(result) * 2, kMinReceive, kMaxReceive),
                        std::memory_order_relaxed);
  }
  return result;
}

int Connection::fail_unlocking(std::unique_lock<LightMutex>& lock, int err) {
  Wakeups w;
  fail_locked(err, w);
  lock.unlock();
  run(w);
  return err;
}

ssize_t Connection::take_unread_locked(char* buf, size_t n) {
  n = std::min(n, unread_.size());
  std::memcpy(buf, unread_.data(), n);
  unread_.erase(0, n);
  return static_cast<ssize_t>(n);
}

void Connection::unreceive(const char* data, size_t n) {
  std::lock_guard lock(mu_);
  unread_.insert(0, data, n);
}

bool Connection::park_reader_locked(Waker* waker) {
  if (!waker || !*waker) return true;
  park(readers_, *waker);
  return set_interest_locked(interest_ | EPOLLIN);
}

size_t Connection::park_if_idle(Waker* waker) {
  std::unique_lock lock(mu_);
  const size_t hint = receive_hint();
  if (fd_ < 0 || closing_ || !unread_.empty() || maybe_readable_ || !waker || !*waker) return hint;
  if (park_reader_locked(waker)) return 0;
  fail_unlocking(lock, EBADF);  // the loop of this connection has ended
  return hint;
}

void Connection::update_read_interest_locked() {
  const bool want = !readers_.empty() || (reading_ && handler_);
  set_interest_locked(want ? interest_ | EPOLLIN : interest_ & ~uint32_t{EPOLLIN});
}

// ---- Connection: writing -----------------------------------------------------

int Connection::write(const char* data, size_t n, bool* below_high) {
  if (below_high) *below_high = false;
  std::unique_lock lock(mu_);
  // On the callback face a write may still join the flush that close()
  // waits for, as asyncio transports allow (a TLS layer sends its
  // close_notify so, from resume_writing).
  if (fd_ < 0 || (closing_ && !handler_)) return err_ ? err_ : EBADF;
  if (eof_pending_ || eof_sent_) return EPIPE;
  if (n == 0) return 0;
  if (wbuf_.size() == wpos_ && !connecting_) {
    while (n > 0) {
      ssize_t sent = send_some(fd_, data, n);
      if (sent < 0) {
        if (would_block(errno)) break;
        return fail_unlocking(lock, errno);
      }
      data += sent;
      n -= static_cast<size_t>(sent);
    }
  }
  bool pause = false;
  if (n > 0) {
    wbuf_.append(data, n);
    set_interest_locked(interest_ | EPOLLOUT);
    pause = handler_ && !paused_ && wbuf_.size() - wpos_ > high_;
  }
  if (below_high) *below_high = wbuf_.size() - wpos_ <= high_;
  if (!pause) return 0;
  // The protocol hears it after the mutex, as with every handler call.
  paused_ = true;
  Wakeups w;
  w.pause = true;
  w.flow_handler = handler_;
  lock.unlock();
  run(w);
  return 0;
}

void Connection::flush_locked(Wakeups& w) {
  while (wpos_ < wbuf_.size()) {
    ssize_t sent = send_some(fd_, wbuf_.data() + wpos_, wbuf_.size() - wpos_);
    if (sent < 0) {
      if (!would_block(errno)) fail_locked(errno, w);
      break;
    }
    wpos_ += static_cast<size_t>(sent);
  }
  if (fd_ < 0) return;
  if (wpos_ == wbuf_.size()) {
    wbuf_.clear();
    wpos_ = 0;
  } else if (wpos_ >= kCompactAt && wpos_ * 2 >= wbuf_.size()) {
    wbuf_.erase(0, wpos_);
    wpos_ = 0;
  }
  after_flush_locked(w);
}

// What a smaller buffer allows: waking drained writers, resuming the
// protocol, the deferred end of writing, and a pending close.
void Connection::after_flush_locked(Wakeups& w) {
  const size_t left = wbuf_.size() - wpos_;
  if (left <= low_) {
    w.wakers.take_all(writers_);
    if (paused_) {
      paused_ = false;
      w.resume = true;
      w.flow_handler = handler_;
    }
  }
  if (left > 0) return;
  set_interest_locked(interest_ & ~uint32_t{EPOLLOUT});
  if (closing_ && w.resume) {
    // resume_writing() may write more (a TLS close_notify): close after it.
    w.close_after_resume = true;
    return;
  }
  if (closing_) {
    close_fd_locked(w);
    w.closed_handler = std::move(handler_);
    return;
  }
  if (eof_pending_) {
    eof_pending_ = false;
    eof_sent_ = true;
    if (::shutdown(fd_, SHUT_WR) < 0 && errno != ENOTCONN) fail_locked(errno, w);
  }
}

int Connection::await_drained(size_t limit, Waker& waker) {
  std::lock_guard lock(mu_);
  if (fd_ < 0) return err_ ? -err_ : dropped_ ? -EBADF : 1;
  if (wbuf_.size() - wpos_ <= limit) return 1;
  park(writers_, waker);
  return 0;
}

size_t Connection::buffered() {
  std::lock_guard lock(mu_);
  return wbuf_.size() - wpos_;
}

void Connection::set_write_limits(size_t high, size_t low) {
  Wakeups w;
  {
    std::lock_guard lock(mu_);
    high_ = high;
    low_ = std::min(low, high);
    if (fd_ >= 0) after_flush_locked(w);  // the new marks may release writers
    if (fd_ >= 0 && handler_ && !paused_ && wbuf_.size() - wpos_ > high_) {
      paused_ = true;  // or hold the protocol back at once
      w.pause = true;
      w.flow_handler = handler_;
    }
  }
  run(w);
}

size_t Connection::high_water() {
  std::lock_guard lock(mu_);
  return high_;
}

size_t Connection::low_water() {
  std::lock_guard lock(mu_);
  return low_;
}

int Connection::write_eof() {
  Wakeups w;
  int err = 0;
  {
    std::lock_guard lock(mu_);
    if (fd_ < 0 || closing_) return err_ ? err_ : EBADF;
    if (eof_pending_ || eof_sent_) return 0;
    if (wbuf_.size() > wpos_ || connecting_) {
      eof_pending_ = true;
    } else {
      eof_sent_ = true;
      if (::shutdown(fd_, SHUT_WR) < 0 && errno != ENOTCONN) {
        err = errno;
        fail_locked(err, w);
      }
    }
  }
  run(w);
  return err;
}

// ---- Connection: closing -----------------------------------------------------

void Connection::fail_locked(int err, Wakeups& w) {
  if (fd_ < 0) return;
  err_ = err;
  dropped_ = wbuf_.size() > wpos_;
  wbuf_.clear();
  wpos_ = 0;
  close_fd_locked(w);
  w.closed_handler = std::move(handler_);
  w.closed_err = err;
}

void Connection::close() {
  Wakeups w;
  {
    std::lock_guard lock(mu_);
    if (fd_ < 0 || closing_) return;
    closing_ = true;
    reading_ = false;
    // Readers see the close at once; writers wait for the flush.
    w.wakers.take_all(readers_);
    set_interest_locked(interest_ & ~uint32_t{EPOLLIN});
    if (wbuf_.size() == wpos_ || connecting_) {
      dropped_ = wbuf_.size() > wpos_;
      close_fd_locked(w);
      w.closed_handler = std::move(handler_);
    }
  }
  run(w);
}

// The close that after_flush_locked() held back for resume_writing(): made
// now unless that wrote more, in which case the next flush makes it.
void Connection::close_if_flushed() {
  Wakeups w;
  {
    std::lock_guard lock(mu_);
    if (fd_ < 0 || !closing_ || wbuf_.size() > wpos_) return;
    close_fd_locked(w);
    w.closed_handler = std::move(handler_);
  }
  run(w);
}

void Connection::abort() {
  Wakeups w;
  {
    std::lock_guard lock(mu_);
    if (fd_ < 0) return;
    closing_ = true;
    dropped_ = wbuf_.size() > wpos_;
    wbuf_.clear();
    wpos_ = 0;
    close_fd_locked(w);
    w.closed_handler = std::move(handler_);
  }
  run(w);
}

bool Connection::is_closing() {
  std::lock_guard lock(mu_);
  return closing_ || fd_ < 0;
}

int Connection::await_closed(Waker& waker) {
  std::lock_guard lock(mu_);
  if (fd_ < 0) return dropped_ && err_ ? -err_ : 1;
  park(writers_, waker);
  return 0;
}

// ---- Connection: callback face -----------------------------------------------

void Connection::set_handler(std::shared_ptr<ConnHandler> handler) {
  std::shared_ptr<ConnHandler> old;
  {
    std::lock_guard lock(mu_);
    if (fd_ < 0) return;  // closed: the handler would never hear anything
    old = std::exchange(handler_, std::move(handler));
    update_read_interest_locked();
  }
}

void Connection::set_reading(bool on) {
  std::lock_guard lock(mu_);
  if (fd_ < 0 || closing_) return;
  reading_ = on;
  update_read_interest_locked();
}

// ---- Connection: readiness -----------------------------------------------------

void Connection::on_io(uint32_t events) {
  Wakeups w;
  std::shared_ptr<ConnHandler> reader;
  {
    std::lock_guard lock(mu_);
    if (fd_ < 0) return;
    if (connecting_) {
      // Writable (or failed): the connect is over either way.
      connecting_ = false;
      w.wakers.take_all(writers_);
      // Writes made meanwhile (and a deferred close or end) go out now.
      const bool more = wbuf_.size() > wpos_ || closing_ || eof_pending_;
      set_interest_locked(more ? uint32_t{EPOLLOUT} : 0u);
    } else {
      if ((events & (EPOLLOUT | kFailureEvents)) && (interest_ & EPOLLOUT)) flush_locked(w);
      if (events & (EPOLLIN | kFailureEvents)) maybe_readable_ = true;
      if (fd_ >= 0 && (events & (EPOLLIN | kFailureEvents)) && (interest_ & EPOLLIN)) {
        if (!readers_.empty()) {
          // Interest stays: the woken task most likely reads again soon.
          w.wakers.take_all(readers_);
        } else if (reading_ && handler_) {
          reader = handler_;
        } else {
          update_read_interest_locked();  // nobody reads: leave the bytes in the kernel
        }
      }
    }
  }
  run(w);
  if (reader) reader->readable(*this);
}

void Connection::run(Wakeups& w) {
  w.wakers.wake_all();
  if (w.flow_handler) {
    if (w.pause) w.flow_handler->pause_writing();
    if (w.resume) w.flow_handler->resume_writing();
  }
  if (w.close_after_resume) close_if_flushed();
  if (w.closed_handler) {
    core_->push_soon([handler = std::move(w.closed_handler), err = w.closed_err] {
      handler->closed(err);
    });
  }
}

// ---- Listener ------------------------------------------------------------------

int Listener::adopt(std::shared_ptr<SharedCore> core, int fd, std::shared_ptr<Listener>& out) {
  if (int err = set_nonblocking(fd)) {
    ::close(fd);
    return err;
  }
  std::shared_ptr<Listener> listener(new Listener(std::move(core), fd));
  if (!listener->enrol(listener)) return EBADF;
  out = std::move(listener);
  return 0;
}

int Listener::accept(int& fd, Waker* park_waker) {
  std::lock_guard lock(mu_);
  if (fd_ < 0) return EBADF;
  for (;;) {
    fd = ::accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0) {
      set_nodelay(fd);
      return 0;
    }
    const int err = errno;
    // A connection that ended in the backlog is no reason to stop.
    if (err == EINTR || err == ECONNABORTED) continue;
    if (would_block(err) && park_waker && *park_waker) {
      park(readers_, *park_waker);
      set_interest_locked(EPOLLIN);
    }
    return err;
  }
}

void Listener::update_interest_locked() {
  set_interest_locked(!readers_.empty() || (handler_ && accepting_) ? uint32_t{EPOLLIN} : 0u);
}

void Listener::set_handler(std::shared_ptr<ListenerHandler> handler) {
  std::shared_ptr<ListenerHandler> old;
  std::lock_guard lock(mu_);
  if (fd_ < 0) return;
  old = std::exchange(handler_, std::move(handler));
  update_interest_locked();
}

void Listener::set_accepting(bool on) {
  std::lock_guard lock(mu_);
  if (fd_ < 0) return;
  accepting_ = on;
  update_interest_locked();
}

void Listener::pause_accepting(double seconds) {
  set_accepting(false);
  std::weak_ptr<Listener> weak = weak_from_this();
  core_->call_later([weak] {
    if (auto self = weak.lock()) self->set_accepting(true);
  }, seconds);
}

void Listener::close() {
  Wakeups w;
  std::shared_ptr<ListenerHandler> handler;
  {
    std::lock_guard lock(mu_);
    close_fd_locked(w);
    handler = std::move(handler_);
  }
  w.wakers.wake_all();
}

void Listener::on_io(uint32_t) {
  std::vector<Waker> woken;
  std::shared_ptr<ListenerHandler> handler;
  {
    std::lock_guard lock(mu_);
    if (fd_ < 0) return;
    woken.swap(readers_);
    if (woken.empty() && accepting_) handler = handler_;
    if (woken.empty() && !handler) update_interest_locked();
  }
  for (Waker& waker : woken) std::move(waker).wake();
  if (handler) handler->acceptable(*this);
}

}  // namespace velkor
