"""An asyncio event loop whose scheduling, timers and polling run on velkor's engine.

`EventLoop` is a complete `asyncio.AbstractEventLoop`. The engine (its epoll
descriptor, timer heap, ready queue and wake-up eventfd) is the native
`_velkor.PyEventLoop`; asyncio's own machinery supplies everything above it:
the C `Future` and `Task`, transports, SSL, subprocesses, signals and servers.

How the two fit:
* `call_soon`, `call_later` and `call_at` hand asyncio `Handle` objects to the
  engine's queues; the engine runs them natively and skips cancelled ones.
* Descriptor watchers go through `NativeSelector`, a selector facade whose
  registrations are the engine's epoll watchers, so every asyncio transport
  and `sock_*` operation polls on the engine. Nothing ever calls `select()`:
  the engine dispatches ready descriptors itself.
* `run_forever` runs the engine with the interpreter lock released while it
  waits; `stop()` ends the run after the current iteration, as asyncio does.
* Signals wake the loop through the self-pipe watched on the engine's epoll
  (`signal.set_wakeup_fd`).
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import contextvars
import functools
import selectors
import signal
import socket
import ssl
import threading
import weakref
from asyncio import base_events, constants, events, format_helpers, selector_events, tasks, unix_events
from collections.abc import AsyncGenerator, Callable, Coroutine
from typing import TYPE_CHECKING, Any, NoReturn, TypeVar, TypeVarTuple

import _velkor

from velkor import _transports

if TYPE_CHECKING:
    import socket

    from _typeshed import FileDescriptorLike

_Handle = events.Handle

__all__ = ["EventLoop", "new_event_loop"]

_READ = selectors.EVENT_READ
_WRITE = selectors.EVENT_WRITE

# Methods that _velkor.PyEventLoop._loop_caller makes native on each loop.
_NATIVE_METHODS = ("call_later", "call_at", "create_task", "create_future", "get_debug",
                   "call_soon_threadsafe")

_T = TypeVar("_T")
_Ts = TypeVarTuple("_Ts")

# Lines marked "private to asyncio" use attributes that asyncio has at run
# time and its type stubs leave out (Handle._callback, _source_traceback, ...).


class NativeSelector(selectors._BaseSelectorImpl):
    """A selector whose registrations are watchers on the engine's epoll.

    When a registered descriptor is ready, the engine calls a watcher made
    here on the loop thread: it queues the key's reader or writer handle, or
    hands the key to `loop._dispatch_fd` when the handle needs more than that.
    `select()` is never used.
    """

    if TYPE_CHECKING:  # the base class's own state, left out of its stubs
        _fd_to_key: dict[int, selectors.SelectorKey]

        def _fileobj_lookup(self, fileobj: FileDescriptorLike) -> int: ...

    def __init__(self, engine: _velkor.PyEventLoop, loop: EventLoop) -> None:
        super().__init__()
        self._engine = engine
        self._loop = loop

    def register(self, fileobj: FileDescriptorLike, events: int,
                 data: Any = None) -> selectors.SelectorKey:
        key = super().register(fileobj, events, data)
        self._watch(key.fd, 0, events)
        return key

    def unregister(self, fileobj: FileDescriptorLike) -> selectors.SelectorKey:
        key = super().unregister(fileobj)
        self._watch(key.fd, key.events, 0)
        return key

    def modify(self, fileobj: FileDescriptorLike, events: int,
               data: Any = None) -> selectors.SelectorKey:
        try:
            key = self._fd_to_key[self._fileobj_lookup(fileobj)]
        except KeyError:
            raise KeyError(f"{fileobj!r} is not registered") from None
        if (not events) or (events & ~(_READ | _WRITE)):
            raise ValueError(f"Invalid events: {events!r}")
        new_key = key._replace(events=events, data=data)
        self._fd_to_key[key.fd] = new_key
        if events != key.events:
            self._watch(key.fd, key.events, events)
        return new_key

    def select(self, timeout: float | None = None) -> NoReturn:
        raise RuntimeError("the engine polls this selector's descriptors itself")

    def close(self) -> None:
        for fd, key in list(self._fd_to_key.items()):
            self._watch(fd, key.events, 0)
        super().close()

    def _watch(self, fd: int, old: int, new: int) -> None:
        # Only changed interests reach epoll: transports toggle their writer
        # often, and an unchanged reader must not cost a system call.
        engine = self._engine
        added, removed = new & ~old, old & ~new
        if added & _READ:
            engine.add_reader(fd, self._watcher(fd, _READ))
        elif removed & _READ:
            engine.remove_reader(fd)
        if added & _WRITE:
            engine.add_writer(fd, self._watcher(fd, _WRITE))
        elif removed & _WRITE:
            engine.remove_writer(fd)

    def _watcher(self, fd: int, event: int) -> Callable[[], None]:
        # One Python frame per ready descriptor: the key's handle goes straight
        # to the engine's queue (behind the callbacks already ready, as asyncio
        # orders them); a cancelled handle or debug mode takes the loop's path.
        # The engine holds its watchers where the collector cannot see them,
        # so they reach the selector (and the loop) only weakly: a loop never
        # closed is still collected, and closed by asyncio's __del__.
        selector, slot = weakref.ref(self), 0 if event == _READ else 1

        def ready() -> None:
            sel = selector()
            if sel is None:
                return
            key = sel._fd_to_key.get(fd)
            if key is None or not key.events & event:
                return
            handle = key.data[slot]
            if handle is None:
                return
            loop = sel._loop
            if handle._cancelled or loop._debug:
                loop._dispatch_fd(key, event)
            else:
                loop._engine_queue(handle, loop._on_error)

        return ready


class EventLoop(unix_events.SelectorEventLoop):
    """An asyncio event loop running on velkor's native engine."""

    # A slot, not an instance-dict entry: every task step writes it twice,
    # and a store into the dict would run the dict watcher each time.
    __slots__ = ("_running_task",)

    # asyncio's __del__ reads it: a loop whose __init__ was refused counts as closed.
    _closed: bool = True

    if TYPE_CHECKING:  # asyncio's own state and helpers, left out of its stubs
        _debug: bool
        _stopping: bool
        _thread_id: int | None
        _task_factory: events._TaskFactory | None
        _signal_handlers: dict[int, events.Handle]
        _current_handle: events.Handle | None
        _asyncgens: weakref.WeakSet[AsyncGenerator[Any, Any]]
        _asyncgens_shutdown_called: bool
        _default_executor: concurrent.futures.Executor | None
        _internal_fds: int

        def _check_closed(self) -> None: ...
        def _check_thread(self) -> None: ...
        def _check_callback(self, callback: object, method: str) -> None: ...
        def _run_forever_setup(self) -> None: ...
        def _run_forever_cleanup(self) -> None: ...
        def _add_reader(self, fd: FileDescriptorLike, callback: Callable[..., Any],
                        *args: Any) -> None: ...
        def _remove_reader(self, fd: FileDescriptorLike) -> bool: ...
        def _remove_writer(self, fd: FileDescriptorLike) -> bool: ...
        def _read_from_self(self) -> None: ...

    # Set in __init__ (velkor's tasks and runner use them).
    _running_task: Any
    _velkor_tasks: set[Any]
    _on_fatal: Callable[[BaseException], None]
    _self_pipe: tuple[socket.socket, socket.socket] | tuple[()] | None

    def __init__(self) -> None:
        engine = _velkor.PyEventLoop()
        self._engine = engine
        self._engine_call_soon = engine.call_soon
        self._engine_call_at = engine.call_at
        self._engine_queue = engine._queue_handle
        self._engine_soon = engine._call_soon_handle
        self._on_error = self._callback_failed  # bound once: call_soon is hot
        self._engine_queue_at = engine._queue_handle_at
        # a SystemExit/KeyboardInterrupt raised by a callback
        self._interrupt: BaseException | None = None
        # velkor tasks (velkor.spawn) on this loop: the runtime writes the one
        # being stepped into _running_task; those not yet ended are cancelled
        # when velkor's runner winds down. A KeyboardInterrupt or SystemExit
        # out of one goes to _on_fatal: it stops the loop, as asyncio does for
        # its tasks, unless a velkor runner winds the run down instead.
        self._running_task = None
        self._velkor_tasks = set()
        self._on_fatal = self._stop_with
        self._wakeup_fd_installed = False
        self._listeners: dict[int, _transports.Serving] = {}  # by listening descriptor
        self._native_transports: weakref.WeakSet[_transports.NativeTransport] = weakref.WeakSet()
        # What unix_events.SelectorEventLoop.__init__ does, except that the
        # kernel is probed for pidfd support once per process, not per loop.
        selector_events.BaseSelectorEventLoop.__init__(self, NativeSelector(engine, self))
        self._signal_handlers = {}
        self._unix_server_sockets: dict[socket.socket, int] = {}
        self._watcher = unix_events._PidfdChildWatcher() if _pidfd_usable() else (  # type: ignore[attr-defined]
            unix_events._ThreadedChildWatcher())  # type: ignore[attr-defined]
        # The engine's monotonic clock, without a Python frame. An attribute in
        # the place of a method of asyncio's class: hence the ignores.
        self.time = engine.time  # type: ignore[method-assign]
        # call_soon without a Python frame; it defers to _call_soon_checked for
        # a closed loop, debug mode or a callback that is not callable.
        self.call_soon = engine._soon_caller(  # type: ignore[method-assign, assignment]
            self, self._on_error)
        # The same for these methods, unless a subclass has its own: each
        # falls back to the method of the class (bound here, before the native
        # one shadows it) for a closed loop, debug mode or unusual arguments.
        for name in _NATIVE_METHODS:
            if getattr(type(self), name) is getattr(EventLoop, name):
                setattr(self, name, engine._loop_caller(name, self, self._on_error,
                                                        getattr(self, name)))

    # ---- scheduling ---------------------------------------------------------
    # Out of debug mode a handle is queued and run natively (the engine's
    # _queue_handle and _queue_handle_at); debug mode takes the Python path,
    # which times each callback.

    def call_soon(self, callback: Callable[[*_Ts], object], *args: *_Ts,
                  context: contextvars.Context | None = None) -> events.Handle:
        if self._closed or self._debug or not callable(callback):
            return self._call_soon_checked(callback, args, context)
        return self._engine_soon(callback, args, self, context, self._on_error)

    def _call_soon_checked(self, callback: Callable[..., object], args: tuple[Any, ...],
                           context: contextvars.Context | None) -> events.Handle:
        self._check_closed()
        self._check_callable(callback, "call_soon")
        handle = _Handle(callback, args, self, context)
        del handle._source_traceback[-1]  # type: ignore[attr-defined]  # private to asyncio
        self._engine_call_soon(self._run_handle, (handle,))
        return handle

    def _call_soon(self, callback: Callable[..., object], args: tuple[Any, ...],
                   context: contextvars.Context | None) -> events.Handle:
        handle = events.Handle(callback, args, self, context)
        if handle._source_traceback:  # type: ignore[attr-defined]  # private to asyncio
            del handle._source_traceback[-1]  # type: ignore[attr-defined]
        self._queue(handle)
        return handle

    def _queue(self, handle: events.Handle) -> None:
        if self._debug:
            self._engine_call_soon(self._run_handle, (handle,))
        else:
            self._engine_queue(handle, self._on_error)

    def call_soon_threadsafe(self, callback: Callable[[*_Ts], object], *args: *_Ts,
                             context: contextvars.Context | None = None) -> events.Handle:
        self._check_closed()
        if self._debug or not callable(callback):
            self._check_callback(callback, "call_soon_threadsafe")
        # private to asyncio:
        handle: events.Handle = events._ThreadSafeHandle(  # type: ignore[attr-defined]
            callback, args, self, context)
        if handle._source_traceback:  # type: ignore[attr-defined]  # private to asyncio
            del handle._source_traceback[-2:]  # type: ignore[attr-defined]
        try:
            # the Python path: it takes the handle's lock against a racing cancel()
            self._engine_call_soon(self._run_handle, (handle,))
        except RuntimeError:
            self._check_closed()  # closed by another thread since the check
            raise
        return handle

    def call_at(self, when: float, callback: Callable[[*_Ts], object], *args: *_Ts,
                context: contextvars.Context | None = None) -> events.TimerHandle:
        if when is None:
            raise TypeError("when cannot be None")
        self._check_closed()
        if self._debug or not callable(callback):
            self._check_callable(callback, "call_at")
        timer = events.TimerHandle(when, callback, args, self, context)
        if timer._source_traceback:  # type: ignore[attr-defined]  # private to asyncio
            del timer._source_traceback[-1]  # type: ignore[attr-defined]
        if self._debug:
            self._engine_call_at(when, self._run_handle, (timer,))
        else:
            self._engine_queue_at(when, timer, self._on_error)
        return timer

    def create_task(self, coro: Coroutine[Any, Any, _T], **kwargs: Any) -> asyncio.Task[_T]:
        if self._closed or self._task_factory is not None or self._debug:
            return super().create_task(coro, **kwargs)
        return tasks.Task(coro, loop=self, **kwargs)  # looked up now: it may be replaced

    def _check_callable(self, callback: object, method: str) -> None:
        if self._debug:
            self._check_thread()
            self._check_callback(callback, method)
        elif not callable(callback):
            self._check_callback(callback, method)

    def _add_callback(self, handle: events.Handle) -> None:
        if not handle._cancelled:
            self._queue(handle)

    # ---- the self-pipe ----------------------------------------------------------
    # The engine wakes itself from other threads, and its runs watch a signal
    # pipe of their own, so the self-pipe only carries the signals of
    # add_signal_handler: it is made on first use. It counts as an internal
    # descriptor from the start, as asyncio's loops count theirs.

    def _make_self_pipe(self) -> None:
        self._self_pipe = None  # (ssock, csock) once made; () once closed
        self._internal_fds += 1

    def _open_self_pipe(self) -> tuple[socket.socket, socket.socket] | tuple[None, None]:
        pair = self._self_pipe
        if pair is None:
            ssock, csock = pair = socket.socketpair()
            ssock.setblocking(False)
            csock.setblocking(False)
            self._self_pipe = pair
            self._add_reader(ssock.fileno(), self._read_from_self)
        return pair or (None, None)

    @property
    def _ssock(self) -> socket.socket | None:
        return self._open_self_pipe()[0]

    @property
    def _csock(self) -> socket.socket | None:
        return self._open_self_pipe()[1]

    def _close_self_pipe(self) -> None:
        pair, self._self_pipe = self._self_pipe, ()
        if pair:
            self._remove_reader(pair[0].fileno())
            for sock in pair:
                sock.close()
        self._internal_fds -= 1

    def _write_to_self(self) -> None:
        # Nothing waits on a self-pipe that was never made.
        if self._self_pipe:
            super()._write_to_self()  # type: ignore[misc]

    def _asyncgen_finalizer_hook(self, agen: AsyncGenerator[Any, Any]) -> None:
        # The cleanup runs as a velkor task, which awaits velkor's awaitables
        # and asyncio's futures alike: an abandoned generator's `finally` may
        # await either.
        self._asyncgens.discard(agen)
        if not self.is_closed():
            self.call_soon_threadsafe(_finalize_asyncgen, self, agen)

    def _timer_handle_cancelled(self, handle: events.TimerHandle) -> None:
        # The engine drops cancelled timers from its heap as it grows, and
        # skips one that is still there when due.
        pass

    # ---- stream transports and servers ----------------------------------------
    # TCP and Unix stream sockets get the engine's transports; any other
    # socket keeps asyncio's selector transport.

    def _make_socket_transport(self, sock: socket.socket, protocol: asyncio.BaseProtocol,
                               waiter: asyncio.Future[None] | None = None, *,
                               extra: dict[str, Any] | None = None,
                               server: base_events.Server | None = None) -> asyncio.Transport:
        self._ensure_fd_no_transport(sock)  # type: ignore[attr-defined]
        transport = _transports.socket_transport(self, sock, protocol, waiter, extra, server)
        if transport is None:
            transport = super()._make_socket_transport(  # type: ignore[misc]
                sock, protocol, waiter, extra=extra, server=server)
        return transport

    def _make_ssl_transport(self, rawsock: socket.socket, protocol: asyncio.BaseProtocol,
                            sslcontext: ssl.SSLContext, waiter: asyncio.Future[None] | None = None,
                            **kwargs: Any) -> asyncio.Transport:
        self._ensure_fd_no_transport(rawsock)  # type: ignore[attr-defined]
        transport = _transports.tls_over_socket(self, rawsock, protocol, sslcontext, waiter, **kwargs)
        if transport is None:
            transport = super()._make_ssl_transport(  # type: ignore[misc]
                rawsock, protocol, sslcontext, waiter, **kwargs)
        return transport

    async def _sendfile_native(self, transp: asyncio.Transport, file: Any, offset: int,
                               count: int | None) -> int:
        if isinstance(transp, _transports.NativeTransport):
            return await _transports.sendfile(self, transp, file, offset, count)
        sent: int = await super()._sendfile_native(transp, file, offset, count)  # type: ignore[misc]
        return sent

    def _start_serving(self, protocol_factory: Callable[[], asyncio.BaseProtocol],
                       sock: socket.socket, sslcontext: ssl.SSLContext | None = None,
                       server: base_events.Server | None = None, backlog: int = 100,
                       ssl_handshake_timeout: float | None = constants.SSL_HANDSHAKE_TIMEOUT,
                       ssl_shutdown_timeout: float | None = constants.SSL_SHUTDOWN_TIMEOUT) -> None:
        if sock.type == socket.SOCK_STREAM and sock.fileno() not in self._listeners:
            try:
                self._listeners[sock.fileno()] = _transports.Serving(
                    self, protocol_factory, sock, sslcontext, server,
                    ssl_handshake_timeout, ssl_shutdown_timeout)
                return
            except (OSError, RuntimeError):
                pass  # not a socket the engine takes: asyncio's accept loop serves it
        super()._start_serving(  # type: ignore[misc]
            protocol_factory, sock, sslcontext, server, backlog, ssl_handshake_timeout,
            ssl_shutdown_timeout)

    def _stop_serving(self, sock: socket.socket) -> None:
        serving = self._listeners.pop(sock.fileno(), None)
        if serving is not None:
            serving.close()
        super()._stop_serving(sock)  # type: ignore[misc]  # closes sock, unlinks a Unix path

    # ---- running ------------------------------------------------------------

    # A traceback captured below a callback keeps the frames of the whole
    # call stack, and with them these locals: they are dropped on the way out
    # so that a finished handle (and the task it steps) is freed at once.

    def _run_handle(self, handle: events.Handle) -> None:
        if handle._cancelled:
            return
        try:
            if self._debug:
                self._run_timed(handle)
            else:
                handle._run()
        except BaseException as exc:  # SystemExit or KeyboardInterrupt: Handle keeps the rest
            self._stop_with(exc)
        finally:
            del handle

    def _run_timed(self, handle: events.Handle) -> None:
        try:
            self._current_handle = handle
            t0 = self.time()
            handle._run()
            dt = self.time() - t0
            if dt >= self.slow_callback_duration:
                base_events.logger.warning(  # type: ignore[attr-defined]  # private to asyncio
                    "Executing %s took %.3f seconds",
                    base_events._format_handle(handle), dt  # type: ignore[attr-defined]
                )
        finally:
            self._current_handle = None
            del handle

    def _dispatch_fd(self, key: selectors.SelectorKey, event: int) -> None:
        reader, writer = key.data
        handle = reader if event == _READ else writer
        if handle is None:
            return
        if handle._cancelled:
            (self._remove_reader if event == _READ else self._remove_writer)(key.fd)
            return
        # Queued behind the callbacks that were already ready, as asyncio
        # orders them: the engine runs this iteration's queue after polling.
        self._queue(handle)

    def _callback_failed(self, handle: events.Handle, exc: BaseException) -> None:
        # What Handle._run does with an exception, for natively run handles.
        if isinstance(exc, (SystemExit, KeyboardInterrupt)):
            self._stop_with(exc)
            return
        callback = format_helpers._format_callback_source(  # private to asyncio:
            handle._callback, handle._args, debug=self._debug)  # type: ignore[attr-defined]
        context: dict[str, Any] = {"message": f"Exception in callback {callback}",
                                   "exception": exc, "handle": handle}
        if handle._source_traceback:  # type: ignore[attr-defined]  # private to asyncio
            context["source_traceback"] = handle._source_traceback  # type: ignore[attr-defined]
        self.call_exception_handler(context)

    def _stop_with(self, exc: BaseException) -> None:
        if self._interrupt is None:
            self._interrupt = exc
        self._engine.stop()

    def run_forever(self) -> None:
        self._run_forever_setup()
        try:
            self._install_wakeup_fd()
            if self._signal_handlers:
                self._engine_call_soon(self._reclaim_wakeup_fd, ())
            if self._stopping:
                # stopped before running: one iteration runs what is ready now
                self._engine_call_soon(self._engine.stop, ())
            self._engine.run_forever()
            interrupt, self._interrupt = self._interrupt, None
            if interrupt is not None:
                raise interrupt
        finally:
            self._uninstall_wakeup_fd()
            self._run_forever_cleanup()

    def stop(self) -> None:
        self._stopping = True
        if self._thread_id is not None:
            self._engine.stop()

    def close(self) -> None:
        if self.is_running():
            raise RuntimeError("Cannot close a running event loop")
        if self.is_closed():
            return
        _transports.release_all(self)
        super().close()
        self._engine.close()

    # Python runs signal handlers only while it executes bytecode: with the
    # engine idle in epoll_wait, a Ctrl-C would wait for the next callback.
    # The wake-up descriptor makes a signal readable on the engine's epoll.
    def _install_wakeup_fd(self) -> None:
        csock = self._csock if self._self_pipe else None
        if csock is None or threading.current_thread() is not threading.main_thread():
            return  # the engine's run watches for signals itself
        try:
            previous = signal.set_wakeup_fd(csock.fileno(), warn_on_full_buffer=False)
        except (ValueError, OSError):
            return
        if previous not in (-1, csock.fileno()):
            signal.set_wakeup_fd(previous)  # someone else's: leave it in place
            return
        self._wakeup_fd_installed = previous == -1

    def _reclaim_wakeup_fd(self) -> None:
        # The engine's run points the wake-up descriptor at a pipe of its own;
        # asyncio's signal handlers need the signal numbers on the self-pipe.
        # (A handler added during the run points it there itself.)
        csock = self._csock if self._self_pipe else None
        if csock is None or threading.current_thread() is not threading.main_thread():
            return
        try:
            signal.set_wakeup_fd(csock.fileno(), warn_on_full_buffer=False)
        except (ValueError, OSError):
            pass

    def _uninstall_wakeup_fd(self) -> None:
        if not self._wakeup_fd_installed:
            return
        self._wakeup_fd_installed = False
        if not self._signal_handlers:
            try:
                signal.set_wakeup_fd(-1)
            except (ValueError, OSError):
                pass

    def __repr__(self) -> str:
        return (
            f"<{self.__class__.__name__} running={self.is_running()} "
            f"closed={self.is_closed()} debug={self.get_debug()}>"
        )


_asyncio_pidfd_probe = unix_events.can_use_pidfd  # type: ignore[attr-defined]


@functools.cache
def _kernel_has_pidfd() -> bool:
    return bool(_asyncio_pidfd_probe())


def _pidfd_usable() -> bool:
    # asyncio's probe, run once; a probe put in its place (tests mock it) is
    # asked every time.
    probe = unix_events.can_use_pidfd  # type: ignore[attr-defined]
    return _kernel_has_pidfd() if probe is _asyncio_pidfd_probe else bool(probe())


def _finalize_asyncgen(loop: EventLoop, agen: AsyncGenerator[Any, Any]) -> None:
    from .tasks import Task  # tasks imports this module

    Task(_close_asyncgen(loop, agen))


async def _close_asyncgen(loop: EventLoop, agen: AsyncGenerator[Any, Any]) -> None:
    try:
        await agen.aclose()
    except Exception as exc:
        loop.call_exception_handler({
            "message": f"an error occurred during closing of asynchronous generator {agen!r}",
            "exception": exc,
            "asyncgen": agen,
        })


def new_event_loop() -> EventLoop:
    """Returns a new `EventLoop`; fit for `asyncio.run(..., loop_factory=...)`."""
    return EventLoop()

