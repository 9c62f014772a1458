"""find_neighbors loses no pair and decides each as double arithmetic does, wherever and however
crowded the cells; and what it is given (pickles, copies, thresholds) is checked."""
import copy
import multiprocessing
import pickle
import time

import numpy as np
import pytest

import cellprox
from cellprox import _gather, _proximity
from cellprox.fracture import voronoi_fracture
from conftest import ticking_thread
from reference import segment_distances


def plain_rule(vertices, edges, collections, threshold):
    """The vertices-and-edges rule written plainly in float64 over every pair of cells whose
    vertex boxes come within the threshold (no other pair can be close), with each pair's
    origin-free verdict: {(i, j)} of the close pairs, and the pairs within 1e-12 of the
    threshold, where rounding may decide."""
    points = [np.asarray(v, np.float64) for v in vertices]
    lower = np.array([p.min(axis=0) if len(p) else np.full(3, np.inf) for p in points])
    upper = np.array([p.max(axis=0) if len(p) else np.full(3, -np.inf) for p in points])
    close, unsure = set(), set()
    for i in range(len(points)):
        near = ((lower[i] - upper <= threshold) & (lower - upper[i] <= threshold)).all(axis=1)
        for j in np.flatnonzero(near[i + 1:]) + i + 1:
            if collections[i] == collections[j]:
                if not len(points[i]) or not len(points[j]):
                    continue
                d = np.linalg.norm(points[i][:, None] - points[j][None], axis=2).min()
            else:
                ea, eb = np.asarray(edges[i]).reshape(-1, 2), np.asarray(edges[j]).reshape(-1, 2)
                if not len(ea) or not len(eb):
                    continue
                ia, ib = np.repeat(np.arange(len(ea)), len(eb)), np.tile(np.arange(len(eb)), len(ea))
                pa, pb = points[i], points[j]
                d = segment_distances(pb[eb[ib, 0]], pb[eb[ib, 1]], pa[ea[ia, 0]], pa[ea[ia, 1]]).min()
            if abs(d - threshold) <= 1e-12 * max(threshold, 1.0):
                unsure.add((i, int(j)))
            elif d < threshold:
                close.add((i, int(j)))
    return close, unsure


def assert_matches_plain_rule(result, vertices, edges, collections, threshold):
    close, unsure = plain_rule(vertices, edges, collections, threshold)
    found = set(map(tuple, result.pairs.tolist()))
    assert found - unsure == close - unsure
    origins = result.cells.origins.astype(np.float64)
    exact = np.linalg.norm(origins[result.pairs[:, 0]] - origins[result.pairs[:, 1]], axis=1)
    np.testing.assert_array_equal(result.distances, exact.astype(np.float32))
    return close


@pytest.fixture(scope="module")
def crowded():
    """150 cells in two collections, and one spacing of their seeds."""
    fracture = voronoi_fracture(150, seed=5, collections=2)
    return fracture, (1.0 / 150) ** (1 / 3)


@pytest.mark.parametrize("spacings", [0.5, 1.0, 2.0])
def test_crowded_fractures_lose_no_pair(crowded, spacings):
    fracture, spacing = crowded
    threshold = spacings * spacing
    result = cellprox.find_neighbors(fracture, threshold)
    close = assert_matches_plain_rule(result, fracture.vertices, fracture.edges,
                                      fracture.collections, threshold)
    assert {tuple(p) for p in fracture.neighbors.tolist()} <= close
    assert result.missed_pairs == 0 and len(close) > 700 * spacings


def test_the_hull_rule_loses_no_pair_in_a_crowd(crowded):
    fracture, spacing = crowded
    result = cellprox.find_neighbors(fracture, 2 * spacing, rule="hull")
    # Candidates are the pairs of boxes within the threshold; a hull pair's boxes are too.
    lower = np.array([v.min(axis=0) for v in fracture.vertices], np.float64)
    upper = np.array([v.max(axis=0) for v in fracture.vertices], np.float64)
    near = ((lower[:, None] - upper[None] <= 2 * spacing) & (lower[None] - upper[:, None] <= 2 * spacing)).all(axis=2)
    assert result.n_links == int(np.triu(near, 1).sum())
    assert len(result) > 0.5 * result.n_links


def test_cells_far_away_change_no_pair_and_no_distance(crowded):
    fracture, _ = crowded
    alone = cellprox.find_neighbors(fracture, 0.001)
    cube = np.array([[c & 1, c >> 1 & 1, c >> 2 & 1] for c in range(8)], np.float32) * 0.1
    edges = [[c, c | 1 << a] for c in range(8) for a in range(3) if not c >> a & 1]
    for far in (1e6, 1e8, 1e30):
        for sign in (1, -1):
            outliers = [cube + np.float32(sign * far), cube - np.float32(sign * far / 3)]
            cells = cellprox.CellSet(list(fracture.vertices) + outliers, list(fracture.edges) + [edges] * 2,
                                     origins=np.concatenate([fracture.origins, [o[0] for o in outliers]]),
                                     collections=np.concatenate([fracture.collections, [0, 1]]))
            for rule in ("vertices-edges", "hull"):
                spread = cellprox.find_neighbors(cells, 0.001, rule=rule)
                base = alone if rule == "vertices-edges" else cellprox.find_neighbors(fracture, 0.001, rule=rule)
                np.testing.assert_array_equal(spread.pairs, base.pairs)
                np.testing.assert_array_equal(spread.distances, base.distances)


def test_short_edges_across_long_ones_far_out_are_decided_in_double():
    """A 0.002-long edge passing about 1e-4 from a 4000-long edge of the other collection, a
    few thousand units from the origin, where float32 resolution is 2.4e-4."""
    rng = np.random.default_rng(17)
    vertices, edges, collections = [], [], []
    for _ in range(60):
        base = rng.uniform(2000, 4000, 3)
        direction = rng.normal(size=3)
        direction /= np.linalg.norm(direction)
        near = base + rng.uniform(-2e-4, 2e-4, 3)
        vertices += [np.float32([base - 2000 * direction, base + 2000 * direction]),
                     np.float32([near, near + rng.uniform(-0.0015, 0.0015, 3)])]
        edges += [[[0, 1]], [[0, 1]]]
        collections += [0, 1]
    for threshold in (1e-4, 2e-4, 1e-3):
        result = cellprox.find_neighbors(vertices, threshold, edges=edges, collections=collections)
        close = assert_matches_plain_rule(result, vertices, edges, collections, threshold)
        assert close
    # One that float32 arithmetic decides wrongly (7.9e-5 apart, "not close").
    long_edge = np.float32([[3758.16552734375, 3983.446533203125, 4106.44091796875],
                            [4241.04638671875, 591.101318359375, 2042.75]])
    short = np.float32([[3999.60595703125, 2287.27392578125, 3074.595703125],
                        [3999.60595703125, 2287.2724609375, 3074.59423828125]])
    pair = cellprox.find_neighbors([long_edge, short], 0.001, edges=[[[0, 1]]] * 2, collections=[0, 1])
    assert pair.pairs.tolist() == [[0, 1]]


def test_distances_beyond_float32_squares_are_measured():
    lone = [np.float32([[-2.5e19, 0, 0]]), np.float32([[2.5e19, 0, 0]])]
    result = cellprox.find_neighbors(lone, 1e20, edges=[np.zeros((0, 2), np.int32)] * 2)
    assert result.pairs.tolist() == [[0, 1]] and result.distances.tolist() == [np.float32(5e19)]
    assert len(cellprox.find_neighbors(lone, 4.9e19, edges=[np.zeros((0, 2), np.int32)] * 2)) == 0


def test_crafted_pickles_are_refused_and_loaded_sets_own_their_arrays():
    fracture = voronoi_fracture(4, seed=1)
    cells = fracture.cell_set()
    links, starts, counts = cellprox.link_tables(4)
    links[0, :3], counts[0], starts[0] = [1, 2, 3], 3, 0
    cells.attach_links(links, starts, counts)
    reduced, (state,) = cells.__reduce__()
    for key, value, words in (
            ("e_counts", np.array([24 + 10**8, -10**8, 0, 0]), "e_counts is -100000000"),
            ("v_counts", np.array([2**31, 0, 0, 0]), "v_counts is 2147483648"),
            ("v_counts", state["v_counts"][:3], "3 vertex counts but 4 edge counts"),
            ("e_counts", np.array([1.5, 0, 0, 0]), "e_counts must be one integer count per cell"),
            ("vertex_data", state["vertex_data"][1:], "do not match their cell counts"),
            ("edge_data", state["edge_data"] + 100, "edge 0 is")):
        with pytest.raises(ValueError, match=words):
            reduced(dict(state, **{key: value}))
    for protocol in (2, 5):
        loaded = pickle.loads(pickle.dumps(cells, protocol=protocol))
        assert loaded.links is not None and not np.shares_memory(loaded.links, cells.links)
        np.testing.assert_array_equal(loaded.links, cells.links)
        assert loaded.links.flags.owndata or loaded.links.base is None or \
            not isinstance(loaded.links.base, (bytes, bytearray, memoryview))
    for clone in (copy.copy(cells), cells.copy(), copy.deepcopy(cells)):
        assert not np.shares_memory(clone.links, cells.links)
        assert clone.records.ctypes.data != cells.records.ctypes.data
        clone.links[0, 0] = 3
        assert cells.links[0, 0] == 1
    assert not np.shares_memory(copy.deepcopy(cells).vertex_data, cells.vertex_data)


def test_private_modules_name_the_item_widths_they_want():
    points = np.zeros((4, 3), np.float32)
    with pytest.raises(TypeError, match="counts must be a C-contiguous 1-dimensional int64 array"):
        _gather.run_bounds(points, np.array([4], np.uint8), *np.empty((2, 1, 3), np.float32))
    with pytest.raises(TypeError, match="lower must be a C-contiguous, writable 2-dimensional float32"):
        _gather.run_bounds(points, np.array([4]), np.empty((1, 3)), np.empty((1, 3), np.float32))
    starts, none = np.array([0, 4], np.int64), np.zeros((0, 2), np.int32)
    arrays = [points, starts, none, np.array([0, 0], np.int64), np.zeros((1, 3), np.float32),
              np.zeros(1, np.int32)]
    for k, (name, bad) in enumerate((("vertices", points.astype(np.float64)),
                                     ("vertex_starts", starts.astype(np.int32)),
                                     ("edges", none.astype(np.int64)),
                                     ("edge_starts", starts.astype(np.uint64)),
                                     ("origins", points[:1].astype(np.float16)),
                                     ("collections", np.zeros(1, np.int8)))):
        with pytest.raises(TypeError, match=f"^{name} must be a C-contiguous {bad.ndim}-dimensional"):
            _proximity.close_pairs(*arrays[:k], bad, *arrays[k + 1:], 0.1, "hull")


# --- Long calls ------------------------------------------------------------------------------

def crowd(cells, seed=0):
    """Cells of 8 random points all within reach of each other: every pair is a candidate."""
    points = np.random.default_rng(seed).uniform(0, 1, (cells, 8, 3)).astype(np.float32)
    return cellprox.CellSet(list(points), [np.zeros((0, 2), np.int32)] * cells)


def test_the_search_reports_progress_and_stops_when_told():
    cells = crowd(600)
    seen = []
    arrays = cells.search_arrays()
    result = _proximity.close_pairs(*arrays, 1.0, "hull", False, lambda done, total: seen.append((done, total)))
    assert result[4] == 600 * 599 // 2
    assert len(seen) > 1 and seen[-1] == (600, 600) and [d for d, _ in seen] == sorted({d for d, _ in seen})

    class Enough(Exception):
        pass

    def stop(done, total):
        raise Enough(done)

    with pytest.raises(Enough):
        _proximity.close_pairs(*arrays, 1.0, "hull", False, stop)
    assert len(cellprox.find_neighbors(cells, 1.0, rule="hull")) == 600 * 599 // 2


INTERRUPTED = """
import os, signal, threading, time
import numpy as np
import cellprox
points = np.random.default_rng(0).uniform(0, 1, (5000, 8, 3)).astype(np.float32)
cells = cellprox.CellSet(list(points), [np.zeros((0, 2), np.int32)] * 5000)
threading.Timer(1.0, lambda: os.kill(os.getpid(), signal.SIGINT)).start()
try:
    cellprox.find_neighbors(cells, 1.0, rule="hull")     # about 12 million candidates
    print("finished")
except KeyboardInterrupt:
    print("interrupted")
print(len(cellprox.find_neighbors(list(points[:3]), 1.0, rule="hull")))
"""


def test_ctrl_c_stops_a_long_search_and_the_next_call_works(python_subprocess):
    code, out, err = python_subprocess(INTERRUPTED)
    assert code == 0, err
    assert out.split() == ["interrupted", "3"], out + err


def measure_crowd(_=None):
    return _proximity.close_pairs(*crowd(1000).search_arrays(), 1.0, "hull")[4]


def test_the_lock_is_released_and_a_forked_child_completes():
    with ticking_thread() as ticks:
        started = time.perf_counter()
        candidates = measure_crowd()
        elapsed = time.perf_counter() - started
    assert candidates == 1000 * 999 // 2
    assert elapsed > 0.05, "the call was too quick to show anything"
    assert ticks.longest_stall < elapsed / 2     # the lock was not held for the whole call
    # A team of threads that the parent used does not exist in a forked child; its calls must
    # still complete, with the same result.
    if "fork" in multiprocessing.get_all_start_methods():
        with multiprocessing.get_context("fork").Pool(1) as pool:
            assert pool.map_async(measure_crowd, [0]).get(timeout=120) == [candidates]


def test_the_private_module_checks_what_memory_safety_rests_on():
    cube = np.array([[c & 1, c >> 1 & 1, c >> 2 & 1] for c in range(8)], np.float32)
    cells = cellprox.CellSet([cube, cube + 1], [[[0, 1], [1, 3]]] * 2, collections=[0, 1])
    good = list(cells.search_arrays())
    assert _proximity.close_pairs(*good, 0.0, "hull")[4] == 1
    for k, bad, error in (
            (0, good[0][::2], TypeError),                               # not contiguous
            (1, np.array([0, 8, 17], np.int64), ValueError),            # past the end
            (1, np.array([1, 8, 16], np.int64), ValueError),            # not from 0
            (1, np.array([0, 16, 8], np.int64), ValueError),            # falling
            (2, np.array([[0, 1], [1, 8], [0, 1], [1, 3]], np.int32), ValueError),   # vertex 8 of 8
            (2, np.array([[0, 1], [1, -1], [0, 1], [1, 3]], np.int32), ValueError),
            (3, np.array([0, 2], np.int64), ValueError),                # one start too few
            (4, np.float32([[0, 0, 0], [np.inf, 0, 0]]), ValueError),
            (5, np.zeros(3, np.int32), ValueError)):
        arrays = list(good)
        arrays[k] = bad
        with pytest.raises(error):
            _proximity.close_pairs(*arrays, 0.1, "vertices-edges")
    nan = good[0].copy()
    nan[3, 1] = np.nan
    with pytest.raises(ValueError, match="not finite"):
        _proximity.close_pairs(nan, *good[1:], 0.1, "hull")
    empty = [np.zeros((0, 3), np.float32), np.array([0, 0], np.int64), *good[2:]]
    empty[3] = np.array([0, 0], np.int64)
    empty[2] = np.zeros((0, 2), np.int32)
    empty[4], empty[5] = good[4][:1], good[5][:1]
    assert _proximity.close_pairs(*empty, 0.1, "vertices-edges")[4] == 0
    with pytest.raises(ValueError, match="no vertices"):
        _proximity.close_pairs(*empty, 0.1, "hull")
    for threshold, rule in ((-1.0, "hull"), (float("nan"), "hull"), (0.1, "hulls")):
        with pytest.raises(ValueError):
            _proximity.close_pairs(*good, threshold, rule)
    with pytest.raises(TypeError, match="watch"):
        _proximity.close_pairs(*good, 0.1, "hull", False, 42)
    with pytest.raises(ValueError, match="64-byte"):
        _proximity.debug_dump(b"x" * 65)
