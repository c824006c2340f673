"""Parking a task until something releases it.

`Waiter` is a one-shot release for a single parked task (a task group waits
on one for its tasks to end); the locks and queues park in line on a native
`_WaitList` instead. `yield_once` lets every other runnable task go first.
"""

from __future__ import annotations

import types
from collections.abc import Generator
from typing import Any

from _velkor import PyWakerQueue

__all__ = ["PENDING", "Waiter", "yield_once"]

# What a parked awaitable hands to the coroutine driver. It must not be None
# (a None yield is re-sent at once instead of suspending the task) and must
# have no `add_done_callback` (the driver would hook a wake-up onto it).
PENDING: tuple[()] = ()

_yield_queue = PyWakerQueue()


class Waiter:
    """A one-shot release for one parked task.

    The waiting task awaits the waiter; another task (or the primitive on its
    behalf) calls `set()`, which marks it done and wakes the task.

    Each waiter owns a waker queue of its own instead of sharing one queue per
    primitive. A task that stops waiting (it was cancelled, or woken by
    something else) cannot take its waker back out of a queue; in a shared
    queue that stale waker would sit in front of the real waiters, a later
    `wake_one` would be spent on it, and in a primitive that is rarely
    released such wakers would pile up. A private queue goes away with its
    waiter, wakers and all, so the primitive decides in Python which waiter a
    release goes to.

    The runtime may poll a task that nothing released (its cancel waker, a
    stale waker elsewhere), so the await re-checks `done` every time the task
    runs and parks again if it is not set.
    """

    __slots__ = ("_queue", "done")

    def __init__(self) -> None:
        self._queue = PyWakerQueue()
        self.done = False

    def set(self) -> None:
        """Marks the waiter done and wakes its task (no-op when already done)."""
        if not self.done:
            self.done = True
            self._queue.wake_all()

    def set_on_done(self, _task: object) -> None:
        """`set()` in the shape of a task's done callback."""
        self.set()

    def __await__(self) -> Generator[tuple[()], Any, None]:
        while not self.done:
            self._queue.store_waker()
            yield PENDING


@types.coroutine
def yield_once() -> Generator[tuple[()], Any, None]:
    """Suspends the running task for exactly one trip through the loop.

    The task's waker is stored and woken at once, so the loop polls the task
    again on its next iteration, after every task that was already runnable.
    A store is always directly followed by a wake on the same shared queue, so
    even when two threads interleave, every stored waker is woken.
    """
    _yield_queue.store_waker()
    _yield_queue.wake_one()
    yield PENDING
