"""The watchdog of tests/conftest.py: a hung test ends its process within the
deadline and says where it hung, even while the loop holds the interpreter."""

import os
import subprocess
import sys
import time
from pathlib import Path

import pytest

from conftest import TIME_SCALE

TESTS_DIR = Path(__file__).resolve().parent
DEADLINE = 2.0

# Each hang keeps the loop turning with the interpreter lock held in native
# code, where an alarm handler written in Python never gets to run.
HUNG_TESTS = '''
import ctypes
import types

import _velkor

# Called through PyDLL, a C function runs with the interpreter lock held.
libc_holding_the_lock = ctypes.PyDLL(None)


@types.coroutine
def park_forever():
    yield ()  # nothing keeps a waker: never woken


def test_requeues_forever():
    loop = _velkor.PyEventLoop()

    def requeue_forever():
        libc_holding_the_lock.usleep(2000)
        loop.call_soon(requeue_forever, ())

    async def main():
        loop.call_soon(requeue_forever, ())
        await park_forever()

    loop.run_until_complete(main())


def test_blocks_holding_the_lock():
    async def main():
        while True:
            libc_holding_the_lock.pause()

    _velkor.run(main())
'''


@pytest.mark.parametrize("name", ["test_requeues_forever", "test_blocks_holding_the_lock"])
def test_a_hung_test_dies_within_its_deadline_and_shows_where(tmp_path, name):
    (tmp_path / "test_hung.py").write_text(HUNG_TESTS)
    running = tmp_path / "running-test"
    env = dict(os.environ, PYTHONPATH=str(TESTS_DIR), VELKOR_TEST_DEADLINE=str(DEADLINE),
               VELKOR_RUNNING_TEST_FILE=str(running))
    started = time.monotonic()
    # The real conftest, loaded as a plugin; pytest-timeout stays out of it.
    child = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "conftest", "-p", "no:cacheprovider",
         "-p", "no:timeout", f"test_hung.py::{name}"],
        cwd=tmp_path, env=env, capture_output=True, text=True, timeout=120 * TIME_SCALE)
    took = time.monotonic() - started
    assert child.returncode != 0
    assert DEADLINE <= took < DEADLINE + 60 * TIME_SCALE
    assert f"Timeout (0:00:0{DEADLINE:.0f})!" in child.stderr, child.stderr
    assert f" in {name}\n" in child.stderr, child.stderr
    # The id left behind is what ./dev reports.
    assert running.read_text().splitlines()[0] == f"test_hung.py::{name}"
