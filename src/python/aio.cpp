// The hot path of velkor.EventLoop: asyncio handles queued on a PyEventLoop's
// engine and run natively. A queued handle is run the way asyncio runs one:
// skipped once cancelled, its callback called with its arguments inside its
// context; an exception goes to the loop's `on_error(handle, exc)`, which
// reports it (or, for SystemExit and KeyboardInterrupt, ends the run).
#include "python/aio.h"

#include <cmath>

#include "python/errors.h"
#include "python/loop_full.h"
#include "python/types.h"
#include "runtime/instant.h"
#include "runtime/panic.h"

namespace velkor::py {

namespace {

// Where asyncio's Handle keeps its __slots__ in an instance: read once from
// the class's member descriptors, so the hot path reads and writes them
// directly. `ok` is false when the class is not laid out as expected; the
// callers then fall back to attribute access.
struct HandleLayout {
  bool ok = false;
  PyTypeObject* type = nullptr;
  Py_ssize_t callback = 0, args = 0, cancelled = 0, loop = 0, source_traceback = 0, repr = 0,
             context = 0;
};

bool slot_offset(PyObject* cls, const char* name, Py_ssize_t& out) {
  Ref descr = Ref::steal(PyObject_GetAttrString(cls, name));
  if (!descr || Py_TYPE(descr.get()) != &PyMemberDescr_Type) {
    PyErr_Clear();
    return false;
  }
  PyMemberDef* member = reinterpret_cast<PyMemberDescrObject*>(descr.get())->d_member;
  if (member->type != Py_T_OBJECT_EX || (member->flags & Py_READONLY)) return false;
  out = member->offset;
  return true;
}

HandleLayout load_layout() {
  HandleLayout layout;
  Ref events = import_module("asyncio.events");
  Ref cls = events ? Ref::steal(PyObject_GetAttrString(events.get(), "Handle")) : Ref();
  if (!cls || !PyType_Check(cls.get())) {
    PyErr_Clear();
    return layout;
  }
  layout.ok = slot_offset(cls.get(), "_callback", layout.callback) &&
              slot_offset(cls.get(), "_args", layout.args) &&
              slot_offset(cls.get(), "_cancelled", layout.cancelled) &&
              slot_offset(cls.get(), "_loop", layout.loop) &&
              slot_offset(cls.get(), "_source_traceback", layout.source_traceback) &&
              slot_offset(cls.get(), "_repr", layout.repr) &&
              slot_offset(cls.get(), "_context", layout.context);
  layout.type = reinterpret_cast<PyTypeObject*>(cls.release());  // kept for the process
  return layout;
}

const HandleLayout& handle_layout() {
  static const HandleLayout layout = load_layout();
  return layout;
}

PyObject*& slot_at(PyObject* obj, Py_ssize_t offset) {
  return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + offset);
}

// A new reference to a slot's value, or nullptr with AttributeError if unset.
PyObject* read_slot(PyObject* obj, Py_ssize_t offset, const char* name) {
  PyObject* value = slot_at(obj, offset);
  if (!value) {
    PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute '%s'",
                 Py_TYPE(obj)->tp_name, name);
    return nullptr;
  }
  return Py_NewRef(value);
}

// True when `obj` is exactly asyncio's Handle (subclasses may override _run).
bool plain_handle(PyObject* obj) {
  const HandleLayout& layout = handle_layout();
  return layout.ok && Py_TYPE(obj) == layout.type;
}

// Reports the pending exception of a handle's run to `on_error`.
void report_failure(PyObject* handle, PyObject* on_error) {
  Ref exc = Ref::steal(PyErr_GetRaisedException());
  Ref ignored = Ref::steal(PyObject_CallFunctionObjArgs(on_error, handle, exc.get(), nullptr));
  if (!ignored) PyErr_WriteUnraisable(on_error);
}

// Calls the handle's callback inside its context; false with an exception set.
bool call_in_context(PyObject* handle) {
  const HandleLayout& l = handle_layout();
  Ref callback, args, context;
  if (plain_handle(handle)) {
    callback = Ref::steal(read_slot(handle, l.callback, "_callback"));
    args = callback ? Ref::steal(read_slot(handle, l.args, "_args")) : Ref();
    context = args ? Ref::steal(read_slot(handle, l.context, "_context")) : Ref();
  } else {
    callback = Ref::steal(PyObject_GetAttrString(handle, "_callback"));
    args = callback ? Ref::steal(PyObject_GetAttrString(handle, "_args")) : Ref();
    context = args ? Ref::steal(PyObject_GetAttrString(handle, "_context")) : Ref();
  }
  if (!context) return false;
  if (!PyTuple_Check(args.get())) {
    args = Ref::steal(PySequence_Tuple(args.get()));
    if (!args) return false;
  }
  if (PyContext_Enter(context.get()) < 0) return false;
  Ref result = Ref::steal(PyObject_Call(callback.get(), args.get(), nullptr));
  if (!result) {
    ErrorSaved keep;  // the callback's exception outlives the context switch
    PyContext_Exit(context.get());
    return false;
  }
  return PyContext_Exit(context.get()) == 0;
}

// Whether the handle was cancelled; -1 with an exception set.
int is_cancelled(PyObject* handle) {
  if (plain_handle(handle)) {
    PyObject* value = slot_at(handle, handle_layout().cancelled);
    return value ? PyObject_IsTrue(value) : 0;
  }
  Ref value = Ref::steal(PyObject_GetAttrString(handle, "_cancelled"));
  return value ? PyObject_IsTrue(value.get()) : -1;
}

// One queued handle: runs on the loop thread, attached.
struct RunHandle {
  Ref handle;
  Ref on_error;

  void operator()() {
    Attached attached;
    if (!attached.ok()) return;  // finalising: the references stay queued
    run();
    handle.reset();
    on_error.reset();
  }

  void run() {
    int cancelled = is_cancelled(handle.get());
    if (cancelled == 0 && call_in_context(handle.get())) return;
    if (cancelled != 1) report_failure(handle.get(), on_error.get());
  }
};

bool check_args(Py_ssize_t nargs, Py_ssize_t want, const char* name) {
  if (nargs == want) return true;
  PyErr_Format(PyExc_TypeError, "%s() takes exactly %zd arguments (%zd given)", name, want, nargs);
  return false;
}

// A new asyncio Handle with its slots filled in, as Handle.__init__ fills them
// out of debug mode (no source traceback); nullptr with an exception set.
PyObject* new_handle(PyObject* callback, PyObject* args, PyObject* loop, PyObject* context) {
  const HandleLayout& l = handle_layout();
  if (!l.ok) {
    PyErr_SetString(PyExc_RuntimeError, "asyncio's Handle has an unexpected layout");
    return nullptr;
  }
  Ref ctx = context == Py_None ? Ref::steal(PyContext_CopyCurrent()) : Ref::borrow(context);
  if (!ctx) return nullptr;
  PyObject* handle = l.type->tp_alloc(l.type, 0);
  if (!handle) return nullptr;
  slot_at(handle, l.callback) = Py_NewRef(callback);
  slot_at(handle, l.args) = Py_NewRef(args);
  slot_at(handle, l.cancelled) = Py_NewRef(Py_False);
  slot_at(handle, l.loop) = Py_NewRef(loop);
  slot_at(handle, l.source_traceback) = Py_NewRef(Py_None);
  slot_at(handle, l.repr) = Py_NewRef(Py_None);
  slot_at(handle, l.context) = ctx.release();
  return handle;
}

// ---- SoonCaller: a loop's call_soon as one native call --------------------------
//
// Bound to an engine, its asyncio loop and the loop's error hook. The common
// case (open loop, not in debug mode, a callable callback) makes and queues
// the handle without a Python frame; anything else goes to the loop's
// `_call_soon_checked(callback, args, context)`, which raises asyncio's errors.

struct SoonCallerObject {
  PyObject_HEAD
  PyObject* engine;
  PyObject* loop;
  PyObject* on_error;
  vectorcallfunc vectorcall;
};

struct LoopNames {
  PyObject* closed;
  PyObject* debug;
  PyObject* context;
  PyObject* checked;
};

const LoopNames& loop_names() {
  static const LoopNames names = {
      PyUnicode_InternFromString("_closed"),
      PyUnicode_InternFromString("_debug"),
      PyUnicode_InternFromString("context"),
      PyUnicode_InternFromString("_call_soon_checked"),
  };
  return names;
}

// 1 when the loop attribute is true, 0 when false, -1 with an exception set.
int loop_flag(PyObject* loop, PyObject* name) {
  Ref value = Ref::steal(PyObject_GetAttr(loop, name));
  return value ? PyObject_IsTrue(value.get()) : -1;
}

PyObject* soon_caller_call(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  auto* caller = reinterpret_cast<SoonCallerObject*>(self);
  const LoopNames& n = loop_names();
  Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (nargs < 1) {
    PyErr_SetString(PyExc_TypeError, "call_soon() missing required argument 'callback'");
    return nullptr;
  }
  PyObject* context = Py_None;
  Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t i = 0; i < nkw; ++i) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, i);
    if (PyUnicode_Compare(key, n.context) != 0) {
      PyErr_Format(PyExc_TypeError, "call_soon() got an unexpected keyword argument '%U'", key);
      return nullptr;
    }
    context = args[nargs + i];
  }
  Ref call_args = Ref::steal(PyTuple_New(nargs - 1));
  if (!call_args) return nullptr;
  for (Py_ssize_t i = 1; i < nargs; ++i) PyTuple_SET_ITEM(call_args.get(), i - 1, Py_NewRef(args[i]));
  int closed = loop_flag(caller->loop, n.closed);
  int debug = closed == 0 ? loop_flag(caller->loop, n.debug) : closed;
  if (debug < 0) return nullptr;
  if (closed || debug || !PyCallable_Check(args[0])) {
    return PyObject_CallMethodObjArgs(caller->loop, n.checked, args[0], call_args.get(), context,
                                      nullptr);
  }
  std::shared_ptr<SharedCore> core = event_loop_core(caller->engine);
  if (!core) return nullptr;
  Ref handle = Ref::steal(new_handle(args[0], call_args.get(), caller->loop, context));
  if (!handle) return nullptr;
  core->push_soon(RunHandle{handle.copy(), Ref::borrow(caller->on_error)});
  return handle.release();
}

int soon_caller_traverse(PyObject* self, visitproc visit, void* arg) {
  auto* caller = reinterpret_cast<SoonCallerObject*>(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(caller->engine);
  Py_VISIT(caller->loop);
  Py_VISIT(caller->on_error);
  return 0;
}

int soon_caller_clear(PyObject* self) {
  auto* caller = reinterpret_cast<SoonCallerObject*>(self);
  Py_CLEAR(caller->engine);
  Py_CLEAR(caller->loop);
  Py_CLEAR(caller->on_error);
  return 0;
}

void soon_caller_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  soon_caller_clear(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyMemberDef soon_caller_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(SoonCallerObject, vectorcall), Py_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot soon_caller_slots[] = {
    {Py_tp_doc, const_cast<char*>("SoonCaller(callback, *args, context=None)\n--\n\n")},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_traverse, reinterpret_cast<void*>(soon_caller_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(soon_caller_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(soon_caller_dealloc)},
    {Py_tp_members, soon_caller_members},
    {0, nullptr},
};

PyType_Spec soon_caller_spec = {
    "_velkor.SoonCaller", sizeof(SoonCallerObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    soon_caller_slots};

PyObject* g_soon_caller_type = nullptr;

}  // namespace

PyObject* soon_caller(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  if (!check_args(nargs, 2, "_soon_caller")) return nullptr;
  if (!event_loop_core(self)) return nullptr;
  auto* type = shared_type(g_soon_caller_type, &soon_caller_spec);
  if (!type) return nullptr;
  auto* caller = PyObject_GC_New(SoonCallerObject, type);
  if (!caller) return nullptr;
  caller->engine = Py_NewRef(self);
  caller->loop = Py_NewRef(args[0]);
  caller->on_error = Py_NewRef(args[1]);
  caller->vectorcall = soon_caller_call;
  PyObject_GC_Track(caller);
  return reinterpret_cast<PyObject*>(caller);
}

PyObject* call_soon_handle(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  if (!check_args(nargs, 5, "_call_soon_handle")) return nullptr;
  if (!PyTuple_Check(args[1])) {
    PyErr_SetString(PyExc_TypeError, "_call_soon_handle() argument 'args' must be a tuple");
    return nullptr;
  }
  std::shared_ptr<SharedCore> core = event_loop_core(self);
  if (!core) return nullptr;
  Ref handle = Ref::steal(new_handle(args[0], args[1], args[2], args[3]));
  if (!handle) return nullptr;
  core->push_soon(RunHandle{handle.copy(), Ref::borrow(args[4])});
  return handle.release();
}

PyObject* queue_handle(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  if (!check_args(nargs, 2, "_queue_handle")) return nullptr;
  std::shared_ptr<SharedCore> core = event_loop_core(self);
  if (!core) return nullptr;
  core->push_soon(RunHandle{Ref::borrow(args[0]), Ref::borrow(args[1])});
  Py_RETURN_NONE;
}

PyObject* queue_handle_at(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  if (!check_args(nargs, 3, "_queue_handle_at")) return nullptr;
  double when = PyFloat_AsDouble(args[0]);
  if (when == -1.0 && PyErr_Occurred()) return nullptr;
  std::shared_ptr<SharedCore> core = event_loop_core(self);
  if (!core) return nullptr;
  double delay = when - velkor::loop_time();
  if (!(delay >= 0.0)) delay = 0.0;  // in the past, or NaN
  try {
    core->call_later(RunHandle{Ref::borrow(args[1]), Ref::borrow(args[2])}, delay);
  } catch (const Panic& p) {
    return raise_panic(p.what());
  }
  Py_RETURN_NONE;
}

}  // namespace velkor::py
