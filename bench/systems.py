"""What the benchmark times: the module, the baseline (the direct algorithms), the numpy and
scipy peers, and the OpenMP build in a worker process of its own; each measurement comes with
the check that makes its ratios count.

Times are wall-clock medians of several runs. A run that would take longer than the time box
(extrapolated from the previous size) is not made: its time is estimated from the two largest
sizes measured and marked as estimated.
"""
from __future__ import annotations

import gc
import importlib
import json
import math
import os
import statistics
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

import compare
import peers
from baseline import Baseline
from workloads import CellRecords, LinkTables, Workload

HERE = Path(__file__).resolve().parent


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
    peer_t, peer_name = Timing(), "-"
    if w.pair_peer:
        peer_t, peer_name = clock.measure(f"broad/{name}/kdtree", w.n, lambda: w.corners,
                                          peers.kdtree_pairs), "cKDTree"
    source = "baseline"
    if want is None and not w.pair_peer:
        return Row("broad", name, w.n, got.n_links if got else 0, module_t, baseline_t, peer_t,
                   peer_name, "not checked (baseline over the time box)"), got
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
    row = Row("broad", name, w.n, want.n_links, module_t, baseline_t, peer_t, peer_name, check,
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
                 repeat: int, phase: str = "narrow") -> dict:
    """The OpenMP build's narrow or broad phase at OMP_NUM_THREADS=1 and 2, each in its own
    process, checked against the reference tables (broad) or result (narrow)."""
    results: dict = {"phase": phase, "workload": w.kind if phase == "broad" else w.name,
                     "n": w.n}
    with tempfile.TemporaryDirectory() as tmp:
        data = Path(tmp) / "workload.npz"
        np.savez(data, vertices=w.vertices, v_start=w.v_start, v_count=w.v_count,
                 edges=w.edges, e_start=w.e_start, e_count=w.e_count, origins=w.origins,
                 collections=w.collections, corners=w.corners, links=tables.links,
                 link_starts=tables.link_starts, link_count=tables.link_count,
                 n_links=tables.n_links, bbox=tables.bbox, threshold=w.threshold,
                 expected=expected)
        for threads in (1, 2):
            env = dict(os.environ, OMP_NUM_THREADS=str(threads))
            done = subprocess.run(
                [sys.executable, str(HERE / "omp_worker.py"), str(module_dir), str(data),
                 str(repeat), phase], env=env, capture_output=True, text=True, timeout=1800)
            if done.returncode != 0:
                results[threads] = {"error": done.stderr.strip().splitlines()[-1:]}
            else:
                results[threads] = json.loads(done.stdout.strip().splitlines()[-1])
    return results


def narrow_reference(w: Workload, baseline: Baseline) -> tuple[LinkTables, np.ndarray]:
    """The baseline's link tables and narrow-phase result for a workload (not timed)."""
    tables = LinkTables(w.corners).run(baseline.get_bb_intersections)
    records = CellRecords(w, tables)   # alive while the baseline reads it
    return tables, baseline.generate_neighbors(records.address, w.n, tables.n_links, w.threshold)


def first_block_share(tables: LinkTables, threads: int) -> float:
    """The share of all links that the first of `threads` static blocks of cells owns (the
    cell loop's static schedule: contiguous blocks of nearly equal cell counts)."""
    n = len(tables.link_count)
    first = n // threads + (1 if n % threads else 0)
    total = int(tables.link_count.sum(dtype=np.int64))
    return int(tables.link_count[:first].sum(dtype=np.int64)) / total if total else 0.0
