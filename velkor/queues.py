"""`Queue`: a first-in, first-out queue for tasks of one loop, optionally
bounded, with the interface and behaviour of asyncio's `Queue`;
`PriorityQueue` (lowest first) and `LifoQueue` (newest first) differ only in
which item `get()` takes.

`QueueEmpty`, `QueueFull` and `QueueShutDown` are asyncio's own exception
classes, so code written for asyncio catches them.
"""

from __future__ import annotations

import heapq
from asyncio import QueueEmpty, QueueFull, QueueShutDown
from collections import deque
from typing import Any, Generic, TypeVar

from _velkor import _WaitList

from .locks import Event

__all__ = ["LifoQueue", "PriorityQueue", "Queue", "QueueEmpty", "QueueFull", "QueueShutDown"]

_T = TypeVar("_T")


class Queue(Generic[_T]):
    """A FIFO queue. With `maxsize` > 0 it holds at most that many items and
    `put()` waits while it is full; with `maxsize` <= 0 it is unbounded.

    Waiting getters and putters are woken in the order they started waiting.
    A woken one re-checks the queue when it runs: if a task that did not wait
    took the item (or the free slot) first, it waits again, at the back. A
    waiter cancelled after being woken wakes the next one in its place, so no
    item or free slot is left with nobody woken for it.

    `task_done()` and `join()` count items through to their processing:
    `join()` returns once every item put has been marked done.

    `shutdown()` makes `put()` raise `QueueShutDown` and wakes every waiting
    getter and putter; getters raise it once the queue is empty, at once
    with `immediate=True`, which also drops the items left.
    """

    __slots__ = ("_maxsize", "_items", "_getters", "_putters", "_unfinished", "_finished",
                 "_is_shutdown")

    _items: Any  # a deque here, a list in the subclasses

    def __init__(self, maxsize: int = 0) -> None:
        self._maxsize = maxsize
        self._items = deque()
        # A woken getter or putter stays in line until it runs; the next
        # wake goes to the one behind it.
        self._getters = _WaitList()
        self._putters = _WaitList()
        self._unfinished = 0
        self._finished = Event()
        self._finished.set()
        self._is_shutdown = False

    # What the subclasses change: where an item goes and which one comes out.
    def _put(self, item: _T) -> None:
        self._items.append(item)

    def _get(self) -> _T:
        item: _T = self._items.popleft()
        return item

    @property
    def maxsize(self) -> int:
        return self._maxsize

    def qsize(self) -> int:
        return len(self._items)

    def empty(self) -> bool:
        return not self._items

    def full(self) -> bool:
        return 0 < self._maxsize <= len(self._items)

    async def put(self, item: _T) -> None:
        """Puts `item` at the back, waiting for a free slot if the queue is full."""
        while self.full():
            if self._is_shutdown:
                raise QueueShutDown
            putter = self._putters.wait()
            try:
                await putter
            except BaseException:
                if putter.released() and not self.full():
                    self._putters.wake()
                raise
        self.put_nowait(item)

    def put_nowait(self, item: _T) -> None:
        """Puts `item` at the back, or raises `QueueFull`."""
        if self._is_shutdown:
            raise QueueShutDown
        if self.full():  # a subclass may decide what full means
            raise QueueFull
        self._put(item)
        # _finished is set exactly while nothing is unfinished.
        if not self._unfinished:
            self._finished.clear()
        self._unfinished += 1
        if self._getters:
            self._getters.wake()

    async def get(self) -> _T:
        """Removes and returns the front item, waiting while the queue is empty."""
        while not self._items:
            if self._is_shutdown:
                raise QueueShutDown
            getter = self._getters.wait()
            try:
                await getter
            except BaseException:
                if getter.released() and self._items:
                    self._getters.wake()
                raise
        # What get_nowait() does, without its call and its emptiness check.
        item = self._get()
        if self._putters:
            self._putters.wake()
        return item

    def get_nowait(self) -> _T:
        """Removes and returns the front item, or raises `QueueEmpty`."""
        if not self._items:
            if self._is_shutdown:
                raise QueueShutDown
            raise QueueEmpty
        item = self._get()
        if self._putters:
            self._putters.wake()
        return item

    def task_done(self) -> None:
        """Marks one item taken with `get()` as processed."""
        if self._unfinished <= 0:
            raise ValueError("task_done() called too many times")
        self._unfinished -= 1
        if self._unfinished == 0:
            self._finished.set()

    async def join(self) -> None:
        """Waits until every item put has been marked done with `task_done()`."""
        if self._unfinished > 0:
            await self._finished.wait()

    def shutdown(self, immediate: bool = False) -> None:
        """Shuts the queue down: `put()` raises `QueueShutDown` from now on,
        and so does `get()` once the queue is empty. With `immediate` the
        items left are dropped (and counted as done for `join()`). Every
        waiting getter and putter is woken to see the change."""
        self._is_shutdown = True
        if immediate:
            while self._items:
                self._get()
                if self._unfinished > 0:
                    self._unfinished -= 1
            if self._unfinished == 0:
                self._finished.set()
        self._getters.wake_all()
        self._putters.wake_all()

    def __repr__(self) -> str:
        shutdown = " shutdown" if self._is_shutdown else ""
        return (f"<velkor {type(self).__name__} maxsize={self._maxsize} "
                f"qsize={len(self._items)} getters:{len(self._getters)} "
                f"putters:{len(self._putters)} unfinished:{self._unfinished}{shutdown}>")


class PriorityQueue(Queue[_T]):
    """A queue whose `get()` takes the lowest item first (a heap); items are
    typically `(priority, data)` tuples."""

    __slots__ = ()

    def __init__(self, maxsize: int = 0) -> None:
        super().__init__(maxsize)
        self._items = []

    def _put(self, item: _T) -> None:
        heapq.heappush(self._items, item)

    def _get(self) -> _T:
        item: _T = heapq.heappop(self._items)
        return item


class LifoQueue(Queue[_T]):
    """A queue whose `get()` takes the most recently put item first."""

    __slots__ = ()

    def __init__(self, maxsize: int = 0) -> None:
        super().__init__(maxsize)
        self._items = []

    def _get(self) -> _T:
        item: _T = self._items.pop()
        return item
