"""bench/cores.py: the workers benchmark runs end to end at a tiny size and prints its tables; its
scene, its Amdahl fit and its verdicts say what the numbers say. No timing is asserted."""
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

ROOT = Path(__file__).resolve().parents[3]
sys.path.insert(0, str(ROOT / "bench"))

import cores  # noqa: E402
import cores_report  # noqa: E402
import process_usage  # noqa: E402


def test_quick_run_prints_every_table():
    completed = subprocess.run(
        [sys.executable, str(ROOT / "bench" / "cores.py"), "--quick", "--divide", "1000", "--repeat", "1"],
        capture_output=True, text=True, timeout=300)
    assert completed.returncode == 0, completed.stderr
    out = completed.stdout
    assert out.startswith("Machine: ")
    assert "| workload | workers | median wall | cores busy | speed-up |" in out
    for kind in ("jittered cubes", "jittered Voronoi cells", "Voronoi cells in two collections"):
        rows = [line for line in out.splitlines() if kind in line and "ms |" in line]
        stages = {line.split(" | ")[1] for line in rows}
        # Both counts in the speed table; every stage and the whole call in the fit.
        assert {"1", "2"} <= stages
        assert {"prepare", "tree", "candidates", "measure", "collect", "whole call"} <= stages
    for call in ("CellSet.from_packed", "voronoi_fracture"):
        assert any(line.startswith(f"| {call}") for line in out.splitlines()), call
    first = [line for line in out.splitlines() if line.startswith("| 1,000 |")]
    assert len(first) == 4 and sum("two busy loops" in line for line in first) == 2


def test_each_count_runs_in_its_own_process_every_round():
    measured = cores.measure("voronoi", 60, [1, 2], 3, cache=False)
    assert sorted(measured) == [1, 2]
    for memory in measured.values():
        assert len(memory["runs"]) == 3
        assert all(run["wall"] > 0 and set(run["timings"]) >= {"tree", "measure"} for run in memory["runs"])
        # The calls' peak starts from the memory at rest; the process's own peak also saw the scene made.
        assert 0 < memory["rest"] <= memory["peak"] <= memory["maxrss"]


@pytest.mark.parametrize("n", [1, 27, 30])
def test_jittered_cubes_are_moved_whole_on_the_unit_lattice(n):
    (vertices, vertex_offsets, edges, edge_offsets), collections = cores.jittered_cubes(n)
    assert len(vertex_offsets) == n + 1 and vertex_offsets[-1] == len(vertices) == 8 * n
    assert edge_offsets[-1] == len(edges) == 12 * n
    corners = vertices.reshape(n, 8, 3).astype(np.float64)
    low, high = corners.min(axis=1), corners.max(axis=1)
    np.testing.assert_allclose(high - low, cores.CUBE_SIDE, rtol=1e-6)
    lattice = np.round(low)
    assert np.abs(low - lattice).max() <= cores.CUBE_MOVE + 1e-6
    assert len(np.unique(lattice, axis=0)) == n
    np.testing.assert_array_equal(collections, np.arange(n) % 2)
    again, _ = cores.jittered_cubes(n)
    np.testing.assert_array_equal(again[0], vertices)


def test_amdahl_fit_finds_the_serial_share():
    def times(share, counts, t1=2.0):
        return [t1 * (share + (1 - share) / p) for p in counts]
    assert cores_report.amdahl_fit([1, 2], times(0.25, [1, 2])) == pytest.approx(0.25)
    counts = [1, 2, 4, 8]
    noisy = np.array(times(0.1, counts)) * [1.0, 1.01, 0.99, 1.0]
    assert cores_report.amdahl_fit(counts, list(noisy)) == pytest.approx(0.1, abs=0.01)
    # Slower with more workers: all serial, not a share above one; one count: no fit.
    assert cores_report.amdahl_fit([1, 2], [1.0, 1.2]) == 1.0
    assert cores_report.amdahl_fit([2, 2], [1.0, 1.0]) is None
    assert cores_report.predicted(0.0, 64) == pytest.approx(64)
    assert cores_report.predicted(0.5, 8) == pytest.approx(1 / (0.5 + 0.5 / 8))


def measured(walls, peaks):
    return {w: {"runs": [{"wall": t, "cpu": t, "timings": None}], "rest": 10.0, "peak": peak, "maxrss": 200.0}
            for w, t, peak in zip((1, 2), walls, peaks)}


def test_tables_say_which_goals_are_met():
    results = {"cubes": (8, measured([1.0, 0.5], [100.0, 110.0])),
               "fracture": (8, measured([1.0, 0.7], [100.0, 120.0]))}
    table = cores_report.speed_table(results, {"from_packed": "skipped: no workers"}, [1, 2])
    rows = table.splitlines()
    assert ">= 1.85x MET" in rows[3] and "<= 1.15x MET" in rows[3] and "2.00x" in rows[3]
    assert ">= 1.60x MISSED" in rows[5] and "<= 1.15x MISSED" in rows[5]
    assert rows[-1].startswith("| CellSet.from_packed |") and "skipped: no workers" in rows[-1]
    fit = cores_report.amdahl_table(results, [1, 2]).splitlines()
    assert fit[2].split(" | ")[1:5] == ["whole call", "1,000.0 ms", "500.0 ms", "0.000"]

    def call(user, system):
        return {"wall": 1.0, "user": user, "system": system, "warm": 0.5}
    rows = [{"n": 8, "busy": busy, "load": 1.0, "from_packed": call(1.0, 0.1),
             "find_neighbors": call(2.0, system)} for busy, system in ((False, 0.5), (True, 1.0))]
    last = cores_report.first_call_table(rows, 8).splitlines()[-1]
    assert "quiet: 0.60 s of system time against 3.00 s of user time, below" in last
    assert "busy: 1.10 s of system time against 3.00 s of user time, NOT below" in last


@pytest.mark.skipif(not Path("/proc/self/clear_refs").exists(), reason="Linux's clear_refs only")
def test_peak_memory_starts_afresh_after_the_scene_is_made():
    # In a fresh process: a long test run's own peak would hide the scene's.
    code = (f"import sys; sys.path.insert(0, {str(ROOT / 'bench')!r})\n"
            "import numpy as np, process_usage as u\n"
            "scene = np.ones(200_000_000 // 8); del scene\n"
            "before = u.status_mb('VmHWM') - u.status_mb('VmRSS')\n"
            "if u.reset_peak():\n"
            "    print(before, u.status_mb('VmHWM') - u.status_mb('VmRSS'))\n")
    completed = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert completed.returncode == 0, completed.stderr
    if not sys.platform.startswith("linux"):
        pytest.skip("only Linux can restart a process's memory peak")
    above_before, above_after = map(float, completed.stdout.split())
    # The peak is what is resident now. (Under AddressSanitizer the freed scene stays
    # resident, so the peak had nothing to fall from.)
    assert above_after < 10
    assert above_before > 150 or above_before < 10