"""What the native runtime reads from and writes to the Python side.

`_current_task` is subscripted with key 0: item 0 is the task being stepped
on this thread (or None). `CancelledError` is thrown into a coroutine to
deliver a cancellation; it is asyncio's, so code written for asyncio catches
it.

Each thread has a holder of its own, a one-item list: the runtime reads and
writes item 0 around every step, and a list does that without calling into
Python code. The runtime looks `_current_task` up when a task is spawned, on
the thread whose loop will step that task, so the module attribute is served
per thread (by `__getattr__`) and names the calling thread's holder.
`current_holder()` is the same lookup for this package's own use.
"""

from __future__ import annotations

import threading
from asyncio import CancelledError
from typing import Any

__all__ = ["CancelledError", "current_holder"]

_local = threading.local()


def current_holder() -> list[Any]:
    """The calling thread's holder: item 0 is the task being stepped, or None."""
    try:
        return _local.holder  # type: ignore[no-any-return]
    except AttributeError:
        holder = _local.holder = [None]
        return holder


def __getattr__(name: str) -> Any:
    if name == "_current_task":
        return current_holder()
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
