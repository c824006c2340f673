"""Driving the server workloads: the C load generator (loadgen.c) and the echo
servers of servers.py, each in a process of its own.

`build()` compiles the load generator with the environment's C compiler when
the binary is missing or older than its source; `load()` runs it once against
a port; `ServerProcess` starts one server of servers.py and stops it; `Idle`
holds connections open for the memory workload.
"""

from __future__ import annotations

import json
import os
import select
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import IO, Any

HERE = Path(__file__).resolve().parent
SOURCE = HERE / "loadgen.c"
BINARY = HERE.parent / "build" / "bench" / "loadgen"
CFLAGS = ["-O2", "-std=c11", "-Wall", "-Wextra"]


def compiler() -> str:
    for name in (os.environ.get("CC"), "cc", "gcc"):
        if name and shutil.which(name):
            return name
    raise RuntimeError("no C compiler (cc or gcc) to build the load generator")


def build(binary: Path = BINARY, extra_flags: tuple[str, ...] = ()) -> Path:
    """The load generator's path, compiled first if it is missing or stale."""
    if binary.exists() and binary.stat().st_mtime >= SOURCE.stat().st_mtime and not extra_flags:
        return binary
    binary.parent.mkdir(parents=True, exist_ok=True)
    # Compiled beside its final name and renamed: a concurrent run never sees half a file.
    partial = binary.with_name(binary.name + f".{os.getpid()}.tmp")
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    done = subprocess.run([compiler(), *CFLAGS, *extra_flags, "-o", str(partial), str(SOURCE)],
                          capture_output=True, text=True, env=env)
    if done.returncode != 0:
        partial.unlink(missing_ok=True)
        raise RuntimeError(f"building the load generator failed:\n{done.stderr[-3000:]}")
    partial.replace(binary)
    return binary


def clean_env() -> dict[str, str]:
    return {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}


def load(port: int, connections: int, size: int, seconds: float, warmup: float,
         binary: Path = BINARY, requests: int | None = None) -> dict[str, float]:
    """One run of the load generator for `seconds` after `warmup` (or until
    `requests` echoes): its JSON report (requests, seconds, rps, p50_us,
    p99_us, max_us)."""
    args = [str(binary), "--port", str(port), "--connections", str(connections),
            "--size", str(size), "--warmup", f"{warmup:g}"]
    args += ["--requests", str(requests)] if requests else ["--duration", f"{seconds:g}"]
    limit = warmup + seconds + 60
    done = subprocess.run(args, capture_output=True, text=True, timeout=limit, env=clean_env())
    if done.returncode != 0:
        raise RuntimeError(f"load generator: {done.stderr.strip()[-2000:]}")
    report = json.loads(done.stdout.strip().splitlines()[-1])
    if report["requests"] <= 0:
        raise RuntimeError("load generator: no echo completed in the measured time")
    return report


def read_line(stream: IO[str], timeout: float, what: str) -> str:
    ready, _, _ = select.select([stream], [], [], timeout)
    if not ready:
        raise RuntimeError(f"{what}: nothing within {timeout:.0f} s")
    return stream.readline()


class ServerProcess:
    """One echo server of servers.py, in a process of its own; stopped by closing
    its standard input. Its stderr goes to a file, shown when it fails."""

    def __init__(self, kind: str, command: list[str] | None = None) -> None:
        self.kind = kind
        # Another command line serving the same kind: a profiler's, for instance.
        self.command = command or [sys.executable, str(HERE / "servers.py"), kind]

    def __enter__(self) -> ServerProcess:
        self.log = tempfile.TemporaryFile(mode="w+")
        self.process = subprocess.Popen(
            self.command, stdin=subprocess.PIPE,
            stdout=subprocess.PIPE, stderr=self.log, text=True, env=clean_env())
        assert self.process.stdout is not None
        try:
            line = read_line(self.process.stdout, 30, f"{self.kind} server start")
            if not line.strip().isdigit():
                raise RuntimeError(f"{self.kind} server did not start: {self.stderr_tail()}")
        except BaseException:
            self.stop()
            raise
        self.port = int(line)
        self.pid = self.process.pid
        return self

    def stderr_tail(self) -> str:
        self.log.seek(0)
        return "\n".join(self.log.read().strip().splitlines()[-8:])

    def stop(self) -> int:
        try:
            self.process.communicate(timeout=60)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.communicate()
        return self.process.returncode

    def __exit__(self, exc_type: Any, *rest: object) -> None:
        status = self.stop()
        tail = self.stderr_tail()
        self.log.close()
        if exc_type is None and status != 0:
            raise RuntimeError(f"{self.kind} server exited with status {status}: {tail}")

    def alive(self) -> bool:
        return self.process.poll() is None


class Idle:
    """The load generator holding `count` connections open, each after one round
    trip, until the block ends."""

    def __init__(self, port: int, count: int, binary: Path = BINARY, size: int = 64) -> None:
        self.args = [str(binary), "--port", str(port), "--idle", str(count), "--size", str(size)]

    def __enter__(self) -> Idle:
        self.process = subprocess.Popen(self.args, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, text=True, env=clean_env())
        assert self.process.stdout is not None
        line = read_line(self.process.stdout, 120, "idle connections")
        if not line.strip():
            _, err = self.process.communicate(timeout=30)
            raise RuntimeError(f"load generator: {err.strip()[-2000:]}")
        self.report = json.loads(line)
        return self

    def __exit__(self, *exc: object) -> None:
        _, err = self.process.communicate(timeout=60)
        if self.process.returncode != 0 and exc[0] is None:
            raise RuntimeError(f"load generator: {err.strip()[-2000:]}")


def resident_bytes(pid: int) -> int:
    """VmRSS of process `pid`."""
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError(f"no VmRSS for process {pid}")


def settled_rss(pid: int, pause: float = 0.2) -> int:
    """The RSS once it has stopped moving (handlers still parking, garbage freed)."""
    last = resident_bytes(pid)
    for _ in range(20):
        time.sleep(pause)
        now = resident_bytes(pid)
        if abs(now - last) < 64 << 10:
            return now
        last = now
    return last
