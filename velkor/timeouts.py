"""Time limits: `timeout(delay)` around a block, `wait_for(aw, timeout)`
around one await. Both raise the built-in `TimeoutError`.

An expired limit cancels the task that entered it, so the work inside is
interrupted at the await where it is parked (a `Task` being awaited is
cancelled in turn) and its clean-up runs; on leaving the block the
`CancelledError` that the limit caused becomes `TimeoutError`. A cancellation
that came from elsewhere propagates unchanged.

Deadlines are read on `time.monotonic()`.
"""

from __future__ import annotations

import time
from collections.abc import Awaitable
from types import TracebackType
from typing import Any, Final, TypeVar, final

from ._compat import CancelledError
from .tasks import Task, _as_task, _wait_all, current_task, sleep

__all__ = ["Timeout", "timeout", "wait_for"]

_T = TypeVar("_T")

_CREATED: Final = "created"
_ENTERED: Final = "entered"
_EXPIRING: Final = "expiring"
_EXPIRED: Final = "expired"
_EXITED: Final = "exited"


@final
class Timeout:
    """The async context manager returned by `timeout()`.

    While the block runs, a helper task sleeps until the deadline and then
    cancels the task that entered the block; leaving the block cancels the
    helper.
    """

    __slots__ = ("_when", "_state", "_task", "_cancelling", "_timer")

    def __init__(self, when: float | None) -> None:
        self._when = when
        self._state: str = _CREATED
        self._task: Task[Any] | None = None
        self._cancelling = 0
        self._timer: Task[None] | None = None

    def when(self) -> float | None:
        """The deadline on `time.monotonic()`, or None for no limit."""
        return self._when

    def expired(self) -> bool:
        """True once the deadline has passed and the block was cancelled for it."""
        return self._state in (_EXPIRING, _EXPIRED)

    def reschedule(self, when: float | None) -> None:
        """Moves the deadline to `when` (on `time.monotonic()`), or removes it
        with None. Only possible while the block runs and before it expired."""
        if self._state is not _ENTERED:
            if self._state is _CREATED:
                raise RuntimeError("Timeout has not been entered")
            raise RuntimeError(f"Cannot reschedule a timeout that is {self._state}")
        if when is not None and when != when:
            raise ValueError("timeout deadline must not be NaN")
        self._when = when
        self._stop_timer()
        if when is not None:
            self._timer = Task(self._expire_after(when - time.monotonic()), name="velkor-timer")

    async def _expire_after(self, delay: float) -> None:
        await sleep(delay)
        # A timer cancelled before it got here ended with CancelledError.
        self._timer = None
        self._state = _EXPIRING
        assert self._task is not None
        self._task.cancel()

    def _stop_timer(self) -> None:
        timer = self._timer
        if timer is not None:
            self._timer = None
            timer.cancel()

    async def __aenter__(self) -> Timeout:
        if self._state is not _CREATED:
            raise RuntimeError("Timeout has already been entered")
        task = current_task()
        if task is None:
            raise RuntimeError("velkor.timeout() must be used inside a task")
        self._task = task
        self._cancelling = task.cancelling()
        self._state = _ENTERED
        self.reschedule(self._when)
        return self

    async def __aexit__(self, exc_type: type[BaseException] | None,
                        exc: BaseException | None, tb: TracebackType | None) -> None:
        self._stop_timer()
        if self._state is _EXPIRING:
            self._state = _EXPIRED
            assert self._task is not None
            if (self._task.uncancel() <= self._cancelling and exc_type is not None
                    and issubclass(exc_type, CancelledError)):
                raise TimeoutError from exc
        elif self._state is _ENTERED:
            self._state = _EXITED

    def __repr__(self) -> str:
        when = "" if self._when is None else f" when={self._when:.3f}"
        return f"<velkor Timeout [{self._state}]{when}>"


def timeout(delay: float | None) -> Timeout:
    """An async context manager that limits its block to `delay` seconds
    (None: no limit until `reschedule()`); see the module documentation.

    Must be entered inside a task. A delay of zero or less cancels the block
    at its first suspension.
    """
    if delay is None:
        return Timeout(None)
    if delay != delay:
        raise ValueError("timeout delay must not be NaN")
    return Timeout(time.monotonic() + delay)


async def wait_for(aw: Awaitable[_T], timeout: float | None) -> _T:
    """Awaits `aw` for at most `timeout` seconds (None: without a limit).

    On expiry the work is cancelled, and `TimeoutError` is raised once it has
    ended. A coroutine runs inside the calling task; a `Task` is cancelled
    and waited for. With a timeout of zero or less, `aw` only counts as in
    time if it is a task that has already ended.
    """
    if timeout is None:
        return await aw
    if timeout <= 0:
        task = _as_task(aw)
        if not task.done():
            task.cancel()
            await _wait_all([task])
        try:
            return task.result()
        except CancelledError as exc:
            raise TimeoutError from exc
    async with Timeout(time.monotonic() + timeout):
        return await aw
