"""Where an echo server of servers.py spends its time under the load generator.

    ./dev shell python3.14 bench/profile_server.py velkor [--tool callgrind]
        [--connections 10] [--size 1024] [--requests 20000]

Runs the server under a profiler, loads it with a fixed number of echo
requests from loadgen.c, stops it and prints the top of the profile:

  --tool cprofile   Python functions (deterministic profiling inflates the cost
                    of every Python call, so compare servers by their shape,
                    not their totals)
  --tool callgrind  native functions by instructions executed, including those
                    of the extension module and the interpreter (slow: keep
                    --requests in the thousands); counting covers the measured
                    echoes only (from after the server's start-up and a warm-up
                    of 500 echoes until the load ends, not the shutdown), and
                    the total is also printed per echo
"""

from __future__ import annotations

import argparse
import os
import pstats
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import netload  # noqa: E402
import servers  # noqa: E402


def profiled_command(tool: str, kind: str, out: Path) -> list[str]:
    script = [str(HERE / "servers.py"), kind]
    if tool == "cprofile":
        # -P: the working directory (a checkout with its own package) stays off sys.path.
        return [sys.executable, "-P", "-m", "cProfile", "-o", str(out), *script]
    return ["valgrind", "--tool=callgrind", "--instr-atstart=no",
            f"--callgrind-out-file={out}", sys.executable, *script]


def run(args: argparse.Namespace, out: Path) -> dict[str, float]:
    binary = netload.build()
    with netload.ServerProcess(args.kind, profiled_command(args.tool, args.kind, out)) as server:
        if args.tool == "callgrind":
            # Imports and first-use set-up would otherwise dominate the count.
            netload.load(server.port, args.connections, args.size, 0, 0, binary=binary,
                         requests=500)
            subprocess.run(["callgrind_control", "--instr=on", str(server.pid)], check=True,
                           stdout=subprocess.DEVNULL)
        result = netload.load(server.port, args.connections, args.size, 0, 0, binary=binary,
                              requests=args.requests)
        if args.tool == "callgrind":
            subprocess.run(["callgrind_control", "--instr=off", str(server.pid)], check=True,
                           stdout=subprocess.DEVNULL)
        return result


def report(tool: str, out: Path, top: int, requests: int) -> None:
    if tool == "cprofile":
        pstats.Stats(str(out)).sort_stats("tottime").print_stats(top)
        return
    text = subprocess.run(["callgrind_annotate", "--inclusive=no", str(out)], check=True,
                          stdout=subprocess.PIPE, text=True).stdout
    print(text)
    total = next(int(line.split()[0].replace(",", "")) for line in text.splitlines()
                 if line.endswith("PROGRAM TOTALS"))
    print(f"{total:,} instructions for {requests} echoes: {total / requests:,.0f} per echo")


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("kind", choices=list(servers.SERVERS))
    ap.add_argument("--tool", choices=("cprofile", "callgrind"), default="cprofile")
    ap.add_argument("--connections", type=int, default=10)
    ap.add_argument("--size", type=int, default=1024)
    ap.add_argument("--requests", type=int, default=20000)
    ap.add_argument("--top", type=int, default=25)
    ap.add_argument("--keep", type=Path, help="also copy the raw profile to this file")
    args = ap.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        out = Path(tmp) / "profile.out"
        result = run(args, out)
        print(f"{args.kind}: {result['requests']} echoes, {result['rps']:,.0f} requests/s "
              f"under the profiler", flush=True)
        report(args.tool, out, args.top, int(result["requests"]))
        if args.keep:
            shutil.copyfile(out, args.keep)
    return 0


if __name__ == "__main__":
    os.environ.pop("LD_PRELOAD", None)
    sys.exit(main())
