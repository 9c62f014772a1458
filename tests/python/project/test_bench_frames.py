"""bench/frames.py: the moving-cells benchmark runs end to end at its quick size and prints its
tables; its scenes move the cubes as it says and its checks see a wrong frame. No timing is
asserted."""
import subprocess
import sys
from pathlib import Path
from types import SimpleNamespace

import numpy as np
import pytest

ROOT = Path(__file__).resolve().parents[3]
sys.path.insert(0, str(ROOT / "bench"))

import frames  # noqa: E402
from hull_peers import coal_available  # noqa: E402


def test_quick_run_prints_every_table():
    pytest.importorskip("scipy")
    command = [sys.executable, str(ROOT / "bench" / "frames.py"), "--quick", "--cubes", "300",
               "--pieces", "200"] + ([] if coal_available() else ["--no-coal"])
    completed = subprocess.run(command, capture_output=True, text=True, timeout=300)
    assert completed.returncode == 0, completed.stderr
    out = completed.stdout
    assert out.startswith("Machine: ") and "FAILED" not in out
    rows = {rule: [line for line in out.splitlines() if line.startswith(f"| {rule} | 300 | 10 |")]
            for rule in frames.RULES}
    assert all(len(found) == 1 for found in rows.values()), out
    assert "| 300 | 2 |" in out and "| 200 | 10 |" in out
    if frames.Tracker is None:
        assert frames.NO_TRACKER in out
    else:
        assert all("identical (2 frames)" in found[0] for found in rows.values())
    if coal_available():
        assert "coal: DynamicAABBTree" in out
        assert not [line for line in out.splitlines() if "coal DIFFERS" in line]


def test_the_drift_steps_stay_within_a_hundredth_of_a_side_and_keep_the_cubes_whole():
    scene = frames.cubes(27)
    corners = scene.vertices.astype(np.float64).reshape(27, 8, 3)
    previous = corners
    for vertices in frames.drifting(scene, 5):
        now = vertices.astype(np.float64).reshape(27, 8, 3)
        step = now - previous
        # Each cube moves whole (every corner by the same step), by at most 1 % of its side.
        np.testing.assert_allclose(step, step[:, :1].repeat(8, axis=1), atol=1e-6)
        assert np.linalg.norm(step[:, 0], axis=1).max() <= frames.DRIFT_STEP * frames.CUBE_SIDE + 1e-6
        assert np.linalg.norm(step[:, 0], axis=1).min() > 0
        previous = now


def test_every_teleport_sends_every_cube_to_another_lattice_site():
    scene = frames.cubes(64)
    low = scene.vertices.reshape(64, 8, 3).min(axis=1)
    sites, shape = np.round(low), scene.vertices.reshape(64, 8, 3) - low[:, None]
    all_sites = {tuple(s) for s in sites.tolist()}
    for vertices in frames.teleports(scene, 3):
        corners = vertices.reshape(64, 8, 3)
        now_low = corners.min(axis=1)
        now = np.round(now_low)
        assert np.abs(now_low - now).max() <= frames.CUBE_MOVE + 1e-6
        assert {tuple(s) for s in now.tolist()} == all_sites          # a permutation of the sites
        assert (np.abs(now - sites).sum(axis=1) > 0).all()             # that moves every cube
        np.testing.assert_allclose(corners - now_low[:, None], shape, atol=1e-5)
        sites = now


def test_the_checks_see_a_frame_that_differs_from_a_fresh_call():
    pairs = np.array([[0, 1], [0, 2], [3, 4]], np.int32)
    began, ended = frames.pair_changes(pairs[:2], pairs[1:])
    np.testing.assert_array_equal(began, [[3, 4]])
    np.testing.assert_array_equal(ended, [[0, 1]])
    assert began.dtype == np.int32 and frames.pair_changes(pairs, pairs)[0].shape == (0, 2)
    fresh = SimpleNamespace(pairs=pairs, distances=np.ones(3, np.float32), gaps=None, witnesses=None,
                            n_links=5, threshold=0.2, rule="vertices-edges")
    frame = SimpleNamespace(**{**vars(fresh), "distances": np.array([1, 1, 2], np.float32),
                               "gaps": np.zeros(3), "frame": 4, "began": began, "ended": ended})
    assert frames.mismatches(frame, fresh) == ["distances", "gaps"]
    checked = frames.Checked()
    checked.add(4, frame, fresh)
    checked.add(5, fresh, fresh)
    assert checked.text() == "FAILED: frame 4: distances, gaps differ from a fresh call"
    # began/ended checked against the previous frame's pairs: here they are its change.
    moved = SimpleNamespace(pairs=pairs[1:], began=began, ended=ended, frame=4)
    assert frames.changes_mismatch(moved, pairs[:2]) is None
    assert "frame 4: began/ended (1/1)" in frames.changes_mismatch(moved, pairs)
