#include "python/driver.h"

#include "python/types.h"
#include "runtime/context.h"
#include "runtime/panic.h"

namespace velkor::py {

namespace {

// Classifies the exception currently raised.
StepEnd take_raised(Ref& out) {
  PyObject* exc = PyErr_GetRaisedException();
  if (PyErr_GivenExceptionMatches(exc, PyExc_StopIteration)) {
    PyObject* value = nullptr;
    if (PyObject_GetOptionalAttr(exc, names().value, &value) < 0) PyErr_Clear();
    Py_DECREF(exc);
    out = value ? Ref::steal(value) : Ref::borrow(Py_None);
    return StepEnd::Returned;
  }
  out = Ref::steal(exc);
  return StepEnd::Raised;
}

StepEnd classify_call(PyObject* result, Ref& out) {
  if (result) {
    out = Ref::steal(result);
    return StepEnd::Yielded;
  }
  return take_raised(out);
}

StepEnd send_none_once(PyObject* coro, Ref& out) {
  if (PyCoro_CheckExact(coro) || PyGen_CheckExact(coro)) {
    PyObject* result = nullptr;
    switch (PyIter_Send(coro, Py_None, &result)) {
      case PYGEN_NEXT:
        out = Ref::steal(result);
        return StepEnd::Yielded;
      case PYGEN_RETURN:
        out = Ref::steal(result);
        return StepEnd::Returned;
      case PYGEN_ERROR:
        return take_raised(out);
    }
  }
  return classify_call(PyObject_CallMethodOneArg(coro, names().send, Py_None), out);
}

}  // namespace

StepEnd send_none(PyObject* coro, Ref& out) {
  StepEnd end = send_none_once(coro, out);
  release_await_value();
  return end;
}

StepEnd throw_into(PyObject* coro, PyObject* exc_type, Ref& out) {
  StepEnd end = classify_call(PyObject_CallMethodOneArg(coro, names().throw_, exc_type), out);
  release_await_value();
  return end;
}

void store_step_outcome(StepEnd end, Ref out, ResultSlot& slot) {
  if (end == StepEnd::Returned) {
    slot.store_value(std::move(out));
  } else {
    slot.store_failure(std::move(out));
  }
}

Poll PyCoroWrapper::poll(const Waker& waker) {
  runtime::CurrentWakerScope waker_scope(waker);
  Attached attached;
  if (!attached.ok()) throw Panic(kInterpreterFinalizing);  // ends the run, never idles
  if (awaited_.still_pending()) return Poll::Pending;
  Ref out;
  StepEnd end = send_none(coro_.get(), out);
  if (end == StepEnd::Yielded) {
    if (out.get() != Py_None && maybe_register_future_waker(out.get())) {
      awaited_.remember(std::move(out));
    }
    return Poll::Pending;
  }
  store_step_outcome(end, std::move(out), *result_);
  coro_.reset();  // released while attached
  return Poll::Ready;
}

PyObject* return_outcome(Outcome outcome) {
  switch (outcome.kind) {
    case Outcome::Kind::Value:
      return outcome.object.release();
    case Outcome::Kind::Failure:
      PyErr_SetRaisedException(outcome.object.release());
      return nullptr;
    case Outcome::Kind::Empty:
      break;
  }
  Py_RETURN_NONE;
}

std::nullptr_t finish_await(Outcome outcome) {
  if (outcome.kind == Outcome::Kind::Failure) {
    PyErr_SetRaisedException(outcome.object.release());
  } else {
    set_stop_iteration(outcome.object ? outcome.object.get() : Py_None);
  }
  return nullptr;
}

}  // namespace velkor::py
