"""``python -m cellprox demo``: fracture a box, find which cells touch, draw the result."""
from __future__ import annotations

import os
import sys
import time
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any, TextIO

import numpy as np
import numpy.typing as npt

from cellprox.cells import MAX_CELL_LINKS, CellSet
from cellprox.fracture import Fracture, voronoi_fracture
from cellprox.pipeline import NeighborResult, find_neighbors

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

# Collection colours (colour-blind safe), and the colours of confirmed links.
COLLECTION_COLORS = ["#4477aa", "#ee7733", "#228833", "#aa3377", "#66ccee", "#ccbb44", "#bbbbbb"]
SAME_COLOR = "#333333"
ACROSS_COLOR = "#cc1111"
# At most this many cells are drawn in the 3-D view (a random choice beyond it).
MAX_CELLS_3D = 2500
# The slice shows a window of about this many cut cells.
MAX_SLICE_CELLS = 400


@dataclass
class DemoOptions:
    cells: int = 3000
    threshold: float = 0.001
    seed: int = 0
    collections: int = 2
    output: Path = Path("cellprox-demo.png")
    quiet: bool = False
    rule: str = "vertices-edges"


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


def run_demo(options: DemoOptions, out: TextIO = sys.stdout) -> DemoRun:
    """Fractures, finds the neighbours, prints the summary to ``out`` and writes the picture."""
    plt = _import_matplotlib()
    _check_writable(options.output)
    begin = time.perf_counter()
    progress = Progress(None if options.quiet else sys.stderr, begin)
    seconds: dict[str, float] = {}

    progress(f"fracturing the unit box into {options.cells:,} Voronoi cells")
    start = time.perf_counter()
    fracture = voronoi_fracture(options.cells, seed=options.seed,
                                collections=options.collections, progress=progress)
    seconds["fracture"] = time.perf_counter() - start

    progress("building the cell records")
    start = time.perf_counter()
    cells = fracture.cell_set()
    seconds["records"] = time.perf_counter() - start

    if options.rule == "hull":
        progress("measuring the hull distance of every candidate pair")
        result = find_neighbors(cells, options.threshold, rule="hull")
        seconds["hull phase"] = result.timings["hull_phase"]
    else:
        progress("running the broad and the narrow phase")
        result = find_neighbors(cells, options.threshold)
        seconds["broad phase"] = result.timings["broad_phase"]
        seconds["narrow phase"] = result.timings["narrow_phase"]
    summary = summarize(fracture, result, seconds, options.seed)
    print(summary, file=out)

    progress(f"drawing {options.output}")
    start = time.perf_counter()
    figure = draw(fracture, result, seconds)
    figure.savefig(options.output, dpi=110)
    plt.close(figure)
    seconds["picture"] = time.perf_counter() - start
    print(f"picture: {options.output} (drawn in {seconds['picture']:.1f} s; total "
          f"{time.perf_counter() - begin:.1f} s)", file=out)
    return DemoRun(fracture, cells, result, seconds)


def _check_writable(path: Path) -> None:
    """Fails before the work, not after it, when the picture cannot be written."""
    path.parent.mkdir(parents=True, exist_ok=True)
    if path.is_dir():
        raise IsADirectoryError(21, "it is a directory", str(path))
    if not os.access(path.parent, os.W_OK) or (path.exists() and not os.access(path, os.W_OK)):
        raise PermissionError(13, "permission denied", str(path))


def _import_matplotlib() -> Any:
    try:
        import matplotlib
    except ImportError as error:
        raise SystemExit(
            "cellprox demo: the picture needs matplotlib, and the fracture scipy; install both "
            f"with: pip install \"cellprox[demo]\"  ({error})") from None
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    return plt


def across(fracture: Fracture, pairs: npt.NDArray[np.int32]) -> npt.NDArray[np.bool_]:
    """For each pair, whether its two cells belong to different collections."""
    result: npt.NDArray[np.bool_] = (fracture.collections[pairs[:, 0]]
                                     != fracture.collections[pairs[:, 1]])
    return result


def summarize(fracture: Fracture, result: NeighborResult, seconds: dict[str, float],
              seed: int) -> str:
    """The demo's text summary."""
    n = len(fracture)
    found = _pair_keys(result.pairs, n)
    faces = _pair_keys(fracture.neighbors, n)
    face_found = int(np.isin(faces, found).sum())
    counts = result.neighbor_counts()
    is_across = across(fracture, result.pairs)
    per_collection = np.bincount(fracture.collections, minlength=int(fracture.collections.max()) + 1)
    edges = sum(len(e) for e in fracture.edges) / max(n, 1)
    full_rows = int((result.link_count >= MAX_CELL_LINKS).sum())
    lost = ("no candidate pair lost" if result.missed_pairs == 0
            else f"{result.missed_pairs:,} overlapping pairs could not be recorded")
    share = f"{100.0 * face_found / len(faces):.1f}%" if len(faces) else "-"
    where = "the unit box" if fracture.box == (1.0, 1.0, 1.0) else f"the box {fracture.box}"
    native = getattr(sys.modules.get("cellprox"), "native", None)
    if result.rule == "hull":
        found_by = ("boxes within the threshold", "hull distance within the threshold",
                    "hull distance within the threshold")
    else:
        found_by = ("broad phase (overlapping boxes)", "vertex within the threshold",
                    "edge within the threshold")
    lines = [
        f"cellprox demo: {n:,} Voronoi cells of {where}, "
        f"{_plural(len(per_collection), 'collection')}, seed {seed}; native module "
        f"{getattr(native, '__name__', '?')}",
        "",
        f"  cells                {n:>10,}  "
        f"({' + '.join(f'{c:,}' for c in per_collection)} by collection; "
        f"{edges:.1f} edges per cell)",
        f"  candidate links      {result.n_links:>10,}  {found_by[0]}",
        f"  confirmed neighbours {len(result):>10,}  {result.rule} rule, threshold "
        f"{result.threshold:g}",
        f"    same collection    {int((~is_across).sum()):>10,}  {found_by[1]}",
        f"    across collections {int(is_across.sum()):>10,}  {found_by[2]}",
        f"  face-sharing pairs   {len(faces):>10,}  {face_found:,} of them confirmed ({share})",
        f"  rows at {MAX_CELL_LINKS} links     {full_rows:>10,}  {lost}",
    ]
    if n:
        lines.append(
            f"  neighbours per cell  min {int(counts.min())}, median {np.median(counts):g}, "
            f"mean {counts.mean():.1f}, max {int(counts.max())}")
    lines.append("")
    lines.append("  time   " + " | ".join(f"{name} {value:.3f} s" for name, value in
                                          seconds.items()))
    return "\n".join(lines)


def _plural(count: int, noun: str) -> str:
    return f"{count:,} {noun}" + ("" if count == 1 else "s")


def _pair_keys(pairs: npt.NDArray[np.int32], n: int) -> npt.NDArray[np.int64]:
    pairs64 = np.sort(pairs.astype(np.int64), axis=1)
    keys: npt.NDArray[np.int64] = pairs64[:, 0] * n + pairs64[:, 1]
    return keys


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


def draw(fracture: Fracture, result: NeighborResult, seconds: dict[str, float]) -> Figure:
    """The demo's picture: a 3-D view, a slice through the middle and the neighbour counts."""
    import matplotlib.pyplot as plt
    from matplotlib.artist import Artist
    from matplotlib.collections import LineCollection, PolyCollection
    from matplotlib.colors import to_rgba
    from matplotlib.lines import Line2D
    from matplotlib.patches import Patch
    from mpl_toolkits.mplot3d.art3d import (  # type: ignore[import-untyped, unused-ignore]
        Line3DCollection,
    )

    cells = result.cells
    n = len(fracture)
    n_coll = int(fracture.collections.max()) + 1 if n else 1
    colors = [COLLECTION_COLORS[c % len(COLLECTION_COLORS)] for c in range(n_coll)]
    pairs = result.pairs
    is_across = across(fracture, pairs)
    origins = fracture.origins.astype(np.float64)

    figure = plt.figure(figsize=(17, 6.4), layout="constrained")
    grid = figure.add_gridspec(1, 3, width_ratios=[1.15, 1.0, 0.8])

    # 3-D: the cells as faint wire frames by collection, the cells along the boundaries between
    # collections stronger, and the links across collections in red.
    ax3: Any = figure.add_subplot(grid[0], projection="3d", computed_zorder=False)
    shown = np.arange(n)
    if n > MAX_CELLS_3D:
        shown = np.sort(np.random.default_rng(0).choice(n, MAX_CELLS_3D, replace=False))
    boundary = np.zeros(n, bool)
    boundary[pairs[is_across].ravel()] = True
    strong = np.flatnonzero(boundary)
    if len(strong) > MAX_CELLS_3D:
        strong = np.sort(np.random.default_rng(1).choice(strong, MAX_CELLS_3D, replace=False))
    for c in range(n_coll):
        for group, alpha, width in ((shown[~boundary[shown]], 0.22, 0.3), (strong, 0.45, 0.4)):
            mine = group[fracture.collections[group] == c]
            segments = [cells.vertices(i)[cells.edges(i)] for i in mine.tolist()]
            if segments:
                ax3.add_collection3d(Line3DCollection(
                    np.concatenate(segments), colors=colors[c], linewidths=width, alpha=alpha))
    if is_across.any():
        links = origins[pairs[is_across]]
        width = float(np.clip(800.0 / len(links), 0.4, 1.0))
        ax3.add_collection3d(Line3DCollection(links, colors=ACROSS_COLOR, linewidths=width,
                                              alpha=0.85))
    box = fracture.box
    ax3.set_xlim(0, box[0])
    ax3.set_ylim(0, box[1])
    ax3.set_zlim(0, box[2])
    ax3.set_box_aspect(box)
    ax3.view_init(elev=22, azim=-58)
    ax3.set_xlabel("x")
    ax3.set_ylabel("y")
    ax3.set_zlabel("z")
    drawn = "all cells" if len(shown) == n else f"{len(shown):,} of {n:,} cells"
    ax3.set_title(f"3-D: {drawn}, stronger along collection boundaries;\n"
                  "red: confirmed links across collections", fontsize=10)

    # Slice: the cells cut at half height, and the confirmed links between cut cells.
    ax2: Axes = figure.add_subplot(grid[1])
    z = box[2] / 2
    polygons, cut = slice_polygons(cells, z)
    if polygons:
        fills = [to_rgba(colors[int(fracture.collections[i])], 0.38) for i in cut.tolist()]
        ax2.add_collection(PolyCollection(polygons, facecolors=fills, edgecolors="white",
                                          linewidths=0.9))
    in_slice = np.zeros(n, bool)
    in_slice[cut] = True
    visible = in_slice[pairs[:, 0]] & in_slice[pairs[:, 1]] if len(pairs) else np.zeros(0, bool)
    for flag, color, width in ((False, SAME_COLOR, 0.6), (True, ACROSS_COLOR, 1.3)):
        chosen = pairs[visible & (is_across == flag)]
        if len(chosen):
            ax2.add_collection(LineCollection(origins[chosen][:, :, :2], colors=color,
                                              linewidths=width, alpha=0.85))
    ax2.plot(origins[cut, 0], origins[cut, 1], ".", color="black", markersize=2.0)
    # Many cut cells: zoom in on a window of about MAX_SLICE_CELLS of them, on the first
    # boundary between collections.
    x_range, y_range = (0.0, box[0]), (0.0, box[1])
    zoomed = len(cut) > MAX_SLICE_CELLS
    if zoomed:
        side = min(box[0], box[1]) * float(np.sqrt(MAX_SLICE_CELLS / len(cut)))
        centre_x = box[0] / n_coll if n_coll > 1 else box[0] / 2
        left = float(np.clip(centre_x - side / 2, 0.0, box[0] - side))
        bottom = (box[1] - side) / 2
        x_range, y_range = (left, left + side), (bottom, bottom + side)
    ax2.set_xlim(*x_range)
    ax2.set_ylim(*y_range)
    ax2.set_aspect("equal")
    ax2.set_xlabel("x")
    ax2.set_ylabel("y")
    where = (f"x {x_range[0]:.2f}..{x_range[1]:.2f}, y {y_range[0]:.2f}..{y_range[1]:.2f} of "
             if zoomed else "")
    ax2.set_title(f"slice z = {z:g} ({where}{len(cut):,} cut cells):\n"
                  "confirmed links between the cut cells' origins", fontsize=10)
    handles: list[Artist] = [Patch(facecolor=colors[c], alpha=0.5, label=f"collection {c}")
                             for c in range(n_coll)]
    handles += [Line2D([], [], color=SAME_COLOR, lw=1.0, label="confirmed, same collection"),
                Line2D([], [], color=ACROSS_COLOR, lw=1.5, label="confirmed, across collections")]
    ax2.legend(handles=handles, loc="upper center", bbox_to_anchor=(0.5, -0.1), ncol=2,
               fontsize=8, frameon=False)

    # Neighbour counts per cell: confirmed against the cells sharing a face.
    ax1: Axes = figure.add_subplot(grid[2])
    confirmed = result.neighbor_counts()
    faces = np.bincount(fracture.neighbors.ravel(), minlength=n)
    top = int(max(confirmed.max(initial=0), faces.max(initial=0))) + 2
    bins = [k - 0.5 for k in range(top)]
    ax1.hist(faces, bins=bins, color="#bbbbbb", label="cells sharing a face")
    ax1.hist(confirmed, bins=bins, histtype="step", color="black", linewidth=1.4,
             label="confirmed neighbours")
    ax1.set_xlabel("neighbours per cell")
    ax1.set_ylabel("cells")
    ax1.legend(fontsize=8, frameon=False)
    ax1.set_title(f"mean {confirmed.mean() if n else 0:.1f} confirmed, "
                  f"{faces.mean() if n else 0:.1f} by shared faces", fontsize=10)

    times = ", ".join(f"{name} {value:.2f} s" for name, value in seconds.items())
    figure.suptitle(
        f"cellprox: {n:,} Voronoi cells, {result.n_links:,} candidate links, "
        f"{len(pairs):,} confirmed neighbour pairs ({int(is_across.sum()):,} across "
        f"collections) at threshold {result.threshold:g}\n{times}", fontsize=12)
    return figure
