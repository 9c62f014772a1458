"""The search on a thread team: the same answer, bit for bit, for any number of workers; what
`workers` accepts; and the team across Python threads, a fork, Ctrl-C and shutdown."""
import os
import threading

import numpy as np
import pytest

import cellprox
from cells import cubes
from cellprox import _workers
from cellprox.fracture import voronoi_fracture



def lattice(k, jitter=0.1, seed=1):
    """k**3 cubes of side 0.8 on a unit lattice, each moved at random: more cells than one piece
    of the team's passes and the tree's subtrees, and more pairs than one piece of the sort."""
    rng = np.random.default_rng(seed)
    grid = np.stack(np.meshgrid(*[np.arange(k)] * 3, indexing="ij"), -1).reshape(-1, 3)
    return grid + rng.uniform(-jitter, jitter, grid.shape)


@pytest.fixture(scope="module")
def scenes():
    """Crowded (a fracture searched at a seed spacing), spread (a few cubes 300x larger, each
    meeting thousands of others, and two cells at +-1e30) and far (a lattice a million units
    out)."""
    fracture = voronoi_fracture(3000, seed=3, collections=2)
    lower = lattice(28)
    sides = np.full(len(lower), 0.8)
    sides[::1000] = 240.0
    lower[:2] = [[-1e30, 0, 0], [1e30, 0, 0]]
    far = lattice(26) + 1e6
    return {"crowded": (fracture.cell_set(), (1 / 3000) ** (1 / 3)),
            "spread": (cubes(lower, sides, np.arange(len(lower)) % 2), 0.15),
            "far": (cubes(far, np.full(len(far), 0.8)), 0.25)}


def columns(result):
    parts = [result.pairs, result.distances]
    if result.gaps is not None:
        parts.append(result.gaps)
    if result.witnesses is not None:
        parts.append(result.witnesses)
    return [np.ascontiguousarray(p).tobytes() for p in parts]


@pytest.mark.parametrize("rule", ["vertices-edges", "hull"])
@pytest.mark.parametrize("scene", ["crowded", "spread", "far"])
def test_every_count_of_workers_gives_the_same_answer_bit_for_bit(scenes, scene, rule):
    cells, threshold = scenes[scene]
    hull = rule == "hull"
    alone = cellprox.find_neighbors(cells, threshold, rule=rule, witnesses=hull, workers=1)
    assert len(alone.pairs) > 1000
    for workers in (2, 3, 8):
        team = cellprox.find_neighbors(cells, threshold, rule=rule, witnesses=hull, workers=workers)
        assert columns(team) == columns(alone), f"{workers} workers"
        assert team.n_links == alone.n_links


@pytest.mark.parametrize("value, error", [(0, ValueError), (-2, ValueError), (1025, ValueError),
                                          (True, TypeError), (1.5, TypeError), ("2", TypeError)])
def test_bad_workers_are_errors_that_name_the_argument(value, error):
    with pytest.raises(error, match="workers"):
        cellprox.find_neighbors([np.zeros((1, 3))] * 2, 0.1, rule="hull", workers=value)


def test_the_default_comes_from_the_environment_or_every_core_the_process_may_use(monkeypatch, tmp_path):
    monkeypatch.setenv("CELLPROX_WORKERS", "3")
    assert _workers.resolve_workers(None, "f") == 3
    assert _workers.resolve_workers(np.int64(5), "f") == 5
    for text in ("0", "many", "2000"):
        monkeypatch.setenv("CELLPROX_WORKERS", text)
        with pytest.raises(ValueError, match="CELLPROX_WORKERS"):
            cellprox.find_neighbors([np.zeros((1, 3))] * 2, 0.1, rule="hull")
    monkeypatch.delenv("CELLPROX_WORKERS")
    cores = _workers.available_cores()
    assert _workers.resolve_workers(None, "f") == _workers.resolve_workers(-1, "f") == cores
    if hasattr(os, "sched_getaffinity"):
        assert cores <= len(os.sched_getaffinity(0))
    # A container's quota: cgroup v2 gives "quota period" in microseconds, v1 two files.
    (tmp_path / "cpu.max").write_text("150000 100000\n")
    assert _workers._cgroup_quota(tmp_path) == 1.5
    (tmp_path / "cpu.max").write_text("max 100000\n")
    assert _workers._cgroup_quota(tmp_path) is None
    (tmp_path / "cpu.max").unlink()
    (tmp_path / "cpu").mkdir()
    (tmp_path / "cpu" / "cpu.cfs_quota_us").write_text("300000")
    (tmp_path / "cpu" / "cpu.cfs_period_us").write_text("100000")
    assert _workers._cgroup_quota(tmp_path) == 3.0


def test_calls_from_several_python_threads_at_once_all_get_the_answer(scenes):
    cells, threshold = scenes["far"]
    expected = columns(cellprox.find_neighbors(cells, threshold, workers=1))
    found, errors = [], []

    def search():
        try:
            for _ in range(3):
                found.append(columns(cellprox.find_neighbors(cells, threshold, workers=2)))
        except BaseException as error:     # reported below, not lost in the thread
            errors.append(error)

    threads = [threading.Thread(target=search) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not errors
    assert found == [expected] * 12


FORKED_WHILE_BUSY = """
import os, threading
import numpy as np
import cellprox
rng = np.random.default_rng(0)
points = rng.uniform(0, 1, (3000, 8, 3)).astype(np.float32)
busy = cellprox.CellSet(list(points), [np.zeros((0, 2), np.int32)] * 3000)
small = list(points[:200] * 0.2)
expected = cellprox.find_neighbors(small, 0.01, rule="hull", workers=1).pairs
started = threading.Event()
def search():
    started.set()
    cellprox.find_neighbors(busy, 1.0, rule="hull", workers=2)   # seconds of work on the team
thread = threading.Thread(target=search)
thread.start()
started.wait()
child = os.fork()
if child == 0:
    pairs = cellprox.find_neighbors(small, 0.01, rule="hull", workers=2).pairs
    os._exit(0 if np.array_equal(pairs, expected) else 3)
_, status = os.waitpid(child, 0)
thread.join()
print(os.waitstatus_to_exitcode(status))
"""


@pytest.mark.skipif(not hasattr(os, "fork"), reason="no fork here")
def test_a_child_forked_while_the_team_works_runs_searches_of_its_own(python_subprocess):
    code, out, err = python_subprocess(FORKED_WHILE_BUSY)
    assert code == 0, err
    assert out.split() == ["0"], out + err


INTERRUPTED = """
import os, signal, threading, time
import numpy as np
import cellprox
workers = {workers}
points = np.random.default_rng(0).uniform(0, 1, (5000, 8, 3)).astype(np.float32)
cells = cellprox.CellSet(list(points), [np.zeros((0, 2), np.int32)] * 5000)
sent = []
def interrupt():
    sent.append(time.perf_counter())
    os.kill(os.getpid(), signal.SIGINT)
threading.Timer(1.0, interrupt).start()
try:
    cellprox.find_neighbors(cells, 1.0, rule="hull", workers=workers)
    print("finished")
except KeyboardInterrupt:
    print("interrupted", round(time.perf_counter() - sent[0], 3))
print(len(cellprox.find_neighbors(list(points[:3]), 1.0, rule="hull", workers=workers)))
"""


@pytest.mark.parametrize("workers", [2, 8])
def test_ctrl_c_stops_the_team_at_once_and_the_next_call_works(python_subprocess, workers):
    code, out, err = python_subprocess(INTERRUPTED.format(workers=workers))
    assert code == 0, err
    word, delay, count = out.split()
    assert (word, count) == ("interrupted", "3"), out + err
    # A moment: the search checks between chunks of about 50 ms. The bound is loose, for
    # machines under load; on a quiet one it takes a tenth of a second or less.
    assert float(delay) < 5.0


def test_an_interpreter_ends_cleanly_with_the_team_parked(python_subprocess):
    code, out, err = python_subprocess(
        "import numpy as np, cellprox\n"
        "print(len(cellprox.find_neighbors([np.zeros((1, 3))] * 50, 0.1, rule='hull', workers=8)))\n")
    assert (code, out.split(), err) == (0, [str(50 * 49 // 2)], "")


def test_the_boundary_names_the_first_fault_a_single_pass_would_meet_on_any_team():
    # A bad edge early and a vertex that is not finite late, in another piece of the checks:
    # one pass meets every vertex before any edge, so the vertex is the fault for any count.
    from cellprox import _proximity
    n = 40_000
    vertices = np.zeros((2 * n, 3), np.float32)
    vertices[2 * n - 1, 0] = np.nan
    edges = np.tile(np.array([[0, 1]], np.int32), (n, 1))
    edges[10] = [0, 2]
    starts = np.arange(n + 1, dtype=np.int64)
    arrays = (vertices, starts * 2, edges, starts, np.zeros((n, 3), np.float32), np.zeros(n, np.int32))
    for workers in (1, 2, 8):
        with pytest.raises(ValueError, match="a vertex coordinate is not finite"):
            _proximity.close_pairs(*arrays, 0.1, "vertices-edges", False, None, workers)
    vertices[2 * n - 1, 0] = 0
    for workers in (1, 2, 8):
        with pytest.raises(ValueError, match="an edge names a vertex its cell does not have"):
            _proximity.close_pairs(*arrays, 0.1, "vertices-edges", False, None, workers)
