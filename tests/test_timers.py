"""Timers and wake-ups: deadline order, an idle loop woken from other
threads, and wakers that outlive their run."""

import asyncio
import ctypes
import os
import random
import threading
import time
import types

import pytest

import _velkor
import velkor


@types.coroutine
def park():
    """Suspends the task once; something else must wake it."""
    yield ()


class Handoff:
    """A minimal future: the runtime hooks its wake-up callback onto
    add_done_callback, and a resolver on any thread calls it."""

    def __init__(self):
        self.callbacks = []
        self.result = None
        self.done = False

    def add_done_callback(self, callback):
        self.callbacks.append(callback)

    def resolve(self, value):
        self.result = value
        self.done = True
        for callback in self.callbacks:
            callback(self)

    def __await__(self):
        while not self.done:
            yield self
        return self.result


def timed_sleeps(delays):
    """A sleep per delay, each with the window its deadline must lie in: the
    deadline is fixed when the sleep is made, somewhere between the clock
    readings before and after."""
    sleeps = []
    for delay in delays:
        before = time.monotonic()
        sleep = _velkor.sleep(delay)
        sleeps.append((delay, sleep, before + delay, time.monotonic() + delay))
    return sleeps


def assert_woken_in_deadline_order(sleeps, woken):
    """Every pair whose deadline windows do not overlap woke in deadline
    order. A stalled machine widens the windows (fewer pairs are checked)
    instead of making the check fail."""
    position = {delay: i for i, delay in enumerate(woken)}
    assert sorted(position) == sorted(delay for delay, *_ in sleeps)
    checked = 0
    for a, _, _, a_latest in sleeps:
        for b, _, b_earliest, _ in sleeps:
            if a_latest < b_earliest:
                checked += 1
                assert position[a] < position[b], (a, b, woken)
    # On any machine most pairs are apart by far more than a stall.
    assert checked >= len(sleeps) * (len(sleeps) - 1) // 4


@pytest.mark.parametrize("delays", [
    [0.3, 0.1, 0.2],
    random.Random(7).sample([i * 0.004 for i in range(40)], 40),
], ids=["three", "forty-shuffled"])
def test_timers_fire_in_deadline_order(delays):
    woken = []

    async def sleeper(delay, sleep):
        await sleep
        woken.append(delay)

    async def main():
        sleeps = timed_sleeps(delays)
        handles = [_velkor._spawn(sleeper(delay, sleep)) for delay, sleep, *_ in sleeps]
        for handle in handles:
            await handle
        return sleeps

    assert_woken_in_deadline_order(_velkor.run(main()), woken)


def test_one_deadline_shared_by_several_tasks():
    woken = []
    shared = _velkor.sleep(0.02)

    async def sleeper(name):
        await shared
        woken.append(name)

    async def main():
        handles = [_velkor._spawn(sleeper(n)) for n in "abc"]
        for handle in handles:
            await handle

    _velkor.run(main())
    assert sorted(woken) == ["a", "b", "c"]


def test_idle_loop_is_woken_by_a_waker_queue_from_another_thread():
    queue = _velkor.PyWakerQueue()
    parked = threading.Event()

    def waker():
        parked.wait(5)
        time.sleep(0.3)
        queue.wake_one()

    async def main():
        queue.store_waker()
        parked.set()
        started = time.monotonic()
        await park()
        return time.monotonic() - started

    t = threading.Thread(target=waker)
    t.start()
    try:
        waited = _velkor.run(main())
    finally:
        t.join()
    assert 0.25 <= waited < 3.0
    assert queue.len() == 0


def test_task_waker_callback_called_from_another_thread():
    handoff = Handoff()

    def resolver():
        time.sleep(0.1)
        handoff.resolve("from the thread")

    resolver_thread = threading.Thread(target=resolver)

    async def main():
        resolver_thread.start()
        return await handoff

    assert _velkor.run(main()) == "from the thread"
    resolver_thread.join()
    assert [type(cb).__name__ for cb in handoff.callbacks] == ["TaskWakerCallback"]


def test_asyncio_future_resolved_on_an_asyncio_loop_thread():
    aloop = asyncio.new_event_loop()
    runner = threading.Thread(target=aloop.run_forever)
    runner.start()
    try:
        future = aloop.create_future()

        async def main():
            return await future

        resolver = threading.Timer(0.1, aloop.call_soon_threadsafe, (future.set_result, 7))
        resolver.start()
        assert _velkor.run(main()) == 7
        resolver.join()
    finally:
        aloop.call_soon_threadsafe(aloop.stop)
        runner.join()
        aloop.close()


def eventfds():
    found = set()
    for fd in os.listdir("/proc/self/fd"):
        try:
            if os.readlink(f"/proc/self/fd/{fd}") == "anon_inode:[eventfd]":
                found.add(int(fd))
        except OSError:
            pass
    return found


def test_late_wakes_after_run_do_nothing():
    handoff = Handoff()
    queue = _velkor.PyWakerQueue()
    before = eventfds()
    during = set()

    resolver = threading.Timer(0.02, handoff.resolve, ("resolved",))

    async def main():
        resolver.start()
        assert await handoff == "resolved"
        queue.store_waker()  # kept by the queue after the run ends
        during.update(eventfds() - before)
        return "first"

    assert _velkor.run(main()) == "first"
    resolver.join()
    [callback] = handoff.callbacks
    assert queue.len() == 1
    [wake_fd] = during
    assert not os.path.exists(f"/proc/self/fd/{wake_fd}")

    # The loop's eventfd number now belongs to the write end of a pipe: a
    # late wake must not write into it.
    r, w = os.pipe()
    os.set_blocking(r, False)
    if r == wake_fd:  # keep the number for the write end
        r, old = os.dup(r), r
        os.close(old)
        os.set_blocking(r, False)
    if w != wake_fd:  # unless the pipe took the number by itself
        os.dup2(w, wake_fd)
    try:
        assert callback(None) is None
        t = threading.Thread(target=callback, args=(None,))
        t.start()
        t.join()
        queue.wake_one()
        assert queue.len() == 0
        try:
            data = os.read(r, 64)
        except BlockingIOError:
            data = b""
        assert data == b""
    finally:
        for fd in {wake_fd, r, w}:
            os.close(fd)

    # A later run is not disturbed by the stale wakers.
    async def second():
        await _velkor.sleep(0.01)
        return "second"

    assert _velkor.run(second()) == "second"
    callback(None)


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks",
        "uordblks", "fordblks", "keepcost")]


def malloc_in_use():
    """Bytes the C allocator has handed out (timer entries and wakers live
    there, not in Python's object arenas)."""
    libc = ctypes.CDLL(None)
    libc.mallinfo2.restype = _MallInfo2
    info = libc.mallinfo2()
    return info.uordblks + info.hblkhd


async def limits_that_end_early(n):
    for _ in range(n):
        async with velkor.timeout(3600):
            await velkor.yield_now()


async def a_sleep_woken_early_again_and_again(n):
    sleeper = velkor.spawn(velkor.sleep(3600))
    await velkor.yield_now()
    for _ in range(n):
        sleeper._cancel_waker(None)  # a stray wake: the sleep parks again
        await velkor.yield_now()
    sleeper.cancel()
    try:
        await sleeper
    except velkor.CancelledError:
        pass


@pytest.mark.parametrize("churn", [limits_that_end_early, a_sleep_woken_early_again_and_again])
def test_withdrawn_sleep_timers_do_not_accumulate(churn):
    # Each round leaves a far-off timer behind unless the ended (or re-parked)
    # sleep withdraws it; about 80 bytes of entry and waker per round.
    before = malloc_in_use()
    probe = bytearray(4_000_000)
    if malloc_in_use() - before < 3_000_000:
        pytest.skip("this allocator keeps no malloc statistics")
    del probe

    async def main():
        await churn(2_000)  # warm-up: caches and free lists settle
        start = malloc_in_use()
        await churn(20_000)
        return malloc_in_use() - start

    assert velkor.run(main()) < 400_000
