"""The integers a CellSet is given: link tables, offsets and counts, checked against int32 as
given, before any conversion could wrap them, naming the first cell at fault."""
from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

from cellprox._gather import offset_counts as _offset_counts

__all__ = ["INT32_MAX", "MAX_CELL_LINKS", "first_beyond_int32", "checked_counts", "link_table",
           "link_vector", "packed_counts"]

#: Link slots per cell in the raw broad phase's link table.
MAX_CELL_LINKS = 30

INT32_MAX = 2**31 - 1
_INT32_MAX = INT32_MAX


def first_beyond_int32(array: npt.NDArray[Any]) -> int | None:
    """The flat position of the first integer (of any width) that does not fit int32, compared
    without converting it first; None when all fit."""
    flat = array.reshape(-1)
    # Two reductions decide the common case without a temporary array.
    if flat.size == 0:
        return None
    if flat.max() <= _INT32_MAX and (flat.dtype.kind == "u" or flat.min() >= -_INT32_MAX - 1):
        return None
    if flat.dtype.kind == "u":
        beyond = flat > _INT32_MAX
    else:
        beyond = (flat < -_INT32_MAX - 1) | (flat > _INT32_MAX)
    return int(np.argmax(beyond)) if beyond.any() else None


def link_table(value: npt.ArrayLike, n: int) -> npt.NDArray[np.int32]:
    array = np.asarray(value)
    if array.dtype.kind not in "iu":
        raise TypeError(f"CellSet.attach_links: links must be integers, not {array.dtype}")
    if array.ndim != 2 or len(array) != n:
        raise ValueError(
            f"CellSet.attach_links: links must be an integer array of shape ({n}, "
            f"{MAX_CELL_LINKS}), one row per cell, not {array.dtype} of shape {array.shape}")
    if array.dtype == np.int32 and array.strides[1] == 4:
        return array
    first = first_beyond_int32(array)
    if first is not None:
        cell, slot = divmod(first, array.shape[1])
        raise ValueError(f"CellSet.attach_links: cell {cell}: link {slot} is "
                         f"{array[cell, slot].item()}, which is no cell number (they fit int32)")
    return np.ascontiguousarray(array, np.int32)


def link_vector(name: str, value: npt.ArrayLike, n: int) -> npt.NDArray[np.int64]:
    array = np.asarray(value)
    if array.dtype.kind not in "iu":
        raise TypeError(f"CellSet.attach_links: {name} must be integers, not {array.dtype}")
    if array.shape != (n,):
        raise ValueError(
            f"CellSet.attach_links: {name} must be an integer array of shape ({n},), one entry "
            f"per cell, not {array.dtype} of shape {array.shape}")
    i = first_beyond_int32(array)
    if i is not None:
        raise ValueError(f"CellSet.attach_links: cell {i}: {name} is {array[i].item()}, beyond "
                         "32 bits; pass the tables exactly as get_bb_intersections filled them")
    return array.astype(np.int64)


def packed_counts(name: str, offsets: npt.ArrayLike, rows: int, n: int | None, limit: int,
                  who: str, rows_of: str = "rows", workers: int = 1) -> npt.NDArray[np.int64]:
    """Each cell's row count from compressed-sparse-row offsets (n + 1 integers from 0, never
    falling, ending at ``rows``), checked, naming the first cell at fault and the offsets as
    given: they are compared before any conversion that could wrap them.

    Offsets of 32 or 64 bits, signed or not, in native order are checked and counted in one
    native pass on ``workers`` threads; where it finds a fault, and for any other type, numpy's
    checks below run and name it."""
    array = np.asarray(offsets)
    if array.ndim == 1 and array.size == 0:
        raise ValueError(f"{who}: {name} is empty, but it needs at least one element: n + 1 "
                         f"offsets for n cells, starting at 0 ([0] for no cells)")
    if array.dtype.kind not in "iu":
        raise TypeError(f"{who}: {name} must be integers (one more than there are cells), not "
                        f"{array.dtype}")
    if array.ndim != 1 or (n is not None and len(array) != n + 1):
        wanted = "(n + 1,)" if n is None else f"({n + 1},)"
        raise ValueError(f"{who}: {name} has shape {array.shape}, but it must be {wanted}: cell i "
                         f"owns rows {name}[i] to {name}[i + 1] - 1")
    if len(array) - 1 > INT32_MAX:
        raise ValueError(f"{who}: {len(array) - 1} cells do not fit the native 32-bit count")
    counts: npt.NDArray[np.int64] | None = _offset_counts(array, rows, limit, np.empty, workers)
    if counts is not None:
        return counts
    if array[0] != 0:
        raise ValueError(f"{who}: {name}[0] is {array[0].item()}, but the first cell's rows start at 0")
    # Offsets beyond the rows are cut off first, so that the rest converts to int64 exactly.
    beyond = np.flatnonzero(array > rows) if array.max() > rows else np.zeros(0, np.intp)
    end = int(beyond[0]) if beyond.size else len(array)
    values = array[:end].astype(np.int64, copy=False)
    counts = np.diff(values)
    fits = counts.size == 0 or (counts.min() >= 0 and counts.max() <= limit)
    bad = np.zeros(0, np.intp) if fits else np.flatnonzero((counts < 0) | (counts > limit))
    if bad.size:
        i = int(bad[0])
        a, b = array[i].item(), array[i + 1].item()
        if b < a:
            raise ValueError(f"{who}: cell {i}: {name} fall from {a} to {b}; offsets must never "
                             f"fall, since cell i owns rows {name}[i] to {name}[i + 1] - 1")
        raise ValueError(f"{who}: cell {i}: {name} go from {a} to {b}, {b - a:,} rows, but a "
                         f"cell may own at most {limit:,} (its counts are 32-bit)")
    if beyond.size:
        i = int(beyond[0])
        raise ValueError(f"{who}: cell {i - 1}: {name}[{i}] is {array[i].item()}, beyond the "
                         f"{rows} {rows_of}; offsets must rise to the number of rows and no further")
    if int(values[-1]) != rows:
        raise ValueError(f"{who}: {name} end at {int(values[-1])}, but there are {rows} {rows_of}; "
                         "the last offset must be the number of rows")
    return counts


def checked_counts(name: str, value: Any, limit: int, who: str) -> npt.NDArray[np.int64]:
    """Per-cell counts as the loader takes them: integers from 0 to ``limit``."""
    array = np.asarray(value)
    if array.dtype.kind not in "iu" or array.ndim != 1:
        raise ValueError(f"{who}: {name} must be one integer count per cell, not {array.dtype} of "
                         f"shape {array.shape}")
    if len(array) > INT32_MAX:
        raise ValueError(f"{who}: {len(array)} cells do not fit the native 32-bit count")
    if array.size and (int(array.min()) < 0 or int(array.max()) > limit):
        i = int(np.argmax((array < 0) | (array > limit)))
        raise ValueError(f"{who}: cell {i}: {name} is {int(array[i])}, but it must lie in 0..{limit}")
    return array.astype(np.int64)
