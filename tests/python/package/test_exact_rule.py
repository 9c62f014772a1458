"""The default rule at any scale, and at exactly its threshold.

The rule is decided as double arithmetic on the float32 coordinates decides it, so what it
says of a scene cannot depend on the scene's size or place: scaled by a power of two, or moved
by an amount the float32 coordinates carry exactly, a scene has the same pairs. Distances that
equal the threshold are not close, whichever path decides them: the float pass (which leaves
them to double), the double re-check of vertices and of edges, and the plain double loops that
take thresholds outside the float pass's range (below 2^-50, above 2^60).
"""
import math

import numpy as np
import pytest

import cellprox
import reference

CORNERS = np.array([[c & 1, c >> 1 & 1, c >> 2 & 1] for c in range(8)], np.float64)
CUBE_EDGES = np.array([[c, c | 1 << a] for c in range(8) for a in range(3) if not c >> a & 1])


def pairs(vertices, threshold, edges, collections):
    result = cellprox.find_neighbors(vertices, threshold, edges=edges, collections=collections)
    assert result.missed_pairs == 0
    return result.pairs.tolist()


def test_crossing_short_segments_of_two_collections_are_close():
    s = 1e-4
    vertices = [np.array([[0, 0, 0], [s, s, 0]], np.float32),
                np.array([[0, s, 0], [s, 0, 0]], np.float32)]
    assert pairs(vertices, s / 2, [[[0, 1]], [[0, 1]]], [0, 1]) == [[0, 1]]


def test_face_touching_small_cubes_shifted_by_half_a_side_are_close():
    s = 1e-4
    first = (CORNERS * s).astype(np.float32)
    second = (CORNERS * s + [s, s / 2, s / 4]).astype(np.float32)
    assert pairs([first, second], s / 100, [CUBE_EDGES] * 2, [0, 1]) == [[0, 1]]
    assert cellprox.find_neighbors([first, second], 0.0, rule="hull").gaps.tolist() == [0.0]


# ---- The same pairs at every scale and place.

def grid_scene(rng, n_cells=60):
    """Small cells on a grid of 2^-6 around integer centres in [0, 3]^3, in two collections.

    Coordinates need 10 significant bits, so any power-of-two scale from 2^-60 to 2^62 and any
    shift by a multiple of 2^-6 up to 2^16 keeps them exact in float32. The edges are a ring
    and a few chords, some of them very short against the others."""
    vertices, edges = [], []
    for _ in range(n_cells):
        count = int(rng.integers(3, 8))
        centre = rng.integers(0, 4, 3)
        offsets = rng.integers(-40, 41, (count, 3)) * 2.0 ** -6
        # One vertex a single grid step from another: edges 64 times shorter than the cell.
        offsets[-1] = offsets[0] + rng.integers(-1, 2, 3) * 2.0 ** -6
        vertices.append(centre + offsets)
        ring = [[k, (k + 1) % count] for k in range(count)]
        chords = rng.integers(0, count, (2, 2)).tolist()
        edges.append(np.array(ring + chords))
    collections = rng.integers(0, 2, n_cells)
    return vertices, edges, collections


def reference_pairs(vertices, edges, collections, threshold):
    """Pairs the float64 reference finds close, and those within a hair of the threshold."""
    close, unsure = [], set()
    lower = np.array([v.min(0) for v in vertices])
    upper = np.array([v.max(0) for v in vertices])
    for i in range(len(vertices)):
        for j in range(i + 1, len(vertices)):
            if (np.maximum(lower[i] - upper[j], lower[j] - upper[i]) > threshold).any():
                continue
            d = reference.closest_approach({"vertices": vertices[i], "edges": edges[i]},
                                           {"vertices": vertices[j], "edges": edges[j]},
                                           collections[i] == collections[j])
            if abs(d - threshold) <= 1e-9 * threshold:
                unsure.add((i, j))
            elif d < threshold:
                close.append([i, j])
    return close, unsure


@pytest.mark.parametrize("seed", [3, 17, 29])
def test_a_scene_has_the_same_pairs_scaled_by_powers_of_two_and_moved_far_away(seed):
    rng = np.random.default_rng(seed)
    vertices, edges, collections = grid_scene(rng)
    threshold = 0.3
    expected, unsure = reference_pairs(vertices, edges, collections, threshold)
    assert len(expected) > 25 and not unsure
    shift = np.array([2.0 ** 16, -2.0 ** 15, 3 * 2.0 ** 13])
    for exponent in (-60, -52, -40, -20, -10, 0, 10, 30, 50, 60, 62):
        scale = 2.0 ** exponent
        for moved in (0.0, shift):
            scaled = [((v + moved) * scale).astype(np.float32) for v in vertices]
            assert all((s.astype(np.float64) == (v + moved) * scale).all()
                       for s, v in zip(scaled, vertices))
            found = pairs(scaled, threshold * scale, edges, collections)
            assert found == expected, (exponent, moved)


@pytest.mark.parametrize("size", [1e-4, 1e-5, 1e-10, 1e-30, 1.0, 1e20])
def test_close_segment_pairs_of_any_size_are_found(size):
    """300 pairs of segments of length `size` across collections, each passing the other at a
    random gap below or above half their length, side by side along x."""
    rng = np.random.default_rng(int(-math.log10(size)) + 40)
    vertices = []
    for k in range(300):
        direction = rng.normal(size=(2, 3))
        direction /= np.linalg.norm(direction, axis=1, keepdims=True)
        normal = np.cross(direction[0], direction[1])
        normal /= np.linalg.norm(normal)
        middle = np.array([k * 10.0, 0, 0]) + rng.uniform(-0.2, 0.2, (2, 3))
        middle[1] = middle[0] + normal * rng.uniform(0, 1.0)
        for m, d in zip(middle, direction):
            vertices.append((np.array([m - d / 2, m + d / 2]) * size).astype(np.float32))
    threshold = size / 2
    edges = [np.array([[0, 1]])] * len(vertices)
    collections = np.arange(len(vertices)) % 2
    expected = []
    for k in range(0, len(vertices), 2):
        d = reference.segment_distances(*(v[None, n] for v in vertices[k:k + 2] for n in (0, 1)))[0]
        assert abs(d - threshold) > 1e-9 * threshold
        if d < threshold:
            expected.append([k, k + 1])
    assert 100 < len(expected) < 250
    assert pairs(vertices, threshold, edges, collections) == expected


# ---- Exactly at the threshold: integer coordinates, distances that tie exactly.

def tie_scene():
    """Pairs of cells 4, 5 and 6 apart: single vertices in one collection, and across
    collections skew edges (closest points inside both) and edges meeting end to end."""
    offsets = {4: [0, 4, 0], 5: [3, 4, 0], 6: [2, 4, 4]}
    cells = []
    for d, (ox, oy, oz) in offsets.items():
        y = 50 * d
        cells += [([[0, y, 0]], 0), ([[ox, y + oy, oz]], 0)]
        cells += [([[90, y, 0], [110, y, 0]], 0), ([[100, y - 10, d], [100, y + 10, d]], 1)]
        cells += [([[150, y, 0], [160, y, 0]], 0),
                  ([[160 + ox, y + oy, oz], [160 + ox, y + oy + 10, oz]], 1)]
    vertices = [np.array(v, np.float64) for v, _ in cells]
    edges = [np.array([[0, 1]] if len(v) == 2 else np.zeros((0, 2)), np.int64) for v, _ in cells]
    return vertices, edges, np.array([c for _, c in cells])


@pytest.mark.parametrize("scale", [2.0 ** -70, 2.0 ** -20, 1.0, 2.0 ** 40, 2.0 ** 70],
                         ids=["below-float-pass", "small", "unit", "large", "above-float-pass"])
def test_pairs_exactly_at_the_threshold_are_not_close(scale):
    """At threshold 5 only the pairs 4 apart; just above it, those 5 apart too. The float pass
    proves the pairs 4 apart close and those 6 apart not, and leaves those 5 apart to double;
    thresholds of 5 * 2^-70 and 5 * 2^70 take the double loops outside its range."""
    vertices, edges, collections = tie_scene()
    scaled = [(v * scale).astype(np.float32) for v in vertices]
    assert all((s == v * scale).all() for s, v in zip(scaled, vertices))
    at_4, at_5 = [], []
    for k in range(0, len(vertices), 2):
        d = reference.closest_approach({"vertices": vertices[k], "edges": edges[k]},
                                       {"vertices": vertices[k + 1], "edges": edges[k + 1]},
                                       collections[k] == collections[k + 1])
        assert d in (4.0, 5.0, 6.0)
        (at_4 if d == 4.0 else at_5 if d == 5.0 else []).append([k, k + 1])
    assert len(at_4) == len(at_5) == 3
    assert pairs(scaled, 5.0 * scale, edges, collections) == at_4
    above = pairs(scaled, math.nextafter(5.0 * scale, math.inf), edges, collections)
    assert above == sorted(at_4 + at_5)


def test_a_pair_s_verdict_depends_neither_on_the_order_of_the_cells_nor_on_the_others():
    # Far from the origin the float32 coordinates are whole multiples of a huge step and a
    # threshold far below it leaves every edge pair to the double steps, whose rounding then
    # decides; those from one segment and from the other round differently. The search meets a
    # pair's cells in its tree's order, which depends on every cell of the scene.
    rng = np.random.default_rng(11)
    step = float(np.spacing(np.float32(2e34)))
    low = rng.integers(0, 6, (300, 3)) * step + 2e34
    vertices = [(lo + rng.integers(0, 4, (8, 3)) * step).astype(np.float32) for lo in low]
    collections = rng.integers(0, 3, 300)
    whole = set(map(tuple, pairs(vertices, 0.05, [CUBE_EDGES] * 300, collections)))
    assert 1000 < len(whole) < 300 * 299 // 2
    for seed in range(4):
        order = np.random.default_rng(seed).permutation(300)
        found = pairs([vertices[k] for k in order], 0.05, [CUBE_EDGES] * 300, collections[order])
        assert {tuple(sorted((order[i], order[j]))) for i, j in found} == whole
    for i, j in list(whole)[:200] + [(i, i + 1) for i in range(200)]:
        alone = pairs([vertices[i], vertices[j]], 0.05, [CUBE_EDGES] * 2, collections[[i, j]])
        assert (alone == [[0, 1]]) == ((i, j) in whole), (i, j)
