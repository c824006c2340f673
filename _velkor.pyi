"""Type stubs for the native runtime module `_velkor`."""

from collections.abc import Awaitable, Coroutine, Generator
from typing import Any, Generic, TypeVar, final

_T = TypeVar("_T")

def run(coro: Coroutine[Any, Any, _T]) -> _T:
    """velkor.run(coro) — run a Python coroutine to completion on our event loop."""

def sleep(duration: float) -> Awaitable[None]: ...

def _spawn(coro: Coroutine[Any, Any, _T], task: object | None = None) -> PySpawnedTask[_T]:
    """velkor._spawn(coro, task=None) — spawn a coroutine as a task on the event loop.
    Returns an awaitable handle that yields the coroutine's return value."""



@final
class PySpawnedTask(Generic[_T]):
    def __await__(self) -> PySpawnedTaskIter[_T]: ...

@final
class PySpawnedTaskIter(Generic[_T]):
    def __iter__(self) -> PySpawnedTaskIter[_T]: ...
    def __next__(self) -> tuple[()]: ...
    def send(self, _val: object, /) -> tuple[()]: ...

@final
class TaskWakerCallback:
    """A Python-callable object that wakes a task when called.
    Used as a callback for Future.add_done_callback()."""

    def __call__(self, _result: object, /) -> None: ...

@final
class PyWakerQueue:
    """Minimal waker queue.  Python handles sync state (locked/value/set);
    the native side only stores wakers and parks the current task."""

    def __init__(self) -> None: ...
    def store_waker(self) -> None:
        """Store the current task's waker so `wake_one` can unpark it later."""
    def wake_one(self) -> None: ...
    def wake_all(self) -> None: ...
    def len(self) -> int: ...
