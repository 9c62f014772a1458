"""What voronoi_fracture is given, checked before any work: the cell count against the int32
cell numbers and this machine's memory, the collections, and a box whose sides float32 vertices
can hold."""
from __future__ import annotations

import numbers
import os
from collections.abc import Sequence

import numpy as np
import numpy.typing as npt

from cellprox._messages import plain, type_name

__all__ = ["MAX_INDEX", "checked_arguments"]

# Cells and collections are numbered in int32.
MAX_INDEX = 2**31 - 1
# A cell's arrays and their objects take some 950 bytes once made, more while being made;
# a count whose cells could not fit in the machine's memory even so is refused up front.
_BYTES_PER_CELL = 900


def checked_arguments(n_cells: int, collections: int,
                      box: Sequence[float]) -> tuple[int, int, npt.NDArray[np.float64]]:
    count = _positive_integer("n_cells", n_cells, "", _max_cells(),
                              "the int32 cell numbers and this machine's memory hold")
    bands = _positive_integer("collections", collections, " (1 for a single collection)",
                              MAX_INDEX, "the int32 collection numbers hold")
    if isinstance(box, (str, bytes)) or not isinstance(box, (Sequence, np.ndarray)) or \
            not all(isinstance(s, numbers.Real) and not isinstance(s, (bool, np.bool_))
                    for s in np.asarray(box, dtype=object).ravel()):
        raise TypeError("voronoi_fracture: box must be three sizes (x, y, z), such as "
                        f"(1.0, 1.0, 1.0), not {plain(box)!r}")
    size = np.asarray(box, dtype=np.float64)
    if size.shape != (3,):
        raise ValueError("voronoi_fracture: box must be three sizes (x, y, z), such as "
                         f"(1.0, 1.0, 1.0), not {plain(box)!r}")
    if not (np.isfinite(size).all() and (size > 0).all()):
        raise ValueError(f"voronoi_fracture: the box's sizes must be positive and finite, not "
                         f"{tuple(float(s) for s in size)}")
    # The cells' float32 vertices must hold the box: beyond the largest float32 they would be
    # infinite, and below the smallest normal one they would lose their precision or vanish.
    low, high = np.finfo(np.float32).tiny, np.finfo(np.float32).max
    for axis, side in zip("xyz", size):
        if not low <= side <= high:
            raise ValueError(f"voronoi_fracture: box's {axis} size {float(side):g} is outside "
                             f"the range float32 vertices can hold, {float(low):g} to "
                             f"{float(high):g}")
    return count, bands, size


def _max_cells() -> int:
    """The most cells the index type holds and, where the machine tells, its memory."""
    try:
        memory = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")
    except (AttributeError, ValueError, OSError):
        return MAX_INDEX
    return int(min(MAX_INDEX, max(memory // _BYTES_PER_CELL, 1)))


def _positive_integer(name: str, value: object, hint: str, limit: int, why: str) -> int:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Integral):
        raise TypeError(f"voronoi_fracture: {name} must be a positive integer{hint}, not "
                        f"{type_name(value)}")
    number = int(value)
    if number < 1:
        raise ValueError(f"voronoi_fracture: {name} must be a positive integer{hint}, not {value}")
    if number > limit:
        raise ValueError(f"voronoi_fracture: {name} must be at most {limit:,} (what {why}), "
                         f"not {number:,}")
    return number
