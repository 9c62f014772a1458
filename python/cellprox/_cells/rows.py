"""A cell set's rows checked and converted: vertices to float32, edges to int32, each cell's first
rows and its origin.

Exact ndarrays of the common types (float32 or float64 vertices; int32, int64, uint32 or uint64
edges) go through one native pass on the package's thread team, which converts and checks every
row and takes the default origins as it goes. That pass only detects a fault: where it finds
one, and for any other type, numpy's checks below run as they always have and name the cell at
fault. Both ways give the same arrays, bit for bit.
"""
from __future__ import annotations

from typing import Any, NamedTuple

import numpy as np
import numpy.typing as npt

from cellprox._cells import checks
from cellprox._gather import build_rows as _build_rows

__all__ = ["Rows", "checked_rows"]


class Rows(NamedTuple):
    """What a cell set is built from, checked: the arrays it owns and each cell's origin."""

    vertex_data: npt.NDArray[np.float32]
    edge_data: npt.NDArray[np.int32]
    vertex_starts: npt.NDArray[np.int64]
    edge_starts: npt.NDArray[np.int64]
    origins: npt.NDArray[np.float32]


def checked_rows(vertex_data: npt.NDArray[Any], v_counts: npt.NDArray[np.int64],
                 edge_data: npt.NDArray[Any], e_counts: npt.NDArray[np.int64],
                 origins: npt.ArrayLike | None, who: str, owned: bool, workers: int) -> Rows:
    """The joined arrays checked as every way of making a set checks them, and converted. They
    are copied to float32 and int32, unless ``owned`` says that no one else holds them (then
    rows of those types are kept as they are). Edge numbers are checked as given, before the
    conversion could wrap them; the origins after the rows, as the messages have always come."""
    v_counts = np.ascontiguousarray(v_counts, np.int64)
    e_counts = np.ascontiguousarray(e_counts, np.int64)
    built = _build_rows(vertex_data, v_counts, edge_data, e_counts, np.empty, owned,
                        origins is None, workers)
    if built is None or built[5]:
        return _numpy_rows(vertex_data, v_counts, edge_data, e_counts, origins, who, owned)
    vertex_data32, edge_data32, vertex_starts, edge_starts, means, _ = built
    return Rows(vertex_data32, edge_data32, vertex_starts, edge_starts,
                means if origins is None else checks.origins_of(origins, vertex_data32, v_counts, who,
                                                                 workers))


def _numpy_rows(vertex_data: npt.NDArray[Any], v_counts: npt.NDArray[np.int64],
                edge_data: npt.NDArray[Any], e_counts: npt.NDArray[np.int64],
                origins: npt.ArrayLike | None, who: str, owned: bool) -> Rows:
    vertex_data32 = _as_float32(vertex_data, owned)
    checks.check_vertex_values(vertex_data32, vertex_data, v_counts, who)
    checks.check_edge_numbers(edge_data, v_counts, e_counts, who)
    edge_data32 = edge_data if owned and edge_data.dtype == np.int32 and edge_data.flags.c_contiguous \
        else np.array(edge_data, np.int32, order="C")
    return Rows(vertex_data32, edge_data32, np.cumsum(v_counts) - v_counts,
                np.cumsum(e_counts) - e_counts,
                checks.origins_of(origins, vertex_data32, v_counts, who))


def _as_float32(values: npt.NDArray[Any], owned: bool = False) -> npt.NDArray[np.float32]:
    """float32 C-ordered rows: a copy, or ``values`` themselves when they are such rows and
    ``owned`` (no one else holds them)."""
    if owned and values.dtype == np.float32 and values.flags.c_contiguous:
        return values
    if values.dtype.kind in "iu":
        values = values.astype(np.float64)
    with np.errstate(over="ignore"):
        return np.array(values, np.float32, order="C")
