"""The checks a CellSet makes of what it is given, before anything reaches native code.

Each names the first cell at fault, the problem and the fix: a value of the wrong type is a
TypeError, a wrong shape or value a ValueError. Per-cell arrays are joined here too, natively
where they are numpy arrays of one type (``cellprox._gather``), cell by cell where a cell must be
named.
"""
from __future__ import annotations

from collections.abc import Callable, Sequence
from operator import attrgetter
from typing import Any

import numpy as np
import numpy.typing as npt

from cellprox._messages import type_name
from cellprox._gather import float32_rows as _float32_rows
from cellprox._gather import gather as _join_arrays
from cellprox._gather import int32_column as _int32_column
from cellprox._gather import run_means as _run_means
from cellprox._cells.numbers import INT32_MAX, MAX_CELL_LINKS, first_beyond_int32

__all__ = ["check_edge_numbers", "check_vertex_values", "check_state_keys", "collections_of",
           "count_cells", "edge_array", "gather", "origins_of", "vertex_array"]

_INT32_MAX = INT32_MAX


def count_cells(vertices: Sequence[Any], edges: Sequence[Any] | None) -> int:
    """The number of cells; ``edges`` None for cells without edges."""
    given = (("vertices", vertices),) if edges is None else (("vertices", vertices), ("edges", edges))
    for name, value in given:
        if isinstance(value, np.ndarray) and value.dtype != object and value.ndim == 2:
            raise ValueError(
                f"CellSet: {name} is one {value.shape} array, but it must be a sequence with "
                f"one array per cell; for a single cell pass [{name}]")
        if isinstance(value, (str, bytes)) or not hasattr(value, "__len__") \
                or not hasattr(value, "__getitem__"):
            raise TypeError(
                f"CellSet: {name} must be a sequence (list) with one array per cell, not "
                f"{type_name(value)}")
    n = len(vertices)
    if edges is not None and len(edges) != n:
        raise ValueError(
            f"CellSet: {n} vertex arrays but {len(edges)} edge arrays; pass one of each per cell "
            "(an empty np.zeros((0, 2), np.int32) for a cell without edges)")
    if n > _INT32_MAX:
        raise ValueError(f"CellSet: {n} cells do not fit the native module's 32-bit count")
    return n


def vertex_array(i: int, value: npt.ArrayLike) -> npt.NDArray[Any]:
    try:
        array = np.asarray(value)
    except (TypeError, ValueError) as error:
        raise type(error)(f"CellSet: cell {i}: its vertices cannot be read as an array "
                          f"({error}); pass a (v, 3) array of coordinates") from None
    if array.size == 0 and array.dtype.kind == "f":
        array = array.reshape(0, 3)       # [] means no vertices
    if array.dtype.kind not in "iuf":
        raise TypeError(
            f"CellSet: cell {i}: vertices have dtype {array.dtype}, which does not convert to "
            "float32 coordinates; pass real numbers, e.g. np.asarray(v, np.float32)")
    if array.ndim != 2 or array.shape[1] != 3:
        raise ValueError(
            f"CellSet: cell {i}: vertices have shape {array.shape}, but they must be (v, 3), "
            "one row of x, y, z per vertex (np.empty((0, 3)) for none); reshape with "
            ".reshape(-1, 3)")
    if len(array) > _INT32_MAX // 3:
        raise ValueError(f"CellSet: cell {i}: {len(array)} vertices are too many for 32 bits")
    return array


def edge_array(i: int, value: npt.ArrayLike,
               v_counts: npt.NDArray[np.int64] | None = None) -> npt.NDArray[Any]:
    """Cell ``i``'s edges as an integer (e, 2) array; with ``v_counts``, its vertex numbers
    checked too, while they are still the numbers as given (joined with arrays of another
    integer type, numbers beyond int64 would not survive)."""
    try:
        array = np.asarray(value)
    except (TypeError, ValueError) as error:
        raise type(error)(f"CellSet: cell {i}: its edges cannot be read as an array ({error}); "
                          "pass a (e, 2) array of vertex numbers") from None
    if array.size == 0 and array.dtype.kind == "f":
        array = array.astype(np.int64)     # [] and np.empty((0, 2)) mean no edges
    if array.dtype.kind not in "iu":
        raise TypeError(
            f"CellSet: cell {i}: edges have dtype {array.dtype}, but they must be integer vertex "
            "numbers; convert them with np.asarray(e, np.int32)")
    if array.size == 0 and array.shape != (0, 2):
        array = array.reshape(0, 2)
    if array.ndim != 2 or array.shape[1] != 2:
        raise ValueError(
            f"CellSet: cell {i}: edges have shape {array.shape}, but they must be (e, 2), one "
            "row of two vertex numbers per edge; reshape with .reshape(-1, 2)")
    if len(array) > _INT32_MAX // 2:
        raise ValueError(f"CellSet: cell {i}: {len(array)} edges are too many for 32 bits")
    if v_counts is not None and i < len(v_counts):
        check_edge_numbers(array, v_counts[i:i + 1], np.array([len(array)], np.int64), "CellSet", i)
    return array


def gather(values: Sequence[Any], width: int, kinds: str,
           one_cell: Callable[[int, Any], npt.NDArray[Any]], into: str = ""
           ) -> tuple[npt.NDArray[Any], npt.NDArray[np.int64]]:
    """All cells' (k, width) arrays back to back, and each cell's row count.

    Arrays of the right kinds and shape are joined in one step (numpy arrays of one type
    natively, without numpy's fixed cost per array); anything else goes cell by cell through
    ``one_cell``, which converts what it can and names the cell at fault. ``into`` "f" joins
    float64 arrays as float32 and "i" 64-bit and unsigned integers as int32, converted as they
    are copied, unless a number would not survive that (then they keep their type, for the
    checks to quote).
    """
    n = len(values)
    limit = _INT32_MAX // width
    joined = _join_arrays(values, width, np.empty, into) if n else None
    if joined is not None:
        data, counts = joined
        if data.dtype.kind in kinds and counts.max() <= limit:
            return data, counts
    try:
        try:
            arrays = values
            dtypes = set(map(attrgetter("dtype"), arrays))
        except AttributeError:      # not all numpy arrays
            arrays = list(map(np.asarray, values))
            dtypes = set(map(attrgetter("dtype"), arrays))
        if n and all(dtype.kind in kinds for dtype in dtypes):
            data = np.concatenate(arrays)
            counts = np.array(list(map(len, arrays)), np.int64)
            # uint64 joined with a signed type becomes float64, rounding large numbers.
            if data.ndim == 2 and data.shape[1] == width and counts.max() <= limit \
                    and data.dtype.kind in kinds:
                return data, counts
    except (TypeError, ValueError):
        pass
    checked = [one_cell(i, value) for i, value in enumerate(values)]
    counts = np.fromiter(map(len, checked), np.int64, n)
    if not checked:
        return np.zeros((0, width), np.float64 if "f" in kinds else np.int64), counts
    dtype = np.float64 if "f" in kinds else np.int64
    return np.concatenate([a.astype(dtype, copy=False) for a in checked]), counts


def first_cell(row_mask: npt.NDArray[np.bool_], counts: npt.NDArray[np.int64]) -> tuple[int, int]:
    """The cell of the first flagged row, and the row's number within that cell."""
    row = int(np.argmax(row_mask))
    ends = np.cumsum(counts)
    cell = int(np.searchsorted(ends, row, side="right"))
    return cell, row - int(ends[cell] - counts[cell])


def check_vertex_values(as_float32: npt.NDArray[np.float32], data: npt.NDArray[Any],
                        counts: npt.NDArray[np.int64], who: str = "CellSet") -> None:
    if np.isfinite(as_float32).all():
        return
    bad = np.logical_not(np.isfinite(as_float32).all(axis=1))
    if bad.any():
        cell, row = first_cell(bad, counts)
        point = tuple(float(x) for x in data[int(np.argmax(bad))])
        raise ValueError(
            f"{who}: cell {cell}: vertex {row} is {point}; coordinates must be finite and "
            "within float32 range (|x| < 3.4e38). Remove or fix the vertex")


def check_edge_numbers(data: npt.NDArray[Any], v_counts: npt.NDArray[np.int64],
                       e_counts: npt.NDArray[np.int64], who: str = "CellSet",
                       first: int = 0) -> None:
    """Every edge numbers vertices of its own cell. Works on the numbers as given, before any
    conversion to int32 could wrap them (``(6, 2**32 + 2)`` must not pass as ``(6, 2)``); float
    numbers (only a pickle brings them) must be whole. ``first`` is the number of the first cell."""
    if len(data) == 0:
        return
    if data.dtype.kind == "f":
        whole = np.isfinite(data) & (np.floor(data) == data)
        if not whole.all():
            cell, row = first_cell(~whole.all(axis=1), e_counts)
            a, b = data[int(np.argmax(~whole.all(axis=1)))].tolist()
            raise ValueError(
                f"{who}: cell {first + cell}: edge {row} is ({a}, {b}), but vertex numbers are "
                "whole numbers; edges must number vertices of their own cell, counting from 0")
    numbers = data.reshape(-1)
    filled = e_counts > 0
    starts = 2 * (np.cumsum(e_counts) - e_counts)[filled]
    # uint64 numbers meet the int64 counts as float64, which decides rightly here: the counts
    # are far below 2**53, where float64 is exact.
    if numbers.min() >= 0 and (np.maximum.reduceat(numbers, starts) < v_counts[filled]).all():
        return
    low, high = np.minimum(data[:, 0], data[:, 1]), np.maximum(data[:, 0], data[:, 1])
    bad = (low < 0) | (high >= np.repeat(v_counts, e_counts))
    if bad.any():
        cell, row = first_cell(bad, e_counts)
        a, b = (_as_given(x) for x in data[int(np.argmax(bad))])
        v = int(v_counts[cell])
        allowed = f"0..{v - 1}" if v else "none, since it has no vertices"
        raise ValueError(
            f"{who}: cell {first + cell}: edge {row} is ({a}, {b}), but the cell has {v} vertices "
            f"(valid vertex numbers: {allowed}); edges must number vertices of their own cell, "
            "counting from 0")


def _as_given(value: Any) -> int | float:
    """A number as the caller wrote it: an int when it is an integer, else the float."""
    number = value.item() if isinstance(value, np.generic) else value
    return int(number) if isinstance(number, float) and number.is_integer() else number


def collections_of(value: npt.ArrayLike, n: int, who: str = "CellSet",
                   workers: int = 1) -> npt.NDArray[np.int32]:
    """One int32 collection number per cell, from one integer for all or one per cell: 32 or
    64 bits, signed or not, converted natively in one pass on ``workers`` threads, and any
    other integers (or a number that does not fit) by numpy, which names the cell."""
    array = np.asarray(value)
    if array.dtype.kind not in "iub":
        raise TypeError(
            f"{who}: collections must be integers (one for all cells or one per cell), not "
            f"{array.dtype}; for example np.zeros({n}, np.int32)")
    if array.ndim > 1 or (array.ndim == 1 and len(array) != n):
        raise ValueError(
            f"{who}: collections must be one integer or {n} integers (one per cell), not "
            f"{array.dtype} of shape {array.shape}; for example np.zeros({n}, np.int32)")
    converted: npt.NDArray[np.int32] | None = _int32_column(array, n, np.empty, workers)
    if converted is not None:
        return converted
    i = first_beyond_int32(array)
    if i is not None:
        given = array.item() if array.ndim == 0 else array[i].item()
        where = "collections is" if array.ndim == 0 else f"cell {i}: its collection is"
        raise ValueError(f"{who}: {where} {given}, but collection numbers must fit in 32 bits "
                         f"(int32: {-_INT32_MAX - 1}..{_INT32_MAX})")
    return np.broadcast_to(array, (n,)).astype(np.int32)


def origins_of(value: npt.ArrayLike | None, vertices: npt.NDArray[np.float32],
               counts: npt.NDArray[np.int64], who: str = "CellSet",
               workers: int = 1) -> npt.NDArray[np.float32]:
    """Each cell's origin as float32: the mean of its vertices, or the (n, 3) points given.
    float32 or float64 points are converted and checked natively in one pass on ``workers``
    threads; integers, other types and points that are not finite go through numpy."""
    n = len(counts)
    if value is None:
        empty = np.flatnonzero(counts == 0)
        if empty.size:
            raise ValueError(
                f"{who}: cell {int(empty[0])} has no vertices, so it has no default origin "
                "(the mean of its vertices); pass origins=... with one point per cell")
        means = np.empty((n, 3), np.float32)
        _run_means(vertices, counts, means)     # summed in double, in one native pass
        return means
    array = np.asarray(value)
    if array.dtype.kind not in "iuf":
        raise TypeError(f"{who}: origins must be real numbers, one (x, y, z) per cell, not "
                        f"{array.dtype}")
    if array.shape != (n, 3):
        raise ValueError(
            f"{who}: origins have dtype {array.dtype} and shape {array.shape}, but they must "
            f"be real numbers of shape ({n}, 3), one point per cell")
    converted: npt.NDArray[np.float32] | None = _float32_rows(array, np.empty, workers)
    if converted is not None:
        return converted
    with np.errstate(over="ignore"):
        origins = array.astype(np.float32)
    if np.isfinite(origins).all():
        return origins
    bad = ~np.isfinite(origins).all(axis=1)
    if bad.any():
        i = int(np.argmax(bad))
        raise ValueError(f"{who}: cell {i}: its origin {tuple(array[i].tolist())} is not "
                         "finite in float32; pass a finite point")
    return origins


def check_state_keys(state: object, keys: Sequence[str], who: str,
                     optional: Sequence[str] = ()) -> None:
    """A pickled object's state is a dict holding ``keys`` (``optional`` may be left out, as
    pickles of earlier versions do) and nothing else."""
    if not isinstance(state, dict):
        raise ValueError(f"{who}: the pickled state is a {type_name(state)}, not a dict")
    missing = [key for key in keys if key not in state and key not in optional]
    unknown = sorted(str(key) for key in state if key not in keys)
    if missing or unknown:
        parts = ([f"lacks {', '.join(missing)}"] if missing else []) + \
                ([f"has unknown keys {', '.join(unknown)}"] if unknown else [])
        raise ValueError(f"{who}: the pickled state {' and '.join(parts)}; it must hold "
                         f"{', '.join(keys)}")
