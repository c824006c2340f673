"""Instructions and mutex acquisitions per unit of work, counted by callgrind.

    ./dev shell python3.14 bench/engine_costs.py [--n N] [--only NAME,...]

Each workload runs twice under `valgrind --tool=callgrind`, with N and with
2N units; the difference of the two totals divided by N is the cost of one
unit, with the interpreter's start-up and the workload's set-up cancelled
out. Counts are deterministic enough to compare builds on a busy machine,
where wall-clock timings are not.

  yield       one task suspends for one trip through the loop (one wake and
              one loop iteration per unit)
  ping_pong   two tasks hand a token through two velkor Queues (two wakes
              and about one iteration per unit)
  call_soon   callbacks queued before the loop runs, then run by run_forever
  soon_chain  each callback queues the next from the loop thread (one
              iteration per unit)
  call_later  timers with delays in 0-1 ms, queued up front
  defer       a blocking call on a pool thread, which wakes the task from
              that thread
"""

from __future__ import annotations

import argparse
import os
import re
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD_DIR = os.environ.get("VELKOR_BUILD_DIR", os.path.join(ROOT, "build", "release"))

PRELUDE = f"""
import sys
sys.path[:0] = [{BUILD_DIR!r}, {ROOT!r}]
import _velkor, velkor
n = int(sys.argv[1])
"""

WORKLOADS = {
    "yield": """
async def main():
    for _ in range(n):
        await velkor.yield_now()
velkor.run(main())
""",
    "ping_pong": """
async def main():
    there, back = velkor.Queue(), velkor.Queue()
    async def pong():
        for _ in range(n):
            back.put_nowait(await there.get())
    task = velkor.spawn(pong())
    for i in range(n):
        there.put_nowait(i)
        await back.get()
    await task
velkor.run(main())
""",
    "call_soon": """
loop = _velkor.PyEventLoop()
cb = lambda: None
for _ in range(n):
    loop.call_soon(cb, ())
loop.call_soon(loop.stop, ())
loop.run_forever()
loop.close()
""",
    "soon_chain": """
loop = _velkor.PyEventLoop()
left = [n]
def cb():
    left[0] -= 1
    loop.call_soon(cb if left[0] else loop.stop, ())
loop.call_soon(cb, ())
loop.run_forever()
loop.close()
""",
    "call_later": """
import random
loop = _velkor.PyEventLoop()
rng = random.Random(1)
left = [n]
def cb():
    left[0] -= 1
    if not left[0]:
        loop.stop()
for _ in range(n):
    loop.call_later(rng.random() * 0.001, cb, ())
loop.run_forever()
loop.close()
""",
    "defer": """
f = lambda: None
async def main():
    for _ in range(n):
        await _velkor.defer(f)
_velkor.run(main())
""",
}


def mutex_locks(callgrind_out: str) -> int:
    """Calls of pthread_mutex_lock recorded in a callgrind output file."""
    names: dict[str, str] = {}
    callee = ""
    total = 0
    with open(callgrind_out) as f:
        for line in f:
            if line.startswith("cfn="):
                ref, _, name = line[4:].strip().partition(" ")
                if name:
                    names[ref] = name
                callee = names.get(ref, "")
            elif line.startswith("calls=") and "pthread_mutex_lock" in callee:
                total += int(line[6:].split()[0])
            elif line.startswith("fn="):
                ref, _, name = line[3:].strip().partition(" ")
                if name:
                    names[ref] = name
    return total


def instructions(script: str, n: int) -> tuple[int, int]:
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "work.py")
        with open(path, "w") as f:
            f.write(PRELUDE + script)
        out = os.path.join(tmp, "cg.out")
        # A fixed hash seed: dictionary layouts, and with them the counts,
        # then repeat from run to run.
        proc = subprocess.run(
            ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable,
             path, str(n)], capture_output=True, text=True,
            env={**os.environ, "PYTHONHASHSEED": "0"})
        if proc.returncode != 0:
            raise RuntimeError(proc.stderr[-2000:])
        with open(out) as f:
            match = re.search(r"^(?:summary|totals): (\d+)", f.read(), re.M)
        if not match:
            raise RuntimeError("callgrind wrote no totals")
        return int(match.group(1)), mutex_locks(out)


def warm_up(script: str) -> None:
    subprocess.run([sys.executable, "-c", PRELUDE + script, "1"], check=True)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--n", type=int, default=20_000)
    ap.add_argument("--only", default="", help="comma-separated workload names")
    args = ap.parse_args()
    names = [w for w in args.only.split(",") if w] or list(WORKLOADS)
    for name in names:
        # A plain run first, so that neither counted run compiles bytecode.
        warm_up(WORKLOADS[name])
        small, small_locks = instructions(WORKLOADS[name], args.n)
        large, large_locks = instructions(WORKLOADS[name], 2 * args.n)
        print(f"{name:12s} {(large - small) / args.n:10.0f} instructions "
              f"{(large_locks - small_locks) / args.n:6.2f} mutex locks per unit", flush=True)


if __name__ == "__main__":
    main()
