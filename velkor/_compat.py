"""What the native runtime reads from and writes to the Python side.

`_current_task` is subscripted with key 0: item 0 is the task being stepped
on this thread (or None). `CancelledError` is thrown into a coroutine to
deliver a cancellation; it is asyncio's, so code written for asyncio catches
it. The runtime reads it during the step of the task it cancels, so when that
task was cancelled with a message, the read gives an instance carrying the
message instead of the bare class.

Each thread has a holder of its own, a one-item list: the runtime reads and
writes item 0 around every step, and a list does that without calling into
Python code. The runtime looks `_current_task` up when a task is spawned, on
the thread whose loop will step that task, so the module attribute is served
per thread and names the calling thread's holder. It is a property of the
module's class whose getter is a C-level attribute chain, so the lookup on
every spawn runs no Python code. `current_holder()` is the same lookup for
this package's own use.
"""

from __future__ import annotations

import operator
import sys
import threading
import types
from asyncio import CancelledError
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from .tasks import Task

__all__ = ["CancelledError", "current_holder"]

class _PerThread(threading.local):
    def __init__(self) -> None:
        self.holder: list[Task[Any] | None] = [None]


_local = _PerThread()

current_holder_of = operator.attrgetter("_local.holder")


def current_holder() -> list[Task[Any] | None]:
    """The calling thread's holder: item 0 is the task being stepped, or None."""
    return _local.holder


def cancellation_to_throw() -> type[CancelledError] | CancelledError:
    """What a cancellation throws into the task being stepped on this thread:
    `CancelledError`, or an instance with the message given to `cancel()`."""
    message = getattr(_local.holder[0], "_cancel_message", None)
    return CancelledError if message is None else CancelledError(message)


class _CompatModule(types.ModuleType):
    _current_task = property(current_holder_of)
    CancelledError = property(lambda _module: cancellation_to_throw())


sys.modules[__name__].__class__ = _CompatModule
