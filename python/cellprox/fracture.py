"""Voronoi fracture of a box: test and demo geometry for the proximity kernels.

:func:`voronoi_fracture` scatters seeds uniformly in the box ``[0, bx] x [0, by] x [0, bz]``
and cuts the box into their Voronoi cells, each cell clipped at the box. Every cell is a convex
polyhedron; neighbouring cells share whole faces, so the vertices of a shared face are the very
same float32 points in both cells.

How the cells are clipped at the box. Each seed near a face of the box is mirrored across that
face, and the Voronoi diagram (scipy.spatial.Voronoi, i.e. qhull) is computed for the seeds and
their mirrors together. The bisector between a seed and its own mirror is the face plane, so the
seed's cell ends at the box. A mirror of *another* seed never cuts a cell inside the box: a
point inside the box is at least as close to a seed as to that seed's mirror image. Mirroring
every seed would therefore be exact but costs six times the points; only seeds within a margin
of three mean seed spacings of a face are mirrored (some 40% more points at 100,000 cells). A
seed farther away reaches the face only if some ball of radius three spacings centred on the
face holds no seed: for uniform seeds about exp(-56) in the middle of a face, more near the
box's edges and corners (exp(-7) for the eighth of a ball at a corner). That is not left to
chance: every cell is checked to be bounded and to lie inside the box, and the seeds of any
cell that is not are mirrored across all six faces and the diagram recomputed. A cell that
passes the check is the exact clipped cell (up to rounding), because within the box the mirrors
change nothing but the face planes.

How the diagram is computed. Not in one qhull call, which takes some 12 seconds at 100,000
cells and cannot be interrupted, but block by block: the box is cut into blocks of a few
thousand seeds, and each block's diagram takes in the points (seeds and mirrors) of the block
and of a halo three seed spacings wide. A cell is accepted from it only when every point within
twice the cell's circumradius was there, which makes it the cell of the whole diagram; the few
that are not are computed again from the points around them. Every vertex is recomputed from
the points it separates, in a fixed order, so a face that two blocks share has the same float32
vertices in both, and the cells are the same whatever the blocks. Ctrl-C therefore lands between
two blocks, within about a second, and leaves nothing behind.

Scipy is needed to fracture (the ``demo`` extra: ``pip install "cellprox[demo]"``); importing
this module does not need it.
"""
from __future__ import annotations

import itertools
import numbers
import time
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING

import numpy as np
import numpy.typing as npt

from cellprox._messages import plain, type_name
from cellprox._progress import ProgressBar, progress_bar
from cellprox.cells import bounding_corners

if TYPE_CHECKING:
    from cellprox.cells import CellSet

__all__ = ["Fracture", "voronoi_fracture"]

# Seeds within this many mean seed spacings of a face are mirrored across it.
MIRROR_MARGIN = 3.0
# How far (relative to the box's size) a vertex may lie outside the box before its cell counts
# as not clipped; qhull's vertices are accurate to about 1e-15 of the box.
_OUTSIDE_TOLERANCE = 1e-9
# Seeds per block of the diagram. A block's diagram, with its halo and mirrors some 10,000
# points, takes qhull about half a second: the longest an interrupt waits.
BLOCK_SEEDS = 3500
# A block's diagram takes in the points within this many mean seed spacings of the block; it
# settles the cells whose circumradius is at most half that at the block's edge.
BLOCK_HALO = 3.0
# Cells a block could not settle are computed again from the points around them, this many to
# a diagram, in at most this many rounds of growing reach (the last takes every point).
RETRY_SEEDS = 32
RETRY_ROUNDS = 6


@dataclass
class Fracture:
    """The cells of a fractured box.

    Cell ``i`` has the vertices ``vertices[i]`` ((v_i, 3) float32), the edges ``edges[i]``
    ((e_i, 2) int32 vertex numbers into ``vertices[i]``: the sides of the cell's face polygons,
    each undirected edge once, no diagonals), its seed ``origins[i]`` and its collection number
    ``collections[i]``. ``neighbors`` lists the pairs (i, j), i < j, of cells that share a face
    of positive area, sorted; cells that meet only at an edge or a vertex are not in it.
    """

    vertices: list[npt.NDArray[np.float32]]
    edges: list[npt.NDArray[np.int32]]
    origins: npt.NDArray[np.float32]
    collections: npt.NDArray[np.int32]
    box: tuple[float, float, float]
    neighbors: npt.NDArray[np.int32] = field(
        default_factory=lambda: np.zeros((0, 2), np.int32))

    def __len__(self) -> int:
        return len(self.vertices)

    def corners(self) -> npt.NDArray[np.float32]:
        """The eight corners of each cell's vertex bounding box, (n, 8, 3) float32.

        This is the ``bbox`` argument of the broad phase, ready to be widened in place.
        """
        counts = np.fromiter((len(v) for v in self.vertices), np.int64, len(self.vertices))
        flat = np.concatenate(self.vertices) if self.vertices else np.zeros((0, 3), np.float32)
        return bounding_corners(flat, counts)

    def cell_set(self) -> CellSet:
        """The cells as narrow-phase records (:class:`cellprox.CellSet`)."""
        from cellprox.cells import CellSet

        return CellSet(self.vertices, self.edges, origins=self.origins,
                       collections=self.collections)


def voronoi_fracture(n_cells: int, *, seed: int = 0, collections: int = 1,
                     box: Sequence[float] = (1.0, 1.0, 1.0),
                     progress: bool = False) -> Fracture:
    """Fractures the box ``[0, box[0]] x [0, box[1]] x [0, box[2]]`` into ``n_cells`` cells.

    The seeds are uniform random points (``numpy.random.default_rng(seed)``) rounded to
    float32; they are the cells' origins. Collections are regions: cell ``i`` belongs to
    collection ``c`` when its seed lies in the ``c``-th of ``collections`` equal slabs of the box
    along x, so each collection is a slab of whole cells and only the cells along the slabs'
    boundaries have neighbours of another collection. With ``progress`` the cells done so far
    are shown on standard error.

    The same arguments always give the same cells. 100,000 cells take about 20 seconds on two
    cores, most of it in qhull; the diagram is computed block by block, so an interrupt
    (Ctrl-C) ends the call within about a second.
    """
    n, n_collections, size = _check_arguments(n_cells, collections, box)
    if not isinstance(progress, (bool, np.bool_)):
        raise TypeError(f"voronoi_fracture: progress must be True or False, not "
                        f"{type_name(progress)}")
    rng = np.random.default_rng(seed)
    seeds32 = (rng.random((n, 3)) * size).astype(np.float32)
    # A seed on a face would coincide with its own mirror; keep seeds a hair inside.
    inset = (size * 1e-6).astype(np.float32)
    seeds32 = np.clip(seeds32, inset, (size - inset).astype(np.float32))
    seeds = seeds32.astype(np.float64)

    spacing = (float(np.prod(size)) / n) ** (1.0 / 3.0)
    distance_to_face = np.concatenate([seeds, size - seeds], axis=1).T  # (6, n): x0 y0 z0 x1 ..
    mirrored = distance_to_face < MIRROR_MARGIN * spacing
    tolerance = _OUTSIDE_TOLERANCE * float(size.max())

    with progress_bar(bool(progress), "voronoi_fracture", n) as bar:
        for attempt in range(4):
            points, source = _with_mirrors(seeds, size, mirrored)
            cells = _BlockedCells(points, source, n, size, tolerance)
            unclipped = cells.compute(spacing, bar)
            if not unclipped.any():
                break
            if attempt == 2:
                mirrored[:] = True      # the last resort is exact by construction
            else:
                mirrored[:, unclipped] = True
        else:
            raise RuntimeError(
                f"voronoi_fracture: {int(unclipped.sum())} of {n} cells are not closed even "
                "with every seed mirrored; qhull could not resolve these seeds. Try another "
                "seed.")

    band = np.minimum((seeds[:, 0] / size[0] * n_collections).astype(np.int64), n_collections - 1)
    return Fracture(vertices=cells.vertices, edges=cells.edges, origins=seeds32,
                    collections=band.astype(np.int32),
                    box=(float(size[0]), float(size[1]), float(size[2])),
                    neighbors=cells.neighbors())


def _check_arguments(n_cells: int, collections: int,
                     box: Sequence[float]) -> tuple[int, int, npt.NDArray[np.float64]]:
    count = _positive_integer("n_cells", n_cells, "")
    bands = _positive_integer("collections", collections, " (1 for a single collection)")
    if isinstance(box, (str, bytes)) or not isinstance(box, (Sequence, np.ndarray)) or \
            not all(isinstance(s, numbers.Real) and not isinstance(s, (bool, np.bool_))
                    for s in np.asarray(box, dtype=object).ravel()):
        raise TypeError("voronoi_fracture: box must be three sizes (x, y, z), such as "
                        f"(1.0, 1.0, 1.0), not {plain(box)!r}")
    size = np.asarray(box, dtype=np.float64)
    if size.shape != (3,):
        raise ValueError("voronoi_fracture: box must be three sizes (x, y, z), such as "
                         f"(1.0, 1.0, 1.0), not {plain(box)!r}")
    if not (np.isfinite(size).all() and (size > 0).all()):
        raise ValueError(f"voronoi_fracture: the box's sizes must be positive and finite, not "
                         f"{tuple(float(s) for s in size)}")
    return count, bands, size


def _positive_integer(name: str, value: object, hint: str) -> int:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Integral):
        raise TypeError(f"voronoi_fracture: {name} must be a positive integer{hint}, not "
                        f"{type_name(value)}")
    if value < 1:
        raise ValueError(f"voronoi_fracture: {name} must be a positive integer{hint}, not {value}")
    return int(value)


def _voronoi(points: npt.NDArray[np.float64]) -> object:
    try:
        from scipy.spatial import Voronoi  # type: ignore[import-untyped, unused-ignore]
    except ImportError as error:
        raise ImportError(
            "voronoi_fracture needs scipy; install it with: pip install \"cellprox[demo]\" "
            f"(or pip install scipy). The import failed with: {error}") from error
    return Voronoi(points)


def _with_mirrors(seeds: npt.NDArray[np.float64], size: npt.NDArray[np.float64],
                  mirrored: npt.NDArray[np.bool_]
                  ) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.int64]]:
    """The seeds followed by their selected mirror images, and each point's seed number."""
    parts = [seeds]
    sources = [np.arange(len(seeds))]
    for face in range(6):
        axis, upper = face % 3, face >= 3
        chosen = np.flatnonzero(mirrored[face])
        images = seeds[chosen].copy()
        plane = size[axis] if upper else 0.0
        images[:, axis] = 2.0 * plane - images[:, axis]
        parts.append(images)
        sources.append(chosen)
    return np.concatenate(parts), np.concatenate(sources)


def _flatten(lists: Sequence[Sequence[int]]) -> tuple[npt.NDArray[np.int64],
                                                      npt.NDArray[np.int64]]:
    """A list of int lists as one flat array and the lists' lengths."""
    lengths = np.fromiter(map(len, lists), np.int64, len(lists))
    flat = np.fromiter(itertools.chain.from_iterable(lists), np.int64, int(lengths.sum()))
    return flat, lengths


def _ragged_rows(lengths: npt.NDArray[np.int64],
                 chosen: npt.NDArray[np.int64]) -> npt.NDArray[np.bool_]:
    """Which entries of a flattened ragged list belong to the ``chosen`` lists."""
    mask = np.zeros(len(lengths), bool)
    mask[chosen] = True
    rows: npt.NDArray[np.bool_] = np.repeat(mask, lengths)
    return rows


def _solve3(rows: npt.NDArray[np.float64],
            rhs: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """x with rows[k] @ x[k] == rhs[k] for (k, 3, 3) rows, by Cramer's rule: elementwise
    arithmetic, so equal inputs give equal bits whatever else is in the batch."""
    c0 = np.cross(rows[:, 1], rows[:, 2])
    c1 = np.cross(rows[:, 2], rows[:, 0])
    c2 = np.cross(rows[:, 0], rows[:, 1])
    det = (rows[:, 0] * c0).sum(axis=1)
    x: npt.NDArray[np.float64] = (rhs[:, 0:1] * c0 + rhs[:, 1:2] * c1
                                  + rhs[:, 2:3] * c2) / det[:, None]
    return x


def _circumcentres(generators: npt.NDArray[np.int64], counts: npt.NDArray[np.int64],
                   points: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """The point equidistant from each group of ``counts[k]`` (>= 4) points, grouped in
    ``generators`` (point numbers, ascending in each group).

    A Voronoi vertex is computed from the points it separates, in a fixed order, never taken
    from qhull: a vertex shared by cells of two blocks then has the very same bits in both.
    Four points give the sphere through them; more (the mirror images make such ties on the
    box's faces) the least-squares centre, which is the same point.
    """
    starts = np.cumsum(counts) - counts
    first = points[generators[starts]]
    d = points[generators] - np.repeat(first, counts, axis=0)
    half_square = 0.5 * (d * d).sum(axis=1)
    centres = np.empty((len(counts), 3))
    four = counts == 4
    rows = (starts[four][:, None] + np.arange(1, 4)).ravel()
    centres[four] = _solve3(d[rows].reshape(-1, 3, 3), half_square[rows].reshape(-1, 3))
    more = ~four
    if more.any():
        normal = np.add.reduceat(d[:, :, None] * d[:, None, :], starts)[more]
        right = np.add.reduceat(d * half_square[:, None], starts)[more]
        centres[more] = _solve3(normal, right)
    result: npt.NDArray[np.float64] = centres + first
    return result


class _BlockedCells:
    """The cells of seeds 0..n-1 among ``points`` (seeds, then mirrors), block by block.

    Each block's diagram holds the points of the block and of a halo around it. A cell found
    there is the cell of the whole diagram when every point within twice its circumradius
    (the distance from its seed to its farthest vertex) is in the block's diagram: a point
    left out could only cut off space farther from the seed than from that point. Cells that
    do not pass are computed again from the points around them, with a reach that grows until
    they do.
    """

    def __init__(self, points: npt.NDArray[np.float64], source: npt.NDArray[np.int64], n: int,
                 size: npt.NDArray[np.float64], tolerance: float) -> None:
        self.points = points
        self.source = source
        self.n = n
        self.size = size
        self.tolerance = tolerance
        self.vertices: list[npt.NDArray[np.float32]] = [np.zeros((0, 3), np.float32)] * n
        self.edges: list[npt.NDArray[np.int32]] = [np.zeros((0, 2), np.int32)] * n
        self.built = np.zeros(n, bool)
        self.unclipped = np.zeros(n, bool)
        # The circumradius of each cell not built yet, as last seen (inf: not closed there).
        self.radius = np.full(n, np.inf)
        self._pairs: list[npt.NDArray[np.int32]] = []

    def neighbors(self) -> npt.NDArray[np.int32]:
        if not self._pairs:
            return np.zeros((0, 2), np.int32)
        pairs: npt.NDArray[np.int32] = np.unique(np.concatenate(self._pairs), axis=0)
        return pairs

    def compute(self, spacing: float, bar: ProgressBar) -> npt.NDArray[np.bool_]:
        """Builds every cell; returns which seeds' cells are not closed inside the box."""
        seeds = self.points[:self.n]
        bar.update(0)
        halo = BLOCK_HALO * spacing
        # Blocks as near cubes as the box allows, with at most about BLOCK_SEEDS seeds each.
        counts = np.ones(3, np.int64)
        while counts.prod() * BLOCK_SEEDS < self.n:
            counts[np.argmax(self.size / counts)] += 1
        block = np.minimum((seeds / self.size * counts).astype(np.int64), counts - 1)
        key = (block[:, 0] * counts[1] + block[:, 1]) * counts[2] + block[:, 2]
        order = np.argsort(key, kind="stable")
        for group in np.split(order, np.flatnonzero(np.diff(key[order])) + 1):
            where = block[group[0]]
            # The outermost blocks take in every mirror beyond the box.
            lo = np.where(where == 0, -np.inf, where * self.size / counts - halo)
            hi = np.where(where == counts - 1, np.inf, (where + 1) * self.size / counts + halo)
            self._chunk(group, np.broadcast_to(lo, (len(group), 3)),
                        np.broadcast_to(hi, (len(group), 3)), bar)

        reach = 2.0 * halo
        for attempt in range(RETRY_ROUNDS):
            pending = np.flatnonzero(~self.built & ~self.unclipped)
            if not len(pending):
                break
            reach *= 2.0
            # A cell only shrinks when points are added, so twice the radius it had is enough.
            half = np.where(np.isfinite(self.radius[pending]), 2.02 * self.radius[pending],
                            reach)
            if attempt == RETRY_ROUNDS - 1:
                half[:] = np.inf
            for group in np.array_split(np.arange(len(pending)),
                                        -(-len(pending) // RETRY_SEEDS)):
                centre = seeds[pending[group]]
                self._chunk(pending[group], centre - half[group, None],
                            centre + half[group, None], bar)
        return self.unclipped

    def _chunk(self, own: npt.NDArray[np.int64], lo: npt.NDArray[np.float64],
               hi: npt.NDArray[np.float64], bar: ProgressBar) -> None:
        """One diagram of the points inside any of the boxes ``lo[k]..hi[k]``, and the cells of
        the seeds ``own`` (``own[k]`` inside box k) that it settles."""
        points = self.points
        boxes, which = np.unique(np.concatenate([lo, hi], axis=1), axis=0, return_inverse=True)
        which = which.reshape(-1)
        inside = np.zeros(len(points), bool)
        for box in boxes:
            inside |= ((points >= box[:3]) & (points <= box[3:])).all(axis=1)
        taken = np.flatnonzero(inside)
        local = np.full(len(points), -1, np.int64)
        local[taken] = np.arange(len(taken))
        vor = _voronoi(points[taken])

        region_of = np.asarray(getattr(vor, "point_region"))[local[own]]
        regions = getattr(vor, "regions")
        flat, lengths = _flatten([regions[r] for r in region_of])
        qhull_vertices = np.asarray(getattr(vor, "vertices"), np.float64)
        xyz = qhull_vertices[np.maximum(flat, 0)]
        owner = np.repeat(np.arange(len(own)), lengths)
        reach = np.linalg.norm(xyz - points[own][owner], axis=1)
        reach[flat < 0] = np.inf
        radius = np.zeros(len(own))
        np.maximum.at(radius, owner, reach)
        radius[lengths < 4] = np.inf
        outside = ((xyz < -self.tolerance) | (xyz > self.size + self.tolerance)).any(axis=1)
        outside |= flat < 0
        is_outside = np.bincount(owner[outside], minlength=len(own)) > 0
        seed_xyz = points[own]
        box_lo, box_hi = boxes[which, :3], boxes[which, 3:]
        settled = ((seed_xyz - 2.0 * radius[:, None] >= box_lo)
                   | np.isneginf(box_lo)).all(axis=1)
        settled &= ((seed_xyz + 2.0 * radius[:, None] <= box_hi) | np.isposinf(box_hi)).all(axis=1)
        self.unclipped[own[settled & is_outside]] = True
        good = settled & ~is_outside
        self.radius[own[~settled]] = radius[~settled]
        if good.any():
            self._build(vor, taken, own[good], flat[np.repeat(good, lengths)])
        self.built[own[good]] = True
        bar.update(int(self.built.sum()))

    def _build(self, vor: object, taken: npt.NDArray[np.int64], cells: npt.NDArray[np.int64],
               cell_vertices: npt.NDArray[np.int64]) -> None:
        """The vertices and edges of ``cells`` (seed numbers) from one diagram of the points
        ``taken``, whose vertices ``cell_vertices`` are theirs, and their face neighbours."""
        n, points, size, tolerance = self.n, self.points, self.size, self.tolerance
        ridge_points = taken[np.asarray(getattr(vor, "ridge_points"), np.int64)]
        ridge_flat, ridge_lengths = _flatten(getattr(vor, "ridge_vertices"))
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
        corner_points[ids] = _circumcentres(generators, counts, points)

        a, b = ridge_points[:, 0], ridge_points[:, 1]
        interior = (a < n) & (b < n)
        # A ridge between a seed and its own mirror is the seed's face on the box. Ridges
        # between a seed and another seed's mirror have no area inside the box and are dropped.
        on_box = ((a < n) ^ (b < n)) & (self.source[a] == self.source[b])
        keep = np.flatnonzero((interior | on_box) & (mine[a] | mine[b]))
        flat = ridge_flat[_ragged_rows(ridge_lengths, keep)]
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
        all_vertices = xyz[order].astype(np.float32)
        all_edges = ends[order_edges].astype(np.int32)
        edge_start = np.searchsorted(cell, np.append(cells, n))
        for k, i in enumerate(cells.tolist()):
            self.vertices[i] = all_vertices[vertex_start[k]:vertex_start[k + 1]]
            self.edges[i] = all_edges[edge_start[k]:edge_start[k + 1]]

        inside = (a < n) & (b < n)
        self._pairs.append(np.sort(np.stack([a[inside], b[inside]], axis=1), axis=1)
                           .astype(np.int32))


def _main() -> None:
    """Times the fracture: python -m cellprox.fracture [N ...]."""
    import sys

    for text in sys.argv[1:] or ["1000", "10000", "100000"]:
        start = time.perf_counter()
        fracture = voronoi_fracture(int(text), collections=2)
        elapsed = time.perf_counter() - start
        edges = sum(len(e) for e in fracture.edges)
        print(f"{len(fracture):>7,} cells: {elapsed:6.2f} s, {edges / len(fracture):.1f} edges "
              f"and {len(fracture.neighbors) * 2 / len(fracture):.1f} face neighbours per cell")


if __name__ == "__main__":
    _main()
