"""`TaskGroup`: tasks started inside an `async with` block, all awaited when
the block ends, with asyncio's `TaskGroup` behaviour.

The first task that fails (with anything but `CancelledError`) cancels the
other tasks of the group and the body of the block; leaving the block then
raises every failure together in a `BaseExceptionGroup`. A cancellation of
the task running the block from outside cancels the group's tasks and
propagates once they have ended. The group's own cancellation of its parent
is withdrawn with `uncancel()` on the way out, so an enclosing `timeout()`
or a later `cancel()` still sees its own request.
"""

from __future__ import annotations

import contextvars
import logging
from collections.abc import Coroutine
from types import TracebackType
from typing import Any, TypeVar

from ._compat import CancelledError
from ._waiter import Waiter
from .tasks import Task, current_task

__all__ = ["TaskGroup"]

_T = TypeVar("_T")

logger = logging.getLogger("velkor")


def _is_base_error(exc: BaseException) -> bool:
    return isinstance(exc, (SystemExit, KeyboardInterrupt))


class TaskGroup:
    """An async context manager that owns the tasks made with `create_task()`."""

    __slots__ = ("_entered", "_exiting", "_aborting", "_parent_task", "_parent_cancel_requested",
                 "_tasks", "_errors", "_base_error", "_all_done")

    def __init__(self) -> None:
        self._entered = False
        self._exiting = False
        self._aborting = False
        self._parent_task: Task[Any] | None = None
        self._parent_cancel_requested = False
        self._tasks: set[Task[Any]] = set()
        self._errors: list[BaseException] = []
        self._base_error: BaseException | None = None
        # Set when the last task ends while the block waits on the way out.
        self._all_done: Waiter | None = None

    def __repr__(self) -> str:
        info = ""
        if self._tasks:
            info += f" tasks={len(self._tasks)}"
        if self._errors:
            info += f" errors={len(self._errors)}"
        if self._aborting:
            info += " cancelling"
        elif self._entered:
            info += " entered"
        return f"<velkor TaskGroup{info}>"

    async def __aenter__(self) -> TaskGroup:
        if self._entered:
            raise RuntimeError(f"TaskGroup {self!r} has already been entered")
        self._parent_task = current_task()
        if self._parent_task is None:
            raise RuntimeError(f"TaskGroup {self!r} cannot determine the parent task")
        self._entered = True
        return self

    async def __aexit__(self, et: type[BaseException] | None, exc: BaseException | None,
                        tb: TracebackType | None) -> None:
        try:
            await self._aexit(et, exc)
        finally:
            # Exceptions hold frames that hold this group: drop them here
            # rather than leave cycles for the collector.
            self._parent_task = None
            self._errors = []
            self._base_error = None
            exc = None

    async def _aexit(self, et: type[BaseException] | None, exc: BaseException | None) -> None:
        self._exiting = True
        parent = self._parent_task
        assert parent is not None
        if exc is not None and _is_base_error(exc) and self._base_error is None:
            self._base_error = exc
        propagate: BaseException | None = exc if isinstance(exc, CancelledError) else None
        if et is not None and not self._aborting:
            # The body failed, or the parent is being cancelled.
            self._abort()
        # Looped: the parent may be cancelled again while it waits.
        while self._tasks:
            self._all_done = Waiter()
            try:
                await self._all_done
            except CancelledError as ex:
                if not self._aborting:
                    propagate = ex
                    self._abort()
            self._all_done = None

        if self._base_error is not None:
            raise self._base_error
        if self._parent_cancel_requested and parent.uncancel() == 0:
            # Only the group's own cancellation was pending: it ends here.
            propagate = None
        if propagate is not None and not self._errors:
            raise propagate
        if exc is not None and not isinstance(exc, CancelledError):
            self._errors.append(exc)
        if self._errors:
            if parent.cancelling():
                # An outside cancellation is pending: keep its count and
                # deliver it again after the group's error.
                parent.uncancel()
                parent.cancel()
            raise BaseExceptionGroup("unhandled errors in a TaskGroup", self._errors) from None

    def create_task(self, coro: Coroutine[Any, Any, _T], *, name: object = None,
                    context: contextvars.Context | None = None) -> Task[_T]:
        """Starts `coro` as a task of the group, as `velkor.spawn` does."""
        refusal = None
        if not self._entered:
            refusal = "has not been entered"
        elif self._exiting and not self._tasks:
            refusal = "is finished"
        elif self._aborting:
            refusal = "is shutting down"
        if refusal is not None:
            close = getattr(coro, "close", None)
            if close is not None:
                close()
            raise RuntimeError(f"TaskGroup {self!r} {refusal}")
        task = Task(coro, name=name, context=context)
        self._tasks.add(task)
        # On a later round, as in asyncio: siblings that fail in the same
        # round all fail, rather than the first cancelling the others.
        task.add_done_callback(self._on_task_done)
        return task

    def _abort(self) -> None:
        self._aborting = True
        for task in self._tasks:
            if not task.done():
                task.cancel()

    def _on_task_done(self, task: Task[Any]) -> None:
        self._tasks.discard(task)
        if self._all_done is not None and not self._tasks:
            self._all_done.set()
        if task.cancelled():
            return
        exc = task.exception()
        if exc is None:
            return
        self._errors.append(exc)
        if _is_base_error(exc) and self._base_error is None:
            self._base_error = exc
        parent = self._parent_task
        assert parent is not None
        if parent.done():
            logger.error("Task %r has errored out but its parent task %r is already completed",
                         task, parent, exc_info=(type(exc), exc, exc.__traceback__))
            return
        if not self._aborting and not self._parent_cancel_requested:
            # Interrupts the block's body; withdrawn again in __aexit__.
            self._abort()
            self._parent_cancel_requested = True
            parent.cancel()
