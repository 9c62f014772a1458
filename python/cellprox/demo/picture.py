"""Drawing the demo's picture with matplotlib: what it shows (``Picture``, computed in
cellprox.demo) and how."""
from __future__ import annotations

from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure


@dataclass
class WireFrames:
    """The edges of some cells of one collection, as (k, 2, 3) line segments."""
    collection: int
    along_boundary: bool   # cells with a confirmed link to another collection
    segments: npt.NDArray[np.float32]


@dataclass
class Picture:
    """What the demo's picture shows: a 3-D view, a slice through the middle and the neighbour
    counts per cell, with the figures behind its titles."""
    box: tuple[float, float, float]
    cells: int
    collections: int
    # 3-D view: wire frames in drawing order, and the confirmed links across collections
    # between the cells' origins.
    shown_cells: int
    frames: list[WireFrames]
    across_links: npt.NDArray[np.float64]
    # Slice at height slice_z: the cut cells' polygons and collections, their origins (x, y),
    # the confirmed links between them (same collection, across), and the window shown.
    slice_z: float
    slice_polygons: list[npt.NDArray[np.float64]]
    slice_collections: npt.NDArray[np.int32]
    slice_origins: npt.NDArray[np.float64]
    slice_same: npt.NDArray[np.float64]
    slice_across: npt.NDArray[np.float64]
    slice_links: int     # all confirmed links between cut cells; at most some are drawn
    window: tuple[tuple[float, float], tuple[float, float]]
    zoomed: bool
    # Neighbours per cell: confirmed, and by shared faces.
    confirmed_counts: npt.NDArray[np.int64]
    face_counts: npt.NDArray[np.int64]
    n_links: int
    pairs: int
    across_pairs: int
    threshold: float
    seconds: dict[str, float]


# Collection colours (colour-blind safe), and the colours of confirmed links.
COLLECTION_COLORS = ["#4477aa", "#ee7733", "#228833", "#aa3377", "#66ccee", "#ccbb44", "#bbbbbb"]
SAME_COLOR = "#333333"
ACROSS_COLOR = "#cc1111"


def import_pyplot() -> Any:
    """matplotlib's pyplot on a file-only backend."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    return plt


def save(content: Picture, path: Path) -> None:
    plt = import_pyplot()
    figure = draw(content)
    figure.savefig(path, dpi=110)
    plt.close(figure)


def draw(content: Picture) -> Figure:
    """The demo's picture: a 3-D view, a slice through the middle and the neighbour counts."""
    import matplotlib.pyplot as plt

    figure = plt.figure(figsize=(17, 6.4), layout="constrained")
    grid = figure.add_gridspec(1, 3, width_ratios=[1.15, 1.0, 0.8])
    colors = [COLLECTION_COLORS[c % len(COLLECTION_COLORS)] for c in range(content.collections)]
    _draw_3d(figure.add_subplot(grid[0], projection="3d", computed_zorder=False), content,
             colors)
    _draw_slice(figure.add_subplot(grid[1]), content, colors)
    _draw_counts(figure.add_subplot(grid[2]), content)
    times = ", ".join(f"{name} {value:.2f} s" for name, value in content.seconds.items())
    figure.suptitle(
        f"cellprox: {content.cells:,} Voronoi cells, {content.n_links:,} candidate links, "
        f"{content.pairs:,} confirmed neighbour pairs ({content.across_pairs:,} across "
        f"collections) at threshold {content.threshold:g}\n{times}", fontsize=12)
    return figure


def _draw_3d(ax3: Any, content: Picture, colors: list[str]) -> None:
    """The cells as faint wire frames by collection, the cells along the boundaries between
    collections stronger, and the links across collections in red."""
    from mpl_toolkits.mplot3d.art3d import (  # type: ignore[import-untyped, unused-ignore]
        Line3DCollection,
    )

    for frames in content.frames:
        alpha, width = (0.45, 0.4) if frames.along_boundary else (0.22, 0.3)
        ax3.add_collection3d(Line3DCollection(frames.segments, colors=colors[frames.collection],
                                              linewidths=width, alpha=alpha))
    links = content.across_links
    if len(links):
        width = float(np.clip(800.0 / len(links), 0.4, 1.0))
        ax3.add_collection3d(Line3DCollection(links, colors=ACROSS_COLOR, linewidths=width,
                                              alpha=0.85))
    box = content.box
    ax3.set_xlim(0, box[0])
    ax3.set_ylim(0, box[1])
    ax3.set_zlim(0, box[2])
    ax3.set_box_aspect(box)
    ax3.view_init(elev=22, azim=-58)
    ax3.set_xlabel("x")
    ax3.set_ylabel("y")
    ax3.set_zlabel("z")
    n = content.cells
    drawn = "all cells" if content.shown_cells == n else f"{content.shown_cells:,} of {n:,} cells"
    ax3.set_title(f"3-D: {drawn}, stronger along collection boundaries;\n"
                  "red: confirmed links across collections", fontsize=10)


def _draw_slice(ax2: Axes, content: Picture, colors: list[str]) -> None:
    """The cells cut at half height, and the confirmed links between cut cells."""
    from matplotlib.artist import Artist
    from matplotlib.collections import LineCollection, PolyCollection
    from matplotlib.colors import to_rgba
    from matplotlib.lines import Line2D
    from matplotlib.patches import Patch

    if content.slice_polygons:
        fills = [to_rgba(colors[int(c)], 0.38) for c in content.slice_collections.tolist()]
        ax2.add_collection(PolyCollection(content.slice_polygons, facecolors=fills,
                                          edgecolors="white", linewidths=0.9))
    for links, color, width in ((content.slice_same, SAME_COLOR, 0.6),
                                (content.slice_across, ACROSS_COLOR, 1.3)):
        if len(links):
            ax2.add_collection(LineCollection(list(links), colors=color, linewidths=width,
                                              alpha=0.85))
    origins = content.slice_origins
    ax2.plot(origins[:, 0], origins[:, 1], ".", color="black", markersize=2.0)
    x_range, y_range = content.window
    ax2.set_xlim(*x_range)
    ax2.set_ylim(*y_range)
    ax2.set_aspect("equal")
    ax2.set_xlabel("x")
    ax2.set_ylabel("y")
    where = (f"x {x_range[0]:.2f}..{x_range[1]:.2f}, y {y_range[0]:.2f}..{y_range[1]:.2f} of "
             if content.zoomed else "")
    drawn = len(content.slice_same) + len(content.slice_across)
    some = f" ({drawn:,} of {content.slice_links:,} drawn)" if drawn < content.slice_links else ""
    ax2.set_title(f"slice z = {content.slice_z:g} ({where}{len(origins):,} cut cells):\n"
                  f"confirmed links between the cut cells' origins{some}", fontsize=10)
    handles: list[Artist] = [Patch(facecolor=colors[c], alpha=0.5, label=label)
                             for c, label in enumerate(_collection_labels(len(colors)))]
    handles += [Line2D([], [], color=SAME_COLOR, lw=1.0, label="confirmed, same collection"),
                Line2D([], [], color=ACROSS_COLOR, lw=1.5, label="confirmed, across collections")]
    ax2.legend(handles=handles, loc="upper center", bbox_to_anchor=(0.5, -0.1), ncol=2,
               fontsize=8, frameon=False)


def _collection_labels(collections: int) -> list[str]:
    """One legend entry per colour: the colours repeat beyond the palette, and a legend entry
    per collection would outgrow the picture."""
    step = len(COLLECTION_COLORS)
    if collections <= step:
        return [f"collection {c}" for c in range(collections)]
    labels = []
    for first in range(step):
        members = list(range(first, collections, step))
        shown = ", ".join(str(c) for c in members[:3])
        labels.append(f"collections {shown}, ..., {members[-1]}" if len(members) > 3
                      else f"collections {shown}")
    return labels


def _draw_counts(ax1: Axes, content: Picture) -> None:
    """Neighbour counts per cell: confirmed against the cells sharing a face."""
    confirmed, faces = content.confirmed_counts, content.face_counts
    top = int(max(confirmed.max(initial=0), faces.max(initial=0))) + 2
    bins = [k - 0.5 for k in range(top)]
    ax1.hist(faces, bins=bins, color="#bbbbbb", label="cells sharing a face")
    ax1.hist(confirmed, bins=bins, histtype="step", color="black", linewidth=1.4,
             label="confirmed neighbours")
    ax1.set_xlabel("neighbours per cell")
    ax1.set_ylabel("cells")
    ax1.legend(fontsize=8, frameon=False)
    n = content.cells
    ax1.set_title(f"mean {confirmed.mean() if n else 0:.1f} confirmed, "
                  f"{faces.mean() if n else 0:.1f} by shared faces", fontsize=10)
