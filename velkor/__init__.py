"""velkor: a native async runtime for Python coroutines.

`run(main())` (or a `Runner`, for several runs on one loop) runs a coroutine
on a loop on the calling thread; inside it,
`spawn` starts further tasks, `sleep`, `yield_now`, `timeout` and `wait_for`
deal with time, `gather`, `wait` and `as_completed` wait for several
awaitables, `TaskGroup` runs a group of tasks that fail together, `shield`
keeps a cancellation from reaching what it wraps, and the primitives (`Lock`,
`Event`, `Semaphore`, `BoundedSemaphore`, `Condition`, `Barrier`, `Queue`,
`PriorityQueue`, `LifoQueue`) coordinate tasks. They follow asyncio's
documented behaviour, and a `CancelledError` is asyncio's own. `open_connection`, `open_unix_connection`,
`start_server` and `start_unix_server` do networking on the loop's own epoll.

`EventLoop` is a complete asyncio event loop on the same engine:
`asyncio.run(main(), loop_factory=velkor.new_event_loop)` runs asyncio code
and libraries unchanged.
"""

from __future__ import annotations

from asyncio import CancelledError, InvalidStateError

from .locks import Barrier, BoundedSemaphore, BrokenBarrierError, Condition, Event, Lock, Semaphore
from .queues import LifoQueue, PriorityQueue, Queue, QueueEmpty, QueueFull, QueueShutDown
from .taskgroups import TaskGroup
from .tasks import Runner, Task, current_task, gather, run, sleep, spawn, yield_now
from .timeouts import Timeout, timeout, wait_for
from .waits import ALL_COMPLETED, FIRST_COMPLETED, FIRST_EXCEPTION, as_completed, shield, wait

from .server import Server, start_server, start_unix_server
from .streams import Stream, open_connection, open_unix_connection
from .threads import to_thread
from .event_loop import EventLoop, new_event_loop

__all__ = [
    "ALL_COMPLETED",
    "Barrier",
    "BoundedSemaphore",
    "BrokenBarrierError",
    "CancelledError",
    "Condition",
    "Event",
    "EventLoop",
    "FIRST_COMPLETED",
    "FIRST_EXCEPTION",
    "InvalidStateError",
    "LifoQueue",
    "Lock",
    "PriorityQueue",
    "Stream",
    "Queue",
    "QueueEmpty",
    "QueueFull",
    "QueueShutDown",
    "Runner",
    "Semaphore",
    "Server",
    "Task",
    "TaskGroup",
    "Timeout",
    "as_completed",
    "current_task",
    "gather",
    "run",
    "new_event_loop",
    "open_connection",
    "open_unix_connection",
    "shield",
    "sleep",
    "spawn",
    "start_server",
    "start_unix_server",
    "timeout",
    "to_thread",
    "wait",
    "wait_for",
    "yield_now",
]
