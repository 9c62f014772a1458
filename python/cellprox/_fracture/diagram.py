"""The fracture's cells from one Voronoi diagram: their faces, edges and own vertex numbering.

Given a diagram (scipy.spatial.Voronoi) of some of the fracture's points and the seeds whose
cells it settles, :func:`build_cells` makes each cell's vertex and edge arrays and lists the
pairs of seeds that share a face. The vertices come from :mod:`cellprox._fracture.vertices`, and
each cell numbers its vertices in coordinate order, so a cell is the same whichever diagram it
was read from.
"""
from __future__ import annotations

import itertools
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from cellprox._fracture.vertices import circumcentres


@dataclass(frozen=True)
class Sites:
    """The points of a fracture's diagrams: the seeds 0..n-1, then their mirror images across
    the box's faces, with each point's seed number (``source``); the box's ``size`` and how far
    outside it a vertex may lie by rounding (``tolerance``). The diagram is computed in a frame
    whose largest side is below 1; the cells' vertices are scaled by 2**``exponent`` into the
    caller's frame, exactly."""

    points: npt.NDArray[np.float64]
    source: npt.NDArray[np.int64]
    n: int
    size: npt.NDArray[np.float64]
    tolerance: float
    exponent: int = 0


def flatten(lists: Sequence[Sequence[int]]) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64]]:
    """A list of int lists as one flat array and the lists' lengths."""
    lengths = np.fromiter(map(len, lists), np.int64, len(lists))
    flat = np.fromiter(itertools.chain.from_iterable(lists), np.int64, int(lengths.sum()))
    return flat, lengths


def ragged_rows(lengths: npt.NDArray[np.int64],
                chosen: npt.NDArray[np.int64]) -> npt.NDArray[np.bool_]:
    """Which entries of a flattened ragged list belong to the ``chosen`` lists."""
    mask = np.zeros(len(lengths), bool)
    mask[chosen] = True
    rows: npt.NDArray[np.bool_] = np.repeat(mask, lengths)
    return rows


@dataclass(frozen=True)
class BuiltCells:
    """Cells read from one diagram: every cell's vertices one after another (``vertex_counts``
    of them a cell), its edges likewise, and the pairs (i, j), i < j, of seeds sharing a face.
    One block of arrays rather than a pair of small arrays a cell, so that a block's cells
    cross to another process as a few buffers."""

    vertices: npt.NDArray[np.float32]
    vertex_counts: npt.NDArray[np.int64]
    edges: npt.NDArray[np.int32]
    edge_counts: npt.NDArray[np.int64]
    pairs: npt.NDArray[np.int32]

    def split(self) -> tuple[list[npt.NDArray[np.float32]], list[npt.NDArray[np.int32]]]:
        """Each cell's vertex and edge arrays (views into the blocks)."""
        return _slices(self.vertices, self.vertex_counts), _slices(self.edges, self.edge_counts)


def _slices(rows: npt.NDArray[Any], counts: npt.NDArray[np.int64]) -> list[npt.NDArray[Any]]:
    # Plain slicing: np.split spends five times as long on each of 100,000 small pieces.
    ends = np.cumsum(counts).tolist()
    return [rows[start:end] for start, end in zip([0] + ends[:-1], ends)]


def build_cells(sites: Sites, vor: object, cells: npt.NDArray[np.int64],
                cell_vertices: npt.NDArray[np.int64]) -> BuiltCells:
    """The vertices and edges of ``cells`` (seed numbers, ascending) from one diagram of all the
    ``sites``, whose vertices ``cell_vertices`` are theirs, and the pairs (i, j), i < j, of seeds
    that share a face there, one of them among ``cells``."""
    n, points, size, tolerance = sites.n, sites.points, sites.size, sites.tolerance
    ridge_points = np.asarray(getattr(vor, "ridge_points"), np.int64)
    ridge_flat, ridge_lengths = flatten(getattr(vor, "ridge_vertices"))
    mine = np.zeros(len(points), bool)
    mine[cells] = True

    # Each vertex of these cells, from the points it separates (those of its ridges).
    corner_count = len(getattr(vor, "vertices"))
    needed = np.zeros(corner_count, bool)
    needed[cell_vertices] = True
    ridge_of = np.repeat(np.arange(len(ridge_lengths)), ridge_lengths)
    use = (ridge_flat >= 0) & needed[np.maximum(ridge_flat, 0)]
    pair_keys = np.unique(np.concatenate([
        ridge_flat[use] * len(points) + ridge_points[ridge_of[use], 0],
        ridge_flat[use] * len(points) + ridge_points[ridge_of[use], 1]]))
    corner, generators = pair_keys // len(points), pair_keys % len(points)
    ids, counts = np.unique(corner, return_counts=True)
    corner_points = np.full((corner_count, 3), np.nan)
    corner_points[ids] = circumcentres(generators, counts, points)

    a, b = ridge_points[:, 0], ridge_points[:, 1]
    interior = (a < n) & (b < n)
    # A ridge between a seed and its own mirror is the seed's face on the box. Ridges
    # between a seed and another seed's mirror have no area inside the box and are dropped.
    on_box = ((a < n) ^ (b < n)) & (sites.source[a] == sites.source[b])
    keep = np.flatnonzero((interior | on_box) & (mine[a] | mine[b]))
    flat = ridge_flat[ragged_rows(ridge_lengths, keep)]
    lengths = ridge_lengths[keep]
    polygon = lengths >= 3          # fewer than three vertices: no area
    if (flat < 0).any():
        raise RuntimeError("voronoi_fracture: a cell face reaches infinity although every "
                           "cell was checked to be closed; please report the arguments used")
    keep_rows = np.repeat(polygon, lengths)
    flat, lengths, keep = flat[keep_rows], lengths[polygon], keep[polygon]
    a, b = a[keep], b[keep]

    # Order each face's vertices by angle around the face's centroid, in the face plane,
    # whose normal is the direction between the two points the face separates.
    face_of = np.repeat(np.arange(len(keep)), lengths)
    starts = np.cumsum(lengths) - lengths
    xyz = corner_points[flat]
    centroid = np.add.reduceat(xyz, starts, axis=0) / lengths[:, None]
    normal = points[b] - points[a]
    helper = np.zeros_like(normal)
    helper[np.arange(len(normal)), np.argmin(np.abs(normal), axis=1)] = 1.0
    u = np.cross(normal, helper)
    v = np.cross(normal, u)
    offset = xyz - centroid[face_of]
    angle = np.arctan2((offset * v[face_of]).sum(1), (offset * u[face_of]).sum(1))
    ring = flat[np.lexsort((angle, face_of))]
    following = np.arange(len(ring)) + 1
    following[starts + lengths - 1] = starts
    lo = np.minimum(ring, ring[following])
    hi = np.maximum(ring, ring[following])

    # Every face edge goes to the face's cells among ours (two for an inside face, one on
    # the box, or one when the other cell is another block's).
    cell_parts, lo_parts, hi_parts = [], [], []
    for owner in (a[face_of], b[face_of]):
        wanted = mine[owner]
        cell_parts.append(owner[wanted])
        lo_parts.append(lo[wanted])
        hi_parts.append(hi[wanted])
    cell = np.concatenate(cell_parts)
    lo, hi = np.concatenate(lo_parts), np.concatenate(hi_parts)
    order = np.lexsort((hi, lo, cell))
    cell, lo, hi = cell[order], lo[order], hi[order]
    first = np.ones(len(cell), bool)
    first[1:] = (cell[1:] != cell[:-1]) | (lo[1:] != lo[:-1]) | (hi[1:] != hi[:-1])
    cell, lo, hi = cell[first], lo[first], hi[first]

    # Each cell's own vertex numbering: its distinct corner points in coordinate order, so
    # that the cells do not depend on how qhull or the blocks numbered them.
    keys = np.unique(np.concatenate([cell * corner_count + lo, cell * corner_count + hi]))
    key_cell = keys // corner_count
    # Points on the box's faces are put exactly on them (the circumcentres of mirror pairs
    # land ~1e-16 off).
    xyz = np.clip(corner_points[keys % corner_count], 0.0, size)
    xyz[xyz < tolerance] = 0.0
    near_upper = xyz > size - tolerance
    xyz[near_upper] = np.broadcast_to(size, xyz.shape)[near_upper]
    order = np.lexsort((xyz[:, 2], xyz[:, 1], xyz[:, 0], key_cell))
    rank = np.empty(len(keys), np.int64)
    rank[order] = np.arange(len(keys))
    vertex_start = np.searchsorted(key_cell, np.append(cells, n))
    first = vertex_start[np.searchsorted(cells, cell)]
    ends = np.stack([rank[np.searchsorted(keys, cell * corner_count + lo)] - first,
                     rank[np.searchsorted(keys, cell * corner_count + hi)] - first], axis=1)
    ends.sort(axis=1)
    order_edges = np.lexsort((ends[:, 1], ends[:, 0], cell))
    edge_start = np.searchsorted(cell, np.append(cells, n))
    inside = (a < n) & (b < n)
    return BuiltCells(vertices=np.ldexp(xyz[order], sites.exponent).astype(np.float32),
                      vertex_counts=np.diff(vertex_start), edges=ends[order_edges].astype(np.int32),
                      edge_counts=np.diff(edge_start),
                      pairs=np.sort(np.stack([a[inside], b[inside]], axis=1),
                                    axis=1).astype(np.int32))
