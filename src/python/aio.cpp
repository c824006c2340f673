// The hot path of velkor.EventLoop: asyncio handles queued on a PyEventLoop's
// engine and run natively. A queued handle is run the way asyncio runs one:
// skipped once cancelled, its callback called with its arguments inside its
// context; an exception goes to the loop's `on_error(handle, exc)`, which
// reports it (or, for SystemExit and KeyboardInterrupt, ends the run).
#include "python/aio.h"

#include <atomic>
#include <cmath>
#include <memory>
#include <mutex>
#include <new>
#include <unordered_map>
#include <vector>

#include "python/errors.h"
#include "python/loop_full.h"
#include "python/types.h"
#include "runtime/instant.h"
#include "runtime/panic.h"

namespace velkor::py {

namespace {

// Where asyncio's Handle and TimerHandle keep their __slots__ in an instance:
// read once from the classes' member descriptors, so the hot path reads and
// writes them directly (a TimerHandle keeps Handle's slots where Handle does).
// `ok` is false when a class is not laid out as expected; the callers then
// fall back to attribute access.
struct HandleLayout {
  bool ok = false;
  PyTypeObject* type = nullptr;
  PyTypeObject* timer_type = nullptr;
  Py_ssize_t callback = 0, args = 0, cancelled = 0, loop = 0, source_traceback = 0, repr = 0,
             context = 0, when = 0, scheduled = 0;
  // call_soon_threadsafe's handle: Handle's slots plus a lock (an RLock made
  // by `rlock`) that its run and cancel() hold. Null when not as expected.
  PyTypeObject* threadsafe_type = nullptr;
  PyObject* rlock = nullptr;
  Py_ssize_t lock = 0;
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

// A class of asyncio.events, kept for the process; nullptr when missing.
PyTypeObject* events_class(const char* name) {
  Ref events = import_module("asyncio.events");
  Ref cls = events ? Ref::steal(PyObject_GetAttrString(events.get(), name)) : Ref();
  if (!cls || !PyType_Check(cls.get())) {
    PyErr_Clear();
    return nullptr;
  }
  return reinterpret_cast<PyTypeObject*>(cls.release());
}

void load_threadsafe_layout(HandleLayout& layout) {
  PyTypeObject* type = events_class("_ThreadSafeHandle");
  Ref thread = type ? import_module("_thread") : Ref();
  PyObject* rlock = thread ? PyObject_GetAttrString(thread.get(), "RLock") : nullptr;
  if (!rlock) PyErr_Clear();
  if (rlock && PyType_IsSubtype(type, layout.type) &&
      slot_offset(reinterpret_cast<PyObject*>(type), "_lock", layout.lock)) {
    layout.threadsafe_type = type;
    layout.rlock = rlock;
    return;
  }
  Py_XDECREF(type);
  Py_XDECREF(rlock);
}

HandleLayout load_layout() {
  HandleLayout layout;
  layout.type = events_class("Handle");
  layout.timer_type = events_class("TimerHandle");
  if (!layout.type || !layout.timer_type) return layout;
  PyObject* cls = reinterpret_cast<PyObject*>(layout.type);
  PyObject* timer = reinterpret_cast<PyObject*>(layout.timer_type);
  layout.ok = slot_offset(cls, "_callback", layout.callback) &&
              slot_offset(cls, "_args", layout.args) &&
              slot_offset(cls, "_cancelled", layout.cancelled) &&
              slot_offset(cls, "_loop", layout.loop) &&
              slot_offset(cls, "_source_traceback", layout.source_traceback) &&
              slot_offset(cls, "_repr", layout.repr) &&
              slot_offset(cls, "_context", layout.context) &&
              slot_offset(timer, "_when", layout.when) &&
              slot_offset(timer, "_scheduled", layout.scheduled) &&
              PyType_IsSubtype(layout.timer_type, layout.type);
  if (layout.ok) load_threadsafe_layout(layout);
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

// True when `obj` is exactly asyncio's Handle or TimerHandle (other
// subclasses may override _run).
bool plain_handle(PyObject* obj) {
  const HandleLayout& layout = handle_layout();
  return layout.ok && (Py_TYPE(obj) == layout.type || Py_TYPE(obj) == layout.timer_type);
}

// True for a handle made by the native call_soon_threadsafe's type.
bool threadsafe_handle(PyObject* obj) {
  const HandleLayout& layout = handle_layout();
  return layout.threadsafe_type && Py_TYPE(obj) == layout.threadsafe_type;
}

// Whether Handle's slots may be read directly.
bool slotted_handle(PyObject* obj) { return plain_handle(obj) || threadsafe_handle(obj); }

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
  if (slotted_handle(handle)) {
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
  if (slotted_handle(handle)) {
    PyObject* value = slot_at(handle, handle_layout().cancelled);
    return value ? PyObject_IsTrue(value) : 0;
  }
  Ref value = Ref::steal(PyObject_GetAttrString(handle, "_cancelled"));
  return value ? PyObject_IsTrue(value.get()) : -1;
}

// One queued handle: runs on the loop thread, attached.
//
// While the engine holds a plain handle the collector is told to skip it: the
// engine's reference keeps the handle and all it refers to alive anyway, and a
// million queued handles would otherwise be walked by every collection. It is
// tracked again when the engine lets go while others still hold it, so that a
// cycle through it stays collectable.
struct RunHandle {
  Ref handle;
  Ref on_error;

  RunHandle(Ref queued, Ref error_hook) : handle(std::move(queued)), on_error(std::move(error_hook)) {
    PyObject* h = handle.get();
    if (plain_handle(h) && PyObject_GC_IsTracked(h)) PyObject_GC_UnTrack(h);
  }
  RunHandle(RunHandle&&) = default;
  RunHandle& operator=(RunHandle&&) = default;
  ~RunHandle() {
    if (handle && thread_is_attached()) retrack();
  }

  void operator()() {
    Attached attached;
    if (!attached.ok()) return;  // finalising: the references stay queued
    run();
    retrack();
    handle.reset();
    on_error.reset();
  }

  void run() {
    if (threadsafe_handle(handle.get())) return run_locked();
    run_unlocked();
  }

  void run_unlocked() {
    int cancelled = is_cancelled(handle.get());
    if (cancelled == 0 && call_in_context(handle.get())) return;
    if (cancelled != 1) report_failure(handle.get(), on_error.get());
  }

  // Asked by the engine, under its lock, when it drops cancelled timers: only
  // a plain handle's slot is read, and only on an attached thread.
  bool cancelled() const {
    PyObject* h = handle.get();
    return h && thread_is_attached() && plain_handle(h) &&
           slot_at(h, handle_layout().cancelled) == Py_True;
  }

  // Under the handle's lock, as its own _run: a cancel() racing from another
  // thread either lands before (nothing runs) or waits for the run to end.
  void run_locked() {
    const Names& n = names();
    Ref lock = Ref::steal(read_slot(handle.get(), handle_layout().lock, "_lock"));
    Ref taken = lock ? Ref::steal(PyObject_CallMethodNoArgs(lock.get(), n.acquire)) : Ref();
    if (!taken) return report_failure(handle.get(), on_error.get());
    run_unlocked();
    Ref released = Ref::steal(PyObject_CallMethodNoArgs(lock.get(), n.release));
    if (!released) report_failure(handle.get(), on_error.get());
  }

  void retrack() {
    PyObject* h = handle.get();
    if (Py_REFCNT(h) > 1 && plain_handle(h) && !PyObject_GC_IsTracked(h)) PyObject_GC_Track(h);
  }
};

// The engine's deadline for a timer due at loop time `when`. One already
// passed keeps its time, so overdue timers run in the order of their times as
// asyncio's do; a timer asyncio would keep forever (an infinite or huge time)
// waits for a century instead, which the engine can represent.
velkor::Instant engine_deadline(double when) { return velkor::instant_at_loop_time(when); }

bool check_args(Py_ssize_t nargs, Py_ssize_t want, const char* name) {
  if (nargs == want) return true;
  PyErr_Format(PyExc_TypeError, "%s() takes exactly %zd arguments (%zd given)", name, want, nargs);
  return false;
}

// A new asyncio Handle (or TimerHandle: `type`) with Handle's slots filled in,
// as Handle.__init__ fills them out of debug mode (no source traceback);
// nullptr with an exception set.
PyObject* alloc_handle(PyTypeObject* type, PyObject* callback, PyObject* args, PyObject* loop,
                       PyObject* context) {
  const HandleLayout& l = handle_layout();
  if (!l.ok) {
    PyErr_SetString(PyExc_RuntimeError, "asyncio's Handle has an unexpected layout");
    return nullptr;
  }
  Ref ctx = context == Py_None ? Ref::steal(PyContext_CopyCurrent()) : Ref::borrow(context);
  if (!ctx) return nullptr;
  PyObject* handle = type->tp_alloc(type, 0);
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

PyObject* new_handle(PyObject* callback, PyObject* args, PyObject* loop, PyObject* context) {
  return alloc_handle(handle_layout().type, callback, args, loop, context);
}

// call_soon_threadsafe's handle, with its own lock; null (no exception) when
// asyncio's thread-safe handle is not laid out as expected.
PyObject* new_threadsafe_handle(PyObject* callback, PyObject* args, PyObject* loop, PyObject* context) {
  const HandleLayout& l = handle_layout();
  if (!l.threadsafe_type) return nullptr;
  Ref lock = Ref::steal(PyObject_CallNoArgs(l.rlock));
  PyObject* handle = lock ? alloc_handle(l.threadsafe_type, callback, args, loop, context) : nullptr;
  if (handle) slot_at(handle, l.lock) = lock.release();
  return handle;
}

// A TimerHandle due at `when` (the object its _when keeps), as TimerHandle's
// __init__ makes it.
PyObject* new_timer_handle(PyObject* when, PyObject* callback, PyObject* args, PyObject* loop,
                           PyObject* context) {
  const HandleLayout& l = handle_layout();
  PyObject* handle = alloc_handle(l.timer_type, callback, args, loop, context);
  if (!handle) return nullptr;
  slot_at(handle, l.when) = Py_NewRef(when);
  slot_at(handle, l.scheduled) = Py_NewRef(Py_False);
  return handle;
}

// ---- LoopCaller: a loop method as one native call ------------------------------
//
// Bound to an engine, its asyncio loop (with the loop's __dict__, where the
// flags it checks live), the loop's error hook and the loop's own Python
// method. The common case (an open loop out of debug mode, well-formed
// arguments) runs without a Python frame; anything else goes to the Python
// method, which raises asyncio's errors and keeps debug mode's bookkeeping.
// call_soon's Python side is the loop's `_call_soon_checked(callback, args,
// context)`; the others get the call's own arguments.

struct LoopFlags;

struct CallerObject {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  PyObject* engine;
  PyObject* loop;
  PyObject* dict;
  PyObject* on_error;
  PyObject* fallback;
  PyObject* loop_kwargs;  // {"loop": loop}
  // The engine's core, taken once: the loop's _closed flag, checked first,
  // turns callers away before it closes.
  std::shared_ptr<SharedCore> core;
  std::shared_ptr<LoopFlags> flags;  // null: the flags are read from `dict`
};

struct LoopNames {
  PyObject* closed;
  PyObject* debug;
  PyObject* task_factory;
  PyObject* context;
  PyObject* checked;
  PyObject* task;
  PyObject* future;
  PyObject* loop_kwnames;  // ("loop",)
};

const LoopNames& loop_names() {
  static const LoopNames names = {
      PyUnicode_InternFromString("_closed"),
      PyUnicode_InternFromString("_debug"),
      PyUnicode_InternFromString("_task_factory"),
      PyUnicode_InternFromString("context"),
      PyUnicode_InternFromString("_call_soon_checked"),
      PyUnicode_InternFromString("Task"),
      PyUnicode_InternFromString("Future"),
      Py_BuildValue("(s)", "loop"),
  };
  return names;
}

CallerObject* as_caller(PyObject* self) { return reinterpret_cast<CallerObject*>(self); }

PyObject* call_fallback(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  return PyObject_Vectorcall(as_caller(self)->fallback, args, nargsf, kwnames);
}

// A loop attribute read straight from its __dict__: 1 or 0; -1 with an
// exception set, or without one when the loop has no such attribute.
int dict_flag(PyObject* dict, PyObject* name) {
  PyObject* value = nullptr;
  if (PyDict_GetItemRef(dict, name, &value) <= 0) return -1;
  int flag = PyObject_IsTrue(value);
  Py_DECREF(value);
  return flag;
}

// ---- the loop's flags, mirrored out of its __dict__ ----------------------------
//
// Each call checks the loop's _closed and _debug (create_task its
// _task_factory too). A dictionary watcher mirrors them into LoopFlags as they
// change, so that a call reads bytes instead of doing dictionary lookups. A
// value other than True or False (None or not for the factory), a deleted key
// or a cleared dictionary makes a flag unknown: the caller then reads the
// dictionary itself.

enum FlagState : uint8_t { kFalse = 0, kTrue = 1, kUnknown = 2 };

struct LoopFlags {
  std::atomic<uint8_t> closed{kUnknown}, debug{kUnknown}, has_factory{kUnknown};
};

uint8_t bool_state(PyObject* value) {
  return value == Py_True ? kTrue : value == Py_False ? kFalse : kUnknown;
}

uint8_t factory_state(PyObject* value) {
  return !value ? kUnknown : value == Py_None ? kFalse : kTrue;
}

// Runs for every store into the loop's dict (the task steps' _running_task
// among them): PyUnicode_Equal looks at lengths before bytes, where
// PyUnicode_Compare would order the strings.
bool is_name(PyObject* key, PyObject* name) {
  return key == name || (PyUnicode_CheckExact(key) && PyUnicode_Equal(key, name) == 1);
}

// Which mirrored flag a key of the loop's dict stands for; null for the
// others, whose stores need neither the lock nor the map.
std::atomic<uint8_t> LoopFlags::* flag_of(PyObject* key) {
  const LoopNames& n = loop_names();
  if (is_name(key, n.closed)) return &LoopFlags::closed;
  if (is_name(key, n.debug)) return &LoopFlags::debug;
  if (is_name(key, n.task_factory)) return &LoopFlags::has_factory;
  return nullptr;
}

void set_flag(LoopFlags& flags, std::atomic<uint8_t> LoopFlags::* flag, PyObject* value) {
  flags.*flag = flag == &LoopFlags::has_factory ? factory_state(value) : bool_state(value);
}

struct WatchedDicts {
  std::mutex mu;
  std::unordered_map<PyObject*, std::shared_ptr<LoopFlags>> flags;
  int watcher = -1;
  PyInterpreterState* interpreter = nullptr;  // the one `watcher` belongs to
};

WatchedDicts& watched_dicts() {
  static auto* dicts = new WatchedDicts;  // outlives every loop
  return *dicts;
}

int on_dict_event(PyDict_WatchEvent event, PyObject* dict, PyObject* key, PyObject* value) {
  const bool keyed = event == PyDict_EVENT_ADDED || event == PyDict_EVENT_MODIFIED ||
                     event == PyDict_EVENT_DELETED;
  std::atomic<uint8_t> LoopFlags::* flag = keyed ? flag_of(key) : nullptr;
  // Most stores (a task step's _running_task among them) touch no flag.
  if (keyed && !flag) return 0;
  WatchedDicts& w = watched_dicts();
  std::lock_guard lock(w.mu);
  auto it = w.flags.find(dict);
  if (it == w.flags.end()) return 0;
  LoopFlags& flags = *it->second;
  switch (event) {
    case PyDict_EVENT_ADDED:
    case PyDict_EVENT_MODIFIED:
      set_flag(flags, flag, value);
      break;
    case PyDict_EVENT_DELETED:
      set_flag(flags, flag, nullptr);
      break;
    case PyDict_EVENT_DEALLOCATED:
      w.flags.erase(it);
      break;
    default:  // cleared, or cloned from another dictionary
      flags.closed = flags.debug = flags.has_factory = kUnknown;
  }
  return 0;
}

uint8_t read_state(PyObject* dict, PyObject* name, uint8_t (*state)(PyObject*)) {
  PyObject* value = nullptr;
  if (PyDict_GetItemRef(dict, name, &value) < 0) PyErr_Clear();
  uint8_t result = state(value);
  Py_XDECREF(value);
  return result;
}

// The mirrored flags of a loop's __dict__, shared by its callers; null when
// dictionary watchers are unavailable here (the callers read the dictionary).
std::shared_ptr<LoopFlags> watch_flags(PyObject* dict) {
  const LoopNames& n = loop_names();
  auto fresh = std::make_shared<LoopFlags>();
  fresh->closed = read_state(dict, n.closed, bool_state);
  fresh->debug = read_state(dict, n.debug, bool_state);
  fresh->has_factory = read_state(dict, n.task_factory, factory_state);
  WatchedDicts& w = watched_dicts();
  std::lock_guard lock(w.mu);
  if (!w.interpreter) {
    w.watcher = PyDict_AddWatcher(on_dict_event);
    w.interpreter = PyInterpreterState_Get();
    if (w.watcher < 0) PyErr_Clear();
  }
  if (w.watcher < 0 || w.interpreter != PyInterpreterState_Get()) return nullptr;
  std::shared_ptr<LoopFlags>& slot = w.flags[dict];
  if (slot) return slot;
  if (PyDict_Watch(w.watcher, dict) < 0) {
    PyErr_Clear();
    w.flags.erase(dict);
    return nullptr;
  }
  slot = fresh;
  return slot;
}

// 1 when the loop is open and out of debug mode; 0 when its Python method must
// run instead; -1 with an exception set.
int fast_path(CallerObject* caller) {
  if (LoopFlags* flags = caller->flags.get()) {
    uint8_t closed = flags->closed, debug = flags->debug;
    if (closed != kUnknown && debug != kUnknown) return closed == kFalse && debug == kFalse;
  }
  const LoopNames& n = loop_names();
  int closed = dict_flag(caller->dict, n.closed);
  int debug = closed == 0 ? dict_flag(caller->dict, n.debug) : closed;
  if (debug < 0 && PyErr_Occurred()) return -1;
  return closed == 0 && debug == 0;
}

// 1 when the loop has a task factory, 0 when not, -1 with an exception set.
int has_task_factory(CallerObject* caller) {
  uint8_t state = caller->flags ? caller->flags->has_factory.load() : uint8_t{kUnknown};
  if (state != kUnknown) return state;
  PyObject* factory = nullptr;
  if (PyDict_GetItemRef(caller->dict, loop_names().task_factory, &factory) < 0) return -1;
  Py_XDECREF(factory);
  return factory != Py_None;
}

// Whether a keyword name is "context". asyncio's C tasks pass a string object
// of their own (not the one interned here): the first one seen to match is
// remembered (for the process), so later calls compare pointers instead of
// characters.
bool is_context_name(PyObject* key) {
  static std::atomic<PyObject*> seen{nullptr};
  PyObject* want = loop_names().context;
  if (key == want || key == seen.load(std::memory_order_relaxed)) return true;
  if (!PyUnicode_Check(key) || PyUnicode_Compare(key, want) != 0) return false;
  PyObject* expected = nullptr;
  if (seen.compare_exchange_strong(expected, key)) Py_INCREF(key);
  return true;
}

// Reads the call's `context=` (None when absent); returns the first other
// keyword given (borrowed), or nullptr when there is none.
PyObject* context_keyword(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                          PyObject*& context) {
  Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t i = 0; i < nkw; ++i) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, i);
    if (!is_context_name(key)) return key;
    context = args[nargs + i];
  }
  return nullptr;
}

// args[first:nargs] as a tuple.
Ref tail_tuple(PyObject* const* args, Py_ssize_t first, Py_ssize_t nargs) {
  Ref tuple = Ref::steal(PyTuple_New(nargs - first));
  if (!tuple) return tuple;
  for (Py_ssize_t i = first; i < nargs; ++i) PyTuple_SET_ITEM(tuple.get(), i - first, Py_NewRef(args[i]));
  return tuple;
}

// asyncio.tasks.Task or asyncio.futures.Future as the module has it now (it
// may be replaced at run time, and asyncio looks it up on each call too),
// read from the module's namespace: a generic attribute lookup on a module
// costs several times as much. The namespace is kept for the process.
PyObject* asyncio_global(PyObject*& globals, const char* module_name, PyObject* name) {
  if (!globals) {
    Ref module = Ref::steal(PyImport_ImportModule(module_name));
    if (!module) return nullptr;
    globals = Py_XNewRef(PyModule_GetDict(module.get()));
    if (!globals) return nullptr;
  }
  PyObject* value = nullptr;
  if (PyDict_GetItemRef(globals, name, &value) == 0) {
    PyErr_Format(PyExc_AttributeError, "module '%s' has no attribute '%U'", module_name, name);
  }
  return value;
}

PyObject* g_tasks_globals = nullptr;
PyObject* g_futures_globals = nullptr;

PyObject* soon_call(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  CallerObject* caller = as_caller(self);
  Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (nargs < 1) {
    PyErr_SetString(PyExc_TypeError, "call_soon() missing required argument 'callback'");
    return nullptr;
  }
  PyObject* context = Py_None;
  if (PyObject* key = context_keyword(args, nargs, kwnames, context)) {
    PyErr_Format(PyExc_TypeError, "call_soon() got an unexpected keyword argument '%U'", key);
    return nullptr;
  }
  Ref call_args = tail_tuple(args, 1, nargs);
  if (!call_args) return nullptr;
  int fast = fast_path(caller);
  if (fast < 0) return nullptr;
  if (!fast || !PyCallable_Check(args[0])) {
    return PyObject_CallMethodObjArgs(caller->loop, loop_names().checked, args[0], call_args.get(),
                                      context, nullptr);
  }
  Ref handle = Ref::steal(new_handle(args[0], call_args.get(), caller->loop, context));
  if (!handle) return nullptr;
  caller->core->push_soon(RunHandle{handle.copy(), Ref::borrow(caller->on_error)});
  return handle.release();
}

// call_soon_threadsafe(callback, *args, context=None), from any thread: the
// handle is queued as call_soon queues one, and the engine's doorbell wakes a
// loop waiting in epoll. A closed loop, debug mode, a callback that is not
// callable or other keywords take the loop's Python method.
PyObject* threadsafe_call(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  CallerObject* caller = as_caller(self);
  Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  PyObject* context = Py_None;
  if (nargs < 1 || context_keyword(args, nargs, kwnames, context) || !PyCallable_Check(args[0]) ||
      !handle_layout().threadsafe_type) {
    return call_fallback(self, args, nargsf, kwnames);
  }
  int fast = fast_path(caller);
  if (fast <= 0) return fast < 0 ? nullptr : call_fallback(self, args, nargsf, kwnames);
  Ref call_args = tail_tuple(args, 1, nargs);
  Ref handle = call_args ? Ref::steal(new_threadsafe_handle(args[0], call_args.get(), caller->loop, context))
                         : Ref();
  if (!handle) return nullptr;
  caller->core->push_soon(RunHandle{handle.copy(), Ref::borrow(caller->on_error)});
  return handle.release();
}

// call_later(delay, ...) when `relative`, else call_at(when, ...): a native
// TimerHandle in the engine's timer heap. A cancelled one is skipped when
// due, unless the engine has dropped it from the heap before.
PyObject* timer_call(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames,
                     bool relative) {
  CallerObject* caller = as_caller(self);
  Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  PyObject* context = Py_None;
  if (nargs < 2 || !(PyFloat_CheckExact(args[0]) || PyLong_CheckExact(args[0])) ||
      context_keyword(args, nargs, kwnames, context) || !PyCallable_Check(args[1])) {
    return call_fallback(self, args, nargsf, kwnames);
  }
  int fast = fast_path(caller);
  if (fast <= 0) return fast < 0 ? nullptr : call_fallback(self, args, nargsf, kwnames);
  double time = PyFloat_AsDouble(args[0]);
  if (time == -1.0 && PyErr_Occurred()) return nullptr;
  double now = velkor::loop_time();
  Ref when = relative ? Ref::steal(PyFloat_FromDouble(now + time)) : Ref::borrow(args[0]);
  Ref call_args = when ? tail_tuple(args, 2, nargs) : Ref();
  if (!call_args) return nullptr;
  Ref handle = Ref::steal(new_timer_handle(when.get(), args[1], call_args.get(), caller->loop, context));
  if (!handle) return nullptr;
  velkor::Instant deadline = engine_deadline(relative ? now + time : time);
  try {
    caller->core->call_at(RunHandle{handle.copy(), Ref::borrow(caller->on_error)}, deadline);
  } catch (const Panic& p) {
    return raise_panic(p.what());
  }
  return handle.release();
}

PyObject* later_call(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  return timer_call(self, args, nargsf, kwnames, true);
}

PyObject* at_call(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  return timer_call(self, args, nargsf, kwnames, false);
}

// Calls `cls(*args, **kwargs, loop=loop)`. Without other keywords the call
// takes the caller's prebuilt {"loop": loop}: a class without vectorcall
// (asyncio's Task and Future) would otherwise build that dictionary each time.
PyObject* call_with_loop(CallerObject* caller, PyObject* cls, PyObject* const* args,
                         Py_ssize_t nargs, PyObject* kwnames) {
  Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  if (nkw == 0) {
    Ref positional = tail_tuple(args, 0, nargs);
    return positional ? PyObject_Call(cls, positional.get(), caller->loop_kwargs) : nullptr;
  }
  std::vector<PyObject*> stack(args, args + nargs + nkw);
  stack.push_back(caller->loop);
  Ref names = Ref::steal(PySequence_Concat(kwnames, loop_names().loop_kwnames));
  return names ? PyObject_Vectorcall(cls, stack.data(), nargs, names.get()) : nullptr;
}

// create_task(coro, **kwargs): asyncio's Task made directly, unless a task
// factory is set.
PyObject* task_call(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  CallerObject* caller = as_caller(self);
  Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  int open = nargs == 1 ? fast_path(caller) : 0;
  int factory = open == 1 ? has_task_factory(caller) : 0;
  if (open < 0 || factory < 0) return nullptr;
  if (open == 0 || factory == 1) return call_fallback(self, args, nargsf, kwnames);
  Ref task_type = Ref::steal(asyncio_global(g_tasks_globals, "asyncio.tasks", loop_names().task));
  if (!task_type) return nullptr;
  return call_with_loop(caller, task_type.get(), args, nargs, kwnames);
}

PyObject* future_call(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  if (PyVectorcall_NARGS(nargsf) != 0 || kwnames) {
    PyErr_SetString(PyExc_TypeError, "create_future() takes no arguments");
    return nullptr;
  }
  Ref future_type = Ref::steal(asyncio_global(g_futures_globals, "asyncio.futures", loop_names().future));
  if (!future_type) return nullptr;
  return call_with_loop(as_caller(self), future_type.get(), args, 0, nullptr);
}

// get_debug(), which asyncio's C Future calls on each future and task made.
PyObject* debug_call(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  LoopFlags* flags = as_caller(self)->flags.get();
  uint8_t debug = flags ? flags->debug.load() : uint8_t{kUnknown};
  if (debug != kUnknown && PyVectorcall_NARGS(nargsf) == 0 && !kwnames) {
    return Py_NewRef(debug == kTrue ? Py_True : Py_False);
  }
  PyObject* value = nullptr;
  int found = PyVectorcall_NARGS(nargsf) == 0 && !kwnames
                  ? PyDict_GetItemRef(as_caller(self)->dict, loop_names().debug, &value)
                  : 0;
  if (found < 0) return nullptr;
  return found ? value : call_fallback(self, args, nargsf, kwnames);
}

int caller_traverse(PyObject* self, visitproc visit, void* arg) {
  CallerObject* caller = as_caller(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(caller->engine);
  Py_VISIT(caller->loop);
  Py_VISIT(caller->dict);
  Py_VISIT(caller->on_error);
  Py_VISIT(caller->fallback);
  Py_VISIT(caller->loop_kwargs);
  return 0;
}

int caller_clear(PyObject* self) {
  CallerObject* caller = as_caller(self);
  Py_CLEAR(caller->engine);
  Py_CLEAR(caller->loop);
  Py_CLEAR(caller->dict);
  Py_CLEAR(caller->on_error);
  Py_CLEAR(caller->fallback);
  Py_CLEAR(caller->loop_kwargs);
  return 0;
}

void caller_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  caller_clear(self);
  CallerObject* caller = as_caller(self);
  caller->core.~shared_ptr();  // may hold queued handles: released attached, here
  caller->flags.~shared_ptr();
  type->tp_free(self);
  Py_DECREF(type);
}

PyMemberDef caller_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(CallerObject, vectorcall), Py_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot caller_slots[] = {
    {Py_tp_doc, const_cast<char*>("A loop method bound to its engine.")},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_traverse, reinterpret_cast<void*>(caller_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(caller_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(caller_dealloc)},
    {Py_tp_members, caller_members},
    {0, nullptr},
};

PyType_Spec caller_spec = {
    "_velkor.LoopCaller", sizeof(CallerObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    caller_slots};

PyObject* g_caller_type = nullptr;

PyObject* new_caller(PyObject* engine, PyObject* loop, PyObject* on_error, PyObject* fallback,
                     vectorcallfunc call) {
  std::shared_ptr<SharedCore> core = event_loop_core(engine);
  if (!core) return nullptr;
  Ref dict = Ref::steal(PyObject_GenericGetDict(loop, nullptr));
  Ref loop_kwargs = dict ? Ref::steal(Py_BuildValue("{sO}", "loop", loop)) : Ref();
  if (!loop_kwargs) return nullptr;
  auto* type = shared_type(g_caller_type, &caller_spec);
  if (!type) return nullptr;
  CallerObject* caller = PyObject_GC_New(CallerObject, type);
  if (!caller) return nullptr;
  caller->vectorcall = call;
  caller->engine = Py_NewRef(engine);
  caller->loop = Py_NewRef(loop);
  caller->dict = dict.release();
  caller->on_error = Py_NewRef(on_error);
  caller->fallback = Py_NewRef(fallback);
  caller->loop_kwargs = loop_kwargs.release();
  new (&caller->core) std::shared_ptr<SharedCore>(std::move(core));
  new (&caller->flags) std::shared_ptr<LoopFlags>(watch_flags(caller->dict));
  PyObject_GC_Track(caller);
  return reinterpret_cast<PyObject*>(caller);
}

struct CallerKind {
  const char* name;
  vectorcallfunc call;
};

constexpr CallerKind kCallerKinds[] = {
    {"call_later", later_call}, {"call_at", at_call},         {"create_task", task_call},
    {"create_future", future_call}, {"get_debug", debug_call},
    {"call_soon_threadsafe", threadsafe_call},
};

}  // namespace

PyObject* soon_caller(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  if (!check_args(nargs, 2, "_soon_caller")) return nullptr;
  return new_caller(self, args[0], args[1], Py_None, soon_call);
}

PyObject* loop_caller(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  if (!check_args(nargs, 4, "_loop_caller")) return nullptr;
  if (!PyUnicode_Check(args[0])) {
    PyErr_SetString(PyExc_TypeError, "_loop_caller() argument 'method' must be str");
    return nullptr;
  }
  if (!PyCallable_Check(args[3])) {
    PyErr_SetString(PyExc_TypeError, "_loop_caller() argument 'fallback' must be callable");
    return nullptr;
  }
  for (const CallerKind& kind : kCallerKinds) {
    if (PyUnicode_CompareWithASCIIString(args[0], kind.name) == 0) {
      return new_caller(self, args[1], args[2], args[3], kind.call);
    }
  }
  PyErr_Format(PyExc_ValueError, "_loop_caller() has no method %R", args[0]);
  return nullptr;
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
  velkor::Instant deadline = engine_deadline(when);
  try {
    core->call_at(RunHandle{Ref::borrow(args[1]), Ref::borrow(args[2])}, deadline);
  } catch (const Panic& p) {
    return raise_panic(p.what());
  }
  Py_RETURN_NONE;
}

}  // namespace velkor::py
