"""cellprox.fracture: Voronoi cells of a box, clipped exactly at its faces."""
import numpy as np
import pytest

import cellprox.fracture as fracture_module
from cellprox.fracture import voronoi_fracture

spatial = pytest.importorskip("scipy.spatial")

BOX = (2.0, 1.0, 0.5)


@pytest.fixture(scope="module")
def fracture():
    return voronoi_fracture(300, seed=7, collections=3, box=BOX)


def hull_edges(points):
    """The edges of the triangulated convex hull of `points` as vertex number pairs, and those
    of them between clearly non-coplanar triangles (the others may be face diagonals)."""
    hull = spatial.ConvexHull(points)
    edges, creases = set(), set()
    for t, simplex in enumerate(hull.simplices):
        for k in range(3):
            pair = tuple(sorted(np.delete(simplex, k).tolist()))
            edges.add(pair)
            if np.dot(hull.equations[t, :3], hull.equations[hull.neighbors[t, k], :3]) < 1 - 1e-4:
                creases.add(pair)
    return edges, creases, hull


def test_cells_tile_the_box_as_convex_polyhedra(fracture):
    assert len(fracture) == 300 and fracture.box == BOX
    total = 0.0
    for i, (v, e) in enumerate(zip(fracture.vertices, fracture.edges)):
        assert v.dtype == np.float32 and v.ndim == 2 and v.shape[1] == 3
        assert e.dtype == np.int32 and e.ndim == 2 and e.shape[1] == 2
        assert (v >= 0).all() and (v <= np.float32(BOX)).all()
        assert len(np.unique(v, axis=0)) == len(v)
        # The face polygons' sides, each once, no diagonals: random seeds make simple
        # polyhedra, whose vertices all have three edges, and every crease is an edge. (Where
        # two vertices nearly coincide, float32 rounding may turn the hull's triangles.)
        edges, creases, hull = hull_edges(v.astype(np.float64))
        ours = set(map(tuple, np.sort(e, axis=1).tolist()))
        spacing = np.linalg.norm(v[:, None] - v[None], axis=2) + np.eye(len(v))
        crowded = set(np.flatnonzero(spacing.min(axis=1) < 1e-4).tolist())
        clear = {pair for pair in edges | ours if not crowded & set(pair)}
        assert len(ours) == len(e) and creases & clear <= ours and ours & clear <= edges
        assert (np.bincount(e.ravel(), minlength=len(v)) == 3).all()
        assert len(hull.vertices) == len(v)
        # The seed lies inside its own cell.
        assert (hull.equations[:, :3] @ fracture.origins[i] + hull.equations[:, 3] < 1e-6).all()
        total += hull.volume
    assert total == pytest.approx(np.prod(BOX), rel=1e-5)


def test_face_neighbours_share_the_face_vertices_exactly(fracture):
    pairs = fracture.neighbors
    assert pairs.dtype == np.int32 and (pairs[:, 0] < pairs[:, 1]).all()
    assert len(np.unique(pairs, axis=0)) == len(pairs)
    assert 4 < 2 * len(pairs) / len(fracture) < 16
    for i, j in pairs.tolist():
        a = set(map(tuple, fracture.vertices[i].tolist()))
        b = set(map(tuple, fracture.vertices[j].tolist()))
        assert len(a & b) >= 3
    # Collections are slabs along x, by seed.
    slab = np.minimum((fracture.origins[:, 0] / BOX[0] * 3).astype(int), 2)
    np.testing.assert_array_equal(fracture.collections, slab)
    assert fracture.collections.dtype == np.int32 and fracture.origins.dtype == np.float32


def test_corners_bound_each_cell(fracture):
    corners = fracture.corners()
    assert corners.shape == (300, 8, 3) and corners.dtype == np.float32
    for k in (0, 150, 299):
        v = fracture.vertices[k]
        np.testing.assert_array_equal(corners[k, 0], v.min(axis=0))
        np.testing.assert_array_equal(corners[k, 7], v.max(axis=0))
        np.testing.assert_array_equal(corners[k, 3], [v[:, 0].max(), v[:, 1].max(), v[:, 2].min()])


def same_cells(a, b):
    return (len(a) == len(b) and np.array_equal(a.neighbors, b.neighbors)
            and all(np.array_equal(x, y) for x, y in zip(a.vertices, b.vertices))
            and all(np.array_equal(x, y) for x, y in zip(a.edges, b.edges)))


def test_mirroring_only_near_faces_gives_the_cells_of_mirroring_all(monkeypatch):
    default = voronoi_fracture(200, seed=3)
    assert same_cells(default, voronoi_fracture(200, seed=3))
    assert not same_cells(default, voronoi_fracture(200, seed=4))
    monkeypatch.setattr(fracture_module, "MIRROR_MARGIN", 100.0)       # every seed mirrored
    everything = voronoi_fracture(200, seed=3)
    # Too few mirrors: unclipped cells are found and their seeds mirrored in a second pass.
    monkeypatch.setattr(fracture_module, "MIRROR_MARGIN", 0.05)
    repaired = voronoi_fracture(200, seed=3)
    for other in (everything, repaired):
        # qhull may number the vertices of a cell differently; compare the geometry.
        assert np.array_equal(default.neighbors, other.neighbors)
        for x, y in zip(default.vertices, other.vertices):
            np.testing.assert_allclose(np.unique(x, axis=0), np.unique(y, axis=0), atol=1e-6)
        assert [len(e) for e in default.edges] == [len(e) for e in other.edges]


def test_one_cell_is_the_box():
    one = voronoi_fracture(1, box=(3.0, 2.0, 1.0))
    assert len(one.vertices[0]) == 8 and len(one.edges[0]) == 12 and len(one.neighbors) == 0
    np.testing.assert_array_equal(np.unique(one.vertices[0][:, 0]), [0.0, 3.0])


@pytest.mark.parametrize("kwargs, error, message", [
    ({"n_cells": 0}, ValueError, r"n_cells must be a positive integer, not 0"),
    ({"n_cells": 2.5}, TypeError, r"n_cells must be a positive integer, not float"),
    ({"n_cells": "5"}, TypeError, r"n_cells must be a positive integer, not str"),
    ({"n_cells": 5, "collections": 0}, ValueError, r"collections must be a positive integer"),
    ({"n_cells": 5, "collections": None}, TypeError, r"collections must be a positive integer"),
    ({"n_cells": 5, "box": (1.0, 1.0)}, ValueError, r"box must be three sizes"),
    ({"n_cells": 5, "box": "abc"}, TypeError, r"box must be three sizes"),
    ({"n_cells": 5, "box": (1.0, -1.0, 1.0)}, ValueError, r"sizes must be positive and finite"),
])
def test_arguments_are_checked(kwargs, error, message):
    with pytest.raises(error, match=message):
        voronoi_fracture(**kwargs)
