"""Synchronisation primitives for tasks of one loop: `Lock`, `Event`,
`Semaphore`, `BoundedSemaphore`, `Condition` and `Barrier`.

They behave as asyncio's primitives of the same names: waiters are served
first in, first out, and a waiter that is cancelled while it waits leaves the
primitive consistent. In particular a cancelled waiter never keeps a release
meant for another task: if it had already been chosen when the cancellation
reached it, it hands the release on before the `CancelledError` propagates.

The state (locked, counter, flag) lives here; waiting tasks park in line on
a native `_WaitList`, which drops a wait the moment its task gives up, and
tells (`released()`) whether a release had reached it first. Like asyncio's,
these primitives belong to the tasks of one loop and are not safe to use from
other threads.
"""

from __future__ import annotations

import math
import sys

from asyncio import BrokenBarrierError
from collections.abc import Awaitable, Callable
from types import TracebackType
from typing import Final, Protocol, TypeVar

from _velkor import _WaitList

from ._compat import CancelledError

__all__ = ["Barrier", "BoundedSemaphore", "BrokenBarrierError", "Condition", "Event", "Lock",
           "Semaphore"]

_R = TypeVar("_R")


class _AcquireReleaseContext:
    """`async with primitive:` acquires on entry and releases on exit."""

    __slots__ = ()

    async def acquire(self) -> bool:
        raise NotImplementedError

    def release(self) -> None:
        raise NotImplementedError

    async def __aenter__(self) -> None:
        await self.acquire()

    async def __aexit__(self, exc_type: type[BaseException] | None,
                        exc: BaseException | None, tb: TracebackType | None) -> None:
        self.release()


class Lock(_AcquireReleaseContext):
    """A mutual-exclusion lock, acquired by tasks in the order they asked.

    A released lock goes to the longest-waiting task; a task that arrives in
    the meantime queues behind it instead of taking the lock first.
    """

    __slots__ = ("_locked", "_waiters")

    def __init__(self) -> None:
        self._locked = False
        self._waiters = _WaitList()

    def locked(self) -> bool:
        return self._locked

    async def acquire(self) -> bool:
        # A released waiter stays in line until it runs, so a newcomer
        # cannot take the lock from under it.
        if not self._locked and not self._waiters:
            self._locked = True
            return True
        try:
            await self._waiters.wait()
        except CancelledError:
            # If this waiter had been released the lock is free and nobody
            # else was woken: wake the next one.
            if not self._locked:
                self._waiters.wake_first()
            raise
        self._locked = True
        return True

    def release(self) -> None:
        if not self._locked:
            raise RuntimeError("Lock is not acquired.")
        self._locked = False
        # A waiter already released is on its way to take the lock.
        self._waiters.wake_first()

    def __repr__(self) -> str:
        state = "locked" if self._locked else "unlocked"
        return f"<velkor Lock [{state}, waiters:{len(self._waiters)}]>"


class Event:
    """A flag that tasks can wait for.

    `set()` releases every task waiting at that moment; they return True even
    if the flag is cleared again before they run.
    """

    __slots__ = ("_value", "_waiters")

    def __init__(self) -> None:
        self._value = False
        self._waiters = _WaitList()

    def is_set(self) -> bool:
        return self._value

    def set(self) -> None:
        if not self._value:
            self._value = True
            self._waiters.wake_all()

    def clear(self) -> None:
        self._value = False

    async def wait(self) -> bool:
        if self._value:
            return True
        await self._waiters.wait()
        return True

    def __repr__(self) -> str:
        state = "set" if self._value else "unset"
        return f"<velkor Event [{state}, waiters:{len(self._waiters)}]>"


class Semaphore(_AcquireReleaseContext):
    """A counter of available permits: `acquire()` takes one, waiting while
    there is none; `release()` gives one back. Waiters are served in order.

    A release hands its permit straight to the longest-waiting task, so a task
    that arrives in the meantime cannot take it first.
    """

    __slots__ = ("_value", "_waiters")

    def __init__(self, value: int = 1) -> None:
        if value < 0:
            raise ValueError("Semaphore initial value must be >= 0")
        self._value = value
        self._waiters = _WaitList()

    def locked(self) -> bool:
        """True when `acquire()` would wait."""
        return self._value == 0 or bool(self._waiters)

    async def acquire(self) -> bool:
        if not self.locked():
            self._value -= 1
            return True
        wait = self._waiters.wait()
        try:
            try:
                await wait
            except CancelledError:
                if wait.released():
                    # A permit was handed to this waiter, which will not use it.
                    self._value += 1
                raise
        finally:
            # Permits that are free now (one returned above, or released while
            # waiters queued behind this one) go to the next in line.
            while self._value > 0:
                if not self._wake_next():
                    break
        return True

    def release(self) -> None:
        self._value += 1
        self._wake_next()

    def _wake_next(self) -> bool:
        """Hands one permit to the first waiter not already holding one."""
        if self._waiters.wake():
            self._value -= 1
            return True
        return False

    def __repr__(self) -> str:
        return (f"<velkor {type(self).__name__} [value:{self._value}, "
                f"waiters:{len(self._waiters)}]>")


class BoundedSemaphore(Semaphore):
    """A semaphore that refuses to be released above its initial value."""

    __slots__ = ("_bound",)

    def __init__(self, value: int = 1) -> None:
        self._bound = value
        super().__init__(value)

    def release(self) -> None:
        if self._value >= self._bound:
            raise ValueError("BoundedSemaphore released too many times")
        super().release()


class _LockLike(Protocol):
    def locked(self) -> bool: ...
    def acquire(self) -> Awaitable[bool]: ...
    def release(self) -> None: ...


class Condition(_AcquireReleaseContext):
    """A condition variable: tasks holding the lock wait until another task
    holding it notifies them.

    `wait()` releases the lock, waits for a notification and re-acquires the
    lock before it returns, also when it is cancelled. A waiter that was
    notified but leaves `wait()` with an exception passes its notification on
    to the next waiter.
    """

    __slots__ = ("_lock", "_waiters")

    def __init__(self, lock: _LockLike | None = None) -> None:
        self._lock: _LockLike = Lock() if lock is None else lock
        self._waiters = _WaitList()

    def locked(self) -> bool:
        return self._lock.locked()

    async def acquire(self) -> bool:
        return await self._lock.acquire()

    def release(self) -> None:
        self._lock.release()

    async def wait(self) -> bool:
        if not self._lock.locked():
            raise RuntimeError("cannot wait on un-acquired lock")
        wait = self._waiters.wait()
        self._lock.release()
        try:
            try:
                await wait
                return True
            finally:
                # The lock is re-acquired whatever happened; a cancellation
                # that arrives meanwhile is raised once the lock is held.
                cancelled: CancelledError | None = None
                while True:
                    try:
                        await self._lock.acquire()
                        break
                    except CancelledError as exc:
                        cancelled = exc
                if cancelled is not None:
                    try:
                        raise cancelled
                    finally:
                        cancelled = None
        except BaseException:
            if wait.released():
                self._notify(1)
            raise

    async def wait_for(self, predicate: Callable[[], _R]) -> _R:
        """Waits until `predicate()` is true and returns its value; the
        predicate is evaluated with the lock held."""
        result = predicate()
        while not result:
            await self.wait()
            result = predicate()
        return result

    def notify(self, n: int = 1) -> None:
        """Wakes up to `n` tasks waiting on the condition, longest first."""
        if not self._lock.locked():
            raise RuntimeError("cannot notify on un-acquired lock")
        self._notify(n)

    def notify_all(self) -> None:
        self.notify(len(self._waiters))

    def _notify(self, n: int) -> None:
        self._waiters.wake(n if type(n) is int else _count_below(n))

    def __repr__(self) -> str:
        state = "locked" if self.locked() else "unlocked"
        return f"<velkor Condition [{state}, waiters:{len(self._waiters)}]>"



def _count_below(n: float) -> int:
    """How many waiters a `notify(n)` with a non-int `n` wakes: asyncio wakes
    them while their count stays below `n` (inf and nan wake all)."""
    if n != n or n == math.inf:
        return sys.maxsize
    if n == -math.inf:
        return 0
    return max(0, math.ceil(n))


# Barrier states.
_FILLING: Final = "filling"
_DRAINING: Final = "draining"
_RESETTING: Final = "resetting"
_BROKEN: Final = "broken"


class Barrier:
    """Holds tasks at `wait()` until `parties` of them are waiting, then
    releases them all together; each gets a distinct index from 0 to
    `parties - 1`. The barrier can then be used again.

    `reset()` and `abort()` raise `BrokenBarrierError` (asyncio's class) in
    the tasks waiting; after `abort()` every later `wait()` raises it too. A
    waiting task that is cancelled leaves the barrier, and the others wait
    for another task to take its place. Tasks arriving while the released
    ones leave wait until they have left.
    """

    __slots__ = ("_cond", "_parties", "_state", "_count")

    def __init__(self, parties: int) -> None:
        if parties < 1:
            raise ValueError("parties must be >= 1")
        self._cond = Condition()
        self._parties = parties
        self._state: str = _FILLING
        self._count = 0  # tasks inside wait()

    async def __aenter__(self) -> int:
        return await self.wait()

    async def __aexit__(self, *args: object) -> None:
        pass

    async def wait(self) -> int:
        """Waits until `parties` tasks wait and returns this task's index."""
        async with self._cond:
            await self._block()
            try:
                index = self._count
                self._count += 1
                if index + 1 == self._parties:
                    self._state = _DRAINING
                    self._cond.notify_all()
                else:
                    await self._wait()
                return index
            finally:
                self._count -= 1
                self._exit()

    async def _block(self) -> None:
        # While the last round drains or a reset completes, newcomers wait.
        await self._cond.wait_for(lambda: self._state not in (_DRAINING, _RESETTING))
        if self._state is _BROKEN:
            raise BrokenBarrierError("Barrier aborted")

    async def _wait(self) -> None:
        await self._cond.wait_for(lambda: self._state is not _FILLING)
        if self._state in (_BROKEN, _RESETTING):
            raise BrokenBarrierError("Abort or reset of barrier")

    def _exit(self) -> None:
        # The last task out lets the next round in.
        if self._count == 0:
            if self._state in (_RESETTING, _DRAINING):
                self._state = _FILLING
            self._cond.notify_all()

    async def reset(self) -> None:
        """Returns the barrier to its initial state; the tasks waiting get
        `BrokenBarrierError`."""
        async with self._cond:
            if self._count > 0:
                self._state = _RESETTING
            else:
                self._state = _FILLING
            self._cond.notify_all()

    async def abort(self) -> None:
        """Breaks the barrier: waiting tasks and later `wait()` calls get
        `BrokenBarrierError`."""
        async with self._cond:
            self._state = _BROKEN
            self._cond.notify_all()

    @property
    def parties(self) -> int:
        return self._parties

    @property
    def n_waiting(self) -> int:
        """The number of tasks waiting for the barrier to fill."""
        return self._count if self._state is _FILLING else 0

    @property
    def broken(self) -> bool:
        return self._state is _BROKEN

    def __repr__(self) -> str:
        extra = self._state
        if not self.broken:
            extra += f", waiters:{self.n_waiting}/{self._parties}"
        return f"<velkor Barrier [{extra}]>"

