"""How the package's tasks treat what their coroutines yield, bad delays,
failures nobody retrieved, debug mode, and to_thread calls that wait on each
other.

Scenarios taking the `rt` fixture run under velkor and under asyncio, which
is the reference.
"""

import asyncio
import math
import os
import threading
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


DELAY_USES = {
    "sleep": lambda rt, delay: rt.sleep(delay),
    "wait_for": lambda rt, delay: rt.wait_for(returns_at_once(), delay),
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
