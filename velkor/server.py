"""Serving connections on the loop's own epoll: `start_server`,
`start_unix_server` and `Server`.

Each listening socket has an accept task; every accepted connection becomes a
`Stream`, and `handler(stream)` runs as a task of its own. A handler that
raises is logged (logger "velkor.server") and ends only its own connection;
when a handler returns, its stream is closed (after buffered writes are sent).
"""

from __future__ import annotations

import asyncio
import errno
import logging
import os
import socket
import stat
from collections.abc import Awaitable, Callable, Iterable
from functools import partial
from types import TracebackType
from typing import Any

import _velkor

from ._compat import CancelledError
from .locks import Event
from .streams import Stream
from .tasks import Task, gather, sleep, spawn
from .threads import to_thread

__all__ = ["Server", "start_server", "start_unix_server"]

logger = logging.getLogger("velkor.server")

Handler = Callable[[Stream], Awaitable[Any]]

# Accept failures that mean "out of resources for now": wait, then go on.
_ACCEPT_BACKOFF = {errno.EMFILE, errno.ENFILE, errno.ENOBUFS, errno.ENOMEM}
_BACKOFF_SECONDS = 0.1


class Server:
    """Listening sockets and the handlers of the connections they accepted.

    `close()` stops accepting (pending accepts end, the sockets close);
    `wait_closed()` then waits for every running handler to end;
    `close_clients()` closes the streams of running handlers. As an async
    context manager the server is closed and waited for on exit.
    """

    def __init__(self, handler: Handler, listeners: list[_velkor.Listener],
                 unix_path: tuple[str | bytes, int] | None = None) -> None:
        self._handler = handler
        self._listeners = listeners
        self._unix_path = unix_path  # (path, inode) to unlink on close
        self._clients: set[Stream] = set()
        self._tasks: set[Task[Any]] = set()
        self._closed = Event()
        # The run serving it: its accept tasks and handlers end with that run.
        self._run = asyncio._get_running_loop()
        self._accepting = [spawn(self._accept_loop(listener)) for listener in listeners]

    def __repr__(self) -> str:
        state = "closed" if self._closed.is_set() else "serving"
        return f"<velkor Server {state} sockets={[s.getsockname() for s in self.sockets]!r}>"

    @property
    def sockets(self) -> tuple[_velkor.Listener, ...]:
        """The listening sockets (with getsockname() and fileno()); empty once closed."""
        return () if self._closed.is_set() else tuple(self._listeners)

    @property
    def port(self) -> int | None:
        """The port of the first TCP socket (None for a Unix server)."""
        for listener in self._listeners:
            name = listener.getsockname()
            if isinstance(name, tuple):
                port: int = name[1]
                return port
        return None

    def is_serving(self) -> bool:
        return not self._closed.is_set()

    async def _accept_loop(self, listener: _velkor.Listener) -> None:
        while True:
            try:
                conn = await listener.accept()
            except OSError as exc:
                if not listener.is_open():
                    return
                logger.error("accept failed on %r: %s", listener.getsockname(), exc)
                if exc.errno in _ACCEPT_BACKOFF:
                    await sleep(_BACKOFF_SECONDS)
                continue
            self._serve(Stream(conn))

    def _serve(self, stream: Stream) -> None:
        # The handler's coroutine is the task itself, with no wrapper around
        # it: one frame less to resume on every step of every connection.
        try:
            task = spawn(self._handler(stream))
        except Exception:
            logger.exception("connection handler failed for %r", _peer(stream))
            stream.abort()
            return
        self._clients.add(stream)
        self._tasks.add(task)
        task._add_done_callback(partial(self._handler_done, stream))

    def _handler_done(self, stream: Stream, task: Task[Any]) -> None:
        self._clients.discard(stream)
        self._tasks.discard(task)
        exc = None if task.cancelled() else task.exception()
        if isinstance(exc, Exception):
            logger.error("connection handler failed for %r", _peer(stream), exc_info=exc)
            stream.abort()
        stream.close()

    def close(self) -> None:
        """Stops accepting; running handlers go on."""
        if self._closed.is_set():
            return
        self._closed.set()
        for listener in self._listeners:
            listener.close()
        self._remove_unix_path()

    def _remove_unix_path(self) -> None:
        if self._unix_path is None:
            return
        path, inode = self._unix_path
        self._unix_path = None
        try:
            if os.stat(path).st_ino == inode:
                os.unlink(path)
        except OSError:
            pass

    def close_clients(self) -> None:
        """Closes the stream of every running handler (after its buffered writes)."""
        for stream in list(self._clients):
            stream.close()

    def abort_clients(self) -> None:
        """Closes the stream of every running handler at once."""
        for stream in list(self._clients):
            stream.abort()

    def _check_run(self) -> None:
        # In a later run nothing accepts or ends handlers any more: waiting
        # would never end.
        if asyncio._get_running_loop() is not self._run:
            raise RuntimeError("this server belongs to another velkor.run; a server cannot move "
                               "between runs")

    async def wait_closed(self) -> None:
        """Waits until the server is closed and every handler has ended."""
        self._check_run()
        await self._closed.wait()
        await gather(*self._accepting, return_exceptions=True)
        while self._tasks:
            await gather(*list(self._tasks), return_exceptions=True)

    async def serve_forever(self) -> None:
        """Waits until the server is closed; cancelling it closes the server."""
        if self._closed.is_set():
            raise RuntimeError("the server is closed")
        self._check_run()
        try:
            await self._closed.wait()
        except CancelledError:
            self.close()
            raise

    async def __aenter__(self) -> Server:
        return self

    async def __aexit__(self, exc_type: type[BaseException] | None,
                        exc: BaseException | None, tb: TracebackType | None) -> None:
        self.close()
        await self.wait_closed()


def _peer(stream: Stream) -> Any:
    try:
        return stream.getpeername()
    except OSError:
        return None


def _listen(family: int, address: Any, backlog: int, reuse_port: bool) -> _velkor.Listener:
    sock = socket.socket(family, socket.SOCK_STREAM)
    try:
        if family != socket.AF_UNIX:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        if reuse_port:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
        if family == socket.AF_INET6:
            # One socket per family, as asyncio does: the IPv6 one stays IPv6.
            sock.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
        sock.bind(address)
        sock.listen(backlog)
    except BaseException:
        sock.close()
        raise
    return _velkor.adopt_listener(sock.detach())


async def _resolve_passive(hosts: Iterable[str | None], port: int) -> list[tuple[int, Any]]:
    found: list[tuple[int, Any]] = []
    for host in hosts:
        infos = await to_thread(socket.getaddrinfo, host, port, 0, socket.SOCK_STREAM, 0,
                                socket.AI_PASSIVE)
        for family, _type, _proto, _canon, address in infos:
            if (family, address) not in found:
                found.append((family, address))
    return found


async def start_server(handler: Handler, host: str | Iterable[str] | None = None, port: int = 0,
                       *, backlog: int = 100, reuse_port: bool = False) -> Server:
    """Listens on `host`:`port` (every interface when host is None or "", or
    each of several hosts) and serves each connection with `handler(stream)`.
    SO_REUSEADDR is on; `reuse_port` sets SO_REUSEPORT."""
    hosts: Iterable[str | None]
    if host is None or host == "":
        hosts = [None]
    elif isinstance(host, str):
        hosts = [host]
    else:
        hosts = list(host)
    addresses = await _resolve_passive(hosts, port)
    listeners: list[_velkor.Listener] = []
    try:
        for family, address in addresses:
            listeners.append(_listen(family, address, backlog, reuse_port))
    except BaseException:
        for listener in listeners:
            listener.close()
        raise
    return Server(handler, listeners)


async def start_unix_server(handler: Handler, path: str | bytes | os.PathLike[str], *,
                            backlog: int = 100) -> Server:
    """Listens on the Unix socket `path` (a leading NUL names a Linux abstract
    socket) and serves each connection with `handler(stream)`. A stale socket
    file at `path` is replaced; the file is removed when the server closes."""
    path = os.fspath(path)
    abstract = path[:1] in ("\0", b"\0")
    if not abstract:
        try:
            if stat.S_ISSOCK(os.stat(path).st_mode):
                os.unlink(path)
        except FileNotFoundError:
            pass
    listener = _listen(socket.AF_UNIX, path, backlog, False)
    unix_path = None if abstract else (path, os.stat(path).st_ino)
    return Server(handler, [listener], unix_path)
