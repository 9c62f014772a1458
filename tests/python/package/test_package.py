"""The cellprox package: loading the native module, CellSet, find_neighbors, types, docs."""
import gc
import os
import pathlib
import pickle
import re
import subprocess
import sys
import tempfile
import weakref

import numpy as np
import pytest

import cellprox
import cellprox.fracture
import reference
from cells import CELL_DTYPE as INDEPENDENT_CELL_DTYPE
from cells import CellArray, broad_phase, random_cells
from conftest import NUMPY_1, run_doc_blocks

ROOT = pathlib.Path(__file__).resolve().parents[3]


def run_isolated(code, **env):
    completed = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                               env=dict(os.environ, **env), cwd=tempfile.gettempdir(),
                               timeout=120)
    return completed.returncode, completed.stdout, completed.stderr


def cube(x=0.0, y=0.0, z=0.0, size=1.0):
    corners = np.array([[(c & 1), (c >> 1 & 1), (c >> 2 & 1)] for c in range(8)], np.float32)
    edges = [[c, c | 1 << a] for c in range(8) for a in range(3) if not c >> a & 1]
    return corners * size + np.float32([x, y, z]), np.array(edges, np.int32)


# --- Loading ---------------------------------------------------------------------------------

def test_package_loads_the_module_named_by_the_environment(ext, MODULE_NAME):
    assert cellprox.native is ext and cellprox.native.__name__ == MODULE_NAME
    assert cellprox.get_bb_intersections is ext.get_bb_intersections
    assert cellprox.generate_neighbors is ext.generate_neighbors
    assert cellprox.CELL_DTYPE == INDEPENDENT_CELL_DTYPE


@pytest.mark.parametrize("module, expected", [
    ("cellprox_missing", [r"'cellprox_missing'", r"CELLPROX_MODULE",
                          r"cellprox_missing\.cpython-311", r"No module named 'cellprox_missing'"]),
    ("json", [r"'json'", r"lacks get_bb_intersections, generate_neighbors",
              r"Point CELLPROX_MODULE at"]),
    ("not a name", [r"not a module name"]),
])
def test_import_error_says_what_was_looked_for_and_why(module, expected):
    code, _, err = run_isolated("import cellprox", CELLPROX_MODULE=module)
    assert code != 0
    message = err.strip().splitlines()[-1]
    assert message.startswith("ImportError: ")
    for pattern in expected:
        assert re.search(pattern, message), message


# --- CellSet -----------------------------------------------------------------------------------

GOOD_V, GOOD_E = cube()


@pytest.mark.parametrize("vertices, edges, kwargs, expected", [
    (GOOD_V, [GOOD_E], {}, r"vertices is one \(8, 3\) array.*pass \[vertices\]"),
    ([GOOD_V, GOOD_V], [GOOD_E], {}, r"2 vertex arrays but 1 edge arrays"),
    ([GOOD_V, GOOD_V[:, :2]], [GOOD_E] * 2, {}, r"cell 1: vertices have shape \(8, 2\).*\(v, 3\)"),
    ([GOOD_V, GOOD_V], [GOOD_E, np.vstack([GOOD_E, [[3, 8]]])], {},
     r"cell 1: edge 12 is \(3, 8\), but the cell has 8 vertices \(valid vertex numbers: 0\.\.7\)"),
    ([GOOD_V], [np.array([[0, -1]])], {}, r"cell 0: edge 0 is \(0, -1\)"),
    ([np.zeros((0, 3))], [np.array([[0, 0]])], {}, r"has 0 vertices \(valid vertex numbers: none"),
    ([GOOD_V, np.where(np.eye(8, 3, dtype=bool), np.nan, GOOD_V)], [GOOD_E] * 2, {},
     r"cell 1: vertex 0 is \(nan, 0\.0, 0\.0\); coordinates must be finite"),
    ([GOOD_V.astype(float) * 1e39], [GOOD_E], {}, r"cell 0: vertex 1 is \(1e\+39, .*float32 range"),
    ([np.zeros((0, 3))], [[]], {}, r"cell 0 has no vertices.*pass origins="),
    ([GOOD_V], [GOOD_E], {"origins": [[0, 0]]}, r"origins have .* shape \(1, 2\).*\(1, 3\)"),
    ([GOOD_V], [GOOD_E], {"origins": [[0, 0, np.inf]]}, r"cell 0: its origin .* not finite"),
    ([GOOD_V] * 2, [GOOD_E] * 2, {"collections": [1, 2, 3]}, r"collections must be one integer or 2"),
])
def test_cell_set_names_the_cell_the_problem_and_the_fix(vertices, edges, kwargs, expected):
    with pytest.raises(ValueError, match=expected):
        cellprox.CellSet(vertices, edges, **kwargs)


@pytest.mark.parametrize("vertices, edges, kwargs, expected", [
    ([GOOD_V.astype(complex)], [GOOD_E], {}, r"cell 0: vertices have dtype complex128.*float32"),
    ([np.array([["a"] * 3])], [GOOD_E], {}, r"cell 0: vertices have dtype <U1"),
    ([None], [GOOD_E], {}, r"cell 0: vertices have dtype object"),
    ("abc", [GOOD_E], {}, r"vertices must be a sequence .* not str"),
    ([GOOD_V, GOOD_V], [GOOD_E, GOOD_E.astype(float)], {},
     r"cell 1: edges have dtype float64.*integer vertex numbers.*np\.int32"),
    ([GOOD_V], [b"\x00\x01"], {}, r"cell 0: edges have dtype \|S2"),
    ([GOOD_V], [GOOD_E], {"collections": 1.5}, r"collections must be integers"),
    ([GOOD_V], [GOOD_E], {"origins": "abc"}, r"origins must be real numbers"),
])
def test_cell_set_wrong_types_are_type_errors(vertices, edges, kwargs, expected):
    with pytest.raises(TypeError, match=expected):
        cellprox.CellSet(vertices, edges, **kwargs)


def test_cell_set_converts_and_owns_its_copies():
    v64 = np.asfortranarray(GOOD_V.astype(np.float64) + 0.25)
    e64 = GOOD_E.astype(np.int64)[::-1]                    # a reversed (negative-stride) view
    cells = cellprox.CellSet([v64, v64[::2]], [e64, [[0, 1], [2, 3]]], collections=[0, 7])
    rec = cells.records
    assert rec.dtype == cellprox.CELL_DTYPE and rec.itemsize == 64
    assert rec["v_count"].tolist() == [8, 4] and rec["e_count"].tolist() == [12, 2]
    assert rec["coll_index"].tolist() == [0, 7] and rec["index"].tolist() == [0, 1]
    assert rec["links_start"].tolist() == [-1, -1] and rec["n_count"].tolist() == [0, 0]
    np.testing.assert_allclose(rec["origin"][0], v64.mean(axis=0), rtol=1e-6)
    v64 += 100.0   # the caller's arrays are theirs; the set keeps its own
    e64[:] = 0
    assert cells.vertices(1).dtype == np.float32 and cells.vertices(1).flags.c_contiguous
    np.testing.assert_array_equal(cells.vertices(1), (GOOD_V[::2] + 0.25))
    np.testing.assert_array_equal(cells.edges(0), GOOD_E[::-1])
    # The records point at exactly these arrays.
    assert rec["vertices"][1] == cells.vertices(1).ctypes.data
    assert rec["edges"][0] == cells.edges(0).ctypes.data
    corners = cells.corners()
    assert corners.shape == (2, 8, 3) and corners.dtype == np.float32
    np.testing.assert_array_equal(corners[0, 0], [0.25] * 3)
    np.testing.assert_array_equal(corners[0, 7], [1.25] * 3)
    np.testing.assert_array_equal(corners[0, 5], [1.25, 0.25, 1.25])    # bits 0 and 2: x, z up
    # float32 rows are joined into the set's own array, and packed ones copied, as well.
    v32 = GOOD_V.astype(np.float32)
    lists, packed = cellprox.CellSet([v32], [GOOD_E]), cellprox.CellSet.from_packed(v32, [0, 8])
    v32 += 100.0
    for kept in (lists, packed):
        np.testing.assert_array_equal(kept.vertices(0), GOOD_V)


def test_native_joining_and_bounds_equal_numpys():
    from cellprox import _gather

    rng = np.random.default_rng(5)
    base = rng.random((40, 6)).astype(np.float32)
    base[rng.random(base.shape) < 0.3] = 0.0
    base[::3] *= -1.0             # signed zeros, which min and max must pick as numpy does
    plain = [base[:5, :3].copy(), np.zeros((0, 3), np.float32), base[5:9, :3].copy()]
    strided = [base[:7, 3:], np.asfortranarray(base[7:12, :3]), base[30:12:-2, :3]]
    joined = {"plain": plain, "strided": plain + strided}
    native_refuses = {"mixed types": plain + [base[:3, :3].astype(np.float64)],
                      "a list": plain + [[[1.0, 2.0, 3.0]]],
                      "a subclass": plain + [base[:2, :3].view(np.recarray)],
                      "another width": plain + [base[:2, :2]],
                      "swapped bytes": plain + [base[:2, :3].astype(">f4")]}
    for name, vertices in native_refuses.items():
        assert _gather.gather(vertices, 3, np.empty) is None, name     # left to the checks that name the cell
    for name, vertices in joined.items():
        assert _gather.gather(vertices, 3, np.empty) is not None, name
        cells = cellprox.CellSet(vertices, [np.zeros((0, 2), np.int32)] * len(vertices),
                                 origins=np.zeros((len(vertices), 3)))
        assert cells.vertex_data.tobytes() == np.concatenate(vertices).tobytes(), name
        assert cells.v_counts.tolist() == [len(v) for v in vertices], name
        for mine, numpys in zip(cells.bounds(), cellprox.cells.bounds(cells.vertex_data, cells.v_counts)):
            assert mine.tobytes() == numpys.tobytes(), name
    data, counts = _gather.gather([GOOD_E.astype(np.int64), GOOD_E[::-1].astype(np.int64)], 2, np.empty)
    assert data.dtype == np.int64 and counts.tolist() == [12, 12]
    assert np.array_equal(data, np.vstack([GOOD_E, GOOD_E[::-1]]))
    with pytest.raises(ValueError, match="add up"):
        _gather.run_bounds(base[:4, :3].copy(), np.array([2, 3]), *np.empty((2, 2, 3), np.float32))
    # Default origins: each cell's mean, summed in double and rounded once.
    cells = cellprox.CellSet([base[:5, :3], base[5:12, 3:]], [np.zeros((0, 2), np.int32)] * 2)
    means = [np.float32(v.astype(np.float64).mean(axis=0)) for v in (base[:5, :3], base[5:12, 3:])]
    assert cells.origins.tobytes() == np.stack(means).tobytes()
    with pytest.raises(ValueError, match="add up"):
        _gather.run_means(base[:4, :3].copy(), np.array([2, 3]), np.empty((2, 3), np.float32))


def test_records_keep_their_arrays_alive_after_the_caller_lets_go(ext):
    rng = np.random.default_rng(3)
    cells = random_cells(rng, 40, 4.0, 2)
    cell_set = cellprox.CellSet([c["vertices"] for c in cells], [c["edges"] for c in cells],
                                origins=[c["origin"] for c in cells], collections=[c["coll"] for c in cells])
    n = len(cell_set)
    links, starts, counts = cellprox.link_tables(n)
    n_links = ext.get_bb_intersections(cell_set.corners(), n, links, starts, counts)
    cell_set.attach_links(links, starts, counts)
    records = cell_set.records
    watched = [weakref.ref(a) for a in (cell_set.vertex_data, cell_set.edge_data, cell_set.links)]
    view = records[5:]                        # views keep the arrays alive as well
    del cells, cell_set, records, links
    gc.collect()
    garbage = [np.full(1000, 7.0) for _ in range(200)]   # reuse of freed memory would show
    assert all(ref() is not None for ref in watched)
    again = ext.generate_neighbors(view.ctypes.data - 5 * 64, n, n_links, 0.5, 0)
    assert (again >= 0).any()
    copy = view.copy()
    del view
    gc.collect()
    assert all(ref() is not None for ref in watched)
    del copy, garbage
    gc.collect()
    assert all(ref() is None for ref in watched)


def test_attach_links_refuses_tables_the_module_would_trust(ext):
    cells = cellprox.CellSet([GOOD_V] * 3, [GOOD_E] * 3)
    links, starts, counts = cellprox.link_tables(3)
    with pytest.raises(ValueError, match=r"links must be an integer array of shape \(3, 30\)"):
        cells.attach_links(links[:2], starts, counts)
    with pytest.raises(TypeError, match=r"link_count must be integers, not float64"):
        cells.attach_links(links, starts, counts.astype(float))
    with pytest.raises(ValueError, match=r"link_count must be an integer array of shape \(3,\)"):
        cells.attach_links(links, starts, counts[:2])
    counts[1] = 31
    with pytest.raises(ValueError, match=r"cell 1: link_count is 31, but its row of links has 30"):
        cells.attach_links(links, starts, counts)
    counts[:] = [2, 1, 0]
    with pytest.raises(ValueError, match=r"cell 0 has 2 links but link_starts is -1"):
        cells.attach_links(links, starts, counts)
    starts[:] = [0, 1, -1]
    with pytest.raises(ValueError, match=r"slots of cells 0 and 1 overlap"):
        cells.attach_links(links, starts, counts)
    starts[:] = [1, 0, -1]
    links[0, :2], links[1, 0] = [1, 2], 2
    cells.attach_links(links.astype(np.int64), starts, counts)   # converted to int32 rows
    assert cells.n_links == 3
    assert cells.records["links_start"].tolist() == [1, 0, -1]
    assert cells.records["cell_links"][2] == 0
    assert cells.links is not None and cells.links.dtype == np.int32
    result = ext.generate_neighbors(cells.address, 3, cells.n_links, 0.5, 0)
    assert result.tolist() == [0.0, 0.0, 0.0]       # identical cubes: every link passes


# --- find_neighbors --------------------------------------------------------------------------

def raw_pipeline(ext, vertices, edges, origins, collections, threshold):
    """The journey by hand, with the tests' own record builder: the cells (their links filled
    in), the link count and the narrow phase's distances."""
    cells = [{"vertices": v, "edges": e, "origin": o, "coll": c}
             for v, e, o, c in zip(vertices, edges, origins, collections)]
    n_links = broad_phase(ext, cells)
    records = CellArray(cells)   # held while the kernel reads them
    distances = ext.generate_neighbors(records.address, len(cells), n_links, threshold, 0)
    return cells, n_links, distances


def test_find_neighbors_finds_what_the_raw_pipeline_confirms(ext):
    fracture = cellprox.fracture.voronoi_fracture(250, seed=4, collections=2)
    result = cellprox.find_neighbors(fracture, 0.002)
    cells, n_links, distances = raw_pipeline(
        ext, fracture.vertices, fracture.edges, fracture.origins, fracture.collections, 0.002)
    assert max(len(cell["links"]) for cell in cells) < 30   # no full rows: the raw tables miss nothing
    expected = sorted(tuple(sorted((i, int(other)))) for i, cell in enumerate(cells)
                      for m, other in enumerate(cell["links"]) if distances[cell["links_start"] + m] >= 0)
    assert result.pairs.tolist() == [list(p) for p in expected]
    # Origin distances in double, rounded once to float32.
    origins = fracture.origins.astype(np.float64)
    exact = np.linalg.norm(origins[result.pairs[:, 0]] - origins[result.pairs[:, 1]], axis=1)
    np.testing.assert_array_equal(result.distances, exact.astype(np.float32))
    assert result.missed_pairs == 0 and 0 < result.n_links <= n_links
    # Per-cell arrays give the same answer as the fracture.
    again = cellprox.find_neighbors(fracture.vertices, 0.002, edges=fracture.edges,
                                    origins=fracture.origins, collections=fracture.collections)
    assert again == result


def shrunk_fracture_cells(n, seed):
    """Voronoi cells each shrunk towards its seed by up to 3%: gaps of 0 to about 0.01."""
    fracture = cellprox.fracture.voronoi_fracture(n, seed=seed, collections=2)
    scale = 1 - np.random.default_rng(seed).uniform(0, 0.03, n)
    return [{"vertices": o + (v - o) * np.float32(f), "edges": e, "origin": o, "coll": c}
            for v, e, o, c, f in zip(fracture.vertices, fracture.edges, fracture.origins,
                                     fracture.collections, scale)]


@pytest.mark.parametrize("make_cells, threshold", [
    (lambda: shrunk_fracture_cells(60, 2), 0.003),
    (lambda: random_cells(np.random.default_rng(11), 60, 10.0, 2), 0.35),
])
def test_find_neighbors_against_brute_force(make_cells, threshold):
    """Every pair of cells measured in double precision (pairs whose boxes are farther apart
    than the threshold cannot be close and are skipped)."""
    cells = make_cells()
    result = cellprox.find_neighbors([c["vertices"] for c in cells], threshold,
                                     edges=[c["edges"] for c in cells],
                                     origins=[c["origin"] for c in cells],
                                     collections=[c["coll"] for c in cells])
    found = set(map(tuple, result.pairs.tolist()))
    lower = np.array([np.min(c["vertices"], axis=0) for c in cells], np.float64)
    upper = np.array([np.max(c["vertices"], axis=0) for c in cells], np.float64)
    expected, unsure = set(), set()
    for i in range(len(cells)):
        for j in range(i + 1, len(cells)):
            gap = np.maximum(0, np.maximum(lower[i] - upper[j], lower[j] - upper[i]))
            if np.linalg.norm(gap) > threshold:
                continue
            d = reference.closest_approach(cells[i], cells[j], cells[i]["coll"] == cells[j]["coll"])
            if abs(d - threshold) < 1e-12 * max(1.0, threshold):
                unsure.add((i, j))
            elif d < threshold:
                expected.add((i, j))
    assert len(expected) > 5 and result.missed_pairs == 0
    assert found - unsure == expected


def test_no_pair_is_lost_however_many_cells_crowd_together():
    v, e = cube()
    n = 70   # identical cells: every pair is close, far more than the raw tables' 30 a row
    result = cellprox.find_neighbors([v] * n, 0.001, edges=[e] * n)
    assert len(result) == result.n_links == n * (n - 1) // 2
    assert result.neighbor_counts().tolist() == [n - 1] * n
    # A crowd of cubes, each overlapping dozens: for axis-aligned cubes the hull distance is
    # the gap between their boxes.
    rng = np.random.default_rng(12)
    crowd = [cube(*rng.uniform(0, 2.0, 3), size=0.6)[0] for _ in range(400)]
    result = cellprox.find_neighbors(crowd, 0.001, rule="hull")
    lower = np.array([c.min(axis=0) for c in crowd], np.float64)
    upper = np.array([c.max(axis=0) for c in crowd], np.float64)
    gap = np.maximum(0, np.maximum(lower[:, None] - upper[None], lower[None] - upper[:, None]))
    i, j = np.nonzero(np.triu(np.linalg.norm(gap, axis=2) <= 0.001, 1))
    assert result.pairs.tolist() == np.stack([i, j], axis=1).tolist() and len(i) > 5000


def test_find_neighbors_edge_cases_and_errors():
    v, e = cube()
    empty = cellprox.find_neighbors([], 0.01, edges=[])
    assert empty.pairs.shape == (0, 2) and empty.n_links == 0 and len(empty.distances) == 0
    one = cellprox.find_neighbors([v], 0.01, edges=[e])
    assert len(one) == 0 and one.n_links == 0
    for bad in (0, -1.0, float("nan"), float("inf"), 2**2000, -(2**2000)):
        with pytest.raises(ValueError, match="threshold .* (must be a positive finite|beyond)"):
            cellprox.find_neighbors([v], bad, edges=[e])
    for bad in ("0.1", None, b"0.1", [0.1], True, np.array([0.1])):
        with pytest.raises(TypeError, match="threshold must be a real number"):
            cellprox.find_neighbors([v], bad, edges=[e])
    for good in (np.float32(0.01), np.float64(0.01), 1, np.int64(1), 1e-46, 1e39, 2**1000):
        assert cellprox.find_neighbors([v], good, edges=[e]).threshold == float(good)
    with pytest.raises(TypeError, match="debug must be True or False, not str"):
        cellprox.find_neighbors([v], 0.01, edges=[e], debug="no")
    with pytest.raises(ValueError, match="witnesses are the hull rule's"):
        cellprox.find_neighbors([v], 0.01, edges=[e], witnesses=True)
    with pytest.raises(TypeError, match=r"also needs edges=\[\.\.\.\]"):
        cellprox.find_neighbors([v], 0.01)
    with pytest.raises(TypeError, match=r"cells must be a CellSet, .* not str"):
        cellprox.find_neighbors("cells", 0.01, edges=[])
    with pytest.raises(TypeError, match=r"cell_count must be an integer, not float"):
        cellprox.link_tables(2.0)
    cells = cellprox.CellSet([v], [e])
    with pytest.raises(ValueError, match=r"collections apply only to per-cell vertex arrays"):
        cellprox.find_neighbors(cells, 0.01, collections=[1])


@pytest.mark.parametrize("axis, at", [(0, 70_000.0), (1, -1e6), (2, -1e6), (0, 3e5)])
def test_touching_cells_are_found_far_from_the_origin(axis, at):
    """A row of 80 touching cubes gives exactly its 79 pairs wherever it lies."""
    step = np.zeros(3, np.float32)
    step[axis] = 1.0
    v, e = cube()
    row = [(v + np.float32(at + k) * step).astype(np.float32) for k in range(80)]
    for collections in (0, np.arange(80) % 2):        # the vertex test and the edge test
        result = cellprox.find_neighbors(row, 0.001, edges=[e] * 80, collections=collections)
        assert result.pairs.tolist() == [[k, k + 1] for k in range(79)]
        assert result.missed_pairs == 0 and (result.distances == 1.0).all()


def test_huge_cells_and_far_apart_origins():
    v, e = cube()
    # Cells of 1e9 units, which float32 arithmetic could not compare edge to edge.
    huge = [v * np.float32(1e9), v * np.float32(1e9) + np.float32([1e9, 0, 0])]
    assert cellprox.find_neighbors(huge, 0.001, edges=[e, e], collections=[0, 1]).pairs.tolist() == [[0, 1]]
    with pytest.raises(ValueError, match=r"cells 0 and 1 are close, but their origins are 4e\+38"):
        cellprox.find_neighbors([v, v + np.float32([1, 0, 0])], 0.001, edges=[e, e],
                                origins=[[-2e38, 0, 0], [2e38, 0, 0]])


PICKLED_RUN = """
import pickle, sys
import cellprox
cells, linked = pickle.load(sys.stdin.buffer)
result = cellprox.find_neighbors(cells, 0.002)
again = cellprox.generate_neighbors(linked.address, len(linked), linked.n_links, 0.002, 0)
pickle.dump((result.pairs, result.distances, again), sys.stdout.buffer)
"""


def test_a_pickled_cell_set_works_in_a_fresh_process(ext, MODULE_NAME):
    fracture = cellprox.fracture.voronoi_fracture(300, seed=8, collections=2)
    cells = fracture.cell_set()
    result = cellprox.find_neighbors(cells, 0.002)
    linked = cells.copy()
    links, starts, counts = cellprox.link_tables(len(cells))
    n_links = ext.get_bb_intersections(cells.corners(), len(cells), links, starts, counts)
    linked.attach_links(links, starts, counts)
    link_distances = ext.generate_neighbors(linked.address, len(linked), n_links, 0.002, 0)
    blob = pickle.dumps((cells, linked))
    completed = subprocess.run([sys.executable, "-c", PICKLED_RUN], input=blob,
                               capture_output=True, env=dict(os.environ, CELLPROX_MODULE=MODULE_NAME),
                               cwd=tempfile.gettempdir(), timeout=120)
    assert completed.returncode == 0, completed.stderr.decode()
    pairs, distances, again = pickle.loads(completed.stdout)
    np.testing.assert_array_equal(pairs, result.pairs)
    np.testing.assert_array_equal(distances, result.distances)
    np.testing.assert_array_equal(again, link_distances)
    # In this process too, once the original is gone; the bare records refuse.
    del cells, result, fracture, linked
    gc.collect()
    loaded = pickle.loads(blob)[1]
    assert (ext.generate_neighbors(loaded.address, len(loaded), loaded.n_links, 0.002, 0)
            == again).all()
    with pytest.raises(TypeError, match="pickle the CellSet instead"):
        pickle.dumps(loaded.records)
    with pytest.raises(ValueError, match="read-only"):
        loaded.edge_data[0, 0] = 10**6


# --- Types and docs ---------------------------------------------------------------------------

def test_mypy_passes_on_the_package_and_the_examples():
    pytest.importorskip("mypy")
    user = getattr(os, "getuid", lambda: "user")()
    cache = pathlib.Path(tempfile.gettempdir()) / f"cellprox-mypy-{user}"
    completed = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(cache),
         str(ROOT / "python" / "cellprox"), str(ROOT / "python" / "stubs"),
         str(ROOT / "examples")],
        capture_output=True, text=True, cwd=ROOT, timeout=300)
    assert completed.returncode == 0, completed.stdout + completed.stderr


def test_installed_distribution_carries_package_module_and_stubs():
    from importlib import metadata

    try:
        names = {str(path) for path in metadata.files("cellprox") or []}
    except metadata.PackageNotFoundError:
        pytest.skip("cellprox is not installed")
    assert {"cellprox/__init__.py", "cellprox/py.typed", "cellprox/fracture.py"} <= names
    module = cellprox._native.DELIVERABLES[sys.platform]
    assert any(re.fullmatch(rf"{module}\.[\w.-]+\.(so|pyd)", name) for name in names), names
    assert {f"{module}.pyi", f"{module}-stubs/__init__.pyi"} <= names


def test_package_tour_runs_as_written():
    blocks, stopped = run_doc_blocks((ROOT / "docs" / "package.md").read_text(), "docs/package.md")
    assert blocks >= 3
    # Under numpy 2: the module's name and the raw journey.
    assert stopped == (0 if NUMPY_1 else 2)
