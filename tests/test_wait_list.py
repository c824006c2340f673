"""_WaitList: the line of parked tasks under the package's primitives.

What the primitives rely on: releases go to live waiters front first, a wait
that ends without a release leaves the line at once, `released()` says
whether a release reached a wait that then gave up, and a task polled
without a release keeps its place.
"""

import threading

import pytest

import _velkor
import velkor
from runtimes import let_others_run


async def park(waits, names, log):
    """One task per name, parked in that order; each logs its name once released."""
    async def waiter(name):
        await waits.wait()
        log.append(name)

    tasks = {}
    for name in names:
        tasks[name] = velkor.spawn(waiter(name))
        await let_others_run(velkor)
    return tasks


def test_cancelled_waiters_leave_no_stale_entry():
    async def main():
        waits, log = _velkor._WaitList(), []
        tasks = await park(waits, "abcde", log)
        for name in "acd":
            tasks[name].cancel()
        await let_others_run(velkor)
        left = len(waits)
        woken = [waits.wake(), waits.wake(), waits.wake()]
        await let_others_run(velkor)
        return left, woken, log, len(waits)

    assert velkor.run(main()) == (2, [1, 1, 0], ["b", "e"], 0)


@pytest.mark.parametrize("released", [False, True])
def test_released_tells_whether_a_cancelled_wait_had_been_chosen(released):
    async def main():
        waits = _velkor._WaitList()
        wait = waits.wait()

        async def waiter():
            await wait

        task = velkor.spawn(waiter())
        await let_others_run(velkor)
        if released:
            waits.wake()
        task.cancel()
        await let_others_run(velkor)
        return task.cancelled(), wait.released(), len(waits)

    assert velkor.run(main()) == (True, released, 0)


def test_a_poll_without_a_release_keeps_the_place_in_line():
    async def main():
        waits, log = _velkor._WaitList(), []
        tasks = await park(waits, "ab", log)
        for _ in range(3):
            tasks["a"]._cancel_waker(None)  # the runtime polls it for nothing
            await let_others_run(velkor)
        still = (len(waits), log[:])
        waits.wake()
        await let_others_run(velkor)
        waits.wake()
        await let_others_run(velkor)
        return still, log

    assert velkor.run(main()) == ((2, []), ["a", "b"])


@pytest.mark.parametrize("ending", ["close", "throw", "drop"])
def test_a_wait_ended_by_its_owner_leaves_the_line_at_once(ending):
    async def main():
        waits = _velkor._WaitList()
        wait = waits.wait()
        assert next(wait) == ()  # parked with this task's waker
        parked = len(waits)
        if ending == "close":
            wait.close()
        elif ending == "throw":
            with pytest.raises(KeyError):
                wait.throw(KeyError("k"))
        else:
            del wait
        return parked, len(waits), waits.wake()

    assert velkor.run(main()) == (1, 0, 0)


def test_misuse_gets_python_exceptions():
    waits = _velkor._WaitList()
    with pytest.raises(BaseException, match="runtime not initialized"):
        next(waits.wait())
    with pytest.raises(TypeError):
        waits.wake("1")
    with pytest.raises(TypeError):
        waits.wait().throw(42)
    assert (waits.wake(-3), waits.wake(2**80), len(waits)) == (0, 0, 0)

    async def main():
        wait = waits.wait()
        task = velkor.spawn(_await(wait))
        await let_others_run(velkor)
        waits.wake()
        await task
        with pytest.raises(RuntimeError, match="reuse"):
            await wait

    velkor.run(main())


async def _await(wait):
    await wait


def test_waits_and_wakes_from_two_threads_lose_nobody():
    # A thread that wakes while the loop parks and cancels: every task ends,
    # released or cancelled, and the line ends empty.
    waits, stop = _velkor._WaitList(), threading.Event()

    def waker():
        while not stop.is_set():
            waits.wake(2)
            len(waits)

    async def main():
        tasks = [velkor.spawn(_await(waits.wait())) for _ in range(200)]
        for task in tasks[::3]:
            task.cancel()
        thread = threading.Thread(target=waker)
        thread.start()
        try:
            await velkor.wait_for(velkor.gather(*tasks, return_exceptions=True), 30)
        finally:
            stop.set()
            thread.join()
        return len(waits)

    assert velkor.run(main()) == 0
