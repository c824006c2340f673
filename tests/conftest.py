"""Shared fixtures: the module under test, and checks that every test leaves
no descriptor or thread behind."""

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


def pytest_configure(config):
    config.addinivalue_line("markers", "allow_leaks: the test manages its own resources")
