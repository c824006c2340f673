"""Event-driven networking: the package's streams and server on the loop's own
epoll, against standard-library peers, redis-server and each other.

The heavy cases run smaller by default; VELKOR_NET_FULL=1 runs the full
figures (256 MiB each way, 1,000 connections of 100 round trips)."""

import asyncio
import errno
import gc
import hashlib
import logging
import os
import shutil
import socket
import struct
import subprocess
import threading
import time

import pytest

import velkor
from conftest import native_threads
from peers import ProcessPeer, blocks, free_port, ipv6_loopback, recv_all, recv_exactly

FULL = os.environ.get("VELKOR_NET_FULL") == "1"
BULK_MIB = 256 if FULL else 16
CONNECTIONS, ROUND_TRIPS = (1000, 100) if FULL else (200, 20)
MIB = 1 << 20


FAMILIES = ["ipv4", pytest.param("ipv6", marks=pytest.mark.skipif(
    not ipv6_loopback(), reason="no IPv6 loopback")), "unix", "abstract"]


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class Listening:
    """A standard-library listening socket of one family, with `connect()`
    giving the coroutine that opens a velkor stream to it."""

    def __init__(self, family, tmp_path):
        if family in ("unix", "abstract"):
            self.sock = socket.socket(socket.AF_UNIX)
            self.address = (str(tmp_path / "peer.sock") if family == "unix"
                            else f"\0velkor-test-{os.getpid()}-{id(self)}")
        else:
            host = "::1" if family == "ipv6" else "127.0.0.1"
            self.sock = socket.socket(socket.AF_INET6 if family == "ipv6" else socket.AF_INET)
            self.address = (host, 0)
        self.sock.bind(self.address)
        self.sock.listen(16)
        self.sock.settimeout(30)
        self.address = self.sock.getsockname()

    def connect(self, **kwargs):
        if isinstance(self.address, tuple):
            return velkor.open_connection(*self.address[:2], **kwargs)
        return velkor.open_unix_connection(self.address)

    def serve_in_thread(self, handler):
        """Accepts one connection and runs handler(conn) in a thread."""
        def run():
            conn, _ = self.sock.accept()
            conn.settimeout(30)
            with conn:
                self.result = handler(conn)

        self.thread = threading.Thread(target=run)
        self.thread.start()
        return self

    def close(self):
        if getattr(self, "thread", None):
            self.thread.join(60)
        self.sock.close()


@pytest.fixture
def listening(tmp_path):
    made = []

    def make(family="ipv4"):
        made.append(Listening(family, tmp_path))
        return made[-1]

    yield make
    for peer in made:
        peer.close()


def echo(conn):
    while data := conn.recv(MIB):
        conn.sendall(data)
    return "done"


# ---- round trips ----------------------------------------------------------------

@pytest.mark.parametrize("family", FAMILIES)
def test_round_trip_with_a_stdlib_peer(family, listening):
    peer = listening(family).serve_in_thread(echo)

    async def main():
        async with await peer.connect() as stream:
            name = stream.getpeername()
            got = []
            for size in (1, 1024, 300_000, MIB):
                payload = os.urandom(size)
                # Written while reading: the echo stops reading while its
                # reply waits, and a Unix socket buffers less than 1 MiB.
                writing = velkor.spawn(stream.write(payload))
                got.append(await stream.readexactly(size) == payload)
                assert await writing == size
            stream.write_eof()
            got.append(await stream.read())
        return got, name

    got, name = velkor.run(main())
    assert got == [True] * 4 + [b""]
    assert name == peer.address
    assert peer.result == "done"


@pytest.mark.parametrize("family", FAMILIES)
def test_velkor_server_with_a_stdlib_client(family, tmp_path):
    async def handler(stream):
        while line := await stream.readline():
            await stream.write(line.upper())

    def client(address, sock_family):
        with socket.socket(sock_family) as s:
            s.settimeout(30)
            s.connect(address)
            s.sendall(b"hello\nworld\n")
            s.shutdown(socket.SHUT_WR)
            return recv_all(s)

    async def main():
        if family in ("unix", "abstract"):
            path = str(tmp_path / "srv.sock") if family == "unix" else "\0velkor-srv-%d" % os.getpid()
            server = await velkor.start_unix_server(handler, path)
            address, sock_family = path, socket.AF_UNIX
        else:
            host = "::1" if family == "ipv6" else "127.0.0.1"
            server = await velkor.start_server(handler, host, 0)
            address = (host, server.port)
            sock_family = socket.AF_INET6 if family == "ipv6" else socket.AF_INET
        async with server:
            reply = await velkor.to_thread(client, address, sock_family)
        return reply, server.sockets, (os.path.exists(address) if family == "unix" else False)

    assert velkor.run(main()) == (b"HELLO\nWORLD\n", (), False)


def test_connect_tries_each_address_and_binds_the_local_one(listening):
    peer = listening("ipv4")  # nothing listens on ::1: "localhost" may have to go on to 127.0.0.1
    local_port = free_port()

    async def main():
        plain = await velkor.open_connection("localhost", peer.address[1])
        bound = await velkor.open_connection("localhost", peer.address[1],
                                             local_addr=("127.0.0.1", local_port))
        names = plain.getpeername()[:2], bound.getsockname()
        plain.close()
        bound.close()
        return names

    assert velkor.run(main()) == (("127.0.0.1", peer.address[1]), ("127.0.0.1", local_port))


REDIS = shutil.which("redis-server") or "/usr/bin/redis-server"


@pytest.fixture
def redis(tmp_path):
    if not os.path.exists(REDIS):
        pytest.skip("redis-server is not installed")
    port = free_port()
    path = str(tmp_path / "redis.sock")
    binds = ["127.0.0.1"] + (["::1"] if ipv6_loopback() else [])
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    proc = subprocess.Popen([REDIS, "--port", str(port), "--bind", *binds, "--unixsocket", path,
                             "--save", "", "--appendonly", "no", "--protected-mode", "no"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
    try:
        deadline = time.monotonic() + 20
        while not os.path.exists(path):
            assert proc.poll() is None and time.monotonic() < deadline, "redis-server did not start"
            time.sleep(0.05)
        yield {"ipv4": ("127.0.0.1", port), "ipv6": ("::1", port), "unix": path}
    finally:
        proc.terminate()
        proc.wait(20)


@pytest.mark.parametrize("family", FAMILIES[:3])
def test_redis_round_trip(family, redis):
    value = os.urandom(100_000)

    async def main():
        address = redis[family]
        stream = await (velkor.open_unix_connection(address) if family == "unix"
                        else velkor.open_connection(*address))
        async with stream:
            await stream.write(b"*3\r\n$3\r\nSET\r\n$1\r\nk\r\n$%d\r\n%s\r\n" % (len(value), value))
            first = await stream.readline()
            await stream.write(b"*2\r\n$3\r\nGET\r\n$1\r\nk\r\n")
            header = await stream.readline()
            body = await stream.readexactly(len(value) + 2)
        return first, header, body[:-2] == value

    assert velkor.run(main()) == (b"+OK\r\n", b"$%d\r\n" % len(value), True)


def test_bulk_each_way_with_checksums():
    size = BULK_MIB * MIB
    with ProcessPeer("bulk", str(size), "7") as peer:
        async def main():
            stream = await velkor.open_connection("127.0.0.1", peer.port)
            received = hashlib.sha256()

            async def receive():
                left = size
                while left:
                    chunk = await stream.read(min(left, MIB))
                    assert chunk, "the peer ended early"
                    received.update(chunk)
                    left -= len(chunk)

            reader = velkor.spawn(receive())
            sent = hashlib.sha256()
            for block in blocks(size, 11):
                sent.update(block)
                await stream.write(block)
            await reader
            stream.close()
            await stream.wait_closed()
            return received.hexdigest(), sent.hexdigest()

        got_received, got_sent = velkor.run(main())
        lines = dict(line.split() for line in peer.output().splitlines())
    expected_from_peer = hashlib.sha256(b"".join(blocks(size, 7))).hexdigest()
    assert got_received == lines["sent"] == expected_from_peer
    assert got_sent == lines["received"]


def test_many_connections_without_a_thread_each():
    async def handler(stream):
        while data := await stream.read(4096):
            await stream.write(data)

    async def main():
        threads_before = native_threads()
        connected = 0
        all_in = velkor.Event()
        seen_threads = []

        async def client(i):
            nonlocal connected
            async with await velkor.open_connection("127.0.0.1", server.port) as stream:
                connected += 1
                if connected == CONNECTIONS:
                    seen_threads.append(native_threads())
                    all_in.set()
                await all_in.wait()
                for j in range(ROUND_TRIPS):
                    message = b"%d:%d;" % (i, j)
                    await stream.write(message)
                    assert await stream.readexactly(len(message)) == message
            return i

        async with await velkor.start_server(handler, "127.0.0.1", 0, backlog=CONNECTIONS) as server:
            done = await velkor.gather(*(client(i) for i in range(CONNECTIONS)))
        return done, seen_threads[0] - threads_before

    fds_before = len(os.listdir("/proc/self/fd"))
    done, extra_threads = velkor.run(main())
    assert done == list(range(CONNECTIONS))
    assert extra_threads <= 0
    assert len(os.listdir("/proc/self/fd")) == fds_before


# ---- backpressure -------------------------------------------------------------------

def test_a_writer_to_a_peer_that_never_reads_is_held(listening):
    peer = listening()
    chunk = b"x" * MIB

    async def main():
        stream = await peer.connect()
        conn, _ = peer.sock.accept()
        with conn:
            written = 0

            async def writer():
                nonlocal written
                for _ in range(64):
                    await stream.write(chunk)
                    written += 1

            before = rss()
            task = velkor.spawn(writer())
            await velkor.sleep(0.5)
            held = (task.done(), written, stream.get_write_buffer_size())
            growth = rss() - before
            task.cancel()
            # The bytes of the cancelled write are buffered: the peer gets them all.
            stream.close()
            received = len(await velkor.to_thread(recv_all, conn))
            await stream.wait_closed()
        return held, growth, received, written

    (done, written_while_held, buffered), growth, received, written = velkor.run(main())
    assert not done
    assert written_while_held < 32, "writes went on although the peer read nothing"
    assert buffered <= 64 * 1024 + MIB
    assert growth < 24 * MIB
    assert received == (written + 1) * MIB


# ---- errors ----------------------------------------------------------------------------

def test_connect_failures_have_their_own_types():
    async def main():
        refused_port = free_port()
        out = []
        for connect in (lambda: velkor.open_connection("127.0.0.1", refused_port),
                        lambda: velkor.open_connection("no-such-host.invalid", 80)):
            try:
                await connect()
            except OSError as e:
                out.append((type(e), e.errno))
        return out

    (refused, refused_errno), (gai, _) = velkor.run(main())
    assert (refused, refused_errno) == (ConnectionRefusedError, errno.ECONNREFUSED)
    assert gai is socket.gaierror


def _pipe():
    read_end, write_end = os.pipe()
    os.close(write_end)
    return read_end


DESCRIPTORS = {
    "pipe": _pipe,
    "datagram socket": lambda: socket.socket(socket.AF_INET, socket.SOCK_DGRAM).detach(),
    "listening socket": lambda: socket.create_server(("127.0.0.1", 0)).detach(),
    "unconnected socket": lambda: socket.socket().detach(),
}


@pytest.mark.parametrize("adopt, descriptor, error", [
    ("adopt_socket", "pipe", errno.ENOTSOCK),
    ("adopt_socket", "datagram socket", errno.EPROTOTYPE),
    ("adopt_socket", "listening socket", errno.EINVAL),
    ("adopt_listener", "pipe", errno.ENOTSOCK),
    ("adopt_listener", "datagram socket", errno.EPROTOTYPE),
    ("adopt_listener", "unconnected socket", errno.EINVAL),
])
def test_adopting_the_wrong_descriptor_is_refused_and_leaves_it_open(adopt, descriptor, error):
    import _velkor

    async def main():
        fd = DESCRIPTORS[descriptor]()
        try:
            with pytest.raises(OSError) as caught:
                getattr(_velkor, adopt)(fd)
            os.fstat(fd)  # still the caller's, still open
        finally:
            os.close(fd)
        return caught.value.errno

    assert velkor.run(main()) == error


def reset(conn):
    conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    conn.close()


@pytest.mark.parametrize("where", ["read", "write"])
def test_a_peer_reset_ends_pending_operations(where, listening):
    peer = listening()

    async def main():
        stream = await peer.connect()
        conn, _ = peer.sock.accept()
        if where == "read":
            pending = velkor.spawn(stream.read(10))
        else:
            async def flood():
                while True:
                    await stream.write(b"y" * MIB)
            pending = velkor.spawn(flood())
        await velkor.sleep(0.1)
        reset(conn)
        try:
            await velkor.wait_for(pending, 10)
        except OSError as e:
            first = type(e)
        try:
            await stream.write(b"after")
        except OSError as e:
            later = type(e)
        return first, later

    first, later = velkor.run(main())
    assert first in (ConnectionResetError, BrokenPipeError)
    assert later is first


def test_half_close_both_ways(listening):
    peer = listening()

    async def main():
        stream = await peer.connect()
        conn, _ = peer.sock.accept()
        with conn:
            # Our end first: the peer sees the end and still answers.
            await stream.write(b"question")
            stream.write_eof()
            heard = await velkor.to_thread(recv_all, conn)
            conn.sendall(b"answer")
            try:
                await stream.write(b"more")
            except BrokenPipeError:
                refused = True
            # Then the peer's end: we read the end and the peer still gets nothing more.
            conn.shutdown(socket.SHUT_WR)
            got = await stream.read()
        stream.close()
        return heard, refused, got

    assert velkor.run(main()) == (b"question", True, b"answer")


def test_peer_end_then_we_keep_writing(listening):
    peer = listening()

    async def main():
        stream = await peer.connect()
        conn, _ = peer.sock.accept()
        with conn:
            conn.shutdown(socket.SHUT_WR)
            end = await stream.read(10)
            await stream.write(b"still here")
            stream.close()
            await stream.wait_closed()
            return end, await velkor.to_thread(recv_all, conn)

    assert velkor.run(main()) == (b"", b"still here")


# ---- cancellation -----------------------------------------------------------------------

@pytest.mark.parametrize("helper, expected", [
    ("read", b"abcde!\n"), ("readexactly", b"abcde!"), ("readuntil", b"abcde!"),
    ("readline", b"abcde!\n")])
def test_a_cancelled_read_loses_no_byte(helper, expected, listening):
    peer = listening()

    async def main():
        stream = await peer.connect()
        conn, _ = peer.sock.accept()
        with conn:
            read = {"read": lambda: stream.read(100), "readexactly": lambda: stream.readexactly(6),
                    "readuntil": lambda: stream.readuntil(b"!"), "readline": stream.readline}[helper]
            if helper != "read":
                conn.sendall(b"abc")  # seen by the helper before it is cancelled
                await velkor.sleep(0.05)
            with pytest.raises(TimeoutError):
                await velkor.wait_for(read(), 0.1)
            conn.sendall(b"de!\n" if helper != "read" else b"abcde!\n")
            got = await read()
            stream.close()
        return got

    assert velkor.run(main()) == expected


def test_helpers_return_only_whole_messages_however_the_bytes_arrive(listening):
    # A piece shorter than the separator, a separator split across pieces,
    # and a piece holding more than one message.
    peer = listening()

    async def main():
        stream = await peer.connect()
        conn, _ = peer.sock.accept()
        with conn:
            got = []
            for pieces, read in [([b"a", b"b\r", b"\n"], lambda: stream.readuntil(b"\r\n")),
                                 ([b"xy", b"z"], lambda: stream.readexactly(3)),
                                 ([b"one\ntwo\n"], stream.readline)]:
                reading = velkor.spawn(read())
                for piece in pieces:
                    conn.sendall(piece)
                    await velkor.sleep(0.02)
                got.append(await reading)
            got.append(await stream.readline())
            stream.close()
        return got

    assert velkor.run(main()) == [b"ab\r\n", b"xyz", b"one\n", b"two\n"]


def test_cancelled_accept_and_connect_leave_things_usable():
    # A listener whose accept queue is full drops new SYNs: a connect to it
    # stays in progress until cancelled.
    async def blackhole_connect(address):
        ticks = 0

        async def ticker():
            nonlocal ticks
            while True:
                await velkor.sleep(0.01)
                ticks += 1

        t = velkor.spawn(ticker())
        start = time.monotonic()
        try:
            await velkor.wait_for(velkor.open_connection(*address), 0.3)
            outcome = "connected"
        except TimeoutError:
            outcome = "timed out"
        elapsed = time.monotonic() - start
        t.cancel()
        return outcome, elapsed, ticks

    async def scenario():
        import _velkor
        sock = socket.socket()
        sock.bind(("127.0.0.1", 0))
        sock.listen(0)
        address = sock.getsockname()
        listener = _velkor.adopt_listener(sock.detach())
        with pytest.raises(TimeoutError):
            await velkor.wait_for(listener.accept(), 0.05)
        stream = await velkor.open_connection(*address)
        accepted = velkor.Stream(await velkor.wait_for(listener.accept(), 10))
        await stream.write(b"ping")
        pinged = await accepted.readexactly(4)
        # Fill the accept queue, then a further connect hangs.
        fillers = []
        for _ in range(4):
            f = socket.socket()
            f.setblocking(False)
            f.connect_ex(address)
            fillers.append(f)
        await velkor.sleep(0.1)
        outcome = await blackhole_connect(address)
        for f in fillers:
            f.close()
        stream.close()
        accepted.close()
        listener.close()
        return pinged, outcome

    pinged, (outcome, elapsed, ticks) = velkor.run(scenario())
    assert pinged == b"ping"
    assert outcome == "timed out"
    assert 0.25 < elapsed < 3
    assert ticks >= 5, "the loop stood still while connecting"


def test_a_closed_connection_never_sees_the_next_ones_data(listening):
    peer = listening()

    async def main():
        first = await peer.connect()
        conn1, _ = peer.sock.accept()
        pending = velkor.spawn(first.read(10))
        await velkor.sleep(0.05)
        first.close()
        try:
            await pending
        except OSError as e:
            outcome = e.errno
        second = await peer.connect()
        conn2, _ = peer.sock.accept()
        with conn1, conn2:
            conn1.sendall(b"for the first")
            conn2.sendall(b"for the second")
            got = await second.read(100)
        second.close()
        return outcome, got

    outcome, got = velkor.run(main())
    assert outcome == errno.EBADF
    assert got == b"for the second"


def test_a_pending_read_keeps_a_dropped_stream_open(listening):
    peer = listening()

    async def main():
        # Nothing but the read refers to the stream once it is parked.
        pending = velkor.spawn((await peer.connect()).read(10))
        conn, _ = peer.sock.accept()
        with conn:
            await velkor.sleep(0.05)
            gc.collect()
            conn.sendall(b"still here")
            return await pending

    assert velkor.run(main()) == b"still here"


# ---- the server ----------------------------------------------------------------------------

def test_closing_a_server_with_running_handlers(caplog):
    async def handler(stream):
        while line := await stream.readline():
            if line == b"boom\n":
                raise ValueError("handler failed")
            await stream.write(line)

    async def main():
        server = await velkor.start_server(handler, "127.0.0.1", 0)
        port = server.port
        a = await velkor.open_connection("127.0.0.1", port)
        b = await velkor.open_connection("127.0.0.1", port)
        await a.write(b"one\n")
        first = await a.readline()
        # A handler that raises ends only its own connection.
        await b.write(b"boom\n")
        b_end = await b.read()
        server.close()
        try:
            await velkor.open_connection("127.0.0.1", port)
            refused = False
        except ConnectionRefusedError:
            refused = True
        # Running handlers go on after close(); wait_closed() waits for them.
        await a.write(b"two\n")
        second = await a.readline()
        with pytest.raises(TimeoutError):
            await velkor.wait_for(server.wait_closed(), 0.1)
        server.close_clients()
        a_end = await a.read()
        await velkor.wait_for(server.wait_closed(), 10)
        a.close()
        b.close()
        return first, b_end, refused, second, a_end, server.is_serving()

    with caplog.at_level(logging.ERROR, logger="velkor.server"):
        assert velkor.run(main()) == (b"one\n", b"", True, b"two\n", b"", False)
    assert any("handler failed" in (r.exc_text or "") or r.exc_info for r in caplog.records)


def test_serve_forever_ends_when_cancelled():
    async def main():
        server = await velkor.start_server(lambda s: s.write(b"hi"), "127.0.0.1", 0)
        forever = velkor.spawn(server.serve_forever())
        stream = await velkor.open_connection("127.0.0.1", server.port)
        hello = await stream.read()
        forever.cancel()
        with pytest.raises(velkor.CancelledError):
            await forever
        await server.wait_closed()
        stream.close()
        return hello, server.is_serving()

    assert velkor.run(main()) == (b"hi", False)


# ---- the callback face ------------------------------------------------------------------------

class Recorder:
    def __init__(self):
        self.events = []
        self.data = bytearray()
        self.lost = velkor.Event()

    def callbacks(self):
        return dict(data_received=self.data_received, eof_received=lambda: self.events.append("eof"),
                    connection_lost=self.connection_lost,
                    pause_writing=lambda: self.events.append("pause"),
                    resume_writing=lambda: self.events.append("resume"))

    def data_received(self, data):
        self.data += data

    def connection_lost(self, exc):
        self.events.append(("lost", type(exc)))
        self.lost.set()


def test_callback_face_delivers_data_end_and_loss(listening):
    peer = listening()
    payload = os.urandom(3 * MIB)

    async def main():
        import _velkor
        conn = await _velkor.connect_tcp(*peer.address)
        sock, _ = peer.sock.accept()
        rec = Recorder()
        conn.start(**rec.callbacks())
        with sock:
            await velkor.to_thread(sock.sendall, payload)
            sock.shutdown(socket.SHUT_WR)
            while "eof" not in rec.events:
                await velkor.sleep(0.01)
            conn.send(b"bye")
            conn.close()
            await rec.lost.wait()
            tail = await velkor.to_thread(recv_all, sock)
        return bytes(rec.data) == payload, rec.events, tail

    assert velkor.run(main()) == (True, ["eof", ("lost", type(None))], b"bye")


def test_callback_face_pauses_and_resumes_writing(listening):
    peer = listening()

    async def main():
        import _velkor
        conn = await _velkor.connect_tcp(*peer.address)
        sock, _ = peer.sock.accept()
        rec = Recorder()
        conn.start(**rec.callbacks())
        conn.set_write_buffer_limits(high=256 * 1024)
        with sock:
            sent = 0
            while "pause" not in rec.events and sent < 256 * MIB:
                conn.send(b"z" * (64 * 1024))
                sent += 64 * 1024
            paused = list(rec.events)
            received = await velkor.to_thread(recv_exactly, sock, sent)
            while "resume" not in rec.events:
                await velkor.sleep(0.01)
            conn.abort()
            await rec.lost.wait()
        return paused, len(received) == sent, rec.events

    paused, complete, events = velkor.run(main())
    assert paused == ["pause"]
    assert complete
    assert events == ["pause", "resume", ("lost", type(None))]


@pytest.mark.parametrize("failure", ["callback raises", "peer resets"])
def test_callback_face_reports_what_ended_the_connection(failure, listening):
    peer = listening()

    async def main():
        import _velkor
        conn = await _velkor.connect_tcp(*peer.address)
        sock, _ = peer.sock.accept()
        rec = Recorder()
        callbacks = rec.callbacks()
        if failure == "callback raises":
            def data_received(data):
                raise KeyError("protocol failed")
            callbacks["data_received"] = data_received
            sock.sendall(b"data")
            sock.close()
        else:
            reset(sock)
        conn.start(**callbacks)
        await velkor.wait_for(rec.lost.wait(), 10)
        return rec.events, conn.fileno()

    events, fd = velkor.run(main())
    expected = KeyError if failure == "callback raises" else ConnectionResetError
    assert events == [("lost", expected)]
    assert fd == -1


def test_listener_callback_face_hands_over_each_connection():
    async def main():
        import _velkor
        sock = socket.create_server(("127.0.0.1", 0))
        port = sock.getsockname()[1]
        listener = _velkor.adopt_listener(sock.detach())
        accepted = []
        listener.start(accepted.append)
        clients = [await velkor.open_connection("127.0.0.1", port) for _ in range(3)]
        while len(accepted) < 3:
            await velkor.sleep(0.01)
        # Each accepted Connection works with either face.
        for i, conn in enumerate(accepted):
            conn.send(b"n%d" % i)
        replies = sorted([await c.readexactly(2) for c in clients])
        listener.pause_accepting()
        late = await velkor.open_connection("127.0.0.1", port)
        await velkor.sleep(0.1)
        paused_count = len(accepted)
        listener.resume_accepting()
        while len(accepted) < 4:
            await velkor.sleep(0.01)
        listener.close()
        for c in clients + [late]:
            c.close()
        for conn in accepted:
            conn.close()
        return replies, paused_count

    assert velkor.run(main()) == ([b"n0", b"n1", b"n2"], 3)
