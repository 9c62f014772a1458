"""The narrow phase's 64-byte cell records, built safely from per-cell numpy arrays.

The native ``generate_neighbors`` reads cells through a raw address and trusts everything it
finds there: the counts, the vertex numbers of the edges, the link slots, and that every array a
record points to is alive. :class:`CellSet` is the one place that checks all of that, once, and
owns the memory the records point to.
"""
from __future__ import annotations

from collections.abc import Callable, Sequence
from operator import attrgetter
from typing import Any, SupportsIndex

import numpy as np
import numpy.typing as npt

from cellprox._gather import gather as _join_arrays
from cellprox._gather import run_bounds as _run_bounds
from cellprox.boxes import corners_of

__all__ = ["CELL_DTYPE", "MAX_CELL_LINKS", "CellRecords", "CellSet", "bounding_corners", "bounds"]

#: The 64-byte cell record, little-endian, with the offsets the native module reads.
CELL_DTYPE = np.dtype({
    "names": ["index", "coll_index", "links_start", "v_count", "e_count", "n_count",
              "origin", "vertices", "edges", "cell_links"],
    "formats": ["<i4", "<i4", "<i4", "<i4", "<i4", "<i4", ("<f4", 3), "<u8", "<u8", "<u8"],
    "offsets": [0, 4, 8, 12, 16, 20, 24, 40, 48, 56],
    "itemsize": 64,
})

#: Link slots per cell in the broad phase's link table.
MAX_CELL_LINKS = 30

_INT32_MAX = 2**31 - 1


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


def bounds(vertices: npt.NDArray[np.float32], counts: npt.NDArray[np.int64]
           ) -> tuple[npt.NDArray[np.float32], npt.NDArray[np.float32]]:
    """The lower and upper bounds of consecutive runs of points, each (n, 3) float32.

    ``vertices`` holds all cells' points back to back, ``counts`` how many belong to each cell.
    A cell without vertices gets zero bounds.
    """
    n = len(counts)
    lower = np.zeros((n, 3), np.float32)
    upper = np.zeros((n, 3), np.float32)
    filled = counts > 0
    if filled.any():
        starts = (np.cumsum(counts) - counts)[filled]
        lower[filled] = np.minimum.reduceat(vertices, starts, axis=0)
        upper[filled] = np.maximum.reduceat(vertices, starts, axis=0)
    return lower, upper


def bounding_corners(vertices: npt.NDArray[np.float32],
                     counts: npt.NDArray[np.int64]) -> npt.NDArray[np.float32]:
    """The eight bounding-box corners of consecutive runs of points, (n, 8, 3) float32.

    Corner ``c`` takes the upper bound on axis ``a`` when bit ``a`` of ``c`` is set, otherwise
    the lower bound. A cell without vertices gets eight zero corners.
    """
    return corners_of(*bounds(vertices, counts))


class CellSet:
    """Cells as native cell records, with every array they point to owned and kept alive.

    ``CellSet(vertices, edges, origins=None, collections=0)`` takes, for each cell ``i``,
    ``vertices[i]`` ((v, 3) real numbers), ``edges[i]`` ((e, 2) integer vertex numbers in
    ``0 .. v-1``), optionally its origin (``origins[i]``, three numbers; the default is the mean
    of the cell's vertices) and its collection number (one int for all cells, or one per cell).

    Everything is checked once, here; a value of the wrong type (a string, None, floats for
    edges or collections) is a TypeError, a wrong shape or value a ValueError, naming the first
    cell at fault, the problem and how to fix it. The arrays are converted to float32 and int32
    and copied into two contiguous arrays that this object owns (``vertex_data`` and
    ``edge_data``), so the caller may change or drop its own arrays at once. Both are read-only:
    the edge numbers were checked against the vertex counts, and the native module trusts
    them. (Setting their ``writeable`` flag back is possible, and voids that check.)

    Lifetime: ``records`` (a :class:`CellRecords`) holds references to ``vertex_data``,
    ``edge_data`` and, once attached, the link table; the records, a view of them and
    ``records.copy()`` keep those arrays alive as long as they are reachable, but a plain
    ndarray made from them (``np.copy(records)``) does not. ``address`` is the address to pass
    to ``generate_neighbors``; it is only valid while this object (or ``records``) is alive.

    Pickling: a CellSet pickles its arrays, not its addresses, and a loaded one has new records
    pointing at its own copies, links included; the records alone refuse to be pickled.

    Links: :meth:`attach_links` fills ``links_start``, ``n_count`` and ``cell_links`` from the
    broad phase's tables; until then every cell has no links.
    """

    def __init__(self, vertices: Sequence[npt.ArrayLike], edges: Sequence[npt.ArrayLike], *,
                 origins: npt.ArrayLike | None = None,
                 collections: npt.ArrayLike = 0) -> None:
        n = _count_cells(vertices, edges)
        vertex_data, v_counts = _gather(vertices, 3, "iuf", _vertex_array)
        edge_data, e_counts = _gather(edges, 2, "iu", _edge_array)
        if vertex_data.dtype.kind in "iu":
            vertex_data = vertex_data.astype(np.float64)
        with np.errstate(over="ignore"):
            vertex_data32 = np.ascontiguousarray(vertex_data, np.float32)
        _check_vertex_values(vertex_data32, vertex_data, v_counts)
        _check_edge_numbers(edge_data, v_counts, e_counts)

        self._build(vertex_data32, np.ascontiguousarray(edge_data, np.int32), v_counts, e_counts,
                    _origins(origins, vertex_data32, v_counts), _collections(collections, n))

    def _build(self, vertex_data: npt.NDArray[np.float32], edge_data: npt.NDArray[np.int32],
               v_counts: npt.NDArray[np.int64], e_counts: npt.NDArray[np.int64],
               origins: npt.NDArray[np.float32], collections: npt.NDArray[np.int32]) -> None:
        """Takes checked, owned arrays and writes the records that point into them."""
        n = len(v_counts)
        vertex_data.flags.writeable = False    # the checks above hold only while they are kept
        edge_data.flags.writeable = False
        self.vertex_data: npt.NDArray[np.float32] = vertex_data
        self.edge_data: npt.NDArray[np.int32] = edge_data
        self.v_counts = v_counts
        self.e_counts = e_counts
        self.vertex_starts: npt.NDArray[np.int64] = np.cumsum(v_counts) - v_counts
        self.edge_starts: npt.NDArray[np.int64] = np.cumsum(e_counts) - e_counts
        self.links: npt.NDArray[np.int32] | None = None
        self.n_links = 0

        records = np.zeros(n, CELL_DTYPE).view(CellRecords)
        records.keepalive = [self.vertex_data, self.edge_data]
        records["index"] = np.arange(n)
        records["coll_index"] = collections
        records["links_start"] = -1
        records["v_count"] = v_counts
        records["e_count"] = e_counts
        records["origin"] = origins
        records["vertices"] = np.where(
            v_counts > 0, self.vertex_data.ctypes.data + self.vertex_starts * 12, 0)
        records["edges"] = np.where(
            e_counts > 0, self.edge_data.ctypes.data + self.edge_starts * 8, 0)
        self.records: CellRecords = records

    def __reduce__(self) -> tuple[Any, ...]:
        # The records hold this process's addresses: a pickle carries the arrays they are made
        # of, and loading it writes new records (the same checks apply to the loaded arrays).
        records = self.records
        state = {"vertex_data": self.vertex_data, "edge_data": self.edge_data,
                 "v_counts": self.v_counts, "e_counts": self.e_counts,
                 "origins": self.origins, "collections": self.collections,
                 "links": self.links, "link_starts": np.asarray(records["links_start"]),
                 "link_count": np.asarray(records["n_count"])}
        return (_unpickle_cell_set, (state,))

    @classmethod
    def _from_records(cls, other: CellSet) -> CellSet:
        clone = cls.__new__(cls)
        clone.__dict__.update(other.__dict__)
        clone.records = other.records.copy()
        return clone

    def copy(self) -> CellSet:
        """A new CellSet with its own records (links and all), sharing the read-only vertex and
        edge data."""
        return CellSet._from_records(self)

    def __len__(self) -> int:
        return len(self.records)

    def __repr__(self) -> str:
        return (f"<CellSet of {len(self)} cells, {len(self.vertex_data)} vertices, "
                f"{len(self.edge_data)} edges, {self.n_links} links>")

    @property
    def address(self) -> int:
        """The records' address: the ``cells_p`` argument of ``generate_neighbors``."""
        return int(self.records.ctypes.data)

    @property
    def origins(self) -> npt.NDArray[np.float32]:
        """The cells' origins, (n, 3) float32."""
        return np.asarray(self.records["origin"], np.float32)

    @property
    def collections(self) -> npt.NDArray[np.int32]:
        """The cells' collection numbers, (n,) int32."""
        return np.asarray(self.records["coll_index"], np.int32)

    def vertices(self, i: int) -> npt.NDArray[np.float32]:
        """Cell ``i``'s vertices, (v, 3) float32 (a view of ``vertex_data``)."""
        start = int(self.vertex_starts[i])
        return self.vertex_data[start:start + int(self.v_counts[i])]

    def edges(self, i: int) -> npt.NDArray[np.int32]:
        """Cell ``i``'s edges, (e, 2) int32 (a view of ``edge_data``)."""
        start = int(self.edge_starts[i])
        return self.edge_data[start:start + int(self.e_counts[i])]

    def bounds(self) -> tuple[npt.NDArray[np.float32], npt.NDArray[np.float32]]:
        """Each cell's vertex bounds: lower and upper, each (n, 3) float32 (0 without vertices)."""
        n = len(self.v_counts)
        lower = np.empty((n, 3), np.float32)
        upper = np.empty((n, 3), np.float32)
        _run_bounds(self.vertex_data, self.v_counts, lower, upper)   # as bounds(), in one pass
        return lower, upper

    def corners(self) -> npt.NDArray[np.float32]:
        """The eight corners of each cell's vertex bounding box, (n, 8, 3) float32.

        A new array each time: it is the broad phase's ``bbox``, which is widened in place.
        """
        return bounding_corners(self.vertex_data, self.v_counts)

    def attach_links(self, links: npt.ArrayLike, link_starts: npt.ArrayLike,
                     link_count: npt.ArrayLike) -> CellSet:
        """Points the records at the broad phase's link tables; returns this CellSet.

        ``links`` is (n, k) with cell ``i``'s neighbours in ``links[i, :link_count[i]]``,
        ``link_starts[i]`` the result slot of its first link. Each cell's run of slots must lie
        in ``0 .. n_links-1`` and not overlap another's, as the broad phase leaves them;
        ``n_links`` becomes the end of the last run. The table is kept (as int32 with
        contiguous rows, copied if need be) for as long as the records live.
        """
        n = len(self)
        table = _link_table(links, n)
        starts = _link_vector("link_starts", link_starts, n)
        counts = _link_vector("link_count", link_count, n)
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
        if n_links > _INT32_MAX:
            raise ValueError(f"CellSet.attach_links: {n_links} link slots do not fit in 32 bits")

        records = self.records
        records["links_start"] = np.where(counts > 0, starts, -1)
        records["n_count"] = counts
        row_address = table.ctypes.data + np.arange(n, dtype=np.int64) * table.strides[0]
        records["cell_links"] = np.where(counts > 0, row_address, 0)
        records.keepalive[:] = [self.vertex_data, self.edge_data, table]
        self.links = table
        self.n_links = n_links
        return self


def _count_cells(vertices: Sequence[Any], edges: Sequence[Any]) -> int:
    for name, value in (("vertices", vertices), ("edges", edges)):
        if isinstance(value, np.ndarray) and value.dtype != object and value.ndim == 2:
            raise ValueError(
                f"CellSet: {name} is one {value.shape} array, but it must be a sequence with "
                f"one array per cell; for a single cell pass [{name}]")
        if isinstance(value, (str, bytes)) or not hasattr(value, "__len__") \
                or not hasattr(value, "__getitem__"):
            raise TypeError(
                f"CellSet: {name} must be a sequence (list) with one array per cell, not "
                f"{type(value).__name__}")
    n, n_edges = len(vertices), len(edges)
    if n_edges != n:
        raise ValueError(
            f"CellSet: {n} vertex arrays but {n_edges} edge arrays; pass one of each per cell "
            "(an empty np.zeros((0, 2), np.int32) for a cell without edges)")
    if n > _INT32_MAX:
        raise ValueError(f"CellSet: {n} cells do not fit the native module's 32-bit count")
    return n


def _vertex_array(i: int, value: npt.ArrayLike) -> npt.NDArray[Any]:
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


def _edge_array(i: int, value: npt.ArrayLike) -> npt.NDArray[Any]:
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
    return array


def _gather(values: Sequence[Any], width: int, kinds: str,
            one_cell: Callable[[int, Any], npt.NDArray[Any]]
            ) -> tuple[npt.NDArray[Any], npt.NDArray[np.int64]]:
    """All cells' (k, width) arrays back to back, and each cell's row count.

    Arrays of the right kinds and shape are joined in one step (numpy arrays of one type
    natively, without numpy's fixed cost per array); anything else goes cell by cell through
    ``one_cell``, which converts what it can and names the cell at fault.
    """
    n = len(values)
    limit = _INT32_MAX // width
    joined = _join_arrays(values, width, np.empty) if n else None
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
            if data.ndim == 2 and data.shape[1] == width and counts.max() <= limit:
                return data, counts
    except (TypeError, ValueError):
        pass
    checked = [one_cell(i, value) for i, value in enumerate(values)]
    counts = np.fromiter(map(len, checked), np.int64, n)
    if not checked:
        return np.zeros((0, width), np.float64 if "f" in kinds else np.int64), counts
    dtype = np.float64 if "f" in kinds else np.int64
    return np.concatenate([a.astype(dtype, copy=False) for a in checked]), counts


def _first_cell(row_mask: npt.NDArray[np.bool_], counts: npt.NDArray[np.int64]) -> tuple[int, int]:
    """The cell of the first flagged row, and the row's number within that cell."""
    row = int(np.argmax(row_mask))
    ends = np.cumsum(counts)
    cell = int(np.searchsorted(ends, row, side="right"))
    return cell, row - int(ends[cell] - counts[cell])


def _check_vertex_values(as_float32: npt.NDArray[np.float32], data: npt.NDArray[Any],
                         counts: npt.NDArray[np.int64]) -> None:
    if np.isfinite(as_float32).all():
        return
    bad = ~np.isfinite(as_float32).all(axis=1)
    if bad.any():
        cell, row = _first_cell(bad, counts)
        point = tuple(float(x) for x in data[int(np.argmax(bad))])
        raise ValueError(
            f"CellSet: cell {cell}: vertex {row} is {point}; coordinates must be finite and "
            "within float32 range (|x| < 3.4e38). Remove or fix the vertex")


def _check_edge_numbers(data: npt.NDArray[Any], v_counts: npt.NDArray[np.int64],
                        e_counts: npt.NDArray[np.int64]) -> None:
    if len(data) == 0:
        return
    numbers = data.reshape(-1)
    filled = e_counts > 0
    starts = 2 * (np.cumsum(e_counts) - e_counts)[filled]
    if numbers.min() >= 0 and (np.maximum.reduceat(numbers, starts) < v_counts[filled]).all():
        return
    low, high = np.minimum(data[:, 0], data[:, 1]), np.maximum(data[:, 0], data[:, 1])
    bad = (low < 0) | (high >= np.repeat(v_counts, e_counts))
    if bad.any():
        cell, row = _first_cell(bad, e_counts)
        a, b = (int(x) for x in data[int(np.argmax(bad))])
        v = int(v_counts[cell])
        allowed = f"0..{v - 1}" if v else "none, since it has no vertices"
        raise ValueError(
            f"CellSet: cell {cell}: edge {row} is ({a}, {b}), but the cell has {v} vertices "
            f"(valid vertex numbers: {allowed}); edges must number vertices of their own cell, "
            "counting from 0")


def _collections(value: npt.ArrayLike, n: int) -> npt.NDArray[np.int32]:
    array = np.asarray(value)
    if array.dtype.kind not in "iub":
        raise TypeError(
            f"CellSet: collections must be integers (one for all cells or one per cell), not "
            f"{array.dtype}; for example np.zeros({n}, np.int32)")
    if array.ndim > 1 or (array.ndim == 1 and len(array) != n):
        raise ValueError(
            f"CellSet: collections must be one integer or {n} integers (one per cell), not "
            f"{array.dtype} of shape {array.shape}; for example np.zeros({n}, np.int32)")
    if array.size and (array.min() < -_INT32_MAX - 1 or array.max() > _INT32_MAX):
        raise ValueError("CellSet: collection numbers must fit in 32 bits (int32)")
    return np.broadcast_to(array, (n,)).astype(np.int32)


def _origins(value: npt.ArrayLike | None, vertices: npt.NDArray[np.float32],
             counts: npt.NDArray[np.int64]) -> npt.NDArray[np.float32]:
    n = len(counts)
    if value is None:
        empty = np.flatnonzero(counts == 0)
        if empty.size:
            raise ValueError(
                f"CellSet: cell {int(empty[0])} has no vertices, so it has no default origin "
                "(the mean of its vertices); pass origins=... with one point per cell")
        if n == 0:
            return np.zeros((0, 3), np.float32)
        starts = np.cumsum(counts) - counts
        sums = np.add.reduceat(vertices.astype(np.float64), starts, axis=0)
        means: npt.NDArray[np.float32] = (sums / counts[:, None]).astype(np.float32)
        return means
    array = np.asarray(value)
    if array.dtype.kind not in "iuf":
        raise TypeError(f"CellSet: origins must be real numbers, one (x, y, z) per cell, not "
                        f"{array.dtype}")
    if array.shape != (n, 3):
        raise ValueError(
            f"CellSet: origins have dtype {array.dtype} and shape {array.shape}, but they must "
            f"be real numbers of shape ({n}, 3), one point per cell")
    with np.errstate(over="ignore"):
        origins = array.astype(np.float32)
    if np.isfinite(origins).all():
        return origins
    bad = ~np.isfinite(origins).all(axis=1)
    if bad.any():
        i = int(np.argmax(bad))
        raise ValueError(f"CellSet: cell {i}: its origin {tuple(array[i].tolist())} is not "
                         "finite in float32; pass a finite point")
    return origins


def _link_table(value: npt.ArrayLike, n: int) -> npt.NDArray[np.int32]:
    array = np.asarray(value)
    if array.dtype.kind not in "iu":
        raise TypeError(f"CellSet.attach_links: links must be integers, not {array.dtype}")
    if array.ndim != 2 or len(array) != n:
        raise ValueError(
            f"CellSet.attach_links: links must be an integer array of shape ({n}, "
            f"{MAX_CELL_LINKS}), one row per cell, not {array.dtype} of shape {array.shape}")
    if array.dtype == np.int32 and array.strides[1] == 4:
        return array
    if array.size and (array.min() < -_INT32_MAX - 1 or array.max() > _INT32_MAX):
        raise ValueError("CellSet.attach_links: links hold numbers outside int32")
    return np.ascontiguousarray(array, np.int32)


def _link_vector(name: str, value: npt.ArrayLike, n: int) -> npt.NDArray[np.int64]:
    array = np.asarray(value)
    if array.dtype.kind not in "iu":
        raise TypeError(f"CellSet.attach_links: {name} must be integers, not {array.dtype}")
    if array.shape != (n,):
        raise ValueError(
            f"CellSet.attach_links: {name} must be an integer array of shape ({n},), one entry "
            f"per cell, not {array.dtype} of shape {array.shape}")
    return array.astype(np.int64)


def _unpickle_cell_set(state: dict[str, Any]) -> CellSet:
    v_counts = np.asarray(state["v_counts"], np.int64)
    e_counts = np.asarray(state["e_counts"], np.int64)
    vertex_data = np.array(state["vertex_data"], np.float32, order="C")
    edge_data = np.array(state["edge_data"], np.int32, order="C")
    if vertex_data.shape != (int(v_counts.sum()), 3) or edge_data.shape != (int(e_counts.sum()), 2):
        raise ValueError("CellSet: the pickled arrays do not match their cell counts")
    _check_vertex_values(vertex_data, vertex_data, v_counts)
    _check_edge_numbers(edge_data, v_counts, e_counts)
    n = len(v_counts)
    cells = CellSet.__new__(CellSet)
    cells._build(vertex_data, edge_data, v_counts, e_counts,
                 _origins(state["origins"], vertex_data, v_counts),
                 _collections(state["collections"], n))
    if state["links"] is not None:
        cells.attach_links(state["links"], state["link_starts"], state["link_count"])
    return cells
