"""The 64-byte cell records the raw ``generate_neighbors`` reads, and attaching link tables to them.

The records carry addresses of the vertex, edge and link arrays; :class:`CellRecords` keeps
those arrays alive as long as the records (or a view or ``.copy()`` of them) are reachable.
"""
from __future__ import annotations

from functools import partial
from typing import Any, Protocol, SupportsIndex

import numpy as np
import numpy.typing as npt

from cellprox._gather import write_records as _write_records
from cellprox._cells.numbers import INT32_MAX, link_table, link_vector

__all__ = ["CELL_DTYPE", "CellRecords", "attach_link_tables", "write_records"]

#: The 64-byte cell record, little-endian, with the offsets the native module reads.
CELL_DTYPE = np.dtype({
    "names": ["index", "coll_index", "links_start", "v_count", "e_count", "n_count",
              "origin", "vertices", "edges", "cell_links"],
    "formats": ["<i4", "<i4", "<i4", "<i4", "<i4", "<i4", ("<f4", 3), "<u8", "<u8", "<u8"],
    "offsets": [0, 4, 8, 12, 16, 20, 24, 40, 48, 56],
    "itemsize": 64,
})


class CellRecords(np.ndarray[Any, np.dtype[np.void]]):
    """A record array (dtype :data:`CELL_DTYPE`) that keeps alive what its records point to.

    ``keepalive`` holds the vertex, edge and link arrays whose addresses the records carry.
    ``records.copy()`` takes a copy of the list, and a view (``records[5:]``) keeps the array it
    views alive, and with it that array's list: while either is reachable, so is every array
    it points to. Functions that return a plain ndarray do not: ``np.copy(records)``,
    ``np.array(records)`` or ``records.view(np.ndarray)`` copy or show the addresses without
    the arrays behind them.

    The records cannot be pickled (TypeError): the addresses mean nothing in another process,
    or in this one once the arrays are gone. Pickle the :class:`CellSet`; it rebuilds its
    records when loaded.
    """

    keepalive: list[object]

    def __array_finalize__(self, obj: object) -> None:
        self.keepalive = list(getattr(obj, "keepalive", []))

    def __reduce__(self) -> tuple[Any, ...]:
        raise TypeError(
            "CellRecords cannot be pickled: they hold memory addresses of this process, which "
            "mean nothing once loaded; pickle the CellSet instead, which rebuilds its records")

    def __reduce_ex__(self, protocol: SupportsIndex) -> tuple[Any, ...]:
        return self.__reduce__()


class PackedCells(Protocol):
    """What the records are made from: a :class:`~cellprox.CellSet`'s packed arrays."""

    vertex_data: npt.NDArray[np.float32]
    edge_data: npt.NDArray[np.int32]
    v_counts: npt.NDArray[np.int64]
    e_counts: npt.NDArray[np.int64]
    vertex_starts: npt.NDArray[np.int64]
    edge_starts: npt.NDArray[np.int64]
    records: CellRecords

    def __len__(self) -> int: ...


def write_records(cells: PackedCells, origins: npt.NDArray[np.float32],
                  collections: npt.NDArray[np.int32], workers: int = 1) -> CellRecords:
    """New records for ``cells``, pointing into its vertex and edge data, without links; written
    on ``workers`` threads into memory that the thread writing a page touches first."""
    records = np.empty(len(cells.v_counts), CELL_DTYPE).view(CellRecords)
    records.keepalive = [cells.vertex_data, cells.edge_data]
    as_int64 = partial(np.ascontiguousarray, dtype=np.int64)
    _write_records(records.view(np.uint8), np.ascontiguousarray(collections, np.int32),
                   as_int64(cells.v_counts), as_int64(cells.e_counts), as_int64(cells.vertex_starts),
                   as_int64(cells.edge_starts), np.ascontiguousarray(origins, np.float32),
                   cells.vertex_data, cells.edge_data, workers)
    return records


def attach_link_tables(cells: PackedCells, links: npt.ArrayLike, link_starts: npt.ArrayLike,
                       link_count: npt.ArrayLike) -> tuple[npt.NDArray[np.int32], int]:
    """Checks the raw broad phase's tables and points ``cells.records`` at them (see
    :meth:`CellSet.attach_links`); returns the table kept and ``n_links``."""
    n = len(cells)
    table = link_table(links, n)
    starts = link_vector("link_starts", link_starts, n)
    counts = link_vector("link_count", link_count, n)
    width = table.shape[1]
    bad = np.flatnonzero((counts < 0) | (counts > width))
    if bad.size:
        i = int(bad[0])
        raise ValueError(
            f"CellSet.attach_links: cell {i}: link_count is {int(counts[i])}, but its row of "
            f"links has {width} slots; link_count must lie in 0..{width}, as the broad "
            "phase leaves it")
    linked = np.flatnonzero(counts > 0)
    bad = linked[starts[linked] < 0]
    if bad.size:
        i = int(bad[0])
        raise ValueError(
            f"CellSet.attach_links: cell {i} has {int(counts[i])} links but link_starts is "
            f"{int(starts[i])}; a cell with links needs its first result slot (>= 0) in "
            "link_starts. Pass the tables exactly as get_bb_intersections filled them")
    order = linked[np.argsort(starts[linked], kind="stable")]
    ends = starts[order] + counts[order]
    clash = np.flatnonzero(starts[order[1:]] < ends[:-1])
    if clash.size:
        i, j = int(order[clash[0]]), int(order[clash[0] + 1])
        raise ValueError(
            f"CellSet.attach_links: the result slots of cells {i} and {j} overlap (cell {i} "
            f"has slots {int(starts[i])}..{int(starts[i] + counts[i] - 1)}, cell {j} starts "
            f"at {int(starts[j])}); every cell needs a run of slots of its own. Pass the "
            "tables exactly as get_bb_intersections filled them")
    n_links = int(ends.max()) if ends.size else 0
    if n_links > INT32_MAX:
        raise ValueError(f"CellSet.attach_links: {n_links} link slots do not fit in 32 bits")

    records = cells.records
    records["links_start"] = np.where(counts > 0, starts, -1)
    records["n_count"] = counts
    row_address = table.ctypes.data + np.arange(n, dtype=np.int64) * table.strides[0]
    records["cell_links"] = np.where(counts > 0, row_address, 0)
    records.keepalive[:] = [cells.vertex_data, cells.edge_data, table]
    return table, n_links
