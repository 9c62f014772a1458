"""The fracture's diagram block by block: which points each diagram takes in, and which cells
it settles.

The box is cut into blocks of a few thousand seeds, and each block's diagram takes in the points
(seeds and mirrors) of the block and of a halo a few seed spacings wide. A cell found there is
the cell of the whole diagram when every point within twice its circumradius (the distance from
its seed to its farthest vertex) was taken in: a point left out could only cut off space farther
from the seed than from that point. The few cells that do not pass are computed again from the
points around them, with a reach that grows until they do. Each diagram takes qhull well under a
second, so an interrupt lands between two of them, and progress is shown between them too.

A diagram is computed by :func:`settle` from the points it takes in alone, numbered afresh (in the
same order), so that it may run in another process (cellprox._fracture.processes): qhull holds the
interpreter lock, and only processes run two diagrams at once.
"""
from __future__ import annotations

from collections.abc import Iterator
from dataclasses import dataclass
from typing import Protocol, cast

import numpy as np
import numpy.typing as npt

from cellprox._progress import ProgressBar
from cellprox._fracture.diagram import BuiltCells, Sites, build_cells, flatten

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


@dataclass(frozen=True)
class Settled:
    """What one diagram settled about the seeds it was asked for (``own``): which cells it
    settled, which of those reach outside the box, the circumradius of each cell as seen there
    (inf: not closed), and the cells settled inside the box, built."""

    settled: npt.NDArray[np.bool_]
    outside: npt.NDArray[np.bool_]
    radius: npt.NDArray[np.float64]
    built: BuiltCells | None


# A diagram's job: the points it takes in, the seeds (numbered among those points) whose cells
# it is asked for, and the box around each such seed that it took every point of.
Job = tuple[Sites, npt.NDArray[np.int64], npt.NDArray[np.float64], npt.NDArray[np.float64]]
# What this process keeps of a job to take in its result: the job's points' numbers here, and
# the seeds it was asked for.
Context = tuple[npt.NDArray[np.int64], npt.NDArray[np.int64]]


class Runner(Protocol):
    """Runs diagram jobs, in this process or in others; the results come in any order, each
    with the context it was given with."""

    def results(self, jobs: Iterator[tuple[Job, Context]]) -> Iterator[tuple[Context, Settled]]:
        ...


class InProcess:
    """Each diagram in this process, one after the other, as they come."""

    def results(self, jobs: Iterator[tuple[Job, Context]]) -> Iterator[tuple[Context, Settled]]:
        for job, context in jobs:
            yield context, settle(*job)


def settle(sites: Sites, own: npt.NDArray[np.int64], lo: npt.NDArray[np.float64],
           hi: npt.NDArray[np.float64]) -> Settled:
    """One diagram of all the ``sites``, and the cells of the seeds ``own`` (``own[k]`` inside
    the box ``lo[k]..hi[k]``, or all in the one box ``lo[0]..hi[0]``, which took in every point)
    that it settles."""
    points, size, tolerance = sites.points, sites.size, sites.tolerance
    vor = _voronoi(points)
    region_of = np.asarray(getattr(vor, "point_region"))[own]
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
    # A cast: numpy 2's stubs give all() a scalar or an array.
    settled = cast("npt.NDArray[np.bool_]", ((seed_xyz - 2.0 * radius[:, None] >= lo) | np.isneginf(lo)).all(axis=1))
    settled &= ((seed_xyz + 2.0 * radius[:, None] <= hi) | np.isposinf(hi)).all(axis=1)
    good = settled & ~is_outside
    built = None
    if good.any():
        built = build_cells(sites, vor, own[good], flat[np.repeat(good, lengths)])
    return Settled(settled, is_outside, radius, built)


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
        self._done = 0
        # The points in x order, so that a box's points are looked for among those of its slab
        # only: this process's time is taken from the processes computing diagrams.
        self._by_x = np.argsort(points[:, 0], kind="stable")
        self._sorted_x = points[self._by_x, 0]

    def neighbors(self) -> npt.NDArray[np.int32]:
        if not self._pairs:
            return np.zeros((0, 2), np.int32)
        pairs = np.concatenate(self._pairs).astype(np.int64)
        # Unique rows through one int64 key each: the rows' order, many times faster.
        keys = np.unique(pairs[:, 0] * self.n + pairs[:, 1])
        unique: npt.NDArray[np.int32] = np.stack([keys // self.n, keys % self.n],
                                                 axis=1).astype(np.int32)
        return unique

    def compute(self, spacing: float, bar: ProgressBar,
                runner: Runner | None = None) -> npt.NDArray[np.bool_]:
        """Builds every cell; returns which seeds' cells are not closed inside the box."""
        runner = runner or InProcess()
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

        def blocks() -> Iterator[tuple[Job, Context]]:
            for group in np.split(order, np.flatnonzero(np.diff(key[order])) + 1):
                where = block[group[0]]
                # The outermost blocks take in every mirror beyond the box.
                lo = np.where(where == 0, -np.inf, where * size / counts - halo)
                hi = np.where(where == counts - 1, np.inf, (where + 1) * size / counts + halo)
                yield self._job(group, lo[None], hi[None])

        self._take(runner.results(blocks()), bar)

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

            def retries() -> Iterator[tuple[Job, Context]]:
                for group in np.array_split(np.arange(len(pending)),
                                            -(-len(pending) // RETRY_SEEDS)):
                    centre = seeds[pending[group]]
                    yield self._job(pending[group], centre - half[group, None],
                                    centre + half[group, None])

            self._take(runner.results(retries()), bar)
        return self.unclipped

    def _job(self, own: npt.NDArray[np.int64], lo: npt.NDArray[np.float64],
             hi: npt.NDArray[np.float64]) -> tuple[Job, Context]:
        """The diagram of the points inside any of the boxes ``lo[k]..hi[k]``, asked for the
        cells of the seeds ``own`` (``own[k]`` inside box k, or all inside a single box); its
        context is the points' numbers here and ``own``."""
        sites = self.sites
        points = sites.points
        boxes = np.unique(np.concatenate([lo, hi], axis=1), axis=0) if len(lo) > 1 else \
            np.concatenate([lo, hi], axis=1)
        inside = np.zeros(len(points), bool)
        for box in boxes:
            slab = self._by_x[np.searchsorted(self._sorted_x, box[0], "left"):
                              np.searchsorted(self._sorted_x, box[3], "right")]
            inside[slab[((points[slab] >= box[:3]) & (points[slab] <= box[3:])).all(axis=1)]] = True
        taken = np.flatnonzero(inside)
        # Numbered afresh in the same order: the seeds stay first, and every sort by point
        # number within the diagram comes out as it would with the numbers here.
        local = Sites(points[taken], sites.source[taken], int(np.searchsorted(taken, sites.n)),
                      sites.size, sites.tolerance, sites.exponent)
        return (local, np.searchsorted(taken, own), np.ascontiguousarray(lo),
                np.ascontiguousarray(hi)), (taken, own)

    def _take(self, results: Iterator[tuple[Context, Settled]], bar: ProgressBar) -> None:
        """Records what each diagram settled, as the diagrams come in."""
        for context, result in results:
            taken, own = context
            self.unclipped[own[result.settled & result.outside]] = True
            unsettled = ~result.settled
            self.radius[own[unsettled]] = result.radius[unsettled]
            if result.built is not None:
                cells = own[result.settled & ~result.outside]
                vertices, edges = result.built.split()
                for i, cell_vertices, cell_edges in zip(cells.tolist(), vertices, edges):
                    self.vertices[i] = cell_vertices
                    self.edges[i] = cell_edges
                self._pairs.append(taken[result.built.pairs].astype(np.int32))
                self.built[cells] = True
                self._done += len(cells)
            bar.update(self._done)
