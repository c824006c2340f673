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


async def asyncio_future():
    loop = asyncio.get_running_loop()
    fut = loop.create_future()
    velkor.spawn(set_later(fut, "future"))
    return await fut


async def set_later(fut, value):
    await velkor.sleep(0.001)
    fut.set_result(value)


async def asyncio_sleep():
    await asyncio.sleep(0.005, "ignored")
    return await asyncio.sleep(0, "slept")


async def asyncio_task():
    return await asyncio.create_task(value_after(0.001, "asyncio task"))


async def value_after(delay, value):
    # asyncio's awaitables only: an asyncio task parks on futures.
    await asyncio.sleep(delay)
    return value


async def velkor_value_after(delay, value):
    await velkor.sleep(delay)
    return value


async def executor():
    loop = asyncio.get_running_loop()
    return await loop.run_in_executor(None, "-".join, ["in", "executor"])


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
    return "not expired"


async def asyncio_gather_of_both_kinds():
    return await asyncio.gather(velkor.spawn(velkor_value_after(0.001, 1)),
                                asyncio.create_task(value_after(0.002, 2)),
                                value_after(0, 3))


@pytest.mark.parametrize("scenario, expected", [
    (asyncio_future, "future"),
    (asyncio_sleep, "slept"),
    (asyncio_task, "asyncio task"),
    (executor, "in-executor"),
    (asyncio_queue, sum(range(20))),
    (asyncio_timeout_around_velkor_sleep, 0),
    (asyncio_gather_of_both_kinds, [1, 2, 3]),
])
def test_asyncio_code_runs_inside_velkor_run(scenario, expected):
    assert velkor.run(scenario()) == expected


def test_current_task_and_all_tasks_in_both_worlds():
    async def in_asyncio_task():
        return asyncio.current_task(), velkor.current_task()

    async def main():
        me = velkor.current_task()
        aio = asyncio.create_task(in_asyncio_task())
        seen_in_aio = await aio
        assert asyncio.current_task() is me
        waiting = asyncio.create_task(asyncio.sleep(10))
        listed = asyncio.all_tasks()
        return seen_in_aio == (aio, None), listed == {waiting}, waiting

    seen_right, listed_right, waiting = velkor.run(main())
    assert seen_right and listed_right
    assert waiting.cancelled()  # the run's end cancelled it


# Awaiting across the worlds: the awaited task is cancelled, or its awaiter is.

async def awaited_body(log, swallow):
    try:
        await asyncio.sleep(10)
    except CancelledError:
        log.append("awaited cancelled")
        if swallow:
            return "swallowed"
        raise
    return "slept"


@pytest.mark.parametrize("awaiter_kind", ["velkor", "asyncio"])
@pytest.mark.parametrize("awaited_kind", ["velkor", "asyncio"])
@pytest.mark.parametrize("cancel", ["awaited", "awaiter"])
def test_cancellation_between_a_task_and_the_task_it_awaits(awaiter_kind, awaited_kind, cancel):
    start = {"velkor": velkor.spawn, "asyncio": asyncio.create_task}
    log = []

    async def awaiter(awaited):
        try:
            return await awaited
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

        async def outer_body():
            return await inner

        outer = asyncio.create_task(outer_body())
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

    async def in_own_context():
        return var.get()

    own = contextvars.Context()
    with velkor.Runner() as runner:
        loop = runner.run(first())
        assert runner.run(second()) == (loop, "set by the first run", False)
        assert runner.run(in_own_context(), context=own) == "unset"
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


def test_runner_debug_mode_and_refusals():
    with velkor.Runner(debug=True) as runner:
        assert runner.get_loop().get_debug()
        with pytest.raises(TypeError, match="coroutine"):
            runner.run(42)

        async def nested():
            coro = asyncio.sleep(0)
            try:
                runner.run(coro)
            finally:
                coro.close()

        with pytest.raises(RuntimeError, match="cannot be called from a running event loop"):
            runner.run(nested())
    runner.close()  # again: nothing left to do
    velkor.Runner().close()  # never used: nothing to close


def test_runner_propagates_ctrl_c_as_asyncio_runner_does():
    async def main():
        signal.raise_signal(signal.SIGINT)  # the first SIGINT cancels main
        await velkor.sleep(10)

    async def after():
        return "the runner still works"

    with velkor.Runner() as runner:
        with pytest.raises(KeyboardInterrupt):
            runner.run(main())
        assert signal.getsignal(signal.SIGINT) is signal.default_int_handler
        assert runner.run(after()) == "the runner still works"


# Asynchronous generators left unfinished


def make_generator(log, sleep):
    async def numbers():
        try:
            for i in range(10):
                yield i
        finally:
            await sleep(0.001)  # the cleanup needs the loop
            log.append("cleaned up")
    return numbers()


@pytest.mark.parametrize("sleep", [velkor.sleep, asyncio.sleep])
def test_an_abandoned_generator_is_closed_while_the_run_goes_on(sleep):
    log = []

    async def main():
        gen = make_generator(log, sleep)
        assert await anext(gen) == 0
        del gen
        gc.collect()
        for _ in range(50):
            if log:
                break
            await velkor.sleep(0.002)
        return list(log)

    assert velkor.run(main()) == ["cleaned up"]


@pytest.mark.parametrize("sleep", [velkor.sleep, asyncio.sleep])
def test_generators_still_alive_are_closed_when_the_run_ends(sleep):
    log = []
    kept = []

    async def main():
        gen = make_generator(log, sleep)
        kept.append(gen)
        return await anext(gen)

    assert velkor.run(main()) == 0
    assert log == ["cleaned up"]
    assert kept[0].ag_frame is None  # finished
