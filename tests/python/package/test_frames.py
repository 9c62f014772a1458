"""The Tracker: every frame what a fresh find_neighbors gives, the changes between frames, and a
frame that fails leaving the tracker where it was."""
import pickle
import threading

import numpy as np
import pytest

import cellprox
import cellprox.frames
from cells import cubes


def drifting_cubes(n_side=7, seed=0):
    """Cubes on a jittered lattice in two collections, as a CellSet."""
    rng = np.random.default_rng(seed)
    lattice = np.stack(np.meshgrid(*[np.arange(n_side)] * 3, indexing="ij"), -1).reshape(-1, 3)
    lower = lattice + rng.uniform(-0.1, 0.1, lattice.shape)
    return cubes(lower, np.full(len(lower), 0.8), collections=np.arange(len(lower)) % 2)


def frames_of(cells, rng, count):
    """Vertices frame by frame: drift, cells at rest, a teleport, a collapse, a swelling."""
    vertices = cells.vertex_data.astype(np.float64)
    owners = np.repeat(np.arange(len(cells)), cells.v_counts)
    for t in range(count):
        step = rng.uniform(-0.01, 0.01, (len(cells), 3))
        step[rng.uniform(size=len(cells)) < 0.3] = 0.0          # some cells rest
        vertices = vertices + step[owners]
        if t == count // 3:                                    # everything somewhere else
            vertices = vertices + rng.permutation(cells.origins.astype(np.float64))[owners] - \
                cells.origins[owners]
        if t == count // 2:                                    # a few cells collapse to a point
            first = cells.vertex_starts[::9]
            for start, size in zip(first, cells.v_counts[::9]):
                vertices[start:start + size] = vertices[start]
        if t == 2 * count // 3:                                # the scene swells a little
            vertices = vertices * 1.02
        yield vertices.astype(np.float32)


def same_result(frame, fresh):
    np.testing.assert_array_equal(frame.pairs, fresh.pairs)
    np.testing.assert_array_equal(frame.distances, fresh.distances)
    for name in ("gaps", "witnesses"):
        a, b = getattr(frame, name), getattr(fresh, name)
        assert (a is None) == (b is None)
        if a is not None:
            np.testing.assert_array_equal(a, b)


def changes(before, now):
    old, new = set(map(tuple, before.tolist())), set(map(tuple, now.tolist()))
    return sorted(new - old), sorted(old - new)


@pytest.mark.parametrize("rule, witnesses", [("vertices-edges", False), ("hull", False), ("hull", True)])
def test_every_frame_is_a_fresh_calls_and_the_changes_are_its_differences(rule, witnesses):
    cells = drifting_cubes()
    tracker = cellprox.Tracker(cells, 0.2, rule=rule, witnesses=witnesses, workers=2)
    first = tracker.result
    same_result(first, cellprox.find_neighbors(cells, 0.2, rule=rule, witnesses=witnesses))
    np.testing.assert_array_equal(first.began, first.pairs)
    before, works = first.pairs, set()
    for t, vertices in enumerate(frames_of(cells, np.random.default_rng(1), 24)):
        frame = tracker.update(vertices)
        fresh = cellprox.find_neighbors(tracker.cells, 0.2, rule=rule, witnesses=witnesses, workers=1)
        same_result(frame, fresh)
        assert frame == fresh and frame.frame == t + 1 == tracker.frame
        began, ended = changes(before, fresh.pairs)
        assert list(map(tuple, frame.began.tolist())) == began
        assert list(map(tuple, frame.ended.tolist())) == ended
        np.testing.assert_array_equal(tracker.cells.vertex_data, vertices)
        before = fresh.pairs
        works.add(frame.work)
    assert works == set(cellprox.frames.FRAME_WORK)
    assert tracker.rebuilds >= 1


def test_the_same_frames_on_any_team_and_with_any_skin():
    cells = drifting_cubes(6, seed=3)
    trackers = [cellprox.Tracker(cells, 0.15, workers=1), cellprox.Tracker(cells, 0.15, workers=3),
                cellprox.Tracker(cells, 0.15, skin=0.0), cellprox.Tracker(cells, 0.15, skin=2.0)]
    for vertices in frames_of(cells, np.random.default_rng(4), 10):
        frames = [tracker.update(vertices) for tracker in trackers]
        for frame in frames[1:]:
            same_result(frame, frames[0])
            np.testing.assert_array_equal(frame.began, frames[0].began)
    assert trackers[3].skin == 2.0


def test_origins_move_with_the_frame_or_are_the_vertex_means():
    cells = drifting_cubes(4)
    tracker = cellprox.Tracker(cells, 0.2)
    moved = cells.vertex_data + np.float32(0.5)
    means = cellprox.CellSet.from_packed(moved, np.r_[0, np.cumsum(cells.v_counts)],
                                         cells.edge_data, np.r_[0, np.cumsum(cells.e_counts)],
                                         collections=cells.collections)
    np.testing.assert_array_equal(tracker.update(moved).cells.origins, means.origins)
    mine = np.arange(3 * len(cells), dtype=np.float64).reshape(-1, 3)
    frame = tracker.update(moved, origins=mine)
    np.testing.assert_array_equal(frame.cells.origins, mine.astype(np.float32))
    same_result(frame, cellprox.find_neighbors(frame.cells, 0.2))


def test_a_bad_frame_is_refused_by_name_and_leaves_the_tracker_as_it_was():
    cells = drifting_cubes(4)
    tracker = cellprox.Tracker(cells, 0.2)
    good = next(frames_of(cells, np.random.default_rng(2), 1))
    before = tracker.update(good)
    nan = good.copy()
    nan[8 * 5 + 3, 1] = np.nan
    huge = good.astype(np.float64)
    huge[0, 0] = 1e300
    for bad, origins, error, words in [
            (good[:-1], None, ValueError, "rows"), (good[:, :2], None, ValueError, "shape"),
            (nan, None, ValueError, "cell 5"), (huge, None, ValueError, "cell 0"),
            (good.astype(str), None, TypeError, "dtype"),
            (good, np.zeros((3, 3)), ValueError, "origins"),
            (good, np.full((len(cells), 3), np.inf), ValueError, "origin")]:
        with pytest.raises(error, match=words):
            tracker.update(bad, origins)
        assert tracker.frame == 1 and tracker.result is before
    moved = good + np.float32(0.003)
    frame = tracker.update(moved)
    same_result(frame, cellprox.find_neighbors(tracker.cells, 0.2))
    began, ended = changes(before.pairs, frame.pairs)
    assert list(map(tuple, frame.began.tolist())) == began and list(map(tuple, frame.ended.tolist())) == ended


def test_an_interrupted_frame_leaves_the_tracker_at_the_frame_before(monkeypatch):
    cells = drifting_cubes(5)
    tracker = cellprox.Tracker(cells, 0.2, progress=True)
    before = tracker.result

    def interrupting(bar):
        def follow(done, total):
            raise KeyboardInterrupt
        return follow

    monkeypatch.setattr(cellprox.frames, "_follow", interrupting)
    moved = cells.vertex_data + np.float32(0.01)
    with pytest.raises(KeyboardInterrupt):
        tracker.update(moved)
    assert tracker.frame == 0 and tracker.result is before and tracker.cells is cells
    monkeypatch.undo()
    frame = tracker.update(moved)
    same_result(frame, cellprox.find_neighbors(tracker.cells, 0.2))
    assert frame.frame == 1


def test_one_frame_at_a_time(monkeypatch):
    cells = drifting_cubes(5)
    tracker = cellprox.Tracker(cells, 0.2, progress=True)
    refused = []

    def reentering(bar):
        def follow(done, total):
            if not refused:
                with pytest.raises(RuntimeError, match="one frame at a time") as caught:
                    tracker.update(cells.vertex_data)
                refused.append(caught.value)
        return follow

    monkeypatch.setattr(cellprox.frames, "_follow", reentering)
    frame = tracker.update(cells.vertex_data + np.float32(0.01))
    assert refused and frame.frame == 1
    # Threads each with a tracker of their own run side by side.
    results = {}

    def follow_alone(k):
        own = cellprox.Tracker(cells, 0.2, workers=2)
        results[k] = own.update(cells.vertex_data + np.float32(0.01))

    threads = [threading.Thread(target=follow_alone, args=(k,)) for k in range(3)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for k in range(3):
        same_result(results[k], frame)


def test_a_tracker_pickles_its_cells_and_settings_and_its_results_pickle():
    cells = drifting_cubes(4)
    tracker = cellprox.Tracker(cells, 0.25, rule="hull", witnesses=True, skin=0.05)
    for vertices in frames_of(cells, np.random.default_rng(6), 3):
        frame = tracker.update(vertices)
    loaded = pickle.loads(pickle.dumps(tracker))
    assert loaded.frame == tracker.frame == 3 and loaded.rule == "hull" and loaded.threshold == 0.25
    same_result(loaded.result, frame)
    moved = tracker.cells.vertex_data + np.float32(0.002)
    same_result(loaded.update(moved), tracker.update(moved))
    assert loaded.skin == tracker.skin == 0.05
    result = pickle.loads(pickle.dumps(frame))
    assert isinstance(result, cellprox.FrameResult) and result == frame
    np.testing.assert_array_equal(result.began, frame.began)
    assert (result.frame, result.work, result.measured) == (frame.frame, frame.work, frame.measured)
    state = frame.__reduce_ex__(2)[2]
    state["began"] = np.array([[0, len(cells)]])
    with pytest.raises(ValueError, match="began"):
        cellprox.FrameResult.__new__(cellprox.FrameResult).__setstate__(state)


@pytest.mark.parametrize("arguments, error, words", [
    ({"skin": -1.0}, ValueError, "skin"), ({"skin": "wide"}, TypeError, "skin"),
    ({"skin": float("nan")}, ValueError, "skin"), ({"threshold": 0.0}, ValueError, "threshold"),
    ({"rule": "touch"}, ValueError, "rule"), ({"witnesses": True}, ValueError, "hull"),
    ({"workers": 0}, ValueError, "workers")])
def test_bad_settings_name_what_is_wrong(arguments, error, words):
    settings = {"threshold": 0.2, **arguments}
    threshold = settings.pop("threshold")
    with pytest.raises(error, match=words):
        cellprox.Tracker(drifting_cubes(2), threshold, **settings)
