"""Running coroutines: `run` and `Runner`, `spawn` and `Task`, `current_task`,
`gather`, `yield_now`.

One loop, two kinds of task
---------------------------

`velkor.run()` (and each `Runner.run()`) runs on a `velkor.EventLoop`, which
is asyncio's running loop on this thread for the whole run. Its engine steps
velkor tasks (`spawn`) and runs asyncio's callbacks, futures and tasks alike,
so asyncio code and libraries work inside `velkor.run()`:

* `asyncio.get_running_loop()` and `asyncio.get_event_loop()` return that
  loop: `asyncio.sleep`, `asyncio.Future`, `create_task`, `run_in_executor`,
  `asyncio.timeout`, asyncio's locks and queues all work.
* A velkor task can await asyncio futures and tasks. An asyncio task can
  await a velkor `Task` (cancelling the asyncio task cancels the awaited
  one, as between asyncio tasks), but not velkor's other awaitables
  (`velkor.sleep`, velkor's locks and queues, streams): asyncio tasks park
  on futures only.
* `asyncio.current_task()` returns the velkor `Task` being stepped inside
  velkor tasks (the runtime enters it into asyncio's bookkeeping,
  `_asyncio._enter_task`, around each step) and the asyncio task inside
  asyncio tasks. Between steps, and in plain callbacks, there is none.
* `asyncio.all_tasks()` lists asyncio's tasks, not velkor's.
* Cancelling a velkor task parked on an asyncio future delivers the
  `CancelledError` to the task; the future itself is left alone.
* When the run ends, the velkor and asyncio tasks still running are
  cancelled and waited for, asynchronous generators still alive are closed,
  and the default executor is shut down, as `asyncio.run` does. An
  asynchronous generator dropped unfinished during the run is closed in a
  velkor task of its own, so its cleanup may await either kind of awaitable.

Coroutines driven by the bare `_velkor.run()` (without this package) get none
of this: there is no task object and no running loop.
"""

from __future__ import annotations

import asyncio
import atexit
import contextvars
import logging
import os
import signal
import sys
import threading
import time
import traceback
import types
from asyncio import InvalidStateError
from collections.abc import Awaitable, Callable, Coroutine, Generator
from typing import TYPE_CHECKING, Any, Final, NoReturn, TypeVar, final

import _velkor

from ._compat import CancelledError, current_holder
from ._soon import call_soon
from ._waiter import Waiter, yield_once
from .event_loop import EventLoop, new_event_loop

__all__ = [
    "Runner",
    "Task",
    "current_task",
    "gather",
    "run",
    "sleep",
    "spawn",
    "yield_now",
]

_T = TypeVar("_T")

# Task states. A task is PENDING until its coroutine ends, then exactly one
# of the other three, for good.
_PENDING: Final = "pending"
_FINISHED: Final = "finished"
_FAILED: Final = "failed"
_CANCELLED: Final = "cancelled"

_logger = logging.getLogger("velkor")

# Frames kept of where a task was spawned, and of where a coroutine was made,
# in debug mode.
_DEBUG_STACK_DEPTH: Final = 10


def _as_coroutine(aw: Awaitable[_T]) -> Coroutine[Any, Any, _T] | None:
    """`aw` itself if it is a coroutine, a coroutine that awaits it if it is
    another awaitable (such as `sleep()`), None if it is not awaitable."""
    if type(aw) is types.CoroutineType or isinstance(aw, Coroutine):
        return aw
    if hasattr(type(aw), "__await__"):
        return _await(aw)
    return None


async def _await(aw: Awaitable[_T]) -> _T:
    return await aw


class Task(_velkor.TaskBase[_T]):
    """A coroutine running as a task of its own on the loop.

    Made by `spawn(coro)` (or `Task(coro)`), which must be called from code
    running on the loop; the coroutine's first step runs on a later loop
    iteration. (An awaitable that is not a coroutine, such as `sleep(1)`, is
    awaited by a coroutine made for it.) Awaiting the task gives the
    coroutine's return value or raises its exception, as often and from as
    many tasks as needed.

    `cancel(msg)` asks for the coroutine to receive `CancelledError(msg)` at
    the await where it is parked (or before it starts, if it has not). A task
    parked on awaiting another `Task` passes the request on to that task, as
    asyncio does, and is then woken by its outcome. A task that lets the
    `CancelledError` out of its coroutine ends cancelled.

    `add_done_callback(fn)` has `fn(task)` called on a later loop round once
    the task has ended (soon, when it already has), in a copy of the adding
    code's context; an exception from `fn` is logged to the "velkor" logger.
    A task is named "Task-N" unless given a name.

    Every step of the coroutine runs in the task's own `contextvars` context:
    a copy of the spawning code's context taken at spawn, or `context` when
    given. Context variables that the task sets are therefore not seen by
    its spawner, as with asyncio's tasks.

    The state, the outcome, the cancellation requests, the internal done
    callbacks and the stepping of the coroutine live in the native base
    `_velkor.TaskBase`, which the engine polls directly; this class adds the
    cold parts.
    """

    __slots__ = ()

    def add_done_callback(self, fn: Callable[[Task[_T]], object], *,
                          context: contextvars.Context | None = None) -> None:
        """Has `fn(task)` called on a later loop round once the task has
        ended, in `context` (default: a copy of the current context)."""
        if context is None:
            context = contextvars.copy_context()
        elif type(context) is not contextvars.Context:
            raise TypeError(f"context must be a contextvars.Context, got {type(context).__name__}")
        if self._state is not _PENDING:
            if asyncio._get_running_loop() is None and current_task() is None:
                raise RuntimeError("no running event loop")
            call_soon(fn, self, context)
        elif self._soon_callbacks is None:
            self._soon_callbacks = [(fn, context)]
        else:
            self._soon_callbacks.append((fn, context))

    def remove_done_callback(self, fn: Callable[[Task[_T]], object]) -> int:
        """Removes every pending `fn` added with `add_done_callback`; returns
        how many were removed."""
        callbacks = self._soon_callbacks
        if not callbacks:
            return 0
        kept = [entry for entry in callbacks if entry[0] != fn]
        self._soon_callbacks = kept
        return len(callbacks) - len(kept)

    def _await_in_asyncio_task(self, loop: asyncio.AbstractEventLoop) -> Generator[Any, Any, _T]:
        # An asyncio task parks on futures only: it waits on one that this
        # task's end completes. Its cancellation is passed on to this task,
        # and it then waits for this task's outcome, as when it awaits an
        # asyncio task.
        while self._state is _PENDING:
            future = loop.create_future()
            if self._loop is loop:
                def on_done(_task: Task[_T], future: asyncio.Future[None] = future) -> None:
                    if not future.done():
                        future.set_result(None)
            else:
                def on_done(_task: Task[_T], future: asyncio.Future[None] = future) -> None:
                    loop.call_soon_threadsafe(_set_unless_done, future)
            self._add_done_callback(on_done)
            try:
                yield from future
            except CancelledError:
                if not future.cancelled():
                    raise
                self.cancel()
            finally:
                self._remove_done_callback(on_done)
        return self.result()

    def result(self) -> _T:
        """The coroutine's return value; raises its exception if it failed or
        was cancelled, and `asyncio.InvalidStateError` while it runs."""
        state = self._state
        if state is _FINISHED:
            return self._result  # type: ignore[return-value]
        if state is _PENDING:
            raise InvalidStateError("Result is not set.")
        assert self._exception is not None
        self._retrieved()
        raise self._exception.with_traceback(self._traceback)

    def exception(self) -> BaseException | None:
        """The exception the coroutine raised, or None if it returned; raises
        `CancelledError` if the task was cancelled and
        `asyncio.InvalidStateError` while it runs."""
        state = self._state
        if state is _PENDING:
            raise InvalidStateError("Exception is not set.")
        if state is _CANCELLED:
            assert self._exception is not None
            raise self._exception.with_traceback(self._traceback)
        self._retrieved()
        return self._exception

    def get_coro(self) -> Coroutine[Any, Any, _T]:
        return self._coro

    def get_context(self) -> contextvars.Context:
        """The `contextvars` context that the task's steps run in."""
        return self._context

    @property
    def _fut_waiter(self) -> None:
        # Read by asyncio libraries (anyio's cancel scopes) from the current
        # task: a velkor task parks in the runtime, never on a future that
        # asyncio's bookkeeping would show here.
        return None

    def __repr__(self) -> str:
        state: str = self._state
        extra = ""
        if state is _FINISHED:
            extra = f" result={self._result!r}"
        elif state is _FAILED:
            state = _FINISHED
            extra = f" exception={self._exception!r}"
        elif state is _PENDING and self._cancel_requests:
            state = "cancelling"
        if self._source_traceback:
            frame = self._source_traceback[-1]
            extra += f" created at {frame.filename}:{frame.lineno}"
        coro = _describe_coroutine(self._coro)
        return f"<velkor Task {state} name={self._name!r} coro=<{coro}>{extra}>"


def _describe_coroutine(coro: Coroutine[Any, Any, Any]) -> str:
    """"main() running at file:line", or "main() done, defined at file:line"."""
    name = getattr(coro, "__qualname__", None) or type(coro).__name__
    frame = getattr(coro, "cr_frame", None)
    if frame is not None:
        return f"{name}() running at {frame.f_code.co_filename}:{frame.f_lineno}"
    code = getattr(coro, "cr_code", None)
    if code is not None:
        return f"{name}() done, defined at {code.co_filename}:{code.co_firstlineno}"
    return f"{name}()"


def _spawn_site() -> traceback.StackSummary:
    """The stack of the code that spawned a task, without this module's frames."""
    frame = sys._getframe(1)
    while frame.f_back is not None and frame.f_globals.get("__name__") == __name__:
        frame = frame.f_back
    return traceback.extract_stack(frame, _DEBUG_STACK_DEPTH)


class _NeverRetrieved:
    """Held by a failed task alone, so that it goes when the task goes: it
    then logs the exception unless `exc` was cleared because someone saw it.
    A task with a finaliser of its own would make every task's end dearer;
    this costs only the tasks that fail. What it logs is taken when the task
    fails, since a task in a reference cycle may already be torn down then.
    """

    __slots__ = ("exc", "task_repr", "source")

    # Kept here: module globals may be gone when this runs at interpreter exit.
    _log = _logger
    _format_list = staticmethod(traceback.format_list)

    def __init__(self, task: Task[Any], exc: BaseException) -> None:
        self.exc: BaseException | None = exc
        try:
            self.task_repr = repr(task)
        except Exception:  # the exception's own repr failed: the task's outcome stands
            self.task_repr = object.__repr__(task)
        self.source = task._source_traceback

    def __del__(self) -> None:
        exc = self.exc
        if exc is None:
            return
        self.exc = None
        lines = ["Task exception was never retrieved", f"future: {self.task_repr}"]
        if self.source:
            lines.append("source_traceback: Object created at (most recent call last):\n"
                         + "".join(self._format_list(self.source)).rstrip())
        self._log.error("\n".join(lines), exc_info=(type(exc), exc, exc.__traceback__))


def _slow_step(task: Task[Any], took: float) -> None:
    """Logs a step that held the loop for its `slow_callback_duration` or
    longer (debug mode)."""
    _logger.warning("Executing %s took %.3f seconds", repr(task), took)


def _done_callback_failed(callback: object, task: Task[Any], exc: BaseException) -> None:
    """Reports an exception that escaped a package-internal done callback."""
    if isinstance(exc, (KeyboardInterrupt, SystemExit)):
        on_fatal = getattr(task._loop, "_on_fatal", None)
        if on_fatal is not None:
            on_fatal(exc)
            return
    _logger.error("Exception in callback %r(%r)", callback, task,
                  exc_info=(type(exc), exc, exc.__traceback__))


def _drive_failed(exc: BaseException) -> None:
    """Called by the native driver with the exception that ended a task: the
    re-raise puts this frame at the head of its traceback, above the
    coroutine's frames."""
    try:
        raise exc
    except BaseException:  # noqa: BLE001 - only the traceback entry was wanted
        pass


def _await_foreign(task: Task[_T]) -> Generator[Any, Any, _T] | None:
    """How code other than a velkor task awaits `task`: an asyncio task
    waits on a future (see `Task._await_in_asyncio_task`); None lets the
    runtime park whatever it steps directly."""
    loop = asyncio._get_running_loop()
    if loop is not None and asyncio.current_task(loop) is not None:
        return task._await_in_asyncio_task(loop)
    return None


# Longer sleeps are taken in pieces of this length: the native timer cannot
# represent deadlines much further out, and asyncio accepts any delay.
_LONGEST_SLEEP: Final = 1e9


# Typed as a coroutine, though it may hand back the native awaitable: a type
# checker then reports `sleep(1)` left without an await.
def sleep(delay: float) -> Coroutine[Any, Any, None]:
    """Suspends the current task for `delay` seconds.

    A delay of zero or less (or one that has already elapsed when the await
    starts) returns without suspending: use `yield_now()` to let other tasks
    run. `math.inf` sleeps until the task is cancelled; NaN is refused.
    """
    if delay > 0:
        if delay <= _LONGEST_SLEEP:
            return _velkor.sleep(delay)
        return _sleep_long(delay)
    if delay != delay:
        raise ValueError("sleep delay must not be NaN")
    return _velkor.sleep(0)


async def _sleep_long(delay: float) -> None:
    deadline = time.monotonic() + delay
    while (left := deadline - time.monotonic()) > 0:
        await _velkor.sleep(min(left, _LONGEST_SLEEP))


if TYPE_CHECKING:
    def spawn(coro: Awaitable[_T], *, name: object = None,
              context: contextvars.Context | None = None) -> Task[_T]:
        """Starts `coro` as a task of the running loop and returns its `Task`."""
        ...
else:
    # Native: Task(coro, name=name, context=context) without a Python frame or
    # the generic call of the class; its docstring says the rest.
    spawn = _velkor._spawn_task


def current_task() -> Task[Any] | None:
    """The task whose step is running on this thread, or None outside one."""
    return current_holder()[0]


async def yield_now() -> None:
    """Suspends the current task for one trip through the loop, letting every
    other runnable task take a step first.

    `await velkor.sleep(0)` does not do this: a sleep that is already over
    returns without suspending.
    """
    await yield_once()


# Runner states: a loop is made on first use and closed by close(), for good.
_CREATED: Final = "created"
_OPEN: Final = "open"
_CLOSED: Final = "closed"


@final
class Runner:
    """Runs coroutines one after another on one `EventLoop` of its own, as
    `asyncio.Runner` does.

    The loop is made on first use (`run`, `get_loop` or entering the `with`
    block) and closed by `close()`, which the `with` block calls on exit:
    the velkor and asyncio tasks still running are cancelled and waited for,
    the asynchronous generators still alive are closed, the default executor
    is shut down, then the loop is closed.

    Each `run(coro)` runs `coro` as a velkor `Task` in a `contextvars`
    context copied once, when the loop is made (or in `context` when given),
    so context variables set by one run are seen by the next. Tasks that a
    run leaves running go on in the next run. `debug` sets the loop's debug
    mode when not None.

    SIGINT, KeyboardInterrupt and SystemExit behave as described for
    `velkor.run`.
    """

    __slots__ = ("_debug", "_loop", "_context", "_state", "_main", "_interrupts", "_fatal")

    def __init__(self, *, debug: bool | None = None) -> None:
        self._debug = _debug_mode(debug)
        self._loop: EventLoop | None = None
        self._context: contextvars.Context | None = None
        self._state: str = _CREATED
        # The task of the current run's coroutine, once it exists.
        self._main: Task[Any] | None = None
        # SIGINTs received during the current run.
        self._interrupts = 0
        # The first KeyboardInterrupt or SystemExit that ended a velkor task:
        # it winds the current run down and is raised at its end.
        self._fatal: BaseException | None = None

    def __enter__(self) -> Runner:
        self._lazy_init()
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def get_loop(self) -> EventLoop:
        """The runner's loop, made now if it does not exist yet."""
        return self._lazy_init()

    def close(self) -> None:
        """Winds the loop down and closes it; does nothing unless the loop was made."""
        if self._state is not _OPEN:
            return
        loop = self._loop
        assert loop is not None
        closing: asyncio.AbstractEventLoop = loop
        self._fatal = None
        try:
            self._wind_down(loop)
        finally:
            closing.close()
            self._loop = None
            self._state = _CLOSED
        fatal, self._fatal = self._fatal, None
        if fatal is not None:
            raise fatal

    def run(self, coro: Awaitable[_T], *, context: contextvars.Context | None = None) -> _T:
        """Runs `coro` on the runner's loop until it ends and returns its result,
        or raises its exception. Another awaitable is awaited by a coroutine
        made for it."""
        return self._run(_checked_main(coro, "Runner.run()"), context)

    def _lazy_init(self) -> EventLoop:
        if self._state is _CLOSED:
            raise RuntimeError("Runner is closed")
        if self._loop is None:
            loop = self._loop = new_event_loop()
            self._state = _OPEN  # from here on, close() closes the loop
            if self._debug is not None:
                loop.set_debug(self._debug)
            loop._on_fatal = self._end_with
            self._context = contextvars.copy_context()
        return self._loop

    def _run(self, coro: Coroutine[Any, Any, _T], context: contextvars.Context | None) -> _T:
        try:
            loop = self._lazy_init()
        except BaseException:
            coro.close()
            raise
        if context is None:
            context = self._context
        self._main = None
        self._interrupts = 0
        self._fatal = None
        sigint_handler = self._install_sigint_handler()
        try:
            main = _run_as_task(loop, coro, context, self._started)
        finally:
            _restore_sigint_handler(sigint_handler)
            self._main = None
        fatal, self._fatal = self._fatal, None
        if fatal is not None:
            raise fatal
        if main.cancelled() and self._interrupts and main.uncancel() == 0:
            # Cancelled by nothing but the SIGINT handler's request.
            raise KeyboardInterrupt()
        return main.result()

    def _started(self, main: Task[Any]) -> None:
        self._main = main
        if self._interrupts:  # SIGINT came before the first step
            main.cancel()

    def _end_with(self, exc: BaseException) -> None:
        if self._fatal is None:
            self._fatal = exc
        if self._main is not None:
            self._main.cancel()

    def _install_sigint_handler(self) -> Callable[[int, object], None] | None:
        # The first SIGINT cancels the run's main task and a second one raises
        # KeyboardInterrupt, as asyncio's runner does. Only on the main thread,
        # and only in place of Python's default handler.
        if (threading.current_thread() is not threading.main_thread()
                or signal.getsignal(signal.SIGINT) is not signal.default_int_handler):
            return None

        def on_sigint(signum: int, frame: object) -> None:
            self._interrupts += 1
            main = self._main
            if self._interrupts == 1 and (main is None or not main.done()):
                if main is not None:
                    main.cancel()
                return
            raise KeyboardInterrupt()

        signal.signal(signal.SIGINT, on_sigint)
        return on_sigint

    def _wind_down(self, loop: EventLoop) -> None:
        # Nothing to wait for (the usual end of a run) costs no trip through
        # the loop.
        if loop._velkor_tasks or loop._asyncgens or asyncio.all_tasks(loop):
            _run_as_task(loop, _cancel_remaining(loop), None, None)
        loop._asyncgens_shutdown_called = True
        if loop._default_executor is not None:
            loop.run_until_complete(loop.shutdown_default_executor(_EXECUTOR_JOIN_TIMEOUT))


# How long the default executor's threads get to finish at the end of a run.
_EXECUTOR_JOIN_TIMEOUT: Final = 300.0


def _checked_main(main: Awaitable[_T], caller: str) -> Coroutine[Any, Any, _T]:
    coro = _as_coroutine(main)
    if coro is None:
        raise TypeError(f"{caller} requires a coroutine object (use async def and call it)")
    if asyncio._get_running_loop() is not None or _bare_run_in_progress():
        if coro is not main:
            coro.close()
        raise RuntimeError(f"{caller} cannot be called from a running event loop")
    return coro


def _bare_run_in_progress() -> bool:
    # A loop of the bare runtime (`_velkor.run`) sets no asyncio running loop.
    # Its run function refuses to nest before it looks at its argument.
    try:
        _velkor.run(None)  # type: ignore[arg-type]
    except RuntimeError as exc:
        return "running event loop" in str(exc)
    except TypeError:
        pass
    return False


def _run_as_task(loop: asyncio.AbstractEventLoop, coro: Coroutine[Any, Any, _T],
                 context: contextvars.Context | None,
                 started: Callable[[Task[_T]], None] | None) -> Task[_T]:
    """Runs `loop` until a `Task` of `coro`, made on the loop, has ended;
    returns the task. `started` gets the task as soon as it exists."""
    made: list[Task[_T]] = []
    failure: list[BaseException] = []

    def stop(_task: Task[_T]) -> None:
        loop.stop()

    def start() -> None:
        try:
            task = Task(coro, context=context)
        except BaseException as exc:
            failure.append(exc)
            loop.stop()
            return
        made.append(task)
        task._add_done_callback(stop)
        if started is not None:
            started(task)

    try:
        loop.call_soon(start)
        loop.run_forever()
    except BaseException:
        if not made:
            coro.close()
        raise
    finally:
        if made:  # a task that outlives this run must not stop a later one
            made[0]._remove_done_callback(stop)
    if failure:
        coro.close()
        raise failure[0]
    if not made or not made[0].done():
        raise RuntimeError("Event loop stopped before the task completed.")
    return made[0]


async def _cancel_remaining(loop: EventLoop) -> None:
    # velkor and asyncio tasks alike; those started during the cancellation
    # are cancelled in turn. Each round takes its velkor tasks out of the set
    # and waits for them, so a task that has ended but is still listed (its
    # ending was interrupted) cannot make this loop spin.
    me = current_task()
    while True:
        remaining = [task for task in loop._velkor_tasks if task is not me]
        loop._velkor_tasks.clear()
        foreign = list(asyncio.all_tasks(loop))
        if not remaining and not foreign:
            break
        for task in remaining:
            task.cancel()
        for aio_task in foreign:
            aio_task.cancel()
        await _wait_all(remaining)
        if foreign:
            await asyncio.gather(*foreign, return_exceptions=True)
            _report_failures(loop, foreign)
    await _shutdown_asyncgens(loop)


def _report_failures(loop: EventLoop, ended: list[asyncio.Task[Any]]) -> None:
    for task in ended:
        if not task.cancelled() and task.exception() is not None:
            loop.call_exception_handler({
                "message": "unhandled exception during velkor.run() shutdown",
                "exception": task.exception(),
                "task": task,
            })


async def _shutdown_asyncgens(loop: EventLoop) -> None:
    # As the loop's own shutdown_asyncgens, but each generator is closed in a
    # velkor task, whose awaits may be velkor's or asyncio's.
    loop._asyncgens_shutdown_called = True
    if not loop._asyncgens:
        return
    closing = list(loop._asyncgens)
    loop._asyncgens.clear()
    results = await gather(*(agen.aclose() for agen in closing), return_exceptions=True)
    for result, agen in zip(results, closing):
        if isinstance(result, Exception):
            loop.call_exception_handler({
                "message": f"an error occurred during closing of asynchronous generator {agen!r}",
                "exception": result,
                "asyncgen": agen,
            })


def _restore_sigint_handler(handler: Callable[[int, object], None] | None) -> None:
    if handler is not None and signal.getsignal(signal.SIGINT) is handler:
        signal.signal(signal.SIGINT, signal.default_int_handler)


def run(main: Awaitable[_T], *, debug: bool | None = None) -> _T:
    """Runs the coroutine `main` on a new `EventLoop` on this thread and
    returns its result, or raises its exception. Another awaitable (such as
    `sleep(1)`) is awaited by a coroutine made for it.

    `main` runs as a `Task`, so `current_task()`, cancellation and `timeout()`
    work in it as in any spawned task. When `main` has ended (returned or
    raised), the velkor and asyncio tasks still running are cancelled, and
    `run` returns once they have all ended; the asynchronous generators
    still alive are then closed and the default executor shut down, as
    `asyncio.run` does.

    On the main thread, with Python's default SIGINT handler in place, Ctrl-C
    behaves as under `asyncio.run`: the first SIGINT cancels `main`, the
    cleanups run as above, and `run` then raises `KeyboardInterrupt`; a
    second SIGINT raises `KeyboardInterrupt` at once. A `KeyboardInterrupt` or
    `SystemExit` raised by any velkor task, awaited or not, winds the run down
    the same way and is then raised by `run`.

    The loop is asyncio's running loop for the whole run (see the module
    documentation). `run` cannot be called while an event loop (velkor's or
    asyncio's) runs on this thread.

    `debug=True`, or `debug=None` with the environment variable `VELKOR_DEBUG`
    set to a non-empty value, runs in debug mode: the loop's debug mode, and
    besides each task records where it was spawned (shown in its repr and
    when its exception is never retrieved), a task step that holds the loop
    for the loop's `slow_callback_duration` (0.1 s; settable on
    `asyncio.get_running_loop()`) or longer is logged as a warning to the
    "velkor" logger, and a coroutine never awaited warns with where it was
    made.
    """
    coro = _checked_main(main, "velkor.run()")
    try:
        with Runner(debug=debug) as runner:
            return runner._run(coro, None)
    except BaseException:
        # Typically a failure the exiting interpreter caused (its worker
        # pool is closed) in a daemon thread, which nobody will see: the
        # thread parks, as in the bare runtime's run, rather than print a
        # traceback that races the interpreter's finalisation for stderr.
        if _interpreter_exiting and threading.current_thread().daemon:
            threading.Event().wait()
        raise


def _debug_mode(debug: bool | None) -> bool | None:
    """`debug` as given; else True when VELKOR_DEBUG is set to a non-empty
    value, and None (the loop's own default) when it is not."""
    if debug is not None:
        return bool(debug)
    if not sys.flags.ignore_environment and os.environ.get("VELKOR_DEBUG"):
        return True
    return None


# Set once the interpreter has begun to exit (its atexit callbacks run).
_interpreter_exiting = False


@atexit.register
def _note_interpreter_exit() -> None:
    global _interpreter_exiting
    _interpreter_exiting = True


def _as_task(aw: Awaitable[_T]) -> Task[_T]:
    return aw if isinstance(aw, Task) else Task(aw)


async def gather(*aws: Awaitable[Any], return_exceptions: bool = False) -> list[Any]:
    """Runs the awaitables concurrently and returns their results as a list,
    in argument order.

    Coroutines and other awaitables are spawned as tasks when the gather is
    awaited; `Task` objects are waited for as they are; an argument given
    twice runs once and fills both places.

    With `return_exceptions=False` the first exception raised by any of them
    (a cancelled one raises `CancelledError`) propagates at once; the others
    keep running. With `return_exceptions=True` exceptions are returned in the
    list like results. Cancelling the task that awaits the gather cancels
    every awaitable still running and waits for them to end before the
    `CancelledError` propagates.
    """
    for aw in aws:
        if not (isinstance(aw, Task) or hasattr(type(aw), "__await__")):
            raise TypeError(f"gather() arguments must be awaitable, got {type(aw).__name__}")
    by_id: dict[int, Task[Any]] = {}
    children: list[Task[Any]] = []
    for aw in aws:
        task = by_id.get(id(aw))
        if task is None:
            task = by_id[id(aw)] = _as_task(aw)
        children.append(task)
    unique = list(by_id.values())

    first_failure: Task[Any] | None = None
    running = 0
    waiter = Waiter()

    def on_done(task: Task[Any]) -> None:
        nonlocal running, first_failure
        task._retrieved()
        running -= 1
        if first_failure is None and not return_exceptions and task._state is not _FINISHED:
            first_failure = task
            waiter.set()
        elif running == 0:
            waiter.set()

    for task in unique:
        task._retrieved()
        if task._state is _PENDING:
            running += 1
            task._add_done_callback(on_done)
        elif first_failure is None and not return_exceptions and task._state is not _FINISHED:
            first_failure = task
    try:
        if first_failure is None and running:
            await waiter
    except CancelledError:
        for task in unique:
            task.cancel()
        await _wait_all(unique)
        raise
    finally:
        for task in unique:
            task._remove_done_callback(on_done)

    if first_failure is not None:
        first_failure.result()  # raises
    if return_exceptions:
        return [t._result if t._state is _FINISHED else t._exception for t in children]
    return [t._result for t in children]


def _set_unless_done(future: asyncio.Future[None]) -> None:
    if not future.done():
        future.set_result(None)


async def _wait_all(tasks: list[Task[Any]]) -> None:
    """Waits until every task has ended, whatever its outcome."""
    for task in tasks:
        if task._state is _PENDING:
            waiter = Waiter()
            task._add_done_callback(waiter.set_on_done)
            await waiter


# What the native task core calls into (in this order; see src/python/task.cpp).
_NATIVE_HELPERS: Final = (
    _as_coroutine, _NeverRetrieved, _spawn_site, _slow_step, _done_callback_failed,
    CancelledError, EventLoop, call_soon, _await_foreign, asyncio._get_running_loop, _drive_failed,
    _PENDING, _FINISHED, _FAILED, _CANCELLED, Task,
)
