"""The whole journey in one call: boxes, broad phase, cell records, narrow phase."""
from __future__ import annotations

import math
import time
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Protocol, cast, runtime_checkable

import numpy as np
import numpy.typing as npt

from cellprox._native import NativeModule
from cellprox.cells import MAX_CELL_LINKS, CellSet

__all__ = ["NeighborResult", "find_neighbors", "link_tables"]

_FLOAT32_MAX = float(np.finfo(np.float32).max)
#: The margin the broad phase adds to every side of every box.
BOX_MARGIN = 0.002


@runtime_checkable
class CellSource(Protocol):
    """Anything that can give a CellSet, such as a :class:`cellprox.fracture.Fracture`."""

    def cell_set(self) -> CellSet: ...


@dataclass
class NeighborResult:
    """What :func:`find_neighbors` found.

    ``pairs`` are the confirmed neighbours: (m, 2) int32 cell numbers, ``i < j`` in each row,
    rows sorted; ``distances[k]`` is the distance between the origins of ``pairs[k]``.

    The raw tables, for those who want them: ``bbox`` (the boxes as the broad phase widened
    them: corner 0 the lower, corner 1 the upper bounds; for a threshold above 0.004 grown by
    half the excess beforehand), ``links``, ``link_starts``, ``link_count`` and ``n_links`` as
    the broad phase left them, ``link_pairs`` ((n_links, 2): the cells of each link slot, row
    owner first) and ``link_distances`` (the narrow phase's result, -1.0 where not confirmed).
    ``cells`` are the records the narrow phase read, links attached.

    ``missed_pairs`` counts pairs of cells whose widened boxes overlap but that the broad phase
    could not record because both cells' rows of 30 link slots were full; when it is not 0,
    some neighbours may be missing from ``pairs``. ``timings`` holds the seconds each step took.

    ``rule`` is the closeness rule that found the pairs. With ``"hull"``, ``gaps[k]`` is the
    distance between the convex hulls of ``pairs[k]`` (float64), ``n_links`` the number of
    candidate pairs measured, and the kernels' tables (``bbox``, ``links``, ``link_starts``,
    ``link_count``, ``link_pairs``, ``link_distances``) have no rows; ``missed_pairs`` is 0, as
    the hull rule measures every candidate. With ``"vertices-edges"`` ``gaps`` is None.
    """

    pairs: npt.NDArray[np.int32]
    distances: npt.NDArray[np.float32]
    threshold: float
    n_links: int
    bbox: npt.NDArray[np.float32]
    links: npt.NDArray[np.int32]
    link_starts: npt.NDArray[np.int32]
    link_count: npt.NDArray[np.uint8]
    link_pairs: npt.NDArray[np.int32]
    link_distances: npt.NDArray[np.float32]
    cells: CellSet
    missed_pairs: int = 0
    timings: dict[str, float] = field(default_factory=dict)
    gaps: npt.NDArray[np.float64] | None = None
    rule: str = "vertices-edges"

    def __len__(self) -> int:
        return len(self.pairs)

    def neighbor_counts(self) -> npt.NDArray[np.int64]:
        """The number of confirmed neighbours of each cell, (n,)."""
        return np.bincount(self.pairs.ravel(), minlength=len(self.cells))


def link_tables(cell_count: int) -> tuple[npt.NDArray[np.int32], npt.NDArray[np.int32],
                                          npt.NDArray[np.uint8]]:
    """Empty link tables as the broad phase requires: links (n, 30) all -1, link_starts all -1,
    link_count all 0."""
    return (np.full((cell_count, MAX_CELL_LINKS), -1, np.int32),
            np.full(cell_count, -1, np.int32),
            np.zeros(cell_count, np.uint8))


def find_neighbors(cells: CellSet | CellSource | Sequence[npt.ArrayLike], threshold: float, *,
                   edges: Sequence[npt.ArrayLike] | None = None,
                   origins: npt.ArrayLike | None = None,
                   collections: npt.ArrayLike | None = None,
                   debug: bool = False, rule: str = "vertices-edges") -> NeighborResult:
    """Finds the pairs of cells that come closer than ``threshold``.

    ``cells`` is a :class:`CellSet`, anything with a ``cell_set()`` method (a
    :class:`~cellprox.fracture.Fracture`), or a sequence of per-cell (v, 3) vertex arrays, in
    which case ``edges`` (one (e, 2) array per cell) is required and ``origins`` and
    ``collections`` (default: all 0) are passed on to :class:`CellSet`.

    Cells of the same collection are close when a vertex of one lies within ``threshold`` of a
    vertex of the other; cells of different collections when an edge of one lies within
    ``threshold`` of an edge of the other. Only pairs whose vertex bounding boxes, widened by
    0.002 on every side, overlap are examined: ``threshold`` should not exceed 0.004.
    With ``debug`` the native module prints a summary of three cells to standard output.

    ``rule`` chooses the closeness rule: ``"vertices-edges"`` (the default) is the kernels' rule
    above; with ``"hull"`` two cells are close when the convex hulls of their vertices are at
    most ``threshold`` apart (0 when they overlap), whatever their collections, and every pair
    of cells whose boxes come that close is measured (see :mod:`cellprox.hull`). ``edges`` are
    optional for it, ``threshold`` may be 0 and has no upper limit, and ``debug`` does not apply.
    """
    if _check_rule(rule) == "hull":
        from cellprox.hull import find_hull_neighbors

        return find_hull_neighbors(cells, threshold, edges=edges, origins=origins,
                                   collections=collections, debug=debug)
    from cellprox import native

    cell_set = _as_cell_set(cells, edges, origins, collections)
    value = _check_threshold(threshold)
    return _run(native, cell_set, value, debug)


RULES = ("vertices-edges", "hull")


def _check_rule(rule: object) -> str:
    if not isinstance(rule, str):
        raise TypeError(f"find_neighbors: rule must be a str, one of {', '.join(map(repr, RULES))}; "
                        f"not {type(rule).__name__}")
    if rule not in RULES:
        raise ValueError(f"find_neighbors: rule {rule!r} is not known; choose "
                         f"{' or '.join(map(repr, RULES))}")
    return rule


def _as_cell_set(cells: object, edges: Sequence[npt.ArrayLike] | None,
                 origins: npt.ArrayLike | None, collections: npt.ArrayLike | None) -> CellSet:
    if isinstance(cells, (CellSet, CellSource)):
        given = [name for name, value in (("edges", edges), ("origins", origins),
                                          ("collections", collections)) if value is not None]
        if given:
            raise ValueError(
                f"find_neighbors: {', '.join(given)} apply only to per-cell vertex arrays; a "
                f"{type(cells).__name__} already has them. Build the CellSet with the values "
                "you want instead")
        return cells if isinstance(cells, CellSet) else cells.cell_set()
    if edges is None:
        raise ValueError(
            "find_neighbors: given per-cell vertex arrays, it also needs edges=[...] with one "
            "(e, 2) array of vertex numbers per cell; or pass a CellSet")
    if not isinstance(cells, Sequence) and not isinstance(cells, np.ndarray):
        raise ValueError(
            "find_neighbors: cells must be a CellSet, a Fracture or a sequence of (v, 3) vertex "
            f"arrays, not {type(cells).__name__}")
    vertices = cast("Sequence[npt.ArrayLike]", cells)
    return CellSet(vertices, edges, origins=origins,
                   collections=0 if collections is None else collections)


def _check_threshold(threshold: object) -> float:
    try:
        value = float(threshold)  # type: ignore[arg-type]
    except (TypeError, ValueError):
        raise ValueError(
            f"find_neighbors: threshold must be a number (a distance), not {threshold!r}") from None
    if not (math.isfinite(value) and 0.0 < value <= _FLOAT32_MAX):
        raise ValueError(
            f"find_neighbors: threshold is {value}, but it must be a positive finite distance "
            "(no pair of cells is closer than 0 or less); try 0.001")
    return value


def _run(native: NativeModule, cells: CellSet, threshold: float, debug: bool) -> NeighborResult:
    n = len(cells)
    timings: dict[str, float] = {}
    start = time.perf_counter()
    bbox = _grown(cells.corners(), threshold / 2 - BOX_MARGIN)
    links, link_starts, link_count = link_tables(n)
    timings["corners"] = time.perf_counter() - start

    start = time.perf_counter()
    n_links = native.get_bb_intersections(bbox, n, links, link_starts, link_count)
    timings["broad_phase"] = time.perf_counter() - start

    start = time.perf_counter()
    linked = cells.copy().attach_links(links, link_starts, link_count)
    timings["records"] = time.perf_counter() - start

    start = time.perf_counter()
    link_distances = native.generate_neighbors(linked.address, n, n_links, threshold,
                                               1 if debug else 0)
    timings["narrow_phase"] = time.perf_counter() - start

    start = time.perf_counter()
    link_pairs = _link_pairs(links, link_starts, link_count, n_links)
    confirmed = link_distances >= 0
    pairs = np.sort(link_pairs[confirmed], axis=1)
    distances = link_distances[confirmed]
    order = np.lexsort((pairs[:, 1], pairs[:, 0]))
    missed = _unrecorded_pairs(bbox, links, link_count)
    timings["collect"] = time.perf_counter() - start
    return NeighborResult(
        pairs=pairs[order], distances=distances[order], threshold=threshold, n_links=n_links,
        bbox=bbox, links=links, link_starts=link_starts, link_count=link_count,
        link_pairs=link_pairs, link_distances=link_distances, cells=linked,
        missed_pairs=missed, timings=timings)


def _grown(corners: npt.NDArray[np.float32], pad: float) -> npt.NDArray[np.float32]:
    """The boxes grown by ``pad`` on every side (when positive): upper corners up, lower down."""
    if pad <= 0:
        return corners
    upper = (np.arange(8)[:, None] >> np.arange(3)[None, :]) & 1 == 1     # (corner, axis)
    return (corners + np.where(upper, pad, -pad).astype(np.float32)).astype(np.float32)


def _link_pairs(links: npt.NDArray[np.int32], link_starts: npt.NDArray[np.int32],
                link_count: npt.NDArray[np.uint8], n_links: int) -> npt.NDArray[np.int32]:
    """(n_links, 2): for each result slot, the cell owning it and the cell it names."""
    counts = link_count.astype(np.int64)
    owner = np.repeat(np.arange(len(counts)), counts)
    within = np.arange(len(owner)) - np.repeat(np.cumsum(counts) - counts, counts)
    slots = link_starts[owner].astype(np.int64) + within
    pairs = np.full((n_links, 2), -1, np.int32)
    pairs[slots, 0] = owner
    pairs[slots, 1] = links[owner, within]
    return pairs


def _unrecorded_pairs(bbox: npt.NDArray[np.float32], links: npt.NDArray[np.int32],
                      link_count: npt.NDArray[np.uint8]) -> int:
    """Pairs of full rows whose widened boxes overlap but that no row records.

    The broad phase drops a pair only when both its rows are full, and rows only fill up, so
    these are exactly the pairs it dropped.
    """
    full = np.flatnonzero(link_count >= MAX_CELL_LINKS)
    if len(full) < 2:
        return 0
    a, b = overlapping_boxes(bbox[full, 0, :], bbox[full, 1, :])
    a, b = full[a], full[b]
    n = np.int64(len(bbox))
    rows = links[full, :MAX_CELL_LINKS].astype(np.int64)
    owners = np.broadcast_to(full[:, None], rows.shape)
    valid = rows >= 0
    recorded = (np.minimum(owners, rows) * n + np.maximum(owners, rows))[valid]
    return int((~np.isin(a * n + b, recorded)).sum())


def overlapping_boxes(lower: npt.NDArray[np.float32], upper: npt.NDArray[np.float32]
                      ) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64]]:
    """All pairs (a, b), a < b, of boxes that overlap strictly on every axis, as the broad
    phase tests them; ``lower`` and ``upper`` are (k, 3). A uniform grid as coarse as the
    largest box keeps it near linear for boxes of similar size."""
    k = len(lower)
    extent = (upper - lower).astype(np.float64).max(axis=0)
    step = np.where(extent > 0, extent, 1.0)
    grid = np.floor((lower - lower.min(axis=0)) / step).astype(np.int64) + 1
    dims = grid.max(axis=0) + 2
    key = (grid[:, 0] * dims[1] + grid[:, 1]) * dims[2] + grid[:, 2]
    order = np.argsort(key, kind="stable")
    sorted_key = key[order]
    found_a, found_b = [], []
    for dx in (-1, 0, 1):
        for dy in (-1, 0, 1):
            for dz in (-1, 0, 1):
                probe = key + (dx * dims[1] + dy) * dims[2] + dz
                first = np.searchsorted(sorted_key, probe, "left")
                count = np.searchsorted(sorted_key, probe, "right") - first
                a = np.repeat(np.arange(k), count)
                run = np.arange(len(a)) - np.repeat(np.cumsum(count) - count, count)
                b = order[np.repeat(first, count) + run]
                keep = a < b
                a, b = a[keep], b[keep]
                hit = ((upper[a] > lower[b]) & (upper[b] > lower[a])).all(axis=1)
                found_a.append(a[hit])
                found_b.append(b[hit])
    return np.concatenate(found_a), np.concatenate(found_b)
