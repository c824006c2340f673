"""Bounded stress scenarios for the runtime, driven by one table.

Each scenario hammers one area for a number of cycles and must leave the
process as it found it: descriptors (/proc/self/fd), native threads
(/proc/self/task) and RSS are sampled at the start, throughout (peak) and at
the end, and the end must come back to the start (RSS within a slack). The
pool of four workers starts before the first measurement.

    python3.14 tests/stress.py [--scale small|full] [--only NAME ...]

prints one row per scenario and exits non-zero when any scenario failed.
`./dev stress` runs the full scale; tests/test_stress.py runs the small one.
"""

from __future__ import annotations

import argparse
import gc
import os
import queue
import socket
import socketserver
import struct
import subprocess
import sys
import textwrap
import threading
import time
from collections.abc import Awaitable, Callable
from dataclasses import dataclass, field
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
BUILD_DIR = os.environ.get("VELKOR_BUILD_DIR", str(ROOT / "build" / "release"))
for _path in (str(ROOT), BUILD_DIR):
    if _path not in sys.path:
        sys.path.insert(0, _path)

import _velkor  # noqa: E402
import velkor  # noqa: E402

HOST = "127.0.0.1"
MIB = 1 << 20
# Under the sanitizers the allocator keeps freed memory in quarantine, so RSS
# says nothing about leaks there: it is reported but not checked.
RSS_CHECKED = os.environ.get("VELKOR_TEST_MODE") not in ("asan", "tsan")


# --------------------------------------------------------------- measuring

@dataclass(frozen=True)
class Sample:
    fds: int
    threads: int
    rss: int


def _rss() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class Gauge:
    """Samples the process every few milliseconds from a thread of its own,
    which is already counted in the first sample."""

    def __init__(self, period: float = 0.005) -> None:
        self._period = period
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._watch, name="stress-gauge", daemon=True)
        self.peak = Sample(0, 0, 0)

    def sample(self) -> Sample:
        # One listing at a time: each holds a descriptor of its own while it runs.
        with self._lock:
            now = Sample(len(os.listdir("/proc/self/fd")), len(os.listdir("/proc/self/task")),
                         _rss())
            self.peak = Sample(max(self.peak.fds, now.fds), max(self.peak.threads, now.threads),
                               max(self.peak.rss, now.rss))
            return now

    def _watch(self) -> None:
        while not self._stop.wait(self._period):
            self.sample()

    def __enter__(self) -> Gauge:
        self._thread.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self._stop.set()
        self._thread.join()


# --------------------------------------------------------------- the table

@dataclass(frozen=True)
class Scenario:
    name: str
    what: str
    body: Callable[[int], int]  # takes the cycle budget, returns the cycles done
    small: int
    full: int
    rss_slack: int = 24 * MIB
    # When set, RSS may not grow by more than this during the scenario either.
    peak_rss_budget: int | None = None
    # How long the end may take to come back to the start level.
    settle_seconds: float = 10.0


@dataclass
class Outcome:
    scenario: Scenario
    cycles: int = 0
    seconds: float = 0.0
    start: Sample = Sample(0, 0, 0)
    peak: Sample = Sample(0, 0, 0)
    end: Sample = Sample(0, 0, 0)
    problems: list[str] = field(default_factory=list)

    @property
    def ok(self) -> bool:
        return not self.problems


def warm_up() -> None:
    """Starts what lives for the whole process (the pool's workers, lazily
    imported modules) so that it counts in every scenario's start."""
    async def main() -> None:
        await velkor.to_thread(int)
        await velkor.sleep(0.001)

    velkor.run(main())
    loop = _velkor.PyEventLoop()
    loop.call_soon(loop.stop, ())
    loop.run_forever()
    loop.close()


def _settled(gauge: Gauge, start: Sample, deadline: float) -> Sample:
    """The first sample back at the start level, or the last one at the deadline
    (stream threads and descriptors go away asynchronously)."""
    while True:
        gc.collect()
        now = gauge.sample()
        if (now.fds <= start.fds and now.threads <= start.threads) or time.monotonic() > deadline:
            return now
        time.sleep(0.01)


def run_scenario(scenario: Scenario, scale: str) -> Outcome:
    cycles = scenario.full if scale == "full" else scenario.small
    outcome = Outcome(scenario)
    warm_up()
    gc.collect()
    with Gauge() as gauge:
        outcome.start = gauge.sample()
        began = time.monotonic()
        try:
            outcome.cycles = scenario.body(cycles)
        except Exception as exc:  # noqa: BLE001 - reported in the table
            outcome.problems.append(f"{type(exc).__name__}: {exc}")
        outcome.seconds = time.monotonic() - began
        outcome.end = _settled(gauge, outcome.start, time.monotonic() + scenario.settle_seconds)
        outcome.peak = gauge.peak
    start, end = outcome.start, outcome.end
    if end.fds > start.fds:
        outcome.problems.append(f"descriptors left open: {start.fds} -> {end.fds}")
    if end.threads > start.threads:
        outcome.problems.append(f"threads left running: {start.threads} -> {end.threads}")
    if RSS_CHECKED and end.rss - start.rss > scenario.rss_slack:
        outcome.problems.append(f"RSS grew by {(end.rss - start.rss) / MIB:.1f} MiB")
    budget = scenario.peak_rss_budget
    if RSS_CHECKED and budget is not None and outcome.peak.rss - start.rss > budget:
        outcome.problems.append(
            f"RSS peaked {(outcome.peak.rss - start.rss) / MIB:.1f} MiB above the start")
    return outcome


def format_table(outcomes: list[Outcome]) -> str:
    head = (f"{'scenario':<16} {'cycles':>8} {'secs':>6}  {'fds s/peak/end':>15}  "
            f"{'threads s/peak/end':>18}  {'RSS MiB s/peak/end':>20}  result")
    rows = [head, "-" * len(head)]
    for o in outcomes:
        mib = [f"{s.rss / MIB:.0f}" for s in (o.start, o.peak, o.end)]
        rows.append(
            f"{o.scenario.name:<16} {o.cycles:>8} {o.seconds:>6.1f}  "
            f"{f'{o.start.fds}/{o.peak.fds}/{o.end.fds}':>15}  "
            f"{f'{o.start.threads}/{o.peak.threads}/{o.end.threads}':>18}  "
            f"{'/'.join(mib):>20}  {'ok' if o.ok else 'FAIL: ' + '; '.join(o.problems)}")
    return "\n".join(rows)


# ------------------------------------------------ spawn and cancel everywhere

class Gate:
    """What one victim task parks on; reused across cycles, so a waiter left
    behind by a cancellation shows up as a hang or a lost item later."""

    def __init__(self) -> None:
        self.lock = velkor.Lock()
        self.inbox: velkor.Queue[int] = velkor.Queue()
        self.outbox: velkor.Queue[int] = velkor.Queue(maxsize=1)
        self.event = velkor.Event()
        self.later = velkor.Event()
        self.cond = velkor.Condition()
        self.sem = velkor.Semaphore(0)
        self.at = 0
        self.put = 0
        self.got = 0
        self.released = 0
        self.acquired = 0


# The await points of `victim`, in order; a cycle cancels at one of them (or
# at none: the last index lets the victim finish).
AWAIT_POINTS = ("lock", "queue get", "queue put", "event", "condition", "semaphore",
                "sleep", "to_thread", "timeout", "wait_for", "yield")


async def victim(g: Gate) -> int:
    g.at = 0
    async with g.lock:
        g.at = 1
        await g.inbox.get()
        g.got += 1
        g.at = 2
        await g.outbox.put(0)
        g.at = 3
        await g.event.wait()
        g.at = 4
        async with g.cond:
            await g.cond.wait()
        g.at = 5
        await g.sem.acquire()
        g.acquired += 1
        g.at = 6
        await velkor.sleep(0.0005)
        g.at = 7
        await velkor.to_thread(sum, range(10))
        g.at = 8
        async with velkor.timeout(3600):
            await g.later.wait()
        g.at = 9
        await velkor.wait_for(g.inbox.get(), 3600)
        g.got += 1
        g.at = 10
        await velkor.yield_now()
        g.at = 11
    return g.at


async def _release(g: Gate, point: int) -> None:
    """Lets the victim past the await point where it is parked."""
    if point == 0:
        g.lock.release()
    elif point in (1, 9):
        g.inbox.put_nowait(point)
        g.put += 1
    elif point == 2:
        g.outbox.get_nowait()
    elif point == 3:
        g.event.set()
    elif point == 4:
        async with g.cond:
            g.cond.notify()
    elif point == 5:
        g.sem.release()
        g.released += 1
    elif point == 8:
        g.later.set()


async def _reset(g: Gate) -> None:
    while not g.inbox.empty():
        g.inbox.get_nowait()
    g.put = g.got = 0
    if g.outbox.empty():
        g.outbox.put_nowait(0)
    g.event.clear()
    g.later.clear()
    while g.released > g.acquired:
        await g.sem.acquire()
        g.acquired += 1
    await g.lock.acquire()


async def _one_cycle(g: Gate, target: int, racing: bool) -> None:
    """Runs the victim and cancels it once it parks at point `target` (or at
    the first point past it that the parent sees). When `racing`, the point is
    released in the same trip just before the cancellation, so the victim has
    already been chosen for the lock, item or permit that it must hand back."""
    await _reset(g)
    task = velkor.spawn(victim(g))
    released, cancelled = -1, False
    while not task.done():
        await velkor.yield_now()
        if task.done() or cancelled:
            continue
        if g.at > released and (g.at < target or racing):
            released = g.at
            await _release(g, g.at)
        if g.at >= target:
            cancelled = True
            task.cancel()
    where = f"at {AWAIT_POINTS[min(target, len(AWAIT_POINTS) - 1)]} (racing={racing})"
    if target == len(AWAIT_POINTS):
        assert task.result() == target, f"victim ended at {task.result()}"
    else:
        assert task.cancelled(), f"cancelled {where}, the task did not end cancelled"
    if released < 0:
        g.lock.release()  # still the parent's: the victim never got past it
    assert not g.lock.locked(), f"lock still held after a cancel {where}"
    assert not g.cond.locked(), f"condition still held after a cancel {where}"
    assert g.put == g.got + g.inbox.qsize(), (
        f"cancel {where}: {g.put} items put, {g.got} taken, {g.inbox.qsize()} left")
    assert g.sem.locked() == (g.released == g.acquired), f"semaphore count drifted {where}"


def spawn_cancel(cycles: int) -> int:
    victims, per_run = 32, 1600
    done = 0
    while done < cycles:
        batch = min(per_run, cycles - done)

        async def driver(g: Gate, first: int, count: int) -> None:
            for i in range(first, first + count):
                target = i % (len(AWAIT_POINTS) + 1)
                racing = (i // (len(AWAIT_POINTS) + 1)) % 2 == 1
                try:
                    async with velkor.timeout(20):
                        await _one_cycle(g, target, racing)
                except TimeoutError:
                    raise AssertionError(f"cycle hung, cancelling at point {target}") from None

        async def main(first: int = done, batch: int = batch) -> None:
            share = -(-batch // victims)
            await velkor.gather(*(driver(Gate(), first + k * share, min(share, batch - k * share))
                                  for k in range(victims) if k * share < batch))

        velkor.run(main())
        done += batch
    return done


# ------------------------------------------------- timeouts that end early

def long_timeouts(cycles: int) -> int:
    """Timeouts far in the future whose blocks end early, each after one
    suspension, which gives its timer time to be set: cancelled timers must
    not pile up until their deadline."""
    async def main() -> int:
        for i in range(cycles):
            if i % 2:
                async with velkor.timeout(3600):
                    await velkor.yield_now()
            else:
                await velkor.wait_for(velkor.yield_now(), 3600)
        return cycles

    return velkor.run(main())


# ---------------------------------------------- loop threads, woken remotely

class Remote:
    """An awaitable finished by another thread through the done-callbacks the
    runtime adds to what a task yields."""

    def __init__(self, firing: queue.SimpleQueue[Callable[[], None]]) -> None:
        self._firing = firing
        self._lock = threading.Lock()
        self._done = False
        self._callbacks: list[Callable[[object], None]] = []

    def add_done_callback(self, callback: Callable[[object], None]) -> None:
        with self._lock:
            if not self._done:
                self._callbacks.append(callback)
                self._firing.put(self.fire)
                return
        callback(self)

    def fire(self) -> None:
        with self._lock:
            self._done = True
            callbacks, self._callbacks = self._callbacks, []
        for callback in callbacks:
            callback(self)

    def __await__(self):  # noqa: ANN204
        while not self._done:
            yield self


def _firer(firing: queue.SimpleQueue[Callable[[], None] | None]) -> None:
    while (job := firing.get()) is not None:
        job()


def _tasks_woken_remotely(rounds: int, firing: queue.SimpleQueue, counts: list[int]) -> None:
    async def worker() -> None:
        for _ in range(rounds):
            await velkor.sleep(0.0002)
            await Remote(firing)
            counts.append(2)

    async def main() -> None:
        await velkor.gather(*(worker() for _ in range(4)))

    velkor.run(main())


def _coroutine_on_a_loop_object(rounds: int, firing: queue.SimpleQueue, counts: list[int]) -> None:
    async def main() -> None:
        for _ in range(rounds * 4):
            await _velkor.sleep(0.0002)
            await Remote(firing)
            counts.append(2)

    loop = _velkor.PyEventLoop()
    try:
        loop.run_until_complete(main())
    finally:
        loop.close()


def _callbacks_called_remotely(rounds: int, firing: queue.SimpleQueue, counts: list[int]) -> None:
    loop = _velkor.PyEventLoop()
    left = [rounds * 4]

    def remote_arrived() -> None:
        counts.append(1)
        left[0] -= 1
        if left[0] == 0:
            loop.stop()
        else:
            loop.call_later(0.0002, timer_fired, ())

    def timer_fired() -> None:
        counts.append(1)
        firing.put(lambda: loop.call_soon(remote_arrived, ()))

    loop.call_soon(timer_fired, ())
    try:
        loop.run_forever()
    finally:
        loop.close()


LOOP_KINDS = (_tasks_woken_remotely, _coroutine_on_a_loop_object, _callbacks_called_remotely)


def loop_threads(cycles: int) -> int:
    threads, firers = 16, 3
    rounds = max(1, cycles // (threads * 4 * 2))
    firing: queue.SimpleQueue = queue.SimpleQueue()
    counts: list[int] = []
    errors: list[BaseException] = []

    def guarded(kind: Callable[..., None]) -> None:
        try:
            kind(rounds, firing, counts)
        except BaseException as exc:  # noqa: BLE001 - re-raised below
            errors.append(exc)

    firing_threads = [threading.Thread(target=_firer, args=(firing,)) for _ in range(firers)]
    loops = [threading.Thread(target=guarded, args=(LOOP_KINDS[i % len(LOOP_KINDS)],))
             for i in range(threads)]
    for t in firing_threads + loops:
        t.start()
    for t in loops:
        t.join(120)
    for _ in firing_threads:
        firing.put(None)
    for t in firing_threads:
        t.join(10)
    if any(t.is_alive() for t in loops):
        raise AssertionError("a loop thread did not finish within 120 s")
    if errors:
        raise errors[0]
    # Each thread counts a timer and a remote wake-up per round of each of its 4 workers.
    expected = threads * rounds * 4 * 2
    assert sum(counts) == expected, f"{sum(counts)} wake-ups of {expected}"
    return expected


# ------------------------------------------------------------ connections

class _Peer(socketserver.BaseRequestHandler):
    """Behaves as the first byte a client sends asks."""

    def handle(self) -> None:
        conn: socket.socket = self.request
        conn.settimeout(20)
        kind = conn.recv(1)
        if kind == b"E":  # echo until the client is done
            while data := conn.recv(65536):
                conn.sendall(data)
        elif kind == b"R":  # reset while the client waits for a reply
            _reset_connection(conn)
        elif kind == b"W":  # reset while the client is writing
            conn.recv(1000)
            _reset_connection(conn)
        elif kind == b"H":  # half-close: say goodbye, then hear the client out
            conn.sendall(b"bye")
            conn.shutdown(socket.SHUT_WR)
            while conn.recv(65536):
                pass


def _reset_connection(conn: socket.socket) -> None:
    conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    conn.close()


class _Server(socketserver.ThreadingTCPServer):
    daemon_threads = False
    block_on_close = True  # server_close() joins every handler thread
    allow_reuse_address = True
    request_queue_size = 128

    def __init__(self, *args: object) -> None:
        super().__init__(*args)
        self.errors: list[BaseException] = []

    def handle_error(self, request: object, client_address: object) -> None:
        self.errors.append(sys.exception())


async def _read_to_end(stream: velkor.Stream) -> bytes:
    data = bytearray()
    while chunk := await stream.read(65536):
        data += chunk
    return bytes(data)


async def _echo(port: int, i: int) -> None:
    async with await velkor.open_connection(HOST, port) as stream:
        message = f"E{i}:".encode() + bytes(i % 5000)
        assert await stream.write(message) == len(message)
        assert await stream.readexactly(len(message) - 1) == message[1:]


async def _expect_reset(operation: Awaitable[object], errors: tuple[type[OSError], ...]) -> None:
    try:
        result = await operation
    except errors:
        return
    raise AssertionError(f"{result!r} after the peer reset")


async def _reset_mid_read(port: int, i: int) -> None:
    # A reset is a failure, not an end of stream; it stays with the stream.
    async with await velkor.open_connection(HOST, port) as stream:
        await stream.write(b"R")
        await _expect_reset(_read_to_end(stream), (ConnectionResetError,))
        await _expect_reset(stream.read(1), (ConnectionResetError,))


async def _reset_mid_write(port: int, i: int) -> None:
    # Depending on when the reset arrives the write fails with either error;
    # every later write fails too, and closing still works.
    failed = (ConnectionResetError, BrokenPipeError)
    async with await velkor.open_connection(HOST, port) as stream:
        chunk = b"W" + bytes(65535)
        for _ in range(5000):
            try:
                assert await stream.write(chunk) == len(chunk)
            except failed:
                await _expect_reset(_write_now(stream, b"more"), failed)
                return
            await velkor.sleep(0.001)
        raise AssertionError("writes kept succeeding after the peer reset")


async def _write_now(stream: velkor.Stream, data: bytes) -> int:
    """A write as one awaitable: write() itself raises what stops it."""
    return await stream.write(data)


async def _half_close(port: int, i: int) -> None:
    async with await velkor.open_connection(HOST, port) as stream:
        await stream.write(b"H")
        assert await _read_to_end(stream) == b"bye"
        assert await stream.write(b"still talking") == 13


async def _closed_mid_read(port: int, i: int) -> None:
    stream = await velkor.open_connection(HOST, port)
    await stream.write(b"E")
    reader = velkor.spawn(stream.read(10))
    await velkor.yield_now()
    stream.close()  # the parked read may end with the echo, or stay until cancelled
    reader.cancel()
    await velkor.gather(reader, return_exceptions=True)


async def _refused(port: int, i: int) -> None:
    try:
        await velkor.open_connection(HOST, port)
    except ConnectionError:
        return
    raise AssertionError("a connection to a closed port was accepted")


CONNECTION_KINDS = (_echo, _reset_mid_read, _reset_mid_write, _half_close, _closed_mid_read,
                    _refused)


def _closed_port() -> int:
    with socket.socket() as s:
        s.bind((HOST, 0))
        return s.getsockname()[1]


def connections(cycles: int) -> int:
    at_once = 16
    closed = _closed_port()
    with _Server((HOST, 0), _Peer) as server:
        serving = threading.Thread(target=server.serve_forever, args=(0.05,))
        serving.start()
        port = server.server_address[1]
        try:
            async def client(first: int) -> None:
                for i in range(first, cycles, at_once):
                    kind = CONNECTION_KINDS[i % len(CONNECTION_KINDS)]
                    async with velkor.timeout(30):
                        await kind(closed if kind is _refused else port, i)

            async def main() -> None:
                await velkor.gather(*(client(k) for k in range(at_once)))

            velkor.run(main())
        finally:
            server.shutdown()
            serving.join()
    if server.errors:
        raise AssertionError(f"the peer failed: {server.errors[0]!r}")
    return cycles


# ------------------------------------------------------------ loop objects

def _exercise(loop: _velkor.PyEventLoop) -> None:
    """Runs `loop` with callbacks, a timer, a coroutine and a reader."""
    calls: list[int] = []
    rsock, wsock = socket.socketpair()
    try:
        def readable() -> None:
            rsock.recv(16)
            loop.remove_reader(rsock.fileno())
            loop.stop()

        for i in range(5):
            loop.call_soon(calls.append, (i,))
        loop.call_later(0.0005, wsock.send, (b"x",))
        loop.add_reader(rsock.fileno(), readable)
        loop.run_forever()

        async def sleeper() -> int:
            await _velkor.sleep(0.0002)
            return len(calls)

        assert loop.run_until_complete(sleeper()) == 5
    finally:
        rsock.close()
        wsock.close()


def loop_objects(cycles: int) -> int:
    """Loops made on one thread, run on another and closed on a third (or left
    to be freed unclosed)."""
    workers = 4
    to_run: queue.Queue = queue.Queue(maxsize=workers)
    to_close: queue.Queue = queue.Queue()
    errors: list[BaseException] = []

    def make() -> None:
        for _ in range(cycles // workers):
            to_run.put(_velkor.PyEventLoop())
        to_run.put(None)

    def run() -> None:
        while (loop := to_run.get()) is not None:
            try:
                _exercise(loop)
            except BaseException as exc:  # noqa: BLE001 - re-raised below
                errors.append(exc)
            to_close.put(loop)
        to_close.put(None)

    def close() -> None:
        n = 0
        while (loop := to_close.get()) is not None:
            n += 1
            if n % 4:
                loop.close()
            # else dropped unclosed: freeing it closes its descriptors
            del loop

    threads = [threading.Thread(target=f) for f in (make, run, close) for _ in range(workers)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(120)
    if any(t.is_alive() for t in threads):
        raise AssertionError("a loop-object thread did not finish within 120 s")
    if errors:
        raise errors[0]
    return workers * (cycles // workers)


def loops_dropped_with_pending_callbacks(cycles: int) -> int:
    """Loop objects dropped unclosed while their own queued callbacks refer to them."""
    for _ in range(cycles):
        loop = _velkor.PyEventLoop()
        loop.call_later(100, loop.stop, ())
        loop.call_soon(loop.is_running, ())
        del loop
    gc.collect()
    return cycles


# ---------------------------------------------------- interpreter exit

EXIT_SCRIPT = textwrap.dedent("""
    import socket, sys, threading, time
    sys.path[:0] = sys.argv[3:]
    import _velkor, velkor

    how, seed = sys.argv[1], int(sys.argv[2])
    listener = socket.create_server(("127.0.0.1", 0))
    port = listener.getsockname()[1]

    def accept_and_stall():
        # Accepts, sends a little, never reads: client writes back up.
        conns = []
        while True:
            conn, _ = listener.accept()
            conn.sendall(b"x" * 100)
            conns.append(conn)

    async def busy_streams():
        streams = [await velkor.open_connection("127.0.0.1", port) for _ in range(3)]
        await streams[0].read(1000)
        while True:
            for s in streams:
                await s.write(b"y" * 65536)
            await velkor.sleep(0.001)

    async def busy_workers():
        while True:
            await velkor.gather(*(velkor.to_thread(time.sleep, 0.01 * (1 + seed % 3))
                                  for _ in range(6)))

    async def busy_sleepers():
        await velkor.gather(*(velkor.sleep(0.0001 * i) for i in range(50)))
        while True:
            await velkor.yield_now()

    def run_loop_object():
        loop = _velkor.PyEventLoop()
        def tick():
            loop.call_later(0.0005, tick, ())
        loop.call_soon(tick, ())
        loop.run_forever()

    def in_thread(target, *args):
        threading.Thread(target=target, args=args, daemon=True).start()

    in_thread(accept_and_stall)
    in_thread(velkor.run, busy_streams())
    in_thread(velkor.run, busy_workers())
    in_thread(velkor.run, busy_sleepers())
    in_thread(run_loop_object)
    time.sleep(0.05 + 0.01 * (seed % 7))

    if how == "return":
        pass
    elif how == "exit inside run":
        async def main():
            velkor.spawn(busy_workers())
            await velkor.to_thread(time.sleep, 0.02)
            sys.exit(3)
        velkor.run(main())
    elif how == "exit from a worker":
        def leave():
            raise SystemExit(4)
        try:
            velkor.run(velkor.to_thread(leave))
        except SystemExit as e:
            sys.exit(e.code)
""")

EXIT_WAYS = {"return": 0, "exit inside run": 3, "exit from a worker": 4}


def interpreter_exit(cycles: int) -> int:
    ways = list(EXIT_WAYS)
    for i in range(cycles):
        how = ways[i % len(ways)]
        try:
            done = subprocess.run(
                [sys.executable, "-X", "faulthandler", "-c", EXIT_SCRIPT, how, str(i), str(ROOT),
                 BUILD_DIR], capture_output=True, text=True, timeout=60)
        except subprocess.TimeoutExpired:
            raise AssertionError(f"exit {how!r} (seed {i}) hung") from None
        if "Fatal Python error" in done.stderr or done.returncode != EXIT_WAYS[how]:
            tail = "\n".join(done.stderr.splitlines()[-15:])
            raise AssertionError(
                f"exit {how!r} (seed {i}) ended with status {done.returncode}:\n{tail}")
    return cycles


# ----------------------------------------------------------------- table

SCENARIOS = (
    Scenario("spawn_cancel", "spawn/cancel cycles, cancelled at every await point",
             spawn_cancel, small=2_400, full=100_000),
    Scenario("long_timeouts", "timeout(3600) blocks ending early, in one run",
             long_timeouts, small=20_000, full=400_000, peak_rss_budget=12 * MIB),
    Scenario("loop_threads", "16 loop threads with timers and remote wake-ups",
             loop_threads, small=4_000, full=200_000),
    Scenario("connections", "connections: echo, resets, half-closes, refusals",
             connections, small=96, full=1_000),
    Scenario("loop_objects", "loop objects made, run and closed across threads",
             loop_objects, small=200, full=4_000),
    Scenario("loops_dropped", "loop objects dropped unclosed with pending callbacks",
             loops_dropped_with_pending_callbacks, small=20, full=500),
    Scenario("interpreter_exit", "interpreter exits with busy loops, workers and streams",
             interpreter_exit, small=3, full=30),
)

BY_NAME = {s.name: s for s in SCENARIOS}


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--scale", choices=("small", "full"), default="small")
    parser.add_argument("--only", action="append", choices=sorted(BY_NAME), metavar="NAME",
                        help=f"run only this scenario (repeatable): {', '.join(BY_NAME)}")
    args = parser.parse_args(argv)
    chosen = [BY_NAME[n] for n in args.only] if args.only else list(SCENARIOS)
    outcomes = []
    for scenario in chosen:
        print(f"[stress] {scenario.name}: {scenario.what}", file=sys.stderr, flush=True)
        outcomes.append(run_scenario(scenario, args.scale))
    print(format_table(outcomes))
    return 0 if all(o.ok for o in outcomes) else 1


if __name__ == "__main__":
    sys.exit(main())
