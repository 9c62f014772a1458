"""Every common number type: float32 or float64 vertices and origins, int32, int64, uint32 or
uint64 edges, offsets and collections give the same CellSet, bit for bit, as float32 vertices
with int64 offsets, through both entry points; they go the native way (no number is converted
by numpy first); an index that does not fit is an error naming the argument and quoting the
number as given; other byte orders and layouts still give the same cells.
"""
import numpy as np
import pytest

import cellprox
from cellprox._cells import checks, numbers

from test_cell_rows import assert_same_cells

VERTEX_TYPES = (np.float32, np.float64)
INDEX_TYPES = (np.int32, np.int64, np.uint32, np.uint64)
N_CELLS = 70_000      # more than one piece of the offsets' native pass


def scene(n, seed=2, empty_cells=True):
    """Cells of 0 (or 1) to 6 vertices and up to 7 edges (none where a cell has no vertices),
    their vertices in float64 (most of which float32 rounds), with origins and collections."""
    rng = np.random.default_rng(seed)
    v_counts = rng.integers(0 if empty_cells else 1, 7, n)
    e_counts = np.where(v_counts > 0, rng.integers(0, 8, n), 0)
    edges = (rng.random((int(e_counts.sum()), 2)) * np.repeat(v_counts, e_counts)[:, None]).astype(np.int64)
    return {"vertices": rng.normal(0.0, 50.0, (int(v_counts.sum()), 3)),
            "vertex_offsets": np.concatenate([[0], np.cumsum(v_counts)]),
            "edges": edges, "edge_offsets": np.concatenate([[0], np.cumsum(e_counts)]),
            "origins": rng.normal(0.0, 50.0, (n, 3)), "collections": rng.integers(0, 2**31 - 1, n)}


def typed(arrays, vertex_type, index_type, without=()):
    """The scene's arrays in the given types: origins in the vertex type, edges, offsets and
    collections in the index type; the arguments named in ``without`` left out."""
    return {name: value.astype(vertex_type if name in ("vertices", "origins") else index_type)
            for name, value in arrays.items() if name not in without}


def reference(arrays, without=()):
    """The arrays as float32 vertices and origins with int64 indices: the form all others must
    give bit for bit."""
    return typed(arrays, np.float32, np.int64, without)


def per_cell(arrays):
    """The packed arrays as one vertex and one edge array per cell (views)."""
    v, e = arrays["vertex_offsets"].astype(np.int64), arrays["edge_offsets"].astype(np.int64)
    return ([arrays["vertices"][a:b] for a, b in zip(v, v[1:])],
            [arrays["edges"][a:b] for a, b in zip(e, e[1:])])


@pytest.fixture
def declined(monkeypatch):
    """The names of the native passes that left their array to numpy during the test."""
    names = []

    def recorded(module, name, taken):
        native = getattr(module, name)

        def call(*args):
            result = native(*args)
            if not taken(result):
                names.append(name)
            return result
        monkeypatch.setattr(module, name, call)

    recorded(numbers, "_offset_counts", lambda result: result is not None)
    recorded(checks, "_float32_rows", lambda result: result is not None)
    recorded(checks, "_int32_column", lambda result: result is not None)
    # Joined per-cell arrays come back converted: float32 vertices, int32 edges.
    recorded(checks, "_join_arrays", lambda result: result is not None and result[0].dtype.itemsize == 4)
    return names


@pytest.mark.parametrize("vertex_type", VERTEX_TYPES)
@pytest.mark.parametrize("index_type", INDEX_TYPES)
def test_every_type_gives_the_same_cells_the_native_way(declined, vertex_type, index_type):
    arrays = scene(N_CELLS)
    expected = cellprox.CellSet.from_packed(**reference(arrays), workers=2)
    for workers in (1, 2):
        assert_same_cells(cellprox.CellSet.from_packed(**typed(arrays, vertex_type, index_type),
                                                       workers=workers), expected)
    small = scene(3000, seed=4)
    vertices, edges = per_cell(typed(small, vertex_type, index_type))
    given = typed(small, vertex_type, index_type, without=("vertices", "edges"))
    assert_same_cells(cellprox.CellSet(vertices, edges, origins=given["origins"],
                                       collections=given["collections"]),
                      cellprox.CellSet.from_packed(**reference(small)))
    assert declined == []


@pytest.mark.parametrize("vertex_type", VERTEX_TYPES)
@pytest.mark.parametrize("index_type", INDEX_TYPES)
def test_default_origins_one_collection_and_cells_without_edges(declined, vertex_type, index_type):
    arrays = scene(N_CELLS, empty_cells=False)
    given = typed(arrays, vertex_type, index_type, without=("origins",))
    assert_same_cells(cellprox.CellSet.from_packed(**given, workers=2),
                      cellprox.CellSet.from_packed(**reference(arrays, without=("origins",))))
    one = index_type(7)
    edgeless = cellprox.CellSet.from_packed(given["vertices"], given["vertex_offsets"], collections=one)
    assert_same_cells(edgeless, cellprox.CellSet.from_packed(
        arrays["vertices"].astype(np.float32), arrays["vertex_offsets"], collections=7))
    vertices, _ = per_cell(typed(scene(3000, seed=4, empty_cells=False), vertex_type, index_type))
    assert_same_cells(cellprox.CellSet._without_edges(vertices, collections=one),
                      cellprox.CellSet._without_edges([v.astype(np.float32) for v in vertices], collections=7))
    assert declined == []


CUBE = np.array([[c & 1, c >> 1 & 1, c >> 2 & 1] for c in range(8)], np.float64)
CUBE_EDGES = np.array([[c, c | 1 << a] for c in range(8) for a in range(3) if not c >> a & 1])
# Per index type, numbers that do not fit where an int32 must hold them: beyond int32 (cut to 32
# bits, 2**32 + 1 would pass as 1), beyond int64 as uint64, and negative ones.
MISFITS = {np.int32: [-1], np.int64: [2**32 + 1, -1], np.uint32: [2**31 + 1], np.uint64: [2**63 + 1]}


@pytest.mark.parametrize("index_type", INDEX_TYPES)
def test_indices_that_do_not_fit_are_named_as_given(index_type):
    vertices = np.vstack([CUBE, CUBE + 2])
    for bad in MISFITS[index_type]:
        edges = [CUBE_EDGES.astype(index_type), np.vstack([CUBE_EDGES.astype(index_type), np.array([[0, bad]], index_type)])]
        for build in (lambda: cellprox.CellSet([CUBE, CUBE + 2], edges),
                      lambda: cellprox.CellSet.from_packed(vertices, [0, 8, 16], np.vstack(edges),
                                                           np.array([0, 12, 25], index_type))):
            with pytest.raises(ValueError, match=rf"cell 1: edge 12 is \(0, {bad}\), but the cell has 8"):
                build()
        for name, offsets in (("vertex_offsets", [0, bad, 16]), ("edge_offsets", [0, bad, 24])):
            packed = dict(vertices=vertices, vertex_offsets=np.array([0, 8, 16], index_type),
                          edges=np.vstack([CUBE_EDGES] * 2).astype(index_type),
                          edge_offsets=np.array([0, 12, 24], index_type))
            packed[name] = np.array(offsets, index_type)
            with pytest.raises(ValueError, match=rf"^CellSet\.from_packed: cell 0: {name}.* {bad}\b"):
                cellprox.CellSet.from_packed(**packed)
        collections = np.array([0, bad], index_type)
        if bad < 0:     # a negative collection number fits
            assert cellprox.CellSet([CUBE] * 2, [CUBE_EDGES] * 2, collections=collections).collections.tolist() == [0, -1]
            continue
        with pytest.raises(ValueError, match=rf"^CellSet: cell 1: its collection is {bad}, but"):
            cellprox.CellSet([CUBE] * 2, [CUBE_EDGES] * 2, collections=collections)


def test_numbers_that_float32_loses_are_quoted_as_given():
    far = np.vstack([CUBE[:7], [1e39, 0.0, 0.5]])
    for build in (lambda: cellprox.CellSet([CUBE, far], [CUBE_EDGES] * 2),
                  lambda: cellprox.CellSet.from_packed(np.vstack([CUBE, far]), np.array([0, 8, 16], np.uint32))):
        with pytest.raises(ValueError, match=r"cell 1: vertex 7 is \(1e\+39, 0\.0, 0\.5\); coordinates must "
                                             "be finite"):
            build()
    origins = np.array([[0.0, 0.0, 0.0], [0.0, -1e39, 0.0]])
    with pytest.raises(ValueError, match=r"cell 1: its origin \(0\.0, -1e\+39, 0\.0\) is not finite in float32"):
        cellprox.CellSet([CUBE] * 2, [CUBE_EDGES] * 2, origins=origins)


def strided(array):
    """The same numbers every other row of an array twice as long."""
    return np.repeat(array, 2, axis=0)[::2]


@pytest.mark.parametrize("index_type", INDEX_TYPES)
def test_other_byte_orders_and_layouts_give_the_same_cells(declined, index_type):
    arrays = scene(3000, seed=6)
    expected = cellprox.CellSet.from_packed(**reference(arrays))
    given = typed(arrays, np.float64, index_type)
    layouts = {"strided": {name: strided(value) for name, value in given.items()},
               "fortran": {name: np.asfortranarray(value) for name, value in given.items()}}
    assert_same_cells(cellprox.CellSet.from_packed(**layouts["strided"]), expected)
    assert_same_cells(cellprox.CellSet.from_packed(**layouts["fortran"]), expected)
    assert declined == []      # strides are read natively
    swapped = {name: value.astype(value.dtype.newbyteorder(">")) for name, value in given.items()}
    assert_same_cells(cellprox.CellSet.from_packed(**swapped), expected)
    vertices, edges = per_cell(swapped)
    assert_same_cells(cellprox.CellSet([np.asfortranarray(v) for v in vertices], edges, origins=swapped["origins"],
                                       collections=strided(swapped["collections"])), expected)
