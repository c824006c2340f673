"""TCP client benchmark: velkor streams beside the native module's threaded
stream, plain blocking sockets, asyncio streams, asyncio streams on uvloop and
trio's socket streams, all against the same echo server (a separate process
that this script starts).

  echo rate, 1 connection     1 KiB request, wait for the 1 KiB echo, repeat
  echo rate, 100 connections  each round: one 1 KiB request on every
                              connection, then every echo read back
  bulk throughput             one connection, 64 MiB written by one task
                              while another reads the echo back; MB/s of
                              payload in each direction

Run: ./dev shell python3.14 bench/tcp.py   (PYTHONPATH: build/release and the
checkout; ./dev shell sets neither, so the script adds them itself).
"""

from __future__ import annotations

import argparse
import asyncio
import os
import socket
import subprocess
import sys
import threading
import time
from collections.abc import Awaitable, Callable, Coroutine
from pathlib import Path
from typing import Any

from servers import EchoProtocol  # bench/, beside this file

ROOT = Path(__file__).resolve().parent.parent
BUILD_DIR = os.environ.get("VELKOR_BUILD_DIR", str(ROOT / "build" / "release"))
for p in (str(ROOT), BUILD_DIR):
    if p not in sys.path:
        sys.path.insert(0, p)

MESSAGE = 1024
BULK_BLOCK = 256 << 10


# ---- the echo server (run with --serve) -------------------------------------------

def serve() -> None:
    try:
        import uvloop
        loop = uvloop.new_event_loop()
    except ImportError:
        loop = asyncio.new_event_loop()

    async def main() -> None:
        server = await loop.create_server(EchoProtocol, "127.0.0.1", 0, backlog=1024)
        print(server.sockets[0].getsockname()[1], flush=True)
        await loop.run_in_executor(None, sys.stdin.read)  # until our parent closes stdin

    loop.run_until_complete(main())


# ---- clients ------------------------------------------------------------------------

class Conn:
    """The clients behind one small interface. `both(a, b)` runs two
    coroutines at once, each runtime in its own way, and returns when both
    have ended."""

    async def write(self, data: bytes) -> None: ...
    async def read_exactly(self, n: int) -> bytes: ...
    async def read_some(self) -> int: ...
    def close(self) -> None: ...

    async def both(self, a: Coroutine[Any, Any, None], b: Coroutine[Any, Any, None]) -> None:
        import velkor
        await velkor.gather(a, b)


class VelkorConn(Conn):
    @classmethod
    async def open(cls, port: int) -> VelkorConn:
        import velkor
        self = cls()
        self.s = await velkor.open_connection("127.0.0.1", port)
        return self

    async def write(self, data: bytes) -> None:
        # The threaded stream's write returns the count queued (0 once it can no
        # longer send); the event-driven one returns nothing and raises instead.
        sent = await self.s.write(data)
        if sent is not None and sent != len(data):
            raise ConnectionError("the stream can no longer send")

    async def read_exactly(self, n: int) -> bytes:
        return await self.s.readexactly(n)

    async def read_some(self) -> int:
        return len(await self.s.read(65536))

    def close(self) -> None:
        self.s.close()


class ThreadedConn(Conn):
    """The native module's own stream (a reader and a writer thread per
    connection), with the little buffering that read_exactly needs."""

    @classmethod
    async def open(cls, port: int) -> ThreadedConn:
        import _velkor
        self = cls()
        self.s = _velkor.open_connection("127.0.0.1", port)
        self.buffer = bytearray()
        return self

    async def write(self, data: bytes) -> None:
        if await self.s.write(data) != len(data):
            raise ConnectionError("the stream can no longer send")

    async def read_exactly(self, n: int) -> bytes:
        while len(self.buffer) < n:
            chunk = await self.s.read(65536)
            if not chunk:
                raise EOFError
            self.buffer += chunk
        data = bytes(self.buffer[:n])
        del self.buffer[:n]
        return data

    async def read_some(self) -> int:
        if self.buffer:
            n = len(self.buffer)
            self.buffer.clear()
            return n
        return len(await self.s.read(65536))

    def close(self) -> None:
        self.s.close()


class SocketConn(Conn):
    """Plain blocking sockets: the reference a client cannot beat by much.
    Its coroutines never suspend; run_blocking drives them."""

    @classmethod
    async def open(cls, port: int) -> SocketConn:
        self = cls()
        self.s = socket.create_connection(("127.0.0.1", port))
        self.s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        return self

    async def write(self, data: bytes) -> None:
        self.s.sendall(data)

    async def read_exactly(self, n: int) -> bytes:
        data = self.s.recv(n)
        while len(data) < n:
            piece = self.s.recv(n - len(data))
            if not piece:
                raise EOFError
            data += piece
        return data

    async def read_some(self) -> int:
        return len(self.s.recv(65536))

    async def both(self, a: Coroutine[Any, Any, None], b: Coroutine[Any, Any, None]) -> None:
        # Blocking calls: the second coroutine runs on a thread of its own.
        failure: list[BaseException] = []

        def run_b() -> None:
            try:
                run_blocking(b)
            except BaseException as e:
                failure.append(e)

        thread = threading.Thread(target=run_b)
        thread.start()
        try:
            await a
        finally:
            thread.join()
        if failure:
            raise failure[0]

    def close(self) -> None:
        self.s.close()


def run_blocking(coro: Coroutine[Any, Any, float]) -> float:
    """Runs a coroutine that never suspends (blocking sockets) to its end, with
    no event loop at all."""
    try:
        coro.send(None)
    except StopIteration as done:
        return done.value
    coro.close()
    raise RuntimeError("a blocking-socket scenario tried to suspend")


class AsyncioConn(Conn):
    @classmethod
    async def open(cls, port: int) -> AsyncioConn:
        self = cls()
        self.r, self.w = await asyncio.open_connection("127.0.0.1", port, limit=1 << 20)
        return self

    async def write(self, data: bytes) -> None:
        self.w.write(data)
        await self.w.drain()

    async def read_exactly(self, n: int) -> bytes:
        return await self.r.readexactly(n)

    async def read_some(self) -> int:
        return len(await self.r.read(65536))

    async def both(self, a: Coroutine[Any, Any, None], b: Coroutine[Any, Any, None]) -> None:
        await asyncio.gather(a, b)

    def close(self) -> None:
        self.w.close()


class TrioConn(Conn):
    @classmethod
    async def open(cls, port: int) -> TrioConn:
        import trio
        self = cls()
        self.s = await trio.open_tcp_stream("127.0.0.1", port)
        return self

    async def write(self, data: bytes) -> None:
        await self.s.send_all(data)

    async def read_exactly(self, n: int) -> bytes:
        data = await self.s.receive_some(n)
        while len(data) < n:
            piece = await self.s.receive_some(n - len(data))
            if not piece:
                raise EOFError
            data += piece
        return data

    async def read_some(self) -> int:
        return len(await self.s.receive_some(65536))

    async def both(self, a: Coroutine[Any, Any, None], b: Coroutine[Any, Any, None]) -> None:
        import trio

        async def wait(c: Coroutine[Any, Any, None]) -> None:
            await c

        async with trio.open_nursery() as nursery:
            nursery.start_soon(wait, a)
            nursery.start_soon(wait, b)

    def close(self) -> None:
        # Nothing waits on the socket any more: closing it synchronously is safe.
        self.s.socket.close()


def trio_run(coro: Coroutine[Any, Any, float]) -> float:
    """trio.run() for a coroutine object (trio.run takes the function)."""
    import trio

    async def main() -> float:
        return await coro

    return trio.run(main)


async def echo_rounds(conns: list[Conn], rounds: int) -> None:
    message = os.urandom(MESSAGE)
    for _ in range(rounds):
        for c in conns:
            await c.write(message)
        for c in conns:
            if await c.read_exactly(MESSAGE) != message:
                raise AssertionError("echo mismatch")


async def bulk(conn: Conn, total: int) -> None:
    """One task writes `total` bytes while another reads the echo back.

    Reading and writing at once is what keeps this free of deadlock: a
    single task that alternates them can block in a write (trio's send_all
    and blocking sockets send everything before returning) while the echo
    fills the kernel's buffers behind it, and the server, held back by
    that, stops reading. Flow control bounds the bytes in flight."""
    block = os.urandom(BULK_BLOCK)

    async def send() -> None:
        left = total
        while left > 0:
            await conn.write(block if left >= len(block) else block[:left])
            left -= len(block)

    async def receive() -> None:
        received = 0
        while received < total:
            n = await conn.read_some()
            if n == 0:
                raise EOFError
            received += n

    await conn.both(send(), receive())


# ---- measuring -------------------------------------------------------------------

Scenario = Callable[[list[Conn]], Awaitable[None]]
Opener = Callable[[int], Awaitable[Conn]]
Runner = Callable[[Coroutine[Any, Any, float]], float]


def measure(run: Runner, opener: Opener, port: int, connections: int, scenario: Scenario) -> float:
    """Seconds that `scenario` took on fresh connections, driven by `run`."""
    async def main() -> float:
        conns = [await opener(port) for _ in range(connections)]
        start = time.perf_counter()
        await scenario(conns)
        elapsed = time.perf_counter() - start
        for c in conns:
            c.close()
        return elapsed

    return run(main())


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    ap.add_argument("--serve", action="store_true", help=argparse.SUPPRESS)
    ap.add_argument("--round-trips", type=int, default=20000, help="round trips on 1 connection")
    ap.add_argument("--rounds", type=int, default=200, help="rounds on 100 connections")
    ap.add_argument("--bulk-mib", type=int, default=64)
    ap.add_argument("--repeat", type=int, default=3, help="best of this many runs")
    args = ap.parse_args()
    if args.serve:
        serve()
        return

    import velkor
    clients: dict[str, tuple[Runner, Opener]] = {
        "velkor": (velkor.run, VelkorConn.open),
        "threaded": (velkor.run, ThreadedConn.open),
        "sockets": (run_blocking, SocketConn.open),
        "asyncio": (asyncio.run, AsyncioConn.open),
    }
    try:
        import uvloop
        clients["uvloop"] = (uvloop.run, AsyncioConn.open)
    except ImportError:
        print("uvloop is not installed: its column is left out", file=sys.stderr)
    try:
        import trio  # noqa: F401
        clients["trio"] = (trio_run, TrioConn.open)
    except ImportError:
        print("trio is not installed: its column is left out", file=sys.stderr)

    total = args.bulk_mib << 20
    rows: list[tuple[str, str, Callable[[float], float], int, Scenario]] = [
        ("echo, 1 KiB, 1 connection", "round trips/s", lambda t: args.round_trips / t, 1,
         lambda conns: echo_rounds(conns, args.round_trips)),
        ("echo, 1 KiB, 100 connections", "round trips/s", lambda t: 100 * args.rounds / t, 100,
         lambda conns: echo_rounds(conns, args.rounds)),
        (f"bulk, {args.bulk_mib} MiB each way", "MB/s", lambda t: total / t / 1e6, 1,
         lambda conns: bulk(conns[0], total)),
    ]

    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    server = subprocess.Popen([sys.executable, __file__, "--serve"], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True, env=env)
    try:
        assert server.stdout is not None
        port = int(server.stdout.readline())
        print(f"{'':32}{'':>15}" + "".join(f"{name:>12}" for name in clients))
        for title, unit, rate, connections, scenario in rows:
            figures = []
            for run, opener in clients.values():
                best = min(measure(run, opener, port, connections, scenario)
                           for _ in range(args.repeat))
                figures.append(rate(best))
            print(f"{title:32}{unit:>15}" + "".join(f"{f:>12,.0f}" for f in figures), flush=True)
    finally:
        server.communicate(timeout=30)


if __name__ == "__main__":
    main()
