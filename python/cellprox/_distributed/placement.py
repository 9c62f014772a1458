"""Which tiles a cell goes to, and which tile reports a pair.

A cell goes to every tile that its box, widened by half the threshold on every side, touches.
Two cells that the search can find close have widened boxes that overlap, so both are in the
tile holding the low corner of that overlap; that tile, and only it, reports the pair. Every
tile computes the corner from the same two boxes in the same way, so each pair is reported
exactly once and nothing needs to be merged afterwards.
"""
from __future__ import annotations

import numpy as np
import numpy.typing as npt

from cellprox._distributed.tiles import Tiling, tiles_of_points

__all__ = ["reported_here", "widened"]

# Room added to each widened side, relative to the coordinate. The search decides a pair in
# double arithmetic on float32 coordinates, whose rounding is below 2**-50 of the coordinates
# involved; the boxes only have to contain every pair it can report, and a little more room
# costs no more than a rare extra copy of a cell.
RELATIVE_ROOM = 2.0 ** -36


def widened(lower: npt.NDArray[np.float32], upper: npt.NDArray[np.float32],
            threshold: float) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """The cells' boxes ((n, 3) float32 bounds of their vertices) widened by half the
    threshold, and rounded outward with room to spare, as float64."""
    half = threshold / 2.0
    low = lower.astype(np.float64) - half
    high = upper.astype(np.float64) + half
    low -= (np.abs(low) + half) * RELATIVE_ROOM
    high += (np.abs(high) + half) * RELATIVE_ROOM
    return low, high


def reported_here(tiling: Tiling, tile: int, low: npt.NDArray[np.float64],
                  pairs: npt.NDArray[np.int32]) -> npt.NDArray[np.bool_]:
    """Which of ``pairs`` (rows of two cell positions into ``low``, the widened boxes' low
    corners) tile ``tile`` reports: those whose overlap's low corner lies in it."""
    corner = np.maximum(low[pairs[:, 0]], low[pairs[:, 1]])
    return np.asarray(tiles_of_points(tiling, corner) == tile)
