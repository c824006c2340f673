// The Python face of the event-driven sockets of runtime/conn.h:
// Connection, Listener, the NetWait awaitable, Connecting, and the module
// functions connect_tcp, connect_unix, adopt_socket and adopt_listener.
//
// Awaitable face: `await conn.read(n)`, `await conn.write(data)` (the write
// is made when write() is called; the await waits while the buffer is above
// the high-water mark), `await conn.drain()`, `await conn.wait_closed()`,
// `await listener.accept()`.
//
// Callback face, for protocol-style transports:
//   conn.start(data_received, eof_received, connection_lost,
//              pause_writing=None, resume_writing=None)
// installs the callables and starts reading. On the loop thread:
// data_received(bytes) for every receive; eof_received() once at the end of
// the stream (reading stops; call close() or keep writing);
// pause_writing()/resume_writing() as the buffer crosses the marks of
// set_write_buffer_limits(); connection_lost(exc) once,
// from a ready callback, after the socket is closed, with None after close()
// or abort() and the OSError of a failure otherwise. A data_received or
// eof_received that raises aborts the connection, and connection_lost gets
// that exception. send(data) writes without an awaitable;
// pause_reading()/resume_reading() turn reading off and on. Keyword-only:
// get_buffer/buffer_updated make the protocol own the receive buffer (the
// kernel writes into get_buffer(-1)'s memory); on_fail(exc, name) hears which
// callback raised before the connection aborts; reading=False installs the
// callbacks without reading yet.
//
// A Listener has the same two faces: `await listener.accept()`, or
// listener.start(on_accept, on_error=None), after which on_accept(connection)
// runs on the loop thread for each accepted connection (up to 64 per
// readiness event) until pause_accepting() or close().
//
// Every method runs attached, on any thread; the connection's own mutex
// serialises them (see runtime/conn.h).
#include "python/conn.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <atomic>
#include <cstddef>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "python/errors.h"
#include "python/types.h"
#include "runtime/conn.h"
#include "runtime/context.h"
#include "runtime/tls.h"
#include "runtime/waker_slot.h"
#include "task/pool.h"

namespace velkor::py {

namespace {

PyObject* g_conn_type = nullptr;
PyObject* g_listener_type = nullptr;
PyObject* g_wait_type = nullptr;
PyObject* g_connecting_type = nullptr;

PyTypeObject* conn_type();
PyTypeObject* listener_type();
PyTypeObject* wait_type();

// ---- errors ---------------------------------------------------------------------

// The OSError subclass that matches `err`, with errno and strerror set.
std::nullptr_t raise_errno(int err) {
  errno = err;
  PyErr_SetFromErrno(PyExc_OSError);
  return nullptr;
}

Ref errno_exception(int err) {
  raise_errno(err);
  return Ref::steal(PyErr_GetRaisedException());
}

std::nullptr_t raise_gaierror(int code, int sys_err) {
  if (code == EAI_SYSTEM) return raise_errno(sys_err);
  Ref socket_module = import_module("socket");
  if (!socket_module) return nullptr;
  Ref type = Ref::steal(PyObject_GetAttrString(socket_module.get(), "gaierror"));
  if (!type) return nullptr;
  Ref exc = Ref::steal(PyObject_CallFunction(type.get(), "is", code, ::gai_strerror(code)));
  if (exc) PyErr_SetObject(type.get(), exc.get());
  return nullptr;
}

// ---- addresses --------------------------------------------------------------------

PyObject* address_to_python(const sockaddr_storage& ss, socklen_t len) {
  char text[INET6_ADDRSTRLEN] = {};
  switch (ss.ss_family) {
    case AF_INET: {
      auto* sin = reinterpret_cast<const sockaddr_in*>(&ss);
      ::inet_ntop(AF_INET, &sin->sin_addr, text, sizeof text);
      return Py_BuildValue("(si)", text, ntohs(sin->sin_port));
    }
    case AF_INET6: {
      auto* sin6 = reinterpret_cast<const sockaddr_in6*>(&ss);
      ::inet_ntop(AF_INET6, &sin6->sin6_addr, text, sizeof text);
      return Py_BuildValue("(siII)", text, ntohs(sin6->sin6_port), ntohl(sin6->sin6_flowinfo),
                           sin6->sin6_scope_id);
    }
    case AF_UNIX: {
      auto* sun = reinterpret_cast<const sockaddr_un*>(&ss);
      const size_t offset = offsetof(sockaddr_un, sun_path);
      const size_t n = len > offset ? len - offset : 0;
      if (n > 0 && sun->sun_path[0] == '\0') return PyBytes_FromStringAndSize(sun->sun_path, n);
      return PyUnicode_DecodeFSDefault(std::string(sun->sun_path, strnlen(sun->sun_path, n)).c_str());
    }
    default:
      Py_RETURN_NONE;
  }
}

// A Unix address from a str, bytes or path-like object; a leading NUL makes
// it a Linux abstract name.
bool unix_address(PyObject* path, SocketAddress& out) {
  // Not PyUnicode_FSConverter: it refuses the NUL of an abstract name.
  Ref fspath = Ref::steal(PyOS_FSPath(path));
  if (!fspath) return false;
  Ref encoded = PyUnicode_Check(fspath.get()) ? Ref::steal(PyUnicode_EncodeFSDefault(fspath.get()))
                                              : std::move(fspath);
  if (!encoded) return false;
  PyObject* raw = encoded.get();
  const char* bytes = PyBytes_AS_STRING(raw);
  const size_t n = static_cast<size_t>(PyBytes_GET_SIZE(raw));
  auto* sun = reinterpret_cast<sockaddr_un*>(&out.storage);
  const bool abstract = n > 0 && bytes[0] == '\0';
  if (n == 0 || n + (abstract ? 0 : 1) > sizeof sun->sun_path) {
    PyErr_SetString(PyExc_ValueError, "a Unix socket path must be 1 to 107 bytes long");
    return false;
  }
  sun->sun_family = AF_UNIX;
  std::memcpy(sun->sun_path, bytes, n);
  out.length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + n + (abstract ? 0 : 1));
  return true;
}

// A numeric IPv4 or IPv6 address, without a lookup.
bool numeric_address(const std::string& host, uint16_t port, SocketAddress& out) {
  auto* sin = reinterpret_cast<sockaddr_in*>(&out.storage);
  if (::inet_pton(AF_INET, host.c_str(), &sin->sin_addr) == 1) {
    sin->sin_family = AF_INET;
    sin->sin_port = htons(port);
    out.length = sizeof(sockaddr_in);
    return true;
  }
  auto* sin6 = reinterpret_cast<sockaddr_in6*>(&out.storage);
  if (::inet_pton(AF_INET6, host.c_str(), &sin6->sin6_addr) == 1) {
    sin6->sin6_family = AF_INET6;
    sin6->sin6_port = htons(port);
    out.length = sizeof(sockaddr_in6);
    return true;
  }
  return false;
}

// The stream addresses of host:port in the resolver's order; finding none
// is a failure to resolve.
Lookup lookup(const std::string& host, uint16_t port) {
  Lookup result = resolve_all(host, port);
  if (result.gai_error == 0 && result.addresses.empty()) result.gai_error = EAI_NONAME;
  return result;
}

// A name resolved on the pool: the worker fills it and wakes the waiter.
struct ResolveJob {
  std::mutex mu;
  bool done = false;
  Lookup remote;
  Lookup local;
  WakerSlot waiter;
};

bool host_text(PyObject* obj, const char* name, std::string& out) {
  Py_ssize_t size;
  const char* text = PyUnicode_Check(obj) ? PyUnicode_AsUTF8AndSize(obj, &size) : nullptr;
  if (!text) {
    if (!PyErr_Occurred()) PyErr_Format(PyExc_TypeError, "%s must be a str", name);
    return false;
  }
  out.assign(text, static_cast<size_t>(size));
  if (out.find('\0') != std::string::npos) {
    PyErr_Format(PyExc_ValueError, "%s contains a NUL character", name);
    return false;
  }
  return true;
}

bool port_number(PyObject* obj, uint16_t& out) {
  long value = PyLong_AsLong(obj);
  if (value == -1 && PyErr_Occurred()) return false;
  if (value < 0 || value > 65535) {
    PyErr_SetString(PyExc_OverflowError, "port must be 0-65535");
    return false;
  }
  out = static_cast<uint16_t>(value);
  return true;
}

// ---- the callback face -----------------------------------------------------------

// The callables of the callback face. With get_buffer and buffer_updated
// the protocol owns the receive buffer: the kernel writes straight into it.
struct ConnCallbacks {
  Ref on_data, on_eof, on_lost, on_pause, on_resume;
  Ref get_buffer, buffer_updated;
  Ref on_fail;  // hears (exception, callback name) before the connection aborts
};

class PyConnHandler final : public ConnHandler {
 public:
  explicit PyConnHandler(ConnCallbacks cb) : cb_(std::move(cb)) {}

  void readable(Connection& conn) override {
    Attached attached;
    if (!attached.ok()) return;
    if (cb_.get_buffer) return read_into_protocol(conn);
    const size_t cap = conn.receive_hint();
    Ref data = cap <= kScratchSize ? receive_copied(conn, cap) : receive_in_place(conn, cap);
    if (!data) {
      if (PyErr_Occurred()) fail(conn, "data_received");
      return;  // nothing there yet, the end (handled), or a failure that closed conn
    }
    Ref r = Ref::steal(PyObject_CallOneArg(cb_.on_data.get(), data.get()));
    if (!r) fail(conn, "data_received");
  }

  void pause_writing() override { call_flow(cb_.on_pause); }
  void resume_writing() override { call_flow(cb_.on_resume); }

  void closed(int err) override {
    Attached attached;
    if (!attached.ok()) return;
    Ref exc;
    {
      std::lock_guard lock(mu_);
      exc = std::move(failure_);
    }
    if (!exc && err != 0) exc = errno_exception(err);
    Ref r = Ref::steal(PyObject_CallOneArg(cb_.on_lost.get(), exc ? exc.get() : Py_None));
    if (!r) PyErr_WriteUnraisable(cb_.on_lost.get());
  }

 private:
  // get_buffer(-1), a receive into the buffer it returns, buffer_updated(n):
  // no intermediate bytes object.
  void read_into_protocol(Connection& conn) {
    Ref hint = Ref::steal(PyLong_FromLong(-1));
    Ref buffer = hint ? Ref::steal(PyObject_CallOneArg(cb_.get_buffer.get(), hint.get())) : Ref();
    Py_buffer view;
    if (!buffer || PyObject_GetBuffer(buffer.get(), &view, PyBUF_WRITABLE) < 0) return fail(conn, "get_buffer");
    if (view.len == 0) {
      PyBuffer_Release(&view);
      PyErr_SetString(PyExc_RuntimeError, "get_buffer() returned an empty buffer");
      return fail(conn, "get_buffer");
    }
    ssize_t n = conn.receive(static_cast<char*>(view.buf), static_cast<size_t>(view.len));
    PyBuffer_Release(&view);
    if (n < 0) return;
    if (n == 0) return end_of_stream(conn);
    Ref count = Ref::steal(PyLong_FromSsize_t(n));
    Ref r = count ? Ref::steal(PyObject_CallOneArg(cb_.buffer_updated.get(), count.get())) : Ref();
    if (!r) fail(conn, "buffer_updated");
  }

  // Reads of up to this size go through the loop thread's scratch buffer and
  // are copied into a bytes object of the exact size: small messages then
  // cost a small-object allocation instead of a large malloc and a realloc.
  static constexpr size_t kScratchSize = 64 * 1024;

  // The received bytes, or null: with an exception set when allocating
  // failed, without one when nothing came or the stream ended (handled).
  Ref receive_copied(Connection& conn, size_t cap) {
    VELKOR_HOT_TLS thread_local std::unique_ptr<char[]> scratch;
    if (!scratch) scratch = std::make_unique<char[]>(kScratchSize);
    ssize_t n = conn.receive(scratch.get(), cap);
    if (n <= 0) return received_nothing(conn, n);
    return Ref::steal(PyBytes_FromStringAndSize(scratch.get(), n));
  }

  // Large reads go straight into the bytes object, shrunk to what came.
  Ref receive_in_place(Connection& conn, size_t cap) {
    PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(cap));
    if (!bytes) return Ref();
    ssize_t n = conn.receive(PyBytes_AS_STRING(bytes), cap);
    if (n <= 0) {
      Py_DECREF(bytes);
      return received_nothing(conn, n);
    }
    if (_PyBytes_Resize(&bytes, n) < 0) return Ref();
    return Ref::steal(bytes);
  }

  Ref received_nothing(Connection& conn, ssize_t n) {
    if (n == 0) end_of_stream(conn);
    return Ref();
  }

  void end_of_stream(Connection& conn) {
    Ref r = Ref::steal(PyObject_CallNoArgs(cb_.on_eof.get()));
    if (!r) fail(conn, "eof_received");
  }

  // A protocol callback raised: the connection ends with that exception,
  // after on_fail (when given) has heard which callback it was.
  void fail(Connection& conn, const char* callback) {
    PyObject* exc = PyErr_GetRaisedException();
    {
      std::lock_guard lock(mu_);
      failure_ = Ref::borrow(exc);
    }
    if (cb_.on_fail) {
      Ref r = Ref::steal(PyObject_CallFunction(cb_.on_fail.get(), "Os", exc, callback));
      if (!r) PyErr_WriteUnraisable(cb_.on_fail.get());
    }
    Py_DECREF(exc);
    conn.abort();
  }

  static void call_flow(const Ref& callable) {
    if (!callable) return;
    Attached attached;
    if (!attached.ok()) return;
    Ref r = Ref::steal(PyObject_CallNoArgs(callable.get()));
    if (!r) PyErr_WriteUnraisable(callable.get());
  }

  const ConnCallbacks cb_;
  std::mutex mu_;
  Ref failure_;
};

// ---- NetWait: the awaitable of read, write/drain, wait_closed, accept -------------

enum class WaitOp { Read, Drain, Closed, Accept };

struct NetWait {
  WaitOp op;
  // Kept alive by `owner`, whose object holds the socket for its whole life.
  Connection* conn = nullptr;
  Listener* listener = nullptr;
  size_t size = 0;      // Read: the most to return
  Ref result;           // Drain: what the await gives
  bool parked = false;  // Drain: once parked, wait for the low-water mark
  bool ready = false;   // Drain: the write left the buffer below the mark
  bool done = false;
  // The Python object that owns the connection or listener: dropping it
  // aborts the socket, so a pending operation keeps it alive.
  Ref owner;
};

PyObject* new_connection_object(std::shared_ptr<Connection> conn);

// The current task's waker, left in place until an operation parks it.
Waker* current_waker_slot() {
  RuntimeContext* ctx = runtime::try_current();
  return ctx && ctx->current_waker ? &ctx->current_waker : nullptr;
}

PyObject* finish(NetWait& w, Ref value) {
  w.done = true;
  if (value) set_stop_iteration(value.get());
  return nullptr;
}

// Reads up to this size go through a scratch buffer and are copied into a
// bytes object of the exact size: cheaper than shrinking a larger one, and
// one lock instead of two.
constexpr size_t kScratchReceive = 16 * 1024;

// The calling thread's receive buffer, made on first use.
char* receive_scratch() {
  VELKOR_HOT_TLS thread_local std::unique_ptr<char[]> scratch;
  if (!scratch) scratch = std::make_unique_for_overwrite<char[]>(kScratchReceive);
  return scratch.get();
}

PyObject* read_small(NetWait& w, size_t cap, Waker* waker) {
  char* scratch = receive_scratch();
  ssize_t n = w.conn->receive(scratch, cap, waker, /*idle_parks=*/true);
  if (n < 0) return n == -EAGAIN ? pending_marker() : raise_errno(static_cast<int>(-n));
  PyObject* bytes = PyBytes_FromStringAndSize(scratch, n);
  if (!bytes) {
    w.conn->unreceive(scratch, static_cast<size_t>(n));  // out of memory: the next read gets them
    return nullptr;
  }
  return finish(w, Ref::steal(bytes));
}

PyObject* read_step(NetWait& w) {
  if (w.size == 0) return finish(w, Ref::borrow(Py_GetConstant(Py_CONSTANT_EMPTY_BYTES)));
  Waker* waker = current_waker_slot();
  if (std::min(w.size, w.conn->receive_hint()) <= kScratchReceive) {
    return read_small(w, std::min(w.size, kScratchReceive), waker);
  }
  const size_t hint = w.conn->park_if_idle(waker);
  if (hint == 0) return pending_marker();
  const size_t cap = std::min(w.size, hint);
  PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(cap));
  if (!bytes) return nullptr;
  ssize_t n = w.conn->receive(PyBytes_AS_STRING(bytes), cap, waker);
  if (n < 0) {
    Py_DECREF(bytes);
    return n == -EAGAIN ? pending_marker() : raise_errno(static_cast<int>(-n));
  }
  if (_PyBytes_Resize(&bytes, n) < 0) return nullptr;
  return finish(w, Ref::steal(bytes));
}

PyObject* drain_step(NetWait& w) {
  if (w.ready) return finish(w, std::move(w.result));
  Waker* waker = current_waker_slot();
  Waker none;
  const size_t limit = w.parked ? w.conn->low_water() : w.conn->high_water();
  int r = w.conn->await_drained(limit, waker ? *waker : none);
  if (r < 0) {
    w.done = true;
    return raise_errno(-r);
  }
  if (r == 1) return finish(w, std::move(w.result));
  w.parked = true;
  return pending_marker();
}

PyObject* closed_step(NetWait& w) {
  Waker* waker = current_waker_slot();
  Waker none;
  const int r = w.conn->await_closed(waker ? *waker : none);
  if (r == 0) return pending_marker();
  w.done = true;
  // Bytes written before close() that a failure kept from the peer: the
  // code that waits for the close hears of it, as with asyncio's streams.
  return r < 0 ? raise_errno(-r) : finish(w, Ref::borrow(Py_None));
}

PyObject* accept_step(NetWait& w) {
  std::shared_ptr<SharedCore> core = runtime::current().core;  // before a descriptor exists
  int fd;
  int err = w.listener->accept(fd, current_waker_slot());
  if (err == EAGAIN || err == EWOULDBLOCK) return pending_marker();
  if (err != 0) return raise_errno(err);
  std::shared_ptr<Connection> conn;
  if (int e = Connection::adopt(std::move(core), fd, conn)) return raise_errno(e);
  return finish(w, Ref::steal(new_connection_object(std::move(conn))));
}

// A socket is registered with the loop of the run that made it. Once that
// run has ended nothing would wake a waiter or flush a buffer, so an open
// socket's use from a later run raises rather than parking forever.
bool loop_alive(Socket& sock) {
  if (!sock.loop_ended() || !sock.is_open()) return true;
  PyErr_SetString(PyExc_RuntimeError,
                  "this socket belongs to a velkor.run that has ended; connections and listeners "
                  "cannot move to another run");
  return false;
}

PyObject* wait_step(PyObject* self) {
  NetWait& w = Box<NetWait>::of(self);
  if (w.done) return nullptr;
  if (!loop_alive(w.conn ? static_cast<Socket&>(*w.conn) : *w.listener)) {
    w.done = true;
    return nullptr;
  }
  return guarded([&]() -> PyObject* {
    switch (w.op) {
      case WaitOp::Read:
        return read_step(w);
      case WaitOp::Drain:
        return drain_step(w);
      case WaitOp::Closed:
        return closed_step(w);
      case WaitOp::Accept:
        return accept_step(w);
    }
    return nullptr;
  });
}

PyObject* wait_send(PyObject* self, PyObject*) { return send_result(wait_step(self)); }

// A connection keeps the memory of its last finished NetWait for the next
// one: its reads and writes follow each other, so the allocator is asked
// only while two operations of a connection are out at once.
PyObject* take_spare_wait(PyObject* conn_object, PyTypeObject* type);
bool keep_spare_wait(PyObject* conn_object, PyObject* wait);

PyObject* new_wait(PyObject* owner, NetWait fields) {
  fields.owner = Ref::borrow(owner);
  PyTypeObject* type = wait_type();
  if (!type) return nullptr;
  PyObject* obj = fields.op == WaitOp::Accept ? nullptr : take_spare_wait(owner, type);
  if (!obj && !(obj = type->tp_alloc(type, 0))) return nullptr;
  new (&reinterpret_cast<Box<NetWait>*>(obj)->f) NetWait{std::move(fields)};
  return obj;
}

void delete_wait(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  NetWait& w = Box<NetWait>::of(obj);
  // Released last: the connection it may free frees the kept memory with it.
  Ref owner = std::move(w.owner);
  const bool of_connection = w.op != WaitOp::Accept;
  w.~NetWait();
  if (!(of_connection && owner && keep_spare_wait(owner.get(), obj))) type->tp_free(obj);
  Py_DECREF(type);
}

PyMethodDef wait_methods[] = {
    {"send", wait_send, METH_O, "send($self, _val)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot wait_slots[] = {
    {Py_tp_doc, const_cast<char*>("One pending socket operation; awaiting it a second time gives None.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(delete_wait)},
    {Py_am_await, reinterpret_cast<void*>(Py_NewRef)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(wait_step)},
    {Py_tp_methods, wait_methods},
    {0, nullptr},
};
PyType_Spec wait_spec = {"_velkor.NetWait", sizeof(Box<NetWait>), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                         wait_slots};

PyTypeObject* wait_type() { return shared_type(g_wait_type, &wait_spec); }

// ---- Connection -------------------------------------------------------------------

struct ConnObject {
  std::shared_ptr<Connection> conn;
  std::atomic<PyObject*> spare_wait{nullptr};  // raw memory of a finished NetWait
  ~ConnObject() {
    if (conn) conn->abort();  // dropped without close(): nothing can reach it any more
    if (PyObject* spare = spare_wait.exchange(nullptr)) wait_type()->tp_free(spare);
  }
};

// The header is set up as tp_alloc would; the fields are constructed by the
// caller over whatever the last NetWait left.
PyObject* take_spare_wait(PyObject* conn_object, PyTypeObject* type) {
  PyObject* memory = Box<ConnObject>::of(conn_object).spare_wait.exchange(nullptr);
  if (!memory) return nullptr;
  return PyObject_Init(memory, type);
}

bool keep_spare_wait(PyObject* conn_object, PyObject* wait) {
  PyObject* none = nullptr;
  return Box<ConnObject>::of(conn_object).spare_wait.compare_exchange_strong(none, wait);
}

Connection& conn_of(PyObject* self) { return *Box<ConnObject>::of(self).conn; }

PyObject* new_connection_object(std::shared_ptr<Connection> conn) {
  PyTypeObject* type = conn_type();
  return type ? new_object<ConnObject>(type, std::move(conn)) : nullptr;
}

PyObject* conn_read(PyObject* self, PyObject* arg) {
  Py_ssize_t n = PyNumber_AsSsize_t(arg, PyExc_OverflowError);
  if (n == -1 && PyErr_Occurred()) return nullptr;
  if (n < 0) {
    PyErr_SetString(PyExc_ValueError, "read size must not be negative");
    return nullptr;
  }
  return new_wait(self, NetWait{WaitOp::Read, &conn_of(self), nullptr, static_cast<size_t>(n)});
}

// Sends what the kernel takes now and buffers the rest; 0 or -1 with an
// error. `below_high`: nothing for a writer to wait for afterwards.
int write_buffer(PyObject* self, PyObject* data, Py_ssize_t& length, bool* below_high = nullptr) {
  if (PyUnicode_Check(data)) {
    PyErr_SetString(PyExc_TypeError, "data must be a bytes-like object, not str");
    return -1;
  }
  if (!loop_alive(conn_of(self))) return -1;
  if (PyBytes_CheckExact(data)) {
    // Immutable and not exporting anything: no buffer view to take.
    length = PyBytes_GET_SIZE(data);
    int err = conn_of(self).write(PyBytes_AS_STRING(data), static_cast<size_t>(length), below_high);
    return err ? (raise_errno(err), -1) : 0;
  }
  Py_buffer view;
  if (PyObject_GetBuffer(data, &view, PyBUF_SIMPLE) < 0) return -1;
  length = view.len;
  // Straight from the caller's buffer: only what the kernel refuses is copied.
  int err = conn_of(self).write(static_cast<const char*>(view.buf), static_cast<size_t>(view.len), below_high);
  PyBuffer_Release(&view);
  return err ? (raise_errno(err), -1) : 0;
}

PyObject* conn_write(PyObject* self, PyObject* data) {
  Py_ssize_t length;
  bool below_high;
  if (write_buffer(self, data, length, &below_high) < 0) return nullptr;
  Ref result = Ref::steal(PyLong_FromSsize_t(length));
  if (!result) return nullptr;
  NetWait wait{WaitOp::Drain, &conn_of(self), nullptr, 0, std::move(result)};
  wait.ready = below_high;
  return new_wait(self, std::move(wait));
}

PyObject* conn_send(PyObject* self, PyObject* data) {
  Py_ssize_t length;
  if (write_buffer(self, data, length) < 0) return nullptr;
  Py_RETURN_NONE;
}

// ---- Sender: a transport's write() as one native call ----------------------------
//
// conn._sender(on_refused) returns a callable that sends its one argument as
// send() does; when the connection refuses the write with an OSError it
// returns on_refused(exc, data) instead of raising. A transport installs it
// as its write(): no Python frame between the protocol and the socket.

struct SenderObject {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  PyObject* conn;
  PyObject* on_refused;
};

SenderObject* as_sender(PyObject* self) { return reinterpret_cast<SenderObject*>(self); }

PyObject* sender_call(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  if (PyVectorcall_NARGS(nargsf) != 1 || kwnames) {
    PyErr_SetString(PyExc_TypeError, "write() takes exactly one argument (data)");
    return nullptr;
  }
  SenderObject* sender = as_sender(self);
  Py_ssize_t length;
  if (write_buffer(sender->conn, args[0], length) == 0) Py_RETURN_NONE;
  if (!PyErr_ExceptionMatches(PyExc_OSError)) return nullptr;
  Ref exc = Ref::steal(PyErr_GetRaisedException());
  return PyObject_CallFunctionObjArgs(sender->on_refused, exc.get(), args[0], nullptr);
}

int sender_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(as_sender(self)->conn);
  Py_VISIT(as_sender(self)->on_refused);
  return 0;
}

int sender_clear(PyObject* self) {
  Py_CLEAR(as_sender(self)->conn);
  Py_CLEAR(as_sender(self)->on_refused);
  return 0;
}

void sender_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  sender_clear(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyMemberDef sender_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(SenderObject, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot sender_slots[] = {
    {Py_tp_doc, const_cast<char*>("A connection's send() for a transport's write().")},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_traverse, reinterpret_cast<void*>(sender_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(sender_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(sender_dealloc)},
    {Py_tp_members, sender_members},
    {0, nullptr},
};

PyType_Spec sender_spec = {
    "_velkor.Sender", sizeof(SenderObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    sender_slots};

PyObject* g_sender_type = nullptr;

PyObject* conn_sender(PyObject* self, PyObject* on_refused) {
  if (!PyCallable_Check(on_refused)) {
    PyErr_SetString(PyExc_TypeError, "_sender() argument 'on_refused' must be callable");
    return nullptr;
  }
  PyTypeObject* type = shared_type(g_sender_type, &sender_spec);
  SenderObject* sender = type ? PyObject_GC_New(SenderObject, type) : nullptr;
  if (!sender) return nullptr;
  sender->vectorcall = sender_call;
  sender->conn = Py_NewRef(self);
  sender->on_refused = Py_NewRef(on_refused);
  PyObject_GC_Track(sender);
  return reinterpret_cast<PyObject*>(sender);
}

PyObject* conn_drain(PyObject* self, PyObject*) {
  return new_wait(self, NetWait{WaitOp::Drain, &conn_of(self), nullptr, 0, Ref::borrow(Py_None)});
}

PyObject* conn_wait_closed(PyObject* self, PyObject*) {
  return new_wait(self, NetWait{WaitOp::Closed, &conn_of(self), nullptr});
}

PyObject* conn_write_eof(PyObject* self, PyObject*) {
  if (!loop_alive(conn_of(self))) return nullptr;
  if (int err = conn_of(self).write_eof()) return raise_errno(err);
  Py_RETURN_NONE;
}

PyObject* conn_close(PyObject* self, PyObject*) {
  conn_of(self).close();
  Py_RETURN_NONE;
}

PyObject* conn_abort(PyObject* self, PyObject*) {
  conn_of(self).abort();
  Py_RETURN_NONE;
}

PyObject* conn_is_closing(PyObject* self, PyObject*) { return PyBool_FromLong(conn_of(self).is_closing()); }

PyObject* socket_name(Socket& sock, bool peer) {
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  int err = sock.with_fd([&](int fd) {
    auto* sa = reinterpret_cast<sockaddr*>(&ss);
    return (peer ? ::getpeername(fd, sa, &len) : ::getsockname(fd, sa, &len)) < 0 ? errno : 0;
  });
  if (err) return raise_errno(err);
  return address_to_python(ss, len);
}

PyObject* conn_getsockname(PyObject* self, PyObject*) { return socket_name(conn_of(self), false); }
PyObject* conn_getpeername(PyObject* self, PyObject*) { return socket_name(conn_of(self), true); }

PyObject* socket_fileno(Socket& sock) {
  int fd = -1;
  sock.with_fd([&](int f) {
    fd = f;
    return 0;
  });
  return PyLong_FromLong(fd);
}

PyObject* conn_fileno(PyObject* self, PyObject*) { return socket_fileno(conn_of(self)); }

PyObject* conn_set_nodelay(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"on", nullptr};
  int on = 1;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|p:set_nodelay", const_cast<char**>(kwlist), &on)) {
    return nullptr;
  }
  int err = conn_of(self).with_fd([&](int fd) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len) == 0 && ss.ss_family == AF_UNIX) {
      return 0;  // no Nagle on Unix sockets: nothing to turn off
    }
    return ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) < 0 ? errno : 0;
  });
  if (err) return raise_errno(err);
  Py_RETURN_NONE;
}

PyObject* conn_get_write_buffer_size(PyObject* self, PyObject*) {
  return PyLong_FromSize_t(conn_of(self).buffered());
}

PyObject* conn_get_write_buffer_limits(PyObject* self, PyObject*) {
  Connection& c = conn_of(self);
  return Py_BuildValue("(nn)", static_cast<Py_ssize_t>(c.low_water()), static_cast<Py_ssize_t>(c.high_water()));
}

// asyncio's rule: high defaults to 64 KiB (or 4 * low), low to high / 4.
PyObject* conn_set_write_buffer_limits(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"high", "low", nullptr};
  PyObject* high_obj = Py_None;
  PyObject* low_obj = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OO:set_write_buffer_limits", const_cast<char**>(kwlist),
                                   &high_obj, &low_obj)) {
    return nullptr;
  }
  Py_ssize_t high = -1, low = -1;
  if (high_obj != Py_None && (high = PyNumber_AsSsize_t(high_obj, PyExc_OverflowError)) == -1 && PyErr_Occurred()) return nullptr;
  if (low_obj != Py_None && (low = PyNumber_AsSsize_t(low_obj, PyExc_OverflowError)) == -1 && PyErr_Occurred()) return nullptr;
  if (high_obj == Py_None) high = low_obj == Py_None ? static_cast<Py_ssize_t>(kDefaultHighWater) : 4 * low;
  if (low_obj == Py_None) low = high / 4;
  if (!(high >= low && low >= 0)) {
    PyErr_Format(PyExc_ValueError, "high (%zd) must be >= low (%zd) must be >= 0", high, low);
    return nullptr;
  }
  conn_of(self).set_write_limits(static_cast<size_t>(high), static_cast<size_t>(low));
  Py_RETURN_NONE;
}

Ref optional_callable(PyObject* obj, const char* name, bool& ok) {
  if (obj == Py_None || obj == nullptr) return Ref();
  if (!PyCallable_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "%s must be callable", name);
    ok = false;
  }
  return Ref::borrow(obj);
}

PyObject* conn_start(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"data_received", "eof_received", "connection_lost", "pause_writing",
                                 "resume_writing", "get_buffer", "buffer_updated", "on_fail", "reading",
                                 nullptr};
  PyObject *data, *eof, *lost, *pause = Py_None, *resume = Py_None;
  PyObject *get_buffer = Py_None, *buffer_updated = Py_None, *on_fail = Py_None;
  int reading = 1;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO|OO$OOOp:start", const_cast<char**>(kwlist), &data,
                                   &eof, &lost, &pause, &resume, &get_buffer, &buffer_updated, &on_fail,
                                   &reading)) {
    return nullptr;
  }
  bool ok = true;
  ConnCallbacks cb{optional_callable(data, "data_received", ok),
                   optional_callable(eof, "eof_received", ok),
                   optional_callable(lost, "connection_lost", ok),
                   optional_callable(pause, "pause_writing", ok),
                   optional_callable(resume, "resume_writing", ok),
                   optional_callable(get_buffer, "get_buffer", ok),
                   optional_callable(buffer_updated, "buffer_updated", ok),
                   optional_callable(on_fail, "on_fail", ok)};
  if (!ok) return nullptr;
  if (!cb.on_eof || !cb.on_lost || (!cb.on_data && !cb.get_buffer)) {
    PyErr_SetString(PyExc_TypeError, "data_received, eof_received and connection_lost are required");
    return nullptr;
  }
  if (!cb.get_buffer != !cb.buffer_updated) {
    PyErr_SetString(PyExc_TypeError, "get_buffer and buffer_updated go together");
    return nullptr;
  }
  Connection& c = conn_of(self);
  if (!c.is_open()) return raise_errno(EBADF);
  if (!loop_alive(c)) return nullptr;
  return guarded([&]() -> PyObject* {
    c.set_handler(std::make_shared<PyConnHandler>(std::move(cb)));
    c.set_reading(reading != 0);
    Py_RETURN_NONE;
  });
}

PyObject* conn_pause_reading(PyObject* self, PyObject*) {
  conn_of(self).set_reading(false);
  Py_RETURN_NONE;
}

PyObject* conn_resume_reading(PyObject* self, PyObject*) {
  conn_of(self).set_reading(true);
  Py_RETURN_NONE;
}

#define VELKOR_KW(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))

// At most 21 entries in the type's dict (methods plus __doc__ and
// __module__): a larger dict gets its keys from malloc, and since the
// module's types live for the process while the only pointer to those keys
// sits in an interpreter arena, the sanitizer build's leak checker would
// report them as lost.
PyMethodDef conn_methods[] = {
    {"read", conn_read, METH_O,
     "read($self, n, /)\n--\n\nAwaitable: up to n bytes as soon as any are there; b'' at the end of the stream."},
    {"write", conn_write, METH_O,
     "write($self, data, /)\n--\n\nSends data now, buffering what the socket does not take. The returned\n"
     "awaitable gives len(data) once the buffer is at or below the high-water mark."},
    {"send", conn_send, METH_O, "send($self, data, /)\n--\n\nwrite() without an awaitable."},
    {"_sender", conn_sender, METH_O,
     "_sender($self, on_refused, /)\n--\n\nA callable doing send(data); a write refused with an OSError\n"
     "returns on_refused(exc, data) instead."},
    {"drain", conn_drain, METH_NOARGS,
     "drain($self, /)\n--\n\nAwaitable: returns once the buffer is at or below the high-water mark."},
    {"write_eof", conn_write_eof, METH_NOARGS,
     "write_eof($self, /)\n--\n\nShuts the sending side once the buffer is flushed."},
    {"close", conn_close, METH_NOARGS,
     "close($self, /)\n--\n\nStops reading; the socket closes once the buffer is flushed."},
    {"abort", conn_abort, METH_NOARGS, "abort($self, /)\n--\n\nCloses now, dropping buffered bytes."},
    {"wait_closed", conn_wait_closed, METH_NOARGS,
     "wait_closed($self, /)\n--\n\nAwaitable: returns once the socket is closed; raises the OSError of the\n"
     "failure that closed it when that failure dropped written bytes."},
    {"is_closing", conn_is_closing, METH_NOARGS, "is_closing($self, /)\n--\n\n"},
    {"getsockname", conn_getsockname, METH_NOARGS, "getsockname($self, /)\n--\n\n"},
    {"getpeername", conn_getpeername, METH_NOARGS, "getpeername($self, /)\n--\n\n"},
    {"fileno", conn_fileno, METH_NOARGS, "fileno($self, /)\n--\n\nThe descriptor, or -1 once closed."},
    {"set_nodelay", VELKOR_KW(conn_set_nodelay), METH_VARARGS | METH_KEYWORDS,
     "set_nodelay($self, /, on=True)\n--\n\n"},
    {"get_write_buffer_size", conn_get_write_buffer_size, METH_NOARGS, "get_write_buffer_size($self, /)\n--\n\n"},
    {"get_write_buffer_limits", conn_get_write_buffer_limits, METH_NOARGS,
     "get_write_buffer_limits($self, /)\n--\n\n(low, high)"},
    {"set_write_buffer_limits", VELKOR_KW(conn_set_write_buffer_limits), METH_VARARGS | METH_KEYWORDS,
     "set_write_buffer_limits($self, /, high=None, low=None)\n--\n\n"},
    {"start", VELKOR_KW(conn_start), METH_VARARGS | METH_KEYWORDS,
     "start($self, /, data_received, eof_received, connection_lost, pause_writing=None, resume_writing=None, *,"
     " get_buffer=None, buffer_updated=None, on_fail=None, reading=True)\n"
     "--\n\nHands the connection to the callback face and starts reading (unless reading is false).\n"
     "With get_buffer and buffer_updated, data is received straight into get_buffer(-1)'s\n"
     "buffer and data_received may be None. on_fail(exc, name) hears a callback that raised."},
    {"pause_reading", conn_pause_reading, METH_NOARGS, "pause_reading($self, /)\n--\n\n"},
    {"resume_reading", conn_resume_reading, METH_NOARGS, "resume_reading($self, /)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot conn_slots[] = {
    {Py_tp_doc, const_cast<char*>("A non-blocking socket on the running loop's epoll.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(delete_object<ConnObject>)},
    {Py_tp_methods, conn_methods},
    {0, nullptr},
};
PyType_Spec conn_spec = {"_velkor.Connection", sizeof(Box<ConnObject>), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                         conn_slots};

PyTypeObject* conn_type() { return shared_type(g_conn_type, &conn_spec); }

// ---- Listener ----------------------------------------------------------------------

struct ListenerObject {
  std::shared_ptr<Listener> listener;
  ~ListenerObject() {
    if (listener) listener->close();
  }
};

Listener& listener_of(PyObject* self) { return *Box<ListenerObject>::of(self).listener; }

PyObject* listener_accept(PyObject* self, PyObject*) {
  return new_wait(self, NetWait{WaitOp::Accept, nullptr, &listener_of(self)});
}

// Connections accepted per readiness event before the loop moves on.
constexpr int kAcceptBatch = 64;
// How long accepting rests after a failure such as running out of descriptors.
constexpr double kAcceptRetrySeconds = 1.0;

class PyListenerHandler final : public ListenerHandler {
 public:
  PyListenerHandler(Ref on_accept, Ref on_error) : on_accept_(std::move(on_accept)), on_error_(std::move(on_error)) {}

  void acceptable(Listener& listener) override {
    Attached attached;
    if (!attached.ok()) return;
    for (int i = 0; i < kAcceptBatch; ++i) {
      int fd;
      int err = listener.accept(fd);
      if (err == EAGAIN || err == EWOULDBLOCK || err == EBADF) return;
      if (err != 0) return failed(listener, err);
      std::shared_ptr<Connection> conn;
      if (Connection::adopt(listener.core(), fd, conn) != 0) return;
      Ref obj = Ref::steal(new_connection_object(std::move(conn)));
      Ref r = obj ? Ref::steal(PyObject_CallOneArg(on_accept_.get(), obj.get())) : Ref();
      if (!r) PyErr_WriteUnraisable(on_accept_.get());
    }
  }

 private:
  void failed(Listener& listener, int err) {
    listener.pause_accepting(kAcceptRetrySeconds);
    Ref exc = errno_exception(err);
    PyObject* target = on_error_ ? on_error_.get() : on_accept_.get();
    Ref r = on_error_ ? Ref::steal(PyObject_CallOneArg(on_error_.get(), exc.get())) : Ref();
    if (!r) {
      if (!PyErr_Occurred()) PyErr_SetRaisedException(exc.release());
      PyErr_WriteUnraisable(target);
    }
  }

  const Ref on_accept_, on_error_;
};

PyObject* listener_start(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"on_accept", "on_error", nullptr};
  PyObject *accept_obj, *error_obj = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:start", const_cast<char**>(kwlist), &accept_obj,
                                   &error_obj)) {
    return nullptr;
  }
  bool ok = true;
  Ref on_accept = optional_callable(accept_obj, "on_accept", ok);
  Ref on_error = optional_callable(error_obj, "on_error", ok);
  if (!ok) return nullptr;
  if (!on_accept) {
    PyErr_SetString(PyExc_TypeError, "on_accept is required");
    return nullptr;
  }
  Listener& l = listener_of(self);
  if (!l.is_open()) return raise_errno(EBADF);
  if (!loop_alive(l)) return nullptr;
  return guarded([&]() -> PyObject* {
    l.set_handler(std::make_shared<PyListenerHandler>(std::move(on_accept), std::move(on_error)));
    l.set_accepting(true);
    Py_RETURN_NONE;
  });
}

PyObject* listener_pause(PyObject* self, PyObject*) {
  listener_of(self).set_accepting(false);
  Py_RETURN_NONE;
}

PyObject* listener_resume(PyObject* self, PyObject*) {
  listener_of(self).set_accepting(true);
  Py_RETURN_NONE;
}

PyObject* listener_close(PyObject* self, PyObject*) {
  listener_of(self).close();
  Py_RETURN_NONE;
}

PyObject* listener_getsockname(PyObject* self, PyObject*) { return socket_name(listener_of(self), false); }
PyObject* listener_fileno(PyObject* self, PyObject*) { return socket_fileno(listener_of(self)); }
PyObject* listener_is_open(PyObject* self, PyObject*) { return PyBool_FromLong(listener_of(self).is_open()); }

PyMethodDef listener_methods[] = {
    {"accept", listener_accept, METH_NOARGS,
     "accept($self, /)\n--\n\nAwaitable: the next connection, as a Connection."},
    {"start", VELKOR_KW(listener_start), METH_VARARGS | METH_KEYWORDS,
     "start($self, /, on_accept, on_error=None)\n--\n\n"
     "Callback face: on_accept(connection) runs on the loop thread for every\n"
     "accepted connection. A failure to accept (out of descriptors, say) goes to\n"
     "on_error(exc) and rests accepting for a second."},
    {"pause_accepting", listener_pause, METH_NOARGS, "pause_accepting($self, /)\n--\n\n"},
    {"resume_accepting", listener_resume, METH_NOARGS, "resume_accepting($self, /)\n--\n\n"},
    {"close", listener_close, METH_NOARGS,
     "close($self, /)\n--\n\nStops listening; pending accepts raise OSError(EBADF)."},
    {"getsockname", listener_getsockname, METH_NOARGS, "getsockname($self, /)\n--\n\n"},
    {"fileno", listener_fileno, METH_NOARGS, "fileno($self, /)\n--\n\nThe descriptor, or -1 once closed."},
    {"is_open", listener_is_open, METH_NOARGS, "is_open($self, /)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot listener_slots[] = {
    {Py_tp_doc, const_cast<char*>("A listening socket on the running loop's epoll.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(delete_object<ListenerObject>)},
    {Py_tp_methods, listener_methods},
    {0, nullptr},
};
PyType_Spec listener_spec = {"_velkor.Listener", sizeof(Box<ListenerObject>), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                             listener_slots};

PyTypeObject* listener_type() { return shared_type(g_listener_type, &listener_spec); }

// ---- Connecting ----------------------------------------------------------------------

struct Connecting {
  std::string host;
  uint16_t port = 0;
  std::optional<std::pair<std::string, uint16_t>> local_name;
  std::vector<SocketAddress> addresses;  // known: tried in order
  std::vector<SocketAddress> locals;
  std::shared_ptr<ResolveJob> job;       // resolving on the pool
  size_t next = 0;
  std::shared_ptr<Connection> attempt;  // the connect in progress
  std::vector<int> errors;
  bool resolved = false;
  bool done = false;

  ~Connecting() {
    if (attempt) attempt->abort();  // cancelled half-way: close the attempt
  }
};

void start_resolving(Connecting& c, Waker& waker) {
  auto job = std::make_shared<ResolveJob>();
  job->waiter.store(std::move(waker));
  c.job = job;
  RuntimeContext& ctx = runtime::current();
  std::shared_ptr<TaskScheduler> pool = ctx.pool ? ctx.pool : global_pool();
  pool->submit([job, host = c.host, port = c.port, local = c.local_name] {
    Lookup remote = lookup(host, port);
    Lookup local_result;
    if (local) local_result = lookup(local->first, local->second);
    {
      std::lock_guard lock(job->mu);
      job->remote = std::move(remote);
      job->local = std::move(local_result);
      job->done = true;
    }
    job->waiter.wake();
  });
}

// Takes the job's outcome once it is there; false while it is still running.
bool take_resolution(Connecting& c, Waker& waker, bool& failed) {
  std::lock_guard lock(c.job->mu);
  if (!c.job->done) {
    c.job->waiter.store(std::move(waker));
    return false;
  }
  const Lookup* bad = c.job->remote.gai_error ? &c.job->remote : c.job->local.gai_error ? &c.job->local : nullptr;
  if (bad) {
    raise_gaierror(bad->gai_error, bad->sys_error);
    failed = true;
    return true;
  }
  c.addresses = std::move(c.job->remote.addresses);
  c.locals = std::move(c.job->local.addresses);
  return true;
}

const SocketAddress* local_for(const Connecting& c, const SocketAddress& remote) {
  for (const SocketAddress& local : c.locals) {
    if (local.family() == remote.family()) return &local;
  }
  return nullptr;
}

// Every address failed: the error they share, or else the last one with a
// note that lists them all.
std::nullptr_t raise_connect_failure(const Connecting& c) {
  int last = c.errors.empty() ? EADDRNOTAVAIL : c.errors.back();
  raise_errno(last);
  bool same = true;
  for (int e : c.errors) same = same && e == last;
  if (!same) {
    std::string note = "tried " + std::to_string(c.errors.size()) + " addresses:";
    for (int e : c.errors) note += " [" + os_error_text(e) + "]";
    PyObject* exc = PyErr_GetRaisedException();
    Ref r = Ref::steal(PyObject_CallMethod(exc, "add_note", "s", note.c_str()));
    PyErr_Clear();
    PyErr_SetRaisedException(exc);
  }
  return nullptr;
}

PyObject* connecting_step(PyObject* self) {
  Connecting& c = Box<Connecting>::of(self);
  if (c.done) return nullptr;
  return guarded([&]() -> PyObject* {
    RuntimeContext& ctx = runtime::current();
    Waker none;
    Waker& waker = ctx.current_waker ? ctx.current_waker : none;
    if (!c.resolved) {
      if (!c.job) {
        start_resolving(c, waker);
        return pending_marker();
      }
      bool failed = false;
      if (!take_resolution(c, waker, failed)) return pending_marker();
      c.resolved = true;
      if (failed) {
        c.done = true;
        return nullptr;
      }
    }
    for (;;) {
      if (c.attempt) {
        if (c.attempt->await_connected(waker)) return pending_marker();
        int err = c.attempt->connect_error();
        if (err == 0) {
          c.done = true;
          Ref conn = Ref::steal(new_connection_object(std::move(c.attempt)));
          if (conn) set_stop_iteration(conn.get());
          return nullptr;
        }
        c.errors.push_back(err);
        std::exchange(c.attempt, nullptr)->abort();
        ++c.next;
      }
      if (c.next >= c.addresses.size()) {
        c.done = true;
        return raise_connect_failure(c);
      }
      const SocketAddress& remote = c.addresses[c.next];
      const SocketAddress* local = local_for(c, remote);
      int err = c.local_name && !local ? EAFNOSUPPORT : Connection::connect(ctx.core, remote, local, c.attempt);
      if (err != 0) {
        c.errors.push_back(err);
        ++c.next;
      }
    }
  });
}

PyObject* connecting_send(PyObject* self, PyObject*) { return send_result(connecting_step(self)); }

PyMethodDef connecting_methods[] = {
    {"send", connecting_send, METH_O, "send($self, _val)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot connecting_slots[] = {
    {Py_tp_doc, const_cast<char*>("A connect in progress; awaiting it gives the Connection.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(delete_object<Connecting>)},
    {Py_am_await, reinterpret_cast<void*>(Py_NewRef)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(connecting_step)},
    {Py_tp_methods, connecting_methods},
    {0, nullptr},
};
PyType_Spec connecting_spec = {"_velkor.Connecting", sizeof(Box<Connecting>), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                               connecting_slots};

PyTypeObject* connecting_type() { return shared_type(g_connecting_type, &connecting_spec); }

bool local_address(PyObject* obj, Connecting& c) {
  if (obj == Py_None) return true;
  PyObject *host_obj, *port_obj;
  if (!PyArg_ParseTuple(obj, "OO;local_addr must be a (host, port) tuple", &host_obj, &port_obj)) return false;
  std::string host;
  uint16_t port;
  if (!host_text(host_obj, "local_addr host", host) || !port_number(port_obj, port)) return false;
  SocketAddress numeric;
  if (numeric_address(host, port, numeric)) {
    c.locals.push_back(numeric);
  }
  c.local_name.emplace(std::move(host), port);
  return true;
}

}  // namespace

PyObject* connect_tcp(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"host", "port", "local_addr", nullptr};
  PyObject *host_obj, *port_obj, *local_obj = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$O:connect_tcp", const_cast<char**>(kwlist), &host_obj,
                                   &port_obj, &local_obj)) {
    return nullptr;
  }
  PyTypeObject* type = connecting_type();
  if (!type) return nullptr;
  Connecting c;
  if (!host_text(host_obj, "host", c.host) || !port_number(port_obj, c.port) || !local_address(local_obj, c)) {
    return nullptr;
  }
  SocketAddress numeric;
  const bool local_known = !c.local_name || !c.locals.empty();
  if (local_known && numeric_address(c.host, c.port, numeric)) {
    c.addresses.push_back(numeric);
    c.resolved = true;  // nothing to look up: no trip through the pool
  }
  return new_object<Connecting>(type, std::move(c));
}

PyObject* connect_unix(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"path", nullptr};
  PyObject* path;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:connect_unix", const_cast<char**>(kwlist), &path)) {
    return nullptr;
  }
  PyTypeObject* type = connecting_type();
  if (!type) return nullptr;
  Connecting c;
  SocketAddress address;
  if (!unix_address(path, address)) return nullptr;
  c.addresses.push_back(address);
  c.resolved = true;
  return new_object<Connecting>(type, std::move(c));
}

namespace {

// 0 when `fd` is a stream socket that is (or is not) listening, else the
// errno that refuses it: a pipe or a datagram socket would misbehave later.
// A refused descriptor stays the caller's.
int stream_socket_check(int fd, bool listening) {
  int type = 0;
  int accepting = 0;
  socklen_t len = sizeof type;
  if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) < 0) return errno;
  if (type != SOCK_STREAM) return EPROTOTYPE;
  len = sizeof accepting;
  if (::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &accepting, &len) < 0) return errno;
  return (accepting != 0) == listening ? 0 : EINVAL;
}

}  // namespace

// Takes ownership of `fd`, a connected socket, for the running loop.
PyObject* adopt_socket(PyObject*, PyObject* arg) {
  int fd = PyLong_AsInt(arg);
  if (fd == -1 && PyErr_Occurred()) return nullptr;
  if (int err = stream_socket_check(fd, false)) return raise_errno(err);
  return guarded([&]() -> PyObject* {
    std::shared_ptr<Connection> conn;
    if (int err = Connection::adopt(runtime::current().core, fd, conn)) return raise_errno(err);
    return new_connection_object(std::move(conn));
  });
}

// Takes ownership of `fd`, a listening socket, for the running loop.
PyObject* adopt_listener(PyObject*, PyObject* arg) {
  int fd = PyLong_AsInt(arg);
  if (fd == -1 && PyErr_Occurred()) return nullptr;
  if (int err = stream_socket_check(fd, true)) return raise_errno(err);
  PyTypeObject* type = listener_type();
  if (!type) return nullptr;
  return guarded([&]() -> PyObject* {
    std::shared_ptr<Listener> listener;
    if (int err = Listener::adopt(runtime::current().core, fd, listener)) return raise_errno(err);
    return new_object<ListenerObject>(type, std::move(listener));
  });
}

PyTypeObject* connection_type() { return conn_type(); }
PyObject* connection_read(PyObject* conn, PyObject* n) { return conn_read(conn, n); }
PyObject* connection_read_size(PyObject* conn, size_t n) {
  return new_wait(conn, NetWait{WaitOp::Read, &conn_of(conn), nullptr, n});
}
PyObject* connection_write(PyObject* conn, PyObject* data) { return conn_write(conn, data); }
PyObject* connection_drain(PyObject* conn) { return conn_drain(conn, nullptr); }
PyObject* connection_wait_closed(PyObject* conn) { return conn_wait_closed(conn, nullptr); }
PyTypeObject* net_listener_type() { return listener_type(); }

}  // namespace velkor::py
