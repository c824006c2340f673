"""sleep(): duration conversion, failures, the deadline, and the iterator."""

import math
import threading
import time
import types

import pytest

import _velkor

NOT_INITIALIZED = "velkor runtime not initialized. Call velkor.run() first"
NEGATIVE = "cannot convert float seconds to Duration: value is negative"
TOO_BIG = "cannot convert float seconds to Duration: value is either too big or NaN"
OVERFLOW = "overflow when adding duration to instant"


def panic_type():
    try:
        _velkor.sleep(-1)
    except BaseException as e:  # noqa: BLE001 - the type is what we are after
        return type(e)
    raise AssertionError("sleep(-1) did not fail")


@types.coroutine
def park():
    """Suspends the task once; something else must wake it."""
    yield ()


def in_fresh_thread(fn):
    """Runs fn() on a thread that never had a runtime; returns or re-raises."""
    box = {}

    def body():
        try:
            box["value"] = fn()
        except BaseException as e:  # noqa: BLE001 - re-raised on the caller's thread
            box["error"] = e

    t = threading.Thread(target=body)
    t.start()
    t.join()
    if "error" in box:
        raise box["error"]
    return box.get("value")


def test_panic_exception_type():
    panic = panic_type()
    assert issubclass(panic, BaseException)
    assert not issubclass(panic, Exception)
    assert panic.__bases__ == (BaseException,)
    assert not any(v is panic for v in vars(_velkor).values())
    # One type for every failure, so callers can catch it once.
    with pytest.raises(panic):
        _velkor.sleep(float("nan"))
    with pytest.raises(panic):
        in_fresh_thread(lambda: next(_velkor.sleep(5).__await__()))
    # An ordinary `except Exception` does not swallow it.
    with pytest.raises(panic):
        try:
            _velkor.sleep(-1)
        except Exception:
            pytest.fail("PanicException was caught as an Exception")


@pytest.mark.parametrize("duration, message", [
    (-0.001, NEGATIVE),
    (-1, NEGATIVE),
    (-math.inf, NEGATIVE),
    (-1e-300, NEGATIVE),
    (math.nan, TOO_BIG),
    (math.inf, TOO_BIG),
    (2.0 ** 64, TOO_BIG),
    (1e300, TOO_BIG),
    (2 ** 63, OVERFLOW),
    (2.0 ** 63, OVERFLOW),
])
def test_bad_durations_panic_with_the_exact_message(duration, message):
    panic = panic_type()
    with pytest.raises(panic) as info:
        _velkor.sleep(duration)
    assert str(info.value) == message
    # The class's own constructor applies the same conversion.
    awaitable_type = type(_velkor.sleep(0))
    with pytest.raises(panic) as info:
        awaitable_type(duration)
    assert str(info.value) == message


def test_accepted_durations():
    awaitable_type = type(_velkor.sleep(0))
    assert awaitable_type.__name__ == "SleepAwaitable"

    class Seconds:
        def __float__(self):
            return 0.25

    class Index:
        def __index__(self):
            return 2

    for ok in (0, 0.0, -0.0, 1e-10, 0.5, 1, True, False, 2 ** 62, Seconds(), Index()):
        assert type(_velkor.sleep(ok)) is awaitable_type
    assert type(_velkor.sleep(duration=0.01)) is awaitable_type
    assert type(awaitable_type(duration=0.01)) is awaitable_type


def test_conversion_errors_name_the_argument():
    for bad in ("1", None, b"1", [1], 1j):
        with pytest.raises(TypeError) as info:
            _velkor.sleep(bad)
        assert "while processing 'duration'" in getattr(info.value, "__notes__", [])
    # Other conversion failures keep their own type.
    with pytest.raises(OverflowError) as info:
        _velkor.sleep(10 ** 400)
    assert "while processing 'duration'" in info.value.__notes__
    with pytest.raises(TypeError):
        _velkor.sleep()
    with pytest.raises(TypeError):
        _velkor.sleep(1, 2)
    with pytest.raises(TypeError):
        _velkor.sleep(seconds=1)


def test_sleep_ends_after_its_duration():
    async def main():
        started = time.monotonic()
        await _velkor.sleep(0.05)
        return time.monotonic() - started

    took = _velkor.run(main())
    # The deadline is measured on the same monotonic clock: never early.
    assert 0.05 <= took < 1.0


def test_int_one_and_true_sleep_one_second():
    async def timed(duration):
        started = time.monotonic()
        await _velkor.sleep(duration)
        return time.monotonic() - started

    async def main():
        a = _velkor._spawn(timed(1))
        b = _velkor._spawn(timed(True))
        return await a, await b

    for took in _velkor.run(main()):
        assert 1.0 <= took < 5.0


def test_deadline_is_fixed_when_sleep_is_called():
    sleeper = _velkor.sleep(0.2)
    time.sleep(0.25)

    async def main():
        started = time.monotonic()
        await sleeper
        return time.monotonic() - started

    assert _velkor.run(main()) < 0.15


def test_awaiting_one_awaitable_twice():
    async def main():
        sleeper = _velkor.sleep(0.05)
        started = time.monotonic()
        await sleeper
        first = time.monotonic() - started
        # A fresh iterator over an elapsed deadline finishes on its first step.
        it = sleeper.__await__()
        assert it is not sleeper.__await__()
        with pytest.raises(StopIteration):
            next(it)
        await sleeper
        return first

    assert _velkor.run(main()) >= 0.05


def test_zero_and_elapsed_sleeps_need_no_runtime():
    def step_zero_and_elapsed():
        elapsed = _velkor.sleep(0.01)
        time.sleep(0.02)
        for sleeper in (_velkor.sleep(0), _velkor.sleep(-0.0), _velkor.sleep(1e-10), elapsed):
            it = sleeper.__await__()
            with pytest.raises(StopIteration) as info:
                next(it)
            assert info.value.value is None
        return True

    assert in_fresh_thread(step_zero_and_elapsed)
    assert step_zero_and_elapsed()  # this thread's runtime is gone since run() returned

    # A coroutine awaiting sleep(0) can be driven by anything, even by hand.
    async def zero():
        await _velkor.sleep(0)
        return "done"

    coro = zero()
    with pytest.raises(StopIteration) as info:
        coro.send(None)
    assert info.value.value == "done"


def test_pending_step_without_runtime_panics_then_finishes_anywhere():
    panic = panic_type()
    it = _velkor.sleep(0.05).__await__()

    def step(how):
        return how(it)

    for how in (next, lambda i: i.send(None), lambda i: i.send("anything")):
        with pytest.raises(panic) as info:
            in_fresh_thread(lambda: step(how))
        assert str(info.value) == NOT_INITIALIZED
    with pytest.raises(panic) as info:
        next(it)  # this thread had a runtime once, but has none now
    assert str(info.value) == NOT_INITIALIZED

    time.sleep(0.06)
    with pytest.raises(StopIteration):
        in_fresh_thread(lambda: next(it))
    with pytest.raises(StopIteration):
        it.send(None)
    with pytest.raises(StopIteration):
        in_fresh_thread(lambda: it.send(1))


def test_iterator_protocol():
    it = _velkor.sleep(0).__await__()
    assert type(it).__name__ == "SleepIter"
    assert iter(it) is it
    assert not hasattr(it, "throw") and not hasattr(it, "close")
    assert not hasattr(_velkor, "SleepIter")
    with pytest.raises(TypeError):
        it.send()
    with pytest.raises(TypeError):
        it.send(1, 2)
    with pytest.raises(TypeError):
        type(it)()
    with pytest.raises(StopIteration):
        it.send(object())


def test_a_pending_step_by_send_parks_the_task_on_a_timer():
    async def main():
        it = _velkor.sleep(0.05).__await__()
        assert it.send("ignored") == ()  # took the waker and registered the timer
        started = time.monotonic()
        await park()  # only the timer can wake the task now
        waited = time.monotonic() - started
        with pytest.raises(StopIteration):
            it.send(None)
        return waited

    assert 0.03 <= _velkor.run(main()) < 1.0


def test_an_early_wake_does_not_end_a_sleep():
    class TaskObject:
        """The attributes the runtime reads and writes on a task object."""
        _loop = None
        _must_cancel = False
        _cancel_waker = None

    sleeper_task = TaskObject()
    woken_early = []

    async def sleeper():
        started = time.monotonic()
        await _velkor.sleep(0.2)
        return time.monotonic() - started

    async def main():
        handle = _velkor._spawn(sleeper(), sleeper_task)
        await _velkor.sleep(0.05)
        # The cancel waker wakes the task without asking for a cancellation.
        sleeper_task._cancel_waker(None)
        woken_early.append(True)
        return await handle

    assert _velkor.run(main()) >= 0.2
    assert woken_early
