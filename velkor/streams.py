"""Buffered TCP client streams on top of the native stream.

`open_connection(host, port)` connects (blocking the calling thread until the
connection is made) and returns a `Stream` with the reading helpers that
asyncio's streams have: `read`, `readexactly`, `readuntil` and `readline`.
"""

from __future__ import annotations

from asyncio import IncompleteReadError
from collections.abc import Sequence
from types import TracebackType

import _velkor

__all__ = ["IncompleteReadError", "Stream", "open_connection"]

# The most that one native read returns (one received chunk).
_CHUNK = 65536


class Stream:
    """A connected TCP stream.

    Received bytes that a helper has looked at but not returned stay in a
    buffer of the stream's own. `close()` stops reading; the connection closes
    once every write made before it has been sent.
    """

    __slots__ = ("_buffer", "_native")

    def __init__(self, native: _velkor.PyTcpStream) -> None:
        self._native: _velkor.PyTcpStream | None = native
        self._buffer = bytearray()

    def __repr__(self) -> str:
        return f"<Stream {self._native!r}>" if self._native else "<Stream closed>"

    async def _fill(self) -> bool:
        """Appends the next received bytes to the buffer; False at end of stream."""
        if self._native is None:
            return False
        chunk = await self._native.read(_CHUNK)
        self._buffer += chunk
        return bool(chunk)

    def _take(self, n: int) -> bytes:
        data = bytes(self._buffer[:n])
        del self._buffer[:n]
        return data

    async def read(self, n: int = -1) -> bytes:
        """Up to `n` bytes, as soon as any are there; everything up to the end
        of the stream when `n` is negative. Empty bytes at end of stream."""
        if n < 0:
            while await self._fill():
                pass
            return self._take(len(self._buffer))
        if n == 0:
            return b""
        if self._buffer:
            return self._take(n)
        if self._native is None:
            return b""
        return await self._native.read(n)

    async def readexactly(self, n: int) -> bytes:
        """Exactly `n` bytes; IncompleteReadError (holding what came) when the
        stream ends first."""
        if n < 0:
            raise ValueError("readexactly size can not be less than zero")
        while len(self._buffer) < n:
            if not await self._fill():
                raise IncompleteReadError(self._take(len(self._buffer)), n)
        return self._take(n)

    async def readuntil(self, separator: bytes = b"\n") -> bytes:
        """The bytes up to and including `separator`; IncompleteReadError
        (holding what came) when the stream ends first."""
        if not separator:
            raise ValueError("Separator should be at least one-byte string")
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

    async def write(self, data: bytes | bytearray | memoryview | Sequence[int]) -> int:
        """Queues `data` for sending; the number of bytes queued, 0 once the
        connection can no longer send (or the stream is closed)."""
        if self._native is None:
            return 0
        return await self._native.write(data)

    def close(self) -> None:
        """Stops reading and lets the connection close when queued writes are sent."""
        native, self._native = self._native, None
        if native is not None:
            native.close()

    async def __aenter__(self) -> Stream:
        return self

    async def __aexit__(self, exc_type: type[BaseException] | None,
                        exc: BaseException | None, tb: TracebackType | None) -> None:
        self.close()


async def open_connection(host: str, port: int) -> Stream:
    """Connects to `host`:`port` and returns the stream."""
    return Stream(_velkor.open_connection(host, port))
