"""Many Python threads at once, thread teams of any size and forked children give the results of
serial calls."""
import hashlib
import importlib
import multiprocessing
import threading

import numpy as np
import pytest

from cells import CellArray, broad_phase, random_cells
from conftest import needs_numpy_1

pytestmark = needs_numpy_1


def workload(seed, n=120):
    rng = np.random.default_rng(seed)
    cells = random_cells(rng, n, 6.0, 2)
    lo = rng.uniform(0, 6, (n, 3)).astype(np.float32)
    corners = np.repeat(lo[:, None, :], 8, axis=1) + rng.uniform(0, 1.5, (n, 8, 3)).astype(np.float32)
    return cells, corners


def run_both(ext, cells, corners):
    """Broad phase on fresh tables for the corners, then the narrow phase on the cells."""
    n = len(corners)
    bbox = corners.copy()
    tables = np.full((n, 30), -1, np.int32), np.full(n, -1, np.int32), np.zeros(n, np.uint8)
    n_boxes = ext.get_bb_intersections(bbox, n, *tables)
    n_links = broad_phase(ext, cells)
    array = CellArray(cells)
    distances = ext.generate_neighbors(array.address, len(array), n_links, 0.3, 0)
    return [n_boxes, bbox, *tables, distances]


def digest(outputs):
    h = hashlib.sha256()
    for item in outputs:
        h.update(np.asarray(item).tobytes())
    return h.hexdigest()


def test_concurrent_calls_match_serial_calls(ext):
    seeds = range(8)
    loads = {seed: workload(seed) for seed in seeds}
    serial = {seed: digest(run_both(ext, *loads[seed])) for seed in seeds}
    results, errors = {}, []

    def worker(seed):
        try:
            for round_ in range(15):
                results[seed, round_] = digest(run_both(ext, *loads[seed]))
        except Exception as exc:  # reported below, in the main thread
            errors.append(exc)

    threads = [threading.Thread(target=worker, args=(seed,)) for seed in seeds]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=120)
    assert not errors and not any(t.is_alive() for t in threads)
    assert all(value == serial[seed] for (seed, _), value in results.items())
    assert len(results) == 8 * 15


TEAM_PROGRAM = """
import hashlib, sys, threading
sys.path[:0] = [{here!r}, {tests!r}]
import numpy as np, test_threads
ext = __import__(MODULE)
loads = [test_threads.workload(seed, n=400) for seed in range(4)]
out = [test_threads.digest(test_threads.run_both(ext, *load)) for load in loads]
threaded = {{}}
def worker(k):
    threaded[k] = test_threads.digest(test_threads.run_both(ext, *loads[k]))
threads = [threading.Thread(target=worker, args=(k,)) for k in range(4)]
[t.start() for t in threads]
[t.join() for t in threads]
assert [threaded[k] for k in range(4)] == out
print(" ".join(out))
"""


def test_team_size_does_not_change_results(ext, python_subprocess, monkeypatch):
    if not ext.__name__.endswith("_nt"):
        pytest.skip("only the nt deliverable runs its loops on a thread team")
    import os
    outputs = set()
    for threads in ("1", "3", "4"):
        monkeypatch.setenv("OMP_NUM_THREADS", threads)
        here = os.path.dirname(os.path.abspath(__file__))
        rc, out, err = python_subprocess(TEAM_PROGRAM.format(here=here, tests=os.path.dirname(here)))
        assert rc == 0, err
        outputs.add(out)
    assert len(outputs) == 1


def digests_of_workloads(module_name, seeds):
    ext = importlib.import_module(module_name)
    return [digest(run_both(ext, *workload(seed, n=400))) for seed in seeds]


def test_forked_child_gets_the_same_results(ext):
    # The parent's calls start the thread team (nt); a child forked afterwards must neither wait
    # for the team's threads, which it does not have, nor compute anything else.
    if "fork" not in multiprocessing.get_all_start_methods():
        pytest.skip("no fork on this system")
    seeds = range(3)
    parent = digests_of_workloads(ext.__name__, seeds)
    with multiprocessing.get_context("fork").Pool(1) as pool:
        child = pool.apply_async(digests_of_workloads, (ext.__name__, seeds))
        assert child.get(timeout=60) == parent
