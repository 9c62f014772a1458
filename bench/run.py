"""Benchmark of the two kernels against the direct algorithm and against numpy/scipy peers.

For each workload and size it checks the module against the baseline (the direct algorithms in
C++, bench/baseline/), then times the module, the baseline and a peer, and prints the medians,
the speed-up ratios and the project's speed targets. Run through scripts/bench.sh.

Times are wall-clock medians of several runs. A run that would take longer than the time box
(extrapolated from the previous size) is not made: its time is estimated from the two largest
sizes measured and shown with a leading '~'.
"""
from __future__ import annotations

import argparse
import gc
import importlib
import json
import math
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time
from dataclasses import asdict, dataclass, field
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import compare  # noqa: E402
import peers  # noqa: E402
from baseline import Baseline, library_name  # noqa: E402
from workloads import ROOT, CellRecords, LinkTables, Workload, make  # noqa: E402

QUICK_SIZES = {"voronoi": [1000, 10000, 20000, 100000], "uniform": [1000, 10000, 100000],
               "dense": [1000, 10000, 20000]}
FULL_SIZES = [1000, 2000, 5000, 10000, 20000, 50000, 100000]


@dataclass
class Timing:
    """Median milliseconds of `runs` runs, or an estimate (runs == 0)."""
    ms: float | None = None
    runs: int = 0
    estimated: bool = False
    note: str = ""

    def text(self) -> str:
        if self.ms is None:
            return "-"
        return ("~" if self.estimated else "") + (f"{self.ms:.1f}" if self.ms >= 10
                                                  else f"{self.ms:.3f}")


@dataclass
class Row:
    kernel: str
    workload: str
    n: int
    links: int
    module: Timing
    baseline: Timing
    peer: Timing
    peer_name: str
    check: str                    # "ok", or what differs
    near_threshold: int | None = None
    details: list[str] = field(default_factory=list)

    @property
    def verified(self) -> bool:
        return self.check.startswith("ok")

    def ratio(self, other: Timing) -> float | None:
        if not self.verified or self.module.ms is None or other.ms is None or self.module.ms <= 0:
            return None
        return other.ms / self.module.ms


class Clock:
    """Runs a timed call repeatedly within a budget; remembers times per series to estimate
    the sizes it does not run."""

    def __init__(self, repeat: int, time_box: float, repeat_budget: float):
        self.repeat, self.time_box, self.repeat_budget = repeat, time_box, repeat_budget
        self.history: dict[str, list[tuple[int, float]]] = {}
        self.last: tuple | None = None   # (inputs, result) of the last timed run, for the checks

    def estimate(self, series: str, n: int) -> float | None:
        """Milliseconds at n from the two largest sizes measured (exponent within 1..2)."""
        points = sorted(self.history.get(series, []))
        if not points:
            return None
        n1, t1 = points[-1]
        exponent = 2.0
        if len(points) > 1:
            n0, t0 = points[-2]
            if t0 > 0 and n1 > n0:
                exponent = min(2.0, max(1.0, math.log(t1 / t0) / math.log(n1 / n0)))
        return t1 * (n / n1) ** exponent

    def measure(self, series: str, n: int, prepare, call) -> Timing:
        """prepare() makes fresh inputs (not timed); call(inputs) is timed."""
        self.last = None
        predicted = self.estimate(series, n)
        if predicted is not None and predicted / 1000 > self.time_box:
            return Timing(predicted, 0, True, f"estimated: over the {self.time_box:.0f} s box")
        times: list[float] = []
        while len(times) < self.repeat:
            inputs = prepare()
            gc.collect()
            gc.disable()
            try:
                start = time.perf_counter()
                result = call(inputs)
                times.append((time.perf_counter() - start) * 1000)
            finally:
                gc.enable()
            self.last = (inputs, result)
            if sum(times) / 1000 > self.repeat_budget:
                break
        ms = statistics.median(times)
        self.history.setdefault(series, []).append((n, ms))
        return Timing(ms, len(times))


def import_module(name: str):
    for attempt in range(5):   # a concurrent reinstall can leave it half-written for a moment
        try:
            return importlib.import_module(name)
        except ImportError:
            if attempt == 4:
                raise
            time.sleep(1.0)


def log(message: str) -> None:
    print(message, file=sys.stderr, flush=True)


# --- broad phase -----------------------------------------------------------------------------

def bench_broad(w: Workload, module, baseline: Baseline, clock: Clock, name: str
                ) -> tuple[Row, LinkTables]:
    """The broad phase's row, and the reference tables (the baseline's) for the narrow phase."""
    fresh = lambda: LinkTables(w.corners)  # noqa: E731
    module_t = clock.measure(f"broad/{name}/module", w.n, fresh,
                             lambda t: t.run(module.get_bb_intersections))
    got = clock.last[1] if clock.last else None
    baseline_t = clock.measure(f"broad/{name}/baseline", w.n, fresh,
                               lambda t: t.run(baseline.get_bb_intersections))
    want = clock.last[1] if clock.last else None
    peer_t = clock.measure(f"broad/{name}/kdtree", w.n, lambda: w.corners, peers.kdtree_pairs)
    source = "baseline"
    if want is None:
        # Too slow to run directly: the same tables from the exact overlapping pairs.
        pairs = clock.last[1] if clock.last else peers.kdtree_pairs(w.corners)
        want = compare.tables_from_pairs(w.corners, pairs, baseline)
        source = "pair-set reference"
    differences: list[str] = []
    if got is None:
        check = "not run (over the time box)"
    else:
        differences = compare.table_differences(got, want)
        check = f"ok ({source})" if not differences else "MISMATCH"
    row = Row("broad", name, w.n, want.n_links, module_t, baseline_t, peer_t, "cKDTree", check,
              details=differences)
    return row, want


# --- narrow phase ----------------------------------------------------------------------------

def bench_narrow(w: Workload, tables: LinkTables, module, baseline: Baseline, clock: Clock,
                 peer_links: int, ulps: int) -> tuple[Row, np.ndarray]:
    records = CellRecords(w, tables)
    n, n_links, threshold = w.n, tables.n_links, w.threshold
    module_t = clock.measure(f"narrow/{w.name}/module", n, lambda: None,
                             lambda _: module.generate_neighbors(records.address, n, n_links,
                                                                 threshold, 0))
    result = clock.last[1] if clock.last else module.generate_neighbors(
        records.address, n, n_links, threshold, 0)
    baseline_t = clock.measure(f"narrow/{w.name}/baseline", n, lambda: None,
                               lambda _: baseline.generate_neighbors(records.address, n, n_links,
                                                                     threshold))
    expected = clock.last[1] if clock.last else baseline.generate_neighbors(
        records.address, n, n_links, threshold)
    check = compare.narrow_check(result, expected, records, threshold, baseline, ulps)
    peer_t, peer_note = time_numpy_peer(w, tables, expected, peer_links, clock)
    status = "ok" if check.equal else (
        f"MISMATCH {check.mismatches} ({check.unexplained} not near the threshold)")
    row = Row("narrow", w.name, n, n_links, module_t, baseline_t, peer_t, "numpy", status,
              check.near_threshold, check.examples + ([peer_note] if peer_note else []))
    return row, expected


def time_numpy_peer(w: Workload, tables: LinkTables, expected: np.ndarray, peer_links: int,
                    clock: Clock) -> tuple[Timing, str]:
    """The numpy peer, on a random sample of links when there are many: its per-link time
    scaled to all links, plus its per-cell set-up, measured whole."""
    owners, neighbours = peers.link_owners(tables.links, tables.link_starts, tables.link_count,
                                           tables.n_links)
    n_links = tables.n_links
    sample = np.arange(n_links)
    if n_links > peer_links:
        sample = np.sort(np.random.default_rng(0).choice(n_links, peer_links, replace=False))
    start = time.perf_counter()
    peer = peers.NumpyNarrowPhase(w)
    setup = time.perf_counter() - start
    threshold = np.float32(w.threshold)
    out = np.full(n_links, -1.0, np.float32)
    times = []
    for _ in range(max(1, min(clock.repeat, 3))):
        start = time.perf_counter()
        for s in sample.tolist():
            i, j = int(owners[s]), int(neighbours[s])
            if 0 <= j < w.n and peer.close(i, j, threshold):
                out[s] = peer.origin_distance(i, j)
        times.append(time.perf_counter() - start)
    per_link = statistics.median(times) / max(len(sample), 1)
    ms = (setup + per_link * n_links) * 1000
    disagree = int((out[sample].view(np.uint32) != expected[sample].view(np.uint32)).sum())
    note = f"numpy peer disagrees with the baseline on {disagree} of {len(sample)} links" \
        if disagree else ""
    return Timing(ms, len(times), len(sample) < n_links,
                  f"{len(sample)} of {n_links} links timed" if len(sample) < n_links else ""), note


# --- OpenMP build ----------------------------------------------------------------------------

def bench_openmp(w: Workload, tables: LinkTables, expected: np.ndarray, module_dir: Path,
                 repeat: int) -> dict:
    """The OpenMP build's narrow phase at OMP_NUM_THREADS=1 and 2, each in its own process."""
    results = {}
    with tempfile.TemporaryDirectory() as tmp:
        data = Path(tmp) / "workload.npz"
        np.savez(data, vertices=w.vertices, v_start=w.v_start, v_count=w.v_count,
                 edges=w.edges, e_start=w.e_start, e_count=w.e_count, origins=w.origins,
                 collections=w.collections, corners=w.corners, links=tables.links,
                 link_starts=tables.link_starts, link_count=tables.link_count,
                 n_links=tables.n_links, threshold=w.threshold, expected=expected)
        for threads in (1, 2):
            env = dict(os.environ, OMP_NUM_THREADS=str(threads))
            done = subprocess.run(
                [sys.executable, str(HERE / "omp_worker.py"), str(module_dir), str(data),
                 str(repeat)], env=env, capture_output=True, text=True, timeout=1800)
            if done.returncode != 0:
                results[threads] = {"error": done.stderr.strip().splitlines()[-1:]}
            else:
                results[threads] = json.loads(done.stdout.strip().splitlines()[-1])
    return results


def first_block_share(tables: LinkTables, threads: int) -> float:
    """The share of all links that the first of `threads` static blocks of cells owns (the
    cell loop's static schedule: contiguous blocks of nearly equal cell counts)."""
    n = len(tables.link_count)
    first = n // threads + (1 if n % threads else 0)
    total = int(tables.link_count.sum(dtype=np.int64))
    return int(tables.link_count[:first].sum(dtype=np.int64)) / total if total else 0.0


# --- report ----------------------------------------------------------------------------------

def fmt_ratio(value: float | None, estimated: bool = False) -> str:
    if value is None:
        return "-"
    return ("~" if estimated else "") + (f"{value:.0f}x" if value >= 100 else f"{value:.2f}x"
                                         if value < 10 else f"{value:.1f}x")


HEADER = ["kernel", "workload", "N", "links", "module ms", "baseline ms", "peer", "peer ms",
          "baseline/module", "peer/module", "near thr.", "check"]


def row_cells(r: Row) -> list[str]:
    return [r.kernel, r.workload, f"{r.n:,}", f"{r.links:,}", r.module.text(), r.baseline.text(),
            r.peer_name, r.peer.text(),
            fmt_ratio(r.ratio(r.baseline), r.baseline.estimated or r.module.estimated),
            fmt_ratio(r.ratio(r.peer), r.peer.estimated or r.module.estimated),
            "-" if r.near_threshold is None else str(r.near_threshold), r.check]


def text_table(header: list[str], rows: list[list[str]]) -> str:
    widths = [max(len(header[k]), *(len(r[k]) for r in rows)) if rows else len(header[k])
              for k in range(len(header))]
    line = lambda cells: "  ".join(c.rjust(w) if k in (2, 3, 4, 5, 7, 8, 9, 10) else c.ljust(w)  # noqa: E731
                                   for k, (c, w) in enumerate(zip(cells, widths))).rstrip()
    return "\n".join([line(header), line(["-" * w for w in widths])] + [line(r) for r in rows])


def markdown_table(header: list[str], rows: list[list[str]]) -> str:
    out = ["| " + " | ".join(header) + " |", "|" + "|".join(" --- " for _ in header) + "|"]
    out += ["| " + " | ".join(r) + " |" for r in rows]
    return "\n".join(out)


@dataclass
class Target:
    text: str
    goal: str
    measured: str
    status: str


def find(rows: list[Row], kernel: str, workload: str, n: int) -> Row | None:
    return next((r for r in rows if r.kernel == kernel and r.workload == workload and r.n == n),
                None)


def ratio_target(text: str, row: Row | None, other: str, goal: float) -> Target:
    goal_text = f">= {goal:g}x"
    if row is None:
        return Target(text, goal_text, "-", "NOT MEASURED")
    if not row.verified:
        return Target(text, goal_text, "-", "MISSED (results differ)")
    timing = getattr(row, other)
    value = row.ratio(timing)
    estimated = timing.estimated or row.module.estimated
    status = "MET" if value is not None and value >= goal else "MISSED"
    return Target(text, goal_text, fmt_ratio(value, estimated),
                  status + (" (estimated)" if estimated else ""))


def evaluate_targets(rows: list[Row], omp: dict | None) -> list[Target]:
    targets = [ratio_target("broad phase, Voronoi 20,000 cells: faster than the baseline",
                            find(rows, "broad", "voronoi", 20000), "baseline", 100)]

    small, large = find(rows, "broad", "voronoi", 10000), find(rows, "broad", "voronoi", 100000)
    text = "broad phase, Voronoi: time at 100,000 cells / time at 10,000"
    if small is None or large is None or small.module.ms is None or large.module.ms is None:
        targets.append(Target(text, "<= 15x", "-", "NOT MEASURED"))
    elif not (small.verified and large.verified):
        targets.append(Target(text, "<= 15x", "-", "MISSED (results differ)"))
    else:
        value = large.module.ms / small.module.ms
        est = large.module.estimated
        targets.append(Target(text, "<= 15x", fmt_ratio(value, est),
                              ("MET" if value <= 15 else "MISSED") + (" (estimated)" if est
                                                                      else "")))

    text = "broad phase, dense cluster: module time / baseline time"
    dense = [r for r in rows if r.kernel == "broad" and r.workload == "dense"
             and not r.baseline.estimated and r.module.ms is not None and r.n >= 10000]
    if not dense:
        targets.append(Target(text, "<= 1.1x", "-", "NOT MEASURED"))
    else:
        r = max(dense, key=lambda r: r.n)
        if not r.verified:
            targets.append(Target(text, "<= 1.1x", "-", "MISSED (results differ)"))
        else:
            speed_up = r.ratio(r.baseline) or 0.0
            value = 1 / speed_up if speed_up else float("inf")
            targets.append(Target(f"{text} ({r.n:,} cells)", "<= 1.1x", f"{value:.2f}x",
                                  "MET" if value <= 1.1 else "MISSED"))

    narrow = find(rows, "narrow", "voronoi-2c", 20000)
    targets.append(ratio_target("narrow phase, Voronoi 20,000 cells, two collections: faster "
                                "than the baseline (one thread)", narrow, "baseline", 3))
    targets.append(ratio_target("narrow phase, same: faster than the numpy peer", narrow,
                                "peer", 30))

    text = "narrow phase, OpenMP build: 1-thread time / 2-thread time"
    if not omp or any("ms" not in omp.get(t, {}) for t in (1, 2)):
        targets.append(Target(text, ">= 1.7x", "-", "NOT MEASURED"))
    elif not all(omp[t].get("equal") for t in (1, 2)):
        targets.append(Target(text, ">= 1.7x", "-", "MISSED (results differ)"))
    else:
        value = omp[1]["ms"] / omp[2]["ms"]
        targets.append(Target(f"{text} ({omp['workload']}, {omp['n']:,} cells)", ">= 1.7x",
                              f"{value:.2f}x", "MET" if value >= 1.7 else "MISSED"))
    return targets


def machine() -> dict:
    model = platform.processor() or "unknown"
    try:
        for line in subprocess.run(["lscpu"], capture_output=True, text=True).stdout.splitlines():
            if line.startswith("Model name:"):
                model = line.split(":", 1)[1].strip()
    except OSError:
        pass
    info = {"cpu": model, "cores": os.cpu_count(), "python": platform.python_version(),
            "load": "/".join(f"{x:.1f}" for x in os.getloadavg()),
            "numpy": np.__version__,
            "OPENBLAS_CORETYPE": os.environ.get("OPENBLAS_CORETYPE", "(unset)"),
            "OPENBLAS_L2_SIZE": os.environ.get("OPENBLAS_L2_SIZE", "(unset)")}
    try:
        from threadpoolctl import threadpool_info
        info["blas"] = ", ".join(sorted({
            f"{p.get('internal_api')} {p.get('version', '')} {p.get('architecture', '')}".strip()
            for p in threadpool_info() if p.get("user_api") == "blas"}))
    except ImportError:
        pass
    return info


# --- main ------------------------------------------------------------------------------------

def parse_args(argv: list[str] | None) -> argparse.Namespace:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--full", action="store_true",
                   help=f"all sizes {FULL_SIZES} for every workload, with a 15-minute time box")
    p.add_argument("--sizes", type=lambda s: [int(x) for x in s.split(",")],
                   help="comma-separated sizes for every workload (instead of the quick set)")
    p.add_argument("--kinds", default="voronoi,uniform,dense",
                   help="workloads: voronoi, uniform, dense (default all)")
    p.add_argument("--repeat", type=int, default=5, help="runs per measurement (median; 5)")
    p.add_argument("--repeat-budget", type=float, default=15.0,
                   help="stop repeating a measurement after this many seconds (15)")
    p.add_argument("--time-box", type=float, default=None,
                   help="seconds one run may be predicted to take before it is estimated "
                        "instead (quick 30, full 900)")
    p.add_argument("--peer-links", type=int, default=3000,
                   help="links timed for the numpy peer; more are extrapolated (3000)")
    p.add_argument("--near-ulps", type=int, default=4,
                   help="ulps around the threshold that count as near it (4)")
    p.add_argument("--module", default="cellprox_gnu", help="module to import (cellprox_gnu)")
    p.add_argument("--baseline-lib", type=Path,
                   default=ROOT / "build" / "bench" / "bench" / library_name("gnu"))
    p.add_argument("--omp-dir", default=str(ROOT / "build" / "bench-omp"),
                   help="build directory of the CELLPROX_OPENMP=ON module ('' to skip)")
    p.add_argument("--cache-dir", type=Path, default=ROOT / "build" / "bench" / "workloads")
    p.add_argument("--json", type=Path, help="also write the results as JSON here")
    p.add_argument("--markdown", type=Path, help="also write the results as markdown here")
    return p.parse_args(argv)


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    time_box = args.time_box or (900.0 if args.full else 30.0)
    clock = Clock(args.repeat, time_box, args.repeat_budget)
    module = import_module(args.module)
    baseline = Baseline(args.baseline_lib)
    kinds = [k for k in args.kinds.split(",") if k]
    log(f"module {getattr(module, '__file__', args.module)}\nbaseline {baseline.path}")

    rows: list[Row] = []
    narrow_for_omp = None
    for kind in kinds:
        sizes = args.sizes or (FULL_SIZES if args.full else QUICK_SIZES[kind])
        for n in sorted(sizes):
            log(f"[{kind} {n:,}] making the cells")
            variants = make(kind, n, cache_dir=args.cache_dir)
            log(f"[{kind} {n:,}] broad phase")
            broad, tables = bench_broad(variants[0], module, baseline, clock, kind)
            rows.append(broad)
            log("  " + " | ".join(row_cells(broad)))
            for w in variants:
                log(f"[{w.name} {n:,}] narrow phase")
                row, expected = bench_narrow(w, tables, module, baseline, clock,
                                             args.peer_links, args.near_ulps)
                rows.append(row)
                log("  " + " | ".join(row_cells(row)))
                if w.name == "voronoi-2c" and n == 20000:
                    narrow_for_omp = (w, tables, expected)

    omp = None
    omp_dir = Path(args.omp_dir) if args.omp_dir else None
    if omp_dir is not None and not omp_dir.is_dir():
        log(f"no OpenMP build at {omp_dir}: its narrow phase is not measured")
    elif omp_dir is not None:
        if narrow_for_omp is None:   # the narrow target's workload, made if not benchmarked
            w = make("voronoi", 20000, cache_dir=args.cache_dir)[1]
            tables = LinkTables(w.corners).run(baseline.get_bb_intersections)
            records = CellRecords(w, tables)   # alive while the baseline reads it
            expected = baseline.generate_neighbors(records.address, w.n, tables.n_links,
                                                   w.threshold)
            narrow_for_omp = (w, tables, expected)
        w, tables, expected = narrow_for_omp
        log(f"[{w.name} {w.n:,}] narrow phase of the OpenMP build, 1 and 2 threads")
        omp = bench_openmp(w, tables, expected, omp_dir, args.repeat)
        omp.update(workload=w.name, n=w.n, first_block_share=first_block_share(tables, 2))

    targets = evaluate_targets(rows, omp)
    report(rows, targets, omp, args, time_box)
    ok = all(r.verified for r in rows) and not any(
        isinstance(v, dict) and v.get("equal") is False for v in (omp or {}).values())
    return 0 if ok else 1


def report(rows: list[Row], targets: list[Target], omp: dict | None,
           args: argparse.Namespace, time_box: float) -> None:
    table = [row_cells(r) for r in rows]
    notes = [
        "Times: wall-clock median of up to {} runs; '~' marks an estimate (a run "
        "predicted to exceed the {:.0f} s time box, extrapolated from the two largest sizes "
        "measured; numpy peer timed on {} sampled links and scaled to all).".format(
            args.repeat, time_box, args.peer_links),
        "check: module vs baseline, bit for bit (broad: widened boxes, links, link_starts, "
        "link_count, n_links; where the baseline was not run, against the tables rebuilt "
        "from the exact overlapping pairs). near thr.: links with a vertex or edge pair within "
        f"{args.near_ulps} ulps of the threshold and none below it (decisions rounding could "
        "flip; expected 0).",
    ]
    omp_lines = []
    if omp and "first_block_share" in omp:
        share = omp["first_block_share"]
        omp_lines.append(f"Static schedule of the cell loop on 2 threads: the first half of "
                         f"the cells owns {share:.0%} of the links (a pair is recorded in the "
                         f"lower row), so if links cost about alike, a split by cells bounds the "
                         f"2-thread speed-up near {1 / share:.2f}x; a split by links would not.")
    if omp:
        for threads in (1, 2):
            r = omp.get(threads, {})
            omp_lines.append(f"OpenMP build, narrow phase, {omp['workload']} {omp['n']:,} cells, "
                             f"OMP_NUM_THREADS={threads}: "
                             + (f"{r['ms']:.1f} ms (median of {r['runs']}), results "
                                f"{'equal to the baseline' if r['equal'] else 'DIFFER'}"
                                if "ms" in r else f"failed: {r.get('error')}"))
    target_rows = [[t.text, t.goal, t.measured, t.status] for t in targets]
    info = machine()
    machine_line = (f"Machine: {info['cpu']}, {info['cores']} cores; Python {info['python']}, "
                    f"numpy {info['numpy']}, BLAS {info.get('blas', 'unknown')}; "
                    f"OPENBLAS_CORETYPE {info['OPENBLAS_CORETYPE']}, "
                    f"OPENBLAS_L2_SIZE {info['OPENBLAS_L2_SIZE']}; load average at the end "
                    f"{info['load']} (1, 5, 15 min)"
                    + ("; above the core count: other work shared the cores, timings are noisy."
                       if os.getloadavg()[1] > (os.cpu_count() or 1) - 0.5 else "."))
    print()
    print(machine_line)
    print()
    print(text_table(HEADER, table))
    print()
    for line in notes + omp_lines:
        print(line)
    print()
    print(text_table(["target", "goal", "measured", "status"], target_rows))
    for r in rows:
        for d in r.details:
            print(f"  {r.kernel} {r.workload} {r.n:,}: {d}")
    if args.markdown:
        md = [machine_line, "", markdown_table(HEADER, table), ""]
        md += [n + "  " for n in notes + omp_lines]
        md += ["", markdown_table(["target", "goal", "measured", "status"], target_rows), ""]
        args.markdown.parent.mkdir(parents=True, exist_ok=True)
        args.markdown.write_text("\n".join(md))
    if args.json:
        args.json.parent.mkdir(parents=True, exist_ok=True)
        args.json.write_text(json.dumps({
            "machine": info, "rows": [asdict(r) for r in rows],
            "targets": [asdict(t) for t in targets], "openmp": omp}, indent=1, default=str))


if __name__ == "__main__":
    sys.exit(main())
