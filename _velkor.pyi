"""Type stubs for the native runtime module `_velkor`."""

from collections.abc import Awaitable, Coroutine, Generator, Sequence
from typing import Any, TypeVar, final

_T = TypeVar("_T")

def run(coro: Coroutine[Any, Any, _T]) -> _T:
    """velkor.run(coro) — run a Python coroutine to completion on our event loop."""

def sleep(duration: float) -> Awaitable[None]: ...
def open_connection(host: str, port: int) -> PyTcpStream: ...
def start_server(_handler: object, host: str, port: int) -> PyTcpListener: ...

@final
class PyTcpStream:
    """A connected TCP stream; its socket traffic runs on two threads of its own."""

    def read(self, size: int) -> Awaitable[bytes]: ...
    def write(self, data: bytes | bytearray | Sequence[int]) -> Awaitable[int]: ...
    def close(self) -> None: ...

@final
class PyTcpListener:
    """The address that a start_server() call checked."""

@final
class TaskWakerCallback:
    """A Python-callable object that wakes a task when called.
    Used as a callback for Future.add_done_callback()."""

    def __call__(self, _result: object, /) -> None: ...
