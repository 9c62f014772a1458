"""The search over a scene on disk, on Dask: the pairs of the in-memory search whatever the
tiles and the workers, outputs that never look complete unless they are, and faults survived."""
import _thread
import json
import os
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

parquet = pytest.importorskip("pyarrow.parquet")
distributed = pytest.importorskip("distributed")

import cellprox
from cells import cubes
from cellprox import distributed as on_disk
from cellprox.fracture import voronoi_fracture
from cellprox.scene import PackedCells, lattice_cells, lattice_scene, table_from_packed, write_scene



@pytest.fixture(scope="module")
def client():
    """One local cluster of two single-threaded worker processes for the module's runs."""
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=":0", silence_logs=50) as cluster, \
            distributed.Client(cluster) as client:
        yield client


@pytest.fixture(scope="module")
def scenes(tmp_path_factory):
    """Crowded (a fracture in two collections, at a seed spacing), spread (a tenth of the cubes
    300 times larger, two cells at +-1e30) and on-the-cuts (a lattice without jitter, whose
    every box centre is a coordinate the cuts are made at)."""
    folder = tmp_path_factory.mktemp("scenes")
    rng = np.random.default_rng(7)
    grid = np.stack(np.meshgrid(*[np.arange(9)] * 3, indexing="ij"), -1).reshape(-1, 3)
    lower = grid + rng.uniform(-0.1, 0.1, grid.shape)
    sides = np.full(len(lower), 0.8)
    sides[::10] = 240.0
    lower[:2] = [[-1e30, 0, 0], [1e30, 0, 0]]
    made = {"crowded": (voronoi_fracture(2000, seed=3, collections=2), (1 / 2000) ** (1 / 3)),
            "spread": (cubes(lower, sides, np.arange(len(lower)) % 2), 0.15),
            "on the cuts": (lattice_cells((8, 8, 8), jitter=0.0, collections=2).cell_set(1), 0.25)}
    found = {}
    for name, (cells, threshold) in made.items():
        path = folder / f"{name.replace(' ', '-')}.parquet"
        write_scene(path, cells, row_group_cells=300)
        found[name] = (path, cells, threshold)
    return found


def in_memory(cells, threshold, rule):
    result = cellprox.find_neighbors(cells, threshold, rule=rule, witnesses=rule == "hull", workers=1)
    return result


def same_answer(read, result):
    assert read.pairs.dtype == np.int64
    np.testing.assert_array_equal(read.pairs, result.pairs)
    np.testing.assert_array_equal(read.distances, result.distances)
    if result.gaps is None:
        assert read.gaps is None and read.witnesses is None
    else:
        np.testing.assert_array_equal(read.gaps, result.gaps)
        np.testing.assert_array_equal(read.witnesses, result.witnesses)


@pytest.mark.parametrize("rule", ["vertices-edges", "hull"])
@pytest.mark.parametrize("scene", ["crowded", "spread", "on the cuts"])
def test_the_pairs_are_the_in_memory_search_s_for_any_count_of_tiles(scenes, client, tmp_path, scene, rule):
    path, cells, threshold = scenes[scene]
    expected = in_memory(cells, threshold, rule)
    assert len(expected) > 0
    for tiles in (1, 3, 8):
        out = tmp_path / f"pairs-{tiles}"
        run = on_disk.find_neighbors(path, threshold, out, rule=rule, witnesses=rule == "hull",
                                     tiles=tiles, workers=1 + tiles % 2, scheduler=client)
        assert run.pairs == len(expected) and run.cells == len(cells)
        assert run.tiles == tiles and run.copy_factor >= 1.0
        same_answer(on_disk.read_pairs(out), expected)


def test_the_default_local_cluster_and_the_manifest(scenes, tmp_path):
    path, cells, threshold = scenes["crowded"]
    out = tmp_path / "pairs"
    run = on_disk.find_neighbors(path, threshold, out, processes=1, tiles=2)
    same_answer(on_disk.read_pairs(out), in_memory(cells, threshold, "vertices-edges"))
    manifest = json.loads((out / "_manifest.json").read_text())
    assert manifest["pairs"] == run.pairs and manifest["cells"] == len(cells)
    assert sum(part["pairs"] for part in manifest["parts"]) == run.pairs
    assert manifest["cells_placed"] == sum(part["cells"] for part in manifest["parts"])
    assert sorted(p.name for p in tmp_path.iterdir()) == ["pairs"]     # nothing left aside


def test_outputs_are_refused_replaced_and_checked(scenes, client, tmp_path):
    path, cells, threshold = scenes["on the cuts"]
    out = tmp_path / "pairs"
    out.mkdir()
    (out / "mine.txt").write_text("keep")
    with pytest.raises(FileExistsError, match="overwrite"):
        on_disk.find_neighbors(path, threshold, out, scheduler=client)
    assert (out / "mine.txt").read_text() == "keep"
    with pytest.raises(ValueError, match="_manifest.json"):
        on_disk.read_pairs(out)
    on_disk.find_neighbors(path, threshold, out, scheduler=client, overwrite=True, tiles=2)
    assert not (out / "mine.txt").exists() and len(on_disk.read_pairs(out)) > 0
    assert sorted(p.name for p in tmp_path.iterdir()) == ["pairs"]
    # A part gone or cut short is found by the reader.
    part = sorted(out.glob("part-*.parquet"))[0]
    part.write_bytes(part.read_bytes()[:100])
    with pytest.raises(ValueError, match=part.name):
        on_disk.read_pairs(out)
    part.unlink()
    with pytest.raises(ValueError, match="missing"):
        on_disk.read_pairs(out)


def test_bad_scenes_and_arguments_are_errors_that_name_them(scenes, client, tmp_path):
    path, _, threshold = scenes["on the cuts"]
    with pytest.raises(FileNotFoundError, match="nothere.parquet"):
        on_disk.find_neighbors(tmp_path / "nothere.parquet", 0.1, tmp_path / "a", scheduler=client)
    text = tmp_path / "notes.parquet"
    text.write_text("not a scene")
    with pytest.raises(ValueError, match="notes.parquet"):
        on_disk.find_neighbors(text, 0.1, tmp_path / "a", scheduler=client)
    for arguments, error, words in [
            ({"tiles": 0}, ValueError, "tiles"), ({"tiles": 2.0}, TypeError, "tiles"),
            ({"processes": 2, "scheduler": client}, ValueError, "processes"),
            ({"scheduler": 8786}, TypeError, "scheduler"), ({"witnesses": True}, ValueError, "hull"),
            ({"workers": 0}, ValueError, "workers"), ({"rule": "faces"}, ValueError, "rule")]:
        with pytest.raises(error, match=words):
            on_disk.find_neighbors(path, threshold, tmp_path / "a", **{"scheduler": client, **arguments})
    assert sorted(p.name for p in tmp_path.iterdir()) == ["notes.parquet"]


def test_a_cell_the_search_cannot_use_fails_the_run_naming_it_and_leaves_nothing(client, tmp_path):
    cells = lattice_cells((4, 4, 4))
    vertices = cells.vertices.copy()
    vertices[8 * 37 + 3] = np.nan                     # scene cell 37
    broken = PackedCells(**{**cells.__dict__, "vertices": vertices})
    scene = tmp_path / "broken.parquet"
    # The package's writer refuses such a cell; another tool's need not.
    parquet.write_table(table_from_packed(broken), scene)
    with pytest.raises(ValueError, match="37"):
        on_disk.find_neighbors(scene, 0.25, tmp_path / "pairs", scheduler=client, tiles=3)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["broken.parquet"]


def test_a_worker_killed_in_the_middle_of_a_run_costs_a_retry_not_a_pair(tmp_path):
    scene = lattice_scene(tmp_path / "scene.parquet", (40, 40, 40), collections=2,
                          row_group_cells=4000)
    expected = in_memory(scene.cell_set(workers=1)[1], 0.25, "vertices-edges")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=":0", silence_logs=50) as cluster, \
            distributed.Client(cluster) as client:
        killed = []

        def kill_a_busy_worker():
            deadline = time.monotonic() + 60
            while time.monotonic() < deadline and not killed:
                for address, keys in client.processing().items():
                    if any("search_tile" in str(k) for k in keys):
                        pid = client.run(os.getpid, workers=[address])[address]
                        os.kill(pid, signal.SIGKILL)
                        killed.append(pid)
                        return
                time.sleep(0.005)

        killer = threading.Thread(target=kill_a_busy_worker)
        killer.start()
        on_disk.find_neighbors(scene.path, 0.25, tmp_path / "pairs", scheduler=client, tiles=16)
        killer.join()
    assert killed, "no tile was seen running"
    same_answer(on_disk.read_pairs(tmp_path / "pairs"), expected)


def first_part_written(folder, deadline=60.0):
    """Waits until a run beside ``folder`` has written a tile's part: its search is under way."""
    stop = time.monotonic() + deadline
    while time.monotonic() < stop and not any(folder.glob(".pairs.partial-*/part-*.parquet")):
        time.sleep(0.005)


def test_an_interrupted_run_leaves_no_output(tmp_path):
    # Interrupted in its search with most of its many small tiles to go.
    scene = lattice_scene(tmp_path / "scene.parquet", (30, 30, 30), row_group_cells=2000)
    out = tmp_path / "pairs"
    process = subprocess.Popen(
        [sys.executable, "-m", "cellprox", "neighbors", str(scene.path), "-t", "0.25", "-o", str(out),
         "-p", "1", "--tiles", "300", "-q"], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
        text=True)
    first_part_written(tmp_path)
    process.send_signal(signal.SIGINT)
    _, errors = process.communicate(timeout=60)
    assert process.returncode == 130, errors
    assert "interrupted; nothing was written" in errors
    assert sorted(p.name for p in tmp_path.iterdir()) == ["scene.parquet"]


def test_an_interrupt_leaves_nothing_behind_on_a_cluster_that_goes_on(client, tmp_path):
    # The cluster's workers outlive the run and go on with the tiles they had begun, into a
    # folder that must be gone for good; the cluster then serves the next run.
    scene = lattice_scene(tmp_path / "scene.parquet", (24, 24, 24), row_group_cells=2000)
    interrupter = threading.Thread(target=lambda: (first_part_written(tmp_path),
                                                   _thread.interrupt_main()))
    interrupter.start()
    with pytest.raises(KeyboardInterrupt):
        on_disk.find_neighbors(scene.path, 0.25, tmp_path / "pairs", scheduler=client, tiles=200)
    interrupter.join()
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline and any(client.processing().values()):
        time.sleep(0.01)
    time.sleep(0.2)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["scene.parquet"]
    on_disk.find_neighbors(scene.path, 0.25, tmp_path / "pairs", scheduler=client, tiles=2)
    assert len(on_disk.read_pairs(tmp_path / "pairs")) > 0


def test_the_command_line_writes_what_the_call_writes(scenes, tmp_path):
    path, cells, threshold = scenes["crowded"]
    out = tmp_path / "pairs"
    done = subprocess.run([sys.executable, "-m", "cellprox", "neighbors", str(path), "-t", str(threshold),
                           "--rule", "hull", "--witnesses", "-o", str(out), "-p", "1", "--tiles", "2", "-q"],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert "pairs of 2,000 cells in 2 tiles" in done.stdout
    same_answer(on_disk.read_pairs(out), in_memory(cells, threshold, "hull"))
    again = subprocess.run([sys.executable, "-m", "cellprox", "neighbors", str(path), "-t", "0.1",
                            "-o", str(out)], capture_output=True, text=True, timeout=300)
    assert again.returncode == 2 and "--overwrite" in again.stderr
