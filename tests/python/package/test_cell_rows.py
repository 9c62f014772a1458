"""Building a CellSet on the thread team: the native checked pass against numpy's path.

numpy's path (``_cells.rows`` without the native pass) is what the package always did; the
native pass must give the same cells bit for bit, for any number of workers, and leave every
message to numpy's checks.
"""
import numpy as np
import pytest

import cellprox
from cellprox._cells import rows

N_CELLS = 30_000     # with up to 12 vertices and 18 edges: several pieces of the native pass
WORKER_COUNTS = (1, 2, 3, 8)


def packed_scene(n=N_CELLS, seed=5, empty_cells=False):
    """Cells of uneven sizes, packed: vertices, their offsets, edges, theirs."""
    rng = np.random.default_rng(seed)
    v_counts = rng.integers(0 if empty_cells else 1, 13, n)
    e_counts = np.where(v_counts > 0, rng.integers(0, 19, n), 0)
    vertices = rng.normal(0.0, 100.0, (int(v_counts.sum()), 3))
    edges = (rng.random((int(e_counts.sum()), 2)) * np.repeat(v_counts, e_counts)[:, None]).astype(np.int64)
    offsets = [np.concatenate([[0], np.cumsum(c)]) for c in (v_counts, e_counts)]
    return vertices, offsets[0], edges, offsets[1]


def numpy_path(monkeypatch):
    """The build as numpy alone makes it: the native pass declines every array."""
    monkeypatch.setattr(rows, "_build_rows", lambda *args: None)


def native_faults(monkeypatch):
    """A list that gets what the native pass found (its fault bits, None where it declined)."""
    found, build = [], rows._build_rows

    def recorded(*args):
        result = build(*args)
        found.append(None if result is None else result[5])
        return result

    monkeypatch.setattr(rows, "_build_rows", recorded)
    return found


def contents(cells):
    """Everything a CellSet holds, its records' addresses taken relative to the arrays they
    point into (each process and build has its own addresses)."""
    records = np.asarray(cells.records)
    plain = {name: records[name] for name in ("index", "coll_index", "links_start", "v_count",
                                              "e_count", "n_count", "origin")}
    for name, data, counts in (("vertices", cells.vertex_data, cells.v_counts),
                               ("edges", cells.edge_data, cells.e_counts)):
        offsets = records[name].astype(np.int64) - data.ctypes.data
        plain[name] = np.where(counts > 0, offsets, -1)
    return {"vertex_data": cells.vertex_data, "edge_data": cells.edge_data,
            "v_counts": cells.v_counts, "e_counts": cells.e_counts,
            "vertex_starts": cells.vertex_starts, "edge_starts": cells.edge_starts,
            "origins": cells.origins, "collections": cells.collections, **plain}


def assert_same_cells(a, b):
    first, second = contents(a), contents(b)
    for name, value in first.items():
        other = second[name]
        assert value.dtype == other.dtype and value.shape == other.shape, name
        assert value.tobytes() == other.tobytes(), name     # bit for bit: NaN and -0.0 alike
    assert a.vertex_data.flags.c_contiguous and not a.vertex_data.flags.writeable
    assert a.edge_data.flags.c_contiguous and not a.edge_data.flags.writeable


def layouts(array):
    """The array packed, in Fortran order, and every other row of one twice as long."""
    doubled = np.repeat(array, 2, axis=0)
    return {"packed": array, "fortran": np.asfortranarray(array), "strided": doubled[::2]}


@pytest.mark.parametrize("vertex_type", [np.float32, np.float64])
@pytest.mark.parametrize("edge_type", [np.int32, np.int64, np.uint32, np.uint64])
def test_every_type_gives_the_cells_numpy_gives(monkeypatch, vertex_type, edge_type):
    vertices, v_offsets, edges, e_offsets = packed_scene(4000)
    vertices = vertices.astype(vertex_type)
    edges = edges.astype(edge_type)
    collections = np.arange(4000) % 3
    origins = vertices[v_offsets[:-1]] * 0.5
    built = {}
    found = native_faults(monkeypatch)
    for path in ("native", "numpy"):
        if path == "numpy":
            numpy_path(monkeypatch)
        for (vertex_layout, v), (edge_layout, e) in zip(layouts(vertices).items(), layouts(edges).items()):
            for given in (None, origins):
                key = (vertex_layout, edge_layout, given is None)
                built[path, key] = cellprox.CellSet.from_packed(v, v_offsets, e, e_offsets, origins=given,
                                                               collections=collections, workers=2)
    assert found == [0] * 6      # every layout went the native way
    for (path, key), cells in built.items():
        if path == "native":
            assert_same_cells(cells, built["numpy", key])


def test_per_cell_arrays_give_the_cells_numpy_gives(monkeypatch):
    vertices, v_offsets, edges, e_offsets = packed_scene(3000, empty_cells=True)
    per_cell = [(vertices[a:b].astype(np.float32), edges[c:d].astype(np.int32))
                for a, b, c, d in zip(v_offsets, v_offsets[1:], e_offsets, e_offsets[1:])]
    origins = np.ones((3000, 3))
    native = cellprox.CellSet(*zip(*per_cell), origins=origins, workers=3)
    edgeless = cellprox.CellSet._without_edges([v for v, _ in per_cell], origins=origins, workers=2)
    numpy_path(monkeypatch)
    assert_same_cells(native, cellprox.CellSet(*zip(*per_cell), origins=origins, workers=1))
    assert_same_cells(edgeless, cellprox.CellSet._without_edges([v for v, _ in per_cell], origins=origins))


def test_cells_are_the_same_bit_for_bit_for_any_workers():
    vertices, v_offsets, edges, e_offsets = packed_scene()
    vertices[::97] *= -0.0                      # signed zeros and sums that round differently
    vertices[1::89] *= 1e30
    built = [cellprox.CellSet.from_packed(vertices, v_offsets, edges.astype(np.uint32), e_offsets,
                                          collections=np.arange(N_CELLS), workers=workers)
             for workers in WORKER_COUNTS]
    for cells in built[1:]:
        assert_same_cells(cells, built[0])
    assert np.isfinite(built[0].origins).all()


def message_of(build):
    with pytest.raises((TypeError, ValueError)) as raised:
        build()
    return type(raised.value), str(raised.value)


def late(array, fraction, column, value):
    array[int(len(array) * fraction), column] = value


# Faults placed late in the scene, far from the first pieces, and two at once (the first is named).
FAULTS = {
    "nan vertex": lambda v, e: late(v, 0.9, 1, np.nan),
    "infinite vertex": lambda v, e: late(v, 0.7, 2, -np.inf),
    "float64 beyond float32": lambda v, e: late(v, 0.8, 0, 1e39),
    "edge number too large": lambda v, e: late(e, 0.95, 1, 12),
    "negative edge number": lambda v, e: late(e, 0.6, 0, -1),
    "vertex and edge": lambda v, e: (late(v, 0.75, 0, np.inf), late(e, 0.0, 1, 40)),
}


@pytest.mark.parametrize("fault", FAULTS)
@pytest.mark.parametrize("edge_type", [np.int64, np.uint64])
def test_faults_keep_their_messages_with_workers(monkeypatch, fault, edge_type):
    vertices, v_offsets, edges, e_offsets = packed_scene()
    FAULTS[fault](vertices, edges)
    edges = edges.astype(edge_type)     # as uint64, -1 is 2**64 - 1, quoted as given
    bad_origins = np.full((N_CELLS, 3), np.nan)     # named only after the vertices and edges

    def build(origins=None):
        return lambda: cellprox.CellSet.from_packed(vertices, v_offsets, edges, e_offsets,
                                                    origins=origins, workers=2)

    found = native_faults(monkeypatch)
    native = [message_of(build()), message_of(build(bad_origins))]
    assert found[0] and found[0] in (2, 4, 6) and found[0] == found[1]
    numpy_path(monkeypatch)
    assert native == [message_of(build()), message_of(build(bad_origins))]
    assert "cell" in native[0][1] and native[0] == native[1]


def test_cells_without_vertices_and_bad_collections_keep_their_messages(monkeypatch):
    vertices, v_offsets, edges, e_offsets = packed_scene(empty_cells=True)

    def build(**options):
        return lambda: cellprox.CellSet.from_packed(vertices, v_offsets, edges, e_offsets, workers=2,
                                                    **options)

    origins = np.zeros((N_CELLS, 3))
    cases = [build(), build(origins=origins, collections=2**40), build(origins=origins, collections=1.5),
             build(origins=origins[:, :2])]
    native = [message_of(case) for case in cases]
    numpy_path(monkeypatch)
    assert native == [message_of(case) for case in cases]
    assert "has no vertices" in native[0][1] and "collection" in native[2][1]
    assert [kind for kind, _ in native] == [ValueError, ValueError, TypeError, ValueError]


@pytest.mark.parametrize("workers, error", [(0, ValueError), (True, TypeError), (1.5, TypeError),
                                            (1025, ValueError), (-2, ValueError), ("2", TypeError)])
def test_bad_workers_are_errors_naming_workers(workers, error):
    vertices, v_offsets, edges, e_offsets = packed_scene(10)
    with pytest.raises(error, match=r"^CellSet\.from_packed: .*workers"):
        cellprox.CellSet.from_packed(vertices, v_offsets, edges, e_offsets, workers=workers)
    per_cell = [vertices[a:b] for a, b in zip(v_offsets, v_offsets[1:])]
    with pytest.raises(error, match=r"^CellSet: .*workers"):
        cellprox.CellSet(per_cell, [np.zeros((0, 2), np.int32)] * 10, workers=workers)


def test_workers_none_takes_the_environment(monkeypatch):
    vertices, v_offsets, edges, e_offsets = packed_scene(100)
    monkeypatch.setenv("CELLPROX_WORKERS", "3")
    assert len(cellprox.CellSet.from_packed(vertices, v_offsets, edges, e_offsets)) == 100
    monkeypatch.setenv("CELLPROX_WORKERS", "many")
    with pytest.raises(ValueError, match="CELLPROX_WORKERS='many'"):
        cellprox.CellSet.from_packed(vertices, v_offsets, edges, e_offsets)
