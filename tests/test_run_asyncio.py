"""asyncio inside velkor.run(): its running loop is a velkor.EventLoop that also
steps the velkor tasks, so asyncio's futures, tasks and primitives mix with
velkor's. Also velkor.Runner, and asynchronous generators left unfinished."""

import asyncio
import contextvars
import gc
import os
import signal

import pytest

import velkor
from velkor import CancelledError


async def value_after(sleep, delay, value):
    # With asyncio.sleep only: an asyncio task parks on futures.
    await sleep(delay)
    return value


async def awaiting(aw):
    return await aw


async def asyncio_future():
    fut = asyncio.get_running_loop().create_future()

    async def set_it():
        await velkor.sleep(0.001)
        fut.set_result("future")

    velkor.spawn(set_it())
    return await fut


async def asyncio_queue():
    queue = asyncio.Queue(maxsize=1)

    async def produce():
        for i in range(20):
            await queue.put(i)

    producer = velkor.spawn(produce())
    got = [await queue.get() for _ in range(20)]
    await producer
    return sum(got)


async def asyncio_timeout_around_velkor_sleep():
    try:
        async with asyncio.timeout(0.01):
            await velkor.sleep(10)
    except TimeoutError:
        return velkor.current_task().cancelling()


@pytest.mark.parametrize("scenario, expected", [
    (asyncio_future, "future"),
    (lambda: asyncio.sleep(0.005, "slept"), "slept"),
    (lambda: asyncio.create_task(value_after(asyncio.sleep, 0.001, "task")), "task"),
    (lambda: asyncio.get_running_loop().run_in_executor(None, "-".join, "ab"), "a-b"),
    (asyncio_queue, sum(range(20))),
    (asyncio_timeout_around_velkor_sleep, 0),
    (lambda: asyncio.gather(velkor.spawn(value_after(velkor.sleep, 0.001, 1)),
                            asyncio.create_task(value_after(asyncio.sleep, 0.002, 2)),
                            value_after(asyncio.sleep, 0, 3)), [1, 2, 3]),
])
def test_asyncio_code_runs_inside_velkor_run(scenario, expected):
    async def main():
        return await scenario()

    assert velkor.run(main()) == expected


def test_current_task_and_all_tasks_in_both_worlds():
    async def in_asyncio_task():
        return asyncio.current_task(), velkor.current_task()

    async def main():
        aio = asyncio.create_task(in_asyncio_task())
        assert await aio == (aio, None)
        assert asyncio.current_task() is velkor.current_task()
        waiting = asyncio.create_task(asyncio.sleep(10))
        assert asyncio.all_tasks() == {waiting}
        return waiting

    assert velkor.run(main()).cancelled()  # the run's end cancelled it


# Awaiting across the worlds: the awaited task is cancelled, or its awaiter is.

async def awaited_body(log, swallow):
    try:
        await asyncio.sleep(10)
    except CancelledError:
        log.append("awaited cancelled")
        if swallow:
            return "swallowed"
        raise


@pytest.mark.parametrize("awaiter_kind", ["velkor", "asyncio"])
@pytest.mark.parametrize("awaited_kind", ["velkor", "asyncio"])
@pytest.mark.parametrize("cancel", ["awaited", "awaiter"])
def test_cancellation_between_a_task_and_the_task_it_awaits(awaiter_kind, awaited_kind, cancel):
    start = {"velkor": velkor.spawn, "asyncio": asyncio.create_task}
    log = []

    async def awaiter(awaited):
        try:
            return await awaiting(awaited)
        except CancelledError:
            log.append("awaiter cancelled")
            raise

    async def main():
        awaited = start[awaited_kind](awaited_body(log, swallow=False))
        outer = start[awaiter_kind](awaiter(awaited))
        await asyncio.sleep(0.01)
        (awaited if cancel == "awaited" else outer).cancel()
        with pytest.raises(CancelledError):
            await outer
        await asyncio.sleep(0.01)
        return list(log), awaited.done()

    log, awaited_done = velkor.run(main())
    if cancel == "awaiter" and (awaiter_kind, awaited_kind) == ("velkor", "asyncio"):
        # A velkor task parked on an asyncio task's future does not pass its
        # cancellation on (the run's end cancels the asyncio task).
        assert log == ["awaiter cancelled"] and not awaited_done
    else:
        # asyncio passes an awaiter's cancellation on to the task it awaits,
        # velkor does between its tasks, and so does the bridge between them.
        assert log == ["awaited cancelled", "awaiter cancelled"] and awaited_done


def test_an_asyncio_task_awaiting_a_velkor_task_gets_what_a_swallowed_cancellation_returns():
    log = []

    async def main():
        inner = velkor.spawn(awaited_body(log, swallow=True))
        outer = asyncio.create_task(awaiting(inner))
        await asyncio.sleep(0.01)
        outer.cancel()
        return await outer, outer.cancelling()

    # As with an awaited asyncio task: the awaiter gets the outcome, and its
    # own cancellation request stays counted.
    assert velkor.run(main()) == ("swallowed", 1)
    assert log == ["awaited cancelled"]


# velkor.Runner


def test_runner_keeps_one_loop_and_one_context_across_runs():
    var = contextvars.ContextVar("var", default="unset")
    left_running = []

    async def first():
        var.set("set by the first run")
        left_running.append(velkor.spawn(velkor.sleep(10)))
        return asyncio.get_running_loop()

    async def second():
        return asyncio.get_running_loop(), var.get(), left_running[0].done()

    with velkor.Runner() as runner:
        loop = runner.run(first())
        assert runner.run(second()) == (loop, "set by the first run", False)
        assert runner.run(second(), context=contextvars.Context())[1] == "unset"
        assert runner.get_loop() is loop and not loop.is_closed()
    assert loop.is_closed() and left_running[0].cancelled()
    assert var.get() == "unset"  # the runs' context was a copy
    with pytest.raises(RuntimeError, match="closed"):
        runner.run(second())


def test_each_run_closes_its_loop_without_help_from_the_collector():
    async def main():
        return asyncio.get_running_loop()

    gc.disable()
    try:
        before = len(os.listdir("/proc/self/fd"))
        loops = [velkor.run(main()) for _ in range(20)]
        assert len(os.listdir("/proc/self/fd")) == before
    finally:
        gc.enable()
    assert all(loop.is_closed() for loop in loops)


def test_runner_debug_mode_refusals_and_ctrl_c():
    async def nested():
        coro = asyncio.sleep(0)
        try:
            runner.run(coro)
        finally:
            coro.close()

    async def interrupted():
        signal.raise_signal(signal.SIGINT)  # the first SIGINT cancels the main task
        await velkor.sleep(10)

    with velkor.Runner(debug=True) as runner:
        assert runner.get_loop().get_debug()
        with pytest.raises(TypeError, match="coroutine"):
            runner.run(42)
        with pytest.raises(RuntimeError, match="cannot be called from a running event loop"):
            runner.run(nested())
        with pytest.raises(KeyboardInterrupt):
            runner.run(interrupted())
        assert signal.getsignal(signal.SIGINT) is signal.default_int_handler
        assert runner.run(asyncio.sleep(0, "still works")) == "still works"
    runner.close()  # again: nothing left to do


# Asynchronous generators left unfinished: their cleanup awaits.


def make_generator(log, sleep):
    async def numbers():
        try:
            for i in range(10):
                yield i
        finally:
            await sleep(0.001)
            log.append("cleaned up")
    return numbers()


@pytest.mark.parametrize("sleep", [velkor.sleep, asyncio.sleep])
@pytest.mark.parametrize("left", ["dropped during the run", "alive at its end"])
def test_unfinished_generators_are_closed(sleep, left):
    log = []
    kept = []

    async def main():
        gen = make_generator(log, sleep)
        first = await anext(gen)
        if left == "alive at its end":
            kept.append(gen)
            return first, []
        del gen
        gc.collect()
        for _ in range(50):
            if log:
                break
            await velkor.sleep(0.002)
        return first, list(log)

    seen_during_run = [] if left == "alive at its end" else ["cleaned up"]
    assert velkor.run(main()) == (0, seen_during_run)
    assert log == ["cleaned up"]
