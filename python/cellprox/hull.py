"""The hull rule: cells are close when the convex hulls of their vertices are within a distance.

Unlike the kernels' rule it asks nothing of edges or collections: two cells are close when the
Euclidean distance between the convex hulls of their vertex sets is at most ``threshold``, and
overlapping, touching or nested hulls are at distance 0. Every pair of cells whose vertex boxes
come within ``threshold`` of each other is measured (no row limit), in double precision, by the
private native module ``cellprox._hull``.
"""
from __future__ import annotations

import math
import numbers
import time
from collections.abc import Sequence

import numpy as np
import numpy.typing as npt

from cellprox import _hull
from cellprox.cells import MAX_CELL_LINKS, CellSet

__all__ = ["check_hull_threshold", "empty_link_tables", "hull_cells", "hull_neighbors",
           "origin_distances"]


def check_hull_threshold(threshold: object) -> float:
    """``threshold`` as a float: a TypeError unless it is a real number, a ValueError unless it
    is finite and not negative."""
    if isinstance(threshold, bool) or not isinstance(threshold, numbers.Real):
        raise TypeError(
            f"find_neighbors: threshold must be a real number (a distance), not "
            f"{type(threshold).__name__} {threshold!r}; for example 0.001")
    value = float(threshold)
    if not (math.isfinite(value) and value >= 0.0):
        raise ValueError(
            f"find_neighbors: threshold is {value}, but the hull rule needs a finite distance "
            ">= 0 (0 finds the cells that touch or overlap); for example 0.001")
    return value


def hull_cells(vertices: Sequence[npt.ArrayLike], edges: Sequence[npt.ArrayLike] | None,
               origins: npt.ArrayLike | None, collections: npt.ArrayLike | None) -> CellSet:
    """Per-cell vertex arrays as a CellSet; edges may be left out (then each cell has none)."""
    if isinstance(vertices, np.ndarray) and vertices.dtype != object and vertices.ndim == 2:
        raise TypeError(
            f"find_neighbors: cells is one {vertices.shape} array, but it must be a sequence "
            "with one (v, 3) vertex array per cell; for a single cell pass [vertices]")
    if not isinstance(vertices, (Sequence, np.ndarray)):
        raise TypeError(
            "find_neighbors: cells must be a CellSet, a Fracture or a sequence of (v, 3) vertex "
            f"arrays, not {type(vertices).__name__}")
    if edges is None:
        edges = [np.zeros((0, 2), np.int32)] * len(vertices)
    return CellSet(vertices, edges, origins=origins,
                   collections=0 if collections is None else collections)


def _check_vertices(cells: CellSet) -> None:
    empty = np.flatnonzero(cells.v_counts == 0)
    if empty.size:
        raise ValueError(
            f"find_neighbors: cell {int(empty[0])} has no vertices, but the hull rule measures "
            "the hull of each cell's vertices; give it at least one vertex or leave it out")
    bad = ~np.isfinite(cells.vertex_data).all(axis=1)
    if bad.any():
        row = int(np.argmax(bad))
        cell = int(np.searchsorted(np.cumsum(cells.v_counts), row, side="right"))
        raise ValueError(
            f"find_neighbors: cell {cell}: vertex {row - int(cells.vertex_starts[cell])} is "
            f"{tuple(cells.vertex_data[row].tolist())}; coordinates must be finite. Remove or "
            "fix the vertex")


def hull_neighbors(cells: CellSet, threshold: float) -> tuple[
        npt.NDArray[np.int32], npt.NDArray[np.float64], int, dict[str, float]]:
    """The close pairs (sorted, i < j), their hull distances, the number of candidates measured
    and the seconds each step took. ``threshold`` must have passed check_hull_threshold."""
    timings: dict[str, float] = {}
    start = time.perf_counter()
    _check_vertices(cells)
    starts = np.zeros(len(cells) + 1, np.int64)
    np.cumsum(cells.v_counts, out=starts[1:])
    vertices = np.ascontiguousarray(cells.vertex_data, np.float32)
    timings["checks"] = time.perf_counter() - start

    start = time.perf_counter()
    pair_bytes, gap_bytes, candidates = _hull.close_pairs(vertices, starts, threshold)
    timings["hull_phase"] = time.perf_counter() - start
    pairs = np.frombuffer(pair_bytes, np.int32).reshape(-1, 2)
    gaps = np.frombuffer(gap_bytes, np.float64)
    return pairs, gaps, candidates, timings


def empty_link_tables() -> tuple[npt.NDArray[np.float32], npt.NDArray[np.int32],
                                 npt.NDArray[np.int32], npt.NDArray[np.uint8]]:
    """The kernels' tables as the hull rule leaves them: none (bbox, links, link_starts,
    link_count with no rows)."""
    return (np.zeros((0, 8, 3), np.float32), np.zeros((0, MAX_CELL_LINKS), np.int32),
            np.zeros(0, np.int32), np.zeros(0, np.uint8))


def origin_distances(cells: CellSet, pairs: npt.NDArray[np.int32]) -> npt.NDArray[np.float32]:
    """The distance between the origins of each pair's cells, measured in double precision."""
    origin_points = cells.origins.astype(np.float64)
    offsets = origin_points[pairs[:, 1]] - origin_points[pairs[:, 0]]
    with np.errstate(over="ignore"):     # beyond float32's range an origin distance reads inf
        distances: npt.NDArray[np.float32] = np.sqrt(
            (offsets * offsets).sum(axis=1)).astype(np.float32)
    return distances
