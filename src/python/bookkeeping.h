#pragma once
// asyncio bookkeeping around each step of a spawned task that carries a
// Python task object: the task is item 0 of velkor._compat._current_task, its
// loop's _running_task and asyncio's current task for that loop during the
// step, and the previous values are back afterwards. Everything here is best
// effort: every failure is discarded and the step goes on.
#include <memory>

#include "python/module_state.h"
#include "python/pyref.h"
#include "runtime/loop.h"

namespace velkor::py {

// What a step replaced, remembered on entry and put back on exit.
struct SavedBookkeeping {
  Ref previous_current;  // None when there was none
  Ref previous_running;
  Ref loop;  // the task's loop, looked up once per step
};

// Publishes `task` (may be null) in `holder` (may be null), its loop and the
// `_asyncio` of the interpreter whose module state is `state`. A task keeps
// its loop for life: `loop_cache` keeps it between the steps of one task.
SavedBookkeeping enter_task_step(ModuleState& state, PyObject* task, PyObject* holder, Ref& loop_cache);
// Restores what enter_task_step() replaced, then leaves the task in asyncio.
void exit_task_step(ModuleState& state, PyObject* task, PyObject* holder, SavedBookkeeping& saved);

// The same for a task whose loop is known, on an attached thread, without
// the Ref handles: the previous values are owned references kept here
// between the two calls, which always come in pairs.
struct LoopStepSaved {
  PyObject* previous_current = nullptr;  // null: there was none
  PyObject* previous_running = nullptr;  // null: missing; may be None
  PyObject* loop = nullptr;
};
void enter_loop_task_step(ModuleState& state, PyObject* task, PyObject* holder, PyObject* loop,
                          LoopStepSaved& saved);
void exit_loop_task_step(ModuleState& state, PyObject* task, PyObject* holder, LoopStepSaved& saved);

// True when task._must_cancel is strictly true (True, or a numpy bool that is
// true); a missing attribute or any other value counts as false.
bool cancellation_requested(PyObject* task);

// task._cancel_waker = TaskWakerCallback(core, id); `callback` caches the
// object between the steps of one task.
void install_cancel_waker(PyObject* task, const std::shared_ptr<SharedCore>& core, TaskId id,
                          Ref& callback);

// velkor._compat.<name> (an interned name) of that interpreter, or a null
// Ref with the error cleared.
Ref compat_attribute(ModuleState& state, PyObject* name);

}  // namespace velkor::py
