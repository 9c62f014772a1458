"""The hull rule: find_neighbors(..., rule="hull") against an independent reference."""
import numpy as np
import pytest

import cellprox
import cellprox.pipeline
from cellprox import _proximity
from cellprox.cells import edgeless_cells
from cellprox.fracture import voronoi_fracture
from hull_reference import features, hull_distance

# Distances agree within this share of the scene's size; decisions agree except that close to
# the threshold.
TOLERANCE = 1e-9


def cube(x, y=0.0, z=0.0, side=1.0):
    return np.array([[x + side * (c & 1), y + side * (c >> 1 & 1), z + side * (c >> 2 & 1)]
                     for c in range(8)], np.float32)


def random_cells(rng, n, size):
    """Convex cells of 4 to 16 random points in balls of random radius, over a unit box."""
    cells = []
    for _ in range(n):
        k = int(rng.integers(4, 17))
        cells.append(rng.uniform(0, 1, 3) + size * rng.uniform(0.3, 1.0) * rng.normal(size=(k, 3)))
    return cells


def degenerate_cells(rng, n):
    """Flat polygons, straight runs, single points and repeated vertices."""
    cells = []
    for k in range(n):
        centre, kind = rng.uniform(0, 1, 3), k % 4
        if kind == 0:        # coplanar
            u, v = np.linalg.qr(rng.normal(size=(3, 2)))[0].T
            ab = rng.uniform(-0.1, 0.1, (int(rng.integers(3, 9)), 2))
            cells.append(centre + ab[:, :1] * u + ab[:, 1:] * v)
        elif kind == 1:      # collinear
            cells.append(centre + rng.uniform(-0.1, 0.1, (int(rng.integers(2, 6)), 1))
                         * rng.normal(size=3))
        elif kind == 2:      # one vertex, given three times
            cells.append(np.repeat(centre[None], 3, axis=0))
        else:                # a tetrahedron with every vertex twice
            cells.append(np.tile(centre + rng.uniform(-0.1, 0.1, (4, 3)), (2, 1)))
    return cells


def touching_cells(rng):
    """A fracture (cells sharing faces), its pieces moved by about the threshold, and cubes that
    interpenetrate, nest, share part of a face, an edge or a corner."""
    fracture = voronoi_fracture(24, seed=3)
    moved = [v + rng.normal(scale=0.01, size=3) for v in fracture.vertices[:12]]
    cubes = [cube(2, 0, 0), cube(2.5, 0.5, 0), cube(2.25, 0.25, 0.25, 0.5), cube(3, 0.5, 0.5),
             cube(4, 1, 0), cube(5, 2, 1), cube(4, 0, 0, 0.5)]
    return fracture.vertices + [v + np.array([0, 2, 0]) for v in moved] + cubes


def jittered_cells(rng):
    """Fracture cells each moved at random by about half the threshold: neighbours share no
    vertex, and their parallel faces overlap or stand apart by up to a few thresholds."""
    return [v + rng.normal(scale=0.025, size=3) for v in voronoi_fracture(40, seed=4).vertices]


def crowded_fracture(rng):
    """A fracture measured at two spacings of its seeds: every cell a candidate of dozens."""
    fracture = voronoi_fracture(25, seed=int(rng.integers(100)))
    return fracture.vertices, 2 * (1 / 25) ** (1 / 3)


SCENES = {
    "random": lambda rng: (random_cells(rng, 70, 0.08), 0.05),
    "crowded": crowded_fracture,
    "jittered": lambda rng: (jittered_cells(rng), 0.05),
    "degenerate": lambda rng: (degenerate_cells(rng, 80), 0.05),
    "touching": lambda rng: (touching_cells(rng), 0.01),
}
OFFSETS = {"at the origin": (0.0, 0.0, 0.0), "at 1e3": (1e3, 0, 0), "at -7e4": (0, -7e4, 0),
           "at 1e6": (0, 0, 1e6)}


def boxes_within(vertices, threshold):
    lower = np.array([v.min(axis=0) for v in vertices], np.float64)
    upper = np.array([v.max(axis=0) for v in vertices], np.float64)
    i, j = np.triu_indices(len(vertices), 1)
    near = ((lower[i] - upper[j] <= threshold) & (lower[j] - upper[i] <= threshold)).all(axis=1)
    return list(zip(i[near].tolist(), j[near].tolist()))


# The fracture cells of the touching, crowded and jittered scenes make their reference slow: a
# place or two each.
SLOW = {"touching": ("at the origin", "at -7e4"), "jittered": ("at the origin", "at 1e6"),
        "crowded": ("at -7e4",)}
CASES = [(scene, offset) for scene in SCENES for name, offset in OFFSETS.items()
         if name in SLOW.get(scene, OFFSETS)]


@pytest.mark.parametrize("scene, offset", CASES, ids=[f"{s}-{o}" for s, o in CASES])
def test_pairs_and_gaps_match_the_reference_anywhere(scene, offset):
    rng = np.random.default_rng(sorted(SCENES).index(scene))
    cells, threshold = SCENES[scene](rng)
    cells = [(np.asarray(v, np.float64) + offset).astype(np.float32) for v in cells]
    result = cellprox.find_neighbors(cells, threshold, rule="hull")

    # The reference sees the same float32 vertices, moved exactly to near the origin.
    base = cells[0][0].astype(np.float64)
    local = [v.astype(np.float64) - base for v in cells]
    scale = np.ptp(np.concatenate(local), axis=0).max()
    candidates = boxes_within(local, threshold)
    assert result.n_links == len(candidates)
    hulls = [features(v) for v in local]
    expected = {(i, j): hull_distance(hulls[i], hulls[j]) for i, j in candidates}
    found = dict(zip(map(tuple, result.pairs.tolist()), result.gaps.tolist()))
    tolerance = TOLERANCE * scale
    for pair, distance in expected.items():
        if distance <= threshold - tolerance:
            assert pair in found, (pair, distance)
        if pair in found:
            assert distance <= threshold + tolerance, (pair, distance)
            assert found[pair] == pytest.approx(distance, abs=tolerance), pair
    assert set(found) <= set(expected)
    assert result.rule == "hull" and result.missed_pairs == 0


WITNESS_CASES = [(s, o) for s in SCENES if s != "crowded" for o in ("at the origin", "at 1e6")]


@pytest.mark.parametrize("scene, offset", WITNESS_CASES, ids=[f"{s}-{o}" for s, o in WITNESS_CASES])
def test_closest_points_lie_on_the_hulls_the_gap_apart(scene, offset):
    rng = np.random.default_rng(sorted(SCENES).index(scene))
    cells, threshold = SCENES[scene](rng)
    cells = [(np.asarray(v, np.float64) + OFFSETS[offset]).astype(np.float32) for v in cells]
    result = cellprox.find_neighbors(cells, threshold, rule="hull", witnesses=True)
    plain = cellprox.find_neighbors(cells, threshold, rule="hull")
    np.testing.assert_array_equal(result.pairs, plain.pairs)
    np.testing.assert_array_equal(result.gaps, plain.gaps)
    assert len(result) > 10 and result.witnesses.shape == (len(result), 2, 3)
    base = cells[0][0].astype(np.float64)
    tolerance = TOLERANCE * np.ptp(np.concatenate(cells).astype(np.float64) - base, axis=0).max()
    for (i, j), gap, (on_i, on_j) in zip(result.pairs.tolist(), result.gaps.tolist(), result.witnesses):
        assert np.linalg.norm(on_i - on_j) == pytest.approx(gap, abs=tolerance)
        if gap == 0.0:
            assert on_i.tolist() == on_j.tolist()
        for point, cell in ((on_i, cells[i]), (on_j, cells[j])):
            local = features(cell.astype(np.float64) - base)
            assert hull_distance(features((point - base)[None]), local) <= tolerance, (i, j)
    distance, on_0, on_1 = _proximity.hull_pair_distance(cells[int(result.pairs[0, 0])],
                                                         cells[int(result.pairs[0, 1])], threshold)
    assert distance == pytest.approx(result.gaps[0], abs=tolerance)
    assert np.linalg.norm(np.subtract(on_0, on_1)) == pytest.approx(distance, abs=tolerance)


def test_two_rules_side_by_side_on_interpenetrating_and_nested_cubes():
    cubes = [cube(0), cube(0.5), cube(3), cube(3.25, 0.25, 0.25, 0.5)]
    hull = cellprox.find_neighbors(cubes, 0.001, rule="hull")     # edges are optional
    assert hull.pairs.tolist() == [[0, 1], [2, 3]]
    assert hull.gaps.tolist() == [0.0, 0.0]
    assert hull.distances.tolist() == [0.5, 0.0]
    assert hull.neighbor_counts().tolist() == [1, 1, 1, 1]
    # Vertex lists alone make the cells the constructor makes with an empty edge array each.
    built = cellprox.CellSet(cubes, edgeless_cells(len(cubes)))
    for name in ("vertex_data", "edge_data", "v_counts", "e_counts", "vertex_starts", "edge_starts"):
        mine, theirs = getattr(hull.cells, name), getattr(built, name)
        assert mine.dtype == theirs.dtype and np.array_equal(mine, theirs), name

    edges = [[[c, c | 1 << a] for c in range(8) for a in range(3) if not c >> a & 1]] * 4
    default = cellprox.find_neighbors(cubes, 0.001, edges=edges)
    assert default.pairs.tolist() == [] and default.gaps is None
    assert default.rule == "vertices-edges"

    # Collections play no part, and a CellSet or a Fracture is taken as by the default rule.
    cell_set = cellprox.CellSet(cubes, edges, collections=[0, 1, 0, 1])
    assert cellprox.find_neighbors(cell_set, 0.001, rule="hull").pairs.tolist() == [[0, 1], [2, 3]]
    fracture = voronoi_fracture(30, seed=2)
    faces = {tuple(p) for p in cellprox.find_neighbors(fracture, 0.0, rule="hull").pairs.tolist()}
    assert {tuple(p) for p in fracture.neighbors.tolist()} <= faces


def test_a_pair_measures_the_same_bit_for_bit_in_any_scene_that_holds_both_cells():
    # Searched alone, a tile of a larger scene meets its pairs in another order than the whole
    # scene does; a pair's gap and witnesses must not depend on that.
    fracture = voronoi_fracture(1500, seed=4)
    spacing = (1 / 1500) ** (1 / 3)
    whole = cellprox.find_neighbors(fracture, spacing, rule="hull", witnesses=True, workers=1)
    rng = np.random.default_rng(4)
    for keep in (np.sort(rng.choice(1500, 700, replace=False)), np.arange(600, 1500)):
        part = cellprox.find_neighbors([fracture.vertices[k] for k in keep], spacing, rule="hull",
                                       witnesses=True, origins=fracture.origins[keep], workers=1)
        kept = np.isin(whole.pairs, keep).all(axis=1)
        assert np.array_equal(keep[part.pairs], whole.pairs[kept])
        assert part.gaps.tobytes() == whole.gaps[kept].tobytes()
        assert part.witnesses.tobytes() == whole.witnesses[kept].tobytes()


def test_bad_input_is_refused_before_native_code(monkeypatch):
    class Untouchable:
        def __getattr__(self, name):
            raise AssertionError(f"native code reached: {name}")

    monkeypatch.setattr(cellprox.pipeline, "_proximity", Untouchable())
    good = [cube(0), cube(2)]
    for cells, words in (([cube(0), np.array([[0, np.nan, 0]])], "cell 1: vertex 0"),
                         ([cube(0), cube(1), np.array([[0, 0, np.inf]])], "cell 2: vertex 0"),
                         ([cube(0), np.zeros((0, 3))], "cell 1 has no vertices")):
        with pytest.raises(ValueError, match=words):
            cellprox.find_neighbors(cells, 0.1, rule="hull")
    for threshold in (-0.1, float("nan"), float("inf")):
        with pytest.raises(ValueError, match="threshold"):
            cellprox.find_neighbors(good, threshold, rule="hull")
    for threshold in ("0.1", None, [0.1], True):
        with pytest.raises(TypeError, match="threshold"):
            cellprox.find_neighbors(good, threshold, rule="hull")
    with pytest.raises(TypeError, match="rule"):
        cellprox.find_neighbors(good, 0.1, rule=1)
    with pytest.raises(ValueError, match="'hull'"):
        cellprox.find_neighbors(good, 0.1, rule="hulls")
    for a, error in ((cube(0).astype(np.float64), TypeError), (cube(0)[::2], TypeError),
                     (np.zeros((0, 3), np.float32), ValueError), (np.zeros((2, 2), np.float32), ValueError),
                     (np.float32([[0, 0, np.inf]]), ValueError)):
        with pytest.raises(error):
            _proximity.hull_pair_distance(a, cube(2), 0.1)
