"""Runs modules of CPython's asyncio test suite under several event loops.

    python3.14 tools/asyncio_suite.py [--loops default,uvloop,velkor]
                                      [--modules test_tasks,...] [--fast]
                                      [--jobs N] [--stall S] [--failures FILE]

Each (module, loop) pair runs in a process of its own, with the chosen loop
installed as what `asyncio.new_event_loop()`, `asyncio.EventLoop` and
`asyncio.SelectorEventLoop` return. The table gives per module how many tests
passed under each loop; `--failures` writes every test that failed under
velkor but passed under the default loop, with the first line of its error.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import json
import os
import queue
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

MODULES = [
    "test_tasks", "test_futures2", "test_locks", "test_queues", "test_timeouts",
    "test_taskgroups", "test_waitfor", "test_runners", "test_context", "test_streams",
    "test_server", "test_sock_lowlevel", "test_events", "test_staggered", "test_threads",
    "test_eager_task_factory", "test_sendfile", "test_ssl", "test_subprocess",
    "test_buffered_proto",
]
# Quick modules for CI: scheduling, tasks, timeouts and sockets.
FAST_MODULES = [
    "test_futures2", "test_locks", "test_queues", "test_timeouts", "test_taskgroups",
    "test_waitfor", "test_runners", "test_context", "test_staggered",
    "test_buffered_proto", "test_sock_lowlevel",
]
LOOPS = ["default", "uvloop", "velkor"]


# ---- child: one module under one loop -------------------------------------------

def loop_class(name):
    import asyncio
    if name == "default":
        return None
    if name == "uvloop":
        import uvloop
        base = uvloop.Loop
    else:
        import velkor.event_loop
        base = velkor.event_loop.EventLoop

    class SuiteLoop(base):
        # The suite passes a selector to SelectorEventLoop; the loop polls itself.
        def __init__(self, selector=None):
            super().__init__()

    if name == "uvloop":
        # The suite's TestCase.close_loop reads this private attribute of
        # asyncio's loops; uvloop keeps its executor elsewhere and shuts it
        # down in close(). Without it nearly every test of a module errors.
        SuiteLoop._default_executor = None
    SuiteLoop.__name__ = SuiteLoop.__qualname__ = base.__name__
    return SuiteLoop


def install(name):
    import asyncio
    import asyncio.unix_events
    cls = loop_class(name)
    if cls is None:
        return
    asyncio.unix_events._DefaultEventLoopPolicy._loop_factory = cls
    asyncio.SelectorEventLoop = asyncio.EventLoop = cls
    asyncio.unix_events.SelectorEventLoop = asyncio.unix_events.EventLoop = cls


def flatten(suite):
    for item in suite:
        if isinstance(item, __import__("unittest").TestSuite):
            yield from flatten(item)
        else:
            yield item


def run_child(loop, module, skip):
    import signal
    import unittest
    # Started in the background, a process inherits SIGINT ignored, and the
    # suite's Ctrl-C tests would wait forever: give it Python's usual handler.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    install(loop)
    mod = __import__(f"test.test_asyncio.{module}", fromlist=["*"])
    tests = unittest.defaultTestLoader.loadTestsFromModule(mod)
    suite = unittest.TestSuite(t for t in flatten(tests) if t.id() not in skip)
    out = sys.__stdout__

    def emit(test, outcome, err=None):
        line = {"test": test.id(), "outcome": outcome}
        if err is not None:
            line["error"] = err
        out.write("@@" + json.dumps(line) + "\n")
        out.flush()

    class Result(unittest.TestResult):
        def startTest(self, test):
            super().startTest(test)
            out.write("@@" + json.dumps({"start": test.id()}) + "\n")
            out.flush()

        def addSuccess(self, test):
            super().addSuccess(test)
            emit(test, "pass")

        def addFailure(self, test, err):
            super().addFailure(test, err)
            emit(test, "fail", first_error_line(err))

        def addError(self, test, err):
            super().addError(test, err)
            emit(test, "error", first_error_line(err))

        def addSkip(self, test, reason):
            super().addSkip(test, reason)
            emit(test, "skip", reason)

        def addExpectedFailure(self, test, err):
            super().addExpectedFailure(test, err)
            emit(test, "pass")

        def addUnexpectedSuccess(self, test):
            super().addUnexpectedSuccess(test)
            emit(test, "fail", "unexpected success")

        def addSubTest(self, test, subtest, err):
            super().addSubTest(test, subtest, err)
            if err is not None:
                emit(subtest, "fail", first_error_line(err))

    suite.run(Result())


def first_error_line(err):
    exc_type, exc, _ = err
    text = f"{exc_type.__name__}: {exc}".strip().splitlines()
    return text[0][:200] if text else exc_type.__name__


# ---- parent: run, collect, tabulate ---------------------------------------------

def run_one(loop, module, stall):
    """Runs the module; a test without progress for `stall` seconds, or one that
    kills its process, is recorded and the rest run in a fresh process."""
    outcomes, started, status = {}, time.monotonic(), "ok"
    while True:
        ended, current = run_child_process(loop, module, stall, outcomes)
        if ended == "done" and current is None:
            break
        status = ended
        outcomes[current or "<module>"] = ("error", f"{ended}: no outcome")
        if current is None:
            break
    return {"outcomes": outcomes, "status": status, "seconds": time.monotonic() - started}


def run_child_process(loop, module, stall, outcomes):
    env = dict(os.environ)
    here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    paths = [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p] + [here]
    env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(p) for p in paths)  # cwd changes
    with tempfile.NamedTemporaryFile("w", suffix=".skip", delete=False) as f:
        f.write("\n".join(outcomes))
    cmd = [sys.executable, os.path.abspath(__file__), "--child", loop, module, "--skip", f.name]
    # The suite leaves scratch files in its working directory: give it its own.
    workdir = tempfile.mkdtemp(prefix="asyncio-suite-")
    proc = subprocess.Popen(cmd, env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                            text=True, start_new_session=True, cwd=workdir)
    lines = queue.Queue()
    threading.Thread(target=lambda: ([lines.put(x) for x in proc.stdout], lines.put(None)),
                     daemon=True).start()
    current = None
    try:
        while True:
            try:
                line = lines.get(timeout=stall)
            except queue.Empty:
                os.killpg(proc.pid, signal.SIGKILL)
                proc.wait()
                return "hung", current
            if line is None:
                break
            if not line.startswith("@@"):
                continue
            record = json.loads(line[2:])
            if "start" in record:
                current = record["start"]
                continue
            test = record["test"]
            if record["outcome"] != "pass" or outcomes.get(test, ("pass",))[0] == "pass":
                outcomes[test] = (record["outcome"], record.get("error", ""))
            if test == current:
                current = None
        code = proc.wait()
        if code != 0 and current is None:
            current = "<module>" if not outcomes else None
        return ("done" if code == 0 else f"exit {code}"), current
    finally:
        os.unlink(f.name)
        shutil.rmtree(workdir, ignore_errors=True)


def count(result, outcome):
    return sum(1 for o, _ in result["outcomes"].values() if o == outcome)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--child", nargs=2, metavar=("LOOP", "MODULE"))
    parser.add_argument("--skip", help="a file of test ids the child leaves out")
    parser.add_argument("--loops", default=",".join(LOOPS))
    parser.add_argument("--modules")
    parser.add_argument("--fast", action="store_true", help="the quick CI subset")
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--stall", type=float, default=120,
                        help="seconds without progress after which a test counts as hung")
    parser.add_argument("--failures", help="write velkor's failures here")
    parser.add_argument("--json", help="write every outcome here")
    args = parser.parse_args()
    if args.child:
        skip = set(open(args.skip).read().split("\n")) if args.skip else set()
        run_child(*args.child, skip)
        return 0
    loops = args.loops.split(",")
    modules = args.modules.split(",") if args.modules else (FAST_MODULES if args.fast else MODULES)
    results = {}
    with concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:
        jobs = {pool.submit(run_one, loop, m, args.stall): (m, loop)
                for m in modules for loop in loops}
        for job in concurrent.futures.as_completed(jobs):
            results[jobs[job]] = job.result()
            m, loop = jobs[job]
            print(f"  {m:<26} {loop:<8} {count(job.result(), 'pass'):>5} passed "
                  f"({job.result()['status']}, {job.result()['seconds']:.0f} s)",
                  file=sys.stderr, flush=True)
    print_table(modules, loops, results)
    if args.json:
        with open(args.json, "w") as f:
            json.dump({f"{m}:{loop}": r for (m, loop), r in results.items()}, f, indent=1)
    missing = velkor_missing(modules, results) if {"default", "velkor"} <= set(loops) else []
    if "velkor" in loops:
        # What velkor.EventLoop passed, and what it missed of the default loop's passes.
        passed = sum(count(results[(m, "velkor")], "pass") for m in modules)
        print(f"velkor.EventLoop: {passed} passed, {len(missing)} failed")
    if args.failures:
        with open(args.failures, "w") as f:
            for test, err in missing:
                f.write(f"{test}\t{err}\n")
    return 1 if missing and not args.failures else 0


def print_table(modules, loops, results):
    head = f"| {'module':<24} |" + "".join(f" {loop:>8} |" for loop in loops)
    print(head)
    print("|" + "-" * 26 + "|" + "".join("-" * 10 + "|" for _ in loops))
    totals = dict.fromkeys(loops, 0)
    for m in modules:
        row = f"| {m:<24} |"
        for loop in loops:
            r = results[(m, loop)]
            n = count(r, "pass")
            totals[loop] += n
            mark = "" if r["status"] == "ok" else "*"
            row += f" {str(n) + mark:>8} |"
        print(row)
    print(f"| {'total':<24} |" + "".join(f" {totals[loop]:>8} |" for loop in loops))
    print("(* a test hung or killed its process; the module's other tests ran in a new one)")


def velkor_missing(modules, results):
    missing = []
    for m in modules:
        base = results[(m, "default")]["outcomes"]
        ours = results[(m, "velkor")]["outcomes"]
        for test, (outcome, _) in sorted(base.items()):
            if outcome == "pass" and ours.get(test, ("missing", "not run"))[0] != "pass":
                missing.append((test, ours.get(test, ("missing", "not run"))[1]))
    return missing


if __name__ == "__main__":
    sys.exit(main())
