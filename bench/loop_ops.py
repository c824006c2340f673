"""Loop-object throughput beside asyncio's and uvloop's loops, in one run.

  call_soon   N callbacks scheduled up front, then the loop runs them all
  call_later  N timers with random delays in [0, 10 ms), the loop runs until the last
  defer       N blocking-call round trips (defer / asyncio.to_thread), one at a time

Usage: python3.14 bench/loop_ops.py [--quick] [--repeat R]
"""

from __future__ import annotations

import argparse
import asyncio
import os
import random
import statistics
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:0] = [os.path.join(ROOT, "build", "release"), ROOT]

import _velkor  # noqa: E402

try:
    import uvloop
except ImportError:  # pragma: no cover - the environment ships it
    uvloop = None


def velkor_call_soon(n: int) -> float:
    loop = _velkor.PyEventLoop()
    count = [0]

    def cb():
        count[0] += 1

    start = time.perf_counter()
    for _ in range(n):
        loop.call_soon(cb, ())
    loop.call_soon(loop.stop, ())
    loop.run_forever()
    elapsed = time.perf_counter() - start
    loop.close()
    assert count[0] == n
    return elapsed


def asyncio_call_soon(factory, n: int) -> float:
    loop = factory()
    count = [0]

    def cb():
        count[0] += 1

    start = time.perf_counter()
    for _ in range(n):
        loop.call_soon(cb)
    loop.call_soon(loop.stop)
    loop.run_forever()
    elapsed = time.perf_counter() - start
    loop.close()
    assert count[0] == n
    return elapsed


def delays(n: int) -> list[float]:
    rng = random.Random(42)
    return [rng.random() * 0.01 for _ in range(n)]


def velkor_call_later(n: int) -> float:
    loop = _velkor.PyEventLoop()
    remaining = [n]

    def cb():
        remaining[0] -= 1
        if remaining[0] == 0:
            loop.stop()

    start = time.perf_counter()
    for d in delays(n):
        loop.call_later(d, cb, ())
    loop.run_forever()
    elapsed = time.perf_counter() - start
    loop.close()
    return elapsed


def asyncio_call_later(factory, n: int) -> float:
    loop = factory()
    remaining = [n]

    def cb():
        remaining[0] -= 1
        if remaining[0] == 0:
            loop.stop()

    start = time.perf_counter()
    for d in delays(n):
        loop.call_later(d, cb)
    loop.run_forever()
    elapsed = time.perf_counter() - start
    loop.close()
    return elapsed


def blocking(x: int) -> int:
    return x + 1


def velkor_defer(n: int) -> float:
    async def main():
        total = 0
        for i in range(n):
            total += await _velkor.defer(blocking, i)
        return total

    start = time.perf_counter()
    _velkor.run(main())
    return time.perf_counter() - start


def asyncio_defer(factory, n: int) -> float:
    async def main():
        for i in range(n):
            await asyncio.to_thread(blocking, i)

    loop = factory()
    start = time.perf_counter()
    loop.run_until_complete(main())
    elapsed = time.perf_counter() - start
    loop.close()
    return elapsed


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    scale = 0.05 if args.quick else 1.0
    sizes = {"call_soon": int(1_000_000 * scale), "call_later": int(100_000 * scale),
             "defer": int(10_000 * scale)}
    runtimes = {"velkor": None, "asyncio": asyncio.new_event_loop}
    if uvloop:
        runtimes["uvloop"] = uvloop.new_event_loop
    bench = {
        "call_soon": (velkor_call_soon, asyncio_call_soon),
        "call_later": (velkor_call_later, asyncio_call_later),
        "defer": (velkor_defer, asyncio_defer),
    }
    print(f"{'workload':<12}{'n':>10}  " + "".join(f"{name:>16}" for name in runtimes)
          + "   (median s, spread)")
    for workload, (ours, theirs) in bench.items():
        n = sizes[workload]
        samples: dict[str, list[float]] = {name: [] for name in runtimes}
        for _ in range(args.repeat):  # alternate the runtimes within one run
            for name, factory in runtimes.items():
                samples[name].append(ours(n) if factory is None else theirs(factory, n))
        cells = []
        for name in runtimes:
            med = statistics.median(samples[name])
            spread = max(samples[name]) - min(samples[name])
            cells.append(f"{med:9.3f}±{spread:5.3f}")
        print(f"{workload:<12}{n:>10}  " + "".join(f"{c:>16}" for c in cells))


if __name__ == "__main__":
    main()
