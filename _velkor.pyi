"""Type stubs for the native runtime module `_velkor`."""

from collections.abc import Awaitable, Coroutine, Generator
from typing import Any, TypeVar, final

_T = TypeVar("_T")

def run(coro: Coroutine[Any, Any, _T]) -> _T:
    """velkor.run(coro) — run a Python coroutine to completion on our event loop."""

def sleep(duration: float) -> Awaitable[None]: ...

@final
class TaskWakerCallback:
    """A Python-callable object that wakes a task when called.
    Used as a callback for Future.add_done_callback()."""

    def __call__(self, _result: object, /) -> None: ...
