"""Tiles in space: a k-d cut of a sample of the cells' box centres into boxes that hold about
the same number of cells, and the two questions the search asks of it: which tiles a box
touches, and which tile holds a point.

A tile is half-open, [low, high) along every axis, and the tiles together cover all of space
(the outer ones reach to infinity), so every point lies in exactly one. Cutting by counts
rather than by volume keeps the tiles' work alike when most cells crowd into a small part of
the scene.
"""
from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

__all__ = ["Tiling", "cut_tiles", "tiles_of_points", "tiles_touched"]

# Coordinates beyond these quantiles of the sample do not decide which axis a tile is cut
# along: a handful of cells far out (two at +-1e30) would otherwise make every cut fall along
# the axis they stretch.
SPREAD_QUANTILES = (0.01, 0.99)
# Axes whose spread is at least this share of the widest count as spreading alike.
NEAR_SPREAD = 0.75


@dataclass(frozen=True)
class Tiling:
    """The cuts as a tree. Node 0 is the root; node ``k`` with ``axis[k] >= 0`` sends points
    whose coordinate along ``axis[k]`` is below ``value[k]`` to ``left[k]`` and the others to
    ``right[k]``; a leaf (``axis[k] == -1``) is tile ``tile[k]``. ``lower`` and ``upper`` are
    each tile's bounds (``-inf`` and ``inf`` at the outside)."""

    axis: npt.NDArray[np.int64]
    value: npt.NDArray[np.float64]
    left: npt.NDArray[np.int64]
    right: npt.NDArray[np.int64]
    tile: npt.NDArray[np.int64]
    lower: npt.NDArray[np.float64]
    upper: npt.NDArray[np.float64]

    @property
    def count(self) -> int:
        return len(self.lower)


def cut_tiles(centres: npt.NDArray[np.float64], count: int) -> Tiling:
    """Cuts space into ``count`` tiles (fewer when the sample cannot be told apart) holding
    about equal shares of ``centres`` ((n, 3) finite points)."""
    nodes: list[list[float]] = []     # axis, value, left, right, tile
    bounds: list[tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]] = []

    def cut(points: npt.NDArray[np.float64], tiles: int, low: npt.NDArray[np.float64],
            high: npt.NDArray[np.float64]) -> int:
        index = len(nodes)
        nodes.append([-1, 0.0, -1, -1, -1])
        split = _split(points, tiles) if tiles > 1 else None
        if split is None:
            nodes[index][4] = len(bounds)
            bounds.append((low, high))
            return index
        axis, value = split
        below = points[:, axis] < value
        left_high, right_low = high.copy(), low.copy()
        left_high[axis] = right_low[axis] = value
        left = cut(points[below], tiles // 2, low, left_high)
        right = cut(points[~below], tiles - tiles // 2, right_low, high)
        nodes[index][:4] = [axis, value, left, right]
        return index

    everywhere = np.full(3, np.inf)
    cut(np.asarray(centres, np.float64).reshape(-1, 3), max(1, int(count)), -everywhere, everywhere)
    table = np.array(nodes, np.float64).reshape(-1, 5)
    return Tiling(axis=table[:, 0].astype(np.int64), value=table[:, 1],
                  left=table[:, 2].astype(np.int64), right=table[:, 3].astype(np.int64),
                  tile=table[:, 4].astype(np.int64),
                  lower=np.array([b[0] for b in bounds]).reshape(-1, 3),
                  upper=np.array([b[1] for b in bounds]).reshape(-1, 3))


def _split(points: npt.NDArray[np.float64], tiles: int) -> tuple[int, float] | None:
    """The axis and value that put ``tiles // 2`` tiles' share of ``points`` below the cut,
    along the axis where the sample spreads most; None when no axis separates any points."""
    if len(points) < 2:
        return None
    low, high = np.quantile(points, SPREAD_QUANTILES, axis=0)
    spread = high - low
    # Among axes that spread about as widely, cut along the one the scene's own order follows
    # (the sample keeps that order): a scene written in space order then has most of its row
    # groups inside one tile each, and such a tile reads them straight from the scene.
    near = spread >= NEAR_SPREAD * spread.max()
    following = np.array([_order_followed(points[:, axis]) if near[axis] else -1.0
                          for axis in range(3)])
    order = np.lexsort((-spread, -following))
    wanted = round(len(points) * (tiles // 2) / tiles)
    for axis in order:
        values = np.sort(points[:, axis])
        if values[0] == values[-1]:
            continue
        # The cut must fall between two different values, as near the wanted count as may be:
        # cells on a lattice share coordinates, and equal ones always go to the same side.
        pivot = values[min(max(wanted, 1), len(values) - 1) - 1]
        after = int(np.searchsorted(values, pivot, side="right"))
        before = int(np.searchsorted(values, pivot, side="left"))
        candidates = []
        if after < len(values):
            candidates.append((abs(after - wanted), float(values[after])))
        if before > 0:
            candidates.append((abs(before - wanted), float(pivot)))
        return int(axis), min(candidates)[1]
    return None


def _order_followed(values: npt.NDArray[np.float64]) -> float:
    """How closely the values rise or fall with their position: the absolute rank correlation."""
    if len(values) < 2:
        return 0.0
    ranks = np.argsort(np.argsort(values, kind="stable"), kind="stable").astype(np.float64)
    positions = np.arange(len(values), dtype=np.float64)
    ranks -= ranks.mean()
    positions -= positions.mean()
    scale = float(np.sqrt((ranks * ranks).sum() * (positions * positions).sum()))
    return abs(float((ranks * positions).sum())) / scale if scale > 0 else 0.0


def tiles_touched(tiling: Tiling, low: npt.NDArray[np.float64],
                  high: npt.NDArray[np.float64]) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64]]:
    """Every (box, tile) where the closed box ``[low[b], high[b]]`` meets the half-open tile:
    two arrays, sorted by box, then tile."""
    boxes = np.arange(len(low), dtype=np.int64)
    nodes = np.zeros(len(low), np.int64)
    found_boxes, found_tiles = [], []
    while len(boxes):
        leaf = tiling.axis[nodes] < 0
        found_boxes.append(boxes[leaf])
        found_tiles.append(tiling.tile[nodes[leaf]])
        boxes, nodes = boxes[~leaf], nodes[~leaf]
        axis, value = tiling.axis[nodes], tiling.value[nodes]
        # The half-open cut: the left side is coordinate < value, the right side >= value.
        go_left = low[boxes, axis] < value
        go_right = high[boxes, axis] >= value
        boxes = np.concatenate([boxes[go_left], boxes[go_right]])
        nodes = np.concatenate([tiling.left[nodes[go_left]], tiling.right[nodes[go_right]]])
    all_boxes = np.concatenate(found_boxes) if found_boxes else np.zeros(0, np.int64)
    all_tiles = np.concatenate(found_tiles) if found_tiles else np.zeros(0, np.int64)
    order = np.lexsort((all_tiles, all_boxes))
    return all_boxes[order], all_tiles[order]


def tiles_of_points(tiling: Tiling, points: npt.NDArray[np.float64]) -> npt.NDArray[np.int64]:
    """The one tile that holds each point ((n, 3))."""
    nodes = np.zeros(len(points), np.int64)
    rows = np.arange(len(points))
    while True:
        inner = tiling.axis[nodes] >= 0
        if not inner.any():
            return tiling.tile[nodes]
        at = rows[inner]
        axis = tiling.axis[nodes[at]]
        below = points[at, axis] < tiling.value[nodes[at]]
        nodes[at] = np.where(below, tiling.left[nodes[at]], tiling.right[nodes[at]])
