"""generate_neighbors: interpreter lock, scratch memory, and the bounds it keeps to."""
import json
import os
import pathlib
import subprocess
import sys
import time

import numpy as np
import pytest

from cells import CellArray
from conftest import needs_numpy_1, ticking_thread

pytestmark = needs_numpy_1

TESTS = pathlib.Path(__file__).resolve().parents[1]   # the suite's shared helpers
MODULE_NAME = os.environ.get("CELLPROX_MODULE", "cellprox_gnu")

CHILD_PRELUDE = r"""
import ctypes, importlib, json, os, sys
import numpy as np
from cells import CellArray
ext = importlib.import_module(os.environ["CELLPROX_MODULE"])
libc = ctypes.CDLL("ucrtbase" if sys.platform == "win32" else None)  # the C stdio the dump writes to
"""


def run_child(code, **env_overrides):
    """Runs code in a fresh interpreter; returns (returncode, stdout bytes, stderr text)."""
    env = dict(os.environ, CELLPROX_MODULE=MODULE_NAME, **env_overrides)
    completed = subprocess.run([sys.executable, "-c", CHILD_PRELUDE + code], capture_output=True,
                               env=env, cwd=TESTS, timeout=120)
    return completed.returncode, completed.stdout, completed.stderr.decode(errors="replace")


def test_lock_is_released_while_the_links_are_measured(ext):
    # Two cells of one collection whose vertices interleave on one lattice (the even and the odd
    # points, a unit apart): nothing can be pruned, and every link compares all 8.5 million
    # vertex pairs without finding one closer than the threshold.
    lattice = np.indices((18, 18, 18)).reshape(3, -1).T.astype(np.float32)
    even = lattice.sum(axis=1) % 2 == 0
    links = 40
    cells = CellArray([
        dict(vertices=lattice[even], links=[1] * links, links_start=0),
        dict(vertices=lattice[~even], links=[0] * links, links_start=links),
    ])

    with ticking_thread() as ticks:
        before = ticks.count
        started = time.perf_counter()
        result = ext.generate_neighbors(cells.address, 2, 2 * links, 0.5, 0)
        elapsed = time.perf_counter() - started
        during = ticks.count - before

    assert np.all(result == -1.0)
    assert elapsed > 0.05, "the call was too quick to show anything"
    # Had the call kept the lock, the counting thread would have stalled for all of it.
    assert ticks.longest_stall < elapsed / 2
    assert during > 1000


def test_failed_scratch_allocation_raises_memory_error_before_any_work():
    pytest.importorskip("_testcapi")
    import _testcapi

    if not (hasattr(_testcapi, "set_nomemory") and hasattr(_testcapi, "remove_mem_hooks")):
        pytest.skip("_testcapi has no allocation failure hooks")
    code = r"""
import _testcapi
cells = CellArray([dict(vertices=[(0, 0, 0)], links=[0], links_start=0)])
try:
    _testcapi.set_nomemory(0, 1)  # the next allocation fails
    try:
        ext.generate_neighbors(cells.address, 1, 5, 1.0, 1)
    finally:
        _testcapi.remove_mem_hooks()
except MemoryError:
    outcome = "MemoryError"
else:
    outcome = "no error"
libc.fflush(None)
os.write(1, b"|END" + outcome.encode() + b"\n")
# Nothing is left behind: the next call works.
print(ext.generate_neighbors(cells.address, 1, 5, 1.0, 0).tolist(), flush=True)
"""
    rc, out, err = run_child(code)
    assert rc == 0, err
    printed, _, rest = out.partition(b"|END")
    assert printed == b""  # no debug dump: the call stopped before it
    assert rest.decode().splitlines() == ["MemoryError", "[0.0, -1.0, -1.0, -1.0, -1.0]"]


@pytest.mark.parametrize("n_links", [-1, -(2**31)])
def test_negative_n_links_fails_in_numpy(ext, n_links):
    with pytest.raises(ValueError) as numpy_error:
        np.full(n_links, -1.0, dtype=np.float32)
    with pytest.raises(ValueError) as info:
        ext.generate_neighbors(0, 0, n_links, 1.0, 0)
    assert type(info.value) is ValueError
    assert str(info.value) == str(numpy_error.value)


def test_slots_outside_the_result_are_never_written():
    # Under the debug allocator a write before or after the scratch block breaks its guard
    # bytes, which is reported when the block is freed.
    code = r"""
near = [(0, 0, 0)]
cells = CellArray([
    dict(vertices=near, links=[1, 1, 1, 1], links_start=2, origin=(3, 0, 0)),    # slots 2..5
    dict(vertices=near, links=[0, 0, 0], links_start=-2, origin=(0, 4, 0)),      # slots -2..0
    dict(vertices=near, links=[0] * 3, links_start=2**31 - 2, origin=(0, 0, 0)),  # far beyond
])
print(json.dumps(ext.generate_neighbors(cells.address, 3, 4, 1.0, 0).tolist()))
"""
    rc, out, err = run_child(code, PYTHONMALLOC="debug")
    assert rc == 0, err
    assert json.loads(out) == [5.0, -1.0, 5.0, 5.0]


def test_missing_arrays_count_as_empty(ext):
    near = [(0.0, 0.0, 0.0), (1.0, 0.0, 0.0)]
    cells = CellArray([
        dict(vertices=near, edges=[(0, 1)], origin=(1.0, 0.0, 0.0)),            # the target
        dict(vertices=None, v_count=2, links=[0], links_start=0),               # same collection
        dict(coll=1, vertices=near, edges=None, e_count=1, links=[0], links_start=1),
        dict(vertices=near, links=None, n_count=2, links_start=2),
        dict(vertices=near, links=[0], links_start=4),                          # control
    ])
    result = ext.generate_neighbors(cells.address, len(cells), 5, 1e9, 0)
    assert result.tolist() == pytest.approx([-1.0, -1.0, -1.0, -1.0, 1.0], rel=1e-6)


def test_edges_naming_missing_vertices_are_skipped(ext):
    # A's vertex array is a window into a longer one: numbers -1 and 2.. name real points,
    # all of them right next to B's edge, but A has only vertices 0 and 1, far from B.
    points = np.array([(10, 0, 0), (0, 0, 0), (1, 0, 0), (10, 1, 0), (10, 2, 0)], np.float32)
    a_edges = [(0, 2), (-1, 1), (3, 2), (2, 2), (0, 1)]
    cells = CellArray([
        dict(vertices=points[1:], v_count=2, edges=a_edges, links=[1, 2], links_start=0),
        dict(coll=1, vertices=[(10, -1, 0.1), (10, 3, 0.1)], edges=[(0, 1)],
             links=[0], links_start=2, origin=(3.0, 4.0, 0.0)),
        dict(coll=2, vertices=[(0, 0, 0.2), (1, 0, 0.2)], edges=[(0, 1)],
             links=[0], links_start=3, origin=(0.0, 0.0, 2.0)),
    ])
    result = ext.generate_neighbors(cells.address, 3, 4, 0.5, 0)
    # A-B: only the skipped edges come close, from either side. A-C: the valid edge does.
    assert result.tolist() == pytest.approx([-1.0, 2.0, -1.0, 2.0], rel=1e-6)


def test_null_cell_address():
    code = r"""
for count in (0, 3):
    try:
        outcome = ext.generate_neighbors(0, count, 2, 1.0, 1).tolist()
    except Exception as exc:
        outcome = [type(exc).__name__, str(exc)]
    libc.fflush(None)
    os.write(1, b"|END" + json.dumps(outcome).encode() + b"\0")
"""
    rc, out, err = run_child(code)
    assert rc == 0, err
    empty, failed, _ = out.split(b"\0")
    # No cells at a null address is fine: banner only, nothing measured.
    assert empty == b"\n\n\n[DEBUG][PROXIM]|END" + json.dumps([-1.0, -1.0]).encode()
    # Cells at a null address are refused before anything, the dump included, is done.
    printed, _, outcome = failed.partition(b"|END")
    assert printed == b""
    kind, message = json.loads(outcome)
    assert kind == "ValueError" and "cells_p" in message
