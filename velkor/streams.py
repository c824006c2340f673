"""Buffered byte streams on the loop's own epoll.

`open_connection(host, port)` resolves the name on the worker pool and
connects without blocking the loop, trying every resolved address in order;
`open_unix_connection(path)` connects to a Unix socket (a leading NUL names a
Linux abstract socket). Both return a `Stream` with the reading helpers that
asyncio's streams have (`read`, `readexactly`, `readuntil`, `readline`) and an
awaitable `write` that applies backpressure: it returns once the bytes are in
the kernel or the stream's buffer is at or below its high-water mark.

Failures are the `OSError` subclass of their errno (`ConnectionRefusedError`,
`ConnectionResetError`, `BrokenPipeError`, `TimeoutError`, ...), and
`socket.gaierror` for a name that does not resolve.
"""

from __future__ import annotations

import os
from asyncio import IncompleteReadError
from types import TracebackType
from typing import Any

import _velkor

__all__ = ["IncompleteReadError", "Stream", "open_connection", "open_unix_connection"]

# What one native read asks for when a helper fills the buffer.
_CHUNK = 256 * 1024


class Stream(_velkor.StreamCore):
    """A connected byte stream (TCP or Unix), made by `Stream(connection)`
    from a `_velkor.Connection`.

    Received bytes that a helper has looked at but not returned stay in a
    buffer of the stream's own and come first in the next read. Cancelling
    any await of a stream loses no byte: a read takes bytes from the kernel
    only in the step that returns them, and a write's bytes are in the
    kernel or in the stream's buffer from the moment `write` is called.

    `close()` stops reading; the socket closes once the buffered writes are
    sent, and `wait_closed()` waits for that. When a failure (the peer's
    reset, say) closes it with written bytes still unsent, `wait_closed()`
    raises that failure's `OSError`. Reading or writing after `close()`
    raises `OSError` (EBADF); writing after `write_eof()` raises
    `BrokenPipeError`.

    A stream belongs to the `velkor.run` that opened it: once that run has
    ended, reading, writing or waiting on it raises `RuntimeError` (closing
    it still works).

    `read`, `write`, `drain` and `wait_closed` are the native base's: they
    hand back the connection's own awaitable, with no coroutine frame on the
    hot path (read goes to `_read` below while the buffer holds bytes). They
    are typed as coroutines so that a type checker reports a forgotten await.
    The buffer (`_buffer`), the end-of-stream flag of the helpers (`_eof`)
    and the connection (`_native`) live in the base too.
    """

    __slots__ = ()

    def __repr__(self) -> str:
        fd = self._native.fileno()
        return f"<Stream fd={fd}>" if fd >= 0 else "<Stream closed>"

    # ---- reading -------------------------------------------------------------

    async def _fill(self) -> bool:
        """Appends the next received bytes to the buffer; False at end of stream."""
        if self._eof:
            return False
        return self._keep(await self._native.read(_CHUNK))

    def _keep(self, chunk: bytes) -> bool:
        """Appends a received chunk to the buffer; an empty one marks the end."""
        if not chunk:
            self._eof = True
            return False
        self._buffer += chunk
        return True

    def _take(self, n: int) -> bytes:
        data = bytes(self._buffer[:n])
        del self._buffer[:n]
        return data

    async def _read(self, n: int) -> bytes:
        if n < 0:
            while await self._fill():
                pass
            return self._take(len(self._buffer))
        if n == 0:
            return b""
        return self._take(n)

    async def readexactly(self, n: int) -> bytes:
        """Exactly `n` bytes; IncompleteReadError (holding what came) when the
        stream ends first."""
        if n < 0:
            raise ValueError("readexactly size can not be less than zero")
        if n and not self._buffer and not self._eof:
            # A message that came whole (the usual request or reply) is
            # returned as read, without passing through the buffer.
            chunk = await self._native.read(_CHUNK)
            if len(chunk) == n:
                return chunk
            self._keep(chunk)
        while len(self._buffer) < n:
            if not await self._fill():
                raise IncompleteReadError(self._take(len(self._buffer)), n)
        return self._take(n)

    async def readuntil(self, separator: bytes = b"\n") -> bytes:
        """The bytes up to and including `separator`; IncompleteReadError
        (holding what came) when the stream ends first."""
        if not separator:
            raise ValueError("Separator should be at least one-byte string")
        if not self._buffer and not self._eof:
            # A line that came whole is returned as read.
            chunk = await self._native.read(_CHUNK)
            end = len(chunk) - len(separator)
            if end >= 0 and chunk.find(separator) == end:
                return chunk
            self._keep(chunk)
        start = 0
        while (index := self._buffer.find(separator, start)) < 0:
            # Only the bytes still to come can complete a separator.
            start = max(0, len(self._buffer) - len(separator) + 1)
            if not await self._fill():
                raise IncompleteReadError(self._take(len(self._buffer)), None)
        return self._take(index + len(separator))

    async def readline(self) -> bytes:
        """One line including its b"\\n"; at the end of the stream, what is
        left (possibly empty)."""
        try:
            return await self.readuntil(b"\n")
        except IncompleteReadError as e:
            return e.partial

    # ---- writing -------------------------------------------------------------

    def write_eof(self) -> None:
        """Ends the sending side once the buffer is sent; reading goes on."""
        self._native.write_eof()

    def set_write_buffer_limits(self, high: int | None = None, low: int | None = None) -> None:
        self._native.set_write_buffer_limits(high, low)

    def get_write_buffer_size(self) -> int:
        return self._native.get_write_buffer_size()

    # ---- the socket ----------------------------------------------------------

    def getpeername(self) -> Any:
        return self._native.getpeername()

    def getsockname(self) -> Any:
        return self._native.getsockname()

    def set_nodelay(self, on: bool = True) -> None:
        """Turns Nagle's algorithm off (on by default, as in asyncio)."""
        self._native.set_nodelay(on)

    def fileno(self) -> int:
        return self._native.fileno()

    # ---- closing -------------------------------------------------------------

    def close(self) -> None:
        """Stops reading; the socket closes once buffered writes are sent."""
        self._native.close()

    def abort(self) -> None:
        """Closes at once, dropping buffered writes."""
        self._native.abort()

    def is_closing(self) -> bool:
        return self._native.is_closing()

    async def __aenter__(self) -> Stream:
        return self

    async def __aexit__(self, exc_type: type[BaseException] | None,
                        exc: BaseException | None, tb: TracebackType | None) -> None:
        self.close()
        await self.wait_closed()


async def open_connection(host: str, port: int, *,
                          local_addr: tuple[str, int] | None = None) -> Stream:
    """Connects to `host`:`port` (from `local_addr` when given) and returns
    the stream."""
    return Stream(await _velkor.connect_tcp(host, port, local_addr=local_addr))


async def open_unix_connection(path: str | bytes | os.PathLike[str]) -> Stream:
    """Connects to the Unix socket at `path` and returns the stream."""
    return Stream(await _velkor.connect_unix(path))
