"""A fracture flying apart: every piece moves away from the box's centre at a speed in
proportion to its distance from it, and turns about its own centroid at a rate of its own.

Frame ``t`` of a point fixed in piece ``i`` is ``R_i(t) (p - c_i) + c_i + t v_i``: ``c_i`` the
piece's centroid (the mean of its vertices), ``v_i = expansion (c_i - centre)`` and ``R_i(t)``
the turn by ``t * spins[i]`` radians about ``axes[i]``. Frame 0 is the fracture as cut. The demo
animates this and bench/frames.py measures it, so both see the same scene.
"""
from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

Floats = npt.NDArray[np.float64]

# How far the pieces fly each frame, as a share of their distance from the centre, and the
# range of their turns, in degrees a frame.
EXPANSION = 0.01
SPIN_DEGREES = (1.0, 3.0)


@dataclass(frozen=True)
class Explosion:
    centroids: Floats     # (n, 3)
    velocities: Floats    # (n, 3) per frame
    axes: Floats          # (n, 3) unit vectors
    spins: Floats         # (n,) radians per frame


@dataclass(frozen=True)
class RigidPoints:
    """Points fixed in their pieces, split for the turn (Rodrigues' formula) once: what is
    along the piece's axis stays, the rest turns in the plane across it."""

    owners: npt.NDArray[np.int64]
    across: Floats     # the part across the axis, relative to the centroid
    turned: Floats     # the axis crossed with it: where `across` is a quarter turn later
    along: Floats      # the part along the axis


def explosion(vertex_data: npt.ArrayLike, v_counts: npt.ArrayLike,
              centre: npt.ArrayLike, *, seed: int = 0, expansion: float = EXPANSION,
              spin_degrees: tuple[float, float] = SPIN_DEGREES) -> Explosion:
    """The motion of the pieces whose vertices are ``vertex_data`` (packed, ``v_counts`` rows
    each) away from ``centre``; the axes and rates of turn drawn from ``seed``."""
    points = np.asarray(vertex_data, np.float64)
    counts = np.asarray(v_counts, np.int64)
    if len(points) != int(counts.sum()):
        raise ValueError(f"explosion: v_counts add up to {int(counts.sum()):,} rows, but "
                         f"vertex_data has {len(points):,}; give one count per piece")
    if (counts <= 0).any():
        raise ValueError(f"explosion: piece {int(np.argmax(counts <= 0))} has no vertices; "
                         "every piece needs at least one to have a centroid")
    owners = np.repeat(np.arange(len(counts)), counts)
    centroids = np.zeros((len(counts), 3))
    np.add.at(centroids, owners, points)
    centroids /= counts[:, None]
    rng = np.random.default_rng(seed)
    axes = rng.normal(size=(len(counts), 3))
    axes /= np.linalg.norm(axes, axis=1)[:, None]
    spins = np.radians(rng.uniform(*spin_degrees, len(counts)))
    velocities = expansion * (centroids - np.asarray(centre, np.float64))
    return Explosion(centroids, velocities, axes, spins)


def rigid_points(motion: Explosion, points: npt.ArrayLike, owners: npt.ArrayLike) -> RigidPoints:
    """``points`` (frame 0) fixed in the pieces ``owners``, ready to be moved to any frame."""
    owner = np.asarray(owners, np.int64)
    relative = np.asarray(points, np.float64) - motion.centroids[owner]
    axis = motion.axes[owner]
    along = axis * np.einsum("ij,ij->i", axis, relative)[:, None]
    return RigidPoints(owner, relative - along, np.cross(axis, relative), along)


def moved(motion: Explosion, points: RigidPoints, t: float) -> Floats:
    """The points at frame ``t``, (P, 3) float64."""
    angle = t * motion.spins[points.owners]
    cos, sin = np.cos(angle)[:, None], np.sin(angle)[:, None]
    places = motion.centroids + t * motion.velocities
    result: Floats = points.across * cos + points.turned * sin + points.along + places[points.owners]
    return result


def rotations(motion: Explosion, t: float) -> Floats:
    """Each piece's turn at frame ``t``, (n, 3, 3): ``moved`` is ``R (p - c) + c + t v``."""
    angle = t * motion.spins
    cos, sin = np.cos(angle), np.sin(angle)
    x, y, z = motion.axes.T
    cross = np.zeros((len(angle), 3, 3))
    cross[:, 0, 1], cross[:, 0, 2], cross[:, 1, 2] = -z, y, -x
    cross[:, 1, 0], cross[:, 2, 0], cross[:, 2, 1] = z, -y, x
    outer = motion.axes[:, :, None] * motion.axes[:, None, :]
    turns: Floats = (cos[:, None, None] * np.eye(3) + sin[:, None, None] * cross
                     + (1 - cos)[:, None, None] * outer)
    return turns
