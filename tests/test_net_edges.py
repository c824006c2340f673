"""Event-driven sockets at their edges: objects kept past the run that made
them, writes a close could not deliver, and the read and write fast paths
(bytes already there, a write the kernel takes whole) against the parked
ones: no byte lost or reordered."""

import gc
import random
import socket
import struct
import threading
import weakref

import pytest

import _velkor
import velkor
from peers import recv_all

HOST = "127.0.0.1"
MIB = 1 << 20


@pytest.fixture
def peer():
    sock = socket.socket()
    sock.bind((HOST, 0))
    sock.listen(8)
    sock.settimeout(30)
    yield sock
    sock.close()


def reset(conn):
    conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    conn.close()


# ---- objects from an ended run ------------------------------------------------------

async def _idle(stream):
    await stream.read(1)


def _use_in_later_run(peer, make, use):
    """Makes an object in one run, then uses it in a second: the use must
    raise, not park for ever (the bound turns a hang into a failure)."""
    kept = velkor.run(make(peer))
    accepted = []
    if not isinstance(kept, (velkor.Server, _velkor.Listener)):
        accepted.append(peer.accept()[0])

    async def later():
        return await velkor.wait_for(use(kept), 10)

    try:
        with pytest.raises(RuntimeError, match="velkor.run"):
            velkor.run(later())
    finally:
        for conn in accepted:
            conn.close()
        if hasattr(kept, "close"):
            kept.close()


async def _stream(peer):
    return await velkor.open_connection(*peer.getsockname())


async def _native(peer):
    return (await _stream(peer))._native


async def _listener(peer):
    sock = socket.socket()
    sock.bind((HOST, 0))
    sock.listen(8)
    return _velkor.adopt_listener(sock.detach())


async def _server(peer):
    return await velkor.start_server(_idle, HOST, 0)


@pytest.mark.parametrize("make, use", [
    (_stream, lambda s: s.read(10)),
    (_stream, lambda s: s.readexactly(3)),
    (_stream, lambda s: s.write(b"late")),
    (_stream, lambda s: s.wait_closed()),
    (_native, lambda c: c.read(10)),
    (_native, lambda c: c.drain()),
    (_listener, lambda listener: listener.accept()),
    (_server, lambda server: server.wait_closed()),
    (_server, lambda server: server.serve_forever()),
], ids=["stream.read", "stream.readexactly", "stream.write", "stream.wait_closed",
        "connection.read", "connection.drain", "listener.accept", "server.wait_closed",
        "server.serve_forever"])
def test_an_object_from_an_ended_run_raises_instead_of_parking(peer, make, use):
    _use_in_later_run(peer, make, use)


def test_a_stream_from_an_ended_run_still_closes(peer):
    stream = velkor.run(_stream(peer))
    conn, _ = peer.accept()
    with conn:
        async def later():
            stream.close()
            await velkor.wait_for(stream.wait_closed(), 10)

        velkor.run(later())
        assert conn.recv(10) == b""  # the peer sees the end


# ---- writes a close could not deliver ---------------------------------------------------

def _fill_then_close(peer, ending):
    """Writes more than the kernel holds to a peer that reads nothing, closes
    (or aborts), lets the peer reset or drain, and returns what wait_closed
    gave: None or the exception type."""
    async def main():
        stream = await velkor.open_connection(*peer.getsockname())
        conn, _ = peer.accept()
        conn.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        written = 0
        while stream.get_write_buffer_size() == 0:
            await stream.write(b"z" * 65536)
            written += 65536
        stream.abort() if ending == "abort" else stream.close()
        if ending == "peer reads all":
            received = len(await velkor.to_thread(recv_all, conn))
            assert received == written
            conn.close()
        else:
            reset(conn)
        try:
            await velkor.wait_for(stream.wait_closed(), 10)
        except OSError as e:
            return type(e)
        return None

    return velkor.run(main())


@pytest.mark.parametrize("ending, reported", [
    ("peer resets", (ConnectionResetError, BrokenPipeError)),
    ("peer reads all", (None,)),
    ("abort", (None,)),  # dropping the bytes was asked for
])
def test_wait_closed_reports_writes_the_close_could_not_deliver(peer, ending, reported):
    assert _fill_then_close(peer, ending) in reported


# ---- fast paths keep every byte in order ------------------------------------------------

def _payload(size, seed):
    return random.Random(seed).randbytes(size)


def test_reads_inline_and_parked_keep_the_order(peer):
    # Bulk first (large receives), then small pieces with pauses between
    # them (the small-read path, parking in between), then bulk again; the
    # reader asks for sizes from 1 byte to 1 MiB.
    pieces = [_payload(3 * MIB, 1)] + [_payload(n, n) for n in (1, 7, 300, 5000, 16384, 16385)] * 3
    pieces.append(_payload(2 * MIB, 2))
    sent = b"".join(pieces)

    def send(conn):
        with conn:
            for i, piece in enumerate(pieces):
                conn.sendall(piece)
                if 0 < i < len(pieces) - 1:
                    threading.Event().wait(0.005)

    async def main():
        stream = await velkor.open_connection(*peer.getsockname())
        conn, _ = peer.accept()
        sender = threading.Thread(target=send, args=(conn,))
        sender.start()
        sizes = random.Random(3)
        got = bytearray()
        try:
            while chunk := await stream.read(sizes.choice((1, 5, 4096, 16384, 70000, MIB))):
                got += chunk
        finally:
            sender.join(30)
            stream.close()
        return bytes(got)

    assert velkor.run(main()) == sent


def test_cancelled_writes_inline_and_parked_lose_no_byte(peer):
    # Each write's bytes are taken when write() is called; its await, inline
    # (the kernel took them) or parked (the buffer is above the mark), is
    # cancelled at once. The peer starts reading only afterwards.
    chunks = [_payload(n, n) for n in (100, 70000, 1, 300000, 5, 2 * MIB, 4096)] * 2

    async def main():
        stream = await velkor.open_connection(*peer.getsockname())
        conn, _ = peer.accept()

        async def wait(aw):
            return await aw

        for chunk in chunks:
            task = velkor.spawn(wait(stream.write(chunk)))
            await velkor.sleep(0)
            task.cancel()
        stream.close()
        received = await velkor.to_thread(recv_all, conn)
        conn.close()
        await stream.wait_closed()
        return received

    assert velkor.run(main()) == b"".join(chunks)


def test_awaitables_kept_past_their_end_stay_apart(peer):
    # A connection reuses a finished awaitable's memory for its next one; an
    # awaitable still referenced is never that memory, whichever order they
    # are made, awaited and dropped in, with a read parked meanwhile.
    async def main():
        stream = await velkor.open_connection(*peer.getsockname())
        conn, _ = peer.accept()
        native = stream._native
        reader = velkor.spawn(native.read(100))
        await velkor.sleep(0)
        kept = [native.write(b"a" * n) for n in (1, 2, 3)]
        results = [await w for w in reversed(kept)]
        del kept[1]
        results += [await native.write(b"b" * 4), await kept[0], await kept[1]]
        conn.sendall(b"reply")
        results.append(await reader)
        stream.close()
        await stream.wait_closed()
        results.append(recv_all(conn))
        conn.close()
        return results

    assert velkor.run(main()) == [3, 2, 1, 4, None, None, b"reply", b"a" * 6 + b"b" * 4]


# ---- the StopIteration that carries an await's result ------------------------------------

class _Marker:
    pass


def _step(aw):
    """One step of `aw`: its StopIteration, caught here so that its traceback
    holds this frame, and a weak reference to an object only this frame
    holds; None when the step parked."""
    marker = _Marker()
    try:
        aw.send(None)
    except StopIteration as e:
        return e, weakref.ref(marker)
    return None


async def _finish(awaitable):
    it = awaitable.__await__()
    while not (outcome := _step(it)):
        await velkor.sleep(0.001)
    return outcome


@pytest.mark.parametrize("source", ["read", "write", "task result"])
def test_a_caught_result_is_a_plain_fresh_stop_iteration(peer, source):
    # Caught by hand, the exception that ends an await must look exactly like
    # StopIteration(value), be new for every await, and hold nothing once
    # dropped: neither the catching frame nor the value.
    async def main():
        stream = await velkor.open_connection(*peer.getsockname())
        conn, _ = peer.accept()
        conn.sendall(b"reply" * 2)
        await velkor.sleep(0.01)
        values = []

        async def child():
            values.append(_Marker())
            return values[-1]

        def make():
            if source == "read":
                return stream.read(5)
            if source == "write":
                return stream.write(b"abc")
            return _velkor._spawn(child())

        caught = [await _finish(make()) for _ in range(2)]
        expected = {"read": [b"reply"] * 2, "write": [3, 3]}.get(source, values)
        shapes = [(type(e), e.value == want, e.value is e.args[0], len(e.args), e.__cause__,
                   e.__context__, e.__suppress_context__, getattr(e, "__notes__", None),
                   marker() is not None)
                  for (e, marker), want in zip(caught, expected, strict=True)]
        distinct = caught[0][0] is not caught[1][0]
        markers = [marker for _, marker in caught]
        value_refs = [weakref.ref(value) for value in values]
        del caught, expected, values[:]
        gc.collect()  # the traceback's frames refer to the coroutines' frames, and back
        stream.close()
        conn.close()
        return shapes, distinct, [m() for m in markers], [r() for r in value_refs]

    shapes, distinct, markers_after, values_after = velkor.run(main())
    assert shapes == [(StopIteration, True, True, 1, None, None, False, None, True)] * 2
    assert distinct
    assert markers_after == [None, None]
    assert values_after == ([None, None] if source == "task result" else [])


def test_reused_stop_iterations_keep_each_result_its_own_and_nothing_alive():
    # Awaits inside a run share one StopIteration per thread. A result must
    # still be released by the end of the step that received it, an
    # exception someone kept must never change under them, and a finaliser
    # that completes an await while a result is being dropped must not swap
    # the two results.
    async def child(value):
        return value

    async def finished(value):
        handle = _velkor._spawn(child(value))
        await velkor.sleep(0.002)
        return handle.__await__()

    nested = []

    class CompletesAnAwaitWhenDropped:
        def __del__(self):
            try:
                next(late)
            except StopIteration as e:
                nested.append(e.value)

    async def main():
        global late
        got = await _velkor._spawn(child(_Marker()))
        released = weakref.ref(got)
        del got
        await velkor.yield_now()  # the step that received it has ended
        gc.collect()
        gc_free = released() is None

        it = await finished("kept")
        try:
            next(it)  # the path a coroutine frame takes
        except StopIteration as e:
            kept = e
        after = [await _velkor._spawn(child(n)) for n in range(3)]

        # Both finished already, so one step completes both awaits.
        first, second = (_velkor._spawn(child(v)) for v in (CompletesAnAwaitWhenDropped(), "second"))
        late = await finished("from a finaliser")
        await first
        del first  # its result is left only in the reused exception
        second = await second
        return gc_free, (kept.value, kept.args), after, nested, second

    gc_free, kept, after, nested_values, second = velkor.run(main())
    assert gc_free
    assert kept == ("kept", ("kept",))
    assert after == [0, 1, 2]
    assert nested_values == ["from a finaliser"]
    assert second == "second"


@pytest.mark.parametrize("call, error", [
    (lambda s: s.read(1, 2), "at most 1 argument"),
    (lambda s: s.read(m=1), "unexpected keyword argument 'm'"),
    (lambda s: s.write(), "missing required argument 'data'"),
    (lambda s: s.write(b"x", data=b"y"), "at most 1 argument"),
    (lambda s: s.read("3"), "cannot be interpreted as an integer"),
])
def test_stream_methods_check_their_arguments_like_python_ones(peer, call, error):
    # read and write are native; keywords work as they did in Python, and
    # bad calls raise TypeError, with the stream still usable after.
    async def main():
        stream = await velkor.open_connection(*peer.getsockname())
        conn, _ = peer.accept()
        with pytest.raises(TypeError, match=error):
            call(stream)
        await stream.write(data=b"ping")
        conn.sendall(recv_exactly(conn, 4) + b"!")
        got = await stream.readexactly(2), await stream.read(n=10)
        stream.close()
        conn.close()
        return got

    assert velkor.run(main()) == (b"pi", b"ng!")


def recv_exactly(conn, n):
    data = b""
    while len(data) < n:
        data += conn.recv(n - len(data))
    return data
