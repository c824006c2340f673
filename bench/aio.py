"""The same asyncio-API programs under asyncio's default loop, uvloop and
velkor.EventLoop.

    python3.14 bench/aio.py [--repeat N] [--scale F] [--only row,...] [--loops ...]
    python3.14 bench/aio.py --callgrind [--scale F] [--only row,...] [--loops ...]

Each measurement runs in a fresh process that imports one loop. Rows report
seconds (lower is better) or requests per second for the servers (higher is
better); the ratio columns say how many times better velkor did than the peer
(above 1: velkor ahead). The echo servers are loaded by `loadgen.c`, the load
generator every server benchmark shares (1 KiB messages), the aiohttp server by
`http_loadgen.c` (keep-alive GETs); both are built on first use with the system
C compiler: 50 connections, one request in flight on each.

`--callgrind` counts instructions instead of timing (the timed rows only):
each loop runs the row under valgrind's callgrind once with the row's size
and once with none, and the difference per operation is reported. Counts do
not depend on what else the machine runs.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import random
import socket
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
BUILD_DIR = Path(os.environ.get("VELKOR_BUILD_DIR", str(ROOT / "build" / "release")))
for _path in (str(ROOT), str(BUILD_DIR)):
    if _path not in sys.path:
        sys.path.insert(0, _path)
LOOPS = ("default", "uvloop", "velkor")
LOADGEN_CONNECTIONS = 50


def loop_factory(name):
    if name == "uvloop":
        import uvloop
        return uvloop.new_event_loop
    if name == "velkor":
        import velkor
        return velkor.new_event_loop
    return asyncio.new_event_loop


# ---- rows: each returns elapsed seconds -----------------------------------------

async def tasks(n):
    async def child(i):
        return i

    t0 = time.perf_counter()
    for t in [asyncio.create_task(child(i)) for i in range(n)]:
        await t
    return time.perf_counter() - t0


async def queue_ping_pong(n):
    ping, pong = asyncio.Queue(), asyncio.Queue()

    async def echo():
        for _ in range(n):
            pong.put_nowait(await ping.get())

    t0 = time.perf_counter()
    task = asyncio.create_task(echo())
    for i in range(n):
        ping.put_nowait(i)
        await pong.get()
    await task
    return time.perf_counter() - t0


async def sleeps(n):
    rng = random.Random(7)
    delays = [rng.random() * 0.01 for _ in range(n)]
    t0 = time.perf_counter()
    await asyncio.gather(*(asyncio.sleep(d) for d in delays))
    return time.perf_counter() - t0


async def call_soon(n):
    loop = asyncio.get_running_loop()
    done = loop.create_future()
    left = n

    def tick():
        nonlocal left
        left -= 1
        if left == 0:
            done.set_result(None)

    t0 = time.perf_counter()
    for _ in range(n):
        loop.call_soon(tick)
    await done
    return time.perf_counter() - t0


async def executor(n):
    loop = asyncio.get_running_loop()
    await loop.run_in_executor(None, int)  # the pool's threads exist before timing
    t0 = time.perf_counter()
    for _ in range(n):
        await loop.run_in_executor(None, int)
    return time.perf_counter() - t0


# ---- servers: requests per second under the load generator ----------------------

def http_loadgen_binary():
    binary = HERE / "results" / "http_loadgen"
    source = HERE / "http_loadgen.c"
    if not binary.exists() or binary.stat().st_mtime < source.stat().st_mtime:
        binary.parent.mkdir(exist_ok=True)
        subprocess.run(["cc", "-O2", "-o", str(binary), str(source)], check=True)
    return str(binary)


async def under_load(port, seconds, mode):
    """Requests per second the server in this process completes under load.
    Echo servers get the load generator every server benchmark shares (1 KiB
    messages), run from a worker thread so that this loop keeps serving;
    HTTP gets a keep-alive GET loop of its own."""
    if mode == "echo":
        import netload  # bench/, beside this file
        binary = await asyncio.to_thread(netload.build)
        report = await asyncio.to_thread(netload.load, port, LOADGEN_CONNECTIONS, 1024,
                                         seconds, 0.2, binary)
        return report["rps"]
    proc = await asyncio.create_subprocess_exec(
        http_loadgen_binary(), "127.0.0.1", str(port), str(LOADGEN_CONNECTIONS), str(seconds), mode,
        stdout=asyncio.subprocess.PIPE)
    out, _ = await proc.communicate()
    if proc.returncode != 0:
        raise RuntimeError("the load generator failed")
    return float(out)


class EchoProtocol(asyncio.Protocol):
    def connection_made(self, transport):
        self.transport = transport

    def data_received(self, data):
        self.transport.write(data)


async def protocol_echo(seconds):
    loop = asyncio.get_running_loop()
    server = await loop.create_server(EchoProtocol, "127.0.0.1", 0)
    async with server:
        return await under_load(server.sockets[0].getsockname()[1], seconds, "echo")


async def streams_echo(seconds):
    async def handle(reader, writer):
        while data := await reader.read(65536):
            writer.write(data)
            await writer.drain()
        writer.close()

    server = await asyncio.start_server(handle, "127.0.0.1", 0)
    async with server:
        return await under_load(server.sockets[0].getsockname()[1], seconds, "echo")


async def aiohttp_hello(seconds):
    from aiohttp import web

    async def hello(request):
        return web.Response(text="Hello, World!")

    app = web.Application()
    app.router.add_get("/", hello)
    runner = web.AppRunner(app, access_log=None)
    await runner.setup()
    site = web.TCPSite(runner, "127.0.0.1", 0)
    await site.start()
    try:
        return await under_load(site._server.sockets[0].getsockname()[1], seconds, "http")
    finally:
        await runner.cleanup()


# name: (function, size, unit)
ROWS = {
    "create_task": (tasks, 100_000, "s"),
    "queue_ping_pong": (queue_ping_pong, 100_000, "s"),
    "sleep": (sleeps, 100_000, "s"),
    "call_soon": (call_soon, 1_000_000, "s"),
    "run_in_executor": (executor, 10_000, "s"),
    "protocol_echo": (protocol_echo, 3, "req/s"),
    "streams_echo": (streams_echo, 3, "req/s"),
    "aiohttp_hello": (aiohttp_hello, 3, "req/s"),
}


def child(loop_name, row, scale):
    fn, size, unit = ROWS[row]
    if unit == "s":
        size = max(1, int(size * scale))
        asyncio.run(fn(max(1, size // 50)), loop_factory=loop_factory(loop_name))  # warm-up
    else:
        size = max(0.5, size * scale)  # seconds under load
    value = asyncio.run(fn(size), loop_factory=loop_factory(loop_name))
    print(json.dumps(value))


def count_child(loop_name, row, size):
    """The row's work `size` times (none when 0) after the loop's set-up."""
    fn = ROWS[row][0]
    work = fn(size) if size else asyncio.sleep(0)
    asyncio.run(work, loop_factory=loop_factory(loop_name))


def callgrind_total(loop_name, row, size):
    with tempfile.TemporaryDirectory() as tmp:
        out = Path(tmp) / "callgrind.out"
        subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
                        sys.executable, __file__, "--count-child", loop_name, row, str(size)],
                       check=True, capture_output=True, timeout=3600)
        for line in out.read_text().splitlines():
            if line.startswith(("summary:", "totals:")):
                return int(line.split()[1])
    raise RuntimeError("callgrind wrote no total")


def instructions_per_op(loop_name, row, scale):
    size = max(1, int(ROWS[row][1] * scale))
    return (callgrind_total(loop_name, row, size) - callgrind_total(loop_name, row, 0)) / size


def count_rows(loops, rows, scale):
    print("| row | " + " | ".join(loops) + " |  (instructions per operation)")
    print("|---" * (1 + len(loops)) + "|")
    for row in rows:
        if ROWS[row][2] != "s":
            continue  # the servers: bench/profile_server.py counts those
        cells = [f"{instructions_per_op(loop, row, scale):,.0f}" for loop in loops]
        print(f"| {row} | " + " | ".join(cells) + " |", flush=True)


def measure(loop_name, row, scale):
    env = dict(os.environ)
    out = subprocess.run([sys.executable, __file__, "--child", loop_name, row, "--scale", str(scale)],
                         env=env, capture_output=True, text=True, timeout=600)
    if out.returncode != 0:
        sys.stderr.write(out.stderr[-2000:])
        return None
    return json.loads(out.stdout.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--child", nargs=2)
    parser.add_argument("--count-child", nargs=3)
    parser.add_argument("--callgrind", action="store_true")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--scale", type=float, default=1.0)
    parser.add_argument("--only")
    parser.add_argument("--loops", default=",".join(LOOPS))
    args = parser.parse_args()
    if args.child:
        child(*args.child, args.scale)
        return 0
    if args.count_child:
        loop_name, row, size = args.count_child
        count_child(loop_name, row, int(size))
        return 0
    loops = args.loops.split(",")
    rows = args.only.split(",") if args.only else list(ROWS)
    if args.callgrind:
        count_rows(loops, rows, args.scale)
        return 0
    print(f"| row | unit | " + " | ".join(loops) + " | "
          + " | ".join(f"velkor vs {p}" for p in loops if p != "velkor") + " |")
    print("|---" * (2 + len(loops) + len(loops) - 1) + "|")
    for row in rows:
        unit = ROWS[row][2]
        samples = {loop: [] for loop in loops}
        for i in range(args.repeat):
            for loop in loops[i % len(loops):] + loops[:i % len(loops)]:
                value = measure(loop, row, args.scale)
                if value is not None:
                    samples[loop].append(value)
        med = {loop: statistics.median(v) if v else None for loop, v in samples.items()}
        cells = [fmt(med[loop], unit) for loop in loops]
        ratios = []
        for peer in loops:
            if peer == "velkor":
                continue
            if med.get("velkor") and med[peer]:
                r = med[peer] / med["velkor"] if unit == "s" else med["velkor"] / med[peer]
                ratios.append(f"{r:.2f}x")
            else:
                ratios.append("n/a")
        print(f"| {row} | {unit} | " + " | ".join(cells) + " | " + " | ".join(ratios) + " |",
              flush=True)
    return 0


def fmt(value, unit):
    if value is None:
        return "n/a"
    return f"{value:.4g}" if unit == "s" else f"{value:,.0f}"


if __name__ == "__main__":
    sys.exit(main())
