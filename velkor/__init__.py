"""velkor: a native async runtime for Python coroutines.

`run(main())` runs a coroutine on a loop on the calling thread; inside it,
`spawn` starts further tasks, `sleep`, `yield_now`, `timeout` and `wait_for`
deal with time, `gather` waits for several awaitables, and the primitives
(`Lock`, `Event`, `Semaphore`, `BoundedSemaphore`, `Condition`, `Queue`)
coordinate tasks. They follow asyncio's documented behaviour, and a
`CancelledError` is asyncio's own. `open_connection`, `open_unix_connection`,
`start_server` and `start_unix_server` do networking on the loop's own epoll.

`EventLoop` is a complete asyncio event loop on the same engine:
`asyncio.run(main(), loop_factory=velkor.new_event_loop)` runs asyncio code
and libraries unchanged.
"""

from __future__ import annotations

from asyncio import CancelledError, InvalidStateError

from .locks import BoundedSemaphore, Condition, Event, Lock, Semaphore
from .queues import Queue, QueueEmpty, QueueFull
from .tasks import Runner, Task, current_task, gather, run, sleep, spawn, yield_now
from .timeouts import Timeout, timeout, wait_for

from .server import Server, start_server, start_unix_server
from .streams import Stream, open_connection, open_unix_connection
from .threads import to_thread
from .event_loop import EventLoop, new_event_loop

__all__ = [
    "BoundedSemaphore",
    "CancelledError",
    "Condition",
    "Event",
    "EventLoop",
    "InvalidStateError",
    "Lock",
    "Stream",
    "Queue",
    "QueueEmpty",
    "QueueFull",
    "Runner",
    "Semaphore",
    "Server",
    "Task",
    "Timeout",
    "current_task",
    "gather",
    "run",
    "new_event_loop",
    "open_connection",
    "open_unix_connection",
    "sleep",
    "spawn",
    "start_server",
    "start_unix_server",
    "timeout",
    "to_thread",
    "wait_for",
    "yield_now",
]
