// TCP client streams and the server-side bind check: open_connection,
// start_server, PyTcpStream, PyTcpListener, and the read and write awaitables.
//
// The stream object holds no socket: its reads take chunks that the reader
// thread queued, its writes queue buffers for the writer thread (see
// runtime/stream.h). Everything here runs attached, on the calling thread.
#include "python/tcp.h"

#include <netdb.h>

#include <algorithm>
#include <string>

#include "python/errors.h"
#include "python/types.h"
#include "runtime/context.h"
#include "runtime/net.h"
#include "runtime/stream.h"

namespace velkor::py {

namespace {

// A parked read is stepped again after this long even when no chunk wakes it:
// that is how it notices the end of the stream, and how several reads of one
// stream that share its single waker slot all make progress.
constexpr Duration kReadRepoll{0, 1'000'000};
// Upper bound of the capacity reserved from a sequence's length hint.
constexpr Py_ssize_t kMaxReserve = 1 << 20;

struct TcpStream {
  std::string addr;
  StreamParts parts;
};

struct TcpListener {
  std::string addr;
};

struct ReadAwaitable {
  std::shared_ptr<Receiver<Chunk>> incoming;
  std::shared_ptr<ReadBuffer> read_buffer;
  std::shared_ptr<WakerSlot> read_waker;
  uint64_t size;
};

struct ReadIter {
  std::shared_ptr<Receiver<Chunk>> incoming;
  std::shared_ptr<ReadBuffer> read_buffer;
  std::shared_ptr<WakerSlot> read_waker;
  uint64_t size;
  bool done = false;
};

struct WriteAwaitable {
  WriteBuffer data;
  std::shared_ptr<Sender<WriteBuffer>> outgoing;
};

struct WriteIter {
  WriteBuffer data;
  std::shared_ptr<Sender<WriteBuffer>> outgoing;
  bool done = false;
};

PyObject* g_stream_type = nullptr;
PyObject* g_listener_type = nullptr;
PyObject* g_read_awaitable_type = nullptr;
PyObject* g_read_iter_type = nullptr;
PyObject* g_write_awaitable_type = nullptr;
PyObject* g_write_iter_type = nullptr;

PyTypeObject* read_awaitable_type();
PyTypeObject* read_iter_type();
PyTypeObject* write_awaitable_type();
PyTypeObject* write_iter_type();

// ---- argument conversion -----------------------------------------------------

bool fail_with_note(const char* name) {
  add_argument_note(name);
  return false;
}

bool host_argument(PyObject* obj, std::string& out) {
  if (!PyUnicode_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "'%.200s' object cannot be converted to 'PyString'",
                 Py_TYPE(obj)->tp_name);
    return fail_with_note("host");
  }
  Py_ssize_t size;
  const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
  if (!text) return fail_with_note("host");
  out.assign(text, static_cast<size_t>(size));
  return true;
}

// An integer (or an object with __index__) from 0 to `max`; other values
// raise OverflowError, non-integers the conversion's TypeError.
bool small_int(PyObject* obj, long max, long& out) {
  Ref index = Ref::steal(PyNumber_Index(obj));
  if (!index) return false;
  int overflow = 0;
  long value = PyLong_AsLongAndOverflow(index.get(), &overflow);
  if (value == -1 && PyErr_Occurred()) return false;
  if (overflow != 0 || value < 0 || value > max) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
  }
  out = value;
  return true;
}

bool port_argument(PyObject* obj, uint16_t& out) {
  long value;
  if (!small_int(obj, 65535, value)) return fail_with_note("port");
  out = static_cast<uint16_t>(value);
  return true;
}

bool size_argument(PyObject* obj, uint64_t& out) {
  Ref index = Ref::steal(PyNumber_Index(obj));
  if (!index) return fail_with_note("size");
  unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    return fail_with_note("size");
  }
  out = value;
  return true;
}

bool sequence_bytes(PyObject* obj, std::string& out) {
  Py_ssize_t hint = PyObject_LengthHint(obj, 0);
  if (hint < 0) {
    PyErr_Clear();
    hint = 0;
  }
  out.reserve(static_cast<size_t>(std::min(hint, kMaxReserve)));
  Ref iter = Ref::steal(PyObject_GetIter(obj));
  if (!iter) return false;
  while (Ref item = Ref::steal(PyIter_Next(iter.get()))) {
    long byte;
    if (!small_int(item.get(), 255, byte)) return false;
    out.push_back(static_cast<char>(byte));
  }
  return !PyErr_Occurred();
}

// The raw bytes of any object with the buffer protocol (an array('H') sends
// its items' memory, not one byte per item), in C order when not contiguous.
bool buffer_bytes(PyObject* obj, std::string& out) {
  Py_buffer view;
  if (PyObject_GetBuffer(obj, &view, PyBUF_FULL_RO) < 0) return false;
  out.resize(static_cast<size_t>(view.len));
  int copied = PyBuffer_ToContiguous(out.data(), &view, view.len, 'C');
  PyBuffer_Release(&view);
  return copied == 0;
}

bool data_argument(PyObject* obj, std::string& out) {
  if (PyBytes_Check(obj)) {
    out.assign(PyBytes_AS_STRING(obj), static_cast<size_t>(PyBytes_GET_SIZE(obj)));
    return true;
  }
  if (PyByteArray_Check(obj)) {
    out.assign(PyByteArray_AS_STRING(obj), static_cast<size_t>(PyByteArray_GET_SIZE(obj)));
    return true;
  }
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return fail_with_note("data");
  }
  if (PyObject_CheckBuffer(obj)) {
    return buffer_bytes(obj, out) || fail_with_note("data");
  }
  if (PySequence_Check(obj)) {
    return sequence_bytes(obj, out) || fail_with_note("data");
  }
  PyErr_Format(PyExc_TypeError, "'%.200s' object cannot be converted to 'Sequence'",
               Py_TYPE(obj)->tp_name);
  return fail_with_note("data");
}

// ---- address handling ----------------------------------------------------------

std::string address_text(const std::string& host, uint16_t port) {
  return host + ":" + std::to_string(port);
}

// Resolves host and port to the first address, or raises OSError.
bool resolve_or_raise(const std::string& host, uint16_t port, SocketAddress& out) {
  if (host.find('\0') != std::string::npos) {
    PyErr_SetString(PyExc_OSError, "invalid address: the host contains a NUL character");
    return false;
  }
  Resolution r = resolve_first(host, port);
  switch (r.status) {
    case Resolution::Status::Found:
      out = r.first;
      return true;
    case Resolution::Status::Empty:
      PyErr_SetString(PyExc_OSError, "no address resolved");
      return false;
    case Resolution::Status::Failed:
      break;
  }
  std::string text = r.gai_error == EAI_SYSTEM
                         ? os_error_text(r.sys_error)
                         : std::string("failed to lookup address information: ") +
                               ::gai_strerror(r.gai_error);
  PyErr_SetString(PyExc_OSError, ("invalid address: " + text).c_str());
  return false;
}

bool host_and_port(PyObject* host_obj, PyObject* port_obj, std::string& host, uint16_t& port) {
  return host_argument(host_obj, host) && port_argument(port_obj, port);
}

// ---- ReadAwaitable / ReadIter ------------------------------------------------------

PyObject* empty_bytes() { return Py_GetConstant(Py_CONSTANT_EMPTY_BYTES); }

// Ends the await with `bytes` as its value (consumed); returns nullptr.
PyObject* finish_with(Ref bytes) {
  if (bytes) set_stop_iteration(bytes.get());
  return nullptr;
}

PyObject* read_awaitable_await(PyObject* self) {
  PyTypeObject* type = read_iter_type();
  if (!type) return nullptr;
  const ReadAwaitable& a = Box<ReadAwaitable>::of(self);
  return new_object<ReadIter>(type, a.incoming, a.read_buffer, a.read_waker, a.size, false);
}

// No chunk is queued: leave the task's waker where the reader thread finds
// it, and step again within a millisecond in any case.
PyObject* park_read(ReadIter& it) {
  return guarded([&]() -> PyObject* {
    RuntimeContext& ctx = runtime::current();
    Waker waker = std::move(ctx.current_waker);
    if (!waker) return empty_bytes();  // stepped outside a task: the caller steps again
    it.read_waker->store(waker.clone());
    if (it.incoming->is_ready()) {
      // A chunk (or the end) arrived after the channel was found empty and
      // before the waker was stored, so the reader may have woken nobody.
      std::move(waker).wake();
    } else {
      ctx.core->add_timer(Instant::now().plus(kReadRepoll), std::move(waker), /*signal=*/false);
    }
    return empty_bytes();
  });
}

// One read step: bytes left over from a split chunk first, then at most one
// chunk from the channel; never more than `size` bytes, never several chunks.
PyObject* read_step(PyObject* self) {
  ReadIter& it = Box<ReadIter>::of(self);
  if (it.done) return nullptr;

  std::string buffered;
  if (it.read_buffer->take(it.size, buffered)) {
    it.done = true;
    return finish_with(Ref::steal(PyBytes_FromStringAndSize(buffered.data(),
                                                            static_cast<Py_ssize_t>(buffered.size()))));
  }

  Chunk chunk;
  switch (it.incoming->try_recv(chunk)) {
    case TryRecv::Empty:
      return park_read(it);
    case TryRecv::Disconnected:
      it.done = true;
      return finish_with(Ref::steal(empty_bytes()));
    case TryRecv::Message:
      break;
  }
  const size_t head = static_cast<size_t>(std::min<uint64_t>(it.size, chunk.size()));
  Ref bytes = Ref::steal(PyBytes_FromStringAndSize(chunk.data(), static_cast<Py_ssize_t>(head)));
  if (!bytes) {
    it.read_buffer->put(std::move(chunk), 0);  // keep every byte for the next read
    return nullptr;
  }
  if (head < chunk.size()) it.read_buffer->put(std::move(chunk), head);
  it.done = true;
  return finish_with(std::move(bytes));
}

PyObject* read_iter_send(PyObject* self, PyObject*) { return send_result(read_step(self)); }

PyMethodDef read_iter_methods[] = {
    {"send", read_iter_send, METH_O, "send($self, _val)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot read_awaitable_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(delete_object<ReadAwaitable>)},
    {Py_am_await, reinterpret_cast<void*>(read_awaitable_await)},
    {0, nullptr},
};
PyType_Spec read_awaitable_spec = {
    "_velkor.ReadAwaitable", sizeof(Box<ReadAwaitable>), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    read_awaitable_slots};

PyType_Slot read_iter_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(delete_object<ReadIter>)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(read_step)},
    {Py_tp_methods, read_iter_methods},
    {0, nullptr},
};
PyType_Spec read_iter_spec = {
    "_velkor.ReadIter", sizeof(Box<ReadIter>), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    read_iter_slots};

PyTypeObject* read_awaitable_type() { return shared_type(g_read_awaitable_type, &read_awaitable_spec); }
PyTypeObject* read_iter_type() { return shared_type(g_read_iter_type, &read_iter_spec); }

// ---- WriteAwaitable / WriteIter ------------------------------------------------------

PyObject* write_awaitable_await(PyObject* self) {
  PyTypeObject* type = write_iter_type();
  if (!type) return nullptr;
  const WriteAwaitable& a = Box<WriteAwaitable>::of(self);
  return new_object<WriteIter>(type, a.data, a.outgoing, false);
}

// One write step: queue the bytes for the writer thread and finish at once
// with their count, or with 0 once the writer has ended.
PyObject* write_step(PyObject* self) {
  WriteIter& it = Box<WriteIter>::of(self);
  if (it.done) return nullptr;
  it.done = true;
  const size_t size = it.data->size();
  const bool queued = it.outgoing->send(it.data);
  return finish_with(Ref::steal(PyLong_FromSize_t(queued ? size : 0)));
}

PyObject* write_iter_send(PyObject* self, PyObject*) { return send_result(write_step(self)); }

PyMethodDef write_iter_methods[] = {
    {"send", write_iter_send, METH_O, "send($self, _val)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot write_awaitable_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(delete_object<WriteAwaitable>)},
    {Py_am_await, reinterpret_cast<void*>(write_awaitable_await)},
    {0, nullptr},
};
PyType_Spec write_awaitable_spec = {
    "_velkor.WriteAwaitable", sizeof(Box<WriteAwaitable>), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    write_awaitable_slots};

PyType_Slot write_iter_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(delete_object<WriteIter>)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(write_step)},
    {Py_tp_methods, write_iter_methods},
    {0, nullptr},
};
PyType_Spec write_iter_spec = {
    "_velkor.WriteIter", sizeof(Box<WriteIter>), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    write_iter_slots};

PyTypeObject* write_awaitable_type() { return shared_type(g_write_awaitable_type, &write_awaitable_spec); }
PyTypeObject* write_iter_type() { return shared_type(g_write_iter_type, &write_iter_spec); }

// ---- PyTcpStream -----------------------------------------------------------------------

PyObject* stream_read(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"size", nullptr};
  PyObject* size_obj;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:read", const_cast<char**>(kwlist), &size_obj)) {
    return nullptr;
  }
  uint64_t size;
  if (!size_argument(size_obj, size)) return nullptr;
  PyTypeObject* type = read_awaitable_type();
  if (!type) return nullptr;
  const StreamParts& p = Box<TcpStream>::of(self).parts;
  return new_object<ReadAwaitable>(type, p.incoming, p.read_buffer, p.read_waker, size);
}

PyObject* stream_write(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"data", nullptr};
  PyObject* data_obj;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:write", const_cast<char**>(kwlist), &data_obj)) {
    return nullptr;
  }
  PyTypeObject* type = write_awaitable_type();
  if (!type) return nullptr;
  return guarded([&]() -> PyObject* {
    std::string data;
    if (!data_argument(data_obj, data)) return nullptr;
    return new_object<WriteAwaitable>(type, std::make_shared<const std::string>(std::move(data)),
                                      Box<TcpStream>::of(self).parts.outgoing);
  });
}

// Asks the reader thread to stop; the connection stays open for writes.
PyObject* stream_close(PyObject* self, PyObject*) {
  (void)Box<TcpStream>::of(self).parts.stop->send(StopMessage{});
  Py_RETURN_NONE;
}

PyObject* stream_repr(PyObject* self) {
  return PyUnicode_FromFormat("<PyTcpStream %s>", Box<TcpStream>::of(self).addr.c_str());
}

PyMethodDef stream_methods[] = {
    {"read", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(stream_read)),
     METH_VARARGS | METH_KEYWORDS, "read($self, size)\n--\n\n"},
    {"write", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(stream_write)),
     METH_VARARGS | METH_KEYWORDS, "write($self, data)\n--\n\n"},
    {"close", stream_close, METH_NOARGS, "close($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot stream_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(delete_object<TcpStream>)},
    {Py_tp_repr, reinterpret_cast<void*>(stream_repr)},
    {Py_tp_methods, stream_methods},
    {0, nullptr},
};
PyType_Spec stream_spec = {
    "_velkor.PyTcpStream", sizeof(Box<TcpStream>), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION, stream_slots};

// ---- PyTcpListener -----------------------------------------------------------------------

PyObject* listener_repr(PyObject* self) {
  return PyUnicode_FromFormat("<PyTcpListener %s>", Box<TcpListener>::of(self).addr.c_str());
}

PyType_Slot listener_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(delete_object<TcpListener>)},
    {Py_tp_repr, reinterpret_cast<void*>(listener_repr)},
    {0, nullptr},
};
PyType_Spec listener_spec = {
    "_velkor.PyTcpListener", sizeof(Box<TcpListener>), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    listener_slots};

}  // namespace

PyTypeObject* tcp_stream_type() { return shared_type(g_stream_type, &stream_spec); }
PyTypeObject* tcp_listener_type() { return shared_type(g_listener_type, &listener_spec); }

// Resolves and connects on the calling thread, keeping the interpreter lock:
// a caller on the loop thread holds up its loop until the connect is done.
PyObject* open_connection(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"host", "port", nullptr};
  PyObject* host_obj;
  PyObject* port_obj;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:open_connection", const_cast<char**>(kwlist),
                                   &host_obj, &port_obj)) {
    return nullptr;
  }
  std::string host;
  uint16_t port;
  if (!host_and_port(host_obj, port_obj, host, port)) return nullptr;
  PyTypeObject* type = tcp_stream_type();
  if (!type) return nullptr;
  return guarded([&]() -> PyObject* {
    SocketAddress address;
    if (!resolve_or_raise(host, port, address)) return nullptr;
    int fd;
    if (int err = connect_socket(address, fd); err != 0) {
      PyErr_SetString(PyExc_ConnectionError, os_error_text(err).c_str());
      return nullptr;
    }
    StreamParts parts;
    SpawnResult started = start_stream(fd, parts);
    switch (started.failure) {
      case SpawnFailure::None:
        break;
      case SpawnFailure::Clone:
        return raise_panic(("try_clone failed: " + os_error_text(started.error)).c_str());
      case SpawnFailure::Thread:
        return raise_panic(("failed to spawn thread: " + os_error_text(started.error)).c_str());
    }
    return new_object<TcpStream>(type, address_text(host, port), std::move(parts));
  });
}

// Checks that the address can be bound and listened on; keeps nothing open.
PyObject* start_server(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"_handler", "host", "port", nullptr};
  PyObject* handler;
  PyObject* host_obj;
  PyObject* port_obj;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:start_server", const_cast<char**>(kwlist),
                                   &handler, &host_obj, &port_obj)) {
    return nullptr;
  }
  std::string host;
  uint16_t port;
  if (!host_and_port(host_obj, port_obj, host, port)) return nullptr;
  PyTypeObject* type = tcp_listener_type();
  if (!type) return nullptr;
  return guarded([&]() -> PyObject* {
    SocketAddress address;
    if (!resolve_or_raise(host, port, address)) return nullptr;
    if (int err = check_bind(address); err != 0) {
      PyErr_SetString(PyExc_OSError, ("bind error: " + os_error_text(err)).c_str());
      return nullptr;
    }
    return new_object<TcpListener>(type, address_text(host, port));
  });
}

}  // namespace velkor::py
