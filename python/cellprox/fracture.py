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
cells and cannot be interrupted, but block by block (cellprox._fracture.blocks): each block's
diagram takes in the points of a few thousand seeds and of a halo around them, and a cell is
accepted from it only when it is provably the cell of the whole diagram. Every vertex is
recomputed from the points it separates, in a fixed order (cellprox._fracture.vertices), and the
cells are read from the diagrams by cellprox._fracture.diagram, so a face that two blocks share has
the same float32 vertices in both, and the cells are the same whatever the blocks. Ctrl-C
therefore lands between two blocks, within about a second, and leaves nothing behind.

Thin boxes. Where the cells are needles or plates, more than THIN_ASPECT times longer than
they are thick (a box of 1e6 x 1 x 1 cut into 100 cells), or the box itself more than
BOX_ASPECT times longer than thick, qhull's diagram of the seeds and their mirrors is
unreliable: its simplices are slivers, and cells come out reaching far beyond the box, or
qhull gives up. There each cell is cut from the box by the bisector planes of its nearest seeds
instead (cellprox._fracture.clipped), with the vertices computed from the seeds and faces they
separate as in the diagram: where both ways work they give the same cells (bit for bit in
every case tried, though the two compute a vertex by different formulas).

Scale. The cells are computed in the box scaled by a power of two to a largest side below 1,
and scaled back exactly, so any box whose sides float32 holds as normal numbers fractures the
same way; boxes beyond that range are refused, since their vertices would be infinite or lose
their precision.

This module owns the public side: :class:`Fracture`, :func:`voronoi_fracture` (its arguments
checked by cellprox._fracture.arguments), the mirrors and the check that every cell is clipped.

Scipy is needed to fracture (the ``demo`` extra: ``pip install "cellprox[demo]"``); importing
this module does not need it.
"""
from __future__ import annotations

import time
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING

import numpy as np
import numpy.typing as npt

from cellprox._messages import type_name
from cellprox._progress import ProgressBar, progress_bar
from cellprox.cells import bounding_corners
from cellprox._fracture.arguments import checked_arguments
from cellprox._fracture.blocks import BlockedCells
from cellprox._fracture.clipped import clipped_cells
from cellprox._fracture.processes import block_runner
from cellprox._workers import resolve_workers

if TYPE_CHECKING:
    from cellprox.cells import CellSet

__all__ = ["Fracture", "voronoi_fracture"]

# Seeds within this many mean seed spacings of a face are mirrored across it.
MIRROR_MARGIN = 3.0
# Cells longer than this many times their thickness are cut from the box plane by plane:
# qhull's diagram of such needles or plates with their mirrors is unreliable.
THIN_ASPECT = 30.0
# Nor does it resolve them in a diagram of a box more than this many times longer than thick,
# whatever the cells (it fails from about 30,000): such boxes are cut plane by plane too.
BOX_ASPECT = 1000.0
# How far (relative to the box's size) a vertex may lie outside the box before its cell counts
# as not clipped; qhull's vertices are accurate to about 1e-15 of the box.
_OUTSIDE_TOLERANCE = 1e-9


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
                     progress: bool = False, workers: int | None = None) -> Fracture:
    """Fractures the box ``[0, box[0]] x [0, box[1]] x [0, box[2]]`` into ``n_cells`` cells.

    The seeds are uniform random points (``numpy.random.default_rng(seed)``) rounded to
    float32; they are the cells' origins. Collections are regions: cell ``i`` belongs to
    collection ``c`` when its seed lies in the ``c``-th of ``collections`` equal slabs of the box
    along x, so each collection is a slab of whole cells and only the cells along the slabs'
    boundaries have neighbours of another collection. With ``progress`` the cells done so far
    are shown on standard error.

    The same arguments always give the same cells, whatever ``workers``. The diagram is
    computed block by block, on up to ``workers`` processes (None: ``CELLPROX_WORKERS`` or every
    core this process may use; -1: every core; 1: this process alone, as do fractures of fewer
    than 20,000 cells). 100,000 cells take about 20 seconds on one core and 12 on two, most of
    it in qhull; an interrupt (Ctrl-C) ends the call within about a second, and the processes with it. As
    with any use of processes, a script that fractures that many cells with more than one
    worker keeps its work under ``if __name__ == "__main__":``, or each process would run the
    script again (it would then fall back to this process, with a warning). Thin boxes whose
    cells are needles or plates are cut in this process, about half a millisecond a cell
    (50,000 needles in 20 seconds).

    Each of the box's sizes must lie between the smallest normal float32 (1.17549e-38) and the
    largest (3.40282e+38), and ``n_cells`` and ``collections`` must fit the int32 cell numbers
    (and ``n_cells`` the machine's memory); otherwise ValueError says which and why.
    """
    n, n_collections, size = checked_arguments(n_cells, collections, box)
    if not isinstance(progress, (bool, np.bool_)):
        raise TypeError(f"voronoi_fracture: progress must be True or False, not "
                        f"{type_name(progress)}")
    threads = resolve_workers(workers, "voronoi_fracture")
    # The cells are computed in the box scaled by a power of two to a largest side below 1.
    # That scaling is exact both ways, so the cells are those of the box itself, qhull sees
    # the same numbers however large or small the box, and boxes whose sides differ by a
    # power of two have the same cells, scaled.
    exponent = int(np.frexp(size.max())[1])
    unit = np.ldexp(size, -exponent)
    rng = np.random.default_rng(seed)
    seeds32 = (rng.random((n, 3)) * unit).astype(np.float32)
    # A seed on a face would coincide with its own mirror; keep seeds a hair inside.
    inset = (unit * 1e-6).astype(np.float32)
    seeds32 = np.clip(seeds32, inset, (unit - inset).astype(np.float32))
    seeds = seeds32.astype(np.float64)
    spacing, aspect = _spacing(unit, n)

    with progress_bar(bool(progress), "voronoi_fracture", n) as bar:
        if aspect > THIN_ASPECT or size.max() > BOX_ASPECT * size.min():
            vertices, edges, neighbors = clipped_cells(seeds, unit, exponent, bar)
            bar.update(n)
        else:
            cells = _diagram_cells(seeds, unit, spacing, exponent, bar, threads)
            vertices, edges, neighbors = cells.vertices, cells.edges, cells.neighbors()

    band = np.minimum((seeds[:, 0] / unit[0] * n_collections).astype(np.int64), n_collections - 1)
    return Fracture(vertices=vertices, edges=edges, origins=np.ldexp(seeds32, exponent),
                    collections=band.astype(np.int32),
                    box=(float(size[0]), float(size[1]), float(size[2])),
                    neighbors=neighbors)


def _diagram_cells(seeds: npt.NDArray[np.float64], size: npt.NDArray[np.float64],
                   spacing: float, exponent: int, bar: ProgressBar, workers: int) -> BlockedCells:
    """The cells from qhull's diagrams of the seeds and their mirrors, block by block."""
    n = len(seeds)
    distance_to_face = np.concatenate([seeds, size - seeds], axis=1).T  # (6, n): x0 y0 z0 x1 ..
    mirrored = distance_to_face < MIRROR_MARGIN * spacing
    tolerance = _OUTSIDE_TOLERANCE * float(size.max())
    with block_runner(workers, n) as runner:
        for attempt in range(4):
            points, source = _with_mirrors(seeds, size, mirrored)
            cells = BlockedCells(points, source, n, size, tolerance, exponent)
            unclipped = cells.compute(spacing, bar, runner)
            if not unclipped.any():
                return cells
            if attempt == 2:
                mirrored[:] = True      # the last resort is exact by construction
            else:
                mirrored[:, unclipped] = True
    raise RuntimeError(
        f"voronoi_fracture: {int(unclipped.sum())} of {n} cells are not closed even "
        "with every seed mirrored; qhull could not resolve these seeds. Try another seed.")


def _spacing(size: npt.NDArray[np.float64], n: int) -> tuple[float, float]:
    """The mean seed spacing and how elongated the cells are (their longest extent over their
    shortest). Where the box is thinner than the spacing, the seeds spread over its other
    sides only, and the cells are as thin as the box."""
    sides = np.sort(size)[::-1]
    for free in (3, 2, 1):
        spacing = float((np.prod(sides[:free]) / n) ** (1.0 / free))
        if free == 1 or sides[free - 1] >= spacing:
            break
    extent = np.minimum(sides, spacing)
    return spacing, float(extent.max() / extent.min())


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
