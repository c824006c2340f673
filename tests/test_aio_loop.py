"""velkor.EventLoop as an asyncio event loop: scheduling order, running and
stopping, errors, threads, descriptors, sockets, transports, processes and
signals."""

import asyncio
import contextvars
import logging
import os
import signal
import socket
import sys
import threading
import time

import pytest

import velkor


@pytest.fixture
def loop():
    lp = velkor.new_event_loop()
    yield lp
    if not lp.is_closed():
        lp.run_until_complete(lp.shutdown_default_executor())
        lp.close()


def run(coro):
    return asyncio.run(coro, loop_factory=velkor.new_event_loop)


def refused_coroutine(method, *args):
    """method(coro, *args) for a call expected to refuse the coroutine."""
    coro = asyncio.sleep(0)
    try:
        return method(coro, *args)
    finally:
        coro.close()


class TestScheduling:
    def test_soon_later_and_at_keep_asyncio_order(self, loop):
        seen = []
        loop.call_later(0.03, seen.append, "later-30ms")
        loop.call_at(loop.time() + 0.01, seen.append, "at-10ms")
        loop.call_soon(seen.append, "soon-1")
        loop.call_soon(seen.append, "soon-2")
        loop.call_later(0.05, loop.stop)
        loop.run_forever()
        assert seen == ["soon-1", "soon-2", "at-10ms", "later-30ms"]

    @pytest.mark.parametrize("method", ["call_soon", "call_later", "call_at", "threadsafe"])
    def test_cancelled_handle_never_runs(self, loop, method):
        seen = []
        schedule = {
            "call_soon": lambda: loop.call_soon(seen.append, 1),
            "call_later": lambda: loop.call_later(0.001, seen.append, 1),
            "call_at": lambda: loop.call_at(loop.time(), seen.append, 1),
            "threadsafe": lambda: loop.call_soon_threadsafe(seen.append, 1),
        }[method]
        handle = schedule()
        assert isinstance(handle, asyncio.Handle)
        handle.cancel()
        assert handle.cancelled()
        loop.call_later(0.02, loop.stop)
        loop.run_forever()
        assert seen == []

    def test_handle_is_asyncio_own_with_a_snapshot_of_the_context(self, loop):
        var = contextvars.ContextVar("var", default="unset")
        seen = []

        def schedule():
            var.set("at scheduling")
            handle = loop.call_soon(lambda x, y: seen.append((x, y, var.get())), 1, "two")
            var.set("changed afterwards")
            return handle

        handle = contextvars.copy_context().run(schedule)
        assert type(handle) is asyncio.Handle
        assert "lambda" in repr(handle) and not handle.cancelled()
        assert handle.get_context()[var] == "at scheduling"
        loop.call_soon(loop.stop)
        loop.run_forever()
        assert seen == [(1, "two", "at scheduling")]

    @pytest.mark.parametrize("method", ["call_later", "call_at"])
    def test_timer_handle_is_asyncio_own_and_runs_in_its_context(self, loop, method):
        var = contextvars.ContextVar("var", default="unset")
        ctx = contextvars.copy_context()
        ctx.run(var.set, "given")
        seen = []
        start = loop.time()
        when = {"call_later": 0.002, "call_at": start + 0.002}[method]
        handle = getattr(loop, method)(when, lambda a, b: seen.append((a, b, var.get())),
                                       1, "two", context=ctx)
        assert type(handle) is asyncio.TimerHandle
        assert start + 0.002 <= handle.when() < start + 0.5
        assert handle.get_context() is ctx
        loop.call_later(0.02, loop.stop)
        loop.run_forever()
        assert seen == [(1, "two", "given")]

    def test_timers_fire_in_deadline_order_whatever_the_method(self, loop):
        seen = []
        now = loop.time()
        # Overdue ones too: asyncio runs them by their times, not as queued.
        for i, delay in enumerate([0.012, 0.004, -0.5, 0.008, 0.0, -2.0, 0.016, -1.0]):
            if i % 2:
                loop.call_at(now + delay, seen.append, delay)
            else:
                loop.call_later(delay, seen.append, delay)
        loop.call_later(0.05, loop.stop)
        loop.run_forever()
        assert seen == [-2.0, -1.0, -0.5, 0.0, 0.004, 0.008, 0.012, 0.016]

    def test_cancelled_far_timers_are_let_go_before_their_deadline(self, loop):
        # Time limits that end early leave cancelled handles an hour away;
        # the loop must not hold them all until then, and the live timers
        # among them still fire in deadline order.
        import weakref

        seen, cancelled = [], []
        start = loop.time()
        for k in (3, 0, 4, 2, 1):  # queued first, so none is overdue yet
            loop.call_at(start + 0.05 + 0.002 * k, seen.append, k)
        for i in range(5000):
            handle = loop.call_later(3600 + i % 7, seen.append, "cancelled")
            cancelled.append(weakref.ref(handle))
            handle.cancel()
        del handle
        assert sum(ref() is not None for ref in cancelled) < 500
        loop.call_later(0.2, loop.stop)
        loop.run_forever()
        assert seen == [0, 1, 2, 3, 4]

    @pytest.mark.parametrize("fate", ["ran", "cancelled", "never run, loop closed"])
    def test_cycle_through_a_handle_is_collected(self, fate):
        # Queued handles are hidden from the collector while the engine holds
        # them; once let go they must be collectable again.
        import gc
        import weakref

        class Owner:
            def tick(self):
                pass

        lp = velkor.new_event_loop()
        owner = Owner()
        owner.timer = lp.call_later(0.001 if fate != "never run, loop closed" else 60, owner.tick)
        owner.soon = lp.call_soon(owner.tick)
        if fate == "cancelled":
            owner.timer.cancel()
            owner.soon.cancel()
        if fate != "never run, loop closed":
            lp.run_until_complete(asyncio.sleep(0.01))
        lp.close()
        ref = weakref.ref(owner)
        del owner
        gc.collect()
        assert ref() is None

    def test_native_methods_follow_the_loop_flags_and_subclasses(self, loop):
        async def coro():
            return 1

        loop.set_debug(True)  # read at each call: debug mode's bookkeeping comes back
        assert loop.get_debug() is True
        assert loop.call_later(1, print)._source_traceback
        assert loop.create_task(coro())._source_traceback
        loop.set_debug(False)
        assert loop.call_later(1, print)._source_traceback is None
        forever = loop.call_at(float("inf"), print)  # kept, as asyncio keeps it
        assert forever.when() == float("inf")
        seen = []
        loop.set_task_factory(lambda lp, c, **kw: seen.append(kw) or asyncio.Task(c, loop=lp, **kw))
        task = loop.create_task(coro(), name="made")
        assert seen == [{"name": "made"}] and task.get_name() == "made"
        assert loop.run_until_complete(task) == 1

        class OwnTimers(velkor.EventLoop):
            def call_later(self, delay, callback, *args, context=None):
                seen.append("own")
                return super().call_later(delay, callback, *args, context=context)

        own = OwnTimers()
        try:
            own.call_later(0, print)
            assert seen[-1] == "own"
        finally:
            own.close()

    @pytest.mark.parametrize("call, error", [
        (lambda lp: lp.call_later(), TypeError),
        (lambda lp: lp.call_later(None, print), TypeError),
        (lambda lp: lp.call_at(None, print), TypeError),
        (lambda lp: lp.call_at(1, print, when=2), TypeError),
        (lambda lp: lp.create_task(), TypeError),
        (lambda lp: refused_coroutine(lp.create_task, 1), TypeError),
        (lambda lp: lp.create_future(1), TypeError),
        (lambda lp: lp.get_debug(1), TypeError),
    ], ids=["later-nothing", "later-None", "at-None", "at-keyword",
            "task-nothing", "task-two", "future-arg", "debug-arg"])
    def test_native_methods_refuse_bad_arguments(self, loop, call, error):
        with pytest.raises(error):
            call(loop)

    def test_sleep_duration_is_loosely_right(self):
        async def main():
            loop = asyncio.get_running_loop()
            t0 = loop.time()
            await asyncio.sleep(0.05)
            return loop.time() - t0

        assert 0.04 <= run(main()) <= 0.5

    def test_threadsafe_handles_keep_order_context_and_their_lock(self, loop):
        var = contextvars.ContextVar("var", default="unset")
        ctx = contextvars.copy_context()
        ctx.run(var.set, "given")
        seen, errors, handles = [], [], {}
        loop.set_exception_handler(lambda lp, context: errors.append(context))

        def cancel_itself():
            handles["self"].cancel()  # the run holds the handle's lock: it must be reentrant
            seen.append("cancelled itself")

        def from_thread():
            handles["ctx"] = loop.call_soon_threadsafe(lambda: seen.append(var.get()), context=ctx)
            handles["self"] = loop.call_soon_threadsafe(cancel_itself)
            loop.call_soon_threadsafe(lambda: 1 / 0)
            loop.call_soon_threadsafe(loop.stop)

        loop.call_soon(seen.append, "soon-1")
        loop.call_soon_threadsafe(seen.append, "threadsafe")
        loop.call_soon(seen.append, "soon-2")
        t = threading.Thread(target=from_thread)
        t.start()
        t.join()
        loop.run_forever()
        assert seen == ["soon-1", "threadsafe", "soon-2", "given", "cancelled itself"]
        assert type(handles["ctx"]).__name__ == "_ThreadSafeHandle"
        assert handles["ctx"].get_context() is ctx and handles["self"].cancelled()
        assert [type(e["exception"]) for e in errors] == [ZeroDivisionError]
        assert "Exception in callback" in errors[0]["message"]

    def test_threadsafe_call_wakes_an_idle_loop(self, loop):
        seen = []
        started = threading.Event()

        def from_thread():
            started.wait()
            time.sleep(0.05)
            loop.call_soon_threadsafe(lambda: (seen.append(threading.get_ident()), loop.stop()))

        t = threading.Thread(target=from_thread)
        t.start()
        loop.call_soon(started.set)
        t0 = time.monotonic()
        loop.run_forever()
        t.join()
        assert seen == [threading.get_ident()]
        assert time.monotonic() - t0 < 5


class TestRunning:
    def test_stop_before_run_runs_ready_callbacks_once(self, loop):
        seen = []
        loop.call_soon(lambda: (seen.append("a"), loop.call_soon(seen.append, "next")))
        loop.stop()
        loop.run_forever()
        assert seen == ["a"]
        loop.call_soon(loop.stop)
        loop.run_forever()
        assert seen == ["a", "next"]

    def test_stop_finishes_the_iteration_only(self, loop):
        seen = []

        def first():
            loop.stop()
            loop.call_soon(seen.append, "scheduled after stop")

        loop.call_soon(first)
        loop.call_soon(seen.append, "same iteration")
        loop.run_forever()
        assert seen == ["same iteration"]
        assert not loop.is_running()

    def test_runner_and_run_with_loop_factory(self):
        async def main():
            return type(asyncio.get_running_loop())

        with asyncio.Runner(loop_factory=velkor.new_event_loop) as runner:
            assert runner.run(main()) is velkor.EventLoop
            assert runner.run(main()) is velkor.EventLoop
        assert run(main()) is velkor.EventLoop

    def test_asyncgens_are_finalized_at_shutdown(self):
        closed = []

        async def agen():
            try:
                yield 1
                yield 2
            finally:
                closed.append(True)

        async def main():
            gen = agen()
            assert await anext(gen) == 1
            main.gen = gen  # kept alive: only shutdown_asyncgens can close it

        run(main())
        assert closed == [True]

    def test_eager_tasks_and_task_factory(self, loop):
        loop.set_task_factory(asyncio.eager_task_factory)
        steps = []

        async def child():
            steps.append("child ran")
            return 7

        async def main():
            task = asyncio.create_task(child(), name="eager")
            steps.append("after create")
            assert task.get_name() == "eager"
            return await task

        assert loop.run_until_complete(main()) == 7
        assert steps == ["child ran", "after create"]

    def test_call_graph_introspection(self):
        async def leaf(fut):
            await fut

        async def main():
            fut = asyncio.get_running_loop().create_future()
            task = asyncio.create_task(leaf(fut), name="leaf")
            await asyncio.sleep(0)
            graph = asyncio.capture_call_graph(task)
            fut.set_result(None)
            await task
            return graph

        graph = run(main())
        assert graph.future.get_name() == "leaf"
        assert any(f.frame.f_code.co_name == "leaf" for f in graph.call_stack)


class TestBadUse:
    @pytest.mark.parametrize("action", [
        lambda lp: lp.run_forever(),
        lambda lp: lp.run_until_complete(lp.create_future()),
        lambda lp: lp.call_soon(print),
        lambda lp: lp.call_later(1, print),
        lambda lp: lp.call_soon_threadsafe(print),
        lambda lp: lp.call_at(lp.time(), print),
        lambda lp: refused_coroutine(lp.create_task),
    ], ids=["run_forever", "run_until_complete", "call_soon", "call_later", "threadsafe",
            "call_at", "create_task"])
    def test_closed_loop_refuses(self, action):
        lp = velkor.new_event_loop()
        lp.close()
        with pytest.raises(RuntimeError, match="closed"):
            action(lp)

    def test_nested_run_is_refused(self, loop):
        async def nested():
            coro = asyncio.sleep(0)
            try:
                loop.run_until_complete(coro)
            finally:
                coro.close()

        with pytest.raises(RuntimeError, match="already running"):
            loop.run_until_complete(nested())

    @pytest.mark.parametrize("method", ["call_soon", "call_later", "call_at", "call_soon_threadsafe"])
    def test_non_callable_callback_is_refused(self, loop, method):
        args = {"call_soon": (), "call_soon_threadsafe": (), "call_later": (0,), "call_at": (0,)}
        with pytest.raises(TypeError, match="callable"):
            getattr(loop, method)(*args[method], "not callable")

    @pytest.mark.parametrize("call, error", [
        (lambda lp: lp.call_soon(), "missing required argument 'callback'"),
        (lambda lp: lp.call_soon(print, ctx=None), "unexpected keyword argument 'ctx'"),
        (lambda lp: lp.call_soon(print, context=None, context2=1), "unexpected keyword"),
    ], ids=["no-callback", "bad-keyword", "extra-keyword"])
    def test_call_soon_arguments_are_checked(self, loop, call, error):
        with pytest.raises(TypeError, match=error):
            call(loop)

    def test_closed_loop_is_freed_by_the_collector(self):
        import gc
        import weakref
        lp = velkor.new_event_loop()
        lp.call_soon(print)  # the loop and its bound call_soon refer to each other
        lp.close()
        ref = weakref.ref(lp)
        del lp
        gc.collect()
        assert ref() is None

    def test_loop_never_closed_is_collected_and_closed_with_a_warning(self):
        import gc
        import warnings
        lp = velkor.new_event_loop()
        lp.run_until_complete(asyncio.sleep(0.001))  # its self-pipe is being watched
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            del lp
            gc.collect()
        assert any("unclosed event loop" in str(w.message) for w in caught)
        # the no_leaks fixture checks that its descriptors were closed

    def test_closing_a_running_loop_is_refused(self, loop):
        async def main():
            loop.close()

        with pytest.raises(RuntimeError, match="running"):
            loop.run_until_complete(main())


class TestErrors:
    def test_callback_error_goes_to_the_exception_handler(self, loop):
        contexts = []
        loop.set_exception_handler(lambda lp, ctx: contexts.append(ctx))

        def boom():
            raise ValueError("boom")

        loop.call_soon(boom)
        loop.call_soon(loop.stop)
        loop.run_forever()
        assert len(contexts) == 1
        assert isinstance(contexts[0]["exception"], ValueError)
        assert isinstance(contexts[0]["handle"], asyncio.Handle)

    def test_failed_task_is_reported_without_waiting_for_gc(self, loop):
        # The traceback of a failed step holds frames of the loop's own calls:
        # they must not keep the finished task (and its handle) alive.
        reported = []
        loop.set_exception_handler(lambda lp, ctx: reported.append(ctx["message"]))

        async def fail():
            1 / 0

        async def main():
            asyncio.tasks._PyTask(fail())
            await asyncio.sleep(0)
            return list(reported)

        assert loop.run_until_complete(main()) == ["Task exception was never retrieved"]

    def test_keyboard_interrupt_leaves_the_run_and_the_loop_usable(self, loop):
        def interrupt():
            raise KeyboardInterrupt

        loop.call_soon(interrupt)
        with pytest.raises(KeyboardInterrupt):
            loop.run_forever()
        assert not loop.is_running()
        assert loop.run_until_complete(asyncio.sleep(0, "again")) == "again"

    def test_debug_mode_warns_about_slow_callbacks(self, loop, caplog):
        loop.set_debug(True)
        loop.slow_callback_duration = 0.01
        loop.call_soon(time.sleep, 0.03)
        loop.call_soon(loop.stop)
        with caplog.at_level(logging.WARNING, logger="asyncio"):
            loop.run_forever()
        assert any("took" in r.getMessage() and "sleep" in r.getMessage() for r in caplog.records)


class TestDescriptors:
    def test_reader_and_writer_watchers(self, loop):
        a, b = socket.socketpair()
        got = []

        def on_readable():
            got.append(a.recv(100))
            if b"".join(got) == b"pingpong":
                loop.remove_reader(a)
                loop.stop()

        def on_writable():
            b.send(b"ping" if not got else b"pong")
            loop.remove_writer(b)
            if not got:
                loop.call_later(0.01, loop.add_writer, b, on_writable)

        with a, b:
            loop.add_reader(a, on_readable)
            loop.add_writer(b, on_writable)
            loop.call_later(5, loop.stop)
            loop.run_forever()
            assert b"".join(got) == b"pingpong"
            assert not loop.remove_reader(a)

    def test_descriptor_number_reused_after_close_while_watched(self):
        # epoll forgets a closed descriptor by itself; a new file given the
        # same number must still be watched when a callback is set for it.
        import _velkor
        engine = _velkor.PyEventLoop()
        try:
            a, a_peer = socket.socketpair()
            number = a.fileno()
            engine.add_reader(number, lambda: None)
            a.close()
            b, b_peer = socket.socketpair()
            with a_peer, b, b_peer:
                if b.fileno() != number:
                    b, b_peer = b_peer, b
                if b.fileno() != number:
                    pytest.skip("the descriptor number was not reused")
                got = []
                engine.add_reader(number, lambda: (got.append(b.recv(10)), engine.stop()))
                b_peer.send(b"x")
                engine.call_later(5, engine.stop, ())
                engine.run_forever()
                engine.remove_reader(number)
                assert got == [b"x"]
        finally:
            engine.close()

    def test_sock_operations(self):
        async def main():
            loop = asyncio.get_running_loop()
            with socket.socket() as listener:
                listener.bind(("127.0.0.1", 0))
                listener.listen()
                listener.setblocking(False)
                client = socket.socket()
                client.setblocking(False)
                with client:
                    accept = asyncio.ensure_future(loop.sock_accept(listener))
                    await loop.sock_connect(client, listener.getsockname())
                    server, _ = await accept
                    with server:
                        payload = os.urandom(1 << 20)
                        send = asyncio.ensure_future(loop.sock_sendall(client, payload))
                        buf, received = bytearray(1 << 16), bytearray()
                        while len(received) < len(payload):
                            n = await loop.sock_recv_into(server, buf)
                            received += buf[:n]
                        await send
                        return bytes(received) == payload

        assert run(main())

    def test_udp_sock_and_endpoint(self):
        async def main():
            loop = asyncio.get_running_loop()
            received = loop.create_future()

            class Echo(asyncio.DatagramProtocol):
                def connection_made(self, transport):
                    self.transport = transport

                def datagram_received(self, data, addr):
                    self.transport.sendto(data.upper(), addr)

            transport, _ = await loop.create_datagram_endpoint(Echo, local_addr=("127.0.0.1", 0))
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
                s.setblocking(False)
                await loop.sock_sendto(s, b"hi", transport.get_extra_info("sockname"))
                data, _ = await asyncio.wait_for(loop.sock_recvfrom(s, 100), 5)
            transport.close()
            received.set_result(data)
            return await received

        assert run(main()) == b"HI"


class TestTransports:
    @pytest.mark.parametrize("family", ["tcp", "unix"])
    def test_streams_echo_and_server_lifecycle(self, family, tmp_path):
        async def handle(reader, writer):
            while data := await reader.read(65536):
                writer.write(data)
                await writer.drain()
            writer.close()

        async def main():
            if family == "tcp":
                server = await asyncio.start_server(handle, "127.0.0.1", 0)
                conn = asyncio.open_connection(*server.sockets[0].getsockname()[:2])
            else:
                path = str(tmp_path / "sock")
                server = await asyncio.start_unix_server(handle, path)
                conn = asyncio.open_unix_connection(path)
            async with server:
                reader, writer = await conn
                blob = os.urandom(3 << 20)
                writer.write(blob)
                # read while draining: the echo stalls once both buffers fill
                echoed, _ = await asyncio.gather(reader.readexactly(len(blob)), writer.drain())
                writer.close()
                await writer.wait_closed()
            await server.wait_closed()
            return echoed == blob, server.is_serving()

        assert run(main()) == (True, False)

    def test_buffered_protocol_and_tls(self):
        import ssl
        certs = os.path.join(os.path.dirname(os.__file__), "test", "certdata")
        keycert = os.path.join(certs, "keycert.pem")
        if not os.path.exists(keycert):
            pytest.skip("the test suite's certificates are not installed")
        server_ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        server_ctx.load_cert_chain(keycert)
        client_ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        client_ctx.check_hostname = False
        client_ctx.verify_mode = ssl.CERT_NONE

        class Collect(asyncio.BufferedProtocol):
            def __init__(self):
                self.buf, self.data = bytearray(100), bytearray()
                self.done = asyncio.get_running_loop().create_future()

            def get_buffer(self, sizehint):
                return self.buf

            def buffer_updated(self, nbytes):
                self.data += self.buf[:nbytes]

            def connection_lost(self, exc):
                self.done.set_result(bytes(self.data))

        async def main():
            loop = asyncio.get_running_loop()
            protocols = []
            server = await loop.create_server(lambda: protocols.append(Collect()) or protocols[-1],
                                              "127.0.0.1", 0, ssl=server_ctx)
            host, port = server.sockets[0].getsockname()[:2]
            _, writer = await asyncio.open_connection(host, port, ssl=client_ctx)
            assert writer.get_extra_info("ssl_object") is not None
            writer.write(b"secret " * 1000)
            await writer.drain()
            writer.close()
            await writer.wait_closed()
            got = await asyncio.wait_for(protocols[0].done, 5)
            server.close()
            await server.wait_closed()
            return got

        assert run(main()) == b"secret " * 1000


class TestThreadsProcessesSignals:
    def test_executor_and_resolver(self):
        async def main():
            loop = asyncio.get_running_loop()
            ident = await loop.run_in_executor(None, threading.get_ident)
            infos = await loop.getaddrinfo("127.0.0.1", 80, type=socket.SOCK_STREAM)
            return ident, infos[0][4]

        ident, addr = run(main())
        assert ident != threading.get_ident()
        assert addr == ("127.0.0.1", 80)

    def test_subprocess_pipes_and_exit_status(self):
        async def main():
            proc = await asyncio.create_subprocess_exec(
                sys.executable, "-c", "import sys; sys.stdout.write(sys.stdin.read().upper()); sys.exit(3)",
                stdin=asyncio.subprocess.PIPE, stdout=asyncio.subprocess.PIPE)
            out, _ = await proc.communicate(b"hello")
            # The shell runs without the sanitizer runtime a sanitized test run preloads.
            env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
            shell = await asyncio.create_subprocess_shell("exit 5", env=env)
            return out, proc.returncode, await shell.wait()

        assert run(main()) == (b"HELLO", 3, 5)

    def test_signal_handler_wakes_an_idle_loop(self):
        async def main():
            loop = asyncio.get_running_loop()
            got = loop.create_future()
            loop.add_signal_handler(signal.SIGUSR1, got.set_result, "usr1")
            try:
                threading.Timer(0.05, os.kill, (os.getpid(), signal.SIGUSR1)).start()
                return await asyncio.wait_for(got, 5)
            finally:
                assert loop.remove_signal_handler(signal.SIGUSR1)

        assert run(main()) == "usr1"

    def test_signal_handler_added_before_the_run_hears_its_signal(self, loop):
        caught = []
        loop.add_signal_handler(signal.SIGUSR1, lambda *a: (caught.append(a), loop.stop()), 42)
        try:
            loop.call_soon(threading.Timer(0.05, os.kill, (os.getpid(), signal.SIGUSR1)).start)
            loop.call_later(10, loop.stop)
            loop.run_forever()
        finally:
            assert loop.remove_signal_handler(signal.SIGUSR1)
        assert caught == [(42,)]
