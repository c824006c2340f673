// The _velkor extension module: multi-phase initialisation and registration.
// Importing it starts no thread, opens no descriptor and creates no runtime
// state; all of that comes into being when Python code calls into it.
#include "python/conn.h"
#include "python/defer.h"
#include "python/loop_full.h"
#include "python/module_state.h"
#include "python/pyref.h"
#include "runtime/loop.h"
#include "python/run.h"
#include "python/sleep.h"
#include "python/spawn.h"
#include "python/stream_core.h"
#include "python/task.h"
#include "python/sync.h"
#include "python/wait_list.h"
#include "python/task_waker.h"
#include "python/tcp.h"

namespace {

using namespace velkor::py;

PyMethodDef module_functions[] = {
    {"run", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(velkor::py::run)),
     METH_VARARGS | METH_KEYWORDS,
     "run(coro)\n--\n\n"
     "velkor.run(coro) \xe2\x80\x94 run a Python coroutine to completion on our event loop."},
    {"_run_with_signals",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(velkor::py::run_with_signals)),
     METH_VARARGS | METH_KEYWORDS,
     "_run_with_signals(coro)\n--\n\n"
     "run(coro) that also wakes for signals and runs their Python handlers on the\n"
     "main thread; an exception raised by a handler ends the run and is raised."},
    {"sleep", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(velkor::py::sleep)),
     METH_VARARGS | METH_KEYWORDS, "sleep(duration)\n--\n\n"},
    {"defer", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(velkor::py::defer)),
     METH_VARARGS | METH_KEYWORDS,
     "defer(func, *args, callback=None)\n--\n\n"
     "velkor.defer(func, *args, callback=None) \xe2\x80\x94 schedule a function to run\n"
     "on the background thread pool. When done, `callback(result)` is called\n"
     "on the event loop thread. Returns an awaitable handle."},
    {"_defer_growing", velkor::py::defer_growing, METH_VARARGS,
     "_defer_growing(func, /, *args)\n--\n\n"
     "As defer(func, *args), but a call that has waited a few milliseconds for a\n"
     "pool worker runs on an extra thread instead (one that ends after a while\n"
     "without work), so calls that wait on each other all run."},
    {"_spawn", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(velkor::py::spawn)),
     METH_VARARGS | METH_KEYWORDS,
     "_spawn(coro, task=None)\n--\n\n"
     "velkor._spawn(coro, task=None) \xe2\x80\x94 spawn a coroutine as a task on the event loop.\n"
     "Returns an awaitable handle that yields the coroutine's return value."},
    {"_spawn_fair", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(velkor::py::spawn_fair)),
     METH_VARARGS | METH_KEYWORDS,
     "_spawn_fair(coro, task=None)\n--\n\n"
     "As _spawn, but a bare yield lets every other runnable task step first, and\n"
     "a yield of anything that is neither None, a future nor a pending value\n"
     "raises RuntimeError('Task got bad yield: ...') into the coroutine."},
    {"open_connection",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(velkor::py::open_connection)),
     METH_VARARGS | METH_KEYWORDS, "open_connection(host, port)\n--\n\n"},
    {"start_server",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(velkor::py::start_server)),
     METH_VARARGS | METH_KEYWORDS, "start_server(_handler, host, port)\n--\n\n"},
    {"connect_tcp", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(velkor::py::connect_tcp)),
     METH_VARARGS | METH_KEYWORDS,
     "connect_tcp(host, port, *, local_addr=None)\n--\n\n"
     "Awaitable: resolves on the pool, then connects without blocking, trying\n"
     "every address in order. Gives a Connection on the running loop."},
    {"connect_unix", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(velkor::py::connect_unix)),
     METH_VARARGS | METH_KEYWORDS,
     "connect_unix(path)\n--\n\n"
     "Awaitable: connects to a Unix socket (a leading NUL names an abstract one)."},
    {"adopt_socket", velkor::py::adopt_socket, METH_O,
     "adopt_socket(fd, /)\n--\n\n"
     "A Connection on the running loop that owns the connected socket fd."},
    {"adopt_listener", velkor::py::adopt_listener, METH_O,
     "adopt_listener(fd, /)\n--\n\n"
     "A Listener on the running loop that owns the listening socket fd."},
    {nullptr, nullptr, 0, nullptr},
};

struct ClassEntry {
  const char* name;
  PyTypeObject* (*type)();
};

// Registration order of the module's classes.
const ClassEntry module_classes[] = {
    {"PyEventLoop", event_loop_type},
    {"PyTaskHandle", task_handle_type},
    {"PyTaskIter", task_iter_type},
    {"PySpawnedTask", spawned_task_type},
    {"PySpawnedTaskIter", spawned_task_iter_type},
    {"PyTcpStream", tcp_stream_type},
    {"PyTcpListener", tcp_listener_type},
    {"TaskWakerCallback", task_waker_callback_type},
    {"PyWakerQueue", waker_queue_type},
    {"Connection", connection_type},
    {"Listener", net_listener_type},
    {"_WaitList", wait_list_type},
    {"_Wait", wait_type},
    {"StreamCore", stream_core_type},
};

int exec_module(PyObject* module) {
  if (!PyModule_Check(module)) {
    PyErr_Format(PyExc_TypeError, "'%.200s' object cannot be converted to 'PyModule'",
                 Py_TYPE(module)->tp_name);
    return -1;
  }
  watch_interpreter_exit();
  velkor::EventLoop::set_before_wait_hook(release_kept_interpreter);
  if (PyModule_AddFunctions(module, module_functions) < 0) return -1;
  if (add_spawn_function(module) < 0) return -1;
  for (const ClassEntry& entry : module_classes) {
    PyTypeObject* type = entry.type();
    if (!type || PyModule_AddObjectRef(module, entry.name, reinterpret_cast<PyObject*>(type)) < 0) {
      return -1;
    }
  }
  return add_task_type(module);
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_velkor",
    "",
    sizeof(ModuleState),
    nullptr,
    module_slots,
    traverse_module_state,
    clear_module_state,
    free_module_state,
};

}  // namespace

PyMODINIT_FUNC PyInit__velkor(void) { return PyModuleDef_Init(&module_def); }
