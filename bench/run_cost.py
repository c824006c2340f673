"""What one run() and one short sleep cost, beside asyncio in the same process.

    ./dev shell python3.14 bench/run_cost.py [--quick]

Measured (each the median of several samples):
- run(coro()) of a coroutine that returns at once: wall time per call,
  against asyncio.run(coro()); the same for the package's velkor.run().
- one `await sleep(0.001)` inside a running loop: wall time per await and
  overshoot past the millisecond, against asyncio.sleep(0.001).
- run(coro()) of a coroutine that sleeps 1 ms once: the whole call,
  against asyncio.run().
"""

import argparse
import asyncio
import gc
import os
import platform
import statistics
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
BUILD_DIR = os.environ.get("VELKOR_BUILD_DIR", str(ROOT / "build" / "release"))
for path in (str(ROOT), BUILD_DIR):
    if path not in sys.path:
        sys.path.insert(0, path)

import _velkor  # noqa: E402
import velkor  # noqa: E402

SLEEP = 0.001


async def empty():
    return None


async def one_sleep_velkor():
    await _velkor.sleep(SLEEP)


async def one_sleep_asyncio():
    await asyncio.sleep(SLEEP)


def per_call(run, factory, calls):
    """Seconds per call of run(factory()), over `calls` calls."""
    gc.collect()
    started = time.perf_counter()
    for _ in range(calls):
        run(factory())
    return (time.perf_counter() - started) / calls


def await_times(run, sleep, awaits):
    """Seconds taken by each of `awaits` consecutive awaits of sleep(SLEEP)."""
    async def body():
        times = []
        for _ in range(awaits):
            started = time.perf_counter()
            await sleep(SLEEP)
            times.append(time.perf_counter() - started)
        return times

    gc.collect()
    return run(body())


def median_of(samples, measure):
    return statistics.median(measure() for _ in range(samples))


def fmt_us(seconds):
    return f"{seconds * 1e6:9.1f} us"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer calls (a smoke run)")
    args = parser.parse_args()
    samples = 3 if args.quick else 7
    run_calls = 200 if args.quick else 2000
    asyncio_run_calls = 50 if args.quick else 300
    awaits = 50 if args.quick else 300
    sleep_runs = 50 if args.quick else 300

    print(f"Python {platform.python_version()} on {platform.machine()}, "
          f"{os.cpu_count()} CPUs; median of {samples} samples")
    rows = []

    # run() of an empty coroutine.
    rows.append(("run(empty coroutine), per call",
                 median_of(samples, lambda: per_call(_velkor.run, empty, run_calls)),
                 median_of(samples, lambda: per_call(asyncio.run, empty, asyncio_run_calls))))

    # The package's run(), which makes an asyncio-compatible loop per call.
    rows.append(("velkor.run(empty coroutine), per call",
                 median_of(samples, lambda: per_call(velkor.run, empty, asyncio_run_calls)),
                 median_of(samples, lambda: per_call(asyncio.run, empty, asyncio_run_calls))))

    # One await of a 1 ms sleep inside a running loop.
    def median_await(run, sleep):
        return median_of(samples, lambda: statistics.median(await_times(run, sleep, awaits)))

    velkor_await = median_await(_velkor.run, _velkor.sleep)
    asyncio_await = median_await(asyncio.run, asyncio.sleep)
    rows.append(("await sleep(0.001), wall time", velkor_await, asyncio_await))
    rows.append(("await sleep(0.001), overshoot", velkor_await - SLEEP, asyncio_await - SLEEP))

    # A whole run() whose coroutine sleeps 1 ms once.
    rows.append(("run(coroutine sleeping 1 ms once)",
                 median_of(samples, lambda: per_call(_velkor.run, one_sleep_velkor, sleep_runs)),
                 median_of(samples, lambda: per_call(asyncio.run, one_sleep_asyncio, sleep_runs))))

    width = max(len(r[0]) for r in rows)
    print(f"{'':<{width}}  {'velkor':>12}  {'asyncio':>12}  {'ratio':>7}")
    for label, ours, theirs in rows:
        ratio = f"{theirs / ours:6.1f}x" if ours > 0 else "      -"
        print(f"{label:<{width}}  {fmt_us(ours)}  {fmt_us(theirs)}  {ratio}")
    print("ratio: asyncio time / velkor time (above 1: velkor is faster)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
