"""What the native runtime reads from and writes to the Python side.

`_current_task` is subscripted with key 0: item 0 is the task being stepped
(or None). `CancelledError` is thrown into a coroutine to deliver a
cancellation; it is asyncio's, so code written for asyncio catches it.
"""

from __future__ import annotations

import threading
from asyncio import CancelledError
from typing import Any

__all__ = ["CancelledError", "_current_task"]


class _CurrentTaskHolder(threading.local):
    """Per-thread holder: each loop thread steps its own tasks."""

    def __init__(self) -> None:
        self.task: Any = None

    def __getitem__(self, key: int) -> Any:
        if key != 0:
            raise IndexError(key)
        return self.task

    def __setitem__(self, key: int, value: Any) -> None:
        if key != 0:
            raise IndexError(key)
        self.task = value


_current_task = _CurrentTaskHolder()
