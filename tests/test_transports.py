"""velkor.EventLoop's native stream transports: what asyncio's own suite does
not press on (small protocol buffers, backpressure, how a connection ends,
descriptors left behind)."""

import asyncio
import gc
import hashlib
import os
import socket
import struct
import weakref

import pytest

import velkor
from velkor._transports import NativeTransport


def run(coro):
    return asyncio.run(coro, loop_factory=velkor.new_event_loop)


def open_fds():
    return len(os.listdir("/proc/self/fd"))


class Recorder(asyncio.Protocol):
    """Keeps every callback it hears, in order."""

    def __init__(self):
        self.events = []
        self.data = bytearray()
        self.lost = asyncio.get_running_loop().create_future()

    def connection_made(self, transport):
        self.transport = transport
        self.events.append("made")

    def data_received(self, data):
        self.data += data

    def eof_received(self):
        self.events.append("eof")

    def pause_writing(self):
        self.events.append("pause")

    def resume_writing(self):
        self.events.append("resume")

    def connection_lost(self, exc):
        self.events.append(("lost", type(exc).__name__ if exc else None))
        if not self.lost.done():
            self.lost.set_result(exc)


async def pair(server_protocol=Recorder, client_protocol=Recorder):
    """A server and one connection to it: (server, server-side protocol, client protocol)."""
    loop = asyncio.get_running_loop()
    accepted = loop.create_future()

    def factory():
        proto = server_protocol()
        accepted.set_result(proto)
        return proto

    server = await loop.create_server(factory, "127.0.0.1", 0)
    port = server.sockets[0].getsockname()[1]
    _, client = await loop.create_connection(client_protocol, "127.0.0.1", port)
    return server, await accepted, client


class SmallBuffer(asyncio.BufferedProtocol):
    def __init__(self):
        self.buffer = bytearray(7)
        self.got = bytearray()
        self.hints = set()
        self.done = asyncio.get_running_loop().create_future()

    def get_buffer(self, sizehint):
        self.hints.add(sizehint)
        return self.buffer

    def buffer_updated(self, nbytes):
        assert 0 < nbytes <= len(self.buffer)
        self.got += self.buffer[:nbytes]

    def eof_received(self):
        self.done.set_result(bytes(self.got))

    def connection_lost(self, exc):
        pass


def test_buffered_protocol_with_a_small_buffer_gets_a_large_burst_in_order():
    payload = os.urandom(1 << 20)

    async def main():
        server, _, client = await pair(client_protocol=SmallBuffer)
        sender = next(iter(server._clients))
        assert isinstance(sender, NativeTransport)
        sender.write(payload)
        sender.write_eof()
        got = await asyncio.wait_for(client.done, 30)
        assert client.hints == {-1}
        server.close()
        return got

    assert hashlib.sha256(run(main())).digest() == hashlib.sha256(payload).digest()


def test_write_backpressure_pauses_and_resumes_over_a_slow_reader():
    chunk = os.urandom(64 * 1024)

    async def main():
        server, reader, writer = await pair()
        writer.transport.set_write_buffer_limits(high=128 * 1024)
        reader.transport.pause_reading()  # the peer takes nothing for now
        sent = 0
        while "pause" not in writer.events:
            writer.transport.write(chunk)
            sent += len(chunk)
            assert sent < 64 << 20, "never paused"
        assert writer.transport.get_write_buffer_size() > 128 * 1024
        assert "resume" not in writer.events
        reader.transport.resume_reading()
        while len(reader.data) < sent:
            await asyncio.sleep(0.01)
        assert writer.events[-2:] == ["pause", "resume"]
        assert writer.transport.get_write_buffer_size() == 0
        assert bytes(reader.data) == chunk * (sent // len(chunk))
        # New marks below what is buffered hold the protocol back at once.
        reader.transport.pause_reading()
        writer.transport.set_write_buffer_limits(high=1 << 30)
        while writer.transport.get_write_buffer_size() < 4096:
            writer.transport.write(chunk)
        assert writer.events[-1] == "resume"
        writer.transport.set_write_buffer_limits(high=1024)
        assert writer.events[-1] == "pause"
        server.close()
        writer.transport.abort()

    run(main())


def linger_reset(transport):
    sock = transport.get_extra_info("socket")
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    transport.abort()


class CloseOnData(Recorder):
    def data_received(self, data):
        super().data_received(data)
        self.transport.close()
        self.transport.close()
        self.transport.write(b"dropped")  # after close: dropped, not raised


class RaiseOnData(Recorder):
    def data_received(self, data):
        raise ZeroDivisionError("from data_received")


@pytest.mark.parametrize("how, server_protocol, expected", [
    ("peer reset", Recorder, "ConnectionResetError"),
    ("abort", Recorder, None),
    ("close with buffered bytes", Recorder, None),
    ("close inside data_received", CloseOnData, None),
    ("data_received raises", RaiseOnData, "ZeroDivisionError"),
])
def test_connection_lost_exactly_once(how, server_protocol, expected):
    async def main():
        loop = asyncio.get_running_loop()
        reported = []
        loop.set_exception_handler(lambda _, ctx: reported.append(ctx))
        server, served, client = await pair(server_protocol=server_protocol)
        if how == "peer reset":
            linger_reset(client.transport)
        elif how == "abort":
            served.transport.write(b"x" * (1 << 22))
            served.transport.abort()
            served.transport.abort()
        elif how == "close with buffered bytes":
            client.transport.pause_reading()
            served.transport.write(b"y" * (1 << 22))
            served.transport.close()
            assert served.transport.is_closing()
            client.transport.resume_reading()
        else:
            client.transport.write(b"ping")
        exc = await asyncio.wait_for(served.lost, 10)
        await asyncio.sleep(0.05)  # a second connection_lost would come by now
        lost = [e for e in served.events if isinstance(e, tuple)]
        assert lost == [("lost", expected)]
        assert served.transport.is_closing()
        if how == "close with buffered bytes":
            await asyncio.wait_for(client.lost, 10)
            assert len(client.data) == 1 << 22  # close flushes first
        if how == "data_received raises":
            assert [ctx["message"] for ctx in reported] == [
                "Fatal error: protocol.data_received() call failed."]
            assert reported[0]["exception"] is exc
        else:
            assert reported == []
        client.transport.close()
        server.close()
        await server.wait_closed()

    run(main())


def test_no_descriptor_left_after_the_server_closes(tmp_path):
    async def main(family):
        loop = asyncio.get_running_loop()
        if family == "unix":
            path = str(tmp_path / "s")
            server = await loop.create_unix_server(Recorder, path)
            connect = lambda: loop.create_unix_connection(Recorder, path)  # noqa: E731
        else:
            server = await loop.create_server(Recorder, "127.0.0.1", 0)
            port = server.sockets[0].getsockname()[1]
            connect = lambda: loop.create_connection(Recorder, "127.0.0.1", port)  # noqa: E731
        clients = [(await connect())[1] for _ in range(5)]
        while len(server._clients) < 5:
            await asyncio.sleep(0.01)
        # an accepted connection's socket object is made on demand, and closed with it
        for transport in list(server._clients):
            assert transport.get_extra_info("socket").fileno() >= 0
        server.close()
        server.close_clients()
        await asyncio.wait_for(server.wait_closed(), 10)
        for client in clients:
            await asyncio.wait_for(client.lost, 10)

    for family in ("tcp", "unix"):
        before = open_fds()
        run(main(family))
        assert open_fds() == before, family


def test_streams_and_tls_run_on_native_transports():
    ssl = pytest.importorskip("ssl")
    from test.test_asyncio import utils as test_utils

    server_ctx = test_utils.simple_server_sslcontext()
    client_ctx = test_utils.simple_client_sslcontext()

    async def main():
        async def echo(reader, writer):
            while data := await reader.read(1 << 16):
                writer.write(data)
                await writer.drain()
            writer.close()

        results = []
        for ctx in (None, (server_ctx, client_ctx)):
            server = await asyncio.start_server(echo, "127.0.0.1", 0,
                                                ssl=ctx[0] if ctx else None)
            port = server.sockets[0].getsockname()[1]
            reader, writer = await asyncio.open_connection(
                "127.0.0.1", port, ssl=ctx[1] if ctx else None)
            raw = writer.transport
            if ctx:
                raw = raw._ssl_protocol._transport
            payload = os.urandom(300_000)
            writer.write(payload)
            got = await reader.readexactly(len(payload))
            writer.close()
            await writer.wait_closed()
            server.close()
            await server.wait_closed()
            results.append((type(raw), got == payload))
        return results

    assert run(main()) == [(NativeTransport, True), (NativeTransport, True)]


class TailOnResume(Recorder):
    def resume_writing(self):
        super().resume_writing()
        self.transport.write(b"tail")  # the transport is closing by now


def test_a_closing_transport_still_sends_what_resume_writing_writes():
    chunk = b"z" * 65536

    async def main():
        server, reader, writer = await pair(client_protocol=TailOnResume)
        reader.transport.pause_reading()
        while "pause" not in writer.events:
            writer.transport.write(chunk)
        writer.transport.close()
        reader.transport.resume_reading()
        await asyncio.wait_for(reader.lost, 10)
        server.close()
        return writer.events, bytes(reader.data[-8:]), len(reader.data) % len(chunk)

    events, tail, extra = run(main())
    assert events[-3:] == ["pause", "resume", ("lost", None)]
    assert (tail, extra) == (b"z" * 4 + b"tail", 4)


@pytest.mark.parametrize("case", ["str", "after_eof", "after_abort", "two_args", "sendfile_then_write",
                                  "read_handler_cleared_on_close"])
def test_native_write_keeps_asyncio_errors(case, tmp_path):
    async def main():
        server, accepted, client = await pair()
        transport = client.transport
        if case == "str":
            with pytest.raises(TypeError):
                transport.write("text")
        elif case == "after_eof":
            transport.write_eof()
            with pytest.raises(RuntimeError, match="write_eof"):
                transport.write(b"late")
        elif case == "after_abort":
            transport.abort()
            transport.write(b"dropped")  # dropped, as asyncio drops it
            await asyncio.wait_for(client.lost, 10)
        elif case == "two_args":
            with pytest.raises(TypeError):
                transport.write(b"a", b"b")
        elif case == "read_handler_cleared_on_close":
            assert callable(transport._read_ready_cb)  # as asyncio's socket transports keep it
            transport.close()
            assert transport._read_ready_cb is None
        else:
            path = tmp_path / "file"
            path.write_bytes(b"from a file;")
            with open(path, "rb") as f:
                assert await asyncio.get_running_loop().sendfile(transport, f) == 12
            transport.write(b" then a write")
            want = b"from a file; then a write"
            for _ in range(200):
                if len(accepted.data) >= len(want):
                    break
                await asyncio.sleep(0.01)
            assert bytes(accepted.data) == want
        server.close()

    run(main())


@pytest.mark.parametrize("sizes", [[1, 7, 513, 4096], [70_000, 3, 300_000]])
def test_data_received_gets_every_byte_in_order_whatever_the_read_size(sizes):
    payloads = [os.urandom(n) for n in sizes]

    async def main():
        server, accepted, client = await pair()
        for chunk in payloads:
            client.transport.write(chunk)
            await asyncio.sleep(0.01)  # separate reads, each sized by the last
        client.transport.write_eof()
        for _ in range(1000):
            if "eof" in accepted.events:
                break
            await asyncio.sleep(0.01)
        server.close()
        return bytes(accepted.data)

    assert run(main()) == b"".join(payloads)


def test_a_closed_transport_is_freed_without_the_collector():
    # Its native write() refers back to it: closing must break that cycle, or
    # the transport (and an SSL context behind it) waits for a collection.
    async def main():
        loop = asyncio.get_running_loop()
        server = await loop.create_server(asyncio.Protocol, "127.0.0.1", 0)
        lost = loop.create_future()

        class Client(asyncio.Protocol):
            def connection_lost(self, exc):
                lost.set_result(None)

        transport, _ = await loop.create_connection(Client, "127.0.0.1",
                                                    server.sockets[0].getsockname()[1])
        transport.write(b"x")
        freed = weakref.ref(transport)
        transport.close()
        del transport
        await lost
        await asyncio.sleep(0)
        server.close()
        return freed

    gc.disable()
    try:
        assert run(main())() is None
    finally:
        gc.enable()
