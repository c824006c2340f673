"""run(): results, exceptions, argument checks, teardown and threads."""

import asyncio
import os
import subprocess
import sys
import threading
import time

import pytest

import _velkor
from conftest import native_threads, open_fds, settle


async def value(v):
    return v


def test_results():
    assert _velkor.run(value(42)) == 42
    assert _velkor.run(value(None)) is None

    async def bare_return():
        return

    assert _velkor.run(bare_return()) is None
    # A tuple or an exception instance as the value comes back unchanged.
    assert _velkor.run(value((1, 2))) == (1, 2)
    err = KeyError("k")
    assert _velkor.run(value(err)) is err


def test_the_same_exception_object_is_raised():
    err = ValueError("boom")

    async def fail():
        await _velkor.sleep(0.001)
        raise err

    with pytest.raises(ValueError) as info:
        _velkor.run(fail())
    assert info.value is err


def test_base_exceptions_end_the_coroutine_and_propagate():
    async def interrupt():
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        _velkor.run(interrupt())


def test_argument_checks():
    msg = "velkor.run() requires a coroutine object (use async def and call it)"
    for bad in (42, None, "coro", value):
        with pytest.raises(TypeError) as info:
            _velkor.run(bad)
        assert str(info.value) == msg
    with pytest.raises(TypeError):
        _velkor.run()
    coro = value(5)
    assert _velkor.run(coro=coro) == 5


def test_awaitable_without_send_fails_on_its_first_step():
    class OnlyAwait:
        def __await__(self):
            return iter(())

    with pytest.raises(AttributeError):
        _velkor.run(OnlyAwait())
    loop = asyncio.new_event_loop()
    try:
        with pytest.raises(AttributeError):
            _velkor.run(loop.create_future())
    finally:
        loop.close()


def test_generator_based_coroutines_are_driven_by_send():
    def gen():
        yield None  # a None yield parks until woken: nobody wakes it here
        return 1

    class Sender:
        """An object with send() that finishes on the first step."""

        def send(self, value):
            assert value is None
            raise StopIteration(7)

    assert _velkor.run(Sender()) == 7

    class BareStop:
        def send(self, value):
            raise StopIteration

    assert _velkor.run(BareStop()) is None
    del gen


def test_nested_run_is_refused_and_the_outer_loop_keeps_working():
    async def inner():
        return "inner"

    async def outer():
        coro = inner()
        try:
            _velkor.run(coro)
        except RuntimeError as e:
            message = str(e)
        finally:
            coro.close()
        await _velkor.sleep(0.01)
        return message

    message = _velkor.run(outer())
    assert "cannot be called from a running event loop" in message


def test_run_releases_the_interpreter_lock():
    ticks = []
    stop = threading.Event()

    def ticker():
        while not stop.is_set():
            ticks.append(1)
            time.sleep(0.001)

    t = threading.Thread(target=ticker)
    t.start()
    try:
        async def main():
            await _velkor.sleep(0.1)

        _velkor.run(main())
    finally:
        stop.set()
        t.join()
    assert len(ticks) > 10


def test_two_threads_run_loops_at_once():
    results = {}
    barrier = threading.Barrier(2)

    def worker(name, delay):
        async def main():
            await _velkor.sleep(delay)
            return name

        barrier.wait()
        results[name] = _velkor.run(main())

    threads = [threading.Thread(target=worker, args=(n, d)) for n, d in (("a", 0.05), ("b", 0.02))]
    started = time.monotonic()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == {"a": "a", "b": "b"}
    assert time.monotonic() - started < 1.0  # concurrent, not serialised by a lock


def test_many_runs_leave_nothing_behind():
    async def main():
        await _velkor.sleep(0.0005)
        return 1

    fds = open_fds()
    threads = native_threads()
    for _ in range(200):
        assert _velkor.run(main()) == 1
    assert open_fds() == fds
    assert settle(lambda: native_threads() == threads)
    assert threading.active_count() == 1


def test_loop_creation_failure_raises_runtime_error():
    import resource

    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    held = []
    try:
        resource.setrlimit(resource.RLIMIT_NOFILE, (len(os.listdir("/proc/self/fd")) + 1, hard))
        # Use up what is left so epoll_create1 or eventfd fails.
        try:
            while True:
                held.append(os.open("/dev/null", os.O_RDONLY))
        except OSError:
            pass
        coro = value(1)
        with pytest.raises(RuntimeError) as info:
            _velkor.run(coro)
        coro.close()
        assert "(os error 24)" in str(info.value)
    finally:
        for fd in held:
            os.close(fd)
        resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))


# Exit-time scripts: each registers its atexit handler before _velkor is
# imported, so the handler runs after the module's own exit hook.
RUN_AT_EXIT = '''
def at_exit():
    async def child():
        await _velkor.sleep(0.01)
        return 2

    async def main():
        return await _velkor._spawn(child()) + 40

    print("result", _velkor.run(main()))
'''

DEFER_AT_EXIT = '''
def at_exit():
    async def main():
        return await _velkor.defer(abs, -3)

    try:
        _velkor.run(main())
    except RuntimeError as e:
        print("refused", e)
'''

# Four calls keep the pool busy through the exit hook; the fifth is still
# queued when the hook closes the pool to new calls.
DEFER_QUEUED_BEFORE_EXIT = '''
outcome = []
ended = threading.Event()

def at_exit():
    ended.wait(20)
    print("queued", *outcome)

def busy():
    started.release()
    time.sleep(1.0)

async def main():
    handles = [_velkor.defer(busy) for _ in range(4)]
    late = _velkor.defer(abs, -5)
    for handle in handles:
        await handle
    try:
        outcome.append(await late)
    except RuntimeError as e:
        outcome.append(e)

def loop_thread():
    try:
        _velkor.run(main())
    finally:
        ended.set()

started = threading.Semaphore(0)
'''

# A finaliser that runs while the interpreter finalises, after every exit
# handler: no step could attach any more, so run() refuses to start.
RUN_WHILE_FINALIZING = '''
import _velkor

def at_exit():
    pass

async def value():
    return 1

class Late:
    def __del__(self, run=_velkor.run, value=value, write=os.write, loop=_velkor.PyEventLoop()):
        coro = value()
        try:
            run(coro)
        except RuntimeError as e:
            coro.close()
            write(1, f"late {e}".encode())
        loop.call_soon(loop.stop, ())
        try:
            loop.run_forever()
        except RuntimeError as e:
            write(1, f"; {e}".encode())
        loop.close()

late = Late()
'''

EXIT_SCRIPT = '''
import atexit, os, sys, threading, time
sys.path[:0] = sys.argv[1:]
{body}
atexit.register(at_exit)
import _velkor
if "loop_thread" in globals():
    threading.Thread(target=loop_thread, daemon=True).start()
    for _ in range(4):
        started.acquire()
'''


@pytest.mark.parametrize("body, expected", [
    (RUN_AT_EXIT, "result 42"),
    (DEFER_AT_EXIT, "refused velkor.defer() cannot start a call: the interpreter is exiting"),
    (DEFER_QUEUED_BEFORE_EXIT, "queued the deferred call never ran: the interpreter was exiting"),
    (RUN_WHILE_FINALIZING, "late velkor.run() cannot start while the interpreter is finalizing; "
                           "the event loop cannot run while the interpreter is finalizing"),
], ids=["run", "defer", "queued-defer", "finalizing"])
def test_runs_from_exit_handlers_finish_or_fail_clearly(body, expected):
    script = EXIT_SCRIPT.format(body=body)
    out = subprocess.run([sys.executable, "-c", script, os.path.dirname(_velkor.__file__)],
                         capture_output=True, text=True, timeout=60)
    assert out.stdout.strip() == expected, out.stderr
    assert out.returncode == 0, out.stderr


# A loop thread whose run fails once the exit hook closed the pool: a daemon
# thread's error reaches nobody, and printing it would race finalisation for
# stderr (a fatal error at exit), so the thread stays parked and silent; a
# thread that an exit handler starts and joins still gets the error.
BUSY_AT_EXIT_SCRIPT = '''
import atexit, sys, threading, time
sys.path[:0] = sys.argv[2:]
how = sys.argv[1]

async def busy():
    started.set()
    while True:
        await _velkor.defer(time.sleep, 0.01)

def at_exit():
    if how == "daemon":
        time.sleep(0.5)  # the daemon's run fails within one 10 ms call
        print("daemon alive", daemon.is_alive())
        return
    def joined():
        try:
            _velkor.run(busy())
        except RuntimeError as e:
            print("refused", e)
    thread = threading.Thread(target=joined)
    thread.start()
    thread.join(20)

atexit.register(at_exit)
import _velkor
started = threading.Event()
if how == "daemon":
    daemon = threading.Thread(target=_velkor.run, args=(busy(),), daemon=True)
    daemon.start()
    started.wait(20)
'''


@pytest.mark.parametrize("how, expected", [
    ("daemon", "daemon alive True"),
    ("joined", "refused velkor.defer() cannot start a call: the interpreter is exiting"),
])
def test_loop_thread_failing_at_exit_is_silent_or_raises(how, expected):
    out = subprocess.run([sys.executable, "-X", "faulthandler", "-c", BUSY_AT_EXIT_SCRIPT, how,
                          os.path.dirname(_velkor.__file__)],
                         capture_output=True, text=True, timeout=60)
    assert (out.stdout.strip(), out.stderr, out.returncode) == (expected, "", 0)
