"""The fracture's exact vertices: each Voronoi vertex recomputed from the points it separates.

A vertex is never taken from qhull. It is the point equidistant from the points whose cells meet
there, computed from those points alone, in a fixed order, with elementwise arithmetic: a vertex
shared by cells of two blocks then has the very same bits in both, whatever else either block's
diagram held.
"""
from __future__ import annotations

import numpy as np
import numpy.typing as npt


def solve3(rows: npt.NDArray[np.float64], rhs: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """x with rows[k] @ x[k] == rhs[k] for (k, 3, 3) rows, by Cramer's rule: elementwise
    arithmetic, so equal inputs give equal bits whatever else is in the batch."""
    c0 = np.cross(rows[:, 1], rows[:, 2])
    c1 = np.cross(rows[:, 2], rows[:, 0])
    c2 = np.cross(rows[:, 0], rows[:, 1])
    det = (rows[:, 0] * c0).sum(axis=1)
    x: npt.NDArray[np.float64] = (rhs[:, 0:1] * c0 + rhs[:, 1:2] * c1
                                  + rhs[:, 2:3] * c2) / det[:, None]
    return x


def circumcentres(generators: npt.NDArray[np.int64], counts: npt.NDArray[np.int64],
                  points: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """The point equidistant from each group of ``counts[k]`` (>= 4) points, grouped in
    ``generators`` (point numbers, ascending in each group).

    Four points give the sphere through them; more (the mirror images make such ties on the
    box's faces) the least-squares centre, which is the same point.
    """
    starts = np.cumsum(counts) - counts
    first = points[generators[starts]]
    d = points[generators] - np.repeat(first, counts, axis=0)
    half_square = 0.5 * (d * d).sum(axis=1)
    centres = np.empty((len(counts), 3))
    four = counts == 4
    rows = (starts[four][:, None] + np.arange(1, 4)).ravel()
    centres[four] = solve3(d[rows].reshape(-1, 3, 3), half_square[rows].reshape(-1, 3))
    more = ~four
    if more.any():
        normal = np.add.reduceat(d[:, :, None] * d[:, None, :], starts)[more]
        right = np.add.reduceat(d * half_square[:, None], starts)[more]
        centres[more] = solve3(normal, right)
    result: npt.NDArray[np.float64] = centres + first
    return result
