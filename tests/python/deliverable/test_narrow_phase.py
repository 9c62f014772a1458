"""generate_neighbors on cell records built in numpy, against a plain reference."""
import numpy as np
import pytest

import reference
from cells import CellArray, broad_phase, random_cells
from conftest import needs_numpy_1

pytestmark = needs_numpy_1


def square(x=0.0, y=0.0, z=0.0, size=1.0):
    """A square in the plane z, as a cell with 4 vertices and 4 edges."""
    v = np.array([[0, 0, 0], [1, 0, 0], [1, 1, 0], [0, 1, 0]], np.float32) * size
    return {"vertices": v + [x, y, z], "edges": [[0, 1], [1, 2], [2, 3], [3, 0]]}


@pytest.fixture
def approx_sqrt(ext):
    """The darwin build's square roots are an estimate refined once: a few ulps off."""
    return ext.__name__.endswith("_darwin")


def close_to(values, approx_sqrt):
    return pytest.approx(values, rel=1e-6 if approx_sqrt else 0)


def run(ext, cells, n_links, threshold):
    array = CellArray(cells)
    result = ext.generate_neighbors(array.address, len(array), n_links, threshold, 0)
    assert result.dtype == np.float32 and result.shape == (n_links,)
    return result.tolist()


def test_empty_inputs(ext):
    assert run(ext, [], 0, 1.0) == []
    assert run(ext, [], 3, 1.0) == [-1.0] * 3


@pytest.mark.parametrize("threshold, expected", [(0.6, 5.0), (0.5, -1.0), (0.0, -1.0), (-1.0, -1.0)])
def test_same_collection_compares_vertices_and_reports_origin_distance(ext, approx_sqrt,
                                                                     threshold, expected):
    if approx_sqrt and threshold == 0.5:
        pytest.skip("an estimated square root may land either side of an exact threshold")
    a = dict(square(), links=[1], links_start=0, origin=(0, 0, 0))
    b = dict(square(x=1.5), origin=(3, 4, 0))  # nearest vertices 0.5 apart
    assert run(ext, [a, b], 1, threshold) == close_to([expected], approx_sqrt)


def test_different_collections_compare_edges_not_vertices(ext, approx_sqrt):
    # Two crossing sticks whose end points are all far apart.
    a = {"vertices": [[-5, 0, 0], [5, 0, 0]], "edges": [[0, 1]], "links": [1], "links_start": 0,
         "coll": 0, "origin": (1, 0, 0)}
    b = {"vertices": [[0, -5, 0], [0, 5, 0]], "edges": [[0, 1]], "coll": 1, "origin": (1, 2, 0)}
    assert run(ext, [a, b], 1, 1e-3) == close_to([2.0], approx_sqrt)
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


def test_invalid_neighbours_and_uncovered_slots_stay_unset(ext, approx_sqrt):
    a = dict(square(), links=[-1, 2, 1, 0], links_start=1, origin=(0, 0, 0))
    b = dict(square(x=0.5), origin=(0, 3, 4))
    # Slot 0 and slot 5 belong to no cell; slot 4 is the cell linked to itself.
    assert run(ext, [a, b], 6, 1.0) == close_to([-1.0, -1.0, -1.0, 5.0, 0.0, -1.0], approx_sqrt)


def test_result_does_not_depend_on_the_debug_switch(ext, capfd):
    a = dict(square(), links=[1], links_start=0)
    array = CellArray([a, dict(square(x=0.2))])
    quiet = ext.generate_neighbors(array.address, 2, 1, 1.0, 2)
    assert capfd.readouterr().out == ""
    assert quiet.tolist() == [0.0]


@pytest.mark.parametrize("collections", [1, 2, 3])
def test_matches_reference_on_random_cells(ext, approx_sqrt, collections):
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
            assert result[slot] == pytest.approx(expected, rel=4e-6 if approx_sqrt else 1e-6), (k, m, gap)
            passed += expected != -1.0
    assert n_links > 200 and passed > 20 and undecided < 3
