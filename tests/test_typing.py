"""The package's types as a user's type checker sees them: mypy --strict on
the programs in tests/typing/ (a correct one, and one with forgotten
awaits whose expected errors are marked `# E: code` on their lines)."""

import os
import re
import shutil
import subprocess

import pytest

from conftest import ROOT

TYPING_DIR = ROOT / "tests" / "typing"
ERROR_LINE = re.compile(r"^(?P<path>[^:]+):(?P<line>\d+): error: .*\[(?P<code>[a-z-]+)\]$")
MARKER = re.compile(r"#\s*E:\s*(?P<code>[a-z-]+)\s*$")


@pytest.fixture(scope="module")
def reported():
    """{file name: {(line, error code)}} as mypy --strict reports them."""
    mypy = shutil.which("mypy")
    if mypy is None:
        pytest.skip("mypy is not installed")
    # A sanitizer runtime preloaded into the test run has no business in mypy.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    env["MYPYPATH"] = str(ROOT)
    run = subprocess.run(
        [mypy, "--strict", "--no-pretty", "--no-error-summary",
         "--cache-dir", str(ROOT / "build" / "mypy-cache"), str(TYPING_DIR)],
        cwd=ROOT, env=env, capture_output=True, text=True, timeout=300)
    assert run.returncode in (0, 1), run.stdout + run.stderr  # 2: mypy itself failed
    found = {}
    for line in run.stdout.splitlines():
        if m := ERROR_LINE.match(line):
            found.setdefault(os.path.basename(m["path"]), set()).add((int(m["line"]), m["code"]))
    return found


def expected(name):
    lines = (TYPING_DIR / name).read_text().splitlines()
    return {(n, m["code"]) for n, text in enumerate(lines, 1) if (m := MARKER.search(text))}


@pytest.mark.parametrize("name", ["ok_usage.py", "missing_await.py"])
def test_mypy_reports_exactly_the_marked_errors(reported, name):
    want = expected(name)
    if name == "missing_await.py":
        assert len(want) > 10  # the markers themselves were read
    assert reported.get(name, set()) == want
    # Nothing outside these programs (the package, the stub) may fail either.
    assert set(reported) <= {"ok_usage.py", "missing_await.py"}, reported
