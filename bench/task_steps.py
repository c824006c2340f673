"""What one step of a velkor task costs, beside asyncio in the same process.

    ./dev shell python3.14 bench/task_steps.py [--quick]
    ./dev shell python3.14 bench/task_steps.py --callgrind

`--callgrind` counts instructions instead of time: each velkor workload runs
in a child under `valgrind --tool=callgrind` at two sizes, and the
difference of the two totals divided by the difference of the sizes is the
count per unit of work (start-up, imports and the run's set-up cancel out).

Measured (each the median of several samples, per unit of work), as CPU
time of the loop's thread (`time.thread_time`), which other processes on a
busy machine disturb far less than wall time:
- yield_now: one task suspends N times for one trip through the loop;
  time per step (asyncio: `await asyncio.sleep(0)`).
- bare yield: as yield_now, but both suspend with `await asyncio.sleep(0)`,
  a bare yield, which a velkor task also turns into one trip.
- spawn + await: N trivial tasks spawned, then each awaited; time per
  task (each runs one step; asyncio: create_task).
- ctx var set: as yield_now, but each step also sets a context variable, so
  that the cost of switching contexts around a step that writes is included.
"""

import argparse
import asyncio
import contextvars
import gc
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
BUILD_DIR = os.environ.get("VELKOR_BUILD_DIR", str(ROOT / "build" / "release"))
for path in (BUILD_DIR, str(ROOT)):
    if path not in sys.path:
        sys.path.insert(0, path)

import velkor  # noqa: E402

VAR = contextvars.ContextVar("bench_var", default=0)


def yield_steps(rt, n):
    run, suspend = rt

    async def main():
        started = time.thread_time()
        for _ in range(n):
            await suspend()
        return time.thread_time() - started

    return run(main()) / n


def bare_yield_steps(rt, n):
    run, _ = rt

    async def main():
        started = time.thread_time()
        for _ in range(n):
            await asyncio.sleep(0)
        return time.thread_time() - started

    return run(main()) / n


def var_steps(rt, n):
    run, suspend = rt

    async def main():
        started = time.thread_time()
        for i in range(n):
            VAR.set(i)
            await suspend()
        return time.thread_time() - started

    return run(main()) / n


async def trivial():
    return None


def spawns(rt, n):
    run, _ = rt
    spawn = velkor.spawn if run is velkor.run else asyncio.create_task

    async def main():
        started = time.thread_time()
        tasks = [spawn(trivial()) for _ in range(n)]
        for task in tasks:
            await task
        return time.thread_time() - started

    return run(main()) / n


def asyncio_yield():
    return asyncio.sleep(0)


RUNTIMES = {
    "velkor": (velkor.run, velkor.yield_now),
    "asyncio": (asyncio.run, asyncio_yield),
}


CALLGRIND_ROWS = {
    "yield_now": ("yield_now, per step", yield_steps),
    "spawn": ("spawn + await, per task", spawns),
}
CALLGRIND_SIZES = (2_000, 6_000)


def callgrind_total(name, n):
    """Instructions callgrind counts for a child that runs workload `name` once at size `n`."""
    with tempfile.TemporaryDirectory() as tmp:
        out = Path(tmp) / "callgrind.out"
        subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
                        sys.executable, __file__, "--measure", name, "--n", str(n)],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for line in out.read_text().splitlines():
            if line.startswith(("summary:", "totals:")):
                return int(line.split()[1])
    raise RuntimeError("callgrind wrote no totals")


def callgrind_rows():
    small, large = CALLGRIND_SIZES
    print(f"instructions per unit (callgrind, velkor; sizes {small} and {large})")
    for name, (label, _) in CALLGRIND_ROWS.items():
        per_unit = (callgrind_total(name, large) - callgrind_total(name, small)) / (large - small)
        print(f"{label:<32}  {per_unit:10,.0f}")


def median_of(samples, measure):
    values = []
    for _ in range(samples):
        gc.collect()
        values.append(measure())
    return statistics.median(values)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="smaller sizes (a smoke run)")
    parser.add_argument("--callgrind", action="store_true", help="count instructions instead")
    parser.add_argument("--measure", choices=sorted(CALLGRIND_ROWS), help=argparse.SUPPRESS)
    parser.add_argument("--n", type=int, default=1000, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.measure:  # a child of --callgrind
        CALLGRIND_ROWS[args.measure][1](RUNTIMES["velkor"], args.n)
        return 0
    if args.callgrind:
        callgrind_rows()
        return 0
    samples = 3 if args.quick else 7
    n = 5_000 if args.quick else 100_000
    print(f"Python {platform.python_version()} on {platform.machine()}, "
          f"{os.cpu_count()} CPUs; n={n}, median of {samples} samples")
    rows = [("yield_now, per step", yield_steps),
            ("bare yield, per step", bare_yield_steps),
            ("ctx var set + yield, per step", var_steps),
            ("spawn + await, per task", spawns)]
    print(f"{'':<32}  {'velkor':>10}  {'asyncio':>10}  {'ratio':>7}")
    for label, measure in rows:
        ours = median_of(samples, lambda: measure(RUNTIMES["velkor"], n))
        theirs = median_of(samples, lambda: measure(RUNTIMES["asyncio"], n))
        print(f"{label:<32}  {ours * 1e6:7.2f} us  {theirs * 1e6:7.2f} us  {theirs / ours:6.2f}x")
    print("ratio: asyncio time / velkor time (above 1: velkor is faster)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
