"""The fracture's cells of a thin box, each cut directly from the box by its bisector planes.

Where the cells are needles or plates (a box far longer than its seed spacing in one or two
directions is thinner than it in another), qhull cannot resolve the mirrors in the thin
directions: the Delaunay simplices are slivers, and the diagram it returns has cells reaching
far outside the box. There every cell is instead the box cut by the bisector planes of its
nearest seeds: each vertex is three of the cell's planes (box faces or bisectors) that no other
plane cuts off. The cell is complete once twice its circumradius is within the distance to the
farthest seed considered, as no farther seed could cut it then.

A vertex is named by its four generators: the seeds and box faces equidistant from it, ascending
(faces numbered after the seeds). Its coordinates are computed once from that name, so a vertex
that two cells share has the very same bits in both, as in the diagram's cells.
"""
from __future__ import annotations

import itertools

import numpy as np
import numpy.typing as npt

from cellprox._progress import ProgressBar
from cellprox._fracture.vertices import solve3

# Seeds considered first around each cell; doubled while the cell is not provably complete.
FIRST_NEIGHBOURS = 12
# Cells whose corners are found together, in one set of array operations.
BATCH = 256
# A corner counts as inside a plane when within this much (of the cell's reach) of it.
_INSIDE = 1e-10


def clipped_cells(seeds: npt.NDArray[np.float64], size: npt.NDArray[np.float64],
                  exponent: int, bar: ProgressBar
                  ) -> tuple[list[npt.NDArray[np.float32]], list[npt.NDArray[np.int32]],
                             npt.NDArray[np.int32]]:
    """The cells of ``seeds`` in the box ``[0, size]``: each cell's float32 vertices (scaled by
    2**exponent) in coordinate order, its edges, and the pairs of seeds sharing a face."""
    from scipy.spatial import cKDTree  # type: ignore[import-untyped, unused-ignore]

    n = len(seeds)
    tree = cKDTree(seeds)
    first = min(FIRST_NEIGHBOURS, n - 1)
    first_distance, first_near = tree.query(seeds, first + 1)
    first_distance = np.reshape(first_distance, (n, first + 1))
    first_near = np.reshape(first_near, (n, first + 1))
    names, triples = [], []
    for start in range(0, n, BATCH):
        cells = np.arange(start, min(start + BATCH, n))
        near = first_near[cells, 1:]
        inside, radius = _corners(cells, near, seeds, size)
        for row, i in enumerate(cells.tolist()):
            k, distance, own_near, own_inside = first, first_distance[i, -1], near[row], inside[row]
            # The few cells the nearest seeds do not settle consider more, one at a time.
            while k < n - 1 and 2.0 * radius[row] > distance:
                k = min(2 * k, n - 1)
                distances, nearest = tree.query(seeds[i], k + 1)
                distance, own_near = distances[-1], nearest[1:]
                more_inside, more_radius = _corners(np.array([i]), own_near[None], seeds, size)
                own_inside, radius[row] = more_inside[0], more_radius[0]
            corner_planes = _triples(len(own_near) + 6)[own_inside]
            generators = np.concatenate([own_near, n + np.arange(6)])[corner_planes]
            names.append(np.sort(np.concatenate(
                [np.full((len(generators), 1), i), generators], axis=1), axis=1))
            triples.append(corner_planes)
        bar.update(int(cells[-1]) + 1)
    name = np.concatenate(names)
    keys, which = np.unique(name, axis=0, return_inverse=True)
    which = which.reshape(-1)
    xyz = np.ldexp(_vertices_named(keys, seeds, size), exponent)

    vertices, edges, pairs = [], [], []
    start = 0
    for i in range(n):
        count = len(triples[i])
        ids = which[start:start + count]
        order = np.lexsort((xyz[ids, 2], xyz[ids, 1], xyz[ids, 0]))
        vertices.append(xyz[ids[order]].astype(np.float32))
        rank = np.empty(count, np.int64)
        rank[order] = np.arange(count)
        edges.append(_edges(triples[i], rank))
        faces = name[start:start + count]
        shared, sides = np.unique(faces[(faces != i) & (faces < n)], return_counts=True)
        pairs.append(np.stack([np.full(np.count_nonzero(sides >= 3), i),
                               shared[sides >= 3]], axis=1))
        start += count
    neighbours = np.unique(np.sort(np.concatenate(pairs), axis=1), axis=0).astype(np.int32)
    return vertices, edges, neighbours.reshape(-1, 2)


def _corners(cells: npt.NDArray[np.int64], near: npt.NDArray[np.int64],
             seeds: npt.NDArray[np.float64], size: npt.NDArray[np.float64]
             ) -> tuple[npt.NDArray[np.bool_], npt.NDArray[np.float64]]:
    """Which triples of planes (bisectors with the seeds ``near[c]``, then the six faces) meet at
    a corner of the cell of seed ``cells[c]``, for each c, and each cell's circumradius."""
    count, k = near.shape
    origin = seeds[cells][:, None, :]
    faces = np.broadcast_to(np.concatenate([-np.eye(3), np.eye(3)]), (count, 6, 3))
    normal = np.concatenate([seeds[near] - origin, faces], axis=1)
    offset = np.concatenate([0.5 * (normal[:, :k] ** 2).sum(axis=2), origin[:, 0],
                             size - origin[:, 0]], axis=1)
    # Unit normals, so that the slack below is a distance.
    length = np.sqrt((normal ** 2).sum(axis=2))
    normal, offset = normal / length[:, :, None], offset / length
    triple = _triples(k + 6)
    with np.errstate(divide="ignore", invalid="ignore"):
        corner = solve3(normal[:, triple].reshape(-1, 3, 3),
                        offset[:, triple].reshape(-1, 3)).reshape(count, len(triple), 3)
    # Rounding moves a corner by a tiny part of the cell's size, which the farthest seed
    # bounds; a face narrower than the slack would be far below float32's resolution anyway.
    slack = _INSIDE * (length[:, :k].max(axis=1) if k else np.full(count, size.max()))
    inside = np.isfinite(corner).all(axis=2)
    corner[~inside] = 0.0
    inside &= (corner @ normal.transpose(0, 2, 1)
               <= offset[:, None, :] + slack[:, None, None]).all(axis=2)
    if not inside.any(axis=1).all():
        raise RuntimeError(f"voronoi_fracture: the cell of seed "
                           f"{int(cells[~inside.any(axis=1)][0])} has no corners (another seed "
                           "at the same point?); please report the arguments used")
    radius = np.sqrt(np.where(inside, (corner ** 2).sum(axis=2), 0.0).max(axis=1))
    return inside, radius


_TRIPLES: dict[int, npt.NDArray[np.int64]] = {}


def _triples(count: int) -> npt.NDArray[np.int64]:
    if count not in _TRIPLES:
        _TRIPLES[count] = np.array(list(itertools.combinations(range(count), 3)), np.int64)
    return _TRIPLES[count]


def _edges(triple: npt.NDArray[np.int64], rank: npt.NDArray[np.int64]) -> npt.NDArray[np.int32]:
    """Two corners are the ends of an edge when they share two planes."""
    lines = np.concatenate([triple[:, [0, 1]], triple[:, [0, 2]], triple[:, [1, 2]]])
    corner = np.tile(rank, 3)
    order = np.lexsort((corner, lines[:, 1], lines[:, 0]))
    lines, corner = lines[order], corner[order]
    same = (lines[1:] == lines[:-1]).all(axis=1)
    ends = np.stack([corner[:-1][same], corner[1:][same]], axis=1)
    ends.sort(axis=1)
    ordered: npt.NDArray[np.int32] = ends[np.lexsort((ends[:, 1], ends[:, 0]))].astype(np.int32)
    return ordered


def _vertices_named(keys: npt.NDArray[np.int64], seeds: npt.NDArray[np.float64],
                    size: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """The point of each name (four ascending generators, faces numbered n + 0..5 for the
    lower faces x, y, z and then the upper ones), from the name alone."""
    n = len(seeds)
    first = seeds[keys[:, 0]]
    rows = np.empty((len(keys), 3, 3))
    rhs = np.empty((len(keys), 3))
    for k in range(3):
        g = keys[:, k + 1]
        face = g >= n
        d = seeds[np.minimum(g, n - 1)] - first
        rows[:, k] = np.where(face[:, None], np.eye(3)[(g - n) % 3], d)
        plane = np.where((g - n) >= 3, size[(g - n) % 3], 0.0)
        rhs[:, k] = np.where(face, plane - first[np.arange(len(keys)), (g - n) % 3],
                             0.5 * (d * d).sum(axis=1))
    xyz = solve3(rows, rhs) + first
    # On a face the coordinate is the face's, exactly, whatever the rounding.
    for k in range(1, 4):
        g = keys[:, k]
        on_face = np.flatnonzero(g >= n)
        axis = (g[on_face] - n) % 3
        xyz[on_face, axis] = np.where(g[on_face] - n >= 3, size[axis], 0.0)
    clipped: npt.NDArray[np.float64] = np.clip(xyz, 0.0, size)
    return clipped
