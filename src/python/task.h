#pragma once
// _velkor.TaskBase: the native core of the package's Task. One object per
// task holds the coroutine, its context, the outcome, the cancellation
// requests and the done callbacks; the engine polls it directly (a small
// driver holds the object while it is pending), and a task that awaits
// another parks its waker on it.
#include "python/pyref.h"

namespace velkor::py {

// Builds the class for `module` (one per module object) and adds it as
// TaskBase. 0, or -1 with an error set.
int add_task_type(PyObject* module);

// Adds _spawn_task: the package's spawn (velkor.tasks exports it as spawn),
// which builds a velkor.Task directly. 0, or -1 with an error set.
int add_spawn_function(PyObject* module);

}  // namespace velkor::py
