"""How long another Python thread waits for the interpreter lock while a loop
object runs one batch of C-level callbacks, and what the batch costs.

    ./dev shell python3.14 bench/lock_wait.py [--callbacks N] [--repeat R]

A loop object gets N `call_soon` callbacks of a builtin (`int`, no Python
frame, so the eval loop never offers the lock to other threads), then runs
them in one iteration. Meanwhile a second thread spins on `perf_counter()`:
the longest gap between two of its readings, while the batch runs, is the
worst time it waited for the lock. Printed per run: that worst wait and the
batch's wall time with the spinning thread (which takes its share of the
lock), then the batch's wall time alone (the cost of letting go of the lock
now and then). Scheduling is not timed. For reference, the same worst wait
while the main thread makes the same calls in a plain Python loop, where the
interpreter's eval loop hands the lock over by itself.
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD_DIR = os.environ.get("VELKOR_BUILD_DIR", os.path.join(ROOT, "build", "release"))
sys.path[:0] = [BUILD_DIR, ROOT]

import _velkor  # noqa: E402


class GapWatcher(threading.Thread):
    """Records the longest gap between consecutive clock readings."""

    def __init__(self) -> None:
        super().__init__(daemon=True)
        self.running = threading.Event()
        self.stop = False
        self.worst = 0.0

    def run(self) -> None:
        clock = time.perf_counter
        last = clock()
        self.running.set()
        while not self.stop:
            now = clock()
            if now - last > self.worst:
                self.worst = now - last
            last = now


def batch_alone(n: int) -> float:
    loop = _velkor.PyEventLoop()
    for _ in range(n):
        loop.call_soon(int, ())
    loop.call_soon(loop.stop, ())
    start = time.perf_counter()
    loop.run_forever()
    elapsed = time.perf_counter() - start
    loop.close()
    return elapsed


def watched(work) -> tuple[float, float]:
    """(worst gap of a spinning thread, wall time) while `work()` runs."""
    watcher = GapWatcher()
    watcher.start()
    watcher.running.wait()
    time.sleep(0.02)  # the watcher's own start-up gaps are behind it
    watcher.worst = 0.0
    start = time.perf_counter()
    work()
    elapsed = time.perf_counter() - start
    watcher.stop = True
    watcher.join()
    return watcher.worst, elapsed


def one_batch(n: int) -> tuple[float, float]:
    loop = _velkor.PyEventLoop()
    for _ in range(n):
        loop.call_soon(int, ())
    loop.call_soon(loop.stop, ())
    result = watched(loop.run_forever)
    loop.close()
    return result


def plain_loop(n: int) -> tuple[float, float]:
    def work() -> None:
        for _ in range(n):
            int()

    return watched(work)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--callbacks", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    print(f"switch interval {sys.getswitchinterval() * 1e3:.1f} ms, "
          f"{args.callbacks} callbacks per batch")
    waits, times, alone = [], [], []
    for _ in range(args.repeat):
        worst, elapsed = one_batch(args.callbacks)
        waits.append(worst)
        times.append(elapsed)
        alone.append(batch_alone(args.callbacks))
        print(f"  worst wait {worst * 1e3:8.2f} ms   batch {elapsed * 1e3:8.1f} ms"
              f"   batch alone {alone[-1] * 1e3:8.1f} ms")
    print(f"median: worst wait {statistics.median(waits) * 1e3:.2f} ms (max {max(waits) * 1e3:.2f}),"
          f" batch {statistics.median(times) * 1e3:.1f} ms,"
          f" batch alone {statistics.median(alone) * 1e3:.1f} ms")
    plain = [plain_loop(args.callbacks)[0] for _ in range(args.repeat)]
    print(f"plain Python loop of the same calls: worst wait {statistics.median(plain) * 1e3:.2f} ms"
          f" (max {max(plain) * 1e3:.2f})")


if __name__ == "__main__":
    main()
