"""Cells: checked, owned arrays and the 64-byte cell records the native code reads.

The raw ``generate_neighbors`` reads cells through a raw address and trusts everything it finds
there: the counts, the vertex numbers of the edges, the link slots, and that every array a
record points to is alive. :class:`CellSet` is the one place that checks all of that, once, and
owns the memory the records point to; :func:`cellprox.find_neighbors` searches it.
"""
from __future__ import annotations

from collections.abc import Callable, Sequence
from functools import partial
from typing import Any

import numpy as np
import numpy.typing as npt

from cellprox._cells import checks, numbers
from cellprox._cells.rows import Rows, checked_rows
from cellprox._messages import counted
from cellprox._workers import resolve_workers
from cellprox._gather import run_bounds as _run_bounds
from cellprox._cells.bounds import bounding_corners, bounds, corners_of, edgeless_cells
from cellprox._cells.numbers import MAX_CELL_LINKS
from cellprox._cells.records import CELL_DTYPE, CellRecords, attach_link_tables, write_records

__all__ = ["CELL_DTYPE", "MAX_CELL_LINKS", "CellRecords", "CellSet", "bounding_corners", "bounds",
           "corners_of", "edgeless_cells"]

class CellSet:
    """Cells as native cell records, with every array they point to owned and kept alive.

    ``CellSet(vertices, edges, origins=None, collections=0, workers=None)`` takes, for each cell ``i``,
    ``vertices[i]`` ((v, 3) real numbers), ``edges[i]`` ((e, 2) integer vertex numbers in
    ``0 .. v-1``), optionally its origin (``origins[i]``, three numbers; the default is the mean
    of the cell's vertices) and its collection number (one int for all cells, or one per cell).
    :meth:`from_packed` takes the same cells packed into one vertex array with offsets.

    ``workers`` is how many threads converting and checking the arrays may use: None (the
    default) every core this process may use (or ``CELLPROX_WORKERS`` from the environment), a
    count of 1 to 1,024, or -1 for every core. The cells are the same, bit for bit, for any count.

    Number types: vertices and origins float32 or float64, edges and collections int32, int64,
    uint32 or uint64, in any strides and any mix, are read once and converted as they are
    checked, in native passes; every combination gives the same set, bit for bit. Other types
    (integer vertices, int16 edges, big-endian arrays) go through numpy, more slowly, to the
    same set.

    Everything is checked once, here; a value of the wrong type (a string, None, floats for
    edges or collections) is a TypeError, a wrong shape or value a ValueError, naming the first
    cell at fault, the problem and how to fix it. Numbers are checked as given, before they are
    converted to 32 bits, and quoted so. The arrays are converted to float32 and int32
    and copied into two contiguous arrays that this object owns (``vertex_data`` and
    ``edge_data``), so the caller may change or drop its own arrays at once. Both are read-only:
    the edge numbers were checked against the vertex counts, and the native code trusts them.
    (Setting their ``writeable`` flag back is possible, and voids that check.)

    Lifetime: ``records`` (a :class:`CellRecords`) holds references to ``vertex_data``,
    ``edge_data`` and, once attached, the link table; the records, a view of them and
    ``records.copy()`` keep those arrays alive as long as they are reachable, but a plain
    ndarray made from them (``np.copy(records)``) does not. ``address`` is the address to pass
    to the raw ``generate_neighbors``; it is only valid while this object (or ``records``) is
    alive.

    Copies and pickles: ``cells.copy()`` and ``copy.copy(cells)`` give a set with its own records
    and its own copy of the link table, sharing the read-only vertex and edge data;
    ``copy.deepcopy`` copies those too. A CellSet pickles its arrays, not its addresses: loading
    one checks them as the constructor does and writes new records pointing at its own copies,
    links included; whatever is wrong with a pickle (a missing or unknown key, a wrong type, a
    number out of range or not whole) is a ValueError. The records alone refuse to be pickled.

    Links, for the raw kernels: :meth:`attach_links` fills ``links_start``, ``n_count`` and
    ``cell_links`` from the raw broad phase's tables; until then every cell has no links.
    """

    def __init__(self, vertices: Sequence[npt.ArrayLike], edges: Sequence[npt.ArrayLike], *,
                 origins: npt.ArrayLike | None = None,
                 collections: npt.ArrayLike = 0, workers: int | None = None) -> None:
        threads = resolve_workers(workers, "CellSet")
        checks.count_cells(vertices, edges)
        vertex_data, v_counts = checks.gather(vertices, 3, "iuf", checks.vertex_array, "f")
        edge_data, e_counts = checks.gather(edges, 2, "iu", partial(checks.edge_array, v_counts=v_counts), "i")
        self._check_and_build(vertex_data, v_counts, edge_data, e_counts, origins, collections,
                              owned=True, workers=threads)

    @classmethod
    def _without_edges(cls, vertices: Sequence[npt.ArrayLike], *, origins: npt.ArrayLike | None = None,
                       collections: npt.ArrayLike = 0, workers: int | None = None) -> CellSet:
        """What ``CellSet(vertices, edgeless_cells(len(vertices)), ...)`` gives, without joining
        an empty edge array per cell (the hull rule's cells come without edges)."""
        threads = resolve_workers(workers, "CellSet")
        n = checks.count_cells(vertices, None)
        vertex_data, v_counts = checks.gather(vertices, 3, "iuf", checks.vertex_array, "f")
        cells = cls.__new__(cls)
        cells._check_and_build(vertex_data, v_counts, np.zeros((0, 2), np.int32), np.zeros(n, np.int64),
                               origins, collections, owned=True, workers=threads)
        return cells

    def _check_and_build(self, vertex_data: npt.NDArray[Any], v_counts: npt.NDArray[np.int64],
                         edge_data: npt.NDArray[Any], e_counts: npt.NDArray[np.int64],
                         origins: npt.ArrayLike | None, collections: npt.ArrayLike,
                         who: str = "CellSet", owned: bool = False, workers: int = 1) -> None:
        """Checks the joined arrays as every way of making a set does (``rows.checked_rows``: the
        arrays copied unless ``owned``) and builds this set of them on ``workers`` threads."""
        rows = checked_rows(vertex_data, v_counts, edge_data, e_counts, origins, who, owned, workers)
        self._build(rows, v_counts, e_counts,
                    checks.collections_of(collections, len(v_counts), who, workers), workers)

    @classmethod
    def from_packed(cls, vertices: npt.ArrayLike, vertex_offsets: npt.ArrayLike,
                    edges: npt.ArrayLike | None = None, edge_offsets: npt.ArrayLike | None = None,
                    *, origins: npt.ArrayLike | None = None,
                    collections: npt.ArrayLike = 0, workers: int | None = None) -> CellSet:
        """Cells packed as meshing and simulation tools store polyhedra: ``vertices`` (V, 3)
        real numbers, cell ``i`` owning rows ``vertex_offsets[i]`` to ``vertex_offsets[i + 1] -
        1`` (n + 1 integers from 0, as in compressed sparse rows); ``edges`` (E, 2) integers
        numbered within their cell, split by ``edge_offsets`` likewise (both left out: cells
        without edges). ``origins`` and ``collections`` as for the constructor. Checked as the
        constructor checks, with messages that name the cell; gives the same cells as the
        per-cell form, without a Python object per cell. ``workers`` as for the constructor.

        Number types as for the constructor: ``vertices`` (and ``origins``) float32 or float64;
        ``edges``, both offset arrays and ``collections`` int32, int64, uint32 or uint64, each
        its own, in any strides. Offsets are compared as given: one beyond the rows (also one
        that cut to 32 bits would fit), a negative one or a uint64 above 2**63 is a ValueError
        naming the argument."""
        who = "CellSet.from_packed"
        threads = resolve_workers(workers, who)
        points = _packed_array(vertices, "vertices", 3, "iuf", who)
        v_counts = numbers.packed_counts("vertex_offsets", vertex_offsets, len(points), None,
                                         numbers.INT32_MAX // 3, who, "rows of vertices", threads)
        n = len(v_counts)
        if (edges is None) != (edge_offsets is None):
            raise TypeError(f"{who}: pass edges and edge_offsets together, or neither (cells "
                            "without edges)")
        if edges is None:
            edge_data = np.zeros((0, 2), np.int32)
            e_counts = np.zeros(n, np.int64)
        else:
            assert edge_offsets is not None
            edge_data = _packed_array(edges, "edges", 2, "iu", who)
            e_counts = numbers.packed_counts("edge_offsets", edge_offsets, len(edge_data), n,
                                             numbers.INT32_MAX // 2, who, "rows of edges", threads)
        cells = cls.__new__(cls)
        cells._check_and_build(points, v_counts, edge_data, e_counts, origins, collections, who,
                               workers=threads)
        return cells

    def _moved(self, vertices: npt.ArrayLike, origins: npt.ArrayLike | None, who: str,
               workers: int) -> CellSet:
        """The same cells at new vertices ((V, 3) rows as ``vertex_data``'s), checked as
        ``from_packed`` checks them: a new set sharing this one's edges, counts and collections.
        Without ``origins``, each origin is the mean of the cell's new vertices."""
        points = _packed_array(vertices, "vertices", 3, "iuf", who)
        if len(points) != len(self.vertex_data):
            raise ValueError(f"{who}: vertices have {len(points):,} rows, but the cells have "
                             f"{len(self.vertex_data):,} vertices; a frame moves the same cells, "
                             "row for row")
        n = len(self)
        rows = checked_rows(points, self.v_counts, np.zeros((0, 2), np.int32), np.zeros(n, np.int64),
                            origins, who, False, workers)
        moved = CellSet.__new__(CellSet)
        moved._build(Rows(rows.vertex_data, self.edge_data, rows.vertex_starts, self.edge_starts,
                          rows.origins), self.v_counts, self.e_counts, self._kept[1], workers)
        moved._offsets = self._offsets
        return moved

    def _build(self, rows: Rows, v_counts: npt.NDArray[np.int64], e_counts: npt.NDArray[np.int64],
               collections: npt.NDArray[np.int32], workers: int) -> None:
        """Takes checked arrays that this set alone holds and writes the records into them."""
        rows.vertex_data.flags.writeable = False    # the checks hold only while they are kept
        rows.edge_data.flags.writeable = False
        self.vertex_data: npt.NDArray[np.float32] = rows.vertex_data
        self.edge_data: npt.NDArray[np.int32] = rows.edge_data
        self.v_counts = v_counts
        self.e_counts = e_counts
        self.vertex_starts: npt.NDArray[np.int64] = rows.vertex_starts
        self.edge_starts: npt.NDArray[np.int64] = rows.edge_starts
        self.links: npt.NDArray[np.int32] | None = None
        self.n_links = 0
        self.records: CellRecords = write_records(self, rows.origins, collections, workers)
        # What every search takes, kept (the offsets made by the first search): a search makes
        # no copy of its own.
        self._kept = (_kept(rows.origins, np.float32), _kept(collections, np.int32))
        self._offsets: tuple[npt.NDArray[np.int64], npt.NDArray[np.int64]] | None = None

    def __reduce__(self) -> tuple[Any, ...]:
        # The records hold this process's addresses: a pickle carries the arrays they are made
        # of, and loading it checks them and writes new records.
        records = self.records
        state = {"vertex_data": self.vertex_data, "edge_data": self.edge_data,
                 "v_counts": self.v_counts, "e_counts": self.e_counts,
                 "origins": self.origins, "collections": self.collections,
                 "links": self.links, "link_starts": np.asarray(records["links_start"]),
                 "link_count": np.asarray(records["n_count"])}
        return (_unpickle_cell_set, (state,))

    def copy(self) -> CellSet:
        """A new CellSet with its own records and link table, sharing the read-only vertex and
        edge data."""
        clone = CellSet.__new__(CellSet)
        clone.__dict__.update(self.__dict__)
        clone.records = self.records.copy()
        if self.links is not None:
            clone.attach_links(self.links.copy(), self.records["links_start"],
                               self.records["n_count"])
        return clone

    __copy__ = copy

    def __deepcopy__(self, memo: dict[int, Any]) -> CellSet:
        # Loading copies every array it is given.
        clone = _unpickle_cell_set(self.__reduce__()[1][0])
        memo[id(self)] = clone
        return clone

    def __len__(self) -> int:
        return len(self.records)

    def __repr__(self) -> str:
        vertices = counted(len(self.vertex_data), "vertex", "vertices")
        return (f"<CellSet of {counted(len(self), 'cell')}, {vertices}, "
                f"{counted(len(self.edge_data), 'edge')}, {counted(self.n_links, 'link')}>")

    @property
    def address(self) -> int:
        """The records' address: the ``cells_p`` argument of ``generate_neighbors``."""
        return int(self.records.ctypes.data)

    @property
    def origins(self) -> npt.NDArray[np.float32]:
        """The cells' origins, (n, 3) float32."""
        return np.ascontiguousarray(self.records["origin"], np.float32)

    @property
    def collections(self) -> npt.NDArray[np.int32]:
        """The cells' collection numbers, (n,) int32."""
        return np.ascontiguousarray(self.records["coll_index"], np.int32)

    def vertices(self, i: int) -> npt.NDArray[np.float32]:
        """Cell ``i``'s vertices, (v, 3) float32 (a view of ``vertex_data``)."""
        start = int(self.vertex_starts[i])
        return self.vertex_data[start:start + int(self.v_counts[i])]

    def edges(self, i: int) -> npt.NDArray[np.int32]:
        """Cell ``i``'s edges, (e, 2) int32 (a view of ``edge_data``)."""
        start = int(self.edge_starts[i])
        return self.edge_data[start:start + int(self.e_counts[i])]

    def search_arrays(self) -> tuple[npt.NDArray[np.float32], npt.NDArray[np.int64],
                                     npt.NDArray[np.int32], npt.NDArray[np.int64],
                                     npt.NDArray[np.float32], npt.NDArray[np.int32]]:
        """The arrays the package's native search takes: vertex_data, vertex offsets (n + 1),
        edge_data, edge offsets (n + 1), origins (n, 3) and collections (n,)."""
        if self._offsets is None:
            self._offsets = (_offsets(self.v_counts), _offsets(self.e_counts))
        return (self.vertex_data, self._offsets[0], self.edge_data, self._offsets[1], *self._kept)

    def bounds(self) -> tuple[npt.NDArray[np.float32], npt.NDArray[np.float32]]:
        """Each cell's vertex bounds: lower and upper, each (n, 3) float32 (0 without vertices)."""
        n = len(self.v_counts)
        lower = np.empty((n, 3), np.float32)
        upper = np.empty((n, 3), np.float32)
        _run_bounds(self.vertex_data, self.v_counts, lower, upper)   # as bounds(), in one pass
        return lower, upper

    def corners(self) -> npt.NDArray[np.float32]:
        """The eight corners of each cell's vertex bounding box, (n, 8, 3) float32.

        A new array each time: it is the raw broad phase's ``bbox``, which is widened in place.
        """
        return bounding_corners(self.vertex_data, self.v_counts)

    def attach_links(self, links: npt.ArrayLike, link_starts: npt.ArrayLike,
                     link_count: npt.ArrayLike) -> CellSet:
        """Points the records at the raw broad phase's link tables; returns this CellSet.

        ``links`` is (n, k) with cell ``i``'s neighbours in ``links[i, :link_count[i]]``,
        ``link_starts[i]`` the result slot of its first link. Each cell's run of slots must lie
        in ``0 .. n_links-1`` and not overlap another's, as the broad phase leaves them;
        ``n_links`` becomes the end of the last run. The table is kept (as int32 with
        contiguous rows, copied if need be) for as long as the records live.
        """
        self.links, self.n_links = attach_link_tables(self, links, link_starts, link_count)
        return self

    # Cells from the mesh libraries (the "mesh" extra), built in cellprox._meshes.

    @classmethod
    def from_pyvista(cls, dataset: Any, collections: str | npt.ArrayLike | None = None, *,
                     workers: int | None = None) -> CellSet:
        """Each cell of a pyvista dataset a cell: its points, and its type's own edges (a
        polyhedron's from its faces, each once; a convex point set has none). A MultiBlock's
        block k is collection k; ``collections="name"`` takes a named integer cell array.
        Points and lines are refused, as are quadratic cells. See docs/meshes.md."""
        from cellprox._meshes.pyvista_cells import packed_pyvista

        return cls._from_mesh(partial(packed_pyvista, dataset, collections), "CellSet.from_pyvista",
                              workers)

    @classmethod
    def from_trimesh(cls, meshes: Any, collections: npt.ArrayLike = 0, *,
                     workers: int | None = None) -> CellSet:
        """A ``trimesh.Trimesh`` as one cell (its vertices and unique edges), a list of meshes
        one cell each, or a ``trimesh.Scene``, each geometry node a cell in world coordinates
        (its transform applied), in the order of ``scene.graph.nodes_geometry``."""
        from cellprox._meshes.trimesh_cells import packed_trimesh

        return cls._from_mesh(lambda _: packed_trimesh(meshes, collections), "CellSet.from_trimesh",
                              workers)

    @classmethod
    def from_meshio(cls, mesh: Any, collections: str | npt.ArrayLike | None = None, *,
                    workers: int | None = None) -> CellSet:
        """Each cell of each cell block of a ``meshio.Mesh`` a cell, block after block, with its
        type's own edges; ``collections="name"`` takes a named integer cell data entry (such as
        "gmsh:physical"). Vertex and line blocks are refused: leave them out first."""
        from cellprox._meshes.meshio_cells import packed_meshio

        return cls._from_mesh(partial(packed_meshio, mesh, collections), "CellSet.from_meshio",
                              workers)

    @classmethod
    def _from_mesh(cls, pack: Callable[[int], Any], who: str, workers: int | None) -> CellSet:
        threads = resolve_workers(workers, who)
        packed = pack(threads)
        # The packed arrays are new and no one else holds them: the set keeps them, uncopied.
        cells = cls.__new__(cls)
        cells._check_and_build(packed.vertices, packed.vertex_counts(), packed.edges,
                               packed.edge_counts(), None, packed.collections, who, owned=True,
                               workers=threads)
        return cells


def _offsets(counts: npt.NDArray[np.int64]) -> npt.NDArray[np.int64]:
    offsets = np.zeros(len(counts) + 1, np.int64)
    np.cumsum(counts, out=offsets[1:])
    offsets.flags.writeable = False
    return offsets


def _kept(values: npt.NDArray[Any], dtype: type) -> npt.NDArray[Any]:
    """``values``, which this set alone holds, as a C-contiguous array of ``dtype`` that no one
    may write."""
    kept: npt.NDArray[Any] = np.ascontiguousarray(values, dtype)
    kept.flags.writeable = False
    return kept


def _packed_array(value: npt.ArrayLike, name: str, width: int, kinds: str, who: str) -> npt.NDArray[Any]:
    array = np.asarray(value)
    if array.dtype.kind not in kinds:
        wanted = "real numbers" if "f" in kinds else "integer vertex numbers"
        raise TypeError(f"{who}: {name} have dtype {array.dtype}, but they must be {wanted}")
    if array.ndim != 2 or array.shape[1] != width:
        raise ValueError(f"{who}: {name} have shape {array.shape}, but they must be (rows, {width})")
    return array


_PICKLED_KEYS = ("vertex_data", "edge_data", "v_counts", "e_counts", "origins", "collections",
                 "links", "link_starts", "link_count")


def _unpickle_cell_set(state: dict[str, Any]) -> CellSet:
    """A pickled CellSet, checked as the constructor checks; every array its own copy. Whatever
    is wrong with it is a ValueError, a wrong type included: the caller did not choose it."""
    who = "CellSet (loading a pickle)"
    checks.check_state_keys(state, _PICKLED_KEYS, who)
    try:
        return _load_cell_set(state, who)
    except TypeError as error:
        raise ValueError(f"{who}: {error}") from None


def _load_cell_set(state: dict[str, Any], who: str) -> CellSet:
    v_counts = numbers.checked_counts("v_counts", state["v_counts"], numbers.INT32_MAX // 3, who)
    e_counts = numbers.checked_counts("e_counts", state["e_counts"], numbers.INT32_MAX // 2, who)
    n = len(v_counts)
    if len(e_counts) != n:
        raise ValueError(f"{who}: {n} vertex counts but {len(e_counts)} edge counts")
    vertex_data = np.array(state["vertex_data"], order="C")
    edge_data = np.array(state["edge_data"], order="C")
    if vertex_data.dtype.kind not in "iuf" or edge_data.dtype.kind not in "iuf":
        raise ValueError(f"{who}: vertex_data and edge_data must be numbers, not "
                         f"{vertex_data.dtype} and {edge_data.dtype}")
    if vertex_data.shape != (int(v_counts.sum()), 3) or edge_data.shape != (int(e_counts.sum()), 2):
        raise ValueError(f"{who}: the arrays do not match their cell counts: vertices "
                         f"{vertex_data.shape} for {int(v_counts.sum())} rows, edges "
                         f"{edge_data.shape} for {int(e_counts.sum())} rows")
    cells = CellSet.__new__(CellSet)
    cells._check_and_build(vertex_data, v_counts, edge_data, e_counts, state["origins"],
                           state["collections"], who, owned=True,
                           workers=resolve_workers(None, who))
    if state["links"] is not None:
        cells.attach_links(np.array(state["links"], order="C"), np.array(state["link_starts"]),
                           np.array(state["link_count"]))
    return cells
