"""Shared fixtures: the module under test, checks that every test leaves
no descriptor or thread behind, and a watchdog that ends a hung test."""

import faulthandler
import gc
import os
import sys
import threading
import time
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
BUILD_DIR = os.environ.get("VELKOR_BUILD_DIR", str(ROOT / "build" / "release"))
for path in (str(ROOT), BUILD_DIR):
    if path not in sys.path:
        sys.path.insert(0, path)

import _velkor  # noqa: E402

SANITIZED = os.environ.get("VELKOR_TEST_MODE") in ("asan", "tsan")
# How much slower than a plain build this mode runs (set by ./dev test).
TIME_SCALE = float(os.environ.get("VELKOR_TIME_SCALE", "1"))
# How far the watchdog's deadline sits above pytest-timeout's.
WATCHDOG_MARGIN = 30.0


def open_fds():
    return set(os.listdir("/proc/self/fd"))


def native_threads():
    return len(os.listdir("/proc/self/task"))


def settle(predicate, timeout=2.0):
    """Waits until predicate() holds (threads end asynchronously)."""
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.005)
    return True


@pytest.fixture(scope="session", autouse=True)
def _start_pool():
    # The process-wide pool starts with the first runtime context, and the
    # signal wakeup pipe with the first run on the main thread; both live
    # until the process exits: start them once so per-test counts stay stable.
    async def nothing():
        return None

    _velkor._run_with_signals(nothing())


@pytest.fixture(autouse=True)
def no_leaks(request):
    """Fails a test that leaves descriptors or threads behind."""
    if request.node.get_closest_marker("allow_leaks"):
        yield
        return
    gc.collect()
    fds_before = open_fds()
    threads_before = native_threads()
    py_threads_before = threading.active_count()
    yield
    gc.collect()
    assert settle(lambda: native_threads() <= threads_before), (
        f"threads left behind: {native_threads()} > {threads_before}")
    assert threading.active_count() <= py_threads_before
    leaked = open_fds() - fds_before
    # Descriptors that vanished between listing and reading are not leaks.
    leaked = {fd for fd in leaked if os.path.exists(f"/proc/self/fd/{fd}")}
    assert not leaked, f"descriptors left open: {sorted(leaked)}"


# ---- a hung test fails fast ----------------------------------------------------
#
# pytest-timeout's alarm is handled by Python code, which cannot run while
# native code holds the interpreter or retries an interrupted call. The
# watchdog of faulthandler is a C thread: past the deadline it dumps every
# thread's stack to the real standard error (not pytest's capture) and ends
# the process. The first line of the file named by VELKOR_RUNNING_TEST_FILE
# holds the id of the test started last; the file is removed when pytest ends
# normally, so ./dev reports it only when the process died.

_watchdog_fd = -1
_running_test_fd = -1


def watchdog_deadline(item):
    """Seconds that setup, call and teardown of `item` may take together."""
    forced = os.environ.get("VELKOR_TEST_DEADLINE")
    if forced:
        return float(forced)
    marker = item.get_closest_marker("timeout")
    if marker and marker.args:
        limit = float(marker.args[0]) * TIME_SCALE
    else:  # already scaled by pytest_configure
        limit = float(item.config.getoption("timeout", None) or 120.0)
    return limit + WATCHDOG_MARGIN * TIME_SCALE


def note_running_test(nodeid):
    if _running_test_fd >= 0:
        # Overwritten in place (truncating costs far more): what a longer
        # earlier id leaves after the newline is not read.
        os.pwrite(_running_test_fd, f"{nodeid}\n".encode(), 0)


@pytest.hookimpl(wrapper=True)
def pytest_runtest_protocol(item, nextitem):
    note_running_test(item.nodeid)
    faulthandler.dump_traceback_later(watchdog_deadline(item), exit=True, file=_watchdog_fd)
    try:
        return (yield)
    finally:
        faulthandler.cancel_dump_traceback_later()


@pytest.hookimpl(tryfirst=True)
def pytest_configure(config):
    global _watchdog_fd, _running_test_fd
    config.addinivalue_line("markers", "allow_leaks: the test manages its own resources")
    # Output capture is suspended while plugins are configured: this is the
    # terminal's standard error.
    _watchdog_fd = os.dup(2)
    path = os.environ.get("VELKOR_RUNNING_TEST_FILE")
    if path:
        _running_test_fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_CLOEXEC, 0o644)
    # pytest-timeout reads its setting after this hook: slower modes get more.
    if (TIME_SCALE != 1 and config.pluginmanager.hasplugin("timeout")
            and config.getoption("timeout", None) is None and not os.environ.get("PYTEST_TIMEOUT")):
        config.option.timeout = float(config.getini("timeout") or 0) * TIME_SCALE or None


def pytest_unconfigure(config):
    path = os.environ.get("VELKOR_RUNNING_TEST_FILE")
    if _running_test_fd >= 0 and path:
        os.close(_running_test_fd)
        os.unlink(path)
