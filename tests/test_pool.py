"""Deferred calls on the process-wide pool of four workers."""

import subprocess
import sys
import threading
import time

import pytest

import _velkor


def run(coro):
    return _velkor.run(coro)


class TestDefer:
    def test_values_arguments_and_signature(self):
        async def main():
            return (await _velkor.defer(lambda a, b: a + b, 1, 2),
                    await _velkor.defer(lambda: "no args"),
                    await _velkor.defer(lambda *a: a, (1, 2)))

        assert run(main()) == (3, "no args", ((1, 2),))
        assert _velkor.defer.__text_signature__ == "(func, *args, callback=None)"
        assert _velkor.defer.__doc__.startswith(
            "velkor.defer(func, *args, callback=None) \u2014 schedule a function to run\n")

    def test_exception_object_and_callback_gets_none(self):
        err = ValueError("in worker")
        got = []

        def fail():
            raise err

        async def main():
            handle = _velkor.defer(fail, callback=got.append)
            with pytest.raises(ValueError) as info:
                await handle
            assert info.value is err
            with pytest.raises(ValueError) as again:  # the handle keeps its outcome
                await handle
            assert again.value is err

        run(main())
        assert got == [None]

    def test_callback_runs_on_the_worker_before_the_task_resumes(self):
        events = []
        loop_thread = threading.get_native_id()

        def callback(value):
            time.sleep(0.02)
            events.append(("callback", value, threading.get_native_id() == loop_thread))

        async def main():
            value = await _velkor.defer(lambda: 7, callback=callback)
            events.append(("resumed", value))

        run(main())
        assert events == [("callback", 7, False), ("resumed", 7)]

    def test_callback_errors_are_silent_and_the_waiter_still_wakes(self, capfd):
        def bad_callback(value):
            raise RuntimeError("ignored")

        async def main():
            return await _velkor.defer(lambda: "ok", callback=bad_callback)

        assert run(main()) == "ok"
        assert capfd.readouterr().err == ""

    def test_defer_from_a_worker_callback_fails_silently(self):
        outcome = []

        def callback(value):
            try:
                _velkor.defer(print)
            except BaseException as e:  # the worker has no runtime context
                outcome.append(str(e))
                raise

        async def main():
            return await _velkor.defer(lambda: 1, callback=callback)

        assert run(main()) == 1
        assert outcome == ["velkor runtime not initialized. Call velkor.run() first"]

    def test_cancel_marks_but_does_not_stop(self):
        ran = []

        async def main():
            handle = _velkor.defer(lambda: ran.append(1) or "done")
            assert handle.is_cancelled() is False
            assert handle.cancel() is None
            assert handle.cancel() is None
            assert handle.is_cancelled() is True
            return await handle

        assert run(main()) == "done"
        assert ran == [1]

    def test_not_callable_and_missing_func(self):
        async def main():
            with pytest.raises(TypeError):
                await _velkor.defer(42)
            with pytest.raises(TypeError):
                _velkor.defer()
            with pytest.raises(TypeError):
                _velkor.defer(print, bogus=1)

        run(main())

    def test_defer_needs_a_runtime(self):
        with pytest.raises(BaseException, match="not initialized"):
            _velkor.defer(print)

    def test_job_finished_before_the_first_poll(self):
        async def main():
            handle = _velkor.defer(lambda: "early")
            time.sleep(0.05)  # blocks the loop: the worker finishes meanwhile
            return await handle

        assert run(main()) == "early"

    def test_concurrent_awaiters(self):
        async def main():
            handle = _velkor.defer(lambda: time.sleep(0.02) or "both")

            async def waiter():
                return await handle

            a, b = _velkor._spawn(waiter()), _velkor._spawn(waiter())
            return await a, await b

        assert run(main()) == ("both", "both")


class TestPool:
    def test_four_workers_and_fifo(self):
        starts = {}
        t0 = time.monotonic()

        def job(i):
            starts[i] = time.monotonic() - t0
            time.sleep(0.3)
            return i

        async def main():
            handles = [_velkor.defer(job, i) for i in range(5)]
            return [await h for h in handles]

        assert run(main()) == [0, 1, 2, 3, 4]
        first_four = [starts[i] for i in range(4)]
        assert max(first_four) < 0.25  # started together
        assert 0.25 < starts[4] < 1.5  # waited for a free worker

    def test_two_loops_share_the_workers(self):
        names = []

        def job():
            names.append(threading.get_native_id())
            time.sleep(0.01)

        def worker():
            async def main():
                for _ in range(8):
                    await _velkor.defer(job)

            run(main())

        threads = [threading.Thread(target=worker) for _ in range(2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert len(names) == 16
        assert len(set(names)) <= 4


EXIT_SCENARIOS = {
    "jobs still queued": """
import time, _velkor
async def main():
    for _ in range(20):
        _velkor.defer(time.sleep, 0.2)
_velkor.run(main())
print("exiting")
""",
    "many short jobs racing the exit": """
import _velkor
async def main():
    for i in range(20000):
        _velkor.defer(abs, -i)
_velkor.run(main())
print("exiting")
""",
    "loop object never closed": """
import _velkor
loop = _velkor.PyEventLoop()
loop.call_soon(print, ("callback",))
loop.call_later(0.01, loop.stop, ())
loop.run_forever()
print("exiting")
""",
    "daemon thread running a loop": """
import threading, time, _velkor
def forever():
    loop = _velkor.PyEventLoop()
    def tick():
        loop.call_later(0.001, tick, ())
    tick()
    loop.run_forever()
threading.Thread(target=forever, daemon=True).start()
async def busy():
    while True:
        await _velkor.sleep(0.001)
threading.Thread(target=lambda: _velkor.run(busy()), daemon=True).start()
time.sleep(0.2)
print("exiting")
""",
}


@pytest.mark.parametrize("scenario", sorted(EXIT_SCENARIOS))
def test_interpreter_exits_cleanly(scenario):
    build = _velkor.__file__.rsplit("/", 1)[0]
    code = f"import sys; sys.path.insert(0, {build!r})\n" + EXIT_SCENARIOS[scenario]
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip().endswith("exiting")
