"""The demo's explosion (and bench/frames.py's): pieces move rigidly, and the rotations handed to
a peer library put every point where the numpy path does."""
import numpy as np
import pytest

from cellprox.demo import motion


def scene(seed=0):
    rng = np.random.default_rng(seed)
    counts = np.array([4, 7, 1, 5])
    points = rng.uniform(0, 1, (counts.sum(), 3))
    return points, counts, np.repeat(np.arange(len(counts)), counts)


def test_pieces_move_rigidly_away_from_the_centre_and_turn_about_their_centroids():
    points, counts, owners = scene()
    centre = np.array([0.5, 0.5, 0.5])
    explosion = motion.explosion(points, counts, centre, seed=4, expansion=0.02,
                                 spin_degrees=(5.0, 10.0))
    rigid = motion.rigid_points(explosion, points, owners)
    np.testing.assert_allclose(motion.moved(explosion, rigid, 0), points, atol=1e-14)
    centroids = np.array([points[owners == i].mean(axis=0) for i in range(len(counts))])
    np.testing.assert_allclose(explosion.centroids, centroids)
    np.testing.assert_allclose(explosion.velocities, 0.02 * (centroids - centre))
    assert np.all((np.degrees(explosion.spins) >= 5) & (np.degrees(explosion.spins) <= 10))
    for t in (1, 7.5, 30):
        now = motion.moved(explosion, rigid, t)
        turns = motion.rotations(explosion, t)
        # What a peer gets as (R, c + t v) places the points exactly where the numpy path does.
        expected = (np.einsum("vij,vj->vi", turns[owners], points - centroids[owners])
                    + (centroids + t * explosion.velocities)[owners])
        np.testing.assert_allclose(now, expected, atol=1e-12)
        for i in range(len(counts)):
            mine, before = now[owners == i], points[owners == i]
            # Rigid: distances within a piece kept, its centroid carried by its velocity, its
            # axis fixed by its turn and the angle t times its spin.
            np.testing.assert_allclose(np.linalg.norm(mine[:, None] - mine[None], axis=2),
                                       np.linalg.norm(before[:, None] - before[None], axis=2),
                                       atol=1e-12)
            np.testing.assert_allclose(mine.mean(axis=0), centroids[i] + t * explosion.velocities[i],
                                       atol=1e-12)
            np.testing.assert_allclose(turns[i] @ explosion.axes[i], explosion.axes[i], atol=1e-12)
            np.testing.assert_allclose(np.trace(turns[i]), 1 + 2 * np.cos(t * explosion.spins[i]),
                                       atol=1e-12)
            np.testing.assert_allclose(turns[i] @ turns[i].T, np.eye(3), atol=1e-12)
            assert np.linalg.det(turns[i]) == pytest.approx(1.0)


def test_the_same_seed_gives_the_same_motion_and_bad_counts_are_refused():
    points, counts, _ = scene()
    a = motion.explosion(points, counts, (0, 0, 0), seed=1)
    b = motion.explosion(points, counts, (0, 0, 0), seed=1)
    np.testing.assert_array_equal(a.axes, b.axes)
    np.testing.assert_array_equal(a.spins, b.spins)
    with pytest.raises(ValueError, match="v_counts add up to 16 rows, but vertex_data has 17"):
        motion.explosion(points, [4, 7, 1, 4], (0, 0, 0))
    with pytest.raises(ValueError, match="piece 1 has no vertices"):
        motion.explosion(points, [4, 0, 8, 5], (0, 0, 0))
