#pragma once
// The coroutine-stepping protocol shared by every driver (run, spawned tasks,
// loop objects): send None (or throw) into a coroutine and classify the end
// of the step. Called attached to the interpreter.
#include <memory>

#include "python/future_waker.h"
#include "python/pyref.h"
#include "python/slots.h"
#include "runtime/task.h"

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

// The task behind run()'s coroutine and a loop object's run_until_complete():
// each poll sends None once; a yielded object other than None is offered the
// future wake-up; the outcome goes to `result`, which the caller reads after
// the run. No bookkeeping, no cancellation, no re-send on a None yield. A
// wake-up while the future it is parked on is not done leaves it parked.
class PyCoroWrapper final : public Task {
 public:
  PyCoroWrapper(Ref coro, std::shared_ptr<ResultSlot> result)
      : coro_(std::move(coro)), result_(std::move(result)) {}
  Poll poll(const Waker& waker) override;
  int traverse(const Visitor& visit) const override { return visit(coro_.get()); }

 private:
  Ref coro_;
  std::shared_ptr<ResultSlot> result_;
  AwaitedFuture awaited_;
};

// run_until_complete() drives its coroutine with the same protocol.
using RunCoroFuture = PyCoroWrapper;

}  // namespace velkor::py
