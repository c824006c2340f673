"""The benchmark suite: every workload of workloads.py under velkor, asyncio,
uvloop and trio, side by side; the network workloads also under the variants
of their own columns (threaded stream, blocking sockets, protocol servers).

    ./dev bench [--quick] [options]
    ./dev shell python3.14 bench/suite.py [--quick] [options]

Each measurement runs in a fresh process of its own (one runtime per process:
no event loop policy, global state or heap left over from another runtime).
For every workload the runtimes take turns, in a rotating order, until each
has been measured --repeat times. The TCP client workloads all talk to one
echo server process, started once for the whole run; the server workloads
start the server under test for each measurement and load it with the C load
generator (loadgen.c, built here with the environment's C compiler).

Printed: one table per set of columns, with the median of each runtime and
its spread ((max - min) / median), then each peer's median beside velkor's.
Costs (time, bytes, latency) give peer / velkor and rates (requests/s) give
velkor / peer, so a ratio above 1 always means velkor did better.
Written: results as JSON and a grouped bar chart of the ratios (PNG).
"""

from __future__ import annotations

import argparse
import contextlib
import importlib.util
import json
import os
import platform
import statistics
import subprocess
import sys
import time
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
BUILD_DIR = Path(os.environ.get("VELKOR_BUILD_DIR", str(ROOT / "build" / "release")))


def _import_paths() -> None:
    # The checkout and its build directory come right after any PYTHONPATH
    # entries, so that an explicit PYTHONPATH can point at another build.
    extra = [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
    at = 1 + len(extra)
    for path in (str(ROOT), str(BUILD_DIR)):
        if path not in sys.path:
            sys.path.insert(at, path)


_import_paths()

import workloads  # noqa: E402
from workloads import RUNTIMES, WORKLOADS, Workload  # noqa: E402

PEERS = tuple(r for r in RUNTIMES if r != "velkor")
# Columns that run whichever peers are chosen: velkor's own and the reference.
ALWAYS = ("velkor", "sockets")
TCP_WORKLOADS = ("echo_1", "echo_100", "bulk")
# Names that --only accepts for several workloads at once.
GROUPS = {
    "client": list(TCP_WORKLOADS),
    "server": [n for n in WORKLOADS if n.startswith("server_")],
    "net": list(TCP_WORKLOADS) + [n for n, w in WORKLOADS.items() if w.needs_loadgen],
}
DEFAULT_OUT = HERE / "results"


def base_runtime(column: str) -> str:
    """The runtime a column needs: "uvloop-proto" runs on uvloop."""
    return column.split("-", 1)[0]


# ---- one measurement, in a process of its own ----------------------------------------


def worker(job: dict[str, Any]) -> None:
    """Runs one workload once under one runtime and prints its result as JSON."""
    if base_runtime(job["runtime"]) == "velkor":
        import velkor  # noqa: F401  (before the helpers, which may also set up paths)
    w = WORKLOADS[job["workload"]]
    impl = w.impls[job["runtime"]]
    ctx = {"runtime": job["runtime"], "port": job.get("port")}
    if w.warm_up:
        impl(max(w.min_n, job["n"] // 50), ctx)
    result = impl(job["n"], ctx)
    print("RESULT " + json.dumps(result), flush=True)


def measure_once(job: dict[str, Any], timeout: float) -> dict[str, float]:
    env = dict(os.environ)
    env.pop("LD_PRELOAD", None)
    env["PYTHONPATH"] = os.pathsep.join(
        [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p] + [str(BUILD_DIR), str(ROOT)])
    try:
        done = subprocess.run([sys.executable, str(Path(__file__)), "--worker", json.dumps(job)],
                              capture_output=True, text=True, timeout=timeout, env=env)
    except subprocess.TimeoutExpired:
        raise RuntimeError(f"no result within {timeout:.0f} s") from None
    for line in reversed(done.stdout.splitlines()):
        if line.startswith("RESULT "):
            if done.returncode != 0:
                break
            return json.loads(line[len("RESULT "):])
    tail = "\n".join(done.stderr.strip().splitlines()[-6:])
    raise RuntimeError(f"exit status {done.returncode}: {tail}")


# ---- the shared echo server -------------------------------------------------------------


class EchoServer:
    """tcp.py's echo server in a process of its own; it ends when its stdin closes,
    which also happens if this process dies."""

    def __enter__(self) -> EchoServer:
        env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
        self.process = subprocess.Popen([sys.executable, str(HERE / "tcp.py"), "--serve"],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        text=True, env=env)
        assert self.process.stdout is not None
        line = self.process.stdout.readline()
        if not line.strip().isdigit():
            self.__exit__(None, None, None)
            raise RuntimeError("the echo server did not start")
        self.port = int(line)
        return self

    def __exit__(self, *exc: object) -> None:
        try:
            self.process.communicate(timeout=30)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.communicate()


# ---- the run ------------------------------------------------------------------------------


def installed(column: str) -> bool:
    runtime = base_runtime(column)
    return runtime in ("velkor", "asyncio", "sockets") or importlib.util.find_spec(runtime) is not None


def columns_of(w: Workload, selected: list[str]) -> list[str]:
    return [c for c in w.runtimes if base_runtime(c) in selected or c in ALWAYS]


def ratio(peer: float | None, ours: float | None, higher_is_better: bool) -> float | None:
    """Above 1 when velkor did better."""
    if not ours or peer is None:
        return None
    if higher_is_better:
        return ours / peer if peer else None
    return peer / ours


def paired_ratio(peer: list[float], ours: list[float], higher_is_better: bool) -> float | None:
    """The median of the ratios within each round, where the runtimes ran
    back to back: a drift of the machine's speed between rounds, which the
    ratio of the medians takes in, cancels out. None unless every round
    measured both."""
    if len(peer) != len(ours) or len(ours) < 2:
        return None
    rounds = [ratio(p, o, higher_is_better) for p, o in zip(peer, ours)]
    if any(r is None for r in rounds):
        return None
    return statistics.median(r for r in rounds if r is not None)


def sizes(w: Workload, scale: float) -> int:
    return max(w.min_n, round(w.n * scale))


def summarize(samples: list[float]) -> dict[str, Any]:
    median = statistics.median(samples)
    return {"samples": samples, "median": median, "min": min(samples), "max": max(samples),
            "spread": (max(samples) - min(samples)) / abs(median) if median else 0.0}


def missing_reasons(w: Workload, columns: list[str], loadgen_missing: str | None
                    ) -> dict[str, str]:
    """Why each column that cannot run here is n/a."""
    reasons = {}
    for column in columns:
        if column in w.not_applicable:
            reasons[column] = w.not_applicable[column]
        elif column not in w.impls:
            reasons[column] = "not written"
        elif not installed(column):
            reasons[column] = f"{base_runtime(column)} is not installed"
        elif w.needs_loadgen and loadgen_missing:
            reasons[column] = loadgen_missing
        elif w.unavailable and (why := w.unavailable(column)):
            reasons[column] = why
    return reasons


def run_workload(w: Workload, args: argparse.Namespace, port: int | None,
                 selected: list[str], loadgen_missing: str | None = None) -> dict[str, Any]:
    n = sizes(w, args.scale)
    runtimes = columns_of(w, selected)
    entry: dict[str, Any] = {"description": w.description, "n": n, "size": w.size_label,
                             "columns": runtimes, "runtimes": {}}
    missing = missing_reasons(w, runtimes, loadgen_missing)
    active = [r for r in runtimes if r not in missing]
    results: dict[str, list[dict[str, float]]] = {r: [] for r in active}
    errors: dict[str, str] = {}
    for rep in range(args.repeat):
        # Rotating the order spreads any drift of the machine's load over every runtime.
        order = active[rep % len(active):] + active[:rep % len(active)] if active else []
        for runtime in order:
            if runtime in errors:
                continue
            job = {"workload": w.name, "runtime": runtime, "n": n, "port": port}
            try:
                results[runtime].append(measure_once(job, args.timeout))
            except RuntimeError as e:
                errors[runtime] = str(e)
                print(f"  {w.name} under {runtime} failed: {e}", file=sys.stderr, flush=True)
    for runtime in runtimes:
        if runtime in missing:
            entry["runtimes"][runtime] = {"na": missing[runtime]}
        elif runtime in errors:
            entry["runtimes"][runtime] = {"error": errors[runtime]}
        else:
            keys = results[runtime][0].keys()
            entry["runtimes"][runtime] = {
                key: summarize([r[key] for r in results[runtime]]) for key in keys}
    entry["metrics"] = {}
    for m in w.metrics:
        medians = {r: v[m.key]["median"] for r, v in entry["runtimes"].items() if m.key in v}
        ours = medians.get("velkor")
        ratios = {p: ratio(medians.get(p), ours, m.higher_is_better)
                  for p in runtimes if p != "velkor"}
        samples = {r: v[m.key]["samples"] for r, v in entry["runtimes"].items() if m.key in v}
        paired = {p: paired_ratio(samples[p], samples["velkor"], m.higher_is_better)
                  for p in ratios if p in samples and "velkor" in samples}
        entry["metrics"][m.key] = {"title": m.title.format(n=workloads.count(n)),
                                   "unit": m.unit, "scale": m.scale,
                                   "higher_is_better": m.higher_is_better,
                                   "ratios": ratios, "paired": paired}
    return entry


def machine() -> dict[str, Any]:
    info: dict[str, Any] = {"python": platform.python_version(), "machine": platform.machine(),
                            "cpus": os.cpu_count(), "kernel": platform.release()}
    try:
        with open("/proc/cpuinfo") as f:
            info["cpu"] = next(line.split(":", 1)[1].strip() for line in f
                               if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    try:
        info["load_before"] = os.getloadavg()[0]
    except OSError:
        pass
    versions = {}
    for name in ("uvloop", "trio"):
        try:
            versions[name] = __import__(name).__version__
        except ImportError:
            versions[name] = None
    import _asyncio
    import asyncio
    info["asyncio_c_tasks"] = asyncio.Task is _asyncio.Task
    info["versions"] = versions
    return info


# ---- output ------------------------------------------------------------------------------


def fmt_value(value: float, scale: float) -> str:
    v = value * scale
    if abs(v) >= 100:
        return f"{v:,.0f}"
    if abs(v) >= 10:
        return f"{v:.1f}"
    return f"{v:.2f}"


def sections(report: dict[str, Any]) -> list[tuple[list[str], list[dict[str, Any]]]]:
    """The workloads grouped by their columns, in the order of the run."""
    groups: dict[tuple[str, ...], list[dict[str, Any]]] = {}
    for entry in report["workloads"].values():
        columns = tuple(entry.get("columns", report["config"]["runtimes"]))
        groups.setdefault(columns, []).append(entry)
    return [(list(columns), entries) for columns, entries in groups.items()]


def section_table(runtimes: list[str], entries: list[dict[str, Any]]) -> str:
    peers = [p for p in runtimes if p != "velkor"]
    rows = [["workload", "unit", *runtimes, *(f"{p}/velkor" for p in peers)]]
    for entry in entries:
        for key, metric in entry["metrics"].items():
            row = [metric["title"], metric["unit"]]
            for runtime in runtimes:
                r = entry["runtimes"].get(runtime, {})
                if "na" in r:
                    row.append("n/a")
                elif "error" in r:
                    row.append("error")
                else:
                    s = r[key]
                    row.append(f"{fmt_value(s['median'], metric['scale'])} "
                               f"±{s['spread'] * 100:.0f}%")
            for p in peers:
                ratio = metric["ratios"].get(p)
                paired = metric.get("paired", {}).get(p)
                cell = "n/a" if ratio is None else f"{ratio:.2f}"
                row.append(cell if paired is None else f"{cell} ({paired:.2f})")
            rows.append(row)
    widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]))]
    lines = []
    for i, r in enumerate(rows):
        cells = [r[0].ljust(widths[0])] + [c.rjust(w) for c, w in zip(r[1:], widths[1:])]
        lines.append("  ".join(cells))
        if i == 0:
            lines.append("  ".join("-" * w for w in widths))
    return "\n".join(lines)


def table(report: dict[str, Any]) -> str:
    return "\n\n".join(section_table(columns, entries)
                        for columns, entries in sections(report))


COLORS = {"asyncio": "#4c72b0", "asyncio-proto": "#8172b2", "uvloop": "#55a868",
          "uvloop-proto": "#64b5cd", "trio": "#c44e52", "velkor-threaded": "#937860",
          "sockets": "#8c8c8c"}


def chart_section(ax: Any, runtimes: list[str], entries: list[dict[str, Any]]) -> None:
    from matplotlib import ticker

    peers = [p for p in runtimes if p != "velkor"]
    labels, values = [], {p: [] for p in peers}
    for entry in entries:
        for metric in entry["metrics"].values():
            labels.append(metric["title"])
            for p in peers:
                values[p].append(metric["ratios"].get(p))
    width = 0.8 / max(1, len(peers))
    for i, p in enumerate(peers):
        xs = [k + (i - (len(peers) - 1) / 2) * width for k in range(len(labels))]
        # Bars grow from 1 (a tie): up where velkor is ahead, down where it is behind.
        heights = [v - 1 if v else 0 for v in values[p]]
        ax.bar(xs, heights, width, bottom=1, label=f"{p} / velkor", color=COLORS.get(p))
        for x, v in zip(xs, values[p]):
            text = "n/a" if v is None else f"{v:.2g}"
            ax.annotate(text, (x, v or 1), ha="center", va="bottom" if (v or 1) >= 1 else "top",
                        fontsize=6, rotation=90, xytext=(0, 2 if (v or 1) >= 1 else -2),
                        textcoords="offset points")
    ax.axhline(1.0, color="black", linewidth=0.8)
    ax.set_yscale("log")
    ax.yaxis.set_major_locator(ticker.LogLocator(subs=(1.0, 2.0, 5.0)))
    ax.yaxis.set_major_formatter(ticker.FormatStrFormatter("%g"))
    ax.yaxis.set_minor_formatter(ticker.NullFormatter())
    ax.set_xticks(range(len(labels)))
    ax.set_xticklabels(labels, rotation=35, ha="right", fontsize=8)
    ax.set_ylabel("velkor ahead above 1")
    ax.legend(fontsize=7)


def chart(report: dict[str, Any], path: Path) -> None:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    groups = sections(report)
    widest = max((sum(len(e["metrics"]) for e in entries) for _, entries in groups), default=1)
    fig, axes = plt.subplots(len(groups), 1, squeeze=False,
                             figsize=(max(8.0, 0.9 * widest + 3), 6.5 * len(groups)))
    for ax, (columns, entries) in zip(axes[:, 0], groups):
        chart_section(ax, columns, entries)
    mode = report["config"]["mode"]
    axes[0, 0].set_title(f"velkor beside its peers, median of {report['config']['repeat']} "
                         f"runs ({mode}); cost ratios peer / velkor, rate ratios velkor / peer")
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    plt.close(fig)


# ---- entry point -------------------------------------------------------------------------


def parse_args(argv: list[str]) -> argparse.Namespace:
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true",
                    help="a smoke run: sizes scaled by 0.05, 3 runs each (about 2 minutes)")
    ap.add_argument("--scale", type=float, help="multiply every workload size by this")
    ap.add_argument("--repeat", type=int, help="runs per runtime and workload (default 5)")
    ap.add_argument("--only", help="comma-separated workload names: " + ", ".join(WORKLOADS)
                    + "; or groups of them: " + ", ".join(GROUPS))
    ap.add_argument("--runtimes", default=",".join(RUNTIMES),
                    help="comma-separated peers (velkor, its threaded stream and blocking "
                    "sockets are always included; a peer brings its variants: uvloop, "
                    "uvloop-proto)")
    ap.add_argument("--timeout", type=float, help="seconds allowed for one measurement")
    ap.add_argument("--out", type=Path, default=DEFAULT_OUT,
                    help="directory for latest.json and latest.png (default bench/results)")
    ap.add_argument("--worker", help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    if args.scale is None:
        args.scale = 0.05 if args.quick else 1.0
    if args.repeat is None:
        args.repeat = 3 if args.quick else 5
    if args.timeout is None:
        args.timeout = 60.0 if args.quick else 600.0
    return args


def expand(names: list[str]) -> list[str]:
    """Workload names with any group name replaced by its members, each once."""
    out: list[str] = []
    for name in names:
        for member in GROUPS.get(name, [name]):
            if member not in out:
                out.append(member)
    return out


def build_loadgen() -> str | None:
    """Builds the load generator; the reason its workloads are n/a when that fails."""
    import netload
    try:
        netload.build()
    except (RuntimeError, OSError) as e:
        print(f"  {e}", file=sys.stderr, flush=True)
        return "the load generator could not be built"
    return None


def main(argv: list[str]) -> int:
    args = parse_args(argv)
    if args.worker:
        worker(json.loads(args.worker))
        return 0
    names = expand(args.only.split(",")) if args.only else list(WORKLOADS)
    unknown = [n for n in names if n not in WORKLOADS]
    runtimes = ["velkor"] + [r for r in args.runtimes.split(",") if r in PEERS]
    if unknown:
        print(f"unknown workload(s): {', '.join(unknown)}", file=sys.stderr)
        return 2
    mode = "quick" if args.quick else "full"
    if args.scale != (0.05 if args.quick else 1.0):
        mode += f", scale {args.scale:g}"
    report: dict[str, Any] = {
        "config": {"mode": mode, "scale": args.scale, "repeat": args.repeat,
                   "runtimes": runtimes},
        "machine": machine(), "workloads": {}}
    m = report["machine"]
    print(f"Python {m['python']} on {m.get('cpu', m['machine'])}, {m['cpus']} CPUs; "
          f"{mode}; median of {args.repeat} runs per runtime", flush=True)
    started = time.perf_counter()
    failed = False
    loadgen_missing = None
    if any(WORKLOADS[n].needs_loadgen for n in names if n in WORKLOADS):
        loadgen_missing = build_loadgen()
    with contextlib.ExitStack() as stack:
        server: EchoServer | None = None
        for name in names:
            port = None
            if name in TCP_WORKLOADS:
                if server is None:
                    server = stack.enter_context(EchoServer())
                port = server.port
            t = time.perf_counter()
            entry = run_workload(WORKLOADS[name], args, port, runtimes, loadgen_missing)
            report["workloads"][name] = entry
            failed |= any("error" in r for r in entry["runtimes"].values())
            print(f"  {name}: {time.perf_counter() - t:.1f} s", file=sys.stderr, flush=True)
    report["elapsed"] = time.perf_counter() - started
    print()
    print(table(report))
    print("\nmedian ±spread ((max - min) / median); ratio columns: peer / velkor for costs, "
          "velkor / peer for rates (req/s): above 1 means velkor is ahead; in brackets the "
          "median of the ratios within each round (the runtimes ran back to back)")
    args.out.mkdir(parents=True, exist_ok=True)
    json_path = args.out / "latest.json"
    json_path.write_text(json.dumps(report, indent=1))
    png_path = args.out / "latest.png"
    chart(report, png_path)
    print(f"wrote {json_path} and {png_path} ({report['elapsed']:.0f} s)")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
