"""Echo servers for the server workloads, one per runtime and idiom.

    python3.14 bench/servers.py KIND

starts the server KIND on 127.0.0.1 (a free port), prints the port on a line
of its own, and serves until its standard input ends (the suite closes it, and
so does the suite's death). Every server echoes each received chunk back on
the same connection, and ends a connection when the client ends it.

Kinds: velkor (`velkor.start_server`), asyncio and uvloop (streams:
`asyncio.start_server`), asyncio-proto and uvloop-proto (a Protocol on
`loop.create_server`), trio (`trio.serve_tcp`).
"""

from __future__ import annotations

import asyncio
import resource
import sys
from collections.abc import Callable, Coroutine
from typing import Any
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent

HOST = "127.0.0.1"
BACKLOG = 1024
CHUNK = 65536


def announce(port: int) -> None:
    print(port, flush=True)


def wait_for_stdin_end() -> None:
    """Blocks until the parent closes our standard input (run on a worker thread)."""
    sys.stdin.read()


def raise_fd_limit() -> int:
    """The soft descriptor limit raised to the hard one; returns the new soft limit."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft != hard:
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    return resource.getrlimit(resource.RLIMIT_NOFILE)[0]


# ---- velkor ------------------------------------------------------------------------


def velkor_missing() -> str | None:
    """Why velkor's server cannot run here, or None when it can."""
    try:
        import velkor
    except ImportError as e:
        return f"velkor does not import: {e}"
    if not hasattr(velkor, "start_server"):
        return "velkor.start_server is not there yet"
    return None


def serve_velkor() -> None:
    import velkor

    async def handle(stream: velkor.Stream) -> None:
        try:
            while data := await stream.read(CHUNK):
                await stream.write(data)
        except ConnectionError:
            pass
        finally:
            stream.close()

    async def main() -> None:
        server = await velkor.start_server(handle, HOST, 0, backlog=BACKLOG)
        announce(server.port)
        await velkor.to_thread(wait_for_stdin_end)
        server.close()
        server.close_clients()
        await velkor.wait_for(server.wait_closed(), 10)

    velkor.run(main())


# ---- asyncio and uvloop ------------------------------------------------------------


async def asyncio_streams_main() -> None:
    async def handle(reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        try:
            while data := await reader.read(CHUNK):
                writer.write(data)
                await writer.drain()
        except ConnectionError:
            pass
        finally:
            writer.close()

    server = await asyncio.start_server(handle, HOST, 0, backlog=BACKLOG)
    await serve_asyncio(server)


class EchoProtocol(asyncio.Protocol):
    def connection_made(self, transport: asyncio.BaseTransport) -> None:
        self.transport: asyncio.Transport = transport  # type: ignore[assignment]

    def data_received(self, data: bytes) -> None:
        self.transport.write(data)

    # Flow control: stop reading while the client is not taking the echo.
    def pause_writing(self) -> None:
        self.transport.pause_reading()

    def resume_writing(self) -> None:
        self.transport.resume_reading()


async def asyncio_protocol_main() -> None:
    loop = asyncio.get_running_loop()
    server = await loop.create_server(EchoProtocol, HOST, 0, backlog=BACKLOG)
    await serve_asyncio(server)


async def serve_asyncio(server: asyncio.AbstractServer) -> None:
    announce(server.sockets[0].getsockname()[1])  # type: ignore[attr-defined]
    await asyncio.get_running_loop().run_in_executor(None, wait_for_stdin_end)
    server.close()
    # Connections still open end with the loop; the clients have gone by now.


def run_with_velkor_loop(main: Callable[[], Coroutine[Any, Any, None]]) -> None:
    import velkor
    asyncio.run(main(), loop_factory=velkor.new_event_loop)


def run_with_uvloop(main: Callable[[], object]) -> None:
    import uvloop
    uvloop.run(main())  # type: ignore[arg-type]


# ---- trio --------------------------------------------------------------------------


def serve_trio() -> None:
    import trio

    async def handle(stream: trio.SocketStream) -> None:
        try:
            while data := await stream.receive_some(CHUNK):
                await stream.send_all(data)
        except trio.BrokenResourceError:
            pass

    async def main() -> None:
        async with trio.open_nursery() as nursery:
            listeners = await nursery.start(
                lambda task_status: trio.serve_tcp(handle, 0, host=HOST, backlog=BACKLOG,
                                                   task_status=task_status))
            announce(listeners[0].socket.getsockname()[1])
            await trio.to_thread.run_sync(wait_for_stdin_end)
            nursery.cancel_scope.cancel()

    trio.run(main)


SERVERS: dict[str, Callable[[], None]] = {
    "velkor": serve_velkor,
    "asyncio": lambda: asyncio.run(asyncio_streams_main()),
    "asyncio-proto": lambda: asyncio.run(asyncio_protocol_main()),
    "uvloop": lambda: run_with_uvloop(asyncio_streams_main),
    "uvloop-proto": lambda: run_with_uvloop(asyncio_protocol_main),
    "trio": serve_trio,
    "velkor-loop": lambda: run_with_velkor_loop(asyncio_streams_main),
    "velkor-loop-proto": lambda: run_with_velkor_loop(asyncio_protocol_main),
}


def main(argv: list[str]) -> int:
    if len(argv) != 1 or argv[0] not in SERVERS:
        print(f"usage: servers.py {{{','.join(SERVERS)}}}", file=sys.stderr)
        return 2
    for path in (str(ROOT), str(ROOT / "build" / "release")):
        if path not in sys.path:
            sys.path.append(path)
    raise_fd_limit()
    SERVERS[argv[0]]()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
