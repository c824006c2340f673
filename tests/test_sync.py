"""Lock, Event, Semaphore, BoundedSemaphore, Condition and Queue.

Each scenario runs under velkor and under asyncio (the reference): both must
give the same answers. The cancellation scenarios cancel a waiter either while
it waits or after a release already chose it but before it ran; in both cases
the primitive must stay usable and no other waiter may be left hanging (a
waiting scenario is bounded by `wait_for`, so a lost wake-up fails as a
timeout rather than a hang).
"""

import asyncio

import pytest

import _velkor
import velkor
from runtimes import let_others_run, rt  # noqa: F401  (rt is a fixture)

CancelledError = asyncio.CancelledError
BOUND = 5.0  # seconds a scenario may take before a lost wake-up is assumed


async def outcomes(rt, *tasks):
    """Waits for the tasks (bounded) and returns their results or exceptions."""
    return await rt.wait_for(rt.gather(*tasks, return_exceptions=True), BOUND)


def kinds(results):
    return [type(r).__name__ if isinstance(r, BaseException) else r for r in results]


# Lock


def test_lock_mutual_exclusion_and_fifo_order_under_100_tasks(rt):
    async def main():
        lock = rt.Lock()
        arrivals, acquisitions = [], []
        inside = max_inside = 0

        async def worker(i):
            nonlocal inside, max_inside
            await rt.sleep(0.0005 * (i % 7))  # arrive at scattered times
            arrivals.append(i)
            async with lock:
                acquisitions.append(i)
                inside += 1
                max_inside = max(max_inside, inside)
                await rt.yield_now()
                await rt.sleep(0.0002)
                inside -= 1

        await rt.wait_for(rt.gather(*(worker(i) for i in range(100))), 30)
        return arrivals, acquisitions, max_inside, lock.locked()

    arrivals, acquisitions, max_inside, locked = rt.run(main())
    assert max_inside == 1
    assert sorted(acquisitions) == list(range(100))
    # Served in the order they asked: nobody overtakes a waiting task.
    assert acquisitions == arrivals
    assert not locked


def test_lock_newcomer_queues_behind_the_waiter_chosen_by_release(rt):
    async def main():
        lock = rt.Lock()
        order = []

        async def waiter(name):
            async with lock:
                order.append(name)

        await lock.acquire()
        first = rt.spawn(waiter("first"))
        await let_others_run(rt)
        lock.release()  # chooses `first`, which has not run yet
        assert not lock.locked()
        await lock.acquire()  # the lock looks free, but `first` goes first
        order.append("newcomer")
        lock.release()
        await outcomes(rt, first)
        return order

    assert rt.run(main()) == ["first", "newcomer"]


def test_lock_release_of_an_unlocked_lock_raises(rt):
    async def main():
        lock = rt.Lock()
        with pytest.raises(RuntimeError):
            lock.release()
        async with lock:
            assert lock.locked()
        assert not lock.locked()

    rt.run(main())


@pytest.mark.parametrize("when", ["waiting", "chosen"])
def test_lock_cancelled_waiter_leaves_it_consistent(rt, when):
    async def main():
        lock = rt.Lock()
        order = []

        async def waiter(name):
            async with lock:
                order.append(name)
                await rt.yield_now()

        await lock.acquire()
        tasks = [rt.spawn(waiter(n)) for n in ("a", "b", "c")]
        await let_others_run(rt)
        if when == "waiting":
            tasks[1].cancel()
            await let_others_run(rt)
            lock.release()
        else:
            lock.release()  # chooses "a"
            tasks[0].cancel()
        results = await outcomes(rt, *tasks)
        # Usable afterwards, and nobody is left queued on it.
        await rt.wait_for(lock.acquire(), BOUND)
        lock.release()
        return kinds(results), order, lock.locked(), len(lock._waiters or ())

    results, order, locked, queued = rt.run(main())
    if when == "waiting":
        assert results == [None, "CancelledError", None]
        assert order == ["a", "c"]
    else:
        assert results == ["CancelledError", None, None]
        assert order == ["b", "c"]
    assert not locked
    assert queued == 0


# Event


def test_event_set_releases_every_waiter_and_clear_rearms(rt):
    async def main():
        event = rt.Event()
        released = []

        async def waiter(i):
            assert await event.wait() is True
            released.append(i)

        tasks = [rt.spawn(waiter(i)) for i in range(10)]
        await let_others_run(rt)
        assert released == [] and not event.is_set()
        event.set()
        event.set()  # idempotent
        await outcomes(rt, *tasks)
        first_round = list(released)
        assert await event.wait() is True  # already set: no waiting

        event.clear()
        assert not event.is_set()
        late = rt.spawn(waiter("late"))
        await let_others_run(rt)
        assert "late" not in released
        event.set()
        await outcomes(rt, late)
        return first_round, released

    first_round, released = rt.run(main())
    assert first_round == list(range(10))
    assert released[-1] == "late"


def test_event_set_then_clear_still_releases_the_current_waiters(rt):
    async def main():
        event = rt.Event()
        tasks = [rt.spawn(event.wait()) for _ in range(3)]
        await let_others_run(rt)
        event.set()
        event.clear()
        return await outcomes(rt, *tasks), event.is_set()

    assert rt.run(main()) == ([True, True, True], False)


def test_event_cancelled_waiter_leaves_it_consistent(rt):
    async def main():
        event = rt.Event()
        tasks = [rt.spawn(event.wait()) for _ in range(3)]
        await let_others_run(rt)
        tasks[0].cancel()
        await let_others_run(rt)
        event.set()
        results = await outcomes(rt, *tasks)
        return kinds(results), len(event._waiters)

    assert rt.run(main()) == (["CancelledError", True, True], 0)


# Semaphore and BoundedSemaphore


def test_semaphore_bounds_concurrency_and_serves_in_order(rt):
    async def main():
        sem = rt.Semaphore(3)
        inside = max_inside = 0
        arrivals, entries = [], []

        async def worker(i):
            nonlocal inside, max_inside
            await rt.sleep(0.0005 * (i % 5))
            arrivals.append(i)
            async with sem:
                entries.append(i)
                inside += 1
                max_inside = max(max_inside, inside)
                await rt.sleep(0.001)
                inside -= 1

        await rt.wait_for(rt.gather(*(worker(i) for i in range(40))), 30)
        # All three permits are back: three acquisitions succeed, the fourth waits.
        for _ in range(3):
            await sem.acquire()
        full = sem.locked()
        for _ in range(3):
            sem.release()
        return max_inside, arrivals, entries, full, sem.locked()

    max_inside, arrivals, entries, full, locked = rt.run(main())
    assert max_inside == 3
    assert entries == arrivals
    assert full and not locked


def test_semaphore_newcomer_queues_behind_waiters_already_served(rt):
    async def main():
        sem = rt.Semaphore(0)
        order = []

        async def waiter():
            await sem.acquire()
            order.append("waiter")

        task = rt.spawn(waiter())
        await let_others_run(rt)
        sem.release()  # hands the permit to the waiter, which has not run yet
        sem.release()  # a second permit is free
        await sem.acquire()  # yet the waiter goes first
        order.append("newcomer")
        await outcomes(rt, task)
        return order, sem.locked()

    assert rt.run(main()) == (["waiter", "newcomer"], True)


def test_semaphore_argument_checks_and_bounded_release(rt):
    async def main():
        with pytest.raises(ValueError):
            rt.Semaphore(-1)
        sem = rt.Semaphore(0)
        assert sem.locked()
        sem.release()  # an unbounded semaphore may grow
        sem.release()
        await sem.acquire()
        await sem.acquire()
        assert sem.locked()

        bounded = rt.BoundedSemaphore(2)
        await bounded.acquire()
        bounded.release()
        with pytest.raises(ValueError):
            bounded.release()
        async with bounded:
            async with bounded:
                assert bounded.locked()
        assert not bounded.locked()

    rt.run(main())


@pytest.mark.parametrize("when", ["waiting", "chosen"])
def test_semaphore_cancelled_waiter_leaves_it_consistent(rt, when):
    async def main():
        sem = rt.Semaphore(0)
        order = []

        async def waiter(name):
            async with sem:
                order.append(name)

        tasks = [rt.spawn(waiter(n)) for n in ("a", "b", "c")]
        await let_others_run(rt)
        if when == "waiting":
            tasks[1].cancel()
            await let_others_run(rt)
            sem.release()
        else:
            sem.release()  # hands the permit to "a"
            tasks[0].cancel()
        results = await outcomes(rt, *tasks)
        # Exactly the one permit released is free again.
        await rt.wait_for(sem.acquire(), BOUND)
        after = sem.locked()
        sem.release()
        return kinds(results), order, after, len(sem._waiters or ())

    results, order, locked_after_one, queued = rt.run(main())
    if when == "waiting":
        assert results == [None, "CancelledError", None]
        assert order == ["a", "c"]
    else:
        assert results == ["CancelledError", None, None]
        assert order == ["b", "c"]
    assert locked_after_one
    assert queued == 0


# Condition


def test_condition_notify_wakes_waiters_in_order(rt):
    async def main():
        cond = rt.Condition()
        woken = []

        async def waiter(i):
            async with cond:
                assert await cond.wait() is True
                assert cond.locked()
                woken.append(i)

        tasks = [rt.spawn(waiter(i)) for i in range(5)]
        await let_others_run(rt)
        async with cond:
            cond.notify()
        await let_others_run(rt)
        one = list(woken)
        async with cond:
            cond.notify(2)
        await let_others_run(rt)
        three = list(woken)
        async with cond:
            cond.notify(0.5)  # any number: wakes while the count is below it
        await let_others_run(rt)
        four = list(woken)
        async with cond:
            cond.notify_all()
        await outcomes(rt, *tasks)
        return one, three, four, woken

    assert rt.run(main()) == ([0], [0, 1, 2], [0, 1, 2, 3], [0, 1, 2, 3, 4])


def test_condition_wait_for_predicate_and_lock_checks(rt):
    async def main():
        cond = rt.Condition(rt.Lock())
        items = []
        with pytest.raises(RuntimeError):
            await cond.wait()
        with pytest.raises(RuntimeError):
            cond.notify()

        async def consumer():
            async with cond:
                return await cond.wait_for(lambda: len(items) >= 3 and list(items))

        task = rt.spawn(consumer())
        for i in range(3):
            await rt.sleep(0.001)
            async with cond:
                items.append(i)
                cond.notify_all()
        return await rt.wait_for(task, BOUND)

    assert rt.run(main()) == [0, 1, 2]


@pytest.mark.parametrize("when", ["waiting", "chosen"])
def test_condition_cancelled_waiter_reacquires_and_passes_notification_on(rt, when):
    async def main():
        cond = rt.Condition()
        events = []

        async def waiter(name):
            async with cond:
                try:
                    await cond.wait()
                except CancelledError:
                    # The lock is held again before the cancellation surfaces.
                    events.append((name, "cancelled", cond.locked()))
                    raise
                events.append((name, "notified"))

        tasks = [rt.spawn(waiter(n)) for n in ("a", "b")]
        await let_others_run(rt)
        if when == "waiting":
            tasks[0].cancel()
            await let_others_run(rt)
            async with cond:
                cond.notify(1)
        else:
            async with cond:
                cond.notify(1)  # chooses "a"
                tasks[0].cancel()
        results = await outcomes(rt, *tasks)
        return kinds(results), events, cond.locked()

    results, events, locked = rt.run(main())
    assert results == ["CancelledError", None]
    assert events == [("a", "cancelled", True), ("b", "notified")]
    assert not locked


# Queue


def test_queue_producers_and_consumers_move_10000_items_exactly_once(rt):
    producers, per_producer, consumers = 4, 2500, 3

    async def main():
        queue = rt.Queue(maxsize=16)
        taken = []
        max_size = 0

        async def produce(p):
            nonlocal max_size
            for i in range(per_producer):
                await queue.put((p, i))
                max_size = max(max_size, queue.qsize())

        async def consume():
            while True:
                item = await queue.get()
                taken.append(item)
                queue.task_done()

        workers = [rt.spawn(consume()) for _ in range(consumers)]
        await rt.wait_for(rt.gather(*(produce(p) for p in range(producers))), 60)
        await rt.wait_for(queue.join(), 60)
        for w in workers:
            w.cancel()
        await outcomes(rt, *workers)
        return taken, max_size, queue.empty()

    taken, max_size, empty = rt.run(main())
    assert len(taken) == producers * per_producer
    assert set(taken) == {(p, i) for p in range(producers) for i in range(per_producer)}
    for p in range(producers):  # FIFO: each producer's items come out in order
        assert [i for q, i in taken if q == p] == list(range(per_producer))
    assert max_size <= 16
    assert empty


def test_queue_nowait_operations_sizes_and_task_done(rt):
    async def main():
        queue = rt.Queue(maxsize=2)
        assert (queue.maxsize, queue.qsize(), queue.empty(), queue.full()) == (2, 0, True, False)
        with pytest.raises(asyncio.QueueEmpty):
            queue.get_nowait()
        queue.put_nowait("a")
        queue.put_nowait("b")
        assert (queue.qsize(), queue.empty(), queue.full()) == (2, False, True)
        with pytest.raises(asyncio.QueueFull):
            queue.put_nowait("c")
        assert [queue.get_nowait(), await queue.get()] == ["a", "b"]

        joined = rt.spawn(queue.join())
        await let_others_run(rt)
        assert not joined.done()  # two items taken, none marked done
        queue.task_done()
        await let_others_run(rt)
        assert not joined.done()
        queue.task_done()
        await rt.wait_for(joined, BOUND)
        with pytest.raises(ValueError):
            queue.task_done()

        unbounded = rt.Queue()
        for i in range(1000):
            unbounded.put_nowait(i)
        assert not unbounded.full() and unbounded.qsize() == 1000

    rt.run(main())


@pytest.mark.parametrize("when", ["waiting", "chosen"])
def test_queue_cancelled_getter_leaves_the_item_for_the_next(rt, when):
    async def main():
        queue = rt.Queue()
        tasks = [rt.spawn(queue.get()) for _ in range(3)]
        await let_others_run(rt)
        if when == "waiting":
            tasks[0].cancel()
            await let_others_run(rt)
            queue.put_nowait("x")
        else:
            queue.put_nowait("x")  # wakes the first getter
            tasks[0].cancel()
        # The second getter gets "x" without another put.
        results = await outcomes(rt, *tasks[:2])
        queue.put_nowait("y")
        results.append(await rt.wait_for(tasks[2], BOUND))
        return kinds(results), queue.qsize(), len(queue._getters)

    assert rt.run(main()) == (["CancelledError", "x", "y"], 0, 0)


@pytest.mark.parametrize("when", ["waiting", "chosen"])
def test_queue_cancelled_putter_leaves_the_slot_for_the_next(rt, when):
    async def main():
        queue = rt.Queue(maxsize=1)
        queue.put_nowait("first")
        tasks = [rt.spawn(queue.put(n)) for n in ("a", "b")]
        await let_others_run(rt)
        if when == "waiting":
            tasks[0].cancel()
            await let_others_run(rt)
            got = queue.get_nowait()
        else:
            got = queue.get_nowait()  # wakes the first putter
            tasks[0].cancel()
        results = await outcomes(rt, *tasks)
        return got, kinds(results), queue.get_nowait(), queue.empty(), len(queue._putters)

    assert rt.run(main()) == ("first", ["CancelledError", None], "b", True, 0)


# velkor only


def test_primitives_work_without_task_objects():
    # The bare runtime drives a root coroutine and `_spawn`ed coroutines
    # without task objects; the primitives only need a task to park.
    async def holder(lock, queue, log):
        async with lock:
            log.append("holder in")
            await _velkor.sleep(0.01)
            log.append("holder out")
        await queue.put("from holder")

    async def main():
        lock, queue, log = velkor.Lock(), velkor.Queue(1), []
        handle = _velkor._spawn(holder(lock, queue, log))
        await velkor.yield_now()
        async with lock:
            log.append("root in")
        log.append(await queue.get())
        await handle
        return log

    assert _velkor.run(main()) == ["holder in", "holder out", "root in", "from holder"]


def test_waiting_on_another_event_loop_is_refused_cleanly():
    async def main():
        event = velkor.Event()
        with pytest.raises(BaseException, match="velkor runtime not initialized"):
            await event.wait()
        return len(event._waiters)

    assert asyncio.run(main()) == 0


async def _park_lock(lock):
    async with lock:
        pass


@pytest.mark.parametrize("primitive", ["lock", "event", "semaphore", "condition", "get", "put"])
def test_a_waiter_woken_without_a_release_keeps_waiting(primitive):
    # The runtime may poll a parked task for reasons of its own; a waiter
    # must then look at the primitive again and park again.
    async def main():
        lock, event, sem = velkor.Lock(), velkor.Event(), velkor.Semaphore(0)
        cond, queue = velkor.Condition(), velkor.Queue(1)
        await lock.acquire()
        queue.put_nowait("full")

        async def in_condition():
            async with cond:
                await cond.wait()

        waits = {
            "lock": lambda: _park_lock(lock),
            "event": event.wait,
            "semaphore": sem.acquire,
            "condition": in_condition,
            "get": lambda: velkor.Queue().get(),
            "put": lambda: queue.put("more"),
        }
        task = velkor.spawn(waits[primitive]())
        await let_others_run(velkor)
        for _ in range(3):
            task._cancel_waker(None)  # a wake-up that releases nothing
            await let_others_run(velkor)
        assert not task.done()
        task.cancel()
        await outcomes(velkor, task)
        return task.cancelled()

    assert velkor.run(main())
