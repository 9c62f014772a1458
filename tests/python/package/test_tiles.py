"""Tiles in space for the search over a scene on disk: cut by count, every point in exactly one
tile, every box in every tile it touches, and each pair reported by exactly one tile."""
import numpy as np
import pytest

from cellprox._distributed.placement import reported_here, widened
from cellprox._distributed.tiles import cut_tiles, tiles_of_points, tiles_touched


def inside(tiling, points):
    """Brute force: which tiles' half-open bounds hold each point."""
    return ((points[:, None, :] >= tiling.lower[None]) & (points[:, None, :] < tiling.upper[None])).all(-1)


def crowded_sample(n, rng):
    """90 % of the points in 1 % of the volume, the rest spread, two far out."""
    dense = rng.uniform(0, 0.2, (int(n * 0.9), 3))
    sparse = rng.uniform(0, 10, (n - len(dense), 3))
    points = np.concatenate([dense, sparse])
    points[:2] = [[-1e30, 0, 0], [1e30, 0, 0]]
    return points


@pytest.mark.parametrize("count", [1, 2, 3, 7, 16])
def test_tiles_share_a_crowded_sample_by_count_and_cover_space_once(count):
    rng = np.random.default_rng(count)
    sample = crowded_sample(20_000, rng)
    tiling = cut_tiles(sample, count)
    assert tiling.count == count
    held = inside(tiling, sample)
    assert (held.sum(axis=1) == 1).all()
    shares = held.sum(axis=0)
    assert shares.max() <= 1.1 * len(sample) / count + 1
    assert (tiles_of_points(tiling, sample) == held.argmax(axis=1)).all()
    # Points anywhere, the far ones and those exactly on a cut included.
    probes = np.concatenate([rng.uniform(-20, 20, (2000, 3)), tiling.lower[np.isfinite(tiling.lower).all(1)],
                             [[-3e38, 3e38, 1e-300], [3e38, -3e38, 0.0]]])
    assert (inside(tiling, probes).sum(axis=1) == 1).all()
    assert (tiles_of_points(tiling, probes) == inside(tiling, probes).argmax(axis=1)).all()


def test_a_lattice_of_equal_coordinates_is_cut_between_values_and_never_loops():
    grid = np.stack(np.meshgrid(*[np.arange(4.0)] * 3, indexing="ij"), -1).reshape(-1, 3)
    tiling = cut_tiles(grid, 5)
    assert (inside(tiling, grid).sum(axis=1) == 1).all()
    assert np.isin(tiling.lower[np.isfinite(tiling.lower)], np.arange(4.0)).all()
    # One point, or a thousand copies of it, cannot be cut: one tile.
    assert cut_tiles(np.zeros((1000, 3)), 8).count == 1
    assert cut_tiles(np.zeros((0, 3)), 8).count == 1


def test_every_box_is_in_exactly_the_tiles_it_touches_and_each_pair_has_one_reporting_tile():
    rng = np.random.default_rng(5)
    tiling = cut_tiles(rng.uniform(0, 10, (5000, 3)), 9)
    centres = rng.uniform(-1, 11, (3000, 3))
    half = rng.uniform(0, 3, (3000, 3)) * (rng.random((3000, 1)) < 0.1) + rng.uniform(0, 0.3, (3000, 3))
    low, high = centres - half, centres + half
    # Boxes that end or start exactly on a cut.
    cuts = tiling.lower[np.isfinite(tiling.lower).all(1)]
    low[:len(cuts)], high[len(cuts):2 * len(cuts)] = cuts, cuts
    boxes, tiles = tiles_touched(tiling, low, high)
    meets = ((low[:, None, :] < tiling.upper[None]) & (high[:, None, :] >= tiling.lower[None])).all(-1)
    expected_boxes, expected_tiles = np.nonzero(meets)
    assert (boxes == expected_boxes).all() and (tiles == expected_tiles).all()

    # Any two overlapping boxes are both in the one tile that reports them.
    pairs = np.array([(a, b) for a in range(300) for b in range(a + 1, 300)
                      if (low[a] <= high[b]).all() and (low[b] <= high[a]).all()])
    reporters = np.stack([reported_here(tiling, t, low, pairs) for t in range(tiling.count)])
    assert (reporters.sum(axis=0) == 1).all()
    for (a, b), tile in zip(pairs, reporters.argmax(axis=0)):
        assert meets[a, tile] and meets[b, tile]


def test_widened_boxes_hold_the_threshold_with_room_far_from_the_origin():
    lower = np.array([[0, 0, 0], [1e30, -1e30, 3e38]], np.float32)
    upper = lower + np.float32(1)
    low, high = widened(lower, upper, 0.5)
    assert (low <= lower.astype(np.float64) - 0.25).all() and (high >= upper.astype(np.float64) + 0.25).all()
    assert np.isfinite(low).all() and np.isfinite(high).all()
    # The room is tiny next to the threshold near the origin.
    assert low[0, 0] > -0.25 - 1e-9
