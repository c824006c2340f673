"""Loopback peers for the TCP tests: servers written with the standard library,
in threads of the test process or in a subprocess of their own.

Run as a script it is the subprocess peer:
  peers.py echo                 an asyncio echo server
  peers.py bulk SIZE SEED       receives SIZE bytes and sends SIZE bytes made
                                from SEED at the same time, then prints the
                                SHA-256 of both
Either prints its port on the first line of its output.
"""

from __future__ import annotations

import hashlib
import os
import random
import socket
import subprocess
import sys
import threading
from collections.abc import Callable, Iterator

BLOCK = 1 << 20


def blocks(size: int, seed: int) -> Iterator[bytes]:
    """A reproducible stream of `size` pseudo-random bytes, in blocks of 1 MiB."""
    rng = random.Random(seed)
    while size > 0:
        n = min(BLOCK, size)
        yield rng.randbytes(n)
        size -= n


def ipv6_loopback() -> bool:
    """Whether this machine can bind the IPv6 loopback address."""
    try:
        with socket.socket(socket.AF_INET6) as s:
            s.bind(("::1", 0))
        return True
    except OSError:
        return False


def free_port(host: str = "127.0.0.1") -> int:
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    with socket.socket(family) as s:
        s.bind((host, 0))
        return s.getsockname()[1]


def recv_exactly(conn: socket.socket, n: int) -> bytes:
    data = bytearray()
    while len(data) < n:
        piece = conn.recv(n - len(data))
        if not piece:
            break
        data += piece
    return bytes(data)


def recv_all(conn: socket.socket) -> bytes:
    data = bytearray()
    while piece := conn.recv(65536):
        data += piece
    return bytes(data)


class ThreadServer:
    """Accepts `connections` connections on a loopback port and runs
    handler(conn) for each in a thread of its own. Leaving the `with` block
    joins the handlers and closes every socket; a handler's exception is
    re-raised there."""

    def __init__(self, handler: Callable[[socket.socket], object], host: str = "127.0.0.1",
                 connections: int = 1) -> None:
        family = socket.AF_INET6 if ":" in host else socket.AF_INET
        self.listener = socket.socket(family)
        self.listener.bind((host, 0))
        self.listener.listen(connections)
        self.listener.settimeout(30)
        self.port: int = self.listener.getsockname()[1]
        self.handler = handler
        self.connections = connections
        self.results: list[object] = []
        self.errors: list[BaseException] = []
        self.thread = threading.Thread(target=self._serve)

    def __enter__(self) -> ThreadServer:
        self.thread.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self.thread.join(60)
        self.listener.close()
        if self.errors and exc[0] is None:
            raise self.errors[0]

    def _serve(self) -> None:
        workers = []
        try:
            for _ in range(self.connections):
                conn, _ = self.listener.accept()
                t = threading.Thread(target=self._handle, args=(conn,))
                t.start()
                workers.append(t)
        except BaseException as e:  # noqa: BLE001 - reported by __exit__
            self.errors.append(e)
        for t in workers:
            t.join(60)

    def _handle(self, conn: socket.socket) -> None:
        conn.settimeout(30)
        try:
            with conn:
                self.results.append(self.handler(conn))
        except BaseException as e:  # noqa: BLE001 - reported by __exit__
            self.errors.append(e)


class ProcessPeer:
    """A peer in a subprocess (see the module docstring)."""

    def __init__(self, *args: str) -> None:
        env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
        # The peer runs until its standard input closes.
        self.proc = subprocess.Popen([sys.executable, __file__, *args], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, text=True, env=env)
        assert self.proc.stdout is not None
        self.port = int(self.proc.stdout.readline())

    def __enter__(self) -> ProcessPeer:
        return self

    def __exit__(self, *exc: object) -> None:
        try:
            self.proc.communicate(timeout=30)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.communicate()

    def output(self, timeout: float = 120) -> str:
        out, _ = self.proc.communicate(timeout=timeout)
        assert self.proc.returncode == 0
        return out


def _echo_main() -> None:
    import asyncio

    async def echo(reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        while data := await reader.read(65536):
            writer.write(data)
            await writer.drain()
        writer.close()

    async def main() -> None:
        server = await asyncio.start_server(echo, "127.0.0.1", 0, backlog=512)
        print(server.sockets[0].getsockname()[1], flush=True)
        await asyncio.to_thread(sys.stdin.read)

    asyncio.run(main())


def _bulk_main(size: int, seed: int) -> None:
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen(1)
        print(listener.getsockname()[1], flush=True)
        listener.settimeout(60)
        conn, _ = listener.accept()
        conn.settimeout(None)
    received = hashlib.sha256()

    def receive() -> None:
        buf = bytearray(BLOCK)
        view = memoryview(buf)
        left = size
        while left > 0:
            n = conn.recv_into(view, min(left, BLOCK))
            if n == 0:
                break
            received.update(view[:n])
            left -= n

    t = threading.Thread(target=receive)
    t.start()
    sent = hashlib.sha256()
    for block in blocks(size, seed):
        sent.update(block)
        conn.sendall(block)
    t.join()
    conn.close()
    print("received", received.hexdigest())
    print("sent", sent.hexdigest(), flush=True)


if __name__ == "__main__":
    if sys.argv[1] == "echo":
        _echo_main()
    else:
        _bulk_main(int(sys.argv[2]), int(sys.argv[3]))
