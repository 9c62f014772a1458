"""Boxes of runs of points: each cell's vertex bounds and the eight corners the raw broad phase
takes, computed for all cells at once."""
from __future__ import annotations

import numpy as np
import numpy.typing as npt

__all__ = ["bounding_corners", "bounds", "corners_of", "edgeless_cells"]

# Corner c takes the upper bound on axis a when bit a of c is set.
_UPPER = (np.arange(8)[:, None] >> np.arange(3)[None, :]) & 1
_AXES = np.arange(3)[None, :]


def corners_of(lower: npt.NDArray[np.float32],
               upper: npt.NDArray[np.float32]) -> npt.NDArray[np.float32]:
    """The eight corners of each box, (n, 8, 3) float32, corner 0 lower and corner 7 upper."""
    bounds = np.stack([lower, upper], axis=1).astype(np.float32, copy=False)     # (n, 2, 3)
    corners: npt.NDArray[np.float32] = bounds[:, _UPPER, _AXES]
    return corners


def edgeless_cells(n: int) -> list[npt.NDArray[np.int32]]:
    """Edge arrays for ``n`` cells without edges (one shared empty array)."""
    return [np.zeros((0, 2), np.int32)] * n


def bounds(vertices: npt.NDArray[np.float32], counts: npt.NDArray[np.int64]
           ) -> tuple[npt.NDArray[np.float32], npt.NDArray[np.float32]]:
    """The lower and upper bounds of consecutive runs of points, each (n, 3) float32.

    ``vertices`` holds all cells' points back to back, ``counts`` how many belong to each cell.
    A cell without vertices gets zero bounds.
    """
    n = len(counts)
    lower = np.zeros((n, 3), np.float32)
    upper = np.zeros((n, 3), np.float32)
    filled = counts > 0
    if filled.any():
        starts = (np.cumsum(counts) - counts)[filled]
        lower[filled] = np.minimum.reduceat(vertices, starts, axis=0)
        upper[filled] = np.maximum.reduceat(vertices, starts, axis=0)
    return lower, upper


def bounding_corners(vertices: npt.NDArray[np.float32],
                     counts: npt.NDArray[np.int64]) -> npt.NDArray[np.float32]:
    """The eight bounding-box corners of consecutive runs of points, (n, 8, 3) float32.

    Corner ``c`` takes the upper bound on axis ``a`` when bit ``a`` of ``c`` is set, otherwise
    the lower bound. A cell without vertices gets eight zero corners.
    """
    return corners_of(*bounds(vertices, counts))
