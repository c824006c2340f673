"""The velkor package: run, spawn and Task, cancellation, current_task (velkor's
and asyncio's), yield_now and sleep, gather, wait_for and timeout, context
variables in tasks and in to_thread.

Scenarios taking the `rt` fixture run under velkor and under asyncio, which
is the reference; the others cover what only velkor has or does differently.
Durations are bounded loosely: a check that something ended "early" allows
far more than the work needs and far less than the alternative would take.
"""

import asyncio
import contextvars
import gc
import os
import signal
import subprocess
import sys
import threading
import time
import weakref

import pytest

import _velkor
import velkor
from conftest import ROOT
from runtimes import let_others_run, rt  # noqa: F401  (rt is a fixture)

CancelledError = asyncio.CancelledError
BOUND = 5.0


async def value_after(rt, v, delay=0.0):
    await rt.sleep(delay)
    return v


async def fail_after(rt, exc, delay=0.0):
    await rt.sleep(delay)
    raise exc


async def outcomes(rt, *tasks):
    """Waits for the tasks (bounded) and returns their results or exceptions."""
    return await rt.wait_for(rt.gather(*tasks, return_exceptions=True), BOUND)


def never_awaited_warnings(recwarn):
    gc.collect()
    return [w for w in recwarn if "never awaited" in str(w.message)]


# run


def test_run_returns_the_value_or_raises_the_same_exception():
    assert velkor.run(value_after(velkor, 42, 0.001)) == 42
    assert velkor.run(velkor.sleep(0.001)) is None  # any awaitable
    err = KeyError("k")
    with pytest.raises(KeyError) as info:
        velkor.run(fail_after(velkor, err, 0.001))
    assert info.value is err


def test_run_refuses_what_is_not_a_coroutine():
    message = "velkor.run() requires a coroutine object (use async def and call it)"
    for bad in (None, 42, value_after):
        with pytest.raises(TypeError, match=r"requires a coroutine object"):
            velkor.run(bad)
    with pytest.raises(TypeError) as info:
        velkor.run("coro")
    assert str(info.value) == message


def test_run_is_refused_inside_a_running_loop(recwarn):
    async def inner():
        return "inner"

    async def attempt():
        coro = inner()
        try:
            velkor.run(coro)
        except RuntimeError as exc:
            coro.close()
            return str(exc)
        return "ran"

    expected = "velkor.run() cannot be called from a running event loop"
    assert velkor.run(attempt()) == expected
    assert asyncio.run(attempt()) == expected
    # Under the bare runtime it is the native loop that refuses; neither the
    # refused coroutine nor velkor's wrapper around it is left unawaited.
    assert _velkor.run(attempt()) == expected
    assert never_awaited_warnings(recwarn) == []


def test_run_leaves_no_running_loop_or_sigint_handler_behind():
    async def main(fail):
        assert asyncio._get_running_loop() is not None
        assert signal.getsignal(signal.SIGINT) is not signal.default_int_handler
        if fail:
            raise ValueError
        return "ok"

    assert velkor.run(main(False)) == "ok"
    assert asyncio._get_running_loop() is None
    with pytest.raises(ValueError):
        velkor.run(main(True))
    assert asyncio._get_running_loop() is None
    assert signal.getsignal(signal.SIGINT) is signal.default_int_handler
    assert asyncio.run(asyncio.sleep(0, "asyncio still runs")) == "asyncio still runs"


@pytest.mark.parametrize("main_fails", [False, True])
def test_run_cancels_tasks_still_running_when_main_ends(rt, main_fails):
    log = []

    async def forever(name):
        try:
            await rt.sleep(30)
        finally:
            log.append(f"{name} cleaned up")

    async def main():
        rt.spawn(forever("a"))
        rt.spawn(forever("b"))
        await let_others_run(rt)
        if main_fails:
            raise ValueError("main failed")
        return "main done"

    start = time.monotonic()
    if main_fails:
        with pytest.raises(ValueError):
            rt.run(main())
    else:
        assert rt.run(main()) == "main done"
    assert time.monotonic() - start < 10
    assert sorted(log) == ["a cleaned up", "b cleaned up"]



# Ctrl-C, KeyboardInterrupt and SystemExit: the same scenario under velkor and
# asyncio, in a subprocess that the test interrupts with os.kill.

CTRL_C_SCENARIO = r"""
import asyncio, socket, sys, time
sys.path[:0] = sys.argv[1:3]
import velkor
runtime, park, wait_in_cleanup = sys.argv[3], sys.argv[4], sys.argv[5] == "1"
rt = velkor if runtime == "velkor" else asyncio
server = socket.create_server(("127.0.0.1", 0))  # accepts, never sends

async def parked():
    if park == "event":
        await rt.Event().wait()
    elif park == "sleep":
        await rt.sleep(60)
    elif park == "lock":
        lock = rt.Lock()
        await lock.acquire()
        await lock.acquire()
    elif park == "read":
        port = server.getsockname()[1]
        if runtime == "velkor":
            await (await velkor.open_connection("127.0.0.1", port)).read(10)
        else:
            reader, writer = await asyncio.open_connection("127.0.0.1", port)
            await reader.read(10)  # the writer is kept: dropping it closes the connection
    elif park == "busy":  # a task that never yields: only a KeyboardInterrupt ends it
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            pass

async def child():
    try:
        await parked()
    finally:
        print("child cleanup", flush=True)

async def main():
    task = (velkor.spawn if runtime == "velkor" else asyncio.create_task)(child())
    print("parked", flush=True)  # the SIGINT comes 0.2 s later
    try:
        await rt.sleep(0.05)
        await (rt.sleep(60) if park == "busy" else parked())
    finally:
        print("main cleanup", flush=True)
        if wait_in_cleanup:
            await rt.sleep(60)

try:
    rt.run(main())
except BaseException as exc:
    print(type(exc).__name__, flush=True)
else:
    print("returned", flush=True)
"""


def interrupted_scenario(runtime, park, sigints, wait_in_cleanup=False):
    """Runs the scenario until it is parked, sends the SIGINTs; returns the
    output lines and the time from the first SIGINT to the exit."""
    build = os.path.dirname(_velkor.__file__)
    with subprocess.Popen(
            [sys.executable, "-c", CTRL_C_SCENARIO, str(ROOT), build, runtime, park,
             "1" if wait_in_cleanup else "0"],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) as proc:
        try:
            assert proc.stdout.readline() == "parked\n", proc.stderr.read()
            time.sleep(0.2)
            start = time.monotonic()
            for _ in range(sigints):
                os.kill(proc.pid, signal.SIGINT)
                time.sleep(0.3)
            out, err = proc.communicate(timeout=20)
            took = time.monotonic() - start
        finally:
            proc.kill()
    return ["parked"] + out.splitlines(), took, err


@pytest.mark.parametrize("runtime", ["velkor", "asyncio"])
@pytest.mark.parametrize("park", ["event", "sleep", "lock", "read"])
def test_ctrl_c_cancels_main_runs_cleanups_and_raises_keyboard_interrupt(runtime, park):
    lines, took, err = interrupted_scenario(runtime, park, sigints=1)
    assert lines[0] == "parked" and lines[-1] == "KeyboardInterrupt", err
    # main's cleanup runs first, then the remaining task is cancelled.
    assert lines[1:-1] == ["main cleanup", "child cleanup"], err
    assert took < 10


@pytest.mark.parametrize("runtime", ["velkor", "asyncio"])
def test_a_second_ctrl_c_interrupts_a_cleanup_that_waits(runtime):
    lines, took, err = interrupted_scenario(runtime, "sleep", sigints=2, wait_in_cleanup=True)
    assert lines[1] == "main cleanup" and lines[-1] == "KeyboardInterrupt", err
    assert took < 10


@pytest.mark.parametrize("runtime", ["velkor", "asyncio"])
def test_ctrl_c_while_a_task_never_yields(runtime):
    # The first SIGINT's cancellation cannot be delivered while the task spins;
    # the second raises KeyboardInterrupt inside it, which ends the run.
    lines, took, err = interrupted_scenario(runtime, "busy", sigints=2)
    assert lines[-1] == "KeyboardInterrupt", err
    assert "main cleanup" in lines, err
    assert took < 10


@pytest.mark.parametrize("exc_type", [KeyboardInterrupt, SystemExit])
@pytest.mark.parametrize("awaited", [False, True])
def test_keyboard_interrupt_and_system_exit_from_any_task_end_the_run(rt, exc_type, awaited):
    log = []
    raised = exc_type(3)

    async def failing():
        await rt.sleep(0.01)
        raise raised

    async def main():
        task = rt.spawn(failing())
        try:
            if awaited:
                await task
            await rt.sleep(30)
        finally:
            log.append("main cleanup")
        return "returned"

    start = time.monotonic()
    with pytest.raises(exc_type) as info:
        rt.run(main())
    assert info.value is raised
    assert log == ["main cleanup"]
    assert time.monotonic() - start < 10


# spawn and Task


def test_task_outcome_accessors(rt):
    async def main():
        err = ValueError("boom")
        ok = rt.spawn(value_after(rt, "v", 0.001))
        bad = rt.spawn(fail_after(rt, err, 0.001))
        gone = rt.spawn(rt.sleep(30))
        with pytest.raises(asyncio.InvalidStateError):
            ok.result()
        with pytest.raises(asyncio.InvalidStateError):
            ok.exception()
        assert not ok.done() and not ok.cancelled()
        await let_others_run(rt)
        gone.cancel()
        await outcomes(rt, ok, bad, gone)

        assert ok.done() and ok.result() == "v" and ok.exception() is None
        assert bad.done() and not bad.cancelled() and bad.exception() is err
        with pytest.raises(ValueError) as info:
            bad.result()
        assert info.value is err
        assert gone.done() and gone.cancelled()
        with pytest.raises(CancelledError):
            gone.result()
        with pytest.raises(CancelledError):
            gone.exception()
        assert not ok.cancel() and not bad.cancel() and not gone.cancel()

    rt.run(main())


def test_a_task_is_awaited_by_many_tasks_and_again_later(rt):
    async def main():
        err = LookupError("shared")
        ok = rt.spawn(value_after(rt, 7, 0.005))
        bad = rt.spawn(fail_after(rt, err, 0.005))

        async def await_both():
            try:
                await bad
            except LookupError as exc:
                caught = exc
            return await ok, caught

        results = await rt.gather(*(await_both() for _ in range(5)))
        assert results == [(7, err)] * 5
        assert all(caught is err for _, caught in results)
        assert await ok == 7  # again, after it was delivered
        with pytest.raises(LookupError) as info:
            await bad
        assert info.value is err

    rt.run(main())


def test_spawned_tasks_first_run_in_spawn_order_after_the_spawner_yields(rt):
    async def main():
        order = []

        async def record(i):
            order.append(i)

        tasks = [rt.spawn(record(i)) for i in range(5)]
        assert order == []  # nothing runs inside spawn
        await let_others_run(rt)
        await outcomes(rt, *tasks)
        return order

    assert rt.run(main()) == [0, 1, 2, 3, 4]


def test_a_task_cannot_await_itself(rt):
    async def main():
        async def self_await():
            await rt.current_task()

        task = rt.spawn(self_await())
        [result] = await outcomes(rt, task)
        return type(result)

    assert rt.run(main()) is RuntimeError


def test_spawn_argument_checks(recwarn):
    async def main():
        for bad in (None, 42, value_after):
            with pytest.raises(TypeError, match="a coroutine or an awaitable was expected"):
                velkor.spawn(bad)
        refused = value_after(velkor, 1)
        with pytest.raises(TypeError, match="context must be a contextvars.Context"):
            velkor.spawn(refused, context={})
        assert await refused == 1  # left to the caller, unharmed
        # Other awaitables are awaited by a coroutine made for them.
        assert await velkor.spawn(velkor.sleep(0.001)) is None
        assert await velkor.spawn(velkor.spawn(value_after(velkor, 3))) == 3

    velkor.run(main())
    coro = value_after(velkor, 1)
    with pytest.raises(BaseException, match="velkor runtime not initialized"):
        velkor.spawn(coro)  # no loop on this thread
    coro.close()
    assert never_awaited_warnings(recwarn) == []


# cancellation


def test_cancel_interrupts_the_await_where_the_task_is_parked(rt):
    async def main():
        log = []

        async def sleeper():
            try:
                await rt.sleep(30)
                log.append("slept")
            finally:
                log.append("cleanup")

        task = rt.spawn(sleeper())
        await let_others_run(rt)
        start = time.monotonic()
        assert task.cancel() is True
        assert task.cancel() is True  # still running: a second request counts
        assert task.cancelling() == 2
        [result] = await outcomes(rt, task)
        elapsed = time.monotonic() - start
        with pytest.raises(CancelledError):
            await task
        return log, type(result), task.cancelled(), elapsed

    log, result, cancelled, elapsed = rt.run(main())
    assert log == ["cleanup"]
    assert result is CancelledError and cancelled
    assert elapsed < 5


def test_cancel_before_the_first_step_skips_the_coroutine(rt, recwarn):
    async def main():
        ran = []

        async def body():
            ran.append(True)

        task = rt.spawn(body())
        task.cancel()
        [result] = await outcomes(rt, task)
        return ran, type(result), task.cancelled()

    assert rt.run(main()) == ([], CancelledError, True)
    assert never_awaited_warnings(recwarn) == []


def test_a_caught_cancellation_lets_the_task_go_on(rt):
    async def main():
        async def stubborn():
            try:
                await rt.sleep(30)
            except CancelledError:
                await rt.sleep(0.001)  # parks again after catching it
                return "survived"

        task = rt.spawn(stubborn())
        await let_others_run(rt)
        task.cancel()
        result = await rt.wait_for(task, BOUND)
        return result, task.cancelled(), task.cancelling()

    assert rt.run(main()) == ("survived", False, 1)


def test_uncancel_withdraws_a_request_not_yet_delivered(rt):
    async def main():
        task = rt.current_task()
        task.cancel()
        assert task.cancelling() == 1
        assert task.uncancel() == 0
        await rt.sleep(0.001)  # no CancelledError here
        await rt.yield_now()
        assert task.uncancel() == 0  # never below zero
        return "not cancelled"

    assert rt.run(main()) == "not cancelled"


def test_cancelling_a_task_cancels_the_task_it_awaits(rt):
    async def main():
        log = []

        async def inner():
            try:
                await rt.sleep(30)
            finally:
                log.append("inner cleanup")

        async def outer(task):
            try:
                await task
            finally:
                log.append("outer cleanup")

        inner_task = rt.spawn(inner())
        outer_task = rt.spawn(outer(inner_task))
        await let_others_run(rt)
        outer_task.cancel()
        results = await outcomes(rt, outer_task, inner_task)
        return log, [type(r) for r in results], inner_task.cancelled(), outer_task.cancelled()

    log, results, inner_cancelled, outer_cancelled = rt.run(main())
    assert log == ["inner cleanup", "outer cleanup"]
    assert results == [CancelledError, CancelledError]
    assert inner_cancelled and outer_cancelled


@pytest.mark.parametrize("how", ["cancel", "wait_for"])
def test_a_chain_deeper_than_the_recursion_limit_is_cancelled(rt, how):
    depth = 3000  # each link awaits the next: far past the default limit of 1000

    async def main():
        parked = rt.Event()
        cleaned = []

        async def link(n):
            try:
                if n == 0:
                    parked.set()
                    await rt.sleep(30)
                else:
                    await rt.spawn(link(n - 1))
            finally:
                cleaned.append(n)

        head = rt.spawn(link(depth))
        await rt.wait_for(parked.wait(), BOUND)
        if how == "cancel":
            assert head.cancel()
            with pytest.raises(CancelledError):
                await rt.wait_for(head, BOUND)
        else:
            with pytest.raises(TimeoutError):
                await rt.wait_for(head, 0.05)
        return head.cancelled(), head.cancelling(), sorted(cleaned)

    started = time.monotonic()
    cancelled, cancelling, cleaned = rt.run(main())
    assert time.monotonic() - started < 30
    assert cancelled and cancelling == 1
    assert cleaned == list(range(depth + 1))  # every link ran its clean-up once


def test_cancelling_tasks_that_await_each_other_ends_both():
    async def main():
        tasks = []

        async def await_other(i):
            await velkor.yield_now()
            await tasks[1 - i]

        tasks += [velkor.spawn(await_other(0)), velkor.spawn(await_other(1))]
        await let_others_run(velkor)
        assert tasks[0].cancel()
        results = await outcomes(velkor, *tasks)
        return [type(r) for r in results], [t.cancelling() for t in tasks]

    assert velkor.run(main()) == ([CancelledError, CancelledError], [1, 1])


# current_task, for velkor and for asyncio


def test_current_task_is_the_task_being_stepped():
    seen = []

    async def child():
        await velkor.sleep(0.001)
        seen.append(("child", velkor.current_task(), asyncio.current_task()))

    async def main():
        me = velkor.current_task()
        assert isinstance(me, velkor.Task)
        assert asyncio.current_task() is me
        task = velkor.spawn(child())
        await task
        assert velkor.current_task() is me and asyncio.current_task() is me
        return me, task

    me, task = velkor.run(main())
    assert seen == [("child", task, task)]
    assert me.done() and me.result() == (me, task)
    assert velkor.current_task() is None
    with pytest.raises(RuntimeError):
        asyncio.current_task()  # no running loop any more


def test_asyncio_sees_the_velkor_event_loop_that_runs_the_tasks(recwarn):
    async def main():
        loop = asyncio.get_running_loop()
        assert loop is asyncio.get_event_loop()
        assert loop._running_task is velkor.current_task()
        fut = loop.create_future()
        loop.call_soon(fut.set_result, "called back")
        assert await fut == "called back"
        coro = asyncio.sleep(0)
        with pytest.raises(RuntimeError, match="cannot be called from a running event loop"):
            asyncio.run(coro)
        coro.close()
        return loop

    loop = velkor.run(main())
    assert isinstance(loop, velkor.EventLoop) and loop.is_closed()
    assert never_awaited_warnings(recwarn) == []


def test_each_thread_sees_its_own_current_task():
    problems = []
    barrier = threading.Barrier(2, timeout=BOUND)

    async def worker(mine):
        for _ in range(20):
            # Long steps, so that the other thread's steps run in the middle.
            for _ in range(500):
                me = velkor.current_task()
                if me not in mine or asyncio.current_task() is not me:
                    problems.append(me)
            await velkor.yield_now()

    async def main():
        barrier.wait()
        mine = set()
        tasks = [velkor.spawn(worker(mine)) for _ in range(4)]
        mine.update(tasks)  # before any of them runs
        await velkor.gather(*tasks)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # let the two loop threads interleave finely
    try:
        threads = [threading.Thread(target=velkor.run, args=(main(),)) for _ in range(2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(interval)
    assert problems == []


# yield_now and sleep


def test_yield_now_lets_every_runnable_task_take_a_step(rt):
    async def main():
        order = []

        async def worker(name):
            for i in range(3):
                order.append(f"{name}{i}")
                await rt.yield_now()

        await rt.gather(worker("a"), worker("b"))
        return order

    assert rt.run(main()) == ["a0", "b0", "a1", "b1", "a2", "b2"]


def test_sleep_edges():
    async def main(order):
        async def worker(name):
            for i in range(3):
                order.append(f"{name}{i}")
                await velkor.sleep(0)  # an elapsed sleep does not suspend

        await velkor.gather(worker("a"), worker("b"))
        start = time.monotonic()
        await velkor.sleep(-5)
        negative = time.monotonic() - start
        start = time.monotonic()
        await velkor.sleep(0.05)
        fifty = time.monotonic() - start
        with pytest.raises(ValueError):
            velkor.sleep(float("nan"))
        with pytest.raises(TypeError):
            velkor.sleep("1")
        forever = velkor.spawn(velkor.sleep(float("inf")))
        huge = velkor.spawn(velkor.sleep(1e300))
        await let_others_run(velkor)
        forever.cancel()
        huge.cancel()
        await outcomes(velkor, forever, huge)
        return negative, fifty, forever.cancelled(), huge.cancelled()

    order = []
    negative, fifty, forever_cancelled, huge_cancelled = velkor.run(main(order))
    assert order == ["a0", "a1", "a2", "b0", "b1", "b2"]
    assert negative < 0.01
    assert 0.04 <= fifty < 0.5
    assert forever_cancelled and huge_cancelled


# gather


def test_gather_returns_results_in_argument_order(rt):
    async def main():
        runs = []

        async def once(v):
            runs.append(v)
            return v

        slow = rt.spawn(value_after(rt, "slow", 0.02))
        shared = once("shared")
        results = await rt.gather(slow, value_after(rt, "fast"), shared, shared,
                                  value_after(rt, "mid", 0.005))
        return results, runs, await rt.gather()

    results, runs, empty = rt.run(main())
    assert results == ["slow", "fast", "shared", "shared", "mid"]
    assert runs == ["shared"]  # the same coroutine twice runs once
    assert empty == []


def test_gather_propagates_the_first_exception_and_leaves_the_rest_running(rt):
    async def main():
        late, early = ValueError("late"), KeyError("early")
        slow = rt.spawn(value_after(rt, "slow", 0.3))
        with pytest.raises(KeyError) as info:
            await rt.gather(fail_after(rt, late, 0.1), slow, fail_after(rt, early, 0.001))
        assert info.value is early  # first in time, not in argument order
        assert not slow.done()
        return await slow  # not cancelled by the failure

    assert rt.run(main()) == "slow"


def test_gather_with_return_exceptions_collects_everything(rt):
    async def main():
        err = ValueError("e")
        doomed = rt.spawn(rt.sleep(30))
        await let_others_run(rt)
        doomed.cancel()
        results = await rt.gather(value_after(rt, 1, 0.002), fail_after(rt, err, 0.001), doomed,
                                  value_after(rt, 2), return_exceptions=True)
        assert results[1] is err
        return [type(r).__name__ if isinstance(r, BaseException) else r for r in results]

    assert rt.run(main()) == [1, "ValueError", "CancelledError", 2]


def test_gather_of_a_cancelled_child_raises_without_cancelling_the_caller(rt):
    async def main():
        doomed = rt.spawn(rt.sleep(30))
        await let_others_run(rt)
        doomed.cancel()
        with pytest.raises(CancelledError):
            await rt.gather(doomed, value_after(rt, 1))
        await rt.sleep(0.001)  # the caller itself goes on
        return rt.current_task().cancelling()

    assert rt.run(main()) == 0


def test_cancelling_a_gather_cancels_its_children_and_waits_for_them(rt):
    async def main():
        log = []

        async def child(i):
            try:
                await rt.sleep(30)
            finally:
                await rt.sleep(0.001)  # clean-up that takes a loop trip
                log.append(i)

        async def gatherer():
            await rt.gather(*(child(i) for i in range(3)), return_exceptions=True)

        task = rt.spawn(gatherer())
        await let_others_run(rt)
        task.cancel()
        [result] = await outcomes(rt, task)
        return sorted(log), type(result)

    assert rt.run(main()) == ([0, 1, 2], CancelledError)


def test_gather_refuses_what_is_not_awaitable(rt):
    async def main():
        with pytest.raises(TypeError):
            await rt.gather(1)

    rt.run(main())


# wait_for and timeout


def test_wait_for_returns_in_time_and_cancels_late_work(rt):
    async def main():
        log = []

        async def slow():
            try:
                await rt.sleep(30)
            finally:
                log.append("inner cleanup")

        assert await rt.wait_for(value_after(rt, "quick", 0.001), 5) == "quick"
        assert await rt.wait_for(value_after(rt, "unlimited", 0.001), None) == "unlimited"
        start = time.monotonic()
        with pytest.raises(TimeoutError):
            await rt.wait_for(slow(), 0.02)
        assert log == ["inner cleanup"]  # before TimeoutError reached us

        task = rt.spawn(slow())
        with pytest.raises(TimeoutError):
            await rt.wait_for(task, 0.02)
        assert task.cancelled()
        assert log == ["inner cleanup"] * 2
        return time.monotonic() - start

    assert rt.run(main()) < 5


def test_wait_for_with_no_time_left(rt):
    async def main():
        finished = rt.spawn(value_after(rt, "done"))
        await let_others_run(rt)
        assert await rt.wait_for(finished, 0) == "done"
        coro_ran = []

        async def quick():
            coro_ran.append(True)
            return "quick"

        with pytest.raises(TimeoutError):
            await rt.wait_for(quick(), 0)
        pending = rt.spawn(rt.sleep(30))
        with pytest.raises(TimeoutError):
            await rt.wait_for(pending, -1)
        return coro_ran, pending.cancelled()

    assert rt.run(main()) == ([], True)


def test_a_cancellation_from_outside_is_not_turned_into_timeout_error(rt):
    async def main():
        async def waiting():
            await rt.wait_for(rt.sleep(30), 10)

        async def in_block():
            async with rt.timeout(10):
                await rt.sleep(30)

        tasks = [rt.spawn(waiting()), rt.spawn(in_block())]
        await let_others_run(rt)
        for task in tasks:
            task.cancel()
        return [type(r) for r in await outcomes(rt, *tasks)]

    assert rt.run(main()) == [CancelledError, CancelledError]


def test_timeout_expiry_cancels_the_block_and_raises_timeout_error(rt):
    async def main():
        log = []
        with pytest.raises(TimeoutError):
            async with rt.timeout(0.02) as cm:
                log.append("before")
                try:
                    await rt.sleep(30)
                finally:
                    log.append("cleanup")
                log.append("after")  # never reached
        assert cm.expired()
        assert rt.current_task().cancelling() == 0

        async with rt.timeout(5) as cm:
            await rt.sleep(0.001)
        assert not cm.expired()

        with pytest.raises(TimeoutError):
            async with rt.timeout(0):
                log.append("runs until the first suspension")
                await rt.sleep(30)
        return log

    assert rt.run(main()) == ["before", "cleanup", "runs until the first suspension"]


def test_timeout_reschedule_and_nesting(rt):
    async def main():
        log = []
        with pytest.raises(TimeoutError):
            async with rt.timeout(None) as cm:
                assert cm.when() is None
                cm.reschedule(time.monotonic() + 0.02)
                await rt.sleep(30)
        async with rt.timeout(5):
            with pytest.raises(TimeoutError):
                async with rt.timeout(0.01):
                    await rt.sleep(30)
            log.append("outer goes on")
        with pytest.raises(TimeoutError):
            async with rt.timeout(0.01) as outer:
                try:
                    async with rt.timeout(5) as inner:
                        await rt.sleep(30)
                except CancelledError:
                    log.append("inner sees a cancellation")
                    raise
        assert outer.expired() and not inner.expired()
        return log

    assert rt.run(main()) == ["outer goes on", "inner sees a cancellation"]


def test_a_timeout_that_did_not_expire_leaves_nothing_behind():
    async def main():
        for _ in range(100):
            async with velkor.timeout(30):
                await velkor.sleep(0)
            await velkor.wait_for(velkor.yield_now(), 30)
        await let_others_run(velkor)  # the cancelled timers end
        return len(asyncio.get_running_loop()._velkor_tasks)

    start = time.monotonic()
    assert velkor.run(main()) == 1  # main itself
    assert time.monotonic() - start < 10  # no timer lingered for 30 s


def test_timeout_argument_and_usage_checks():
    async def bare():
        with pytest.raises(RuntimeError, match="inside a task"):
            async with velkor.timeout(1):
                pass

    _velkor.run(bare())

    async def main():
        with pytest.raises(ValueError):
            velkor.timeout(float("nan"))
        cm = velkor.timeout(1)
        with pytest.raises(RuntimeError):
            cm.reschedule(None)  # not entered yet
        async with cm:
            with pytest.raises(ValueError):
                cm.reschedule(float("nan"))
        with pytest.raises(RuntimeError):
            async with cm:
                pass

    velkor.run(main())


# Memory


class Marker:
    """Lives in a coroutine's frame; a weak reference tells when it is freed."""


def test_ended_tasks_and_their_frames_are_collected():
    # A failed or cancelled task's exception holds a traceback through the
    # frames of the task and of whoever awaited it; none of that may stay
    # alive once the run is over.
    alive = []

    def mark():
        marker = Marker()
        alive.append(weakref.ref(marker))
        return marker

    async def fail():
        _ = mark()
        raise ValueError("boom")

    async def sleeper():
        _ = mark()
        await velkor.sleep(30)

    async def main(raise_at_end):
        _ = mark()
        failed = velkor.spawn(fail())
        with pytest.raises(ValueError):
            await failed
        cancelled = velkor.spawn(sleeper())
        await velkor.yield_now()
        cancelled.cancel()
        with pytest.raises(CancelledError):
            await cancelled
        with pytest.raises(ValueError):
            await velkor.gather(fail(), sleeper())
        with pytest.raises(TimeoutError):
            await velkor.wait_for(sleeper(), 0.001)
        if raise_at_end:
            raise KeyError("main")
        return "done"

    assert velkor.run(main(False)) == "done"
    with pytest.raises(KeyError):
        velkor.run(main(True))
    gc.collect()
    assert len(alive) == 12
    assert [ref for ref in alive if ref() is not None] == []


def test_native_handle_in_its_own_outcome_is_collected():
    alive = []

    async def fail(box):
        handle = box[0]  # a frame of the traceback names the handle  # noqa: F841
        marker = Marker()
        alive.append(weakref.ref(marker))
        raise ValueError

    async def main():
        box = []
        box.append(_velkor._spawn(fail(box)))
        with pytest.raises(ValueError):
            await box[0]

    _velkor.run(main())
    gc.collect()
    assert alive and alive[0]() is None


def test_to_thread_runs_off_the_loop_with_arguments():
    import threading as _threading

    loop_thread = _threading.get_native_id()
    err = OSError("from the worker")

    def work(a, b=0):
        return a + b, _threading.get_native_id() != loop_thread

    def fail():
        raise err

    async def main():
        assert await velkor.to_thread(work, 1, b=2) == (3, True)
        with pytest.raises(OSError) as info:
            await velkor.to_thread(fail)
        assert info.value is err
        # The loop keeps running while a call blocks a worker.
        ticks = []

        async def ticker():
            for _ in range(5):
                ticks.append(1)
                await velkor.sleep(0.005)

        t = velkor.spawn(ticker())
        await velkor.to_thread(time.sleep, 0.1)
        await t
        return len(ticks)

    assert velkor.run(main()) == 5


# context variables

VAR = contextvars.ContextVar("VAR", default="unset")


def test_each_task_runs_in_its_own_copy_of_the_spawners_context(rt):
    async def child(steps):
        seen = [VAR.get()]
        VAR.set(f"child {steps}")
        for _ in range(steps):  # sibling tasks step in between
            await rt.yield_now()
            seen.append(VAR.get())
        return seen

    async def main():
        VAR.set("parent")
        first = rt.spawn(child(1))
        second = rt.spawn(child(2))
        VAR.set("set after spawn")  # the copies were taken at spawn
        results = await rt.gather(first, second)
        return results, VAR.get()

    def from_caller():
        VAR.set("caller")
        return rt.run(main()), VAR.get()

    (results, parent_after), caller_after = contextvars.Context().run(from_caller)
    assert results == [["parent", "child 1"], ["parent", "child 2", "child 2"]]
    assert parent_after == "set after spawn"
    assert caller_after == "caller"  # nor does the main task's value leak out of run()


def test_to_thread_runs_in_a_copy_of_the_callers_context(rt):
    def read_then_set(suffix=""):
        seen = VAR.get() + suffix
        VAR.set("worker")
        return seen

    async def main():
        VAR.set("caller")
        by_position = await rt.to_thread(read_then_set, "!")
        by_keyword = await rt.to_thread(read_then_set, suffix="?")
        return by_position, by_keyword, VAR.get()

    assert rt.run(main()) == ("caller!", "caller?", "caller")


def test_a_task_spawned_with_a_context_runs_in_it(rt):
    async def child():
        VAR.set("child")
        await rt.yield_now()
        return VAR.get()

    async def main():
        context = contextvars.copy_context()
        task = rt.spawn(child(), context=context)
        assert task.get_context() is context
        return await task, context[VAR], VAR.get()

    assert rt.run(main()) == ("child", "child", "unset")


def test_a_context_already_entered_is_replaced_by_a_copy_of_it():
    # The caller's context is entered for the whole run, so a task given it
    # cannot enter it again: it goes on in a copy holding the same values.
    context = contextvars.copy_context()
    context.run(VAR.set, "outer")

    async def child():
        seen = VAR.get()
        VAR.set("child")
        await velkor.yield_now()
        return seen, VAR.get()

    async def main():
        task = velkor.spawn(child(), context=context)
        return await task, task.get_context() is context, task.get_context()[VAR]

    assert context.run(velkor.run, main()) == (("outer", "child"), False, "child")
    assert context[VAR] == "outer"
