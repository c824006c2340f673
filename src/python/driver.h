#pragma once
// The coroutine-stepping protocol shared by every driver (run, spawned tasks,
// loop objects): send None (or throw) into a coroutine and classify the end
// of the step. Called attached to the interpreter.
#include "python/pyref.h"
#include "python/slots.h"

namespace velkor::py {

enum class StepEnd {
  Yielded,   // `out` is the yielded object
  Returned,  // `out` is the return value (from StopIteration.value, or None)
  Raised,    // `out` is the exception instance
};

// coro.send(None). A coroutine or generator uses the fast send path; anything
// else gets its `send` attribute called (so a missing `send` raises).
StepEnd send_none(PyObject* coro, Ref& out);

// coro.throw(exc_type).
StepEnd throw_into(PyObject* coro, PyObject* exc_type, Ref& out);

// Stores a finished step's outcome in `slot`.
void store_step_outcome(StepEnd end, Ref out, ResultSlot& slot);

}  // namespace velkor::py
