"""How the package's tasks treat what their coroutines yield, bad delays,
failures nobody retrieved, debug mode, and to_thread calls that wait on each
other.

Scenarios taking the `rt` fixture run under velkor and under asyncio, which
is the reference.
"""

import asyncio
import gc
import logging
import math
import os
import re
import sys
import threading
import time
import traceback
import types

import pytest

import velkor
from conftest import native_threads, settle
from runtimes import ASYNCIO, VELKOR, rt  # noqa: F401  (rt is a fixture)


@types.coroutine
def bare_yield(value=None):
    return (yield value)


def test_a_bare_yield_lets_every_other_ready_task_step_first(rt):
    async def main():
        order = []

        async def looper(name):
            for i in range(3):
                order.append(f"{name}{i}")
                await asyncio.sleep(0)  # a bare yield, whatever the loop

        async def once():
            order.append("t")

        tasks = [rt.spawn(looper("a")), rt.spawn(looper("b")), rt.spawn(once())]
        for task in tasks:
            await task
        return order

    assert rt.run(main()) == ["a0", "b0", "t", "a1", "b1", "a2", "b2"]


@pytest.mark.parametrize("bad", [42, "x", [()], b"not empty", (1,)], ids=repr)
def test_a_bad_yield_raises_into_the_coroutine_and_others_go_on(rt, bad):
    async def main():
        seen = []

        async def yields_badly():
            for _ in range(2):  # caught, then the same mistake again
                try:
                    await bare_yield(bad)
                except RuntimeError as exc:
                    seen.append(str(exc))
            return "recovered"

        async def neighbour():
            await asyncio.sleep(0)
            seen.append("neighbour")

        first, second = rt.spawn(yields_badly()), rt.spawn(neighbour())
        return await first, await second, seen

    result, _, seen = rt.run(main())
    assert result == "recovered"
    assert seen.count(f"Task got bad yield: {bad!r}") == 2
    assert "neighbour" in seen


def meet_at_barrier(rt, parties):
    """The parties' arrival indices; the threads started for them have ended."""
    threads_before = native_threads()

    async def main():
        barrier = threading.Barrier(parties, timeout=20)
        return await rt.gather(*(rt.to_thread(barrier.wait) for _ in range(parties)))

    arrivals = sorted(rt.run(main()))
    assert settle(lambda: native_threads() <= threads_before, timeout=10)
    return arrivals


def test_to_thread_calls_waiting_on_each_other_all_run(rt):
    assert meet_at_barrier(rt, 5) == list(range(5))


def test_to_thread_grows_past_any_fixed_number_of_threads():
    # asyncio's default executor has min(32, cpus + 4) threads; velkor has no
    # such limit, so more parties than that still meet.
    parties = min(32, (os.cpu_count() or 1) + 4) + 2
    assert meet_at_barrier(velkor, parties) == list(range(parties))


def test_a_cancelled_to_thread_await_abandons_the_result():
    release = threading.Event()

    async def main():
        task = velkor.spawn(velkor.to_thread(release.wait, 20))
        await velkor.sleep(0.01)
        task.cancel()
        try:
            await task
        except asyncio.CancelledError:
            return "cancelled"
        finally:
            release.set()

    assert velkor.run(main()) == "cancelled"


async def block_in_timeout(rt, delay):
    async with rt.timeout(delay):
        await rt.sleep(0.01)
    return "done"


async def returns_at_once():
    return "done"


async def wait_for_at_once(rt, delay):
    coro = returns_at_once()
    try:
        return await rt.wait_for(coro, delay)
    finally:
        coro.close()  # never started when the delay was refused


DELAY_USES = {
    "sleep": lambda rt, delay: rt.sleep(delay),
    "wait_for": wait_for_at_once,
    "timeout": block_in_timeout,
}


def delay_outcome(rt, use, delay):
    """What awaiting the use of `delay` gives within 0.2 s: its result, the
    type of its exception, or "running"."""
    async def main():
        try:
            task = rt.spawn(DELAY_USES[use](rt, delay))
        except Exception as exc:
            return type(exc).__name__
        await rt.sleep(0.2)
        if not task.done():
            task.cancel()
            return "running"
        return task.result() if task.exception() is None else type(task.exception()).__name__

    return rt.run(main())


@pytest.mark.parametrize("use", sorted(DELAY_USES))
@pytest.mark.parametrize("delay", [-1, -math.inf, 0, 1e-9, math.inf, 1e300, 10**400, -10**400],
                         ids=lambda d: str(d)[:12])
def test_extreme_delays_behave_as_in_asyncio(use, delay):
    assert delay_outcome(VELKOR, use, delay) == delay_outcome(ASYNCIO, use, delay)


@pytest.mark.parametrize("use", sorted(DELAY_USES))
def test_a_nan_delay_is_refused(use):
    assert delay_outcome(VELKOR, use, math.nan) == "ValueError"


# Failures nobody retrieved


async def fails():
    raise ValueError("nobody looked")


async def leave_failed_task(retrieve):
    task = velkor.spawn(fails())
    await velkor.sleep(0.01)
    await retrieve(task)


async def ignore(task):
    pass


async def await_it(task):
    with pytest.raises(ValueError):
        await task


async def call_result(task):
    with pytest.raises(ValueError):
        task.result()


async def call_exception(task):
    assert isinstance(task.exception(), ValueError)


async def gather_it(task):
    with pytest.raises(ValueError):
        await velkor.gather(task)


async def gather_returning_it(task):
    assert isinstance((await velkor.gather(task, return_exceptions=True))[0], ValueError)


def never_retrieved_records(caplog, retrieve):
    with caplog.at_level(logging.ERROR, logger="velkor"):
        velkor.run(leave_failed_task(retrieve))
        gc.collect()
    return [r for r in caplog.records if "never retrieved" in r.getMessage()]


def test_a_failure_nobody_retrieved_is_logged_with_its_traceback(caplog):
    (record,) = never_retrieved_records(caplog, ignore)
    assert record.name == "velkor"
    assert record.levelno == logging.ERROR
    message = record.getMessage()
    assert message.startswith("Task exception was never retrieved\nfuture: <velkor Task failed")
    assert "coro=<fails()>" in message
    exc = record.exc_info[1]
    assert isinstance(exc, ValueError) and str(exc) == "nobody looked"
    assert any(frame.name == "fails" for frame in traceback.extract_tb(record.exc_info[2]))


@pytest.mark.parametrize("retrieve", [await_it, call_result, call_exception, gather_it,
                                      gather_returning_it], ids=lambda f: f.__name__)
def test_a_retrieved_failure_is_not_logged(caplog, retrieve):
    assert never_retrieved_records(caplog, retrieve) == []


def test_cancelled_and_finished_tasks_are_not_logged(caplog):
    async def main():
        cancelled = velkor.spawn(velkor.sleep(10))
        finished = velkor.spawn(velkor.sleep(0))
        await velkor.sleep(0.01)
        cancelled.cancel()

    with caplog.at_level(logging.ERROR, logger="velkor"):
        velkor.run(main())
        gc.collect()
    assert caplog.records == []


# Debug mode


async def blocks_the_loop(seconds):
    time.sleep(seconds)


def slow_step_warnings(caplog, **run_kwargs):
    async def main():
        await velkor.spawn(blocks_the_loop(0.15))
        asyncio.get_running_loop().slow_callback_duration = 10
        await velkor.spawn(blocks_the_loop(0.15))  # under the raised threshold

    with caplog.at_level(logging.WARNING, logger="velkor"):
        velkor.run(main(), **run_kwargs)
    return [r.getMessage() for r in caplog.records if r.name == "velkor"]


@pytest.mark.parametrize("how", ["argument", "environment"])
def test_debug_mode_logs_a_step_that_blocked_the_loop(caplog, monkeypatch, how):
    if how == "environment":
        monkeypatch.setenv("VELKOR_DEBUG", "1")
        warnings = slow_step_warnings(caplog)
    else:
        warnings = slow_step_warnings(caplog, debug=True)
    (warning,) = warnings
    assert re.fullmatch(r"Executing <velkor Task \w+ coro=<blocks_the_loop\(\)> "
                        r"created at .*test_task_driver\.py:\d+> took 0\.\d{3} seconds", warning)


def test_without_debug_mode_nothing_is_timed_or_recorded(caplog, monkeypatch):
    monkeypatch.delenv("VELKOR_DEBUG", raising=False)
    assert slow_step_warnings(caplog) == []
    assert slow_step_warnings(caplog, debug=False) == []

    async def main():
        return repr(velkor.spawn(returns_at_once()))

    assert "created at" not in velkor.run(main())


def test_debug_mode_tracks_where_coroutines_were_made_for_the_run_only(recwarn):
    async def forgotten():
        pass

    async def main():
        forgotten()  # never awaited
        return sys.get_coroutine_origin_tracking_depth()

    before = sys.get_coroutine_origin_tracking_depth()
    assert velkor.run(main(), debug=True) > 0
    assert sys.get_coroutine_origin_tracking_depth() == before
    gc.collect()
    (warning,) = [w for w in recwarn if "never awaited" in str(w.message)]
    assert "Coroutine created at" in str(warning.message)
    assert "in main" in str(warning.message)


def test_debug_mode_keeps_the_outcome_and_cancellation_of_every_step():
    async def child():
        try:
            await velkor.sleep(10)
        except asyncio.CancelledError:
            await velkor.sleep(0)
            return "cleaned up"

    async def main():
        task = velkor.spawn(child())
        await velkor.sleep(0.01)
        task.cancel()
        with pytest.raises(KeyError):
            await velkor.spawn(fail_with(KeyError("k")))
        return await task, await velkor.spawn(returns_at_once())

    assert velkor.run(main(), debug=True) == ("cleaned up", "done")


async def fail_with(exc):
    await velkor.sleep(0)
    raise exc


def test_debug_mode_shows_the_spawn_site_of_a_failure_nobody_retrieved(caplog):
    with caplog.at_level(logging.ERROR, logger="velkor"):
        velkor.run(leave_failed_task(ignore), debug=True)
        gc.collect()
    (record,) = [r for r in caplog.records if "never retrieved" in r.getMessage()]
    assert "source_traceback: Object created at (most recent call last):" in record.getMessage()
    assert "in leave_failed_task" in record.getMessage()
