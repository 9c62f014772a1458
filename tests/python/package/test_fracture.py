"""cellprox.fracture: Voronoi cells of a box, clipped exactly at its faces."""
import base64
import os
import pickle
import re
import select
import signal
import subprocess
import sys
import textwrap
import time
import zlib

import numpy as np
import pytest

import cellprox
import cellprox.fracture as fracture_module
import cellprox._fracture.blocks as blocks_module
import cellprox._fracture.processes as processes_module
from cellprox.fracture import Fracture, voronoi_fracture

spatial = pytest.importorskip("scipy.spatial")

BOX = (2.0, 1.0, 0.5)


@pytest.fixture(scope="module")
def fracture():
    return voronoi_fracture(300, seed=7, collections=3, box=BOX)


def hull_edges(points):
    """The edges of the triangulated convex hull of `points` as vertex number pairs, and those
    of them between clearly non-coplanar triangles (the others may be face diagonals)."""
    hull = spatial.ConvexHull(points)
    edges, creases = set(), set()
    for t, simplex in enumerate(hull.simplices):
        for k in range(3):
            pair = tuple(sorted(np.delete(simplex, k).tolist()))
            edges.add(pair)
            if np.dot(hull.equations[t, :3], hull.equations[hull.neighbors[t, k], :3]) < 1 - 1e-4:
                creases.add(pair)
    return edges, creases, hull


def test_cells_tile_the_box_as_convex_polyhedra(fracture):
    assert len(fracture) == 300 and fracture.box == BOX
    total = 0.0
    for i, (v, e) in enumerate(zip(fracture.vertices, fracture.edges)):
        assert v.dtype == np.float32 and v.ndim == 2 and v.shape[1] == 3
        assert e.dtype == np.int32 and e.ndim == 2 and e.shape[1] == 2
        assert (v >= 0).all() and (v <= np.float32(BOX)).all()
        assert len(np.unique(v, axis=0)) == len(v)
        # The face polygons' sides, each once, no diagonals: random seeds make simple
        # polyhedra, whose vertices all have three edges, and every crease is an edge. (Where
        # two vertices nearly coincide, float32 rounding may turn the hull's triangles.)
        edges, creases, hull = hull_edges(v.astype(np.float64))
        ours = set(map(tuple, np.sort(e, axis=1).tolist()))
        spacing = np.linalg.norm(v[:, None] - v[None], axis=2) + np.eye(len(v))
        crowded = set(np.flatnonzero(spacing.min(axis=1) < 1e-4).tolist())
        clear = {pair for pair in edges | ours if not crowded & set(pair)}
        assert len(ours) == len(e) and creases & clear <= ours and ours & clear <= edges
        assert (np.bincount(e.ravel(), minlength=len(v)) == 3).all()
        assert len(hull.vertices) == len(v)
        # The seed lies inside its own cell.
        assert (hull.equations[:, :3] @ fracture.origins[i] + hull.equations[:, 3] < 1e-6).all()
        total += hull.volume
    assert total == pytest.approx(np.prod(BOX), rel=1e-5)


def test_face_neighbours_share_the_face_vertices_exactly(fracture):
    pairs = fracture.neighbors
    assert pairs.dtype == np.int32 and (pairs[:, 0] < pairs[:, 1]).all()
    assert len(np.unique(pairs, axis=0)) == len(pairs)
    assert 4 < 2 * len(pairs) / len(fracture) < 16
    for i, j in pairs.tolist():
        a = set(map(tuple, fracture.vertices[i].tolist()))
        b = set(map(tuple, fracture.vertices[j].tolist()))
        assert len(a & b) >= 3
    # Collections are slabs along x, by seed.
    slab = np.minimum((fracture.origins[:, 0] / BOX[0] * 3).astype(int), 2)
    np.testing.assert_array_equal(fracture.collections, slab)
    assert fracture.collections.dtype == np.int32 and fracture.origins.dtype == np.float32


def test_corners_bound_each_cell(fracture):
    corners = fracture.corners()
    assert corners.shape == (300, 8, 3) and corners.dtype == np.float32
    for k in (0, 150, 299):
        v = fracture.vertices[k]
        np.testing.assert_array_equal(corners[k, 0], v.min(axis=0))
        np.testing.assert_array_equal(corners[k, 7], v.max(axis=0))
        np.testing.assert_array_equal(corners[k, 3], [v[:, 0].max(), v[:, 1].max(), v[:, 2].min()])


def same_cells(a, b):
    return (len(a) == len(b) and np.array_equal(a.neighbors, b.neighbors)
            and all(np.array_equal(x, y) for x, y in zip(a.vertices, b.vertices))
            and all(np.array_equal(x, y) for x, y in zip(a.edges, b.edges)))


def test_mirroring_only_near_faces_gives_the_cells_of_mirroring_all(monkeypatch):
    default = voronoi_fracture(200, seed=3)
    assert same_cells(default, voronoi_fracture(200, seed=3))
    assert not same_cells(default, voronoi_fracture(200, seed=4))
    monkeypatch.setattr(fracture_module, "MIRROR_MARGIN", 100.0)       # every seed mirrored
    everything = voronoi_fracture(200, seed=3)
    # Too few mirrors: unclipped cells are found and their seeds mirrored in a second pass.
    monkeypatch.setattr(fracture_module, "MIRROR_MARGIN", 0.05)
    repaired = voronoi_fracture(200, seed=3)
    for other in (everything, repaired):
        # qhull may number the vertices of a cell differently; compare the geometry.
        assert np.array_equal(default.neighbors, other.neighbors)
        for x, y in zip(default.vertices, other.vertices):
            np.testing.assert_allclose(np.unique(x, axis=0), np.unique(y, axis=0), atol=1e-6)
        assert [len(e) for e in default.edges] == [len(e) for e in other.edges]


@pytest.mark.parametrize("halo", [3.0, 0.3, 0.01])
def test_cells_do_not_depend_on_the_blocks(monkeypatch, halo):
    """Blocks of 20 seeds: faces across blocks, cells settled by a second diagram (a thin halo
    leaves cells open or too wide), and still the very cells of one diagram, bit for bit."""
    whole = voronoi_fracture(300, seed=7, collections=3, box=BOX)
    monkeypatch.setattr(blocks_module, "BLOCK_SEEDS", 20)
    monkeypatch.setattr(blocks_module, "BLOCK_HALO", halo)
    diagrams = []
    voronoi = blocks_module._voronoi
    monkeypatch.setattr(blocks_module, "_voronoi",
                        lambda points: diagrams.append(len(points)) or voronoi(points))
    assert same_cells(whole, voronoi_fracture(300, seed=7, collections=3, box=BOX))
    assert len(diagrams) >= 300 // 20


@pytest.fixture
def small_blocks_on_processes(monkeypatch):
    """Fractures of a few hundred cells in blocks of 40 seeds, on processes when asked for
    more than one worker; records how many processes are started beside the calling one."""
    monkeypatch.setattr(blocks_module, "BLOCK_SEEDS", 40)
    monkeypatch.setattr(processes_module, "PROCESSES_FROM", 0)
    started = []
    opened = processes_module.InProcesses.__init__

    def recording(self, others):
        started.append(others)
        opened(self, others)

    monkeypatch.setattr(processes_module.InProcesses, "__init__", recording)
    return started


def test_the_cells_are_the_same_bits_on_any_number_of_processes(small_blocks_on_processes):
    fractures = [voronoi_fracture(500, seed=11, collections=2, box=BOX, workers=workers)
                 for workers in (1, 2, 3)]
    # The calling process computes diagrams too; one worker: the calling process alone.
    assert small_blocks_on_processes == [1, 2]
    for other in fractures[1:]:
        assert same_cells(fractures[0], other)
        assert np.array_equal(fractures[0].origins, other.origins)
        assert np.array_equal(fractures[0].collections, other.collections)


UNGUARDED_SCRIPT = textwrap.dedent("""
    import cellprox._fracture.blocks as blocks, cellprox._fracture.processes as processes
    from cellprox.fracture import voronoi_fracture
    blocks.BLOCK_SEEDS, processes.PROCESSES_FROM = 40, 0
    # No main guard: each process started runs this again, and cannot start processes itself.
    cells = voronoi_fracture(300, seed=2, workers=2)
    alone = voronoi_fracture(300, seed=2, workers=1)
    print("same" if all(a.tobytes() == b.tobytes() for a, b in
                        zip(cells.vertices + cells.edges, alone.vertices + alone.edges)) else "not")
""")


def test_a_script_without_a_main_guard_still_gets_its_cells(tmp_path):
    script = tmp_path / "unguarded.py"
    script.write_text(UNGUARDED_SCRIPT)
    completed = subprocess.run([sys.executable, str(script)], capture_output=True, text=True,
                               timeout=300)
    assert completed.returncode == 0, completed.stderr
    assert completed.stdout.split()[-1] == "same"
    assert "this process computes the rest, the same cells" in completed.stderr


@pytest.mark.parametrize("workers, error, message", [
    (0, ValueError, "workers is 0, but it must be 1 to 1024"),
    (1025, ValueError, "workers is 1025, but it must be 1 to 1024"),
    (True, TypeError, "workers must be None, a whole number of threads or -1"),
    (1.5, TypeError, "workers must be None, a whole number of threads or -1"),
])
def test_bad_worker_counts_are_refused(workers, error, message):
    with pytest.raises(error, match=f"voronoi_fracture: {message}"):
        voronoi_fracture(5, workers=workers)


def test_progress_is_shown_only_when_asked(capsys, monkeypatch):
    monkeypatch.setitem(sys.modules, "tqdm", None)      # the plain counter
    voronoi_fracture(50, seed=1)
    assert capsys.readouterr() == ("", "")
    voronoi_fracture(50, seed=1, progress=True)
    out, err = capsys.readouterr()
    assert out == "" and err.endswith("\n") and "voronoi_fracture: 50/50 cells (100%)" in err
    with pytest.raises(TypeError, match="progress must be True or False"):
        voronoi_fracture(5, progress="yes")


INTERRUPTED_CHILD = textwrap.dedent("""
    import multiprocessing, sys, threading
    sys.modules["tqdm"] = None
    import cellprox._fracture.processes as processes
    from cellprox.fracture import voronoi_fracture
    workers, method = int(sys.argv[1]), sys.argv[2]
    if method != "default":
        processes._start_method = lambda: method
    before = voronoi_fracture(200, seed=3)
    print("ready", flush=True)
    try:
        voronoi_fracture(40000, seed=1, progress=True, workers=workers)
        print("finished", flush=True)
    except KeyboardInterrupt:
        print("interrupted", flush=True)
    after = voronoi_fracture(200, seed=3)
    same = all(a.tobytes() == b.tobytes() for a, b in zip(before.vertices + before.edges,
                                                           after.vertices + after.edges))
    alone = threading.active_count() == 1 and not multiprocessing.active_children()
    print("fit" if same and alone else "unfit", flush=True)
""")


def descendants(pid):
    """The processes below ``pid`` (Linux's /proc), children first."""
    parents = {}
    for entry in os.listdir("/proc"):
        try:
            with open(f"/proc/{entry}/stat") as stat:
                parents[int(entry)] = int(stat.read().rsplit(")", 1)[1].split()[1])
        except (ValueError, OSError):
            continue
    found, frontier = [], [pid]
    while frontier:
        frontier = [child for child, parent in parents.items() if parent in frontier]
        found += frontier
    return found


def running(pid):
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


# Processes started by spawn too, as on macOS and Windows.
@pytest.mark.parametrize("workers, method", [(1, "default"), (2, "default"), (2, "spawn")])
def test_ctrl_c_interrupts_the_fracture_and_leaves_the_process_fit(workers, method):
    child = subprocess.Popen([sys.executable, "-c", INTERRUPTED_CHILD, str(workers), method],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             start_new_session=True)
    try:
        assert child.stdout.readline() == b"ready\n"
        # Interrupt once the first blocks are done, as a person watching the counter would.
        seen, deadline = b"", time.monotonic() + 300
        while not re.search(rb"voronoi_fracture: [1-9][\d,]*/40,000", seen):
            assert time.monotonic() < deadline and child.poll() is None, seen
            if select.select([child.stderr], [], [], 1.0)[0]:
                seen += os.read(child.stderr.fileno(), 4096)
        helpers = descendants(child.pid) if sys.platform.startswith("linux") else []
        # As a terminal's Ctrl-C does: to the whole process group, the diagrams' processes too.
        os.killpg(child.pid, signal.SIGINT)
        out, err = child.communicate(timeout=300)
    finally:
        child.kill()
    assert out.decode().split() == ["interrupted", "fit"], err.decode()
    assert b"Traceback" not in err, err.decode()
    assert child.returncode == 0
    # The diagrams' processes (and the server that forks them) end with the fracture.
    assert sys.platform != "linux" or workers == 1 or len(helpers) >= 2
    deadline = time.monotonic() + 10
    while any(map(running, helpers)) and time.monotonic() < deadline:
        time.sleep(0.1)
    assert not any(map(running, helpers)), helpers


def test_one_cell_is_the_box():
    one = voronoi_fracture(1, box=(3.0, 2.0, 1.0))
    assert len(one.vertices[0]) == 8 and len(one.edges[0]) == 12 and len(one.neighbors) == 0
    np.testing.assert_array_equal(np.unique(one.vertices[0][:, 0]), [0.0, 3.0])


# voronoi_fracture(1) pickled by release 0.1.0 (numpy 1.26), zlib-compressed, in base64.
PICKLED_ONE_CELL = (
    "eNp1UMtKw0AUzaNpWg2KiLqWLqybrFyqXQQUDHThXjSZTptAminTibRgoSJaI7Pr9ctc+gsu/ANNJhOsGC9Mzpnc"
    "xzlz57XXB00RwbcQjqIRJRO7Tz3EEoqBN85KuoTDe5hBmzduMWUhwmO4Ar4TJ8PR1EaEYnuYRCz0KPWmwK1rihGJ"
    "x4wmiGW93BCFwM24V5QswVUewVF9WMAltF3Vbbj6EwRr3Oix6SgX5Fr/CNLnIq9z9Ri63e7FVxbi4yoM/NS5USpj"
    "3vmNJS9PVd1q7ucOmYzHDdwbiDcHzcDKrQcbpXHL1TLj21wLV+wGe/+aVaW0XLxSk/90iYbM6RLrkpuy1pBYl9yU"
    "PMfCrEloOAjjcYVZVWx5N3Wsj81W527/5fT97eAkb+PriEQRRiwk1Z3ZpZU6ubKQ4bpPJnDe+Sxe8ZcsgDdjHA4C"
    "n9CqgYrYWzZSjEt8+xtyPbZk")


def test_fractures_pickled_by_earlier_releases_still_load():
    loaded = pickle.loads(zlib.decompress(base64.b64decode(PICKLED_ONE_CELL)))
    assert type(loaded) is Fracture
    one = voronoi_fracture(1)
    assert same_cells(loaded, one) and loaded.box == one.box
    for name in ("origins", "collections"):
        np.testing.assert_array_equal(getattr(loaded, name), getattr(one, name))
    assert same_cells(pickle.loads(pickle.dumps(one)), one)


def assert_closed_tiling(fracture):
    """Every cell a closed simple polyhedron inside the box, together filling it; face
    neighbours share their face's vertices bit for bit, and the search finds them all."""
    box = np.array(fracture.box)
    total = 0.0
    for v, e in zip(fracture.vertices, fracture.edges):
        assert np.isfinite(v).all() and (v >= 0).all() and (v <= box.astype(np.float32)).all()
        assert (np.bincount(e.ravel(), minlength=len(v)) == 3).all()
        # In the box's own proportions, where qhull can measure even a needle.
        total += spatial.ConvexHull(v.astype(np.float64) / box).volume
    assert total == pytest.approx(1.0, rel=1e-4)
    for i, j in fracture.neighbors.tolist():
        a = set(map(tuple, fracture.vertices[i].tolist()))
        assert len(a & set(map(tuple, fracture.vertices[j].tolist()))) >= 3
    found = cellprox.find_neighbors(fracture, float(box.min()) * 1e-3)
    assert {tuple(p) for p in fracture.neighbors.tolist()} <= {tuple(p) for p in
                                                                 found.pairs.tolist()}


@pytest.mark.parametrize("n, box", [
    (100, (1e6, 1.0, 1.0)),         # needles, qhull's diagram of them reaches far outside
    (100, (1.0, 1e-6, 1e-6)),
    (10, (1e8, 1.0, 1.0)),
    (100, (1e6, 1e6, 1.0)),         # plates
    (50, (1.0, 1e4, 1e4)),
    (400, (300.0, 1.0, 1.0)),       # just thin enough to be cut plane by plane
    (5000, (1.5e5, 1.0, 1.0)),      # stout cells, but a box too long for qhull's diagrams
    (2, (3e38, 1.2e-38, 1.2e-38)),  # as far apart as float32 sides go
])
def test_thin_boxes_fracture_into_closed_cells(n, box):
    fracture = voronoi_fracture(n, seed=2, box=box)
    assert len(fracture) == n and len(fracture.neighbors) >= n - 1
    assert_closed_tiling(fracture)


def test_cells_cut_plane_by_plane_are_the_diagram_cells(monkeypatch):
    whole = voronoi_fracture(60, seed=7, collections=3, box=BOX)
    monkeypatch.setattr(fracture_module, "THIN_ASPECT", 0.0)
    assert same_cells(whole, voronoi_fracture(60, seed=7, collections=3, box=BOX))
    long = voronoi_fracture(40, seed=3, box=(100.0, 1.0, 2.0))
    monkeypatch.setattr(fracture_module, "THIN_ASPECT", 1e9)
    assert same_cells(long, voronoi_fracture(40, seed=3, box=(100.0, 1.0, 2.0)))


@pytest.mark.parametrize("exponent", [-125, -60, 60, 126])
def test_boxes_a_power_of_two_apart_have_the_same_cells_scaled(exponent):
    unit = voronoi_fracture(80, seed=5, box=BOX)
    scaled = voronoi_fracture(80, seed=5, box=tuple(np.ldexp(BOX, exponent)))
    assert np.array_equal(unit.neighbors, scaled.neighbors)
    assert all(np.array_equal(a, b) for a, b in zip(unit.edges, scaled.edges))
    # Exactly the unit cells scaled, but for coordinates below float32's normal numbers,
    # which round once, to the nearest subnormal.
    for a, b in zip(unit.vertices, scaled.vertices):
        assert (np.abs(np.ldexp(a.astype(np.float64), exponent) - b) <= 2.0**-150).all()
        assert exponent < -100 or np.array_equal(np.ldexp(a, exponent), b)
    np.testing.assert_allclose(np.ldexp(unit.origins.astype(np.float64), exponent),
                               scaled.origins, rtol=0, atol=2.0**-149)


@pytest.mark.parametrize("side", [1.2e-38, 1e-30, 1e30, 3.4e38])
def test_tiny_and_huge_boxes_fracture(side):
    fracture = voronoi_fracture(50, seed=1, box=(side, side, side))
    assert_closed_tiling(fracture)


@pytest.mark.parametrize("box, shown", [
    ((1e39, 1.0, 1.0), "x size 1e+39"),
    ((1.0, 1e-40, 1.0), "y size 1e-40"),
    ((1.0, 1.0, 3.5e38), "z size 3.5e+38"),
])
def test_boxes_float32_cannot_hold_are_refused(box, shown):
    with pytest.raises(ValueError, match=re.escape(
            f"box's {shown} is outside the range float32 vertices can hold, 1.17549e-38 to "
            "3.40282e+38")):
        voronoi_fracture(5, box=box)


@pytest.mark.parametrize("kwargs, name, numbers", [
    ({"n_cells": 2**70}, "n_cells", "cell"),
    ({"n_cells": np.uint64(2**64 - 1)}, "n_cells", "cell"),
    ({"n_cells": 2**31}, "n_cells", "cell"),
    ({"n_cells": 5, "collections": 2**70}, "collections", "collection"),
])
def test_counts_beyond_the_index_type_or_memory_are_refused(kwargs, name, numbers, monkeypatch):
    # Refused before anything is made.
    monkeypatch.setattr(np.random, "default_rng", None)
    with pytest.raises(ValueError, match=rf"{name} must be at most [\d,]+ \(what the int32 "
                                         rf"{numbers} numbers"):
        voronoi_fracture(**kwargs)


@pytest.mark.parametrize("kwargs, error, message", [
    ({"n_cells": 0}, ValueError, r"n_cells must be a positive integer, not 0"),
    ({"n_cells": -3}, ValueError, r"n_cells must be a positive integer, not -3"),
    ({"n_cells": True}, TypeError, r"n_cells must be a positive integer, not bool"),
    ({"n_cells": 2.5}, TypeError, r"n_cells must be a positive integer, not float"),
    ({"n_cells": "5"}, TypeError, r"n_cells must be a positive integer, not str"),
    ({"n_cells": 5, "collections": 0}, ValueError, r"collections must be a positive integer"),
    ({"n_cells": 5, "collections": None}, TypeError, r"collections must be a positive integer"),
    ({"n_cells": 5, "box": (1.0, 1.0)}, ValueError, r"box must be three sizes"),
    ({"n_cells": 5, "box": "abc"}, TypeError, r"box must be three sizes"),
    ({"n_cells": 5, "box": (1.0, -1.0, 1.0)}, ValueError, r"sizes must be positive and finite"),
])
def test_arguments_are_checked(kwargs, error, message):
    with pytest.raises(error, match=message):
        voronoi_fracture(**kwargs)
