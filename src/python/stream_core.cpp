// StreamCore: the native base of the package's buffered Stream.
//
// An echo or request loop spends most of its time in `await stream.read(n)`
// and `await stream.write(data)`. Here those are native methods that hand
// back the connection's own awaitable, so no Python frame runs between the
// caller's await and the socket. The Python subclass keeps the reading
// helpers (readexactly, readuntil, readline) and owns the bytes they looked
// at but did not return (`_buffer`); read() goes to its `_read` whenever
// that buffer holds something, so those bytes always come first.
#include "python/stream_core.h"

#include <cstddef>

#include "python/conn.h"
#include "python/types.h"

namespace velkor::py {

namespace {

PyObject* g_stream_core_type = nullptr;

struct StreamCore {
  Ref native;  // the connection: a Connection, or anything with its methods
  bool connection = false;  // native is a Connection: its awaitables are made directly
  Ref buffer;  // bytearray: bytes a helper received but did not return
  char eof = 0;  // a helper met the end of the stream
};

StreamCore& core_of(PyObject* self) { return Box<StreamCore>::of(self); }

// The stream's fields, or nullptr with RuntimeError once the collector has
// cleared them (reachable only from finalisers of the cleared cycle).
StreamCore* live_core(PyObject* self) {
  StreamCore& core = core_of(self);
  if (core.native) return &core;
  PyErr_SetString(PyExc_RuntimeError, "the stream was cleared by the garbage collector");
  return nullptr;
}

PyObject* core_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"native", nullptr};
  PyObject* native;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:Stream", const_cast<char**>(kwlist), &native)) {
    return nullptr;
  }
  PyTypeObject* connection = connection_type();
  if (!connection) return nullptr;
  Ref buffer = Ref::steal(PyByteArray_FromStringAndSize(nullptr, 0));
  if (!buffer) return nullptr;
  return new_object<StreamCore>(type, Ref::borrow(native), PyObject_TypeCheck(native, connection) != 0,
                                std::move(buffer));
}

// target.method(arg), or target.method() without `arg`: the slow paths.
PyObject* call_method(PyObject* target, const char* method, PyObject* arg) {
  Ref name = Ref::steal(PyUnicode_FromString(method));
  if (!name) return nullptr;
  return arg ? PyObject_CallMethodOneArg(target, name.get(), arg) : PyObject_CallMethodNoArgs(target, name.get());
}

// Another kind of native (the module's threaded stream, say) is called by name.
PyObject* call_native(StreamCore& core, const char* method, PyObject* arg) {
  return call_method(core.native.get(), method, arg);
}

// The one optional or required argument `name` of a fast-call method,
// given by position or keyword. `out` is borrowed (left alone when absent).
bool one_argument(const char* method, const char* name, bool required, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames, PyObject*& out) {
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  if (nargs + nkw > 1) {
    PyErr_Format(PyExc_TypeError, "%s() takes at most 1 argument (%zd given)", method, nargs + nkw);
    return false;
  }
  if (nkw == 1 && !PyUnicode_EqualToUTF8(PyTuple_GET_ITEM(kwnames, 0), name)) {
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", method,
                 PyTuple_GET_ITEM(kwnames, 0));
    return false;
  }
  if (nargs + nkw == 1) {
    out = args[0];
  } else if (required) {
    PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s'", method, name);
    return false;
  }
  return true;
}

PyObject* core_read(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* n_obj = nullptr;
  if (!one_argument("read", "n", false, args, nargs, kwnames, n_obj)) return nullptr;
  StreamCore* live = live_core(self);
  if (!live) return nullptr;
  StreamCore& core = *live;
  if (n_obj) {
    // Only the sign matters here (clipped); the connection checks the size.
    const Py_ssize_t n = PyNumber_AsSsize_t(n_obj, nullptr);
    if (n == -1 && PyErr_Occurred()) return nullptr;
    PyObject* buffer = core.buffer.get();
    if (n > 0 && buffer && PyByteArray_CheckExact(buffer) && PyByteArray_GET_SIZE(buffer) == 0) {
      if (!core.connection) return call_native(core, "read", n_obj);
      // A size clipped to the maximum meets the connection's own check.
      return n < PY_SSIZE_T_MAX ? connection_read_size(core.native.get(), static_cast<size_t>(n))
                                : connection_read(core.native.get(), n_obj);
    }
  }
  // Buffered bytes, everything to the end (n < 0), or nothing (n == 0).
  Ref minus_one;
  if (!n_obj) {
    minus_one = Ref::steal(PyLong_FromLong(-1));
    if (!minus_one) return nullptr;
    n_obj = minus_one.get();
  }
  return call_method(self, "_read", n_obj);
}

PyObject* core_write(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* data = nullptr;
  if (!one_argument("write", "data", true, args, nargs, kwnames, data)) return nullptr;
  StreamCore* core = live_core(self);
  if (!core) return nullptr;
  return core->connection ? connection_write(core->native.get(), data) : call_native(*core, "write", data);
}

PyObject* core_drain(PyObject* self, PyObject*) {
  StreamCore* core = live_core(self);
  if (!core) return nullptr;
  return core->connection ? connection_drain(core->native.get()) : call_native(*core, "drain", nullptr);
}

PyObject* core_wait_closed(PyObject* self, PyObject*) {
  StreamCore* core = live_core(self);
  if (!core) return nullptr;
  return core->connection ? connection_wait_closed(core->native.get()) : call_native(*core, "wait_closed", nullptr);
}

int core_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  StreamCore& core = core_of(self);
  Py_VISIT(core.native.get());
  Py_VISIT(core.buffer.get());
  return 0;
}

int core_clear(PyObject* self) {
  StreamCore& core = core_of(self);
  Ref native = std::move(core.native);
  Ref buffer = std::move(core.buffer);
  return 0;
}

#define VELKOR_FAST(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))

PyMethodDef core_methods[] = {
    {"read", VELKOR_FAST(core_read), METH_FASTCALL | METH_KEYWORDS,
     "read($self, /, n=-1)\n--\n\n"
     "Up to n bytes, as soon as any are there; everything up to the end of the\n"
     "stream when n is negative. Empty bytes at the end of the stream."},
    {"write", VELKOR_FAST(core_write), METH_FASTCALL | METH_KEYWORDS,
     "write($self, /, data)\n--\n\n"
     "Sends data (what the kernel does not take now is buffered); the await\n"
     "gives its length once the buffer is at or below the high-water mark."},
    {"drain", core_drain, METH_NOARGS, "drain($self, /)\n--\n\nWaits while the buffer is above the high-water mark."},
    {"wait_closed", core_wait_closed, METH_NOARGS,
     "wait_closed($self, /)\n--\n\n"
     "Waits until the socket is closed; raises the OSError of a failure that\n"
     "kept written bytes from the peer."},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef core_members[] = {
    {"_native", Py_T_OBJECT_EX, offsetof(Box<StreamCore>, f) + offsetof(StreamCore, native), Py_READONLY,
     "The Connection."},
    {"_buffer", Py_T_OBJECT_EX, offsetof(Box<StreamCore>, f) + offsetof(StreamCore, buffer), 0,
     "Bytes received but not returned yet (a bytearray)."},
    {"_eof", Py_T_BOOL, offsetof(Box<StreamCore>, f) + offsetof(StreamCore, eof), 0,
     "A reading helper met the end of the stream."},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot core_slots[] = {
    {Py_tp_doc, const_cast<char*>("StreamCore(native)\n--\n\n"
                                  "The native base of velkor.Stream: read, write, drain and wait_closed\n"
                                  "on a Connection without a Python frame in between.")},
    {Py_tp_new, reinterpret_cast<void*>(core_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(delete_object<StreamCore>)},
    {Py_tp_traverse, reinterpret_cast<void*>(core_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(core_clear)},
    {Py_tp_methods, core_methods},
    {Py_tp_members, core_members},
    {0, nullptr},
};

PyType_Spec core_spec = {"_velkor.StreamCore", sizeof(Box<StreamCore>), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
                         core_slots};

}  // namespace

PyTypeObject* stream_core_type() { return shared_type(g_stream_core_type, &core_spec); }

}  // namespace velkor::py
