"""The whole journey in one call: boxes, broad phase, cell records, narrow phase."""
from __future__ import annotations

import math
import numbers
import time
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Protocol, cast, runtime_checkable

import numpy as np
import numpy.typing as npt

from cellprox._gather import collect_pairs
from cellprox._native import NativeModule
from cellprox.boxes import BOX_MARGIN, BoxFrame, box_frame
from cellprox.cells import MAX_CELL_LINKS, CellSet

__all__ = ["BOX_MARGIN", "NeighborResult", "find_neighbors", "link_tables"]

_FLOAT32_MAX = float(np.finfo(np.float32).max)
#: The largest cell, on any axis, whose edges float32 can compare with another collection's.
EDGE_TEST_LIMIT = 2.0**29


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
    them: corner 0 the lower, corner 1 the upper bounds; measured as ``(x - box_offset) *
    box_scale``, which is ``x`` itself unless the cells lie far from the origin, and grown
    beforehand where half the threshold exceeds the margin), ``links``, ``link_starts``, ``link_count`` and ``n_links`` as
    the broad phase left them, ``link_pairs`` ((n_links, 2): the cells of each link slot, row
    owner first) and ``link_distances`` (the narrow phase's result, -1.0 where not confirmed).
    ``cells`` are the records the narrow phase read, links attached.

    ``missed_pairs`` counts pairs of cells whose widened boxes overlap but that the broad phase
    could not record because both cells' rows of 30 link slots were full; when it is not 0,
    some neighbours may be missing from ``pairs``. ``timings`` holds the seconds each step
    took: ``corners`` (boxes and empty tables), ``broad_phase`` and ``narrow_phase`` (exactly
    the two native calls), ``records`` (attaching the links) and ``collect`` (the pairs); the
    CellSet's construction from per-cell arrays comes before them and is not in them.

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
    box_offset: npt.NDArray[np.float64] = field(default_factory=lambda: np.zeros(3))
    box_scale: float = 1.0
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
    if isinstance(cell_count, (bool, np.bool_)) or not isinstance(cell_count, numbers.Integral):
        raise TypeError(f"link_tables: cell_count must be an integer, not {type(cell_count).__name__}")
    if cell_count < 0:
        raise ValueError(f"link_tables: cell_count is {cell_count}; it must be 0 or more")
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
    ``threshold`` of an edge of the other. Distances are computed in float32 from the cells'
    float32 coordinates and compared with ``threshold`` rounded to float32. Every pair that
    passes is found, wherever the cells lie, unless both cells already have 30 candidates
    (counted in ``missed_pairs``): the broad phase's boxes are measured where its 0.002 margin
    holds and grown where half the threshold exceeds it (see :mod:`cellprox.boxes`).
    With ``debug`` the native module prints a summary of three cells to standard output.

    ``threshold`` is a real number (int, float or a numpy scalar; not a bool) and ``debug`` a
    bool (or 0 or 1); another type is a TypeError. A threshold that is not positive, or that
    float32 rounds to 0 or to infinity, is a ValueError, as is a scene float32 cannot measure:
    cells so large that the edge test's products overflow, or two close cells whose origins are
    too far apart for their distance.

    ``rule`` chooses the closeness rule: ``"vertices-edges"`` (the default) is the kernels' rule
    above; with ``"hull"`` two cells are close when the convex hulls of their vertices are at
    most ``threshold`` apart (0 when they overlap), whatever their collections, and every pair
    of cells whose boxes come that close is measured (see :mod:`cellprox.hull`). ``edges`` are
    optional for it, ``threshold`` may be 0 and has no upper limit, and ``debug`` does not apply.
    """
    if _check_rule(rule) == "hull":
        return _find_hull_neighbors(cells, threshold, edges, origins, collections, debug)
    from cellprox import native

    value = _check_threshold(threshold)
    use_debug = _check_debug(debug)
    cell_set = _as_cell_set(cells, edges, origins, collections)
    # The links go into records of the call's own: a copy, unless the cells were made here.
    made_here = not isinstance(cells, (CellSet, CellSource))
    return _run(native, cell_set if made_here else cell_set.copy(), value, use_debug)


RULES = ("vertices-edges", "hull")


def _find_hull_neighbors(cells: CellSet | CellSource | Sequence[npt.ArrayLike], threshold: object,
                         edges: Sequence[npt.ArrayLike] | None, origins: npt.ArrayLike | None,
                         collections: npt.ArrayLike | None, debug: object) -> NeighborResult:
    """``find_neighbors(..., rule="hull")``: every check is made before native code runs."""
    # Imported here, so that the kernels' rule works even where the hull module is missing.
    from cellprox import hull

    value = hull.check_hull_threshold(threshold)
    if debug:
        raise ValueError("find_neighbors: debug prints the narrow phase's records and applies "
                         "to rule='vertices-edges' only; leave it out with rule='hull'")
    if isinstance(cells, (CellSet, CellSource)):
        cell_set = _as_cell_set(cells, edges, origins, collections)
    else:
        cell_set = hull.hull_cells(cells, edges, origins, collections)
    pairs, gaps, candidates, timings = hull.hull_neighbors(cell_set, value)
    start = time.perf_counter()
    distances = hull.origin_distances(cell_set, pairs)
    timings["collect"] = time.perf_counter() - start
    bbox, links, link_starts, link_count = hull.empty_link_tables()
    return NeighborResult(
        pairs=pairs, distances=distances, threshold=value, n_links=candidates, bbox=bbox,
        links=links, link_starts=link_starts, link_count=link_count,
        link_pairs=np.zeros((0, 2), np.int32), link_distances=np.zeros(0, np.float32),
        cells=cell_set, missed_pairs=0, timings=timings, gaps=gaps, rule="hull")


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
    if isinstance(cells, (str, bytes)) or not isinstance(cells, (Sequence, np.ndarray)):
        raise TypeError(
            "find_neighbors: cells must be a CellSet, a Fracture or a sequence of (v, 3) vertex "
            f"arrays, not {type(cells).__name__}")
    if edges is None:
        raise TypeError(
            "find_neighbors: given per-cell vertex arrays, it also needs edges=[...] with one "
            "(e, 2) array of vertex numbers per cell; or pass a CellSet")
    vertices = cast("Sequence[npt.ArrayLike]", cells)
    return CellSet(vertices, edges, origins=origins,
                   collections=0 if collections is None else collections)


def _check_threshold(threshold: object) -> float:
    if isinstance(threshold, (bool, np.bool_)) or not isinstance(threshold, numbers.Real):
        raise TypeError(
            "find_neighbors: threshold must be a real number (a distance such as 0.001), not "
            f"{type(threshold).__name__}")
    value = float(threshold)
    if not (math.isfinite(value) and value > 0.0):
        raise ValueError(
            f"find_neighbors: threshold is {value}, but it must be a positive finite distance "
            "(no pair of cells is closer than 0 or less); try 0.001")
    with np.errstate(over="ignore"):
        narrowed = np.float32(value)
    if narrowed == 0 or not np.isfinite(narrowed):
        raise ValueError(
            f"find_neighbors: threshold is {value}, which float32 (the precision distances are "
            f"compared in) rounds to {float(narrowed)}; use a threshold between "
            f"{float(np.finfo(np.float32).smallest_subnormal):.3g} and {_FLOAT32_MAX:.7g}")
    return value


def _check_debug(debug: object) -> int:
    if not isinstance(debug, (bool, np.bool_, numbers.Integral)):
        raise TypeError(f"find_neighbors: debug must be True or False, not {type(debug).__name__}")
    return 1 if debug else 0


def _run(native: NativeModule, cells: CellSet, threshold: float, debug: int) -> NeighborResult:
    n = len(cells)
    timings: dict[str, float] = {}
    start = time.perf_counter()
    bbox, frame = _broad_phase_boxes(cells, threshold)
    links, link_starts, link_count = link_tables(n)
    timings["corners"] = time.perf_counter() - start

    start = time.perf_counter()
    n_links = native.get_bb_intersections(bbox, n, links, link_starts, link_count)
    timings["broad_phase"] = time.perf_counter() - start

    start = time.perf_counter()
    linked = cells.attach_links(links, link_starts, link_count)
    timings["records"] = time.perf_counter() - start

    start = time.perf_counter()
    link_distances = native.generate_neighbors(linked.address, n, n_links, threshold, debug)
    timings["narrow_phase"] = time.perf_counter() - start

    start = time.perf_counter()
    link_pairs, pairs, distances = _collect(links, link_count, link_distances)
    _check_distances(link_distances, link_pairs, cells)
    missed = _unrecorded_pairs(bbox, links, link_count)
    timings["collect"] = time.perf_counter() - start
    return NeighborResult(
        pairs=pairs, distances=distances, threshold=threshold, n_links=n_links,
        bbox=bbox, links=links, link_starts=link_starts, link_count=link_count,
        link_pairs=link_pairs, link_distances=link_distances, cells=linked,
        missed_pairs=missed, timings=timings, box_offset=frame.offset, box_scale=frame.scale)


def _broad_phase_boxes(cells: CellSet, threshold: float
                       ) -> tuple[npt.NDArray[np.float32], BoxFrame]:
    """The broad phase's ``bbox`` for these cells and the frame it is measured in."""
    lower, upper = cells.bounds()
    extent = upper.astype(np.float64) - lower     # float32 could overflow to infinity
    sides = np.maximum(np.maximum(extent[:, 0], extent[:, 1]), extent[:, 2])
    filled = cells.v_counts > 0
    if filled.all():
        numbers, filled_lower, filled_upper = np.arange(len(cells)), lower, upper
    else:       # cells without vertices take no part in the frame
        numbers = np.flatnonzero(filled)
        filled_lower, filled_upper, sides = lower[numbers], upper[numbers], sides[numbers]
    _check_edge_test_range(cells, sides, numbers)
    frame = box_frame(filled_lower, filled_upper, float(np.float32(threshold)),
                      float(sides.max()) if len(sides) else 0.0)
    return frame.boxes(lower, upper), frame


def _check_edge_test_range(cells: CellSet, sides: npt.NDArray[np.float32],
                           numbers: npt.NDArray[np.int64]) -> None:
    """The edge test multiplies squared lengths; beyond EDGE_TEST_LIMIT they overflow float32.
    ``sides`` are the largest sides of the cells ``numbers``."""
    collections = cells.collections
    if len(sides) == 0 or not (sides.max() > EDGE_TEST_LIMIT) \
            or (collections == collections[0]).all():
        return
    k = int(np.argmax(sides > EDGE_TEST_LIMIT))
    raise ValueError(
        f"find_neighbors: cell {int(numbers[k])} is {float(sides[k]):.3g} across, but cells of "
        "different collections are compared edge to edge in float32, whose products of squared "
        f"lengths overflow for cells larger than {EDGE_TEST_LIMIT:.3g}; scale the scene down")


def _check_distances(link_distances: npt.NDArray[np.float32], link_pairs: npt.NDArray[np.int32],
                     cells: CellSet) -> None:
    # Where the square overflows, a result is infinite, or not a number where the square root
    # is an estimate refined by multiplication (inf * 0).
    overflow = np.flatnonzero(~np.isfinite(link_distances))
    if overflow.size:
        i, j = (int(x) for x in link_pairs[overflow[0]])
        apart = float(np.linalg.norm(cells.origins[i].astype(np.float64) - cells.origins[j]))
        raise ValueError(
            f"find_neighbors: cells {i} and {j} are close, but their origins are {apart:.3g} "
            "apart, too far for float32 to measure (above 1.8e19); give the cells origins "
            "nearer to them")


def _collect(links: npt.NDArray[np.int32], link_count: npt.NDArray[np.uint8],
             link_distances: npt.NDArray[np.float32]
             ) -> tuple[npt.NDArray[np.int32], npt.NDArray[np.int32], npt.NDArray[np.float32]]:
    """``link_pairs`` and the confirmed pairs with their distances, as :func:`_link_cells` and
    :func:`_confirmed_pairs` find them: in one native pass, without numpy's temporaries over
    every link, unless the tables' sizes disagree."""
    link_pairs = np.empty((len(link_distances), 2), np.int32)
    m = int(np.count_nonzero(link_distances >= 0))
    pairs = np.empty((m, 2), np.int32)
    distances = np.empty(m, np.float32)
    if collect_pairs(links, link_count, link_distances, link_pairs, pairs, distances):
        return link_pairs, pairs, distances
    owner, other = _link_cells(links, link_count)
    pairs, distances = _confirmed_pairs(owner, other, link_distances)
    return np.stack([owner, other], axis=1), pairs, distances


def _link_cells(links: npt.NDArray[np.int32], link_count: npt.NDArray[np.uint8]
                ) -> tuple[npt.NDArray[np.int32], npt.NDArray[np.int32]]:
    """For each result slot, the cell owning it and the cell it names.

    The broad phase, given empty tables, numbers the slots row after row, so the rows' filled
    slots in row order are the slots in order.
    """
    filled = np.arange(links.shape[1]) < link_count[:, None]
    return np.repeat(np.arange(len(link_count), dtype=np.int32), link_count), links[filled]


def _confirmed_pairs(owner: npt.NDArray[np.int32], other: npt.NDArray[np.int32],
                     link_distances: npt.NDArray[np.float32]
                     ) -> tuple[npt.NDArray[np.int32], npt.NDArray[np.float32]]:
    """The pairs whose link passed, smaller cell first, sorted, with their distances."""
    confirmed = np.flatnonzero(link_distances >= 0)
    owner, other = owner[confirmed], other[confirmed]
    key = np.minimum(owner, other).astype(np.int64) << 32 | np.maximum(owner, other)
    # Rows come in order and hold their cells in ascending order, so only the links that moved
    # to the higher cell's row are out of place: a stable sort (timsort) merges them in fast.
    order = np.argsort(key, kind="stable")
    key = key[order]
    pairs = np.empty((len(key), 2), np.int32)
    pairs[:, 0] = key >> 32
    pairs[:, 1] = key & 0xFFFFFFFF
    return pairs, link_distances[confirmed[order]]


def _unrecorded_pairs(bbox: npt.NDArray[np.float32], links: npt.NDArray[np.int32],
                      link_count: npt.NDArray[np.uint8]) -> int:
    """Pairs of cells whose widened boxes overlap but that no row records.

    Row a examines the cells above it in ascending order until it holds 30, and row b
    examines the cells below it first; rows hold their cells in ascending order. So the broad
    phase drops the pair a < b exactly when row a filled up before b (its last cell is below
    b) and row b filled up before a (its last cell is below a), and their boxes overlap.
    """
    full = link_count >= MAX_CELL_LINKS
    last = np.where(full, links[:, MAX_CELL_LINKS - 1], np.iinfo(np.int32).max).astype(np.int64)
    cells = np.arange(len(link_count))
    lower_rows = np.flatnonzero(full)
    # Row b must be filled by cells below some a < b: its last cell lies below b - 1.
    upper_rows = np.flatnonzero(full & (last < cells - 1))
    if len(upper_rows) == 0:
        return 0
    b, a = overlapping_boxes(bbox[upper_rows, 0], bbox[upper_rows, 1],
                             bbox[lower_rows, 0], bbox[lower_rows, 1])
    b, a = upper_rows[b], lower_rows[a]
    return int(np.count_nonzero((a < b) & (last[a] < b) & (last[b] < a)))


def overlapping_boxes(lower: npt.NDArray[np.float32], upper: npt.NDArray[np.float32],
                      other_lower: npt.NDArray[np.float32], other_upper: npt.NDArray[np.float32]
                      ) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64]]:
    """All pairs (p, q) of a box ``p`` of the first set and a box ``q`` of the other that
    overlap strictly on every axis, as the broad phase tests them; bounds are (k, 3). A
    uniform grid over the other set, as coarse as the largest box, keeps it near linear for
    boxes of similar size."""
    extent = np.maximum((upper - lower).max(axis=0), (other_upper - other_lower).max(axis=0))
    step = np.where(extent > 0, extent, 1.0).astype(np.float64)
    base = np.minimum(lower.min(axis=0), other_lower.min(axis=0)).astype(np.float64)

    def grid_cells(points: npt.NDArray[np.float32]) -> npt.NDArray[np.int64]:
        cells: npt.NDArray[np.int64] = np.floor((points - base) / step).astype(np.int64) + 1
        return cells

    grid, probe = grid_cells(other_lower), grid_cells(lower)
    dims = np.maximum(grid.max(axis=0), probe.max(axis=0)) + 2
    key = (grid[:, 0] * dims[1] + grid[:, 1]) * dims[2] + grid[:, 2]
    probe_key = (probe[:, 0] * dims[1] + probe[:, 1]) * dims[2] + probe[:, 2]
    order = np.argsort(key, kind="stable")
    sorted_key = key[order]
    found_p, found_q = [], []
    for dx in (-1, 0, 1):
        for dy in (-1, 0, 1):
            for dz in (-1, 0, 1):
                shifted = probe_key + (dx * dims[1] + dy) * dims[2] + dz
                first = np.searchsorted(sorted_key, shifted, "left")
                count = np.searchsorted(sorted_key, shifted, "right") - first
                p = np.repeat(np.arange(len(lower)), count)
                run = np.arange(len(p)) - np.repeat(np.cumsum(count) - count, count)
                q = order[np.repeat(first, count) + run]
                hit = ((upper[p] > other_lower[q]) & (other_upper[q] > lower[p])).all(axis=1)
                found_p.append(p[hit])
                found_q.append(q[hit])
    return np.concatenate(found_p), np.concatenate(found_q)
