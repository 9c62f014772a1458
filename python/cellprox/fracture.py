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

Scipy is needed to fracture (the ``demo`` extra: ``pip install "cellprox[demo]"``); importing
this module does not need it.
"""
from __future__ import annotations

import itertools
import numbers
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING

import numpy as np
import numpy.typing as npt

from cellprox.cells import bounding_corners

if TYPE_CHECKING:
    from cellprox.cells import CellSet

__all__ = ["Fracture", "voronoi_fracture"]

# Seeds within this many mean seed spacings of a face are mirrored across it.
MIRROR_MARGIN = 3.0
# How far (relative to the box's size) a vertex may lie outside the box before its cell counts
# as not clipped; qhull's vertices are accurate to about 1e-15 of the box.
_OUTSIDE_TOLERANCE = 1e-9

Progress = Callable[[str], None]


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


def _quiet(message: str) -> None:
    del message


def voronoi_fracture(n_cells: int, *, seed: int = 0, collections: int = 1,
                     box: Sequence[float] = (1.0, 1.0, 1.0),
                     progress: Progress | None = None) -> Fracture:
    """Fractures the box ``[0, box[0]] x [0, box[1]] x [0, box[2]]`` into ``n_cells`` cells.

    The seeds are uniform random points (``numpy.random.default_rng(seed)``) rounded to
    float32; they are the cells' origins. Collections are regions: cell ``i`` belongs to
    collection ``c`` when its seed lies in the ``c``-th of ``collections`` equal slabs of the box
    along x, so each collection is a slab of whole cells and only the cells along the slabs'
    boundaries have neighbours of another collection. ``progress``, if given, is called with a
    short message before each stage that takes a moment.

    The same arguments always give the same cells. 100,000 cells take 20 to 30 seconds on two
    cores, most of it in qhull.
    """
    n, n_collections, size = _check_arguments(n_cells, collections, box)
    report = progress or _quiet
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

    for attempt in range(4):
        points, source = _with_mirrors(seeds, size, mirrored)
        report(f"Voronoi diagram of {n:,} seeds and {len(points) - n:,} mirrors")
        vor = _voronoi(points)
        report("checking that every cell is clipped at the box")
        unclipped = _unclipped_cells(vor, n, size, tolerance)
        if not unclipped.any():
            break
        if attempt == 2:
            mirrored[:] = True      # the last resort is exact by construction
        else:
            mirrored[:, unclipped] = True
    else:
        raise RuntimeError(
            f"voronoi_fracture: {int(unclipped.sum())} of {n} cells are not closed even with "
            "every seed mirrored; qhull could not resolve these seeds. Try another seed.")

    report("ordering face polygons and collecting cell edges")
    vertices, edges, neighbors = _cells_from_diagram(vor, points, source, n, size, tolerance)
    band = np.minimum((seeds[:, 0] / size[0] * n_collections).astype(np.int64), n_collections - 1)
    return Fracture(vertices=vertices, edges=edges, origins=seeds32,
                    collections=band.astype(np.int32),
                    box=(float(size[0]), float(size[1]), float(size[2])), neighbors=neighbors)


def _check_arguments(n_cells: int, collections: int,
                     box: Sequence[float]) -> tuple[int, int, npt.NDArray[np.float64]]:
    count = _positive_integer("n_cells", n_cells, "")
    bands = _positive_integer("collections", collections, " (1 for a single collection)")
    if isinstance(box, (str, bytes)) or not isinstance(box, (Sequence, np.ndarray)) or \
            not all(isinstance(s, numbers.Real) and not isinstance(s, (bool, np.bool_))
                    for s in np.asarray(box, dtype=object).ravel()):
        raise TypeError("voronoi_fracture: box must be three sizes (x, y, z), such as "
                        f"(1.0, 1.0, 1.0), not {box!r}")
    size = np.asarray(box, dtype=np.float64)
    if size.shape != (3,):
        raise ValueError("voronoi_fracture: box must be three sizes (x, y, z), such as "
                         f"(1.0, 1.0, 1.0), not {box!r}")
    if not (np.isfinite(size).all() and (size > 0).all()):
        raise ValueError(f"voronoi_fracture: the box's sizes must be positive and finite, not "
                         f"{tuple(float(s) for s in size)}")
    return count, bands, size


def _positive_integer(name: str, value: object, hint: str) -> int:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Integral):
        raise TypeError(f"voronoi_fracture: {name} must be a positive integer{hint}, not "
                        f"{type(value).__name__}")
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


def _unclipped_cells(vor: object, n: int, size: npt.NDArray[np.float64],
                     tolerance: float) -> npt.NDArray[np.bool_]:
    """Seeds 0..n-1 whose cell is empty, unbounded or reaches outside the box."""
    point_region = np.asarray(getattr(vor, "point_region"))[:n]
    regions = getattr(vor, "regions")
    flat, lengths = _flatten([regions[r] for r in point_region])
    corner_points = np.asarray(getattr(vor, "vertices"))
    outside = ((corner_points < -tolerance) | (corner_points > size + tolerance)).any(axis=1)
    bad_vertex = (flat < 0) | outside[np.maximum(flat, 0)]
    owner = np.repeat(np.arange(n), lengths)
    bad = np.bincount(owner[bad_vertex], minlength=n) > 0
    result: npt.NDArray[np.bool_] = bad | (lengths < 4)
    return result


def _cells_from_diagram(vor: object, points: npt.NDArray[np.float64],
                        source: npt.NDArray[np.int64], n: int, size: npt.NDArray[np.float64],
                        tolerance: float) -> tuple[list[npt.NDArray[np.float32]], list[npt.NDArray[np.int32]],
                                   npt.NDArray[np.int32]]:
    ridge_points = np.asarray(getattr(vor, "ridge_points"), np.int64)
    a, b = ridge_points[:, 0], ridge_points[:, 1]
    interior = (a < n) & (b < n)
    # A ridge between a seed and its own mirror is the seed's face on the box. Ridges between a
    # seed and another seed's mirror have no area inside the box and are dropped.
    on_box = ((a < n) ^ (b < n)) & (source[a] == source[b])
    keep = np.flatnonzero(interior | on_box)
    ridge_vertices = getattr(vor, "ridge_vertices")
    flat, lengths = _flatten([ridge_vertices[r] for r in keep])
    polygon = lengths >= 3          # fewer than three vertices: no area
    if (flat < 0).any():
        raise RuntimeError("voronoi_fracture: a cell face reaches infinity although every cell "
                           "was checked to be closed; please report the arguments used")
    keep_rows = np.repeat(polygon, lengths)
    flat, lengths, keep = flat[keep_rows], lengths[polygon], keep[polygon]
    a, b = a[keep], b[keep]

    # Order each face's vertices by angle around the face's centroid, in the face plane, whose
    # normal is the direction between the two points the face separates.
    corner_points = np.asarray(getattr(vor, "vertices"), np.float64)
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
    order = np.lexsort((angle, face_of))
    ring = flat[order]
    position = np.arange(len(ring))
    following = position + 1
    last = starts + lengths - 1
    following[last] = starts
    first_end, second_end = ring, ring[following]

    # Every face edge goes to the face's seed cells (two for an inside face, one on the box).
    edge_face = face_of
    owners = [a[edge_face], b[edge_face]]
    lo = np.minimum(first_end, second_end)
    hi = np.maximum(first_end, second_end)
    cell_parts, lo_parts, hi_parts = [], [], []
    for owner in owners:
        mine = owner < n
        cell_parts.append(owner[mine])
        lo_parts.append(lo[mine])
        hi_parts.append(hi[mine])
    cell = np.concatenate(cell_parts)
    lo, hi = np.concatenate(lo_parts), np.concatenate(hi_parts)
    order = np.lexsort((hi, lo, cell))
    cell, lo, hi = cell[order], lo[order], hi[order]
    first = np.ones(len(cell), bool)
    first[1:] = (cell[1:] != cell[:-1]) | (lo[1:] != lo[:-1]) | (hi[1:] != hi[:-1])
    cell, lo, hi = cell[first], lo[first], hi[first]

    # Each cell's own vertex numbering: its distinct corner points, ascending.
    n_points = len(corner_points)
    keys = np.unique(np.concatenate([cell * n_points + lo, cell * n_points + hi]))
    vertex_cell = keys // n_points
    vertex_start = np.searchsorted(vertex_cell, np.arange(n + 1))
    local_lo = np.searchsorted(keys, cell * n_points + lo) - vertex_start[cell]
    local_hi = np.searchsorted(keys, cell * n_points + hi) - vertex_start[cell]
    # Points on the box's faces are put exactly on them (qhull leaves them ~1e-16 off).
    xyz = np.clip(corner_points[keys % n_points], 0.0, size)
    xyz[xyz < tolerance] = 0.0
    near_upper = xyz > size - tolerance
    xyz[near_upper] = np.broadcast_to(size, xyz.shape)[near_upper]
    all_vertices = xyz.astype(np.float32)
    all_edges = np.stack([local_lo, local_hi], axis=1).astype(np.int32)
    edge_start = np.searchsorted(cell, np.arange(n + 1))
    vertices = np.split(all_vertices, vertex_start[1:-1])
    edges = np.split(all_edges, edge_start[1:-1])

    inside = a < n
    inside &= b < n
    pairs = np.sort(np.stack([a[inside], b[inside]], axis=1), axis=1)
    pairs = np.unique(pairs, axis=0).astype(np.int32)
    return vertices, edges, pairs


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
