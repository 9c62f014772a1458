"""The fracture's diagram block by block: which points each diagram takes in, and which cells
it settles.

The box is cut into blocks of a few thousand seeds, and each block's diagram takes in the points
(seeds and mirrors) of the block and of a halo a few seed spacings wide. A cell found there is
the cell of the whole diagram when every point within twice its circumradius (the distance from
its seed to its farthest vertex) was taken in: a point left out could only cut off space farther
from the seed than from that point. The few cells that do not pass are computed again from the
points around them, with a reach that grows until they do. Each diagram takes qhull well under a
second, so an interrupt lands between two of them, and progress is shown between them too.
"""
from __future__ import annotations

import numpy as np
import numpy.typing as npt

from cellprox._progress import ProgressBar
from cellprox._fracture.diagram import Sites, build_cells, flatten

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


def _voronoi(points: npt.NDArray[np.float64]) -> object:
    try:
        from scipy.spatial import Voronoi  # type: ignore[import-untyped, unused-ignore]
    except ImportError as error:
        raise ImportError(
            "voronoi_fracture needs scipy; install it with: pip install \"cellprox[demo]\" "
            f"(or pip install scipy). The import failed with: {error}") from error
    return Voronoi(points)


class BlockedCells:
    """The cells of seeds 0..n-1 among ``points`` (seeds, then mirrors), block by block."""

    def __init__(self, points: npt.NDArray[np.float64], source: npt.NDArray[np.int64], n: int,
                 size: npt.NDArray[np.float64], tolerance: float, exponent: int = 0) -> None:
        self.sites = Sites(points, source, n, size, tolerance, exponent)
        self.n = n
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
        size = self.sites.size
        seeds = self.sites.points[:self.n]
        bar.update(0)
        halo = BLOCK_HALO * spacing
        # Blocks as near cubes as the box allows, with at most about BLOCK_SEEDS seeds each.
        counts = np.ones(3, np.int64)
        while counts.prod() * BLOCK_SEEDS < self.n:
            counts[np.argmax(size / counts)] += 1
        block = np.minimum((seeds / size * counts).astype(np.int64), counts - 1)
        key = (block[:, 0] * counts[1] + block[:, 1]) * counts[2] + block[:, 2]
        order = np.argsort(key, kind="stable")
        for group in np.split(order, np.flatnonzero(np.diff(key[order])) + 1):
            where = block[group[0]]
            # The outermost blocks take in every mirror beyond the box.
            lo = np.where(where == 0, -np.inf, where * size / counts - halo)
            hi = np.where(where == counts - 1, np.inf, (where + 1) * size / counts + halo)
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
        points, size, tolerance = self.sites.points, self.sites.size, self.sites.tolerance
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
        flat, lengths = flatten([regions[r] for r in region_of])
        qhull_vertices = np.asarray(getattr(vor, "vertices"), np.float64)
        xyz = qhull_vertices[np.maximum(flat, 0)]
        owner = np.repeat(np.arange(len(own)), lengths)
        reach = np.linalg.norm(xyz - points[own][owner], axis=1)
        reach[flat < 0] = np.inf
        radius = np.zeros(len(own))
        np.maximum.at(radius, owner, reach)
        radius[lengths < 4] = np.inf
        outside = ((xyz < -tolerance) | (xyz > size + tolerance)).any(axis=1)
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
            cells = own[good]
            vertices, edges, pairs = build_cells(self.sites, vor, taken, cells,
                                                 flat[np.repeat(good, lengths)])
            for i, cell_vertices, cell_edges in zip(cells.tolist(), vertices, edges):
                self.vertices[i] = cell_vertices
                self.edges[i] = cell_edges
            self._pairs.append(pairs)
        self.built[own[good]] = True
        bar.update(int(self.built.sum()))
