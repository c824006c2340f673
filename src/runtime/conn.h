#pragma once
// Event-driven sockets on the loop's own epoll: Connection and Listener.
//
// A socket here is non-blocking and registered with the SharedCore of the
// loop that made it, as an IoSource; there is no thread per socket. Whatever
// touches the descriptor does so under the socket's own mutex and only while
// it is open. Closing takes the registration out of the core (under the core
// mutex) before the number is given back to the system, so nothing ever acts
// on a descriptor number after it was closed.
//
// One Connection, two faces.
//
// Awaitable face (tasks):
// - receive(buf, n, &waker) receives into memory the caller owns (the bytes
//   object a read returns). When nothing is there it parks the waker and
//   returns -EAGAIN; the waker is woken when the socket becomes readable,
//   fails or is closed, and the task calls receive() again.
// - write(data, n) sends inline on the calling thread; what the kernel does
//   not take is copied into the connection's buffer and flushed when the
//   socket becomes writable. await_drained() parks a writer while more than
//   `limit` bytes are buffered.
// - Nothing is taken from the kernel except by a receive() that returns it,
//   so a task cancelled while parked loses no byte.
//
// Callback face (protocols; the asyncio-style transports build on this):
// - set_handler(h) then set_reading(true). While reading is on and the socket
//   is readable (or at its end, or failed), h->readable(conn) runs on the loop
//   thread; it calls receive() itself, into the object it will hand on, so no
//   byte is copied twice. A receive() that meets the end of the stream turns
//   reading off.
// - A write() that takes the buffer above the high-water mark calls
//   h->pause_writing() once; the flush that brings it down to the low-water
//   mark calls h->resume_writing(). A write() after close() joins the flush
//   that the close waits for. set_write_limits() moves the marks (and
//   pauses or resumes at once when the buffer is already past one).
// - When the descriptor is gone (close() after the flush, abort(), or a
//   failure) h->closed(err) runs from a ready callback of the loop, never
//   from inside the call that closed: err is 0 for a local close and the
//   errno of the failure otherwise. The connection then lets go of h (which
//   breaks any cycle through the handler's Python objects).
// - Handler calls are made without the socket mutex; they may call back into
//   the connection.
//
// A Listener has the same two faces: accept() with a waker to park (tasks),
// or set_handler() + set_accepting(true), after which handler->acceptable()
// runs on the loop thread while connections wait (protocol-style servers).
//
// Interest: EPOLLIN is asked for only while a task waits to read or the
// callback face reads; EPOLLOUT only while bytes are buffered or a connect is
// in progress. A socket with no interest is out of epoll altogether, so a
// hung-up socket that nobody waits on cannot make the loop spin, and a fast
// sender to a slow reader is held back by TCP flow control, not by memory.
//
// Errors are errno values. A failure seen by any operation (a reset, a
// timeout, a broken pipe) is kept, closes the socket, wakes every waiter, and
// is returned by every later receive() and write(). After close() or abort()
// they return EBADF; after write_eof(), write() returns EPIPE.
//
// Threads: any thread may call any method. Lock order: a socket's mutex, then
// the core mutex. No waker is woken and no handler runs under the socket mutex.
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "runtime/light_mutex.h"
#include "runtime/loop.h"
#include "runtime/net.h"
#include "runtime/waker.h"

namespace velkor {

class Connection;

// What the callback face hears (implemented by the Python layer).
class ConnHandler {
 public:
  virtual ~ConnHandler() = default;
  virtual void readable(Connection& conn) = 0;
  virtual void pause_writing() = 0;
  virtual void resume_writing() = 0;
  virtual void closed(int err) = 0;
};

inline constexpr size_t kDefaultHighWater = 64 * 1024;
inline constexpr size_t kMinReceive = 4 * 1024;
inline constexpr size_t kMaxReceive = 256 * 1024;

// The wakers a socket moves out of its lists to wake after its mutex. A
// readiness event or a close wakes one task or two almost always: those are
// kept in place, so no event allocates.
class WakerBatch {
 public:
  void take_all(std::vector<Waker>& from) {
    for (Waker& waker : from) add(std::move(waker));
    from.clear();
  }
  bool empty() const { return count_ == 0; }
  void wake_all() {
    for (size_t i = 0; i < count_ && i < kInPlace; ++i) std::move(in_place_[i]).wake();
    for (Waker& waker : spilled_) std::move(waker).wake();
    spilled_.clear();
    count_ = 0;
  }

 private:
  static constexpr size_t kInPlace = 2;
  void add(Waker waker) {
    if (count_ < kInPlace) {
      in_place_[count_] = std::move(waker);
    } else {
      spilled_.push_back(std::move(waker));
    }
    ++count_;
  }

  Waker in_place_[kInPlace];
  std::vector<Waker> spilled_;
  size_t count_ = 0;
};

// Work found under a socket's mutex and carried out after it is released.
struct Wakeups {
  WakerBatch wakers;
  std::shared_ptr<ConnHandler> flow_handler;  // hears pause or resume
  std::shared_ptr<ConnHandler> closed_handler;
  std::shared_ptr<IoSource> removed;  // the core's reference, dropped last
  int closed_err = 0;
  bool pause = false;
  bool resume = false;
  bool close_after_resume = false;  // a flushed close waits for the resumed protocol
};

// What the two socket kinds share: the descriptor, its registration, the mutex.
class Socket : public IoSource {
 public:
  ~Socket() override;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  // Runs f(fd) under the mutex while the socket is open; returns its result,
  // or EBADF when closed. For getsockname, setsockopt and the like.
  template <class F>
  int with_fd(F&& f) {
    std::lock_guard lock(mu_);
    return fd_ < 0 ? EBADF : f(fd_);
  }
  bool is_open();
  // The loop that made the socket has ended: nothing will wake its waiters
  // or flush its buffer any more.
  bool loop_ended() const { return core_->is_closed(); }

 protected:
  Socket(std::shared_ptr<SharedCore> core, int fd) : core_(std::move(core)), fd_(fd) {}
  // Registers the source with the core; false once the core is closed.
  bool enrol(std::shared_ptr<IoSource> self);
  // False when the core is closed (its loop ended): nothing will wake waiters.
  bool set_interest_locked(uint32_t events);
  // Takes the socket out of the core, closes it, moves every waiter out.
  void close_fd_locked(Wakeups& w);
  static void park(std::vector<Waker>& waiters, Waker& waker);

  LightMutex mu_;
  std::shared_ptr<SharedCore> core_;
  int fd_;
  uint64_t token_ = 0;
  uint32_t interest_ = 0;
  std::vector<Waker> readers_;  // tasks waiting to read (or to accept)
  std::vector<Waker> writers_;  // tasks waiting for a drain, a connect or the close
};

class Connection final : public Socket, public std::enable_shared_from_this<Connection> {
 public:
  // Takes ownership of a connected socket (made non-blocking here). Returns 0
  // or an errno; the descriptor is closed on failure.
  static int adopt(std::shared_ptr<SharedCore> core, int fd, std::shared_ptr<Connection>& out);
  // Starts a non-blocking connect to `address` (from `local` when given).
  // Returns 0 with `out` set (connected, or connecting()), or an errno.
  static int connect(std::shared_ptr<SharedCore> core, const SocketAddress& address,
                     const SocketAddress* local, std::shared_ptr<Connection>& out);

  // Connect: true while the connect is in progress; parks `waker` then.
  bool await_connected(Waker& waker);
  // The connect's outcome once it is no longer in progress: 0 or an errno.
  int connect_error();

  // > 0: bytes received; 0: end of stream; -errno on failure; -EAGAIN when
  // nothing is there (and `park`, when given, was parked). With `idle_parks`
  // it parks without a system call when the last receive found nothing and
  // no readiness came since.
  ssize_t receive(char* buf, size_t n, Waker* park = nullptr, bool idle_parks = false);
  // Puts bytes a receive() returned back in front of the stream (the caller
  // could not hand them on); the next receive returns them first.
  void unreceive(const char* data, size_t n);
  // Parks `waker` without a system call when the last receive found nothing
  // and no readiness came since, and returns 0 then (saving a read its
  // buffer). Otherwise returns how much the next receive should make room
  // for: twice what the last one got, from 4 KiB up to kMaxReceive, so small
  // messages get small buffers and bulk transfers large ones.
  size_t park_if_idle(Waker* waker);
  // A heuristic, read without the lock.
  size_t receive_hint() const { return receive_hint_.load(std::memory_order_relaxed); }

  // 0, or the errno that stops the write (nothing is sent then). When
  // `below_high` is given it tells whether the buffer was at or below the
  // high-water mark afterwards (a writer then has nothing to wait for).
  int write(const char* data, size_t n, bool* below_high = nullptr);
  // 1 when at most `limit` bytes are buffered, 0 when `waker` was parked,
  // -errno when the connection failed or was aborted with bytes unsent.
  int await_drained(size_t limit, Waker& waker);
  size_t buffered();
  void set_write_limits(size_t high, size_t low);
  size_t high_water();
  size_t low_water();
  // Shuts the sending side once the buffer is flushed. 0 or an errno.
  int write_eof();

  // Stops reading; the descriptor is closed once the buffer is flushed.
  void close();
  // Closes now; buffered bytes are dropped.
  void abort();
  // Closing (close() was called) or closed.
  bool is_closing();
  // 1 when the descriptor is closed, 0 when `waker` was parked, -errno when
  // it was closed by a failure that dropped buffered bytes (written, but
  // never delivered).
  int await_closed(Waker& waker);

  void set_handler(std::shared_ptr<ConnHandler> handler);
  void set_reading(bool on);

  void on_io(uint32_t events) override;

 private:
  Connection(std::shared_ptr<SharedCore> core, int fd) : Socket(std::move(core), fd) {}
  void fail_locked(int err, Wakeups& w);
  void flush_locked(Wakeups& w);
  void after_flush_locked(Wakeups& w);
  void update_read_interest_locked();
  void close_if_flushed();
  // Parks `waker` (when given) as a reader; false when the loop has ended.
  bool park_reader_locked(Waker* waker);
  // recv() into `buf`: bytes, 0 at the end, -EAGAIN when nothing is there,
  // or -errno of a failure (not yet acted on).
  ssize_t recv_locked(char* buf, size_t n);
  // Fails the connection with `err`, then lets the mutex go and wakes
  // everybody that failure concerns. Returns `err`.
  int fail_unlocking(std::unique_lock<LightMutex>& lock, int err);
  ssize_t take_unread_locked(char* buf, size_t n);
  void run(Wakeups& w);

  std::string wbuf_;
  size_t wpos_ = 0;  // bytes of wbuf_ already sent
  size_t high_ = kDefaultHighWater;
  size_t low_ = kDefaultHighWater / 4;
  int err_ = 0;  // the failure that closed the socket
  bool connecting_ = false;
  bool closing_ = false;
  bool dropped_ = false;  // closed with bytes still buffered
  bool eof_pending_ = false;
  bool eof_sent_ = false;
  bool reading_ = false;
  bool paused_ = false;
  // False from a receive that found nothing (or less than it asked for) to
  // the next readiness event: a receive in between would only find nothing.
  bool maybe_readable_ = true;
  std::atomic<size_t> receive_hint_{kMaxReceive / 4};
  std::string unread_;  // bytes given back by unreceive(), returned first
  std::shared_ptr<ConnHandler> handler_;
};

class Listener;

// The callback face of a listener: acceptable() runs on the loop thread while
// accepting is on and a connection is waiting; it calls Listener::accept().
class ListenerHandler {
 public:
  virtual ~ListenerHandler() = default;
  virtual void acceptable(Listener& listener) = 0;
};

class Listener final : public Socket, public std::enable_shared_from_this<Listener> {
 public:
  // Takes ownership of a listening socket (made non-blocking here).
  static int adopt(std::shared_ptr<SharedCore> core, int fd, std::shared_ptr<Listener>& out);
  // 0 with `fd` a new non-blocking, close-on-exec connection; EAGAIN with
  // `park` parked when none is waiting; another errno on failure.
  int accept(int& fd, Waker* park = nullptr);
  // Callback face: `handler` hears every waiting connection while accepting
  // is on (set_accepting). Tasks parked in accept() come first.
  void set_handler(std::shared_ptr<ListenerHandler> handler);
  void set_accepting(bool on);
  // Turns accepting off now and on again after `seconds` (used when the
  // process is out of descriptors, which would otherwise spin the loop).
  void pause_accepting(double seconds);
  const std::shared_ptr<SharedCore>& core() const { return core_; }
  void close();
  void on_io(uint32_t events) override;

 private:
  Listener(std::shared_ptr<SharedCore> core, int fd) : Socket(std::move(core), fd) {}
  void update_interest_locked();

  std::shared_ptr<ListenerHandler> handler_;
  bool accepting_ = false;
};

}  // namespace velkor
