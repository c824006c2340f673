"""The PyEventLoop object: lifecycle, scheduling and descriptor watchers."""

import errno
import gc
import math
import os
import signal
import socket
import subprocess
import sys
import threading
import time
import types
import weakref

import pytest

import _velkor
from conftest import settle

NOT_INITIALIZED = "velkor runtime not initialized. Call velkor.run() first"


@pytest.fixture
def loop():
    lp = _velkor.PyEventLoop()
    yield lp
    lp.close()


def stop_after(loop, delay):
    loop.call_later(delay, loop.stop, ())


class TestLifecycle:
    def test_repr_and_flags(self, loop):
        assert repr(loop) == "<PyEventLoop running=false closed=false>"
        seen = []
        loop.call_soon(lambda: seen.append((repr(loop), loop.is_running())), ())
        stop_after(loop, 0)
        assert loop.run_forever() is None
        assert seen == [("<PyEventLoop running=true closed=false>", True)]
        assert loop.is_running() is False
        loop.close()
        assert repr(loop) == "<PyEventLoop running=false closed=true>"
        assert loop.is_closed() is True

    def test_first_time_is_zero_and_shared(self):
        code = ("import sys; sys.path.insert(0, sys.argv[1]); import _velkor\n"
                "a = _velkor.PyEventLoop(); b = _velkor.PyEventLoop()\n"
                "t0 = a.time(); t1 = b.time(); t2 = a.time()\n"
                "print(t0 == 0.0, 0 <= t1 <= t2)\n")
        build = os.path.dirname(_velkor.__file__)
        out = subprocess.run([sys.executable, "-c", code, build], capture_output=True, text=True,
                             timeout=60)
        assert out.stdout.split() == ["True", "True"], out.stderr

    def test_run_until_complete_outcomes(self, loop):
        async def value():
            await _velkor.sleep(0.05)
            return 42

        err = ValueError("same")

        async def fail():
            raise err

        start = time.monotonic()
        assert loop.run_until_complete(value()) == 42
        assert 0.04 < time.monotonic() - start < 1.0
        with pytest.raises(ValueError) as info:
            loop.run_until_complete(fail())
        assert info.value is err
        with pytest.raises(TypeError, match=r"^run_until_complete\(\) requires a coroutine object$"):
            loop.run_until_complete(5)
        assert loop.is_running() is False

    def test_stop_ends_run_until_complete_and_work_resumes_later(self, loop):
        log = []
        queue = _velkor.PyWakerQueue()

        class Park:
            def __await__(self):
                yield ()

        async def waiter():
            queue.store_waker()
            await Park()
            log.append("resumed")
            return "done"

        stop_after(loop, 0.05)
        assert loop.run_until_complete(waiter()) is None  # stopped before it finished
        queue.wake_one()
        stop_after(loop, 0.05)
        loop.run_forever()
        assert log == ["resumed"]

    def test_callbacks_do_not_keep_run_until_complete_alive(self, loop):
        ran = []

        async def quick():
            loop.call_later(0.5, ran.append, ("late",))
            return "quick"

        start = time.monotonic()
        assert loop.run_until_complete(quick()) == "quick"
        assert time.monotonic() - start < 0.4
        assert ran == []

    def test_stop_before_run_forever_has_no_effect(self, loop):
        loop.stop()
        log = []
        loop.call_later(0.05, log.append, ("ran",))
        stop_after(loop, 0.1)
        loop.run_forever()
        assert log == ["ran"]

    def test_stop_from_another_thread_wakes_a_blocked_loop(self, loop):
        timer = threading.Timer(0.1, loop.stop)
        timer.start()
        start = time.monotonic()
        loop.run_forever()
        timer.join()
        assert 0.05 < time.monotonic() - start < 2.0

    def test_run_forever_inside_a_callback(self, loop):
        errors = []

        def nested():
            try:
                loop.run_forever()
            except RuntimeError as e:
                errors.append(str(e))
            loop.stop()

        loop.call_soon(nested, ())
        loop.run_forever()
        assert errors == ["event loop already running"]

    def test_close_from_the_loop_thread_does_not_block(self, loop):
        def close_now():
            loop.close()

        loop.call_soon(close_now, ())
        loop.run_forever()  # ends through the stop that close() requests
        assert loop.is_closed() and not loop.is_running()

    def test_close_from_another_thread_waits_for_the_run(self, loop):
        ticks = []

        def tick():
            ticks.append(1)
            loop.call_later(0.001, tick, ())

        loop.call_soon(tick, ())
        runner = threading.Thread(target=loop.run_forever)
        runner.start()
        time.sleep(0.05)
        loop.close()
        runner.join(timeout=5)
        assert not runner.is_alive()
        assert ticks and loop.is_closed()

    def test_everything_after_close(self, loop):
        loop.close()
        loop.close()  # repeated closes are fine
        with pytest.raises(RuntimeError, match="^event loop closed$"):
            loop.run_forever()
        coro = _velkor.sleep(0).__await__()
        with pytest.raises(RuntimeError, match="^event loop closed$"):
            loop.run_until_complete(coro)
        for call in (lambda: loop.call_soon(print, ()), lambda: loop.call_later(1, print, ()),
                     lambda: loop.call_at(1, print, ()), lambda: loop.add_reader(0, print)):
            with pytest.raises(RuntimeError, match="^event loop not initialized$"):
                call()
        assert loop.remove_reader(0) is None and loop.remove_writer(0) is None
        assert loop.stop() is None
        # close() removed this thread's runtime context.
        it = _velkor.sleep(10).__await__()
        with pytest.raises(BaseException) as info:
            next(it)
        assert str(info.value) == NOT_INITIALIZED

    def test_runs_on_a_thread_other_than_its_creator(self, loop):
        result = []

        async def work():
            await _velkor.sleep(0.01)
            return threading.get_native_id()

        t = threading.Thread(target=lambda: result.append(loop.run_until_complete(work())))
        t.start()
        t.join()
        assert result and result[0] != threading.get_native_id()

    def test_constructor_signature(self):
        assert _velkor.PyEventLoop.__text_signature__ == "()"
        with pytest.raises(TypeError):
            _velkor.PyEventLoop(1)


class TestScheduling:
    def test_call_soon_order_and_arguments(self, loop):
        log = []
        for name in "ABC":
            assert loop.call_soon(log.append, (name,)) is None
        loop.call_soon(lambda *a: log.append(a), (1, 2))
        loop.call_soon(lambda: log.append("no args"), ())
        stop_after(loop, 0)
        loop.run_forever()
        assert log == ["A", "B", "C", (1, 2), "no args"]

    def test_args_must_be_a_tuple(self, loop):
        with pytest.raises(TypeError, match="args") as info:
            loop.call_soon(print, [1, 2])
        assert "while processing 'args'" in info.value.__notes__
        with pytest.raises(TypeError) as info:
            loop.call_later("soon", print, ())
        assert info.value.__notes__ == ["while processing 'delay'"]
        with pytest.raises(TypeError) as info:
            loop.call_at(None, print, [])  # `when` is checked first
        assert info.value.__notes__ == ["while processing 'when'"]

    def test_callback_scheduled_from_a_callback_runs_next_iteration(self, loop):
        log = []

        def first():
            log.append("first")
            loop.call_soon(log.append, ("nested",))
            log.append("after scheduling")

        loop.call_soon(first, ())
        loop.call_soon(log.append, ("second",))
        stop_after(loop, 0.01)
        loop.run_forever()
        assert log == ["first", "after scheduling", "second", "nested"]

    def test_one_iteration_runs_callbacks_then_due_timers_then_woken_tasks(self, loop):
        # While `main` blocks the loop, a callback is queued, a timed callback
        # and a sleeping task come due: the next iteration finds all of them.
        # Tasks woken by the callbacks are queued before those the timer
        # phase wakes, so the log shows the order of the phases.
        log = []
        queue = _velkor.PyWakerQueue()

        @types.coroutine
        def park():
            yield ()

        async def yield_now():
            own = _velkor.PyWakerQueue()
            own.store_waker()
            own.wake_one()
            await park()

        async def parked(name):
            queue.store_waker()
            await park()
            log.append(name)

        async def sleeper():
            await _velkor.sleep(0.05)
            log.append("timer task")

        def wake(name):
            log.append(name)
            queue.wake_one()

        async def main():
            handles = [_velkor._spawn(parked("soon task")), _velkor._spawn(parked("later task"))]
            await yield_now()  # polled again after the spawned tasks' first polls
            handles.append(_velkor._spawn(sleeper()))
            await yield_now()
            loop.call_later(0, wake, ("later",))
            loop.call_soon(wake, ("soon",))
            time.sleep(0.1)  # the sleeper's deadline passes
            for handle in handles:
                await handle

        loop.run_until_complete(main())
        assert log == ["soon", "later", "soon task", "later task", "timer task"]

    def test_call_later_and_call_at_timing(self, loop):
        seen = {}
        start = time.monotonic()
        loop.call_later(0.05, lambda: seen.setdefault("later", time.monotonic() - start), ())
        loop.call_at(loop.time() + 0.05, lambda: seen.setdefault("at", time.monotonic() - start), ())
        loop.call_at(loop.time() - 10, lambda: seen.setdefault("past", time.monotonic() - start), ())
        loop.call_at(math.nan, lambda: seen.setdefault("nan", time.monotonic() - start), ())
        loop.call_later(0, lambda: seen.setdefault("zero", time.monotonic() - start), ())
        stop_after(loop, 0.1)
        loop.run_forever()
        assert 0.04 < seen["later"] < 0.5 and 0.04 < seen["at"] < 0.5
        assert seen["past"] < 0.04 and seen["nan"] < 0.04 and seen["zero"] < 0.04

    @pytest.mark.parametrize("delay,message", [
        (-1, "cannot convert float seconds to Duration: value is negative"),
        (-math.inf, "cannot convert float seconds to Duration: value is negative"),
        (math.nan, "cannot convert float seconds to Duration: value is either too big or NaN"),
        (math.inf, "cannot convert float seconds to Duration: value is either too big or NaN"),
        (2.0 ** 64, "cannot convert float seconds to Duration: value is either too big or NaN"),
        (2.0 ** 63, "overflow when adding duration to instant"),
    ])
    def test_bad_delays_panic_and_schedule_nothing(self, loop, delay, message):
        ran = []
        with pytest.raises(BaseException) as info:
            loop.call_later(delay, ran.append, (1,))
        assert str(info.value) == message
        assert not isinstance(info.value, Exception)
        loop.call_soon(ran.append, (2,))
        stop_after(loop, 0.01)
        loop.run_forever()
        assert ran == [2]

    def test_call_at_far_future_panics(self, loop):
        with pytest.raises(BaseException, match="too big or NaN"):
            loop.call_at(math.inf, print, ())

    def test_raising_callbacks_are_silent(self, loop, capfd):
        log = []

        def boom():
            raise ValueError("dropped")

        loop.call_soon(boom, ())
        loop.call_soon(42, ())  # not callable at all
        loop.call_soon(log.append, ("after",))
        stop_after(loop, 0.01)
        loop.run_forever()
        assert log == ["after"]
        assert capfd.readouterr().err == ""

    def test_call_soon_from_another_thread_wakes_the_loop(self, loop):
        arrived = []
        t = threading.Timer(0.05, lambda: loop.call_soon(
            lambda: (arrived.append(time.monotonic()), loop.stop()), ()))
        start = time.monotonic()
        t.start()
        loop.run_forever()
        t.join()
        assert arrived and arrived[0] - start < 1.0

    def test_queued_callbacks_are_dropped_at_close(self):
        lp = _velkor.PyEventLoop()
        marker = []

        class Sentinel:
            def __del__(self):
                marker.append("released")

        lp.call_soon(print, (Sentinel(),))
        lp.close()
        assert marker == ["released"]


class TestWatchers:
    def test_pipe_reader_runs_while_data_is_unread(self, loop):
        r, w = os.pipe()
        try:
            calls = []

            def on_readable():
                calls.append(len(calls))
                if len(calls) == 3:
                    os.read(r, 100)  # drained: no more calls
                    loop.call_later(0.03, loop.stop, ())

            os.write(w, b"x")
            loop.add_reader(r, on_readable)
            loop.run_forever()
            assert calls == [0, 1, 2]
            os.write(w, b"again")
            loop.call_later(0.02, loop.stop, ())
            loop.run_forever()
            assert len(calls) > 3
            loop.remove_reader(r)
        finally:
            os.close(r)
            os.close(w)

    def test_reader_before_writer_and_both_on_hangup(self, loop):
        a, b = socket.socketpair()
        try:
            order = []
            loop.add_writer(a.fileno(), lambda: order.append("writer"))
            loop.add_reader(a.fileno(), lambda: order.append("reader"))
            b.close()  # hang-up: both directions report
            loop.call_soon(loop.stop, ())
            loop.run_forever()
            assert order[:2] == ["reader", "writer"]
            loop.remove_reader(a.fileno())
            order.clear()
            loop.call_soon(loop.stop, ())
            loop.run_forever()
            assert order and set(order) == {"writer"}
            loop.remove_writer(a.fileno())
        finally:
            a.close()

    def test_reader_removing_the_writer_still_gets_one_writer_call(self, loop):
        a, b = socket.socketpair()
        try:
            order = []

            def reader():
                order.append("reader")
                loop.remove_writer(a.fileno())
                loop.remove_reader(a.fileno())
                loop.call_soon(loop.stop, ())

            b.send(b"data")
            loop.add_writer(a.fileno(), lambda: order.append("writer"))
            loop.add_reader(a.fileno(), reader)
            loop.run_forever()
            assert order == ["reader", "writer"]
        finally:
            a.close()
            b.close()

    def test_replacing_and_self_removal(self, loop):
        r, w = os.pipe()
        try:
            calls = []
            loop.add_reader(r, lambda: calls.append("A"))

            def b():
                calls.append("B")
                loop.remove_reader(r)
                loop.call_later(0.02, loop.stop, ())

            loop.add_reader(r, b)
            os.write(w, b"x")
            loop.run_forever()
            assert calls == ["B"]
        finally:
            os.close(r)
            os.close(w)

    def test_raising_watcher_keeps_running(self, loop, capfd):
        r, w = os.pipe()
        try:
            count = []

            def flaky():
                count.append(1)
                if len(count) == 3:
                    loop.remove_reader(r)
                    loop.stop()
                raise ValueError("silently dropped")

            os.write(w, b"x")
            loop.add_reader(r, flaky)
            loop.run_forever()
            assert len(count) == 3
            assert capfd.readouterr().err == ""
        finally:
            os.close(r)
            os.close(w)

    def test_watcher_on_descriptor_zero(self):
        code = """
import os, sys
sys.path.insert(0, sys.argv[1])
import _velkor
r, w = os.pipe()
os.dup2(r, 0)
loop = _velkor.PyEventLoop()
seen = []
def on_stdin():
    seen.append(os.read(0, 10))
    loop.remove_reader(0)
    loop.stop()
loop.add_reader(0, on_stdin)
os.write(w, b"zero")
loop.run_forever()
loop.close()
print(seen)
"""
        build = os.path.dirname(_velkor.__file__)
        out = subprocess.run([sys.executable, "-c", code, build], capture_output=True, text=True,
                             timeout=60)
        assert out.stdout.strip() == "[b'zero']", out.stderr

    def test_unopened_descriptor_and_never_watched_removal(self, loop):
        r, w = os.pipe()
        os.close(r)
        os.close(w)
        with pytest.raises(OSError):
            loop.add_reader(r, lambda: None)
        assert loop.remove_reader(r) is None
        assert loop.remove_writer(12345) is None

    def test_fd_conversion_errors(self, loop):
        with pytest.raises(OverflowError) as info:
            loop.add_reader(2 ** 31, print)
        assert str(info.value) == "out of range integral type conversion attempted"
        with pytest.raises(OverflowError):
            loop.add_reader(2 ** 70, print)
        with pytest.raises(TypeError) as info:
            loop.add_writer("3", print)
        assert info.value.__notes__ == ["while processing 'fd'"]
        with pytest.raises(OverflowError):
            loop.remove_reader(-2 ** 31 - 1)

    def test_watchers_on_closed_loop(self, loop):
        loop.close()
        with pytest.raises(RuntimeError, match="^event loop not initialized$"):
            loop.add_writer(1, print)
        assert loop.remove_writer(1) is None


def run_script(code, timeout=60):
    build = os.path.dirname(_velkor.__file__)
    return subprocess.run([sys.executable, "-c", code, build], capture_output=True, text=True,
                          timeout=timeout)


def run_briefly(loop, seconds):
    loop.call_later(seconds, loop.stop, ())
    loop.run_forever()


MADE_DURING_A_RUN = """
import sys; sys.path.insert(0, sys.argv[1]); import _velkor
async def main():
    made = _velkor.PyEventLoop()
    if {close}:
        made.close()
    await _velkor.sleep(0.05)  # parks on the run's own loop, not on `made`
    return made
made = {driver}(main())
print(made.is_closed(), made.is_closed() or made.run_until_complete(_velkor.sleep(0.01).__await__()))
"""


@pytest.mark.parametrize("driver", ["_velkor.run", "_velkor.PyEventLoop().run_until_complete"])
@pytest.mark.parametrize("close", [False, True])
def test_loop_made_during_a_run_leaves_the_run_its_context(driver, close):
    out = run_script(MADE_DURING_A_RUN.format(driver=driver, close=close))
    assert out.stdout.split() == [str(close), "True" if close else "None"], out.stderr


@pytest.mark.parametrize("rival,ending_alone", [("run_forever", 1), ("close", 2)])
def test_run_forever_starting_against_a_rival_thread(rival, ending_alone):
    # Of two runs starting at once exactly one is refused; a close() racing
    # the start of a run ends that run (it must not swallow the stop).
    for _ in range(25):
        loop = _velkor.PyEventLoop()
        both, results = threading.Barrier(2), []

        def call(method):
            both.wait()
            try:
                results.append(method())
            except RuntimeError as e:
                results.append(str(e))

        threads = [threading.Thread(target=call, args=(m,), daemon=True)
                   for m in (loop.run_forever, getattr(loop, rival))]
        for t in threads:
            t.start()
        settled = settle(lambda: len(results) >= ending_alone, timeout=3.0)
        while any(t.is_alive() for t in threads):
            loop.stop()  # ends the winning run, or one that swallowed the close
            for t in threads:
                t.join(0.01)
        loop.close()
        assert settled, results
        assert results.count("event loop already running") == (rival == "run_forever")


def loop_descriptors():
    paths = (f"/proc/self/fd/{n}" for n in os.listdir("/proc/self/fd"))
    return {p for p in paths if os.path.exists(p) and "anon_inode:[event" in os.readlink(p)}


@types.coroutine
def park_forever():
    yield ()


def park_a_task(lp, pipe):
    async def parked():
        await park_forever()
        lp.stop()

    lp.call_soon(lp.stop, ())
    lp.run_until_complete(parked())  # stopped while the task is parked


@pytest.mark.parametrize("hold", [
    lambda lp, pipe: lp.call_soon(lp.stop, ()),
    lambda lp, pipe: lp.call_later(100, lp.stop, ()),
    lambda lp, pipe: lp.add_reader(pipe[0], lp.stop),
    lambda lp, pipe: lp.add_writer(pipe[1], lp.stop),
    park_a_task,
], ids=["soon", "later", "reader", "writer", "parked task"])
def test_unclosed_loop_in_a_cycle_is_collected(hold):
    gc.collect()
    before, pipe = loop_descriptors(), os.pipe()
    lp = _velkor.PyEventLoop()
    own = loop_descriptors() - before
    hold(lp, pipe)
    ref = weakref.ref(lp)
    assert lp.__weakref__ is ref
    del lp
    gc.collect()
    os.close(pipe[0])
    os.close(pipe[1])
    assert len(own) == 2 and ref() is None
    assert not loop_descriptors() & own


def test_collections_during_a_run_leave_it_running(loop):
    ticks = []
    tick = lambda: (ticks.append(loop), loop.call_later(0.001, tick, ()))  # noqa: E731
    loop.call_soon(tick, ())
    runner = threading.Thread(target=loop.run_forever)
    runner.start()
    for _ in range(5):
        gc.collect()
    seen = len(ticks)
    assert settle(lambda: len(ticks) > seen)
    loop.stop()
    runner.join()


@pytest.mark.parametrize("method", ["add_reader", "add_writer"])
@pytest.mark.parametrize("fd,code", [("regular file", errno.EPERM), ("closed", errno.EBADF),
                                     (10 ** 6, errno.EBADF), (2 ** 31 - 1, errno.EBADF),
                                     (-1, None), (-2 ** 31, None)])
def test_descriptor_that_epoll_refuses(loop, tmp_path, method, fd, code):
    with open(tmp_path / "plain", "w") as plain:
        if fd == "regular file":
            fd = plain.fileno()
        elif fd == "closed":
            fd = os.dup(plain.fileno())
            os.close(fd)
        with pytest.raises(OSError if code else ValueError) as info:
            getattr(loop, method)(fd, print)
    if code:
        assert (info.value.errno, str(info.value)) == (code, f"{os.strerror(code)} (os error {code})")
    else:
        assert info.value.__notes__ == ["while processing 'fd'"]


@pytest.mark.parametrize("method", ["add_reader", "add_writer"])
@pytest.mark.parametrize("refused", [True, False], ids=["after refusal", "closed while watched"])
def test_reused_descriptor_number_is_registered_afresh(loop, method, refused):
    a, b = socket.socketpair()
    c, d = socket.socketpair()
    number, calls = a.fileno(), []
    if refused:
        a.close()
        with pytest.raises(OSError):
            loop.add_reader(number, lambda: calls.append("refused"))
    else:
        loop.add_reader(number, lambda: None)
        a.close()  # epoll forgets the number, the loop object does not
    os.dup2(c.fileno(), number)
    d.send(b"x")  # the number now names a readable, writable socket
    getattr(loop, method)(number, lambda: calls.append("new"))
    run_briefly(loop, 0.05)
    loop.remove_reader(number)
    loop.remove_writer(number)
    os.close(number)
    for sock in (b, c, d):
        sock.close()
    assert "new" in calls and "refused" not in calls


INTERRUPTED_LOOP = r"""
import os, sys, time
sys.path.insert(0, sys.argv[1])
import _velkor
how = sys.argv[2]
loop = _velkor.PyEventLoop()
loop.call_later(60, print, ("the timer was reached",))
r, w = os.pipe()

def tick():  # Python code running every 10 ms
    sum(range(1000))
    loop.call_later(0.01, tick, ())

async def parked():
    await _velkor.sleep(60)

print("running", flush=True)
try:
    if how == "idle":
        loop.run_forever()
    elif how == "ticking":
        tick()
        loop.run_forever()
    elif how == "reader":
        loop.add_reader(r, lambda: None)
        loop.run_forever()
    else:
        loop.run_until_complete(parked())
except BaseException as exc:
    print(type(exc).__name__, loop.is_running(), flush=True)
else:
    print("returned", flush=True)
"""


class TestInterruption:
    @pytest.mark.parametrize("how", ["idle", "ticking", "reader", "until_complete"])
    def test_sigint_ends_the_run_promptly_with_keyboard_interrupt(self, how):
        build = os.path.dirname(_velkor.__file__)
        with subprocess.Popen([sys.executable, "-c", INTERRUPTED_LOOP, build, how],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) as proc:
            try:
                assert proc.stdout.readline() == "running\n", proc.stderr.read()
                time.sleep(0.3)
                start = time.monotonic()
                os.kill(proc.pid, signal.SIGINT)
                out, err = proc.communicate(timeout=30)
                took = time.monotonic() - start
            finally:
                proc.kill()
        assert out.splitlines() == ["KeyboardInterrupt False"], err
        assert took < 10  # the loop's only timer is 60 s away

    @pytest.mark.parametrize("exc_type", [KeyboardInterrupt, SystemExit])
    @pytest.mark.parametrize("via", ["call_soon", "call_later", "reader"])
    def test_keyboard_interrupt_or_system_exit_from_a_callback_ends_the_run(
            self, loop, exc_type, via):
        log = []
        raised = exc_type("from a callback")
        r, w = os.pipe()

        def fatal():
            log.append("fatal")
            loop.remove_reader(r)
            raise raised

        try:
            if via == "call_soon":
                loop.call_soon(fatal, ())
            elif via == "call_later":
                loop.call_later(0.01, fatal, ())
            else:
                os.write(w, b"x")
                loop.add_reader(r, fatal)
            loop.call_later(0.02, log.append, ("next",))
            loop.call_later(30, loop.stop, ())  # in case nothing else ends the run
            start = time.monotonic()
            with pytest.raises(exc_type) as info:
                loop.run_forever()
            assert info.value is raised
            assert time.monotonic() - start < 10
            assert loop.is_running() is False
            # The loop object is usable again, and what was queued still runs.
            loop.call_later(0.05, loop.stop, ())
            loop.run_forever()
            assert log == ["fatal", "next"]
        finally:
            os.close(r)
            os.close(w)

    def test_another_thread_gets_the_interpreter_during_a_batch_of_c_callbacks(self, loop):
        # Builtin callbacks never enter the eval loop, which is what otherwise
        # hands the interpreter lock to other threads.
        readings = []
        done = threading.Event()

        def spin():
            while not done.is_set():
                readings.append(time.perf_counter())

        for _ in range(300_000):
            loop.call_soon(int, ())
        loop.call_soon(loop.stop, ())
        previous = sys.getswitchinterval()
        sys.setswitchinterval(0.001)
        spinner = threading.Thread(target=spin)
        spinner.start()
        try:
            time.sleep(0.01)
            start = time.perf_counter()
            loop.run_forever()
            end = time.perf_counter()
        finally:
            done.set()
            spinner.join()
            sys.setswitchinterval(previous)
        # Around the batch's middle 60 %, the spinner still made progress.
        margin = (end - start) * 0.2
        assert any(start + margin < t < end - margin for t in readings)
