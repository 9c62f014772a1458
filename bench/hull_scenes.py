"""The hull rule's scenes: convex cells as float32 vertex arrays only, each scene with the
threshold the hull rule is run at.

- ``jittered``: Voronoi cells that share no vertex, each moved by a random vector of its own;
- ``clouds``: random convex clouds of points;
- ``fracture``: the Voronoi fracture of the unit box as it is.
"""
from __future__ import annotations

import os
from dataclasses import dataclass
from pathlib import Path

import numpy as np

from workloads import fracture_code_key

# The hull rule's threshold, absolute; each scene is sized so that it means the same number of
# candidates a cell at any number of cells.
HULL_THRESHOLD = 0.01
# Jittered Voronoi cells: the mean seed spacing in thresholds, and each cell's move (normal, per
# axis) in thresholds.
JITTERED_SPACING = 5.0
JITTERED_MOVE = 0.5
# Convex clouds: points per cloud, drawn uniformly, and the radius of the ball they fill, in mean
# spacings of the clouds' centres.
CLOUD_POINTS = (8, 30)
CLOUD_RADIUS = 0.785


@dataclass
class HullScene:
    """Cells as float32 vertex arrays, with the threshold the hull rule is run at."""

    kind: str
    n: int
    cells: list[np.ndarray]
    threshold: float
    source: object = None   # the Fracture the cells come from, as it is


def _fracture(n: int, seed: int, cache_dir: Path | None):
    """The Voronoi fracture of the unit box, cached (a large one takes a while to make)."""
    import pickle

    from cellprox import fracture
    path = cache_dir / f"fracture-{n}-{seed}-{fracture_code_key()}.pickle" if cache_dir else None
    if path is not None and path.exists():
        with path.open("rb") as stream:
            return pickle.load(stream)
    made = fracture.voronoi_fracture(n, seed=seed)
    if path is not None:
        path.parent.mkdir(parents=True, exist_ok=True)
        tmp = path.with_suffix(f".{os.getpid()}.tmp")
        with tmp.open("wb") as stream:
            pickle.dump(made, stream)
        tmp.replace(path)
    return made


def fracture_cells(n: int, seed: int = 1, cache_dir: Path | None = None) -> HullScene:
    """The Voronoi fracture of the unit box as it is: neighbours share their face vertices
    exactly. Threshold a hundredth of the mean seed spacing."""
    made = _fracture(n, seed, cache_dir)
    return HullScene("fracture", n, list(made.vertices), 0.01 * n ** (-1 / 3), made)


def _no_shared_vertex(cells: list[np.ndarray]) -> bool:
    """Whether no vertex of one cell is a vertex of another (a cell may repeat its own)."""
    rows = np.ascontiguousarray(np.concatenate(cells)).view(np.dtype((np.void, 12))).ravel()
    owners = np.repeat(np.arange(len(cells)), [len(v) for v in cells])
    order = np.argsort(rows, kind="stable")
    rows, owners = rows[order], owners[order]
    return not ((rows[1:] == rows[:-1]) & (owners[1:] != owners[:-1])).any()


def jittered_voronoi(n: int, seed: int = 1, cache_dir: Path | None = None) -> HullScene:
    """Voronoi cells that share no vertex: the fracture of a box whose mean seed spacing is
    JITTERED_SPACING thresholds, each cell moved by its own random vector (normal, JITTERED_MOVE
    thresholds on each axis). Neighbours end up overlapping or apart by up to a few thresholds,
    their faces parallel: the hardest case for the distance search, which the shared-vertex
    shortcut of a plain fracture does not reach."""
    threshold = HULL_THRESHOLD
    scale = JITTERED_SPACING * threshold * n ** (1 / 3)
    rng = np.random.default_rng(seed)
    moves = rng.normal(scale=JITTERED_MOVE * threshold, size=(n, 3))
    cells = [(v.astype(np.float64) * scale + move).astype(np.float32)
             for v, move in zip(_fracture(n, seed, cache_dir).vertices, moves)]
    assert _no_shared_vertex(cells), "two jittered cells share a vertex; try another seed"
    return HullScene("jittered", n, cells, threshold)


def convex_clouds(n: int, seed: int = 1) -> HullScene:
    """Random convex clouds: n centres uniform in a cube whose mean spacing is 1, each with
    CLOUD_POINTS points uniform in a ball of radius CLOUD_RADIUS around it."""
    rng = np.random.default_rng(seed)
    counts = rng.integers(CLOUD_POINTS[0], CLOUD_POINTS[1] + 1, n)
    centres = rng.uniform(0.0, n ** (1 / 3), (n, 3))
    directions = rng.normal(size=(int(counts.sum()), 3))
    directions /= np.linalg.norm(directions, axis=1)[:, None]
    radii = CLOUD_RADIUS * rng.uniform(0.0, 1.0, (len(directions), 1)) ** (1 / 3)
    points = np.repeat(centres, counts, axis=0) + radii * directions
    cells = np.split(points.astype(np.float32), np.cumsum(counts)[:-1])
    return HullScene("clouds", n, cells, HULL_THRESHOLD)


HULL_SCENES = ("jittered", "clouds", "fracture")


def hull_scene(kind: str, n: int, cache_dir: Path | None = None) -> HullScene:
    if kind == "jittered":
        return jittered_voronoi(n, cache_dir=cache_dir)
    if kind == "clouds":
        return convex_clouds(n)
    if kind == "fracture":
        return fracture_cells(n, cache_dir=cache_dir)
    raise ValueError(f"unknown hull scene {kind!r}")
