"""The hull rule at its threshold: a pair is kept exactly when its reported gap is at most the
threshold, whichever verdict decides it (the box tree, the diagonal slabs, the search's early
exit, a shared vertex), and the same pairs come back at any scale and far from the origin."""
import math

import numpy as np
import pytest

import cellprox
from cellprox.fracture import voronoi_fracture
from hull_reference import features, hull_distance

# A threshold that lets every candidate be measured to the end: the gap it reports is the pair's own.
EVERYTHING = 1e30


def box(lo, hi):
    lo, hi = np.asarray(lo, np.float64), np.asarray(hi, np.float64)
    return np.array([[(hi if c >> k & 1 else lo)[k] for k in range(3)] for c in range(8)], np.float32)


def gaps(cells, threshold, witnesses):
    result = cellprox.find_neighbors(cells, threshold, rule="hull", witnesses=witnesses)
    if witnesses:
        for gap, (on_i, on_j) in zip(result.gaps.tolist(), result.witnesses.astype(np.float64)):
            assert np.linalg.norm(on_i - on_j) == pytest.approx(gap, rel=1e-12, abs=1e-12 * max(1.0, gap))
    return dict(zip(map(tuple, result.pairs.tolist()), result.gaps.tolist()))


def assert_kept_at_own_gap(cells, witnesses, learn=EVERYTHING):
    """Every pair keeps the gap it reports with everything measured (up to `learn`) at exactly
    that threshold, and no pair is kept at the double below it."""
    own = gaps(cells, learn, witnesses)
    for (i, j), gap in own.items():
        at = gaps([cells[i], cells[j]], gap, witnesses)
        assert at == {(0, 1): gap}, ((i, j), gap, at)
        if gap > 0.0:
            below = math.nextafter(gap, -math.inf)
            assert gaps([cells[i], cells[j]], below, witnesses) == {}, ((i, j), gap)
    return own


def face_to_face(rng, count, scale, shift):
    """Pairs of boxes whose faces stand parallel at a random gap, each pair on its own."""
    pairs = []
    for _ in range(count):
        size_a, size_b = rng.uniform(0.1, 1.0, (2, 3))
        lo = rng.uniform(-1, 1, 3)
        axis = rng.integers(3)
        lo_b = lo + rng.uniform(-0.5, 0.5, 3) * size_a
        lo_b[axis] = lo[axis] + size_a[axis] + rng.uniform(0, 0.5)
        pairs.append([box(lo * scale + shift, (lo + size_a) * scale + shift),
                      box(lo_b * scale + shift, (lo_b + size_b) * scale + shift)])
    return pairs


@pytest.mark.parametrize("scale, shift", [(1.0, 0.0), (2.0 ** -50, 0.0), (2.0 ** 50, 0.0), (1.0, 1e6)],
                         ids=["unit", "tiny", "huge", "far"])
def test_face_to_face_boxes_are_kept_at_their_own_gap(scale, shift):
    rng = np.random.default_rng(7)
    for k, pair in enumerate(face_to_face(rng, 150, scale, shift)):
        assert len(assert_kept_at_own_gap(pair, witnesses=k % 2 == 1)) == 1


def spaced(pairs):
    """Pairs of cells side by side along y, far enough apart that only each pair's cells meet."""
    return [cell + np.float32([0, 100 * k, 0]) for k, pair in enumerate(pairs) for cell in pair]


CUBE = box([0, 0, 0], [2, 2, 2])
# Integer cells at integer gaps, each found by a path of its own: the tree keeps boxes exactly at
# the threshold along an axis; the search measures a vertex over a face, crossing edges and faces
# that overlap in part; the slabs see corners facing each other along a diagonal.
AT_THE_GAP = {
    "boxes along an axis": lambda g: [[CUBE, box([2 + g, 0, 0], [5 + g, 2, 2])],
                                      [CUBE, box([0, 0, -3 - g], [2, 2, -g])]],
    "vertex over a face": lambda g: [[CUBE, np.float32([[1, 1, 2 + g], [0, 0, 9], [2, 0, 9], [1, 2, 9]])]],
    "crossing edges": lambda g: [[np.float32([[0, 1, 0], [2, 1, 0]]), np.float32([[1, 0, g], [1, 2, g]])]],
    "faces in part": lambda g: [[CUBE, box([1, 1, 2 + g], [3, 3, 4 + g])]],
    "corners on a diagonal": lambda g: [[CUBE, box([2 + g, 2 + g, 2 + g], [4 + g, 4 + g, 4 + g])],
                                        [CUBE, box([2 + g, -2 - g, 2 + g], [4 + g, -g, 4 + g])]],
}


@pytest.mark.parametrize("witnesses", [False, True], ids=["gaps", "witnesses"])
@pytest.mark.parametrize("path", sorted(AT_THE_GAP))
def test_integer_cells_are_kept_exactly_at_their_gap(path, witnesses):
    for g in (1, 2, 3, 7):
        cells = spaced(AT_THE_GAP[path](g))
        own = assert_kept_at_own_gap(cells, witnesses, learn=50.0)
        assert sorted(own) == [(k, k + 1) for k in range(0, len(cells), 2)]
        # The whole scene at the integer threshold: the tie is kept wherever the gap is exact.
        exact = g * math.sqrt(3) if path == "corners on a diagonal" else g
        kept = gaps(cells, float(g), witnesses)
        for pair, gap in own.items():
            assert gap == pytest.approx(exact, rel=1e-13)
            if path != "corners on a diagonal":
                assert gap == g and kept[pair] == g, (pair, gap)


TOUCHING = {
    "a shared corner": box([2, 2, 2], [3, 3, 3]),
    "a shared edge": box([2, 2, 0], [3, 3, 2]),
    "a shared face": box([2, 0, 0], [4, 2, 2]),
    "faces sharing no vertex": box([2, 1, 1], [4, 3, 3]),
    "an edge across a face": np.float32([[2, 1, -1], [2, 1, 3], [3, 1, 1]]),
    "a corner on a face": np.float32([[2, 1, 1], [3, 0, 0], [3, 2, 0], [3, 1, 2]]),
    "interpenetrating": box([1, 1, 1], [3, 3, 3]),
    "nested": box([1, 1, 1], [1, 1, 1]),
}


@pytest.mark.parametrize("witnesses", [False, True], ids=["gaps", "witnesses"])
def test_touching_cells_are_at_zero_and_kept_at_threshold_zero(witnesses):
    cells = spaced([[CUBE, other] for other in TOUCHING.values()])
    kept = gaps(cells, 0.0, witnesses)
    assert kept == {(k, k + 1): 0.0 for k in range(0, len(cells), 2)}, kept
    # A fracture's neighbours share their face vertices: each found at 0 by the shared-vertex look-up.
    fracture = voronoi_fracture(40, seed=5)
    at_zero = gaps(fracture.vertices, 0.0, witnesses)
    assert {tuple(p) for p in fracture.neighbors.tolist()} <= set(at_zero)
    assert set(at_zero.values()) == {0.0}


def grid_cells(rng, count):
    """Cells of 4 to 11 vertices on a grid of 1/256 within a 16-wide box: any power-of-two scale
    and a shift of 2^15 leave them exact in float32."""
    cells = []
    for _ in range(count):
        centre = rng.integers(0, 16 * 256, 3)
        cells.append(((centre + rng.integers(-600, 600, (int(rng.integers(4, 12)), 3))) / 256)
                     .astype(np.float32))
    return cells


def test_any_power_of_two_scale_and_any_far_shift_give_the_same_pairs_and_gaps():
    rng = np.random.default_rng(11)
    cells, threshold = grid_cells(rng, 40), 1.5
    plain = cellprox.find_neighbors(cells, threshold, rule="hull")
    hulls = [features(v.astype(np.float64)) for v in cells]
    found = dict(zip(map(tuple, plain.pairs.tolist()), plain.gaps.tolist()))
    tolerance = 1e-12 * 20
    lower = np.array([v.min(axis=0) for v in cells], np.float64)
    upper = np.array([v.max(axis=0) for v in cells], np.float64)
    for i, j in zip(*np.triu_indices(len(cells), 1)):
        if (np.maximum(lower[i] - upper[j], lower[j] - upper[i]) > threshold).any():
            continue   # not a candidate: its boxes alone prove it apart
        distance = hull_distance(hulls[i], hulls[j])
        if distance <= threshold - tolerance:
            assert (i, j) in found
        if (i, j) in found:
            assert found[i, j] == pytest.approx(distance, abs=tolerance)
    assert 20 < len(plain) < 200
    for exponent in (-60, -31, -1, 1, 29, 60):
        scale = 2.0 ** exponent
        for shift in (0.0, 2.0 ** 15, -(2.0 ** 15)):
            moved = [((v.astype(np.float64) + shift) * scale).astype(np.float32) for v in cells]
            assert all(np.array_equal(m.astype(np.float64) / scale - shift, v) for m, v in zip(moved, cells))
            result = cellprox.find_neighbors(moved, threshold * scale, rule="hull")
            np.testing.assert_array_equal(result.pairs, plain.pairs, err_msg=f"2^{exponent}, {shift}")
            np.testing.assert_allclose(result.gaps / scale, plain.gaps, rtol=0, atol=1e-13 * 20)
