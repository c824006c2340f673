"""The package's buffered streams: asyncio's streams as the reference for the
reading helpers, and a redis-server peer speaking its own protocol."""

import asyncio
import errno
import os
import shutil
import socket
import subprocess
import time

import pytest

import _velkor
from peers import ThreadServer, free_port, recv_all
from velkor.streams import IncompleteReadError, Stream, open_connection

HOST = "127.0.0.1"


class AsyncioStream:
    """asyncio's reader and writer behind the Stream interface."""

    def __init__(self, reader, writer):
        self.reader, self.writer = reader, writer

    def __getattr__(self, name):
        return getattr(self.reader, name)

    async def write(self, data):
        self.writer.write(data)
        await self.writer.drain()
        return len(data)

    def close(self):
        self.writer.close()


async def asyncio_connection(host, port):
    return AsyncioStream(*await asyncio.open_connection(host, port))


RUNNERS = {
    "velkor": (_velkor.run, open_connection),
    "asyncio": (asyncio.run, asyncio_connection),
}


def outcome(exc):
    return (type(exc).__name__, exc.partial, exc.expected)


async def reading_helpers(connect, port):
    stream = await connect(HOST, port)
    got = [await stream.readline(), await stream.readuntil(b"\r\n"), await stream.read(3),
           await stream.readexactly(4), await stream.readuntil(b"||")]
    try:
        await stream.readexactly(100)
    except IncompleteReadError as e:
        got.append(outcome(e))
    got += [await stream.readline(), await stream.read(10), await stream.read()]
    try:
        await stream.readuntil(b"x")
    except IncompleteReadError as e:
        got.append(outcome(e))
    stream.close()
    return got


async def read_to_end(connect, port):
    stream = await connect(HOST, port)
    first = await stream.read(0)
    data = await stream.read()
    last = await stream.readline()
    stream.close()
    return first, data, last


@pytest.mark.parametrize("scenario, payload", [
    (reading_helpers, [b"line one\nline two\r\nabcdefg||tail"]),
    # A separator split across sends still matches; an unfinished line ends the stream.
    (reading_helpers, [b"line one", b"\nline two\r", b"\nabc", b"defg|", b"|tail"]),
    (read_to_end, [os.urandom(300_000)]),
])
def test_helpers_behave_like_asyncio_streams(scenario, payload):
    results = {}
    for name, (run, connect) in RUNNERS.items():
        def peer(conn):
            for piece in payload:
                conn.sendall(piece)
                time.sleep(0.01)

        with ThreadServer(peer) as server:
            results[name] = run(scenario(connect, server.port))
    assert results["velkor"] == results["asyncio"]
    if scenario is read_to_end:
        assert results["velkor"] == (b"", b"".join(payload), b"")
    else:
        assert results["velkor"][0] == b"line one\n"


def test_close_ends_the_connection_after_queued_writes():
    with ThreadServer(recv_all) as server:
        async def main():
            async with await open_connection(HOST, server.port) as stream:
                counts = [await stream.write(b"ab"), await stream.write(bytearray([99]))]
            # The peer has seen the end of the stream while `stream` still exists.
            for _ in range(2000):
                if server.results:
                    break
                await _velkor.sleep(0.001)
            # A write after close() raises instead of vanishing.
            with pytest.raises(OSError) as late:
                await stream.write(b"late")
            return counts, late.value.errno, repr(stream)

        assert _velkor.run(main()) == ([2, 1], errno.EBADF, "<Stream closed>")
    assert server.results == [b"abc"]


# ---- a redis-server peer ---------------------------------------------------------

REDIS = shutil.which("redis-server") or "/usr/bin/redis-server"


@pytest.fixture
def redis_port():
    if not os.path.exists(REDIS):
        pytest.skip("redis-server is not installed")
    port = free_port()
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    proc = subprocess.Popen([REDIS, "--port", str(port), "--bind", HOST, "--save", "",
                             "--appendonly", "no", "--daemonize", "no", "--protected-mode", "no"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
    try:
        deadline = time.monotonic() + 20
        while True:
            try:
                with socket.create_connection((HOST, port), timeout=1) as probe:
                    probe.sendall(b"PING\r\n")
                    if probe.recv(16).startswith(b"+PONG"):
                        break
            except OSError:
                pass
            assert proc.poll() is None and time.monotonic() < deadline, "redis-server did not start"
            time.sleep(0.05)
        yield port
    finally:
        proc.terminate()
        try:
            proc.wait(20)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


class RedisError(Exception):
    pass


def command(*args):
    parts = [a if isinstance(a, bytes) else str(a).encode() for a in args]
    return b"*%d\r\n" % len(parts) + b"".join(b"$%d\r\n%s\r\n" % (len(p), p) for p in parts)


async def reply(stream):
    line = await stream.readuntil(b"\r\n")
    kind, rest = line[:1], line[1:-2]
    if kind == b"+":
        return rest.decode()
    if kind == b"-":
        raise RedisError(rest.decode())
    if kind == b":":
        return int(rest)
    if kind == b"$":
        n = int(rest)
        return None if n < 0 else (await stream.readexactly(n + 2))[:-2]
    if kind == b"*":
        return [await reply(stream) for _ in range(int(rest))]
    raise AssertionError(f"unexpected reply {line!r}")


def test_redis_commands_with_binary_values(redis_port):
    value = os.urandom(1 << 20) + b"\r\n$-1\r\n"

    async def main():
        async with await open_connection(HOST, redis_port) as stream:
            async def call(*args):
                await stream.write(command(*args))
                return await reply(stream)

            got = [await call("PING"), await call("SET", "blob", value)]
            got.append(await call("GET", "blob") == value)
            got += [await call("STRLEN", "blob"), await call("DEL", "blob"), await call("GET", "blob")]
            try:
                await call("NO-SUCH-COMMAND")
            except RedisError as e:
                got.append(str(e).split()[0])
            return got

    assert _velkor.run(main()) == ["PONG", "OK", True, len(value), 1, None, "ERR"]


def test_redis_pipelined_replies_stay_in_order(redis_port):
    count = 5000

    async def main():
        stream = _velkor.open_connection(HOST, redis_port)
        # Native stream: one write holding every command, replies read raw.
        requests = b"".join(command("RPUSH", "list", i) for i in range(count))
        assert await stream.write(requests) == len(requests)
        expected = b"".join(b":%d\r\n" % (i + 1) for i in range(count))
        data = b""
        while len(data) < len(expected):
            piece = await stream.read(65536)
            assert piece
            data += piece
        assert data == expected

        buffered = Stream(stream)
        await buffered.write(command("LRANGE", "list", 0, -1))
        items = await reply(buffered)
        buffered.close()
        return items

    assert _velkor.run(main()) == [str(i).encode() for i in range(count)]
