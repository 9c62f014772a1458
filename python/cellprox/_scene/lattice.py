"""Synthetic scenes of any size: cubes on a jittered lattice, made a slice at a time and the same
whatever the slice.

Cell ``k`` of an (nx, ny, nz) lattice sits at lattice point (k // (ny nz), k // nz % ny,
k % nz) times the spacing, moved by a uniform random offset in [-jitter, jitter] on each axis.
The offsets are drawn a generation block of 65,536 cells at a time from
``numpy.random.default_rng([seed, block])``, so any cell can be made without the cells before
it, and a scene written in row groups of any size holds the same cells.
"""
from __future__ import annotations

import math
import numbers
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any, TypeGuard

import numpy as np
import numpy.typing as npt

from cellprox._messages import plain, type_name
from cellprox._scene.packed import PackedCells

__all__ = ["GENERATION_BLOCK", "LatticeArguments", "checked_lattice", "is_whole", "lattice_block"]

GENERATION_BLOCK = 65_536

# Corner c of a cube takes the upper side on axis a when bit a of c is set (corner 0 is the
# lower corner, corner 7 the upper one); its edges join the corners that differ in one bit.
_SIGNS = (((np.arange(8)[:, None] >> np.arange(3)[None, :]) & 1) * 2 - 1).astype(np.float64)
_CUBE_EDGES = np.array([(c, c | bit) for bit in (1, 2, 4) for c in range(8) if not c & bit],
                       np.int32)
_INT32_MAX = 2**31 - 1


@dataclass(frozen=True)
class LatticeArguments:
    """A lattice's arguments, checked."""

    shape: tuple[int, int, int]
    spacing: float
    side: float
    jitter: float
    seed: int
    collections: int

    @property
    def cells(self) -> int:
        return self.shape[0] * self.shape[1] * self.shape[2]


def checked_lattice(shape: object, spacing: object, side: object, jitter: object, seed: object,
                    collections: object, who: str) -> LatticeArguments:
    if isinstance(shape, (str, bytes)) or not isinstance(shape, (Sequence, np.ndarray)) \
            or len(shape) != 3 or not all(is_whole(n) for n in shape):
        raise TypeError(f"{who}: shape must be three whole numbers of cells (nx, ny, nz), such "
                        f"as (100, 100, 100), not {plain(shape)!r}")
    sizes = (int(shape[0]), int(shape[1]), int(shape[2]))
    if min(sizes) < 1:
        raise ValueError(f"{who}: shape must be three whole numbers of 1 or more, not {sizes}")
    if math.prod(sizes) > 2**62:
        raise ValueError(f"{who}: shape {sizes} makes more cells than the int64 cell numbers "
                         "hold; ask for fewer")
    step = _real(who, "spacing", spacing, positive=True)
    width = _real(who, "side", side, positive=True)
    move = _real(who, "jitter", jitter, positive=False)
    reach = (max(sizes) - 1) * step + width / 2 + move
    if not reach < float(np.finfo(np.float32).max):
        raise ValueError(f"{who}: the lattice reaches {reach:g}, beyond what float32 vertices "
                         "hold; give a smaller spacing, side or shape")
    if not is_whole(seed) or int(seed) < 0:
        raise ValueError(f"{who}: seed must be a whole number of 0 or more, not {plain(seed)!r}")
    if not is_whole(collections) or not 1 <= int(collections) <= _INT32_MAX:
        raise ValueError(f"{who}: collections must be a whole number from 1 to {_INT32_MAX:,}, "
                         f"not {plain(collections)!r}")
    return LatticeArguments(sizes, step, width, move, int(seed),
                            int(collections))


def lattice_block(lattice: LatticeArguments, first: int, count: int) -> PackedCells:
    """Cells ``first`` to ``first + count - 1`` of the lattice."""
    _, ny, nz = lattice.shape
    k = np.arange(first, first + count, dtype=np.int64)
    points = np.stack([k // (ny * nz), k // nz % ny, k % nz], axis=1).astype(np.float64)
    centres = points * lattice.spacing + _moves(lattice, first, count)
    vertices = (centres[:, None, :] + (lattice.side / 2) * _SIGNS[None]).astype(np.float32)
    # Rounding to float32 keeps the order of numbers, so the lower corner is each cell's
    # minimum on every axis and the upper corner its maximum.
    lower = np.ascontiguousarray(vertices[:, 0])
    upper = np.ascontiguousarray(vertices[:, 7])
    return PackedCells(k, vertices.reshape(-1, 3), np.arange(count + 1, dtype=np.int64) * 8,
                       np.tile(_CUBE_EDGES, (count, 1)), np.arange(count + 1, dtype=np.int64) * 12,
                       centres.astype(np.float32), (k % lattice.collections).astype(np.int32),
                       lower, upper)


def _moves(lattice: LatticeArguments, first: int, count: int) -> npt.NDArray[np.float64]:
    """The random offsets of cells ``first`` to ``first + count - 1``, each generation block
    drawn whole, so a cell's offset does not depend on the slice asked for."""
    moves = np.empty((count, 3), np.float64)
    if not count:
        return moves
    for block in range(first // GENERATION_BLOCK, (first + count - 1) // GENERATION_BLOCK + 1):
        rng = np.random.default_rng([lattice.seed, block])
        drawn = rng.uniform(-lattice.jitter, lattice.jitter, size=(GENERATION_BLOCK, 3))
        start = max(first, block * GENERATION_BLOCK)
        stop = min(first + count, (block + 1) * GENERATION_BLOCK)
        moves[start - first:stop - first] = drawn[start - block * GENERATION_BLOCK:
                                                   stop - block * GENERATION_BLOCK]
    return moves


def is_whole(value: object) -> TypeGuard[numbers.Integral]:
    return isinstance(value, numbers.Integral) and not isinstance(value, (bool, np.bool_))


def _real(who: str, name: str, value: Any, positive: bool) -> float:
    wanted = "positive" if positive else "0 or more"
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise TypeError(f"{who}: {name} must be a {wanted} finite number, not {type_name(value)}")
    number = float(value)
    if not math.isfinite(number) or number < 0 or (positive and number == 0):
        raise ValueError(f"{who}: {name} must be a {wanted} finite number, not {number:g}")
    return number
