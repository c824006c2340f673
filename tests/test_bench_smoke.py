"""The benchmark runner works end to end: a tiny run of bench/suite.py under
every runtime writes a complete JSON report and the chart. Figures are not
checked; timing claims belong to the benchmarks themselves."""

import json
import os
import subprocess
import sys

import pytest

from conftest import ROOT, SANITIZED

pytestmark = [
    pytest.mark.skipif(SANITIZED or os.environ.get("VELKOR_TEST_MODE") == "debug-python",
                       reason="the suite measures the release build"),
    pytest.mark.timeout(120),
]


def test_suite_runs_every_workload_under_every_runtime(tmp_path):
    sys.path.insert(0, str(ROOT / "bench"))
    try:
        from workloads import RUNTIMES, WORKLOADS
    finally:
        sys.path.remove(str(ROOT / "bench"))
    done = subprocess.run(
        [sys.executable, str(ROOT / "bench" / "suite.py"), "--quick", "--scale", "0.002",
         "--repeat", "1", "--out", str(tmp_path)],
        capture_output=True, text=True, timeout=100)
    assert done.returncode == 0, done.stdout[-2000:] + done.stderr[-3000:]

    report = json.loads((tmp_path / "latest.json").read_text())
    assert set(report["workloads"]) == set(WORKLOADS)
    assert report["config"]["runtimes"] == list(RUNTIMES)
    for name, entry in report["workloads"].items():
        w = WORKLOADS[name]
        for runtime in RUNTIMES:
            result = entry["runtimes"][runtime]
            if runtime in w.not_applicable:
                assert "na" in result, (name, runtime)
                continue
            for metric in w.metrics:
                samples = result[metric.key]["samples"]
                assert len(samples) == 1, (name, runtime)
        for metric in w.metrics:
            assert metric.key in entry["metrics"]
            for peer, ratio in entry["metrics"][metric.key]["ratios"].items():
                assert (ratio is None) == (peer in w.not_applicable), (name, peer)
    assert (tmp_path / "latest.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    for row in ("spawn + await", "TCP bulk", "RSS per parked task"):
        assert row in done.stdout


def test_asyncio_section_measures_each_kind_of_row_under_each_loop():
    rows = "create_task,run_in_executor,protocol_echo"
    done = subprocess.run(
        [sys.executable, str(ROOT / "bench" / "aio.py"), "--repeat", "1", "--scale", "0.002",
         "--only", rows],
        capture_output=True, text=True, timeout=100)
    assert done.returncode == 0, done.stderr[-3000:]
    lines = {line.split("|")[1].strip(): line for line in done.stdout.splitlines()[2:]}
    assert set(lines) == set(rows.split(","))
    for line in lines.values():
        cells = [c.strip() for c in line.split("|")[3:6]]
        assert all(c != "n/a" and float(c.replace(",", "")) > 0 for c in cells), line
