"""generate_neighbors on cell records built in numpy, against a plain reference."""
import numpy as np
import pytest

import reference
from cells import CellArray


def square(x=0.0, y=0.0, z=0.0, size=1.0):
    """A square in the plane z, as a cell with 4 vertices and 4 edges."""
    v = np.array([[0, 0, 0], [1, 0, 0], [1, 1, 0], [0, 1, 0]], np.float32) * size
    return {"vertices": v + [x, y, z], "edges": [[0, 1], [1, 2], [2, 3], [3, 0]]}


def run(ext, cells, n_links, threshold):
    array = CellArray(cells)
    result = ext.generate_neighbors(array.address, len(array), n_links, threshold, 0)
    assert result.dtype == np.float32 and result.shape == (n_links,)
    return result.tolist()


def test_empty_inputs(ext):
    assert run(ext, [], 0, 1.0) == []
    assert run(ext, [], 3, 1.0) == [-1.0] * 3


@pytest.mark.parametrize("threshold, expected", [(0.6, 5.0), (0.5, -1.0), (0.0, -1.0), (-1.0, -1.0)])
def test_same_collection_compares_vertices_and_reports_origin_distance(ext, threshold, expected):
    a = dict(square(), links=[1], links_start=0, origin=(0, 0, 0))
    b = dict(square(x=1.5), origin=(3, 4, 0))  # nearest vertices 0.5 apart
    assert run(ext, [a, b], 1, threshold) == [expected]


def test_different_collections_compare_edges_not_vertices(ext):
    # Two crossing sticks whose end points are all far apart.
    a = {"vertices": [[-5, 0, 0], [5, 0, 0]], "edges": [[0, 1]], "links": [1], "links_start": 0,
         "coll": 0, "origin": (1, 0, 0)}
    b = {"vertices": [[0, -5, 0], [0, 5, 0]], "edges": [[0, 1]], "coll": 1, "origin": (1, 2, 0)}
    assert run(ext, [a, b], 1, 1e-3) == [2.0]
    b["coll"] = 0  # same collection: the vertices decide, and they are 7 apart
    assert run(ext, [a, b], 1, 1.0) == [-1.0]


@pytest.mark.parametrize("same", [True, False])
def test_cells_without_geometry_never_pass(ext, same):
    a = dict(square(), links=[1], links_start=0, coll=0)
    b = dict(square(), coll=0 if same else 1)
    if same:
        b["vertices"] = np.zeros((0, 3))
    else:
        b["edges"] = np.zeros((0, 2))
    assert run(ext, [a, b], 1, 10.0) == [-1.0]


def test_invalid_neighbours_and_uncovered_slots_stay_unset(ext):
    a = dict(square(), links=[-1, 2, 1, 0], links_start=1, origin=(0, 0, 0))
    b = dict(square(x=0.5), origin=(0, 3, 4))
    # Slot 0 and slot 5 belong to no cell; slot 4 is the cell linked to itself.
    assert run(ext, [a, b], 6, 1.0) == [-1.0, -1.0, -1.0, 5.0, 0.0, -1.0]


def test_result_does_not_depend_on_the_debug_switch(ext, capfd):
    a = dict(square(), links=[1], links_start=0)
    array = CellArray([a, dict(square(x=0.2))])
    quiet = ext.generate_neighbors(array.address, 2, 1, 1.0, 2)
    assert capfd.readouterr().out == ""
    assert quiet.tolist() == [0.0]


def random_cells(rng, n, spread, collections):
    cells = []
    for k in range(n):
        v_count = int(rng.integers(2, 9))
        center = rng.uniform(0, spread, 3)
        vertices = (center + rng.normal(0, 0.6, (v_count, 3))).astype(np.float32)
        e_count = int(rng.integers(1, 10))
        edges = rng.integers(0, v_count, (e_count, 2))
        cells.append({"vertices": vertices, "edges": edges, "coll": k % collections,
                      "origin": center.astype(np.float32)})
    return cells


def broad_phase(ext, cells):
    n = len(cells)
    bbox = np.empty((n, 8, 3), np.float32)
    for k, cell in enumerate(cells):
        v = cell["vertices"]
        lo, hi = v.min(0), v.max(0)
        bbox[k] = [[(hi if c >> a & 1 else lo)[a] for a in range(3)] for c in range(8)]
    links = np.full((n, 30), -1, np.int32)
    starts = np.full(n, -1, np.int32)
    counts = np.zeros(n, np.uint8)
    n_links = ext.get_bb_intersections(bbox, n, links, starts, counts)
    for k, cell in enumerate(cells):
        cell["links"] = links[k, :counts[k]]
        cell["links_start"] = int(starts[k])
    return n_links


@pytest.mark.parametrize("collections", [1, 2, 3])
def test_matches_reference_on_random_cells(ext, collections):
    rng = np.random.default_rng(collections)
    cells = random_cells(rng, 150, 8.0, collections)
    n_links = broad_phase(ext, cells)
    threshold = 0.35
    result = run(ext, cells, n_links, threshold)

    undecided = passed = 0
    for k, cell in enumerate(cells):
        for m, other in enumerate(cell["links"]):
            slot = cell["links_start"] + m
            same = cell["coll"] == cells[other]["coll"]
            gap = reference.closest_approach(cell, cells[other], same)
            if abs(gap - threshold) < 1e-5:
                undecided += 1  # within rounding of the threshold: either answer is right
                continue
            expected = reference.origin_distance(cell, cells[other]) if gap < threshold else -1.0
            assert result[slot] == pytest.approx(expected, rel=1e-6), (k, m, gap)
            passed += expected != -1.0
    assert n_links > 200 and passed > 20 and undecided < 3
