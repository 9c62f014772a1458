"""Checks that the module computes what the direct algorithm computes, before any timing counts.

Broad phase: the module's widened boxes and link tables must equal the baseline's exactly
(n_links, link_count, link_starts, each row up to its count, and all eight corners of every
box). Where the baseline's quadratic pair pass is too slow to run, the reference tables are
rebuilt from the exact set of overlapping pairs with the same row rule (tables_from_pairs).

Narrow phase: the module's per-link results must equal the baseline's bit for bit. Links
whose decision could turn on rounding (some pair of the two cells lies within a few ulps of the
threshold, none clearly below it) are counted; a mismatch outside them is a fault.
"""
from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np

from baseline import Baseline
from workloads import MAX_CELL_LINKS, CellRecords, LinkTables, Workload


def table_differences(got: LinkTables, want: LinkTables, limit: int = 5) -> list[str]:
    """What differs between two broad-phase results (empty when they are equal)."""
    found: list[str] = []
    if got.n_links != want.n_links:
        found.append(f"n_links {got.n_links} != {want.n_links}")
    for name in ("link_count", "link_starts"):
        a, b = getattr(got, name), getattr(want, name)
        bad = np.flatnonzero(a != b)
        if len(bad):
            found.append(f"{name} differs in {len(bad)} cells, first {int(bad[0])}: "
                         f"{int(a[bad[0]])} != {int(b[bad[0]])}")
    counts = np.minimum(want.link_count, MAX_CELL_LINKS).astype(np.int64)
    used = np.arange(MAX_CELL_LINKS)[None, :] < counts[:, None]
    rows = np.flatnonzero(((got.links != want.links) & used).any(axis=1))
    for i in rows[:limit]:
        c = counts[i]
        found.append(f"row {int(i)}: {got.links[i, :c].tolist()} != {want.links[i, :c].tolist()}")
    if len(rows) > limit:
        found.append(f"... {len(rows)} rows differ")
    differ = (got.bbox.view(np.uint32) != want.bbox.view(np.uint32)).any(axis=2)
    boxes = np.flatnonzero(differ.any(axis=1))
    if len(boxes):
        i = int(boxes[0])
        c = int(np.flatnonzero(differ[i])[0])
        found.append(f"bbox differs in {len(boxes)} cells, first cell {i} corner {c}: "
                     f"{got.bbox[i, c].tolist()} != {want.bbox[i, c].tolist()}")
    return found


def tables_from_pairs(corners: np.ndarray, pairs: np.ndarray, baseline: Baseline) -> LinkTables:
    """The broad phase's tables from the set of overlapping pairs (i < j), by the pair pass's
    own rule: row i takes, in ascending order, the cells j that overlap it (j > i, or j < i when
    row j does not name i), up to 30. The boxes are widened by the baseline's box pass."""
    n = len(corners)
    tables = LinkTables(corners)
    baseline.widen_boxes(tables.bbox, n)
    a = np.concatenate([pairs[:, 0], pairs[:, 1]]).astype(np.int64)
    b = np.concatenate([pairs[:, 1], pairs[:, 0]]).astype(np.int64)
    order = np.lexsort((b, a))
    a, b = a[order], b[order]
    bounds = np.searchsorted(a, np.arange(n + 1))
    named_by: list[list[int]] = [[] for _ in range(n)]   # lower rows that name the cell
    n_links = 0
    for i in range(n):
        candidates = b[bounds[i]:bounds[i + 1]]
        if not len(candidates):
            continue
        split = int(np.searchsorted(candidates, i))
        lower = candidates[:split]
        if named_by[i]:
            lower = lower[~np.isin(lower, named_by[i])]
        row = np.concatenate([lower, candidates[split:]])[:MAX_CELL_LINKS]
        if not len(row):
            continue
        tables.links[i, :len(row)] = row
        tables.link_count[i] = len(row)
        tables.link_starts[i] = n_links
        n_links += len(row)
        for j in row[row > i].tolist():
            named_by[j].append(i)
    tables.n_links = n_links
    return tables


def near_bounds(threshold: float, ulps: int) -> tuple[float, float]:
    """The float32 values `ulps` steps below and above the threshold."""
    t = np.float32(threshold)
    lower, upper = t, t
    for _ in range(ulps):
        lower = np.nextafter(lower, np.float32(-np.inf))
        upper = np.nextafter(upper, np.float32(np.inf))
    return float(lower), float(upper)


@dataclass
class NarrowCheck:
    links: int
    mismatches: int          # slots whose bits differ from the baseline's
    near_threshold: int      # links whose decision could turn on rounding
    unexplained: int         # mismatches outside the near-threshold links
    passed: int              # links the baseline reports as close
    examples: list[str] = field(default_factory=list)

    @property
    def equal(self) -> bool:
        return self.mismatches == 0


def narrow_check(got: np.ndarray, want: np.ndarray, records: CellRecords, threshold: float,
                 baseline: Baseline, ulps: int = 4) -> NarrowCheck:
    """Compares two narrow-phase results bit for bit and counts the near-threshold links."""
    lower, upper = near_bounds(threshold, ulps)
    near, category = baseline.classify_links(records.address, records.cell_count,
                                             records.n_links, lower, upper)
    got = np.asarray(got, np.float32)
    if got.shape != want.shape:
        return NarrowCheck(len(want), len(want), near, len(want), int((want >= 0).sum()),
                           [f"result has shape {got.shape}, expected {want.shape}"])
    bad = np.flatnonzero(got.view(np.uint32) != want.view(np.uint32))
    unexplained = bad[category[bad] != 1]
    examples = [f"slot {int(s)}: {got[s]!r} != {want[s]!r}" for s in bad[:5]]
    return NarrowCheck(len(want), len(bad), near, len(unexplained), int((want >= 0).sum()),
                       examples)


def check_workload(module, baseline: Baseline, w: Workload, ulps: int = 4
                   ) -> tuple[list[str], NarrowCheck]:
    """Both kernels of the module against the baseline on one workload (no timing)."""
    want = LinkTables(w.corners).run(baseline.get_bb_intersections)
    got = LinkTables(w.corners).run(module.get_bb_intersections)
    broad = table_differences(got, want)
    records = CellRecords(w, want)
    expected = baseline.generate_neighbors(records.address, w.n, want.n_links, w.threshold)
    result = module.generate_neighbors(records.address, w.n, want.n_links, w.threshold, 0)
    return broad, narrow_check(result, expected, records, w.threshold, baseline, ulps)
