"""Spawned tasks, their handles, asyncio bookkeeping, cancellation and the
waker queue, driven directly through the native module."""

import asyncio
import threading
import time
import types

import pytest

import _velkor
import velkor
from velkor import _compat


class Park:
    """Suspends the awaiting task once (a non-None yield)."""

    def __await__(self):
        yield ()


class FakeLoop:
    def __init__(self):
        self._running_task = None


class SlottedLoop:
    """Keeps _running_task in a slot, as the package's loop does."""

    __slots__ = ("_running_task",)

    def __init__(self):
        self._running_task = None


class ShadowedLoop(SlottedLoop):
    """A subclass whose property shadows the slot: every store must reach it."""

    __slots__ = ("stores",)

    def __init__(self):
        self.stores = []
        super().__init__()

    @property
    def _running_task(self):
        return SlottedLoop._running_task.__get__(self)

    @_running_task.setter
    def _running_task(self, value):
        self.stores.append(value)
        SlottedLoop._running_task.__set__(self, value)


class FakeTask:
    def __init__(self, loop=None):
        self._loop = loop
        self._must_cancel = False
        self._cancel_waker = None


def run(coro):
    return _velkor.run(coro)


class TestHandles:
    def test_values_and_order(self):
        order = []

        async def child(i):
            order.append(i)
            return i * 10

        async def main():
            handles = [_velkor._spawn(child(i)) for i in range(5)]
            assert order == []  # nothing runs inside _spawn
            return [await h for h in handles]

        assert run(main()) == [0, 10, 20, 30, 40]
        assert order == [0, 1, 2, 3, 4]

    def test_same_exception_object_and_kept_outcome(self):
        err = ValueError("child failed")

        async def child():
            raise err

        async def main():
            handle = _velkor._spawn(child())
            caught = []
            for _ in range(2):  # a handle keeps its outcome
                try:
                    await handle
                except ValueError as e:
                    caught.append(e)
            return caught

        assert run(main()) == [err, err]
        assert all(e is err for e in run(main()))

    def test_finished_iterator_raises_bare_stop_iteration(self):
        async def child():
            return "v"

        async def main():
            handle = _velkor._spawn(child())
            await _velkor.sleep(0.005)  # the child finishes meanwhile
            it = handle.__await__()
            with pytest.raises(StopIteration) as first:
                it.send("ignored")
            with pytest.raises(StopIteration) as again:
                next(it)
            return first.value.value, again.value.value

        assert run(main()) == ("v", None)

    @pytest.mark.parametrize("value", [(1, 2), (), ValueError("returned, not raised"),
                                       StopIteration("returned"), None, b"x" * 100, 10**30])
    def test_await_gives_exactly_the_returned_object(self, value):
        async def child():
            return value

        async def main():
            return await _velkor._spawn(child())

        assert run(main()) is value

    def test_two_awaiters_are_both_woken(self):
        async def slow():
            await _velkor.sleep(0.02)
            return "shared"

        async def main():
            handle = _velkor._spawn(slow())

            async def waiter():
                return await handle

            a, b = _velkor._spawn(waiter()), _velkor._spawn(waiter())
            return await a, await b

        assert run(main()) == ("shared", "shared")

    def test_return_none_and_stop_iteration_without_value(self):
        class BareStop:
            def send(self, value):
                raise StopIteration

        async def main():
            return await _velkor._spawn(BareStop())

        assert run(main()) is None

    def test_run_waits_for_unawaited_spawned_tasks(self):
        done = []

        async def late():
            await _velkor.sleep(0.1)
            done.append(True)

        async def main():
            _velkor._spawn(late())
            return "main"

        start = time.monotonic()
        assert run(main()) == "main"
        assert done == [True]
        assert 0.08 < time.monotonic() - start < 2.0

    def test_none_yield_is_resent_within_the_step(self):
        class YieldsNone:
            def __init__(self):
                self.steps = 0

            def __await__(self):
                while self.steps < 3:
                    self.steps += 1
                    yield None
                return self.steps

        async def child():
            return await YieldsNone()

        async def main():
            return await _velkor._spawn(child())

        assert run(main()) == 3

    def test_non_coroutine_fails_as_the_outcome(self):
        async def main():
            with pytest.raises(AttributeError):
                await _velkor._spawn(42)
            return "ok"

        assert run(main()) == "ok"

    def test_spawn_needs_a_runtime(self):
        coro = asyncio.sleep(0)
        with pytest.raises(BaseException) as info:
            _velkor._spawn(coro)
        coro.close()
        assert not isinstance(info.value, Exception)
        assert str(info.value) == "velkor runtime not initialized. Call velkor.run() first"


class TestBookkeeping:
    @pytest.mark.parametrize("loop_class", [FakeLoop, SlottedLoop, ShadowedLoop])
    def test_current_task_published_and_restored(self, loop_class):
        loop = loop_class()
        other = object()
        loop._running_task = other
        task = FakeTask(loop)
        seen = []

        async def child():
            seen.append((_compat._current_task[0], loop._running_task))
            await _velkor.sleep(0.001)
            seen.append((_compat._current_task[0], loop._running_task))

        async def main():
            handle = _velkor._spawn(child(), task)
            await handle
            return _compat._current_task[0], loop._running_task

        after = run(main())
        assert seen == [(task, task), (task, task)]
        assert after == (None, other)
        if loop_class is ShadowedLoop:  # two steps, each publishing and restoring
            assert loop.stores == [None, other, task, other, task, other]
        assert isinstance(task._cancel_waker, _velkor.TaskWakerCallback)
        assert repr(task._cancel_waker).startswith("<TaskWakerCallback task_id=")

    def test_asyncio_current_task_follows_the_task(self):
        loop = FakeLoop()
        task = FakeTask(loop)

        async def child():
            return asyncio.current_task(), asyncio.current_task(loop)

        async def main():
            # asyncio only tracks tasks of the thread's running loop.
            asyncio._set_running_loop(loop)
            try:
                during = await _velkor._spawn(child(), task)
                return during, asyncio.current_task(loop)
            finally:
                asyncio._set_running_loop(None)

        assert run(main()) == ((task, task), None)

    def test_task_without_loop_only_touches_the_holder(self):
        task = FakeTask(None)

        async def child():
            return _compat._current_task[0]

        async def main():
            return await _velkor._spawn(child(), task)

        assert run(main()) is task

    def test_failing_task_object_is_ignored(self):
        class Hostile:
            def __getattr__(self, name):
                raise RuntimeError(name)

            def __setattr__(self, name, value):
                raise RuntimeError(name)

        async def child():
            return "fine"

        async def main():
            return await _velkor._spawn(child(), Hostile())

        assert run(main()) == "fine"


class TestCancellation:
    def spawn_parked(self, task, log):
        queue = _velkor.PyWakerQueue()

        async def child():
            try:
                queue.store_waker()
                await Park()
                log.append("resumed")
            except asyncio.CancelledError:
                log.append("cancelled")
                raise
            return "finished"

        return child(), queue

    def test_cancel_while_parked(self):
        task = FakeTask()
        log = []
        coro, _queue = self.spawn_parked(task, log)

        async def main():
            handle = _velkor._spawn(coro, task)
            await _velkor.sleep(0.005)
            task._must_cancel = True
            task._cancel_waker(None)
            with pytest.raises(asyncio.CancelledError):
                await handle
            return task._must_cancel

        assert run(main()) is False
        assert log == ["cancelled"]

    @pytest.mark.parametrize("flag", [1, "yes", 1.0])
    def test_only_real_booleans_request_cancellation(self, flag):
        task = FakeTask()
        log = []
        coro, queue = self.spawn_parked(task, log)

        async def main():
            handle = _velkor._spawn(coro, task)
            await _velkor.sleep(0.005)
            task._must_cancel = flag
            queue.wake_one()
            return await handle

        assert run(main()) == "finished"
        assert log == ["resumed"]

    def test_numpy_bool_requests_cancellation(self):
        np = pytest.importorskip("numpy")
        task = FakeTask()
        task._must_cancel = np.bool_(True)

        async def child():
            await _velkor.sleep(0.001)

        async def main():
            with pytest.raises(asyncio.CancelledError):
                await _velkor._spawn(child(), task)

        run(main())

    def test_caught_cancellation_that_awaits_again(self):
        task = FakeTask()
        queue = _velkor.PyWakerQueue()

        async def child():
            try:
                queue.store_waker()
                await Park()
            except asyncio.CancelledError:
                pass
            queue.store_waker()
            await Park()
            return "survived"

        async def main():
            handle = _velkor._spawn(child(), task)
            await _velkor.sleep(0.005)
            task._must_cancel = True
            task._cancel_waker(None)
            await _velkor.sleep(0.005)
            assert task._must_cancel is False
            assert queue.len() == 2  # parked again (the first waker was consumed by nobody)
            queue.wake_all()
            return await handle

        assert run(main()) == "survived"

    def test_cancellation_before_and_after_the_first_step(self):
        async def child():
            try:
                await Park()
            except asyncio.CancelledError:
                return "handled"

        async def main():
            early = FakeTask()
            early._must_cancel = True  # thrown into a coroutine that never started
            with pytest.raises(asyncio.CancelledError):
                await _velkor._spawn(child(), early)
            late = FakeTask()
            handle = _velkor._spawn(child(), late)
            await _velkor.sleep(0.002)
            late._must_cancel = True
            late._cancel_waker(None)
            return await handle

        assert run(main()) == "handled"


@pytest.fixture
def asyncio_thread():
    """An asyncio loop running on a thread of its own."""
    other = asyncio.new_event_loop()
    thread = threading.Thread(target=other.run_forever)
    thread.start()
    try:
        yield other
    finally:
        other.call_soon_threadsafe(other.stop)
        thread.join()
        other.close()


async def stray_timer_then_future(fut):
    # A sleep stepped by hand parks a timer for this task and is then left
    # alone: its wake-up arrives while the task waits for the future.
    stray = _velkor.sleep(0.05).__await__()
    assert stray.send(None) == ()
    return await fut


async def limit_ends_a_sleep_then_future(fut):
    try:
        async with velkor.timeout(0.05):
            await velkor.sleep(0.3)
    except TimeoutError:
        pass
    return await fut


class TestFutureWakeups:
    @pytest.mark.parametrize("runner, waits", [
        (_velkor.run, stray_timer_then_future),
        (velkor.run, stray_timer_then_future),
        (velkor.run, limit_ends_a_sleep_then_future),
    ])
    def test_a_stray_wake_leaves_the_task_parked_on_its_future(self, asyncio_thread, runner,
                                                               waits):
        fut = asyncio_thread.create_future()
        asyncio_thread.call_soon_threadsafe(asyncio_thread.call_later, 0.3, fut.set_result, "late")
        start = time.monotonic()
        assert runner(waits(fut)) == "late"
        assert time.monotonic() - start >= 0.25

    def test_a_cancel_reaches_a_task_parked_on_an_unfinished_future(self, asyncio_thread):
        fut = asyncio_thread.create_future()

        async def waiter():
            try:
                await fut
            except velkor.CancelledError:
                return "cancelled"

        async def main():
            task = velkor.spawn(waiter())
            await velkor.sleep(0.02)
            task.cancel()
            return await task

        assert velkor.run(main()) == "cancelled"
        assert not fut.done()

    def test_asyncio_future_completed_from_another_thread(self):
        other = asyncio.new_event_loop()
        ready = threading.Event()
        thread = threading.Thread(target=lambda: (ready.set(), other.run_forever()))
        thread.start()
        ready.wait()
        try:
            fut = other.create_future()

            async def child():
                return await fut

            async def main():
                handle = _velkor._spawn(child())
                other.call_soon_threadsafe(other.call_later, 0.02, fut.set_result, "from-thread")
                return await handle

            assert run(main()) == "from-thread"
        finally:
            other.call_soon_threadsafe(other.stop)
            thread.join()
            other.close()

    def test_task_waker_callback_argument_count(self):
        got = []

        class Capture:
            def add_done_callback(self, cb):
                got.append(cb)
                cb(None)  # completes at once

            def __await__(self):
                yield self

        async def main():
            await Capture()

        run(main())
        (cb,) = got
        with pytest.raises(TypeError):
            cb()
        with pytest.raises(TypeError):
            cb(1, 2)
        assert cb(_result=None) is None  # late wakes after run() are harmless


class TestWakerQueue:
    def test_fifo_order_and_len(self):
        queue = _velkor.PyWakerQueue()
        order = []

        async def waiter(name):
            queue.store_waker()
            await Park()
            order.append(name)

        async def main():
            for name in "ABC":
                _velkor._spawn(waiter(name))
            await _velkor.sleep(0.005)
            assert queue.len() == 3
            queue.wake_one()
            await _velkor.sleep(0.005)
            assert order == ["A"]
            queue.wake_all()
            await _velkor.sleep(0.005)
            return queue.len()

        assert run(main()) == 0
        assert order == ["A", "B", "C"]

    def test_empty_queue_and_parking_errors(self):
        queue = _velkor.PyWakerQueue()
        assert queue.len() == 0
        assert queue.wake_one() is None and queue.wake_all() is None
        with pytest.raises(BaseException) as info:
            queue.store_waker()
        assert "not initialized" in str(info.value)
        assert not hasattr(queue, "__len__")

        async def twice():
            queue.store_waker()
            with pytest.raises(RuntimeError, match="cannot park outside of a task"):
                queue.store_waker()
            assert queue.len() == 1
            queue.wake_one()
            await Park()

        run(twice())
        assert queue.len() == 0

    def test_wake_from_another_thread(self):
        queue = _velkor.PyWakerQueue()

        async def main():
            queue.store_waker()
            threading.Timer(0.05, queue.wake_one).start()
            await Park()
            return "woken"

        assert run(main()) == "woken"

    def test_dropped_queue_leaves_its_tasks_parked(self):
        log = []

        def parked():
            queue = _velkor.PyWakerQueue()

            async def child():
                queue.store_waker()
                await Park()
                log.append("woken")  # never: nobody can wake it any more

            return child()

        async def main():
            _velkor._spawn(parked())
            await _velkor.sleep(0.01)
            log.append("main done")

        loop = _velkor.PyEventLoop()
        try:
            # The parked child keeps the run alive until the stop.
            loop.call_later(0.1, loop.stop, ())
            assert loop.run_until_complete(main()) is None
        finally:
            loop.close()
        assert log == ["main done"]

    def test_docstrings(self):
        assert _velkor.PyWakerQueue.__text_signature__ == "()"
        assert _velkor.PyWakerQueue.__doc__.startswith(
            "Minimal waker queue.  Python handles sync state (locked/value/set);\n")
        assert _velkor.PyWakerQueue.store_waker.__doc__ == (
            "Store the current task's waker so `wake_one` can unpark it later.")
        assert _velkor._spawn.__text_signature__ == "(coro, task=None)"
        assert isinstance(_velkor.PyWakerQueue.len, types.MethodDescriptorType)
