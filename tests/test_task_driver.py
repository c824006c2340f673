"""How the package's tasks treat what their coroutines yield, extreme delays,
failures nobody retrieved, debug mode, and to_thread calls that wait on each
other. Scenarios taking `rt` run under velkor and under asyncio (the
reference)."""

import asyncio
import gc
import logging
import math
import os
import re
import sys
import threading
import time
import types

import pytest

import velkor
from conftest import native_threads, settle
from runtimes import ASYNCIO, VELKOR, rt  # noqa: F401  (rt is a fixture)


@types.coroutine
def bare_yield(value=None):
    return (yield value)


def test_a_bare_yield_lets_every_other_ready_task_step_first(rt):
    async def looper(order, name, steps=3):
        for i in range(steps):
            order.append(f"{name}{i}")
            await asyncio.sleep(0)  # a bare yield, whatever the loop

    async def main():
        order = []
        tasks = [rt.spawn(looper(order, "a")), rt.spawn(looper(order, "b")),
                 rt.spawn(looper(order, "t", 1))]
        await rt.gather(*tasks)
        return order

    assert rt.run(main()) == ["a0", "b0", "t0", "a1", "b1", "a2", "b2"]


@pytest.mark.parametrize("bad", [42, "x", [()], b"not empty", (1,)], ids=repr)
def test_a_bad_yield_raises_into_the_coroutine_each_time(rt, bad):
    async def yields_badly():
        seen = []
        for _ in range(2):  # caught, then the same mistake again
            try:
                await bare_yield(bad)
            except RuntimeError as exc:
                seen.append(str(exc))
        return seen

    assert rt.run(yields_badly()) == [f"Task got bad yield: {bad!r}"] * 2


def meet_at_barrier(rt, parties):
    """The parties' arrival indices, once the threads started for them end."""
    threads_before = native_threads()

    async def main():
        barrier = threading.Barrier(parties, timeout=20)
        return await rt.gather(*(rt.to_thread(barrier.wait) for _ in range(parties)))

    arrivals = sorted(rt.run(main()))
    assert settle(lambda: native_threads() <= threads_before, timeout=10)
    return arrivals


def test_to_thread_calls_waiting_on_each_other_all_run(rt):
    assert meet_at_barrier(rt, 5) == list(range(5))


def test_to_thread_grows_past_asyncios_thread_limit():
    parties = min(32, (os.cpu_count() or 1) + 4) + 2  # asyncio's executor would hang
    assert meet_at_barrier(VELKOR, parties) == list(range(parties))


async def in_timeout(rt, delay):
    async with rt.timeout(delay):
        await rt.sleep(0.01)


async def nothing():
    pass


async def wait_for_nothing(rt, delay):
    return await rt.wait_for(rt.spawn(nothing()), delay)


DELAY_USES = {"sleep": lambda rt, delay: rt.sleep(delay), "wait_for": wait_for_nothing,
              "timeout": in_timeout}


def delay_outcome(rt, use, delay):
    """Within 0.2 s: the result, the exception's type name, or "running"."""
    async def main():
        try:
            task = rt.spawn(DELAY_USES[use](rt, delay))
        except ValueError as exc:
            return type(exc).__name__
        await rt.sleep(0.2)
        if task.cancel():
            return "running"
        return type(task.exception() or task.result()).__name__

    return rt.run(main())


@pytest.mark.parametrize("use", sorted(DELAY_USES))
@pytest.mark.parametrize("delay", [-1, -math.inf, 0, 1e-9, math.inf, 1e300, 10**400, -10**400],
                         ids=lambda d: str(d)[:12])
def test_extreme_delays_behave_as_in_asyncio(use, delay):
    assert delay_outcome(VELKOR, use, delay) == delay_outcome(ASYNCIO, use, delay)


@pytest.mark.parametrize("use", sorted(DELAY_USES))
def test_a_nan_delay_is_refused(use):
    assert delay_outcome(VELKOR, use, math.nan) == "ValueError"


async def fails():
    raise ValueError("nobody looked")


async def expect_value_error(aw):
    with pytest.raises(ValueError):
        await aw


async def result_of(task):
    return task.result()


async def exception_of(task):
    return task.exception()


RETRIEVALS = {
    "ignored": None,
    "awaited": expect_value_error,
    "result": lambda task: expect_value_error(result_of(task)),
    "exception": exception_of,
    "gather": lambda task: expect_value_error(velkor.gather(task)),
    "gather returning it": lambda task: velkor.gather(task, return_exceptions=True),
    "cancelled": "cancel",
}


def never_retrieved_logs(caplog, retrieval, debug=False):
    async def main():
        task = velkor.spawn(fails() if retrieval != "cancelled" else velkor.sleep(10))
        await velkor.sleep(0.01)
        if retrieval == "cancelled":
            task.cancel()
        elif RETRIEVALS[retrieval]:
            await RETRIEVALS[retrieval](task)

    with caplog.at_level(logging.ERROR, logger="velkor"):
        velkor.run(main(), debug=debug)
        gc.collect()
    return [r for r in caplog.records if r.name == "velkor"]


@pytest.mark.parametrize("retrieval", sorted(RETRIEVALS))
def test_only_a_failure_nobody_retrieved_is_logged_with_its_traceback(caplog, retrieval):
    records = never_retrieved_logs(caplog, retrieval)
    if retrieval != "ignored":
        assert records == []
        return
    (record,) = records
    assert record.levelno == logging.ERROR
    assert re.match(r"Task exception was never retrieved\nfuture: <velkor Task finished "
                    r"name='Task-\d+' coro=<fails\(\) done, defined at .*> "
                    r"exception=ValueError\('nobody looked'\)>$",
                    record.getMessage())
    exc_type, exc, tb = record.exc_info
    assert exc_type is ValueError and tb.tb_next is not None  # down to fails()


def test_debug_mode_shows_where_a_never_retrieved_task_was_spawned(caplog):
    (record,) = never_retrieved_logs(caplog, "ignored", debug=True)
    assert "created at" in record.getMessage() and "in main\n" in record.getMessage()


async def blocks(seconds):
    time.sleep(seconds)


async def blocks_the_loop_twice():
    await velkor.spawn(blocks(0.15))
    asyncio.get_running_loop().slow_callback_duration = 10
    await velkor.spawn(blocks(0.15))  # under the raised threshold
    return repr(velkor.spawn(blocks(0)))


@pytest.mark.parametrize("how", ["argument", "environment", "off"])
def test_debug_mode_logs_a_step_that_blocked_the_loop(caplog, monkeypatch, how):
    monkeypatch.setenv("VELKOR_DEBUG", "1" if how == "environment" else "")
    with caplog.at_level(logging.WARNING, logger="velkor"):
        task_repr = velkor.run(blocks_the_loop_twice(), debug=True if how == "argument" else None)
    warnings = [r.getMessage() for r in caplog.records if r.name == "velkor"]
    if how == "off":
        assert warnings == [] and "created at" not in task_repr
        return
    (warning,) = warnings
    assert re.fullmatch(r"Executing <velkor Task pending name='Task-\d+' coro=<blocks\(\) .*> created at "
                        r".*test_task_driver\.py:\d+> took 0\.\d{3} seconds", warning)


def test_debug_mode_tracks_coroutine_origins_for_the_run_only(recwarn):
    async def forgotten():
        pass

    async def main():
        forgotten()
        return sys.get_coroutine_origin_tracking_depth()

    before = sys.get_coroutine_origin_tracking_depth()
    assert velkor.run(main(), debug=True) > 0
    assert sys.get_coroutine_origin_tracking_depth() == before
    gc.collect()
    (warning,) = [str(w.message) for w in recwarn if "never awaited" in str(w.message)]
    assert "Coroutine created at" in warning and "in main" in warning


def test_debug_mode_steps_keep_outcomes_and_cancellation():
    async def cleans_up():
        try:
            await velkor.sleep(10)
        except asyncio.CancelledError:
            await asyncio.sleep(0)
            return "cleaned up"

    async def main():
        task = velkor.spawn(cleans_up())
        await velkor.sleep(0.01)
        task.cancel()
        await expect_value_error(velkor.spawn(fails()))
        return await task

    assert velkor.run(main(), debug=True) == "cleaned up"
