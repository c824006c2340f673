"""Waiting on several tasks: `wait`, `as_completed`, and `shield` against
cancellation, with the behaviour of their asyncio namesakes.

Coroutines and other awaitables that these functions start become `Task`
objects (the same as `velkor.spawn` makes); `wait` takes tasks only.
A time limit runs as a small helper task that sleeps and then fires.
"""

from __future__ import annotations

import types
from collections.abc import AsyncIterator, Awaitable, Callable, Coroutine, Iterable, Iterator
from typing import Any, Final, Generic, TypeVar

from ._waiter import Waiter
from .queues import Queue
from .tasks import _FAILED, Task, _as_task, sleep

__all__ = ["ALL_COMPLETED", "FIRST_COMPLETED", "FIRST_EXCEPTION", "as_completed", "shield",
           "wait"]

_T = TypeVar("_T")

FIRST_COMPLETED: Final = "FIRST_COMPLETED"
FIRST_EXCEPTION: Final = "FIRST_EXCEPTION"
ALL_COMPLETED: Final = "ALL_COMPLETED"


def _call_later(delay: float, callback: Callable[[], None]) -> Task[None]:
    """Calls `callback()` after `delay` seconds unless the returned task is
    cancelled first. Named, so it takes no number from the "Task-N" names."""
    return Task(_after(delay, callback), name="velkor-timer")


async def _after(delay: float, callback: Callable[[], None]) -> None:
    await sleep(delay)
    callback()


def _check_timeout(timeout: float | None) -> None:
    if timeout is not None and timeout != timeout:
        raise ValueError("timeout must not be NaN")


def _is_coroutine(obj: object) -> bool:
    return isinstance(obj, (types.CoroutineType, Coroutine))


# ---- shield


def shield(arg: Awaitable[_T]) -> Task[_T]:
    """Awaits `arg` without letting a cancellation of the awaiting task reach it.

    Returns a task that ends as `arg` ends. Cancelling the task that awaits
    it (or the returned task itself) raises `CancelledError` there, while
    `arg` (run as a `Task` when it is not one) goes on. A cancellation of
    `arg` by other means still cancels the returned task.
    """
    inner = _as_task(arg)
    if inner.done():
        return inner
    return Task(_outcome_of(inner), name=f"shield({inner.get_name()})")


async def _outcome_of(inner: Task[_T]) -> _T:
    # Parks on a waiter of its own: a cancellation stops here and is not
    # passed on to `inner`, as it would be if this awaited the task.
    if not inner.done():
        waiter = Waiter()
        inner._add_done_callback(waiter.set_on_done)
        try:
            await waiter
        finally:
            inner._remove_done_callback(waiter.set_on_done)
    return inner.result()


# ---- wait


async def wait(fs: Iterable[Task[_T]], *, timeout: float | None = None,
               return_when: str = ALL_COMPLETED) -> tuple[set[Task[_T]], set[Task[_T]]]:
    """Waits for the tasks `fs` and returns `(done, pending)` sets of them.

    Returns when the first ends (`FIRST_COMPLETED`), the first fails or all
    end (`FIRST_EXCEPTION`), all end (`ALL_COMPLETED`), or after `timeout`
    seconds, whichever comes first; it never raises `TimeoutError` and
    cancels nothing. Coroutines are refused: spawn them first.
    """
    if isinstance(fs, Task) or _is_coroutine(fs):
        raise TypeError(f"expect a list of futures, not {type(fs).__name__}")
    tasks = set(fs)
    if not tasks:
        raise ValueError("Set of Tasks/Futures is empty.")
    if return_when not in (FIRST_COMPLETED, FIRST_EXCEPTION, ALL_COMPLETED):
        raise ValueError(f"Invalid return_when value: {return_when}")
    if any(_is_coroutine(t) for t in tasks):
        raise TypeError("Passing coroutines is forbidden, use tasks explicitly.")
    for task in tasks:
        if not isinstance(task, Task):
            raise TypeError(f"wait() takes velkor tasks, got {type(task).__name__}")
    _check_timeout(timeout)
    await _wait(tasks, timeout, return_when)
    done = {t for t in tasks if t.done()}
    return done, tasks - done


async def _wait(tasks: set[Task[Any]], timeout: float | None, return_when: str) -> None:
    waiter = Waiter()
    left = len(tasks)

    def on_done(task: Task[Any]) -> None:
        nonlocal left
        left -= 1
        if (left == 0 or return_when == FIRST_COMPLETED
                or (return_when == FIRST_EXCEPTION and task._state is _FAILED)):
            waiter.set()

    waiting = [t for t in tasks if not t.done()]
    for task in tasks:
        if task.done():
            on_done(task)
    if waiter.done:
        return
    for task in waiting:
        task._add_done_callback(on_done)
    timer = None if timeout is None else _call_later(timeout, waiter.set)
    try:
        await waiter
    finally:
        if timer is not None:
            timer.cancel()
        for task in waiting:
            task._remove_done_callback(on_done)


# ---- as_completed


class _AsCompleted(Generic[_T]):
    """Iterates over awaitables in the order they end.

    As an async iterator it yields each task once it has ended; as a plain
    iterator it yields coroutines, each giving the outcome of the next task
    to end. After `timeout` seconds, the iteration raises `TimeoutError`.
    """

    __slots__ = ("_done", "_todo", "_todo_left", "_timer")

    def __init__(self, aws: Iterable[Awaitable[_T]], timeout: float | None) -> None:
        _check_timeout(timeout)
        self._done: Queue[Task[_T] | None] = Queue()
        self._todo = {_as_task(aw) for aw in set(aws)}
        self._todo_left = len(self._todo)
        self._timer: Task[None] | None = None
        for task in list(self._todo):
            if task.done():
                self._on_done(task)
            else:
                task._add_done_callback(self._on_done)
        if self._todo and timeout is not None:
            self._timer = _call_later(timeout, self._on_timeout)

    def __aiter__(self) -> AsyncIterator[Task[_T]]:
        return self

    def __iter__(self) -> Iterator[Coroutine[Any, Any, _T]]:
        return self

    async def __anext__(self) -> Task[_T]:
        if not self._todo_left:
            raise StopAsyncIteration
        self._todo_left -= 1
        return await self._next_done()

    def __next__(self) -> Coroutine[Any, Any, _T]:
        if not self._todo_left:
            raise StopIteration
        self._todo_left -= 1
        return self._next_outcome()

    async def _next_done(self) -> Task[_T]:
        task = await self._done.get()
        if task is None:  # what the timeout leaves for each task not done
            raise TimeoutError
        return task

    async def _next_outcome(self) -> _T:
        return (await self._next_done()).result()

    def _on_timeout(self) -> None:
        self._timer = None
        for task in self._todo:
            task._remove_done_callback(self._on_done)
            self._done.put_nowait(None)
        self._todo.clear()

    def _on_done(self, task: Task[_T]) -> None:
        if not self._todo:
            return  # the timeout came first
        self._todo.remove(task)
        self._done.put_nowait(task)
        if not self._todo and self._timer is not None:
            self._timer.cancel()
            self._timer = None


def as_completed(fs: Iterable[Awaitable[_T]], *,
                 timeout: float | None = None) -> _AsCompleted[_T]:
    """Runs the awaitables `fs` concurrently and iterates over them in the
    order they end: `async for task in as_completed(fs)` yields the tasks
    themselves (the ones given, or those made for coroutines), `for aw in
    as_completed(fs)` yields awaitables giving each outcome in turn. After
    `timeout` seconds the iteration raises `TimeoutError`.
    """
    if hasattr(type(fs), "__await__"):
        raise TypeError(f"expects an iterable of awaitables, not {type(fs).__name__}")
    return _AsCompleted(fs, timeout)
