"""The workloads of the benchmark suite, written for each runtime in its own idiom.

Each implementation is a function `(n, ctx) -> dict` that does the work once at
size `n` and returns its measurements in seconds or bytes (the keys are the
metrics of the workload). `ctx` carries what the runner provides: the echo
server's port for the TCP workloads. The runner (`suite.py`) calls them in a
process of their own, one runtime per process.

Timing starts once the runtime is running and the work is about to begin, and
stops once the last piece of it has finished, so loop start-up and shutdown
are not part of any figure.
"""

from __future__ import annotations

import asyncio
import gc
import random
from collections.abc import Callable
from dataclasses import dataclass, field
from time import perf_counter
from typing import Any

RUNTIMES = ("velkor", "asyncio", "uvloop", "trio")
# The network workloads have columns of their own. Clients: velkor's package
# streams beside the module's threaded stream and plain blocking sockets (a
# reference: no runtime at all). Servers: streams and protocols under asyncio
# and uvloop. A column's runtime is the part of its name before any "-".
CLIENT_RUNTIMES = ("velkor", "velkor-threaded", "sockets", "asyncio", "uvloop", "trio")
SERVER_RUNTIMES = ("velkor", "asyncio", "asyncio-proto", "uvloop", "uvloop-proto", "trio")

Impl = Callable[[int, dict[str, Any]], dict[str, float]]


@dataclass
class Metric:
    key: str           # key in the implementation's result
    title: str         # row title in the table; {n} stands for the size
    unit: str          # display unit
    scale: float       # display value = measured value * scale
    # A rate (requests per second) rather than a cost: its ratio is inverted so
    # that above 1 still means velkor did better.
    higher_is_better: bool = False


@dataclass
class Workload:
    name: str
    description: str
    n: int                      # full size
    size_label: str             # what n counts
    metrics: list[Metric]
    impls: dict[str, Impl] = field(default_factory=dict)
    not_applicable: dict[str, str] = field(default_factory=dict)
    # Run once at a small size first in the same process, so that lazy
    # imports and first-use set-up (thread pools, code paths) are not timed.
    warm_up: bool = True
    min_n: int = 1
    # The columns of its table.
    runtimes: tuple[str, ...] = RUNTIMES
    # Asked in the runner's process: why a column cannot run here (an API that
    # is not there yet), or None when it can.
    unavailable: Callable[[str], str | None] | None = None
    # Driven by the C load generator, which the runner builds first.
    needs_loadgen: bool = False


WORKLOADS: dict[str, Workload] = {}


def workload(w: Workload) -> Workload:
    WORKLOADS[w.name] = w
    return w


def implements(name: str, *runtimes: str) -> Callable[[Impl], Impl]:
    def register(fn: Impl) -> Impl:
        for runtime in runtimes:
            WORKLOADS[name].impls[runtime] = fn
        return fn
    return register


# ---- running a coroutine under each runtime -----------------------------------------


def run_velkor(main: Callable[[], Any]) -> Any:
    import velkor
    return velkor.run(main())


def run_asyncio(main: Callable[[], Any]) -> Any:
    return asyncio.run(main())


def run_uvloop(main: Callable[[], Any]) -> Any:
    import uvloop
    return uvloop.run(main())


def run_trio(main: Callable[[], Any]) -> Any:
    import trio
    return trio.run(main)


ASYNCIO_RUNNERS = {"asyncio": run_asyncio, "uvloop": run_uvloop}


def asyncio_loop_factory(runtime: str) -> Callable[[], asyncio.AbstractEventLoop]:
    if runtime == "uvloop":
        import uvloop
        return uvloop.new_event_loop
    return asyncio.new_event_loop


def count(n: int) -> str:
    """100000 as "100k", 1000000 as "1M"."""
    for unit, size in (("M", 1_000_000), ("k", 1000)):
        if n >= size and n % (size // 10) == 0:
            return f"{n / size:g}{unit}"
    return str(n)


def shares(n: int, parts: int) -> list[int]:
    """n split into `parts` nearly equal whole shares."""
    return [n // parts + (1 if i < n % parts else 0) for i in range(parts)]


def resident_bytes() -> int:
    """This process's resident set size, from /proc/self/status."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no VmRSS line in /proc/self/status")


# ---- 1. spawn and await trivial tasks --------------------------------------------------

workload(Workload(
    "spawn", "spawn n trivial tasks, then await each of them", 100_000, "tasks",
    [Metric("seconds", "spawn + await {n} tasks", "ms", 1e3)]))


async def trivial() -> None:
    return None


@implements("spawn", "velkor")
def spawn_velkor(n: int, ctx: dict[str, Any]) -> dict[str, float]:
    import velkor

    async def main() -> float:
        start = perf_counter()
        tasks = [velkor.spawn(trivial()) for _ in range(n)]
        for task in tasks:
            await task
        return perf_counter() - start

    return {"seconds": run_velkor(main)}


@implements("spawn", "asyncio", "uvloop")
def spawn_asyncio(n: int, ctx: dict[str, Any]) -> dict[str, float]:
    async def main() -> float:
        start = perf_counter()
        tasks = [asyncio.create_task(trivial()) for _ in range(n)]
        for task in tasks:
            await task
        return perf_counter() - start

    return {"seconds": ASYNCIO_RUNNERS[ctx["runtime"]](main)}


@implements("spawn", "trio")
def spawn_trio(n: int, ctx: dict[str, Any]) -> dict[str, float]:
    import trio

    async def main() -> float:
        start = perf_counter()
        async with trio.open_nursery() as nursery:
            for _ in range(n):
                nursery.start_soon(trivial)
        return perf_counter() - start

    return {"seconds": run_trio(main)}


# ---- 2. ping-pong ---------------------------------------------------------------------

workload(Workload(
    "ping_pong", "two tasks hand a token back and forth n times through two queues",
    100_000, "round trips",
    [Metric("seconds", "ping-pong {n} round trips", "ms", 1e3)]))


@implements("ping_pong", "velkor")
def ping_pong_velkor(n: int, ctx: dict[str, Any]) -> dict[str, float]:
    import velkor

    async def main() -> float:
        there: velkor.Queue[int] = velkor.Queue()
        back: velkor.Queue[int] = velkor.Queue()

        async def pong() -> None:
            for _ in range(n):
                back.put_nowait(await there.get())

        start = perf_counter()
        task = velkor.spawn(pong())
        for i in range(n):
            there.put_nowait(i)
            if await back.get() != i:
                raise AssertionError("token out of order")
        await task
        return perf_counter() - start

    return {"seconds": run_velkor(main)}


@implements("ping_pong", "asyncio", "uvloop")
def ping_pong_asyncio(n: int, ctx: dict[str, Any]) -> dict[str, float]:
    async def main() -> float:
        there: asyncio.Queue[int] = asyncio.Queue()
        back: asyncio.Queue[int] = asyncio.Queue()

        async def pong() -> None:
            for _ in range(n):
                back.put_nowait(await there.get())

        start = perf_counter()
        task = asyncio.create_task(pong())
        for i in range(n):
            there.put_nowait(i)
            if await back.get() != i:
                raise AssertionError("token out of order")
        await task
        return perf_counter() - start

    return {"seconds": ASYNCIO_RUNNERS[ctx["runtime"]](main)}


@implements("ping_pong", "trio")
def ping_pong_trio(n: int, ctx: dict[str, Any]) -> dict[str, float]:
    import trio

    async def main() -> float:
        there_send, there_receive = trio.open_memory_channel[int](1)
        back_send, back_receive = trio.open_memory_channel[int](1)

        async def pong() -> None:
            for _ in range(n):
                back_send.send_nowait(await there_receive.receive())

        start = perf_counter()
        async with trio.open_nursery() as nursery:
            nursery.start_soon(pong)
            for i in range(n):
                there_send.send_nowait(i)
                if await back_receive.receive() != i:
                    raise AssertionError("token out of order")
        return perf_counter() - start

    return {"seconds": run_trio(main)}


# ---- 3. many concurrent sleeps ---------------------------------------------------------

workload(Workload(
    "sleeps", "n tasks each sleep a random 0-100 ms; wall time past the longest "
    "deadline, and the worst lateness of any wake", 100_000, "tasks",
    [Metric("overshoot", "{n} sleeps: wall past longest", "ms", 1e3),
     Metric("worst_late", "{n} sleeps: worst lateness", "ms", 1e3)]))

LONGEST_SLEEP = 0.1


def sleep_delays(n: int) -> list[float]:
    rng = random.Random(1234)
    return [rng.random() * LONGEST_SLEEP for _ in range(n)]


def sleep_result(elapsed: float, delays: list[float], late: list[float]) -> dict[str, float]:
    if len(late) != len(delays):
        raise AssertionError(f"{len(late)} of {len(delays)} sleepers woke")
    return {"overshoot": elapsed - max(delays), "worst_late": max(late),
            "earliest": min(late)}


@implements("sleeps", "velkor")
def sleeps_velkor(n: int, ctx: dict[str, Any]) -> dict[str, float]:
    import velkor
    delays = sleep_delays(n)
    late: list[float] = []

    async def sleeper(delay: float) -> None:
        woken = perf_counter() + delay
        await velkor.sleep(delay)
        late.append(perf_counter() - woken)

    async def main() -> float:
        start = perf_counter()
        tasks = [velkor.spawn(sleeper(d)) for d in delays]
        for task in tasks:
            await task
        return perf_counter() - start

    return sleep_result(run_velkor(main), delays, late)


@implements("sleeps", "asyncio", "uvloop")
def sleeps_asyncio(n: int, ctx: dict[str, Any]) -> dict[str, float]:
    delays = sleep_delays(n)
    late: list[float] = []

    async def sleeper(delay: float) -> None:
        woken = perf_counter() + delay
        await asyncio.sleep(delay)
        late.append(perf_counter() - woken)

    async def main() -> float:
        start = perf_counter()
        tasks = [asyncio.create_task(sleeper(d)) for d in delays]
        for task in tasks:
            await task
        return perf_counter() - start

    return sleep_result(ASYNCIO_RUNNERS[ctx["runtime"]](main), delays, late)


@implements("sleeps", "trio")
def sleeps_trio(n: int, ctx: dict[str, Any]) -> dict[str, float]:
    import trio
    delays = sleep_delays(n)
    late: list[float] = []

    async def sleeper(delay: float) -> None:
        woken = perf_counter() + delay
        await trio.sleep(delay)
        late.append(perf_counter() - woken)

    async def main() -> float:
        start = perf_counter()
        async with trio.open_nursery() as nursery:
            for d in delays:
                nursery.start_soon(sleeper, d)
        return perf_counter() - start

    return sleep_result(run_trio(main), delays, late)


# ---- 4. callbacks and timers on a loop object -----------------------------------------
# The loop-object measurements of loop_ops.py, reused as they are.

NO_LOOP_OBJECT = "trio has no loop object to schedule callbacks on"

workload(Workload(
    "call_soon", "n call_soon callbacks scheduled up front, then run by run_forever",
    1_000_000, "callbacks",
    [Metric("seconds", "call_soon {n} callbacks", "ms", 1e3)],
    not_applicable={"trio": NO_LOOP_OBJECT}))

workload(Workload(
    "call_later", "n call_later timers with random delays in 0-10 ms, run until the last fires",
    100_000, "timers",
    [Metric("seconds", "call_later {n} timers", "ms", 1e3)],
    not_applicable={"trio": NO_LOOP_OBJECT}))


@implements("call_soon", "velkor")
def call_soon_velkor(n: int, ctx: dict[str, Any]) -> dict[str, float]:
    import loop_ops
    return {"seconds": loop_ops.velkor_call_soon(n)}


@implements("call_soon", "asyncio", "uvloop")
def call_soon_asyncio(n: int, ctx: dict[str, Any]) -> dict[str, float]:
    import loop_ops
    return {"seconds": loop_ops.asyncio_call_soon(asyncio_loop_factory(ctx["runtime"]), n)}


@implements("call_later", "velkor")
def call_later_velkor(n: int, ctx: dict[str, Any]) -> dict[str, float]:
    import loop_ops
    return {"seconds": loop_ops.velkor_call_later(n)}


@implements("call_later", "asyncio", "uvloop")
def call_later_asyncio(n: int, ctx: dict[str, Any]) -> dict[str, float]:
    import loop_ops
    return {"seconds": loop_ops.asyncio_call_later(asyncio_loop_factory(ctx["runtime"]), n)}


# ---- 5. blocking calls on worker threads ---------------------------------------------

for _concurrency in (1, 64):
    workload(Workload(
        f"to_thread_{_concurrency}",
        f"n blocking calls through the runtime's worker threads, {_concurrency} at a time",
        10_000, "calls",
        [Metric("seconds", "to_thread {n} calls, " + f"{_concurrency} at a time", "ms", 1e3)]))


def blocking(x: int) -> int:
    return x + 1


def to_thread_impls(concurrency: int) -> None:
    name = f"to_thread_{concurrency}"

    @implements(name, "velkor")
    def velkor_impl(n: int, ctx: dict[str, Any]) -> dict[str, float]:
        import velkor

        async def caller(calls: int) -> None:
            for i in range(calls):
                if await velkor.to_thread(blocking, i) != i + 1:
                    raise AssertionError("wrong result")

        async def main() -> float:
            start = perf_counter()
            tasks = [velkor.spawn(caller(k)) for k in shares(n, concurrency)]
            for task in tasks:
                await task
            return perf_counter() - start

        return {"seconds": run_velkor(main)}

    @implements(name, "asyncio", "uvloop")
    def asyncio_impl(n: int, ctx: dict[str, Any]) -> dict[str, float]:
        async def caller(calls: int) -> None:
            for i in range(calls):
                if await asyncio.to_thread(blocking, i) != i + 1:
                    raise AssertionError("wrong result")

        async def main() -> float:
            start = perf_counter()
            tasks = [asyncio.create_task(caller(k)) for k in shares(n, concurrency)]
            for task in tasks:
                await task
            return perf_counter() - start

        return {"seconds": ASYNCIO_RUNNERS[ctx["runtime"]](main)}

    @implements(name, "trio")
    def trio_impl(n: int, ctx: dict[str, Any]) -> dict[str, float]:
        import trio

        async def caller(calls: int) -> None:
            for i in range(calls):
                if await trio.to_thread.run_sync(blocking, i) != i + 1:
                    raise AssertionError("wrong result")

        async def main() -> float:
            start = perf_counter()
            async with trio.open_nursery() as nursery:
                for k in shares(n, concurrency):
                    nursery.start_soon(caller, k)
            return perf_counter() - start

        return {"seconds": run_trio(main)}


to_thread_impls(1)
to_thread_impls(64)


# ---- 6 and 7. TCP against the shared echo server ---------------------------------------
# The clients and scenarios of tcp.py; the runner starts its echo server once.

workload(Workload(
    "echo_1", "1 KiB echo round trips, one at a time over one connection",
    20_000, "round trips",
    [Metric("seconds", "TCP echo 1 KiB, 1 conn, {n} trips", "ms", 1e3)], min_n=2,
    runtimes=CLIENT_RUNTIMES))

workload(Workload(
    "echo_100", "1 KiB echo round trips over 100 connections: each round one "
    "message on every connection, then every echo read back", 200, "rounds of 100",
    [Metric("seconds", "TCP echo 1 KiB, 100 conns, {n} rounds", "ms", 1e3)], min_n=2,
    runtimes=CLIENT_RUNTIMES))

workload(Workload(
    "bulk", "MiB sent through one connection while the echo is read back",
    256, "MiB each way",
    [Metric("seconds", "TCP bulk {n} MiB each way", "ms", 1e3)], min_n=1,
    runtimes=CLIENT_RUNTIMES))


def tcp_client(runtime: str) -> tuple[Callable[..., float], Callable[..., Any]]:
    import tcp
    if runtime == "velkor":
        import velkor
        return velkor.run, tcp.VelkorConn.open
    if runtime == "velkor-threaded":
        import velkor
        return velkor.run, tcp.ThreadedConn.open
    if runtime == "sockets":
        return tcp.run_blocking, tcp.SocketConn.open
    if runtime == "trio":
        return tcp.trio_run, tcp.TrioConn.open
    if runtime == "uvloop":
        import uvloop
        return uvloop.run, tcp.AsyncioConn.open
    return asyncio.run, tcp.AsyncioConn.open


@implements("echo_1", *CLIENT_RUNTIMES)
def echo_1(n: int, ctx: dict[str, Any]) -> dict[str, float]:
    import tcp
    run, opener = tcp_client(ctx["runtime"])
    seconds = tcp.measure(run, opener, ctx["port"], 1, lambda conns: tcp.echo_rounds(conns, n))
    return {"seconds": seconds, "trips_per_second": n / seconds}


@implements("echo_100", *CLIENT_RUNTIMES)
def echo_100(n: int, ctx: dict[str, Any]) -> dict[str, float]:
    import tcp
    run, opener = tcp_client(ctx["runtime"])
    seconds = tcp.measure(run, opener, ctx["port"], 100, lambda conns: tcp.echo_rounds(conns, n))
    return {"seconds": seconds, "trips_per_second": 100 * n / seconds}


@implements("bulk", *CLIENT_RUNTIMES)
def bulk(n: int, ctx: dict[str, Any]) -> dict[str, float]:
    import tcp
    run, opener = tcp_client(ctx["runtime"])
    total = n << 20
    seconds = tcp.measure(run, opener, ctx["port"], 1, lambda conns: tcp.bulk(conns[0], total))
    return {"seconds": seconds, "mb_per_second": total / seconds / 1e6}


# ---- 8. memory per parked task --------------------------------------------------------

workload(Workload(
    "memory", "resident memory per task with n tasks parked on one event",
    100_000, "tasks",
    [Metric("bytes_per_task", "RSS per parked task ({n} tasks)", "bytes", 1.0)],
    warm_up=False, min_n=1000))


def memory_result(before: int, after: int, n: int) -> dict[str, float]:
    return {"bytes_per_task": (after - before) / n, "rss_delta": after - before}


@implements("memory", "velkor")
def memory_velkor(n: int, ctx: dict[str, Any]) -> dict[str, float]:
    import velkor

    async def main() -> dict[str, float]:
        event = velkor.Event()
        parked = 0

        async def waiter() -> None:
            nonlocal parked
            parked += 1
            await event.wait()

        gc.collect()
        before = resident_bytes()
        tasks = [velkor.spawn(waiter()) for _ in range(n)]
        while parked < n:
            await velkor.sleep(0.001)
        await velkor.sleep(0.001)
        after = resident_bytes()
        event.set()
        for task in tasks:
            await task
        return memory_result(before, after, n)

    return run_velkor(main)


@implements("memory", "asyncio", "uvloop")
def memory_asyncio(n: int, ctx: dict[str, Any]) -> dict[str, float]:
    async def main() -> dict[str, float]:
        event = asyncio.Event()
        parked = 0

        async def waiter() -> None:
            nonlocal parked
            parked += 1
            await event.wait()

        gc.collect()
        before = resident_bytes()
        tasks = [asyncio.create_task(waiter()) for _ in range(n)]
        while parked < n:
            await asyncio.sleep(0.001)
        await asyncio.sleep(0.001)
        after = resident_bytes()
        event.set()
        for task in tasks:
            await task
        return memory_result(before, after, n)

    return ASYNCIO_RUNNERS[ctx["runtime"]](main)


@implements("memory", "trio")
def memory_trio(n: int, ctx: dict[str, Any]) -> dict[str, float]:
    import trio

    async def main() -> dict[str, float]:
        event = trio.Event()
        parked = 0

        async def waiter() -> None:
            nonlocal parked
            parked += 1
            await event.wait()

        gc.collect()
        before = resident_bytes()
        async with trio.open_nursery() as nursery:
            for _ in range(n):
                nursery.start_soon(waiter)
            while parked < n:
                await trio.sleep(0.001)
            await trio.sleep(0.001)
            after = resident_bytes()
            event.set()
        return memory_result(before, after, n)

    return run_trio(main)


# ---- 9. echo servers under the C load generator ----------------------------------------
# Each measurement starts one server of servers.py in a process of its own and
# drives it with loadgen.c (netload.py); the load generator warms the server up
# first, then measures for n ms.

SERVER_CASES = ((1, 1024), (10, 1024), (100, 1024), (10, 64 << 10))


def server_unavailable(runtime: str) -> str | None:
    if runtime == "velkor":
        import servers
        return servers.velkor_missing()
    return None


def server_case(connections: int, size: int) -> None:
    name = f"server_{connections}x{size >> 10}k"
    label = f"server {connections} conn{'s' if connections > 1 else ''} x {size >> 10} KiB"
    workload(Workload(
        name, f"echo requests of {size >> 10} KiB on {connections} connection(s), each "
        "waiting for its whole echo before the next, for n ms", 2000, "ms of load",
        [Metric("rps", f"{label}: requests/s", "req/s", 1.0, higher_is_better=True),
         Metric("p50_us", f"{label}: p50 latency", "us", 1.0),
         Metric("p99_us", f"{label}: p99 latency", "us", 1.0)],
        warm_up=False, min_n=100, runtimes=SERVER_RUNTIMES, unavailable=server_unavailable,
        needs_loadgen=True))

    @implements(name, *SERVER_RUNTIMES)
    def serve(n: int, ctx: dict[str, Any]) -> dict[str, float]:
        import netload
        seconds = n / 1000
        with netload.ServerProcess(ctx["runtime"]) as server:
            report = netload.load(server.port, connections, size, seconds,
                                  warmup=min(0.5, seconds))
        return {key: report[key]
                for key in ("rps", "p50_us", "p99_us", "requests", "client_cpu")}


for _connections, _size in SERVER_CASES:
    server_case(_connections, _size)


# ---- 10. memory per idle connection ---------------------------------------------------

workload(Workload(
    "conn_memory", "resident memory of a server per connection, with n connections "
    "open and idle (each after one round trip)", 10_000, "connections",
    [Metric("bytes_per_conn", "RSS per idle connection ({n} conns)", "bytes", 1.0)],
    warm_up=False, min_n=100, runtimes=SERVER_RUNTIMES, unavailable=server_unavailable,
    needs_loadgen=True))


@implements("conn_memory", *SERVER_RUNTIMES)
def conn_memory(n: int, ctx: dict[str, Any]) -> dict[str, float]:
    import resource

    import netload
    # The server raises its soft limit to the hard one; it needs one descriptor
    # per connection, and a few of its own.
    hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
    if hard != resource.RLIM_INFINITY and hard < n + 100:
        raise RuntimeError(f"{n} connections need more descriptors than the limit of {hard}")
    with netload.ServerProcess(ctx["runtime"]) as server:
        # A first, smaller batch sets up whatever the server allocates once.
        with netload.Idle(server.port, min(n, 200)):
            pass
        before = netload.settled_rss(server.pid)
        with netload.Idle(server.port, n):
            after = netload.settled_rss(server.pid)
    return {"bytes_per_conn": (after - before) / n, "rss_delta": after - before}
