"""How the package's tasks treat what their coroutines yield, bad delays,
failures nobody retrieved, debug mode, and to_thread calls that wait on each
other.

Scenarios taking the `rt` fixture run under velkor and under asyncio, which
is the reference.
"""

import asyncio
import math
import types

import pytest

import velkor
from runtimes import rt  # noqa: F401  (rt is a fixture)


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
