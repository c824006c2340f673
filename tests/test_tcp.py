"""TCP streams of the native module against loopback peers: reading, writing,
closing, connecting, the bind check, argument conversion, and load."""

import array
import ctypes
import errno
import hashlib
import os
import random
import signal
import socket
import struct
import subprocess
import sys
import threading
import time

import pytest

import _velkor
from conftest import SANITIZED, native_threads, open_fds, settle
from peers import ProcessPeer, ThreadServer, blocks, free_port, ipv6_loopback, recv_all, recv_exactly

HOST = "127.0.0.1"
NOT_INITIALIZED = "velkor runtime not initialized. Call velkor.run() first"
OUT_OF_RANGE = "out of range integral type conversion attempted"


def connect(port, host=HOST):
    return _velkor.open_connection(host, port)


needs_ipv6 = pytest.mark.skipif(not ipv6_loopback(), reason="no IPv6 loopback")


async def drain(stream, size=65536):
    """Reads until the end of the stream; returns the pieces."""
    pieces = []
    while piece := await stream.read(size):
        pieces.append(piece)
    return pieces


async def read_exactly(stream, n):
    data = b""
    while len(data) < n:
        piece = await stream.read(n - len(data))
        assert piece, f"end of stream after {len(data)} of {n} bytes"
        data += piece
    return data


class TestReading:
    @pytest.mark.parametrize("size", [1000, 100_000])
    def test_a_large_payload_arrives_whole_in_bounded_pieces(self, size):
        payload = os.urandom(200_000)

        with ThreadServer(lambda conn: conn.sendall(payload)) as server:
            async def main():
                stream = connect(server.port)
                pieces = await drain(stream, size)
                return pieces, [await stream.read(size) for _ in range(3)]

            pieces, after = _velkor.run(main())
        assert b"".join(pieces) == payload
        assert all(0 < len(p) <= min(size, 65536) for p in pieces)
        assert after == [b"", b"", b""]

    def test_a_read_returns_what_one_chunk_holds_and_keeps_the_tail(self):
        def peer(conn):
            conn.sendall(b"abcd")
            assert recv_exactly(conn, 2) == b"go"
            conn.sendall(b"0123456789")
            assert recv_exactly(conn, 4) == b"more"
            conn.sendall(b"later")
            recv_all(conn)

        with ThreadServer(peer) as server:
            async def main():
                stream = connect(server.port)
                got = [await stream.read(10)]  # does not wait for 10 bytes
                await stream.write(b"go")
                got.append(await stream.read(4))
                await stream.write(b"more")
                await _velkor.sleep(0.1)  # "later" is queued behind the tail now
                twice = stream.read(100)
                got.append(await twice)  # the tail alone
                got.append(await twice)  # the same awaitable reads again
                return got

            assert _velkor.run(main()) == [b"abcd", b"0123", b"456789", b"later"]

    def test_size_zero(self):
        def peer(conn):
            conn.sendall(b"0123456789")
            assert recv_exactly(conn, 2) == b"go"
            time.sleep(0.05)
            conn.sendall(b"late")
            recv_all(conn)

        with ThreadServer(peer) as server:
            async def main():
                stream = connect(server.port)
                await _velkor.sleep(0.05)  # sent right after the accept: queued by now
                got = [await stream.read(0),  # moves the chunk into the buffer
                       await stream.read(0),  # leaves the buffer alone
                       await stream.read(100)]
                await stream.write(b"go")
                started = time.monotonic()
                got.append(await stream.read(0))  # parks until "late" arrives
                waited = time.monotonic() - started
                got.append(await stream.read(100))
                return got, waited

            got, waited = _velkor.run(main())
        assert got == [b"", b"", b"0123456789", b"", b"late"]
        assert 0.03 <= waited < 5

    def test_peer_half_close_ends_reads_not_writes(self):
        def peer(conn):
            conn.sendall(b"bye")
            conn.shutdown(socket.SHUT_WR)
            return recv_all(conn)

        with ThreadServer(peer) as server:
            async def main():
                stream = connect(server.port)
                got = await drain(stream)
                after = [await stream.read(100) for _ in range(3)]
                return got, after, await stream.write(b"still open")

            assert _velkor.run(main()) == ([b"bye"], [b""] * 3, 10)
        assert server.results == [b"still open"]

    def test_peer_reset_ends_reads_and_then_writes_complete_with_zero(self):
        def peer(conn):
            conn.sendall(b"last words")
            time.sleep(0.05)
            conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))

        with ThreadServer(peer) as server:
            async def main():
                stream = connect(server.port)
                got = await drain(stream)
                counts = []
                for _ in range(2000):
                    counts.append(await stream.write(b"x" * 1000))
                    if counts[-1] == 0:
                        break
                    await _velkor.sleep(0.001)
                later = [await stream.write(b"y") for _ in range(5)]
                return got, counts, later

            got, counts, later = _velkor.run(main())
        assert got == [b"last words"]
        assert counts[-1] == 0 and set(counts[:-1]) <= {1000}
        assert later == [0] * 5


    def test_a_signal_caught_in_recv_does_not_end_the_stream(self):
        go_on = threading.Event()
        late = b"sent after the signals"

        def peer(conn):
            conn.sendall(b"first")
            go_on.wait(10)
            conn.sendall(late)

        handled = []
        previous = signal.signal(signal.SIGUSR1, lambda *_: handled.append(True))
        try:
            with ThreadServer(peer) as server:
                tasks = set(os.listdir("/proc/self/task"))
                stream = connect(server.port)
                io_threads = set(os.listdir("/proc/self/task")) - tasks
                io_threads -= {str(t.native_id) for t in threading.enumerate()}

                async def main():
                    first = await stream.read(100)
                    try:
                        hits = interrupt_while_in_recv(io_threads, signal.SIGUSR1)
                    finally:
                        go_on.set()
                    return first, hits, await read_exactly(stream, len(late))

                first, hits, rest = _velkor.run(main())
        finally:
            signal.signal(signal.SIGUSR1, previous)
        assert hits > 0 and handled
        assert (first, rest) == (b"first", late)


SYS_RECVFROM, SYS_TGKILL = 45, 234  # x86-64


def interrupt_while_in_recv(tids, signum, wanted=20, within=3.0):
    """Sends `signum` to whichever of the threads `tids` is blocked in recv,
    up to `wanted` times; returns how many signals were sent."""
    libc = ctypes.CDLL(None, use_errno=True)
    hits = 0
    deadline = time.monotonic() + within
    while hits < wanted and time.monotonic() < deadline:
        for tid in tids:
            try:
                with open(f"/proc/self/task/{tid}/syscall") as f:
                    in_recv = f.read().split()[0] == str(SYS_RECVFROM)
            except FileNotFoundError:  # the thread has ended
                continue
            if in_recv and libc.syscall(SYS_TGKILL, os.getpid(), int(tid), signum) == 0:
                hits += 1
        time.sleep(0.002)
    return hits


class TestWritingAndClosing:
    def test_write_awaitables(self):
        with ThreadServer(recv_all) as server:
            async def main():
                stream = connect(server.port)
                never = stream.write(b"never sent")
                twice = stream.write(b"ab")
                buf = bytearray(b"cd")
                snapshot = stream.write(buf)
                buf[:] = b"XX"  # the write copied the bytes when it was made
                counts = [await twice, await twice, await snapshot, await stream.write(b""),
                          await stream.write([104, 105]), await stream.write(data=(33,))]
                del never
                return counts

            assert _velkor.run(main()) == [2, 2, 2, 0, 2, 1]
        assert server.results == [b"ababcdhi!"]

    def test_close_stops_reading_but_the_connection_stays_open(self):
        received = threading.Event()

        def peer(conn):
            conn.sendall(b"before")
            assert recv_exactly(conn, 2) == b"go"
            conn.sendall(b"after close")
            data = recv_exactly(conn, 10)
            received.set()
            return data

        with ThreadServer(peer) as server:
            async def main():
                stream = connect(server.port)
                await _velkor.sleep(0.05)
                stream.close()
                stream.close()  # harmless
                await _velkor.sleep(0.05)
                sent = await stream.write(b"go")
                await _velkor.sleep(0.05)
                got = await drain(stream)  # what was queued, then the end
                count = await stream.write(b"still here")
                # Closing a socket with unread data resets the connection, so
                # the stream stays until the peer has read everything.
                for _ in range(1000):
                    if received.is_set():
                        break
                    await _velkor.sleep(0.005)
                return sent, got, count

            assert _velkor.run(main()) == (2, [b"before"], 10)
        assert server.results == [b"still here"]

    def test_writes_queued_before_the_stream_is_dropped_still_arrive(self):
        payload = os.urandom(8 << 20)

        with ThreadServer(recv_all) as server:
            async def main():
                stream = connect(server.port)
                for i in range(0, len(payload), 1 << 20):
                    assert await stream.write(payload[i:i + (1 << 20)]) == 1 << 20
                # The stream object goes with this frame; its writer drains the queue.

            _velkor.run(main())
        assert server.results == [payload]

    def test_stream_threads_end_soon_after_the_stream_goes(self):
        with socket.socket() as listener:
            listener.bind((HOST, 0))
            listener.listen()  # the kernel completes the connect; nobody accepts
            threads, fds = native_threads(), open_fds()
            stream = connect(listener.getsockname()[1])
            assert native_threads() == threads + 2
            started = time.monotonic()
            del stream
            assert settle(lambda: native_threads() == threads)
            assert time.monotonic() - started < 0.5
            assert open_fds() == fds


LEAK_CHECK = """
import socket, sys, threading, time
sys.path[:0] = sys.argv[1:]
import _velkor
listener = socket.create_server(("127.0.0.1", 0))
def peer():
    conn, _ = listener.accept()
    for _ in range(20):
        time.sleep(0.003)
        conn.sendall(b"x")
    conn.close()
threading.Thread(target=peer).start()
stream = _velkor.open_connection("127.0.0.1", listener.getsockname()[1])
async def one_read():
    return await stream.read(10)
while _velkor.run(one_read()):
    pass
"""


@pytest.mark.skipif(os.environ.get("VELKOR_TEST_MODE") != "asan",
                    reason="needs the leak checker of the ASan build")
def test_runs_ending_with_a_read_repoll_pending_free_their_loop():
    # Each run ends right after data woke its read, before the read's 1 ms
    # re-poll entry fires: the loop must not be kept alive by that entry.
    # Full stacks, so that the suppression of the process-lifetime types matches.
    env = dict(os.environ, ASAN_OPTIONS="detect_leaks=1:fast_unwind_on_malloc=0",
               LSAN_OPTIONS=f"suppressions={os.path.join(os.path.dirname(__file__), 'lsan.supp')}")
    out = subprocess.run([sys.executable, "-c", LEAK_CHECK, os.path.dirname(_velkor.__file__)],
                         capture_output=True, text=True, env=env, timeout=120)
    assert out.returncode == 0, out.stderr[-3000:]


class TestIterators:
    def test_stepping_by_hand(self):
        with ThreadServer(lambda conn: (conn.sendall(b"data"), recv_all(conn))[1]) as server:
            stream = connect(server.port)  # needs no runtime
            time.sleep(0.1)
            step = stream.read(100).__await__()
            assert iter(step) is step
            with pytest.raises(StopIteration) as done:
                next(step)
            assert done.value.value == b"data"
            for again in (lambda: next(step), lambda: step.send(None)):
                with pytest.raises(StopIteration) as done:
                    again()
                assert done.value.args == ()

            # A read that has to park needs a runtime.
            with pytest.raises(BaseException) as panic:
                next(stream.read(1).__await__())
            assert not isinstance(panic.value, Exception)
            assert str(panic.value) == NOT_INITIALIZED

            step = stream.write(b"xy").__await__()
            with pytest.raises(StopIteration) as done:
                step.send("ignored")
            assert done.value.value == 2
            with pytest.raises(StopIteration) as done:
                next(step)
            assert done.value.args == ()
            del stream, step
        assert server.results == [b"xy"]


class TestConnecting:
    def test_refused(self):
        for port in (free_port(), 0):
            with pytest.raises(ConnectionError) as info:
                connect(port)
            assert type(info.value) is ConnectionError
            assert str(info.value) == f"{os.strerror(errno.ECONNREFUSED)} (os error 111)"

    def test_unknown_host(self):
        with pytest.raises(OSError) as info:
            _velkor.open_connection("nonexistent.invalid", 80)
        assert type(info.value) is OSError
        assert str(info.value).startswith("invalid address: failed to lookup address information: ")
        with pytest.raises(OSError) as info:
            _velkor.open_connection("local\0host", 80)
        assert str(info.value).startswith("invalid address: ")

    @needs_ipv6
    def test_ipv6_with_and_without_brackets(self):
        def echo(conn):
            conn.sendall(recv_exactly(conn, 4))

        with ThreadServer(echo, host="::1", connections=2) as server:
            async def main():
                reprs = []
                for host in ("::1", "[::1]"):
                    stream = connect(server.port, host)
                    reprs.append(repr(stream))
                    await stream.write(b"ping")
                    assert await read_exactly(stream, 4) == b"ping"
                return reprs

            assert _velkor.run(main()) == [f"<PyTcpStream ::1:{server.port}>",
                                           f"<PyTcpStream [::1]:{server.port}>"]

    def test_repr_and_names(self):
        with ThreadServer(recv_all) as server:
            stream = _velkor.open_connection(port=server.port, host=HOST)
            assert repr(stream) == f"<PyTcpStream {HOST}:{server.port}>"
            del stream
        assert _velkor.open_connection.__text_signature__ == "(host, port)"
        assert _velkor.start_server.__text_signature__ == "(_handler, host, port)"


class TestServing:
    def test_address_in_use(self):
        with socket.socket() as taken:
            taken.bind((HOST, 0))
            taken.listen()
            with pytest.raises(OSError) as info:
                _velkor.start_server(None, HOST, taken.getsockname()[1])
        assert type(info.value) is OSError
        assert str(info.value) == f"bind error: {os.strerror(errno.EADDRINUSE)} (os error 98)"

    def test_the_port_is_free_again_after_the_check(self):
        port = free_port()
        first = _velkor.start_server(lambda *a: None, HOST, port)
        second = _velkor.start_server(_handler=None, host=HOST, port=port)
        assert repr(first) == repr(second) == f"<PyTcpListener {HOST}:{port}>"
        with pytest.raises(ConnectionError):
            connect(port)

    def test_any_handler_and_port_zero(self):
        assert repr(_velkor.start_server(42, HOST, 0)) == f"<PyTcpListener {HOST}:0>"
        if ipv6_loopback():
            assert repr(_velkor.start_server(object(), "::1", 0)) == "<PyTcpListener ::1:0>"
        with pytest.raises(OSError) as info:
            _velkor.start_server(None, "nonexistent.invalid", 0)
        assert str(info.value).startswith("invalid address: failed to lookup address information: ")


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def assert_conversion_error(call, exc_type, name, message=None):
    # No pytest.raises here: its traceback would keep the stream in `call`
    # alive in a reference cycle, and with it the stream's writer thread.
    try:
        call()
    except exc_type as e:
        notes, text = getattr(e, "__notes__", None), str(e)
    else:
        pytest.fail(f"{exc_type.__name__} not raised")
    assert notes == [f"while processing '{name}'"]
    if message is not None:
        assert text == message


class TestConversions:
    @pytest.mark.parametrize("fn", [_velkor.open_connection,
                                    lambda host, port: _velkor.start_server(None, host, port)])
    def test_host_and_port(self, fn):
        for host in (b"127.0.0.1", 127, None):
            assert_conversion_error(lambda: fn(host, 80), TypeError, "host")
        for port in ("80", 80.0, None):
            assert_conversion_error(lambda: fn(HOST, port), TypeError, "port")
        for port in (-1, 65536, 2**70, Index(70000)):
            assert_conversion_error(lambda: fn(HOST, port), OverflowError, "port", OUT_OF_RANGE)
        # The host is checked before the port.
        assert_conversion_error(lambda: fn(None, None), TypeError, "host")

        class Host(str):
            pass

        port = free_port()
        try:
            fn(Host(HOST), Index(port))
        except ConnectionError:
            pass  # open_connection: converted, then refused

    def test_read_size(self):
        with ThreadServer(recv_all) as server:
            stream = connect(server.port)
            for size in (-1, 2**64):
                assert_conversion_error(lambda: stream.read(size), OverflowError, "size")
            for size in (1.5, "1", None):
                assert_conversion_error(lambda: stream.read(size), TypeError, "size")
            stream.read(2**64 - 1)
            stream.read(size=Index(3))
            del stream

    def test_write_data(self):
        class Items:
            """A sequence whose iteration fails half way."""

            def __len__(self):
                return 2

            def __getitem__(self, i):
                if i == 1:
                    raise ValueError("broken item")
                return 65

        class Data(bytes):
            pass

        with ThreadServer(recv_all) as server:
            async def main():
                stream = connect(server.port)
                assert_conversion_error(lambda: stream.write("text"), TypeError, "data",
                                        "Can't extract `str` to `Vec`")
                for items in ([256], [-1], [1, 2**70], [Index(300)]):
                    assert_conversion_error(lambda: stream.write(items), OverflowError, "data",
                                            OUT_OF_RANGE)
                assert_conversion_error(lambda: stream.write(["a"]), TypeError, "data")
                for obj in (5, {1: 2}, None):
                    assert_conversion_error(
                        lambda: stream.write(obj), TypeError, "data",
                        f"'{type(obj).__name__}' object cannot be converted to 'Sequence'")
                assert_conversion_error(lambda: stream.write(Items()), ValueError, "data",
                                        "broken item")
                return [await stream.write(d) for d in
                        (Data(b"A"), (66, Index(67)), memoryview(b"D"), range(69, 70))]

            assert _velkor.run(main()) == [1, 2, 1, 1]
        assert server.results == [b"ABCDE"]

    def test_write_sends_the_memory_of_buffer_objects(self):
        # Items wider than a byte, signed items and strided views: the bytes
        # sent are the object's memory in C order, never one byte per item.
        data = [array.array("H", [1, 2, 0x0102]), array.array("b", [-1, 0, 127]),
                array.array("d", [1.5]), memoryview(b"abcdef")[::2],
                memoryview(array.array("i", [7, -7, 9]))[::-2]]
        expected = [memoryview(d).tobytes() for d in data]

        with ThreadServer(recv_all) as server:
            async def main():
                stream = connect(server.port)
                return [await stream.write(d) for d in data]

            assert _velkor.run(main()) == [len(e) for e in expected]
        assert server.results == [b"".join(expected)]


class TestLoad:
    def test_bulk_transfer_each_way(self):
        size = (64 if SANITIZED else 256) << 20
        window = 8 << 20
        with ProcessPeer("bulk", str(size), "7") as peer:
            async def main():
                stream = connect(peer.port)
                outgoing = blocks(size, 11)
                sent_hash, received_hash = hashlib.sha256(), hashlib.sha256()
                sent = received = 0
                while sent < size or received < size:
                    if sent < size and (sent - received < window or received == size):
                        block = next(outgoing)
                        sent_hash.update(block)
                        assert await stream.write(block) == len(block)
                        sent += len(block)
                        continue
                    piece = await stream.read(1 << 20)
                    assert 0 < len(piece) <= 65536
                    received_hash.update(piece)
                    received += len(piece)
                assert await stream.read(1) == b""  # the peer closes when both are done
                return sent_hash.hexdigest(), received_hash.hexdigest()

            sent, received = _velkor.run(main())
            report = dict(line.split() for line in peer.output().splitlines())
        assert report["received"] == sent
        assert report["sent"] == received
        assert received == hashlib.sha256(b"".join(blocks(size, 7))).hexdigest()

    def test_many_connections_with_many_round_trips(self):
        conns, rounds = (100, 30) if SANITIZED else (200, 100)
        with ProcessPeer("echo") as peer:
            threads = native_threads()

            async def main():
                streams = [connect(peer.port) for _ in range(conns)]
                assert native_threads() == threads + 2 * conns
                rng = random.Random(5)
                for r in range(rounds):
                    messages = [b"%d:%d:" % (i, r) + rng.randbytes(rng.randrange(1, 3000))
                                for i in range(conns)]
                    for stream, message in zip(streams, messages):
                        assert await stream.write(message) == len(message)
                    for stream, message in zip(streams, messages):
                        assert await read_exactly(stream, len(message)) == message
                for stream in streams:
                    stream.close()

            _velkor.run(main())
            assert settle(lambda: native_threads() == threads)
