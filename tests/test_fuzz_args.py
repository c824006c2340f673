"""Any object, of any type, given to every public function and method of
`_velkor` and `velkor`: numbers at their edges (negative, NaN, infinities,
huge, bools, subclasses, `__index__`/`__float__` that raise), wrong types,
odd awaitables and callables, missing, extra and unknown arguments.

Every call must return or raise a Python exception: never crash, never hang,
never raise SystemError (a C function that returned a value with an
exception set, or failed without setting one). Whatever a call returns that
can be awaited is awaited under a short bound.
"""

import math
import os
import socket
import sys
import threading
import types
from dataclasses import dataclass

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import _velkor
import velkor
from conftest import SANITIZED
from peers import ProcessPeer, free_port

BOUND = 0.05  # seconds an awaitable result may take before it is cancelled
# VELKOR_FUZZ_EXAMPLES=N fuzzes harder (./dev passes it with VELKOR_PASS_ENV).
EXAMPLES_PER_TARGET = int(os.environ.get("VELKOR_FUZZ_EXAMPLES", 3 if SANITIZED else 8))


def fuzz_settings(table):
    return settings(max_examples=EXAMPLES_PER_TARGET * len(table), deadline=None, database=None,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])


# ---------------------------------------------------------------- odd objects

class Boom(BaseException):
    """Raised by our callables: a BaseException that the runtime must pass
    on or drop, but never mistake for a crash."""


class Raises:
    """Every conversion and comparison fails."""

    def _fail(self, *args):
        raise ValueError("no conversion")

    __index__ = __int__ = __float__ = __bool__ = __len__ = __iter__ = _fail
    __lt__ = __le__ = __gt__ = __ge__ = __eq__ = __hash__ = _fail


FloatSub = type("FloatSub", (float,), {})
IntSub = type("IntSub", (int,), {})


def index_only(n):
    return type("IndexOnly", (), {"__index__": lambda self: n})()


def float_only(x):
    return type("FloatOnly", (), {"__float__": lambda self: x})()


WrongTypes = type("WrongTypes", (), {"__index__": lambda self: "1", "__float__": lambda self: "1"})


def _boom(*args, **kwargs):
    raise Boom


def _value_error(*args, **kwargs):
    raise ValueError("callback failed")


EDGE_NUMBERS = [
    0, -1, 1, -0.0, 0.0, 1e-9, -1e-9, 0.001, math.nan, -math.nan, math.inf, -math.inf,
    2**31 - 1, 2**31, -2**31 - 1, 2**32, 2**63 - 1, 2**63, -2**63 - 1, 2**64, 10**100,
    1e18, 1e300, sys.float_info.max, sys.float_info.min, 5e-324, True, False,
    FloatSub(0.002), FloatSub(math.nan), FloatSub(-1.0), IntSub(3), IntSub(-5),
    index_only(2), index_only(-1), index_only(2**70), float_only(0.001), float_only(math.inf),
    float_only(math.nan), WrongTypes(), 1 + 2j,
]
# Made per draw: the generator itself compares and hashes what it samples.
NUMBERS = st.one_of(st.sampled_from(EDGE_NUMBERS), st.builds(Raises), st.integers(), st.floats())

CALLABLES = st.sampled_from([
    lambda *a, **k: None, lambda *a, **k: a, _boom, _value_error, len, int, str, object,
    [].append, Raises, index_only, type, velkor.current_task,
])


class FakeFuture:
    """Something a task may yield: the runtime offers it a done-callback.
    `mode` decides what becomes of that callback."""

    def __init__(self, mode):
        self.mode = mode

    def add_done_callback(self, callback):
        if self.mode == "raises":
            raise ValueError("no callbacks here")
        if self.mode == "now":
            callback(self)
        elif self.mode == "twice":
            callback(self)
            callback(None, None)
        elif self.mode == "thread":
            threading.Timer(0.002, callback, (self,)).start()
        elif self.mode == "late":
            threading.Timer(0.2, callback, (self,)).start()
        # "never": the callback is dropped


@types.coroutine
def yield_value(value):
    return (yield value)


class Awaitables:
    """Fresh coroutines and awaitables, made at draw time and closed after
    each example (an unclosed coroutine warns when it is collected)."""

    made: list = []

    @classmethod
    def track(cls, coro):
        cls.made.append(coro)
        return coro

    @classmethod
    def close_all(cls):
        while cls.made:
            cls.made.pop().close()


async def _returns(value):
    return value


async def _raises():
    raise ValueError("coroutine failed")


async def _boom_coro():
    raise Boom


async def _sleeps():
    await _velkor.sleep(0.001)
    return "slept"


async def _parks_on(value):
    return await yield_value(value)


async def _spawns():
    velkor.spawn(_returns(1))
    return "spawned"


# Coroutines that end by themselves, on any driver.
ENDING = st.one_of(
    st.builds(lambda: Awaitables.track(_returns(1))),
    st.builds(lambda: Awaitables.track(_raises())),
    st.builds(lambda: Awaitables.track(_boom_coro())),
    st.builds(lambda: Awaitables.track(_sleeps())),
    st.sampled_from(["now", "thread", "twice"]).map(
        lambda mode: Awaitables.track(_parks_on(FakeFuture(mode)))),
)


def _closed_coro():
    coro = _returns(1)
    coro.close()
    return coro


def _async_gen():
    async def agen():
        yield 1
    return agen()


# Anything that might be awaited, including what never ends by itself.
AWAITABLES = st.one_of(
    ENDING,
    st.sampled_from(["raises", "never", "late"]).map(
        lambda mode: Awaitables.track(_parks_on(FakeFuture(mode)))),
    st.sampled_from([None, 1, "x", (), object()]).map(
        lambda v: Awaitables.track(_parks_on(v))),
    st.builds(lambda: Awaitables.track(_spawns())),
    st.builds(_closed_coro),
    st.builds(lambda: _velkor.sleep(0.001)),
    st.builds(lambda: velkor.sleep(10)),
    st.builds(_async_gen),
    st.builds(lambda: (x for x in ())),
)

SCALARS = st.one_of(st.none(), st.text(max_size=8), st.binary(max_size=8),
                    st.builds(bytearray, st.binary(max_size=8)),
                    st.builds(memoryview, st.binary(max_size=8)), st.just(...),
                    st.just(object()), st.just(int), st.just(velkor), st.just(FakeFuture("now")))
ANY = st.recursive(
    st.one_of(NUMBERS, SCALARS, CALLABLES, AWAITABLES),
    lambda inner: st.one_of(st.tuples(inner, inner), st.lists(inner, max_size=3),
                            st.dictionaries(st.text(max_size=3), inner, max_size=2)),
    max_leaves=4)

# Argument kinds: each gets its plausible values and, as often, anything.
KINDS = {
    "any": ANY,
    "num": st.one_of(NUMBERS, ANY),
    "call": st.one_of(CALLABLES, ANY),
    "coro": st.one_of(AWAITABLES, ANY),
    "ending": st.one_of(ENDING, NUMBERS, SCALARS),  # for drivers that cannot be bounded
    "tuple": st.one_of(st.tuples(), st.tuples(ANY), st.lists(ANY, max_size=2), ANY),
    "fd": st.one_of(st.sampled_from(["own fd", "own fd", -1, 0, 2, 10**6, 2**31 - 1, 2**31]),
                    NUMBERS, ANY),
    # Loopback only, and never a name that would be looked up elsewhere.
    "host": st.one_of(st.sampled_from(["127.0.0.1", "::1", "localhost", "", "127.0.0.1\0x",
                                       b"127.0.0.1", "[::1]", "127.0.0.2", None, ["127.0.0.1"]]),
                      NUMBERS),
    # No plain port number: another program may listen on it.
    "port": st.one_of(st.sampled_from(["closed port", "closed port + 65536", 0, -1, 65536,
                                       2**32, 2**64, -2**63, True, IntSub(-1), index_only(-1),
                                       0.5, math.nan, math.inf, 1e300]),
                      st.builds(Raises), SCALARS),
    "data": st.one_of(st.binary(max_size=64), st.lists(st.integers(-300, 300), max_size=8),
                      st.builds(bytearray, st.binary(max_size=8)), st.builds(memoryview, st.binary()),
                      ANY),
    "bool": st.one_of(st.booleans(), ANY),
    # Descriptors handed over for good: our own sockets and pipes, or numbers
    # that can name no open descriptor (a small one could be stdin).
    "owned fd": st.one_of(st.sampled_from(["connected fd", "listening fd", "unix fd", "pipe fd",
                                           -1, 10**6, 2**31 - 1, 2**31, -2**63 - 1, 2**64]),
                          st.sampled_from([math.nan, 0.5, "3", None, b"", Raises, index_only(-1)]),
                          st.builds(Raises)),
    # Where a listener binds: loopback only (an empty host means every interface).
    "listen host": st.one_of(st.sampled_from(["127.0.0.1", "::1", "localhost", ["127.0.0.1", "::1"],
                                              ("127.0.0.1",), "127.0.0.1\0x", b"127.0.0.1", 7]),
                             NUMBERS),
    # Unix socket paths, always inside the test's own directory or abstract:
    # a relative name would make a socket file wherever the tests run.
    "path": st.one_of(st.sampled_from(["unix path", "unix path as Path", "listening unix path",
                                       "abstract path", "missing dir path", "too long path", "",
                                       b"", None, 0]),
                      NUMBERS),
    "listeners": st.one_of(st.sampled_from([[], ["listener"], ["listener", "listener"], ("listener",)]),
                           ANY),
}


# ---------------------------------------------------------------- targets

@dataclass(frozen=True)
class Target:
    """`name` is 'module.function' or 'Owner.method'; `params` are (name,
    kind) pairs; `where` is 'outside' (no loop on the thread), 'task' (inside a
    velkor task), 'either', or 'loop' (a PyEventLoop that is not running)."""

    name: str
    params: tuple
    where: str = "task"
    star: bool = False  # takes *args after the named parameters

    def __repr__(self):
        return self.name


def targets(where, *signatures, star=()):
    """Targets from 'name(param:kind, ...)' signatures."""
    out = []
    for signature in signatures:
        name, _, rest = signature.partition("(")
        params = tuple(tuple(p.strip().split(":")) for p in rest.rstrip(")").split(",") if p.strip())
        out.append(Target(name, params, where, star=name in star))
    return out


NATIVE = (
    targets("outside", "_velkor.run(coro:ending)", "_velkor._run_with_signals(coro:ending)",
            "_velkor.start_server(_handler:any, host:host, port:port)",
            "_velkor.open_connection(host:host, port:port)")
    + targets("either", "_velkor.sleep(duration:num)", "_velkor.defer(func:call, callback:call)",
              "_velkor._defer_growing(func:call, a:any)",
              "_velkor._spawn(coro:ending, task:any)", "_velkor._spawn_fair(coro:ending, task:any)",
              "PyWakerQueue.store_waker()",
              "PyWakerQueue.wake_one()", "PyWakerQueue.wake_all()", "PyWakerQueue.len()",
              "PyWakerQueue.__init__(x:any)", "_WaitList.__init__(x:any)", "_WaitList.wait()",
              "_WaitList.wake(n:num)", "_WaitList.wake_all()", "_WaitList.wake_first()",
              "_Wait.__await__()", "_Wait.send(value:any)", "_Wait.__next__()",
              "_Wait.throw(typ:any, val:any, tb:any)", "_Wait.close()", "_Wait.released()",
              "PyTaskHandle.cancel()",
              "PyTaskHandle.is_cancelled()", "PyTaskHandle.__await__()",
              "PySpawnedTask.__await__()", "TaskWakerCallback.__call__(result:any)",
              *(f"{it}.{m}" for it in ("SleepIter", "PyTaskIter", "PySpawnedTaskIter", "ReadIter",
                                       "WriteIter") for m in ("send(value:any)", "__next__()")),
              star={"_velkor.defer", "_velkor._defer_growing"})
)

LOOP = targets(
    "loop", "PyEventLoop.__init__(x:any)", "PyEventLoop.run_forever()",
    "PyEventLoop.run_until_complete(coro:ending)", "PyEventLoop.stop()", "PyEventLoop.close()",
    "PyEventLoop.is_running()", "PyEventLoop.is_closed()", "PyEventLoop.time()",
    "PyEventLoop.call_soon(callback:call, args:tuple)",
    "PyEventLoop.call_later(delay:num, callback:call, args:tuple)",
    "PyEventLoop.call_at(when:num, callback:call, args:tuple)",
    "PyEventLoop.add_reader(fd:fd, callback:call)", "PyEventLoop.add_writer(fd:fd, callback:call)",
    "PyEventLoop.remove_reader(fd:fd)", "PyEventLoop.remove_writer(fd:fd)")

STREAMS = targets(
    "task", "PyTcpStream.read(size:num)", "PyTcpStream.write(data:data)", "PyTcpStream.close()",
    "Stream.read(n:num)", "Stream.readexactly(n:num)", "Stream.readuntil(separator:data)",
    "Stream.readline()", "Stream.write(data:data)", "Stream.close()", "Stream.__init__(native:any)",
    "StreamCore.__init__(native:any)", "StreamCore.read(n:num)", "StreamCore.write(data:data)",
    "StreamCore.drain()", "StreamCore.wait_closed()",
    "velkor.open_connection(host:host, port:port)")

NET = (
    targets("either", "_velkor.connect_tcp(host:host, port:port)", "_velkor.connect_unix(path:path)",
            "_velkor.adopt_socket(fd:owned fd)", "_velkor.adopt_listener(fd:owned fd)")
    + targets("task", *(f"Connection.{m}" for m in (
        "read(n:num)", "write(data:data)", "send(data:data)", "drain()", "write_eof()", "close()",
        "abort()", "wait_closed()", "is_closing()", "getsockname()", "getpeername()", "fileno()",
        "set_nodelay(on:bool)", "get_write_buffer_size()", "get_write_buffer_limits()",
        "set_write_buffer_limits(high:num, low:num)", "pause_reading()", "resume_reading()",
        "start(data_received:call, eof_received:call, connection_lost:call, pause_writing:call, "
        "resume_writing:call)")))
    + targets("task", *(f"Listener.{m}" for m in (
        "accept()", "start(on_accept:call, on_error:call)", "pause_accepting()",
        "resume_accepting()", "close()", "getsockname()", "fileno()", "is_open()")))
    + targets("task", "velkor.open_unix_connection(path:path)",
              "velkor.start_server(handler:call, host:listen host, port:port)",
              "velkor.start_unix_server(handler:call, path:path)",
              "Server.__init__(handler:call, listeners:listeners, unix_path:any)",
              *(f"Server.{m}()" for m in ("close", "close_clients", "abort_clients", "wait_closed",
                                           "serve_forever", "is_serving"))))

PACKAGE = (
    targets("outside", "velkor.run(main:ending)", "velkor.new_event_loop()",
            "EventLoop.__init__(x:any)", "Runner.__init__(debug:any)",
            "Runner.run(coro:ending, context:any)", "Runner.get_loop()", "Runner.close()")
    + targets("task", "velkor.spawn(coro:coro, name:any, context:any)", "velkor.current_task()",
              "_velkor._spawn_task(coro:coro, name:any, context:any)",
              "velkor.sleep(delay:num)",
              "velkor.yield_now()", "velkor.gather(a:coro, b:coro, return_exceptions:bool)",
              "velkor.wait_for(aw:coro, timeout:num)", "velkor.timeout(delay:num)",
              "Timeout.__init__(when:num)", "Timeout.reschedule(when:num)", "Timeout.when()",
              "Timeout.expired()", "Task.__init__(aw:coro)",
              "velkor.to_thread(func:call, a:any)",
              "Task.cancel(msg:any)", "Task.cancelling()", "Task.uncancel()", "Task.done()",
              "Task.cancelled()", "Task.result()", "Task.exception()", "Task.get_coro()",
              "Task.add_done_callback(fn:call, context:any)", "Task.remove_done_callback(fn:call)",
              "Task.get_name()", "Task.set_name(value:any)", "Task.get_context()",
              "TaskBase.cancel(msg:any)", "TaskBase.cancelling()", "TaskBase.uncancel()",
              "TaskBase.done()", "TaskBase.cancelled()", "TaskBase.get_name()",
              "TaskBase.set_name(value:any)", "TaskBase.__await__()",
              "velkor.shield(arg:coro)", "velkor.wait(fs:any, timeout:num, return_when:any)",
              "velkor.as_completed(fs:any, timeout:num)", "velkor.TaskGroup(x:any)",
              "TaskGroup.create_task(coro:coro, name:any, context:any)",
              star={"velkor.gather", "velkor.to_thread"})
)

PRIMITIVES = targets(
    "task", "velkor.Lock(x:any)", "velkor.Event(x:any)", "velkor.Semaphore(value:num)",
    "velkor.BoundedSemaphore(value:num)", "velkor.Condition(lock:any)", "velkor.Queue(maxsize:num)",
    "Lock.acquire()", "Lock.release()", "Lock.locked()", "Event.set()", "Event.clear()",
    "Event.wait()", "Event.is_set()", "Semaphore.acquire()", "Semaphore.release()",
    "Semaphore.locked()", "BoundedSemaphore.release()", "Condition.acquire()",
    "Condition.release()", "Condition.wait()", "Condition.wait_for(predicate:call)",
    "Condition.notify(n:num)", "Condition.notify_all()", "Queue.put(item:any)", "Queue.get()",
    "Queue.put_nowait(item:any)", "Queue.get_nowait()", "Queue.task_done()", "Queue.join()",
    "Queue.qsize()", "Queue.empty()", "Queue.full()", "Queue.shutdown(immediate:bool)",
    "velkor.PriorityQueue(maxsize:num)", "velkor.LifoQueue(maxsize:num)", "PriorityQueue.put(item:any)",
    "PriorityQueue.get_nowait()", "LifoQueue.put(item:any)", "LifoQueue.get_nowait()",
    "velkor.Barrier(parties:num)", "Barrier.wait()", "Barrier.reset()", "Barrier.abort()")


# ---------------------------------------------------------------- calling

@st.composite
def call_shape(draw, target):
    """Positional and keyword arguments for `target`: usually its own
    parameters, sometimes one short, one extra, or an unknown keyword."""
    values = [draw(KINDS[kind]) for _, kind in target.params]
    names = [name for name, _ in target.params]
    shape = draw(st.sampled_from(["positional"] * 5 + ["keywords", "short", "extra", "unknown"]))
    if shape == "keywords":
        return (), dict(zip(names, values))
    if shape == "short":
        return tuple(values[:-1]), {}
    if shape == "extra" or (target.star and draw(st.booleans())):
        return (*values, draw(ANY)), {}
    if shape == "unknown":
        return tuple(values), {"no_such_argument": draw(ANY)}
    return tuple(values), {}


def check_outcome(exc, panics=True):
    """Only ordinary exceptions, the runtime's own failure type (from the
    module's callables only, when `panics`) and what our callables raise may
    come out of a call."""
    if exc is None or isinstance(exc, Boom):
        return
    if type(exc).__name__ == "PanicException":
        assert panics, f"PanicException escaped the package: {exc}"
        return
    assert not isinstance(exc, SystemError), f"SystemError: {exc}"
    assert isinstance(exc, Exception), f"{type(exc).__name__} escaped: {exc!r}"


async def bounded(awaitable):
    async with velkor.timeout(BOUND):
        return await awaitable


class Env:
    """The objects that targets are methods of, made fresh per example on
    the thread (and in the task) where they are used."""

    def __init__(self, peer=None):
        self.peer = peer
        self.objects = {}
        self.lent = {}  # descriptor -> (what closes it, what lets go of it once adopted)
        self.unix_socket = None

    def resolve(self, value):
        if isinstance(value, list):
            return [self.resolve(v) for v in value]
        if not isinstance(value, str):
            return value
        if value == "own fd":
            return self.objects["socket"].fileno()
        if value.startswith("closed port"):
            return self.peer.closed_port + (65536 if value.endswith("65536") else 0)
        if value.endswith(" fd"):
            return self.lend(value)
        if value.endswith("path") or value.endswith(" as Path"):
            return self.unix_path(value)
        if value == "listener":
            return self.adopt(_velkor.adopt_listener, "listening fd")
        return value

    def adopt(self, adopter, kind):
        adopted = adopter(self.lend(kind))
        self.taken(adopted)
        return adopted

    def lend(self, kind):
        if kind == "pipe fd":
            read_end, write_end = os.pipe()
            self.lent[read_end] = (lambda: (os.close(read_end), os.close(write_end)),
                                   lambda: os.close(write_end))
            return read_end
        if kind == "unix fd":
            sock, other = socket.socketpair()
            self.lent[sock.fileno()] = (lambda: (sock.close(), other.close()),
                                        lambda: (sock.detach(), other.close()))
            return sock.fileno()
        sock = {"connected fd": lambda: socket.create_connection(("127.0.0.1", self.peer.port)),
                "listening fd": lambda: socket.create_server(("127.0.0.1", 0))}[kind]()
        self.lent[sock.fileno()] = (sock.close, sock.detach)
        return sock.fileno()

    def taken(self, result):
        """A descriptor that a call adopted belongs to what it returned."""
        if isinstance(result, (_velkor.Connection, _velkor.Listener)):
            _, release = self.lent.pop(result.fileno(), (None, None))
            if release:
                release()

    def unix_path(self, kind):
        self.peer.paths += 1
        path = str(self.peer.socket_dir / f"s{self.peer.paths}")
        if kind == "listening unix path":
            self.unix_socket = socket.socket(socket.AF_UNIX)
            self.unix_socket.bind(path)
            self.unix_socket.listen()
        return {"unix path as Path": self.peer.socket_dir / f"s{self.peer.paths}",
                "abstract path": f"\0velkor-fuzz-{os.getpid()}-{self.peer.paths}",
                "missing dir path": path + "/nowhere/s",
                "too long path": path + "x" * 200}.get(kind, path)

    def close(self):
        """Closes what the example made, whatever state the calls left it in."""
        for obj in self.objects.values():
            close_quietly(obj)
        for close, _ in self.lent.values():
            close()
        self.lent.clear()
        if self.unix_socket:
            self.unix_socket.close()

    def owner(self, kind):
        objects = self.objects
        if kind not in objects:
            objects[kind] = self.make(kind)
        return objects[kind]

    def make(self, kind):
        makers = {
            "velkor": lambda: velkor,
            "_velkor": lambda: _velkor,
            "PyTaskHandle": lambda: _velkor.defer(int),
            "PySpawnedTask": lambda: _velkor._spawn(Awaitables.track(_returns(1))),
            "SleepIter": lambda: _velkor.sleep(0.001).__await__(),
            "_WaitList": _velkor._WaitList,
            "_Wait": lambda: self.owner("_WaitList").wait(),
            "PyTaskIter": lambda: _velkor.defer(int).__await__(),
            "PySpawnedTaskIter": lambda: self.make("PySpawnedTask").__await__(),
            "ReadIter": lambda: self.owner("PyTcpStream").read(4).__await__(),
            "WriteIter": lambda: self.owner("PyTcpStream").write(b"ab").__await__(),
            "TaskWakerCallback": lambda: self.waker_callback or velkor.run(capture_waker_callback()),
            "PyTcpStream": lambda: _velkor.open_connection("127.0.0.1", self.peer.port),
            "Stream": lambda: velkor.Stream(self.owner("Connection")),
            "StreamCore": lambda: _velkor.StreamCore(self.owner("Connection")),
            "Timeout": lambda: velkor.timeout(10),
            "Connection": lambda: self.adopt(_velkor.adopt_socket, "connected fd"),
            "Listener": lambda: self.adopt(_velkor.adopt_listener, "listening fd"),
            "Server": lambda: velkor.Server(_echo_handler, [self.resolve("listener")]),
            "Task": lambda: velkor.spawn(velkor.sleep(10)),
            "TaskBase": lambda: velkor.spawn(velkor.sleep(10)),
            "Barrier": lambda: velkor.Barrier(2),
            "Runner": lambda: velkor.Runner(),
        }
        maker = makers.get(kind)
        return maker() if maker else getattr(_velkor, kind, None) or getattr(velkor, kind)()

    # Captured in the task of a run when a target needs it there.
    waker_callback = None


def invoke(target, env, args, kwargs):
    owner_name, _, method = target.name.partition(".")
    args = tuple(env.resolve(a) for a in args)
    kwargs = {k: env.resolve(v) for k, v in kwargs.items()}
    if method == "__init__":
        cls = getattr(_velkor, owner_name, None) or getattr(velkor, owner_name)
        result = cls(*args, **kwargs)
    else:
        result = getattr(env.owner(owner_name), method)(*args, **kwargs)
    env.taken(result)
    return result


async def _echo_handler(stream):
    while data := await stream.read(4096):
        await stream.write(data)


def close_quietly(obj):
    """Closes sockets and servers that a call made or returned."""
    if isinstance(obj, (velkor.Stream, _velkor.PyTcpStream, _velkor.Connection, _velkor.Listener,
                        velkor.Server, velkor.Runner)):
        attempt(obj.close, (), {})


def attempt(function, args, kwargs):
    try:
        return function(*args, **kwargs), None
    except BaseException as exc:  # noqa: BLE001 - judged by check_outcome
        return None, exc


def awaitable(value):
    return hasattr(type(value), "__await__") and not isinstance(value, type)


def run_in_task(target, env, args, kwargs):
    """Calls the target inside a velkor task, then awaits what it returned."""
    outcomes = []

    async def main():
        if target.name.startswith("TaskWakerCallback"):
            env.waker_callback = await capture_waker_callback()
        result, exc = attempt(invoke, (target, env, args, kwargs), {})
        outcomes.append(exc)
        if awaitable(result):
            value, exc = await _attempt_async(bounded(result))
            outcomes.append(exc)
            close_quietly(value)
        elif isinstance(result, velkor.Timeout):
            _, exc = await _attempt_async(_enter_briefly(result))
            outcomes.append(exc)
        close_quietly(result)
        # Let callbacks that a call installed hear something, and the close.
        if "Connection" in env.objects:
            attempt(env.objects["Connection"].send, (b"ping",), {})
            await _velkor.sleep(0.002)
        env.close()
        await _velkor.sleep(0)

    _, exc = attempt(velkor.run, (main(),), {})
    outcomes.append(exc)
    return outcomes


async def _enter_briefly(timeout):
    async with timeout:
        await velkor.yield_now()


async def _attempt_async(coro):
    try:
        return await coro, None
    except BaseException as exc:  # noqa: BLE001 - judged by check_outcome
        return None, exc


async def capture_waker_callback():
    """The wake-up callable that the runtime gives a yielded future."""
    captured = []

    class Capture:
        def add_done_callback(self, callback):
            captured.append(callback)
            callback(self)

    await yield_value(Capture())
    return captured[0] if captured else None


def run_outside(target, env, args, kwargs):
    """Calls the target on a thread with no loop; drives an awaitable result
    in a run of its own."""
    result, exc = attempt(invoke, (target, env, args, kwargs), {})
    outcomes = [exc]
    if awaitable(result):
        value, exc = attempt(velkor.run, (bounded(result),), {})
        outcomes.append(exc)
        close_quietly(value)
    close_quietly(result)
    env.close()
    return outcomes


def run_on_loop(target, env, args, kwargs):
    """Calls the method on a fresh loop object, runs it for a moment, closes it."""
    loop = _velkor.PyEventLoop()
    env.objects["PyEventLoop"] = loop
    sockets = socket.socketpair()
    env.objects["socket"] = sockets[0]
    try:
        loop.call_later(0.01, loop.stop, ())
        outcomes = [attempt(invoke, (target, env, args, kwargs), {})[1]]
        if not loop.is_closed():
            loop.call_later(0.01, loop.stop, ())
            outcomes.append(attempt(loop.run_forever, (), {})[1])
    finally:
        loop.close()
        for s in sockets:
            s.close()
    return outcomes


RUNNERS = {"task": run_in_task, "outside": run_outside, "loop": run_on_loop}


def exercise(target, data, peer=None):
    where = target.where
    if where == "either":
        where = data.draw(st.sampled_from(["task", "outside"]), label="where")
    args, kwargs = data.draw(call_shape(target), label="arguments")
    env = Env(peer)
    try:
        owner = target.name.partition(".")[0]
        native = owner != "velkor" and not hasattr(velkor, owner)
        for exc in RUNNERS[where](target, env, args, kwargs):
            check_outcome(exc, panics=native)
    finally:
        env.close()
        Awaitables.close_all()


# ---------------------------------------------------------------- the tests

@pytest.fixture(scope="module")
def peer(tmp_path_factory):
    """An echo server in a process of its own, a port nobody listens on, and
    a directory for Unix sockets."""
    with ProcessPeer("echo") as echo:
        echo.closed_port = free_port()
        echo.socket_dir = tmp_path_factory.mktemp("sockets")
        echo.paths = 0
        yield echo


@pytest.mark.timeout(300)
@pytest.mark.parametrize("table", ["NATIVE", "LOOP", "NET", "PACKAGE", "PRIMITIVES"])
def test_any_arguments_give_a_result_or_an_exception(table, peer):
    @fuzz_settings(globals()[table])
    @given(target=st.sampled_from(globals()[table]), data=st.data())
    def fuzz(target, data):
        exercise(target, data, peer)

    fuzz()


@pytest.mark.timeout(300)
def test_any_arguments_to_streams(peer):
    @fuzz_settings(STREAMS)
    @given(target=st.sampled_from(STREAMS), data=st.data())
    def fuzz(target, data):
        exercise(target, data, peer)

    fuzz()


CALLED_DUNDERS = {"__call__", "__await__", "__next__"}


def test_every_public_callable_is_fuzzed():
    covered = {t.name for table in (NATIVE, LOOP, NET, STREAMS, PACKAGE, PRIMITIVES) for t in table}
    missing = [f"_velkor.{n}" for n, v in vars(_velkor).items()
               if callable(v) and not n.startswith("__") and not isinstance(v, type)
               and f"_velkor.{n}" not in covered]
    missing += [n for n in velkor.__all__
                if callable(getattr(velkor, n)) and not isinstance(getattr(velkor, n), type)
                and f"velkor.{n}" not in covered]
    missing += [f"{name}.{m}" for name, cls in vars(_velkor).items() if isinstance(cls, type)
                for m in vars(cls) if not m.startswith("_") or m in CALLED_DUNDERS
                if f"{name}.{m}" not in covered]
    missing += [n for n in velkor.__all__ if isinstance(getattr(velkor, n), type)
                and not issubclass(getattr(velkor, n), BaseException)
                and f"velkor.{n}" not in covered and f"{n}.__init__" not in covered]
    assert not missing, f"public callables without a fuzz target: {missing}"
