"""A mesh's cells as packed arrays, built in bulk: per cell type, the points gathered with one
fancy index and the type's edge table tiled; rings, strips and polyhedra from their point
counts and face lists with numpy, never a Python step per cell.

Every mesh library's cells come here as a :class:`Topology` (VTK's layout: one point array,
each cell a run of point numbers, a type code per cell) and leave as :class:`PackedCells`, what
``CellSet.from_packed`` takes. Whatever a cell set cannot use is refused here, naming the cell
as the caller knows it.
"""
from __future__ import annotations

from collections.abc import Callable, Sequence
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from cellprox._meshes import celltypes as ct

__all__ = ["Faces", "Naming", "PackedCells", "Topology", "float32_points", "merged", "pack",
           "ranks"]

#: Names cell ``i`` of the topology as the caller knows it: "cell 7 (block 1, its cell 2)".
Naming = Callable[[int], str]

#: From this many cells of one fixed type, tiling the edges beside the gathering pays for its
#: thread (at 1,000,000 hexahedra it saves a fifth of the packing).
_BESIDE_FROM = 100_000
_POINT_COUNTS = ct.point_count_table()
_EDGE_COUNTS = ct.edge_count_table()
_TAKEN = np.zeros(256, bool)
_TAKEN[sorted(ct.TAKEN)] = True


@dataclass
class Faces:
    """The polyhedra's faces: face k is the ring of point numbers ``points[offsets[k]:offsets[k
    + 1]]`` of cell ``owner[k]``."""

    points: npt.NDArray[np.int64]
    offsets: npt.NDArray[np.int64]
    owner: npt.NDArray[np.int64]


@dataclass
class Topology:
    """Cells as VTK lays them out: cell i is of type ``types[i]`` and has the points numbered
    ``connectivity[offsets[i]:offsets[i + 1]]`` of ``points`` (N, 3); the polyhedra's faces
    apart."""

    points: npt.NDArray[Any]
    connectivity: npt.NDArray[np.integer[Any]]
    offsets: npt.NDArray[np.int64]
    types: npt.NDArray[np.uint8]
    faces: Faces | None = None

    def __len__(self) -> int:
        return len(self.types)


@dataclass
class PackedCells:
    """What ``CellSet.from_packed`` takes."""

    vertices: npt.NDArray[np.float32]
    vertex_offsets: npt.NDArray[np.int64]
    edges: npt.NDArray[np.int32]
    edge_offsets: npt.NDArray[np.int64]
    collections: npt.ArrayLike = 0

    def vertex_counts(self) -> npt.NDArray[np.int64]:
        return np.diff(self.vertex_offsets)

    def edge_counts(self) -> npt.NDArray[np.int64]:
        return np.diff(self.edge_offsets)


def ranks(lengths: npt.ArrayLike) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64]]:
    """For runs of the given lengths laid end to end: each element's run, and its place in it."""
    counts = np.asarray(lengths, np.int64)
    group = np.repeat(np.arange(len(counts), dtype=np.int64), counts)
    starts = np.cumsum(counts) - counts
    return group, np.arange(len(group), dtype=np.int64) - starts[group]


def _offsets(counts: npt.NDArray[np.int64]) -> npt.NDArray[np.int64]:
    offsets = np.zeros(len(counts) + 1, np.int64)
    np.cumsum(counts, out=offsets[1:])
    return offsets


def _cell_of_row(row: int, offsets: npt.NDArray[np.int64]) -> int:
    return int(np.searchsorted(offsets, row, side="right")) - 1


def float32_points(points: npt.NDArray[Any], connectivity: npt.NDArray[Any] | None,
                   offsets: npt.NDArray[np.int64], name: Naming, who: str) -> npt.NDArray[np.float32]:
    """The points as float32, refusing the first cell that uses one that is not finite there;
    ``connectivity`` None: each cell has its own rows of points. Converting the points before
    they are gathered gives the same numbers as converting the gathered rows, for a cell's
    points are copies of them."""
    if points.dtype.kind not in "iuf":
        raise TypeError(f"{who}: the points are {points.dtype}, but they must be real numbers")
    if points.ndim != 2 or points.shape[1] != 3:
        raise ValueError(f"{who}: the points have shape {points.shape}, but they must be (N, 3): "
                         "cellprox takes 3-D points (pad 2-D ones with a zero z)")
    with np.errstate(over="ignore"):
        as_float32 = np.ascontiguousarray(points, np.float32)
    finite = np.isfinite(as_float32)
    if finite.all():
        return as_float32
    bad = np.asarray(~finite.all(axis=1), bool)
    used = bad if connectivity is None else bad[connectivity]
    if used.any():
        row = int(np.argmax(used))
        cell = _cell_of_row(row, offsets)
        # Without connectivity a cell's points are its own rows, numbered from 0 in the cell.
        point, given = (row - int(offsets[cell]), points[row]) if connectivity is None else \
            (int(connectivity[row]), points[int(connectivity[row])])
        raise ValueError(
            f"{who}: {name(cell)}: its point {point} is {tuple(float(x) for x in given)}; "
            "coordinates must be finite and within float32 range (|x| < 3.4e38)")
    return as_float32


def pack(topology: Topology, name: Naming, who: str, workers: int = 1) -> PackedCells:
    """The cells of ``topology`` packed, every cell checked; with ``workers`` above 1, a large
    grid's edges are tiled on a second thread while its points are gathered."""
    types, offsets = topology.types, topology.offsets
    connectivity = np.asarray(topology.connectivity)
    counts = np.diff(offsets)
    present = _present_types(types)
    _check_cells(types, present, counts, name, who)
    points = float32_points(topology.points, connectivity, offsets, name, who)
    if len(present) == 1 and present[0] in ct.EDGE_TABLES:
        # One fixed type, as most grids are: the table tiled, nothing to place.
        table = ct.EDGE_TABLES[present[0]]
        edge_offsets = np.arange(len(types) + 1, dtype=np.int64) * len(table)
        if workers < 2 or len(types) < _BESIDE_FROM:
            return PackedCells(_gathered(points, connectivity, counts, name, who), offsets,
                               _tiled(table, len(types)), edge_offsets)
        # numpy lets go of the interpreter while it fills the tiles.
        with ThreadPoolExecutor(1) as beside:
            tiles = beside.submit(_tiled, table, len(types))
            vertices = _gathered(points, connectivity, counts, name, who)
            return PackedCells(vertices, offsets, tiles.result(), edge_offsets)
    vertices = _gathered(points, connectivity, counts, name, who)

    e_counts = _EDGE_COUNTS[types]
    variable: dict[int, npt.NDArray[np.int64]] = {
        code: np.flatnonzero(types == code)
        for code in (ct.POLYGON, ct.TRIANGLE_STRIP) if code in present}
    if ct.POLYGON in variable:
        e_counts[variable[ct.POLYGON]] = counts[variable[ct.POLYGON]]
    if ct.TRIANGLE_STRIP in variable:
        k = counts[variable[ct.TRIANGLE_STRIP]]
        e_counts[variable[ct.TRIANGLE_STRIP]] = np.maximum(k - 1, 0) + np.maximum(k - 2, 0)
    polyhedra = None
    if ct.POLYHEDRON in present:
        polyhedra = _polyhedron_edges(topology, counts, name, who)
        cells = np.flatnonzero(types == ct.POLYHEDRON)
        e_counts[cells] = np.bincount(polyhedra[0], minlength=len(types))[cells]
    edge_offsets = _offsets(e_counts)

    edges = np.empty((int(edge_offsets[-1]), 2), np.int32)
    for code in present:
        if code in ct.EDGE_TABLES:
            table = ct.EDGE_TABLES[code]
            cells = np.flatnonzero(types == code)
            rows = (edge_offsets[cells][:, None] + np.arange(len(table))).reshape(-1)
            edges[rows] = _tiled(table, len(cells))
    if ct.POLYGON in variable:
        _place_rings(edges, edge_offsets, variable[ct.POLYGON], counts)
    if ct.TRIANGLE_STRIP in variable:
        _place_strips(edges, edge_offsets, variable[ct.TRIANGLE_STRIP], counts)
    if polyhedra is not None:
        owner, low, high = polyhedra
        first_of_owner = np.searchsorted(owner, owner, side="left")
        rows = edge_offsets[owner] + np.arange(len(owner)) - first_of_owner
        edges[rows, 0], edges[rows, 1] = low, high
    return PackedCells(vertices, offsets, edges, edge_offsets)


def _present_types(types: npt.NDArray[np.uint8]) -> list[int]:
    """The type codes of the cells, each once, in increasing order."""
    if len(types) and bool((types == types[0]).all()):
        return [int(types[0])]          # a tenth of the time of counting them
    return [int(code) for code in np.flatnonzero(np.bincount(types, minlength=256))]


def _tiled(table: npt.NDArray[np.int32], times: int) -> npt.NDArray[np.int32]:
    """``table`` repeated ``times`` times, row after row (twice as fast as np.tile)."""
    out = np.empty((times, len(table), 2), np.int32)
    out[...] = table
    return out.reshape(-1, 2)


def _check_cells(types: npt.NDArray[np.uint8], present: list[int], counts: npt.NDArray[np.int64],
                 name: Naming, who: str) -> None:
    if not all(_TAKEN[code] for code in present):
        i = int(np.argmax(~_TAKEN[types]))
        raise ValueError(f"{who}: {name(i)} is {ct.refusal(int(types[i]))}")
    if len(counts) and int(counts.min()) == 0:
        i = int(np.argmax(counts == 0))
        raise ValueError(f"{who}: {name(i)} ({ct.type_name(int(types[i]))}) has no points; a "
                         "cell needs at least one: leave it out")
    if len(present) == 1:
        wanted: Any = _POINT_COUNTS[present[0]]
        wrong = (counts != wanted) if wanted else np.zeros(1, bool)
    else:
        wanted = _POINT_COUNTS[types]
        wrong = (wanted > 0) & (counts != wanted)
    if wrong.any():
        i = int(np.argmax(wrong))
        raise ValueError(f"{who}: {name(i)} is a {ct.type_name(int(types[i]))} with "
                         f"{int(counts[i])} points, but that type has "
                         f"{int(np.broadcast_to(wanted, counts.shape)[i])}")


def _gathered(points: npt.NDArray[np.float32], connectivity: npt.NDArray[Any],
              counts: npt.NDArray[np.int64], name: Naming, who: str) -> npt.NDArray[np.float32]:
    """Each cell's points, in the cells' order; a point number beyond the points is refused."""
    try:
        if len(connectivity) and int(connectivity.min()) < 0:
            raise IndexError("a negative point number")      # take would count from the end
        return np.take(points, connectivity, axis=0)
    except IndexError:
        row = int(np.argmax((connectivity < 0) | (connectivity >= len(points))))
        cell = _cell_of_row(row, _offsets(counts))
        raise ValueError(f"{who}: {name(cell)} refers to point {int(connectivity[row])}, but the "
                         f"mesh has {len(points)} points (0..{len(points) - 1})") from None


def _place_rings(edges: npt.NDArray[np.int32], edge_offsets: npt.NDArray[np.int64],
                 cells: npt.NDArray[np.int64], counts: npt.NDArray[np.int64]) -> None:
    """A polygon's edges: each point to the next, the last to the first."""
    k = counts[cells]
    group, rank = ranks(k)
    rows = edge_offsets[cells][group] + rank
    edges[rows, 0] = rank
    edges[rows, 1] = (rank + 1) % k[group]


def _place_strips(edges: npt.NDArray[np.int32], edge_offsets: npt.NDArray[np.int64],
                  cells: npt.NDArray[np.int64], counts: npt.NDArray[np.int64]) -> None:
    """A triangle strip's edges: each point to the next (k - 1), then to the one after (k - 2)."""
    k = counts[cells]
    starts = edge_offsets[cells]
    for step, first in ((1, starts), (2, starts + np.maximum(k - 1, 0))):
        group, rank = ranks(np.maximum(k - step, 0))
        rows = first[group] + rank
        edges[rows, 0] = rank
        edges[rows, 1] = rank + step


def _polyhedron_edges(topology: Topology, counts: npt.NDArray[np.int64], name: Naming,
                      who: str) -> tuple[npt.NDArray[np.int64], ...]:
    """Each polyhedron's edges, from its faces, each once: (owner, low, high), sorted by owner,
    with ``low < high`` numbered within the owner."""
    faces = topology.faces
    polyhedra = np.flatnonzero(topology.types == ct.POLYHEDRON)
    if faces is None:
        faces = Faces(np.zeros(0, np.int64), np.zeros(1, np.int64), np.zeros(0, np.int64))
    # A face's sides: each point to the next around its ring.
    sizes = np.diff(faces.offsets)
    group, rank = ranks(sizes)
    here = faces.offsets[group] + rank
    after = np.where(rank + 1 == sizes[group], faces.offsets[group], here + 1)
    owner = faces.owner[group]
    # Each (cell, point number) of the polyhedra, to find the point's place in its cell.
    cell_of, place = ranks(counts[polyhedra])
    cell_of = polyhedra[cell_of]
    n_points = np.int64(max(len(topology.points), 1))
    keys = cell_of * n_points + np.asarray(topology.connectivity)[topology.offsets[cell_of] + place]
    order = np.argsort(keys, kind="stable")
    keys, place = keys[order], place[order]
    ends = []
    for point in (faces.points[here], faces.points[after]):
        wanted = owner * n_points + point
        # Every polyhedron has a point (empty cells were refused), so there are keys.
        found = np.minimum(np.searchsorted(keys, wanted), len(keys) - 1)
        missing = keys[found] != wanted
        if missing.any():
            k = int(np.argmax(missing))
            raise ValueError(f"{who}: {name(int(owner[k]))}: a face of this polyhedron uses point "
                             f"{int(point[k])}, which is not among its points")
        ends.append(place[found])
    low, high = np.minimum(*ends), np.maximum(*ends)
    keep = low != high      # a face that names a point twice has no side there
    owner, low, high = owner[keep], low[keep], high[keep]
    order = np.lexsort((high, low, owner))
    owner, low, high = owner[order], low[order], high[order]
    first = np.ones(len(owner), bool)
    first[1:] = (np.diff(owner) != 0) | (np.diff(low) != 0) | (np.diff(high) != 0)
    return owner[first], low[first], high[first]


def merged(parts: Sequence[Topology]) -> Topology:
    """The cells of several topologies, in order, as one (their points joined)."""
    if len(parts) == 1:
        return parts[0]
    if not parts:
        return Topology(np.zeros((0, 3)), np.zeros(0, np.int64), np.zeros(1, np.int64),
                        np.zeros(0, np.uint8))
    point_starts = _offsets(np.array([len(p.points) for p in parts], np.int64))
    cell_starts = _offsets(np.array([len(p) for p in parts], np.int64))
    row_starts = _offsets(np.array([len(p.connectivity) for p in parts], np.int64))
    faces = None
    if any(p.faces is not None for p in parts):
        with_faces = [(p.faces, k) for k, p in enumerate(parts) if p.faces is not None]
        face_rows = _offsets(np.array([len(f.points) for f, _ in with_faces], np.int64))
        faces = Faces(
            np.concatenate([f.points + point_starts[k] for f, k in with_faces]),
            np.concatenate([[0]] + [f.offsets[1:] + face_rows[m]
                                    for m, (f, _) in enumerate(with_faces)]).astype(np.int64),
            np.concatenate([f.owner + cell_starts[k] for f, k in with_faces]))
    points = [p.points for p in parts]
    dtype = np.result_type(*points)
    return Topology(
        points=np.concatenate(points).astype(dtype, copy=False),
        connectivity=np.concatenate([np.asarray(p.connectivity, np.int64) + point_starts[k]
                                     for k, p in enumerate(parts)]),
        offsets=np.concatenate([[0]] + [p.offsets[1:] + row_starts[k]
                                        for k, p in enumerate(parts)]).astype(np.int64),
        types=np.concatenate([p.types for p in parts]).astype(np.uint8),
        faces=faces)
