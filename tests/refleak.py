"""Reference-leak check, run under the debug interpreter by
`./dev test --debug-python` after the test suite.

Each scenario is repeated in rounds. Warm-up rounds run until a round no
longer grows the interpreter's total reference count (first-use imports,
caches that fill up over the first few hundred calls, the pool); then a
scenario leaks when every measured round grew the count and the growth adds
up to at least one reference per two calls (a few references come and go
with the collector's timing; a leak is at least one per call in practice).

    python3.14d tests/refleak.py [-v] [SCENARIO...]
"""

import atexit
import contextvars
import gc
import logging
import math
import os
import signal
import socket
import sys
import threading
import time
import types
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
BUILD_DIR = os.environ.get("VELKOR_BUILD_DIR", str(ROOT / "build" / "pydebug"))
for path in (str(ROOT), BUILD_DIR):
    if path not in sys.path:
        sys.path.insert(0, path)

import _velkor  # noqa: E402

MIN_WARMUP_ROUNDS = 5
SETTLED_ROUNDS = 3
MAX_WARMUP_ROUNDS = 150
ROUNDS = 8
CALLS_PER_ROUND = 10


@types.coroutine
def park():
    yield ()


async def value(v):
    return v


class Handoff:
    def __init__(self):
        self.callbacks = []
        self.done = False

    def add_done_callback(self, callback):
        self.callbacks.append(callback)

    def resolve(self):
        self.done = True
        callbacks, self.callbacks = self.callbacks, []
        for callback in callbacks:
            callback(self)

    def __await__(self):
        while not self.done:
            yield self
        return "handed off"


def expect(exc_type, fn, *args):
    try:
        fn(*args)
    except exc_type:
        return
    raise AssertionError(f"{fn!r}{args!r} did not raise {exc_type.__name__}")


def panic_type():
    try:
        _velkor.sleep(-1)
    except BaseException as e:
        return type(e)


# ---- scenarios --------------------------------------------------------------

def trivial_run():
    assert _velkor.run(value(42)) == 42
    assert _velkor.run(value(None)) is None


def sleeps():
    async def main():
        await _velkor.sleep(0)
        await _velkor.sleep(0.001)
        sleeper = type(_velkor.sleep(0))(0.0005)
        await sleeper
        await sleeper
        it = _velkor.sleep(0.001).__await__()
        assert it.send(None) == ()  # parks on the timer
        await park()
        return "slept"

    assert _velkor.run(main()) == "slept"


def spawn_and_await():
    class TaskObject:
        _loop = None
        _must_cancel = False
        _cancel_waker = None

        def __init__(self, context):
            self._context = context

    async def child(n):
        await _velkor.sleep(0.0005)
        return n * 2

    async def main():
        a = _velkor._spawn(child(1))
        b = _velkor._spawn(child(2), TaskObject(contextvars.copy_context()))
        c = _velkor._spawn(child(3), TaskObject(outer))  # entered: steps in a copy
        return await a + await b + await c + await a

    outer = contextvars.copy_context()
    assert outer.run(_velkor.run, main()) == 14


def exceptions():
    err = ValueError("boom")

    async def fail():
        await _velkor.sleep(0)
        raise err

    async def failing_child():
        raise KeyError("child")

    async def main():
        handle = _velkor._spawn(failing_child())
        try:
            await handle
        except KeyError:
            pass
        return "caught"

    try:
        _velkor.run(fail())
    except ValueError as e:
        assert e is err
    assert _velkor.run(main()) == "caught"
    expect(TypeError, _velkor.run, 42)
    expect(TypeError, _velkor.sleep, "1")
    expect(OverflowError, _velkor.sleep, 10 ** 400)

    class OnlyAwait:
        def __await__(self):
            return iter(())

    expect(AttributeError, _velkor.run, OnlyAwait())

    async def nested():
        coro = value(1)
        try:
            _velkor.run(coro)
        except RuntimeError:
            pass
        finally:
            coro.close()

    _velkor.run(nested())


def handle_and_iterator_in_one_frame():
    async def failing_child():
        raise KeyError("child")

    async def main():
        handle = _velkor._spawn(failing_child())
        await _velkor.sleep(0.0002)
        it = handle.__await__()
        try:
            next(it)
        except KeyError:
            pass
        return it, handle  # both end up in the traceback's frame

    _velkor.run(main())


def panics():
    panic = panic_type()
    for bad in (-1, math.nan, math.inf, 2.0 ** 64, 2 ** 63):
        expect(panic, _velkor.sleep, bad)
    it = _velkor.sleep(10).__await__()
    expect(panic, next, it)  # no runtime on this thread after run() returned
    expect(panic, it.send, None)
    expect(panic, _velkor.PyWakerQueue().store_waker)
    coro = value(1)
    expect(panic, _velkor._spawn, coro)
    coro.close()


def waker_queue():
    queue = _velkor.PyWakerQueue()
    order = []

    async def waiter(name):
        queue.store_waker()
        await park()
        order.append(name)

    async def main():
        handles = [_velkor._spawn(waiter(n)) for n in "abc"]
        while queue.len() < 3:
            await _velkor.sleep(0)
            await _velkor.sleep(0.0002)
        queue.wake_one()
        queue.wake_all()
        for handle in handles:
            await handle
        queue.store_waker()  # left in the queue: dropped with it

    _velkor.run(main())
    assert order == ["a", "b", "c"]


def done_callbacks():
    handoff = Handoff()

    async def resolver():
        await _velkor.sleep(0.0005)
        handoff.resolve()

    async def main():
        _velkor._spawn(resolver())
        return await handoff

    assert _velkor.run(main()) == "handed off"


def wake_from_another_thread():
    queue = _velkor.PyWakerQueue()
    parked = threading.Event()

    def waker():
        parked.wait(5)
        queue.wake_one()

    async def main():
        queue.store_waker()
        parked.set()
        await park()
        return "woken"

    t = threading.Thread(target=waker)
    t.start()
    assert _velkor.run(main()) == "woken"
    t.join()


def loop_object():
    loop = _velkor.PyEventLoop()
    box = []
    for i in range(100):
        loop.call_soon(box.append, (i,))
    loop.call_later(0, box.append, ("later",))
    loop.call_at(loop.time(), box.append, ("at",))
    expect(TypeError, loop.call_soon, print, [1])
    r, w = os.pipe()

    def on_readable():
        os.read(r, 10)
        loop.remove_reader(r)
        loop.stop()

    loop.add_reader(r, on_readable)
    os.write(w, b"x")
    loop.run_forever()
    os.close(r)
    os.close(w)

    async def deferred():
        return await _velkor.defer(pow, 2, 10)

    assert loop.run_until_complete(deferred()) == 1024
    assert len(box) == 102
    loop.close()


def refused_watchers_and_unclosed_loops():
    loop = _velkor.PyEventLoop()
    r, w = os.pipe()
    os.close(r)
    os.close(w)
    expect(OSError, loop.add_reader, r, print)
    expect(ValueError, loop.add_writer, -1, print)
    loop.close()
    cyclic = _velkor.PyEventLoop()  # never closed: collected with its queue
    cyclic.call_later(100, cyclic.stop, ())


def interruptions():
    # A signal handler's exception ends a run (the loop object's and
    # _run_with_signals'); so does SystemExit out of a callback. The signal
    # comes from another thread, so that the loop's own check runs the handler.
    def handler(signum, frame):
        raise KeyboardInterrupt

    def send_signal_from_a_thread():
        sender = threading.Thread(target=os.kill, args=(os.getpid(), signal.SIGUSR1))
        sender.start()
        sender.join()

    previous = signal.signal(signal.SIGUSR1, handler)
    try:
        loop = _velkor.PyEventLoop()
        loop.call_later(0.001, send_signal_from_a_thread, ())
        expect(KeyboardInterrupt, loop.run_forever)
        loop.call_soon(exit, ())  # SystemExit
        expect(SystemExit, loop.run_forever)
        loop.close()

        async def parked():
            await _velkor.defer(send_signal_from_a_thread)
            await _velkor.sleep(30)

        expect(KeyboardInterrupt, _velkor._run_with_signals, parked())
    finally:
        signal.signal(signal.SIGUSR1, previous)


def defers():
    async def main():
        for i in range(100):
            assert await _velkor.defer(abs, -i) == i
        try:
            await _velkor.defer(int, "x", callback=lambda value: None)
        except ValueError:
            pass
        else:
            raise AssertionError("the deferred call should have failed")

    _velkor.run(main())


def fair_steps_and_growing_defers():
    @types.coroutine
    def bare_yield(value):
        return (yield value)

    class BadRepr:
        def __repr__(self):
            raise KeyError("no repr")

    async def child():
        await bare_yield(None)  # requeued behind the others
        for bad in (42, BadRepr()):
            try:
                await bare_yield(bad)
            except (RuntimeError, KeyError):
                pass
        return await _velkor._defer_growing(abs, -3)

    async def main():
        handles = [_velkor._spawn_fair(child()) for _ in range(3)]
        return [await handle for handle in handles]

    assert _velkor.run(main()) == [3, 3, 3]


def tcp_round_trip():
    server = socket.create_server(("127.0.0.1", 0))
    port = server.getsockname()[1]

    def echo():
        conn, _ = server.accept()
        with conn:
            while data := conn.recv(1024):
                conn.sendall(data)

    t = threading.Thread(target=echo)
    t.start()

    async def main():
        stream = _velkor.open_connection("127.0.0.1", port)
        assert await stream.write(b"ping") == 4
        got = b""
        while len(got) < 4:
            got += await stream.read(4 - len(got))
        stream.close()
        return got

    assert _velkor.run(main()) == b"ping"
    t.join()
    server.close()
    expect(ConnectionError, _velkor.open_connection, "127.0.0.1", port)


def event_driven_round_trip():
    async def main():
        server = socket.create_server(("127.0.0.1", 0))
        port = server.getsockname()[1]
        listener = _velkor.adopt_listener(server.detach())
        client = await _velkor.connect_tcp("127.0.0.1", port)
        accepted = await listener.accept()
        # Awaitable face on one end, callback face on the other.
        lost = []
        accepted.start(lambda data: accepted.send(data), lambda: accepted.close(), lost.append)
        assert await client.write(b"ping") == 4
        assert await client.read(10) == b"ping"
        client.write_eof()
        assert await client.read(10) == b""
        client.close()
        await client.wait_closed()
        await accepted.wait_closed()
        try:
            await client.write(b"late")
        except OSError:
            pass
        listener.close()
        try:
            await _velkor.connect_tcp("127.0.0.1", port)
        except ConnectionRefusedError:
            pass
        await _velkor.sleep(0.001)  # lets the connection_lost callback run
        assert lost == [None]

    _velkor.run(main())


def package_task_api():
    import velkor

    quiet = logging.getLogger("velkor")  # the failing callback below is logged
    quiet.propagate = False
    if not quiet.handlers:
        quiet.addHandler(logging.NullHandler())

    async def fail(delay):
        await velkor.sleep(delay)
        raise ValueError(delay)

    async def group():
        try:
            async with velkor.TaskGroup() as tg:
                tg.create_task(velkor.sleep(10), name="sleeper")
                tg.create_task(fail(0.0002))
                await velkor.sleep(10)
        except* ValueError:
            pass

    async def main():
        await group()
        task = velkor.spawn(velkor.sleep(10))
        task.add_done_callback(lambda t: 1 / 0)
        shielded = velkor.spawn(velkor.wait_for(velkor.shield(task), 0.0002))
        done, pending = await velkor.wait([task, shielded], timeout=0.001,
                                          return_when=velkor.FIRST_COMPLETED)
        task.cancel("stop")
        for next_done in velkor.as_completed([task, fail(0)], timeout=0.001):
            try:
                await next_done
            except (ValueError, velkor.CancelledError):
                pass
        barrier = velkor.Barrier(2)
        await velkor.gather(barrier.wait(), barrier.wait())
        queue = velkor.PriorityQueue()
        getter = velkor.spawn(queue.get())
        await velkor.yield_now()
        queue.shutdown()
        await velkor.gather(getter, return_exceptions=True)
        return repr(task)

    velkor.run(main())

def native_task_paths():
    import asyncio

    import velkor

    quiet = logging.getLogger("velkor")  # the failing internal callback below is logged
    quiet.propagate = False
    if not quiet.handlers:
        quiet.addHandler(logging.NullHandler())

    async def chain(depth):
        if depth == 0:
            await velkor.sleep(10)
        return await velkor.spawn(chain(depth - 1))

    async def in_asyncio_task(task):
        return await task

    async def main():
        top = velkor.spawn(chain(3), name="top")
        await velkor.yield_now()
        top.cancel("down the chain")  # delivered to the innermost sleeper
        await velkor.wait([top])
        unstarted = velkor.spawn(velkor.sleep(10))
        unstarted.cancel()
        await velkor.gather(unstarted, return_exceptions=True)
        plain = velkor.spawn(asyncio.sleep(0, "value"))
        plain._add_done_callback(lambda t: 1 / 0)
        loop = asyncio.get_running_loop()
        assert await loop.create_task(in_asyncio_task(plain)) == "value"
        me = velkor.current_task()
        try:
            await me
        except RuntimeError:
            pass
        return top.cancelled(), unstarted.cancelled()

    assert velkor.run(main()) == (True, True)


_aio_loop = None


def asyncio_loop_native_paths():
    import asyncio

    import velkor
    global _aio_loop
    if _aio_loop is None:  # one loop for every round: a new loop per call is not what is measured
        _aio_loop = velkor.new_event_loop()
        atexit.register(_aio_loop.close)
    loop = _aio_loop

    async def child(n):
        await asyncio.sleep(0)
        return n

    async def main():
        seen = []
        loop.call_later(0.0005, seen.append, 1)
        loop.call_at(loop.time(), seen.append, 2, context=contextvars.copy_context())
        loop.call_later(0.0005, seen.append, 3).cancel()
        task = loop.create_task(child(4), name="child")
        future = loop.create_future()
        loop.call_soon(future.set_result, 5)
        expect(TypeError, loop.call_later, 0, "not callable")
        expect(TypeError, loop.create_future, 1)
        assert loop.get_debug() is False
        await asyncio.sleep(0.002)
        return sorted(seen) + [await task, await future]

    assert loop.run_until_complete(main()) == [1, 2, 4, 5]


async def park_and_end(waits, close):
    wait = waits.wait()
    next(wait)  # parked with the task's waker
    if close:
        wait.close()


def parked_waits():
    # Waits released, cancelled before and after their release, closed and
    # dropped while parked, through the primitives and the bare list.
    import velkor

    async def hold(lock, sem, cond):
        async with lock, sem, cond:
            await cond.wait()

    async def main():
        lock, sem, cond = velkor.Lock(), velkor.Semaphore(1), velkor.Condition()
        event, queue = velkor.Event(), velkor.Queue(1)
        await lock.acquire()
        queue.put_nowait(0)
        tasks = [velkor.spawn(hold(lock, sem, cond)) for _ in range(3)]
        tasks += [velkor.spawn(event.wait()), velkor.spawn(queue.put(1)),
                  velkor.spawn(velkor.Queue().get())]
        await velkor.sleep(0.0002)
        lock.release()
        tasks[0].cancel()
        await velkor.sleep(0.0002)
        async with cond:
            cond.notify()
        tasks[1].cancel()
        event.set()
        queue.get_nowait()
        for task in tasks:
            task.cancel()
        await velkor.gather(*tasks, return_exceptions=True)
        waits = _velkor._WaitList()
        await velkor.gather(park_and_end(waits, True), park_and_end(waits, False))
        assert len(waits) == 0

    velkor.run(main())


SCENARIOS = [trivial_run, sleeps, spawn_and_await, exceptions, handle_and_iterator_in_one_frame,
             panics, waker_queue, done_callbacks, wake_from_another_thread, loop_object,
             refused_watchers_and_unclosed_loops, interruptions, defers,
             fair_steps_and_growing_defers, tcp_round_trip,
             event_driven_round_trip, package_task_api, native_task_paths, asyncio_loop_native_paths,
             parked_waits]


# ---- measuring --------------------------------------------------------------

def total_refs():
    gc.collect()
    return sys.gettotalrefcount()


def one_round(scenario):
    for _ in range(CALLS_PER_ROUND):
        scenario()


def deltas_of(scenario):
    before = total_refs()
    settled = 0
    for n in range(MAX_WARMUP_ROUNDS):
        one_round(scenario)
        after = total_refs()
        settled += after <= before
        before = after
        if settled >= SETTLED_ROUNDS and n + 1 >= MIN_WARMUP_ROUNDS:
            break
    before = total_refs()
    deltas = []
    for _ in range(ROUNDS):
        one_round(scenario)
        after = total_refs()
        deltas.append(after - before)
        before = after
    return deltas


def main(argv):
    if not hasattr(sys, "gettotalrefcount"):
        print("refleak.py needs a debug build of Python (python3.14d)", file=sys.stderr)
        return 2
    verbose = "-v" in argv
    wanted = [a for a in argv if not a.startswith("-")]
    leaking = []
    started = time.monotonic()
    for scenario in SCENARIOS:
        if wanted and scenario.__name__ not in wanted:
            continue
        deltas = deltas_of(scenario)
        leaked = all(d > 0 for d in deltas) and sum(deltas) >= ROUNDS * CALLS_PER_ROUND // 2
        if leaked:
            leaking.append(scenario.__name__)
        if verbose or leaked:
            mark = "  LEAK" if leaked else ""
            print(f"{scenario.__name__}: reference deltas per round {deltas}{mark}", flush=True)
    took = time.monotonic() - started
    if leaking:
        print(f"reference leaks in: {', '.join(leaking)}", file=sys.stderr)
        return 1
    print(f"no reference growth across {ROUNDS} rounds of {CALLS_PER_ROUND} calls "
          f"({len(SCENARIOS) if not wanted else len(wanted)} scenarios, {took:.1f} s)")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
