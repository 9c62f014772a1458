"""``python -m cellprox demo``: fracture a box, find which cells touch, draw the result.

This module runs the demo and computes what the picture shows; demo.summary writes the text
summary and demo.picture draws the picture.
"""
from __future__ import annotations

import os
import sys
import time
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, TextIO

import numpy as np
import numpy.typing as npt

from cellprox._meshes.libraries import INSTALL as INSTALL_MESH, pyvista
from cellprox._version import __version__
from cellprox.cells import CellSet
from cellprox.demo.picture import Picture, WireFrames, import_pyplot, save
from cellprox.demo.summary import across, summarize
from cellprox.fracture import Fracture, voronoi_fracture
from cellprox.meshes import write_cells_vtk, write_pairs_vtk
from cellprox.pipeline import NeighborResult, find_neighbors

if TYPE_CHECKING:
    from cellprox.demo.animation import FramesSummary

# At most this many cells are drawn in the 3-D view (a random choice beyond it).
MAX_CELLS_3D = 2500
# The slice shows a window of about this many cut cells.
MAX_SLICE_CELLS = 400
# Beyond this many links a view draws a random choice of them: matplotlib spends about 10 us on
# each, and a picture of millions of links shows no more than one of thousands.
MAX_DRAWN_LINKS = 20_000
# The most candidate pairs the demo takes on; 20 million are measured in a few seconds and hold
# about a gigabyte with what the summary and the picture derive from them.
MAX_CANDIDATES = 20_000_000
# A Voronoi cell's box spans about this many times the seeds' mean spacing along each axis.
CELL_BOX_SPAN = 1.45


@dataclass
class DemoOptions:
    cells: int = 3000
    threshold: float = 0.001
    seed: int = 0
    collections: int = 2
    output: Path = Path("cellprox-demo.png")
    quiet: bool = False
    rule: str = "vertices-edges"
    # None: CELLPROX_WORKERS, or every core.
    workers: int | None = None
    # A folder for cells.vtu and pairs.vtp, or None.
    save_vtk: Path | None = None
    # Frames to follow the pieces flying apart for, instead of drawing the picture; or None.
    frames: int | None = None


class Progress:
    """Progress lines on standard error: what is being done, and when it started."""

    def __init__(self, stream: TextIO | None, clock_start: float) -> None:
        self.stream = stream
        self.start = clock_start

    def __call__(self, message: str) -> None:
        if self.stream is not None:
            elapsed = time.perf_counter() - self.start
            print(f"[{elapsed:6.2f} s] {message} ...", file=self.stream, flush=True)


@dataclass
class DemoRun:
    fracture: Fracture
    cells: CellSet
    result: NeighborResult
    seconds: dict[str, float]


class DemoArgumentError(ValueError):
    """An option the package refused; its message names the option."""


def candidate_estimate(cells: int, threshold: float) -> tuple[float, float]:
    """The seeds' mean spacing in the unit box, and about how many pairs of cells have boxes
    within ``threshold`` of each other along every axis (the candidates both rules measure).

    Two uniform positions in [0, 1] lie within w of each other with probability 2w - w^2; the
    estimate is within a few percent of the demo's fractures from a few thousand cells up.
    """
    spacing = cells ** (-1.0 / 3.0)
    reach = min(1.0, threshold + CELL_BOX_SPAN * spacing)
    return spacing, cells * (cells - 1) / 2 * (2 * reach - reach * reach) ** 3


def check_candidates(options: DemoOptions) -> str | None:
    """Refuses, before any work, a threshold that would make more candidates than the demo
    takes on; returns a warning when it reaches beyond the cells' spacing."""
    n, threshold = options.cells, options.threshold
    spacing, estimate = candidate_estimate(n, threshold)
    if threshold >= 1.0:
        implies = (f"{threshold:g} reaches across the whole unit box: all "
                   f"{n * (n - 1) // 2:,} pairs of the {n:,} cells are candidates")
    else:
        implies = (f"{threshold:g} is {threshold / spacing:.1f} times the cells' spacing: about "
                   f"{_rounded(estimate)} candidate pairs")
    if estimate > MAX_CANDIDATES:
        raise DemoArgumentError(
            f"argument -t/--threshold: {implies}, more than the demo's {MAX_CANDIDATES:,}; give "
            f"a threshold below the cells' spacing (about {spacing:.2g} for {n:,} cells), such "
            "as the default 0.001, or fewer cells")
    if threshold >= spacing:
        return (f"threshold {implies} (the spacing is about {spacing:.2g} for {n:,} cells); "
                "most cells pair with many beyond their faces")
    return None


def _rounded(count: float) -> str:
    """A count to three significant figures, as an estimate reads."""
    return f"{float(f'{count:.3g}'):,.0f}"


def unavailable_tools(error: ImportError) -> str:
    """What to do when the fracture, the picture or the VTK files cannot import what they
    need."""
    if INSTALL_MESH in str(error):
        return str(error)
    if error.name == "cellprox.frames":
        return (f"--frames follows the cells with cellprox.Tracker, which this build of "
                f"cellprox {__version__} does not have; install one that does")
    return (f"the fracture needs scipy and the picture matplotlib ({error}); install both with: "
            'pip install "cellprox[demo]"')


def run_demo(options: DemoOptions, out: TextIO = sys.stdout) -> DemoRun:
    """Fractures, finds the neighbours, prints the summary to ``out`` and writes the picture."""
    import_pyplot()   # before the work: without matplotlib there is nothing to show
    _check_writable(options.output)
    if options.save_vtk is not None:
        pyvista()
        options.save_vtk.mkdir(parents=True, exist_ok=True)
    begin = time.perf_counter()
    progress = Progress(None if options.quiet else sys.stderr, begin)
    seconds: dict[str, float] = {}

    progress(f"fracturing the unit box into {options.cells:,} Voronoi cells")
    start = time.perf_counter()
    fracture = voronoi_fracture(options.cells, seed=options.seed,
                                collections=options.collections, progress=not options.quiet,
                                workers=options.workers)
    seconds["fracture"] = time.perf_counter() - start

    progress("building the cell records")
    start = time.perf_counter()
    cells = fracture.cell_set()
    seconds["cell records"] = time.perf_counter() - start

    progress("measuring the hull distance of every candidate pair" if options.rule == "hull"
             else "finding the candidate pairs and testing their vertices and edges")
    start = time.perf_counter()
    result = _find_neighbors(cells, options)
    seconds["neighbours"] = time.perf_counter() - start
    summary = summarize(fracture, result, seconds, options.seed, options.collections)
    print(summary, file=out)

    progress(f"drawing {options.output}")
    start = time.perf_counter()
    save(picture(fracture, cells, result, seconds), options.output)
    seconds["picture"] = time.perf_counter() - start
    print(f"picture: {options.output} (drawn in {seconds['picture']:.1f} s; total "
          f"{time.perf_counter() - begin:.1f} s)", file=out)
    if options.save_vtk is not None:
        cells_file = write_cells_vtk(cells, options.save_vtk / "cells.vtu", result)
        pairs_file = write_pairs_vtk(result, options.save_vtk / "pairs.vtp")
        print(f"for ParaView: {cells_file} and {pairs_file}", file=out)
    return DemoRun(fracture, cells, result, seconds)


def run_frames_demo(options: DemoOptions, out: TextIO | None = None) -> FramesSummary:
    """Fractures as run_demo does, then follows the pieces flying apart for ``options.frames``
    frames with one Tracker, a line a frame to ``out`` (only the summary line when quiet); no
    picture."""
    from cellprox.demo.animation import run_frames

    progress = Progress(None if options.quiet else sys.stderr, time.perf_counter())
    progress(f"fracturing the unit box into {options.cells:,} Voronoi cells")
    fracture = voronoi_fracture(options.cells, seed=options.seed,
                                collections=options.collections, progress=not options.quiet,
                                workers=options.workers)
    return run_frames(fracture, options.frames or 1, options.threshold, rule=options.rule,
                      seed=options.seed, workers=options.workers, out=out or sys.stdout,
                      quiet=options.quiet,
                      progress=progress)


def _find_neighbors(cells: CellSet, options: DemoOptions) -> NeighborResult:
    try:
        return find_neighbors(cells, options.threshold, rule=options.rule,
                              progress=not options.quiet, workers=options.workers)
    except ValueError as error:
        raise DemoArgumentError(f"argument -t/--threshold: {options.threshold:g} was refused: "
                                f"{' '.join(str(error).split())}") from error


def _check_writable(path: Path) -> None:
    """Fails before the work, not after it, when the picture cannot be written."""
    if not path.parent.is_dir():
        raise FileNotFoundError(2, "no such folder", str(path.parent))
    if path.is_dir():
        raise IsADirectoryError(21, "it is a directory", str(path))
    if not os.access(path.parent, os.W_OK) or (path.exists() and not os.access(path, os.W_OK)):
        raise PermissionError(13, "permission denied", str(path))


def slice_polygons(cells: CellSet, z: float) -> tuple[list[npt.NDArray[np.float64]],
                                                      npt.NDArray[np.int64]]:
    """Cross-sections of the (convex) cells with the plane at height ``z``.

    Returns the polygons ((k, 2) x-y points each, in order around their centre) and the cells
    they belong to.
    """
    e_counts = cells.e_counts
    owner = np.repeat(np.arange(len(cells)), e_counts)
    ends = cells.edge_data.astype(np.int64) + np.repeat(cells.vertex_starts, e_counts)[:, None]
    p, q = cells.vertex_data[ends[:, 0]].astype(np.float64), cells.vertex_data[ends[:, 1]]
    dp, dq = p[:, 2] - z, q[:, 2] - z
    crossing = dp * dq < 0
    t = (dp / np.where(crossing, dp - dq, 1.0))[crossing]
    points = p[crossing, :2] + t[:, None] * (q[crossing, :2] - p[crossing, :2])
    owner = owner[crossing]
    order = np.argsort(owner, kind="stable")
    points, owner = points[order], owner[order]
    cells_hit, first, count = np.unique(owner, return_index=True, return_counts=True)
    polygons: list[npt.NDArray[np.float64]] = []
    kept: list[int] = []
    for cell, start, k in zip(cells_hit.tolist(), first.tolist(), count.tolist()):
        if k < 3:
            continue
        ring = points[start:start + k]
        centre = ring.mean(axis=0)
        angle = np.arctan2(ring[:, 1] - centre[1], ring[:, 0] - centre[0])
        polygons.append(ring[np.argsort(angle)])
        kept.append(cell)
    return polygons, np.asarray(kept, np.int64)


def picture(fracture: Fracture, cells: CellSet, result: NeighborResult,
            seconds: dict[str, float]) -> Picture:
    """The content of the demo's picture for one run."""
    n = len(fracture)
    n_coll = int(fracture.collections.max()) + 1 if n else 1
    pairs = result.pairs
    is_across = across(fracture, pairs)
    origins = fracture.origins.astype(np.float64)
    box = fracture.box

    # 3-D: at most MAX_CELLS_3D cells faintly, and those along the boundaries between
    # collections stronger (again at most MAX_CELLS_3D).
    shown = np.arange(n)
    if n > MAX_CELLS_3D:
        shown = np.sort(np.random.default_rng(0).choice(n, MAX_CELLS_3D, replace=False))
    boundary = np.zeros(n, bool)
    boundary[pairs[is_across].ravel()] = True
    strong = np.flatnonzero(boundary)
    if len(strong) > MAX_CELLS_3D:
        strong = np.sort(np.random.default_rng(1).choice(strong, MAX_CELLS_3D, replace=False))
    frames: list[WireFrames] = []
    for c in range(n_coll):
        for group, along in ((shown[~boundary[shown]], False), (strong, True)):
            mine = group[fracture.collections[group] == c]
            segments = [cells.vertices(i)[cells.edges(i)] for i in mine.tolist()]
            if segments:
                frames.append(WireFrames(c, along, np.concatenate(segments)))

    # Slice at half height.
    z = box[2] / 2
    polygons, cut = slice_polygons(cells, z)
    in_slice = np.zeros(n, bool)
    in_slice[cut] = True
    visible = in_slice[pairs[:, 0]] & in_slice[pairs[:, 1]] if len(pairs) else np.zeros(0, bool)
    slice_same, slice_across = _drawn(pairs[visible & ~is_across]), _drawn(pairs[visible & is_across])
    # Many cut cells: a window of about MAX_SLICE_CELLS of them, on the first boundary between
    # collections.
    x_range, y_range = (0.0, box[0]), (0.0, box[1])
    zoomed = len(cut) > MAX_SLICE_CELLS
    if zoomed:
        side = min(box[0], box[1]) * float(np.sqrt(MAX_SLICE_CELLS / len(cut)))
        centre_x = box[0] / n_coll if n_coll > 1 else box[0] / 2
        left = float(np.clip(centre_x - side / 2, 0.0, box[0] - side))
        bottom = (box[1] - side) / 2
        x_range, y_range = (left, left + side), (bottom, bottom + side)

    return Picture(
        box=box, cells=n, collections=n_coll, shown_cells=len(shown), frames=frames,
        across_links=origins[_drawn(pairs[is_across])],
        slice_z=z, slice_polygons=polygons, slice_collections=fracture.collections[cut],
        slice_origins=origins[cut][:, :2],
        slice_same=origins[slice_same][:, :, :2],
        slice_across=origins[slice_across][:, :, :2],
        slice_links=int(visible.sum()),
        window=(x_range, y_range), zoomed=zoomed,
        confirmed_counts=np.bincount(pairs.ravel(), minlength=n),
        face_counts=np.bincount(fracture.neighbors.ravel(), minlength=n),
        n_links=result.n_links, pairs=len(pairs), across_pairs=int(is_across.sum()),
        threshold=result.threshold, seconds=dict(seconds))


def _drawn(pairs: npt.NDArray[np.int32]) -> npt.NDArray[np.int32]:
    """The links a view draws: all of them, or a random choice of MAX_DRAWN_LINKS."""
    if len(pairs) <= MAX_DRAWN_LINKS:
        return pairs
    chosen = np.random.default_rng(2).choice(len(pairs), MAX_DRAWN_LINKS, replace=False)
    return pairs[np.sort(chosen)]
