"""bench/meshes.py: its truths (voxel neighbours by index arithmetic, triangles that share an
edge or a point) against brute force, and its voxel scene on a small mask with a turned,
stretched affine: the search at half a voxel finds exactly the 26-neighbourhood. Needs no data
download and asserts no timing."""
import itertools
import sys
from pathlib import Path

import numpy as np
import pytest

ROOT = Path(__file__).resolve().parents[3]
sys.path.insert(0, str(ROOT / "bench"))

pytest.importorskip("pyvista")

import meshes  # noqa: E402

from cellprox import CellSet, find_neighbors  # noqa: E402


def brute_voxel_pairs(mask):
    set_voxels = sorted(np.argwhere(mask).tolist(), key=lambda v: (v[2], v[1], v[0]))
    pairs = [(a, b) for (a, u), (b, v) in itertools.combinations(enumerate(set_voxels), 2)
             if max(abs(np.subtract(u, v))) == 1]
    return np.array(sorted(pairs)).reshape(-1, 2)


def test_voxel_neighbours_by_index_arithmetic_and_by_the_search_agree_with_brute_force():
    mask = np.random.default_rng(3).random((7, 5, 6)) < 0.45
    truth = meshes.neighbour_pairs(mask)
    np.testing.assert_array_equal(truth, brute_voxel_pairs(mask))
    # A turned, stretched voxel: 1.5 x 2 x 3, rotated about z, moved.
    angle = 0.4
    turn = np.array([[np.cos(angle), -np.sin(angle), 0], [np.sin(angle), np.cos(angle), 0],
                     [0, 0, 1]])
    affine = np.eye(4)
    affine[:3, :3] = turn @ np.diag([1.5, 2.0, 3.0])
    affine[:3, 3] = [-10, 4, 7]
    grid, ijk = meshes.voxel_grid(mask, affine)
    cells = CellSet.from_pyvista(grid)
    assert len(cells) == mask.sum()
    centres = ijk @ affine[:3, :3].T + affine[:3, 3]
    np.testing.assert_allclose(cells.origins, centres, atol=1e-5)
    for rule in ("vertices-edges", "hull"):
        found = find_neighbors(cells, 0.75, rule=rule).pairs
        np.testing.assert_array_equal(found, truth)


def test_triangles_sharing_an_edge_or_a_point_agree_with_brute_force():
    # Few points for many triangles: edges of four triangles and more.
    faces = np.random.default_rng(5).integers(0, 8, (60, 3))
    faces = faces[(faces[:, 0] != faces[:, 1]) & (faces[:, 1] != faces[:, 2]) & (faces[:, 0] != faces[:, 2])]
    sides = [{frozenset(pair) for pair in itertools.combinations(face.tolist(), 2)} for face in faces]
    edge = [(a, b) for a, b in itertools.combinations(range(len(faces)), 2) if sides[a] & sides[b]]
    point = [(a, b) for a, b in itertools.combinations(range(len(faces)), 2)
             if set(faces[a].tolist()) & set(faces[b].tolist())]
    np.testing.assert_array_equal(meshes.edge_sharing_pairs(faces), np.array(edge))
    np.testing.assert_array_equal(meshes.point_sharing_pairs(faces), np.array(point))
    found = np.array(point[::2])
    assert meshes.missing(np.array(point), found, len(faces)) == len(point) - len(found)
