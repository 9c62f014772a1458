"""The broad phase's boxes, placed where its float32 margin and its fold still work.

The broad phase widens every box by 0.002 in float32 and folds each cell's corners together
with the seeds 100000 and -100000. Far from the origin both fail a caller silently: once the
spacing of float32 numbers exceeds the margin it rounds away, so boxes that touch no longer
overlap; and beyond 100000 the fold pulls every lower bound down to 100000, so every box
overlaps every other. Only the boxes go to the broad phase, and whether two boxes overlap does
not change when both are shifted or scaled by a power of two: the narrow phase reads the cells'
own float32 coordinates, so its results do not depend on where the boxes were measured.

So the boxes are handed over in a frame of their own: a scene farther than 2**14 from the
origin on an axis is shifted by its centre there, and one wider than 2**17 is scaled down by a
power of two. Where the margin alone does not cover half the threshold (a threshold above
about 0.004, or a frame too coarse for 0.002), the boxes are first widened by the rest,
rounding outward, so that any two cells the narrow phase could confirm are candidates. Near the
origin with an ordinary threshold none of this applies and the boxes are the cells' corners.
"""
from __future__ import annotations

import math
from dataclasses import dataclass, field

import numpy as np
import numpy.typing as npt

__all__ = ["BOX_MARGIN", "BoxFrame", "box_frame", "corners_of"]

#: The margin the broad phase adds to every side of every box.
BOX_MARGIN = 0.002

# A scene within this distance of the origin stays there: float32 spacing is at most 2**-10,
# so the margin keeps at least 0.0015 of its 0.002.
FRAME_REACH = 2.0**14
# The frame's half-width after scaling: well inside the fold's seeds (100000).
FRAME_HALF_WIDTH = 2.0**16
# Slack for rounding in the narrow phase, relative to the threshold and to the largest cell: a
# computed float32 distance below the threshold means the cells' true gap on every axis is below
# the threshold plus this.
_RELATIVE_SLACK = 2.0**-16
# Covers the float64 rounding of the shift and scale (at most 2**-36 within the frame).
_FRAME_ROUNDING = 2.0**-34

# Corner c takes the upper bound on axis a when bit a of c is set.
_UPPER = (np.arange(8)[:, None] >> np.arange(3)[None, :]) & 1
_AXES = np.arange(3)[None, :]


@dataclass(frozen=True)
class BoxFrame:
    """Where the boxes are measured: ``(x - offset) * scale``, then widened by ``pad``."""

    offset: npt.NDArray[np.float64] = field(default_factory=lambda: np.zeros(3))
    scale: float = 1.0
    pad: float = 0.0

    @property
    def is_identity(self) -> bool:
        return not self.offset.any() and self.scale == 1.0 and self.pad <= 0.0

    def boxes(self, lower: npt.NDArray[np.float32],
              upper: npt.NDArray[np.float32]) -> npt.NDArray[np.float32]:
        """The (n, 8, 3) float32 ``bbox`` for cells bounded by ``lower`` and ``upper`` (n, 3)."""
        if self.is_identity:
            return corners_of(lower, upper)
        pad = max(self.pad, 0.0) + _FRAME_ROUNDING
        low = (lower.astype(np.float64) - self.offset) * self.scale - pad
        high = (upper.astype(np.float64) - self.offset) * self.scale + pad
        return corners_of(_round_down(low), _round_up(high))


def corners_of(lower: npt.NDArray[np.float32],
               upper: npt.NDArray[np.float32]) -> npt.NDArray[np.float32]:
    """The eight corners of each box, (n, 8, 3) float32, corner 0 lower and corner 7 upper."""
    bounds = np.stack([lower, upper], axis=1).astype(np.float32, copy=False)     # (n, 2, 3)
    corners: npt.NDArray[np.float32] = bounds[:, _UPPER, _AXES]
    return corners


def box_frame(lower: npt.NDArray[np.float32], upper: npt.NDArray[np.float32],
              threshold32: float, largest_cell: float) -> BoxFrame:
    """The frame for cells bounded by ``lower`` and ``upper`` (n, 3; only cells with
    vertices; the largest is ``largest_cell`` across) at the float32 threshold the narrow
    phase compares with."""
    if len(lower) == 0:
        return BoxFrame()
    # Column by column: numpy reduces an (n, 3) array along its first axis far more slowly.
    low = np.array([lower[:, axis].min() for axis in range(3)], np.float64)
    high = np.array([upper[:, axis].max() for axis in range(3)], np.float64)
    reach = (threshold32 * (1 + _RELATIVE_SLACK) + _RELATIVE_SLACK * largest_cell) / 2

    far = np.maximum(np.abs(low), np.abs(high)) > FRAME_REACH
    offset = np.where(far, np.float32((low + high) / 2), 0.0).astype(np.float64)
    half = float(np.maximum(np.abs(low - offset), np.abs(high - offset)).max()) + reach
    steps = 0 if half <= FRAME_HALF_WIDTH else math.ceil(math.log2(half / FRAME_HALF_WIDTH))
    scale = 2.0**-steps

    # What the broad phase's own margin is sure to add at the frame's largest coordinate.
    largest = min(half * scale + BOX_MARGIN, float(np.finfo(np.float32).max))
    spacing = float(np.spacing(np.float32(largest)))
    margin = max(0.0, BOX_MARGIN - spacing / 2)
    return BoxFrame(offset=offset, scale=scale, pad=reach * scale - margin)


def _round_down(values: npt.NDArray[np.float64]) -> npt.NDArray[np.float32]:
    with np.errstate(over="ignore"):
        nearest = values.astype(np.float32)
    return np.where(nearest > values, np.nextafter(nearest, np.float32(-np.inf)), nearest)


def _round_up(values: npt.NDArray[np.float64]) -> npt.NDArray[np.float32]:
    with np.errstate(over="ignore"):
        nearest = values.astype(np.float32)
    return np.where(nearest < values, np.nextafter(nearest, np.float32(np.inf)), nearest)
