"""cellprox.scene: scenes on disk round trip bit for bit, lattices are the same however they are
sliced, and every file that is not a scene is refused with its name."""
import gc
import json
import os
import pathlib
import pickle
import subprocess
import sys

import numpy as np
import pytest

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")

from cellprox import CellSet  # noqa: E402
from cellprox.__main__ import main  # noqa: E402
from conftest import run_doc_blocks  # noqa: E402
from cellprox.scene import (PackedCells, SceneWriter, lattice_cells, lattice_scene,  # noqa: E402
                            open_scene, packed_from_cell_set, packed_from_table, table_from_packed,
                            write_scene)

ROOT = pathlib.Path(__file__).resolve().parents[3]
FIELDS = ("numbers", "vertices", "vertex_offsets", "edges", "edge_offsets", "origins",
          "collections", "lower", "upper")


def assert_same_cells(got, expected):
    """Two CellSets hold the same cells, bit for bit and type for type."""
    for a, b in zip(got.search_arrays(), expected.search_arrays(), strict=True):
        assert a.dtype == b.dtype and a.shape == b.shape
        assert a.tobytes() == b.tobytes()


def assert_same_block(got, expected):
    for name in FIELDS:
        a, b = getattr(got, name), getattr(expected, name)
        assert a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes(), name


def point_clouds(n, seed):
    """Cells of 1 to 9 float64 points without edges, with their own origins."""
    rng = np.random.default_rng(seed)
    counts = rng.integers(1, 10, n)
    offsets = np.concatenate([[0], np.cumsum(counts)])
    return rng.normal(size=(offsets[-1], 3)) * 1e3, offsets, rng.normal(size=(n, 3))


def foreign_table(numbers, vertices, edges, origins, collections):
    """A table as another tool might write it: float64 variable-length lists, int64 edges, no
    bounds."""
    def lists(rows, kind):
        return pa.array([[list(map(kind, p)) for p in r] for r in rows])

    return pa.table({"cell": pa.array(numbers, pa.int64()),
                     "vertices": lists(vertices, float),
                     "edges": pa.array([None if e is None else [list(map(int, p)) for p in e]
                                        for e in edges], pa.list_(pa.list_(pa.int64()))),
                     "origin": pa.array([list(map(float, o)) for o in origins]),
                     "collection": pa.array(collections, pa.int64())})


@pytest.fixture(scope="module")
def cubes():
    return lattice_cells((3, 4, 5), collections=3, seed=2)


# Round trips


@pytest.mark.parametrize("row_group_cells", [1, 7, 1000])
def test_cell_sets_round_trip_bit_for_bit_over_any_row_groups(tmp_path, cubes, row_group_cells):
    cells = cubes.cell_set()
    scene = write_scene(tmp_path / "s.parquet", cells, row_group_cells=row_group_cells)
    sizes = [min(row_group_cells, 60 - start) for start in range(0, 60, row_group_cells)]
    assert len(scene) == 60 and scene.row_group_sizes.tolist() == sizes
    numbers, back = scene.cell_set(workers=1)
    assert numbers.dtype == np.int64 and numbers.tolist() == list(range(60))
    assert_same_cells(back, cells)
    start = 0
    for group, size in enumerate(sizes):
        block = scene.read_packed(group)
        expected = cubes.take(np.arange(start, start + size))
        assert_same_block(block, expected)
        boxes = scene.read_boxes(group)
        for got, want in zip(boxes, (expected.numbers, expected.lower, expected.upper)):
            assert got.tobytes() == want.tobytes()
        start += size


def test_cells_without_edges_packed_arrays_and_mixed_writes_number_on(tmp_path, cubes):
    vertices, offsets, origins = point_clouds(40, seed=3)
    edgeless = CellSet.from_packed(vertices, offsets, origins=origins, collections=5)
    path = tmp_path / "mixed.parquet"
    with SceneWriter(path, row_group_cells=16) as writer:
        writer.write_packed(vertices, offsets, origins=origins, collections=5)
        assert writer.cells_written == 40
        writer.write_block(packed_from_cell_set(cubes.cell_set(), first_number=100))
        writer.write(cubes.cell_set())
        assert writer.cells_written == 160
    assert not [name for name in os.listdir(tmp_path) if name != "mixed.parquet"]
    umask = os.umask(0o022)
    os.umask(umask)
    assert path.stat().st_mode & 0o777 == 0o666 & ~umask     # not private, as a new file is
    scene = open_scene(path)
    assert scene.row_group_sizes.tolist() == [16] * 10
    numbers, back = scene.cell_set()
    expected = list(range(40)) + list(range(100, 160)) + list(range(160, 220))
    assert numbers.tolist() == expected
    assert_same_cells(back, PackedCells.concatenate([
        packed_from_cell_set(edgeless), packed_from_cell_set(cubes.cell_set(), 100),
        packed_from_cell_set(cubes.cell_set(), 160)]).cell_set())
    first = scene.read_packed(0)
    assert len(first.edges) == 0 and first.edge_offsets.tolist() == [0] * 17


def test_a_fracture_round_trips(tmp_path):
    pytest.importorskip("scipy")
    from cellprox.fracture import voronoi_fracture
    from cellprox.scene import fracture_scene

    fracture = voronoi_fracture(50, seed=4, collections=2, workers=1)
    written = write_scene(tmp_path / "a.parquet", fracture, row_group_cells=16)
    assert_same_cells(written.cell_set()[1], fracture.cell_set())
    scene = fracture_scene(tmp_path / "b.parquet", 50, seed=4, collections=2, workers=1,
                           row_group_cells=16)
    assert scene.row_group_sizes.tolist() == [16, 16, 16, 2]
    assert_same_cells(scene.cell_set()[1], fracture.cell_set())


def test_tables_round_trip_and_large_blocks_of_cells_split_into_batches(cubes, monkeypatch):
    import cellprox._scene.tables as tables

    table = table_from_packed(cubes)
    assert table.column_names == ["cell", "vertices", "edges", "origin", "collection", "lower",
                                  "upper"]
    assert str(table.schema.field("vertices").type).startswith("list<element: fixed_size_list")
    assert_same_block(packed_from_table(table, "memory"), cubes)
    monkeypatch.setattr(tables, "_MAX_LIST_ROWS", 50)     # 6 cubes of edges a batch
    split = table_from_packed(cubes)
    assert [len(b) for b in split.to_batches()] == [4] * 15
    assert_same_block(packed_from_table(split, "memory"), cubes)


def test_a_scene_pickles_as_its_path_and_footer(tmp_path, cubes):
    scene = write_scene(tmp_path / "s.parquet", cubes, row_group_cells=8)
    data = pickle.dumps(scene)
    assert len(data) < 1500
    assert_same_block(pickle.loads(data).read_packed(7), scene.read_packed(7))


# Packed blocks


def test_take_and_concatenate_match_cell_by_cell_selection(cubes):
    vertices, offsets, origins = point_clouds(30, seed=5)
    block = packed_from_cell_set(CellSet.from_packed(vertices, offsets, origins=origins), 10)
    rows = np.array([0, 3, 4, 17, 29])
    taken = block.take(rows)
    cells = block.cell_set()
    assert taken.numbers.tolist() == (rows + 10).tolist()
    for i, row in enumerate(rows):
        part = taken.vertices[taken.vertex_offsets[i]:taken.vertex_offsets[i + 1]]
        assert part.tobytes() == cells.vertices(row).tobytes()
    assert_same_block(taken.take(np.array([], np.int64)), block.take(np.array([], np.int64)))
    halves = PackedCells.concatenate([cubes.take(np.arange(0, 25)), cubes.take(np.arange(25, 60))])
    assert_same_block(halves, cubes)
    assert len(PackedCells.concatenate([])) == 0
    with pytest.raises(ValueError, match="strictly increasing"):
        PackedCells.concatenate([cubes, cubes])
    with pytest.raises(ValueError, match="strictly increasing positions"):
        cubes.take(np.array([3, 2]))
    with pytest.raises(TypeError, match="vertices has dtype float64.*np.float32"):
        PackedCells(**{**{f: getattr(cubes, f) for f in FIELDS},
                       "vertices": cubes.vertices.astype(np.float64)})
    with pytest.raises(ValueError, match="origins has shape"):
        PackedCells(**{**{f: getattr(cubes, f) for f in FIELDS}, "origins": cubes.origins[1:]})


def test_write_block_refuses_numbers_that_go_back_and_blocks_that_lie(tmp_path, cubes):
    with pytest.raises(ValueError, match="numbers must keep increasing, so start the block at 60"):
        with SceneWriter(tmp_path / "s.parquet") as writer:
            writer.write_block(cubes)
            writer.write_block(cubes)
    wrong_bounds = PackedCells(**{**{f: getattr(cubes, f) for f in FIELDS},
                                  "lower": cubes.lower + 1})
    bad_edges = PackedCells(**{**{f: getattr(cubes, f) for f in FIELDS},
                               "edges": np.where(cubes.edges == 7, 8, cubes.edges).astype(np.int32)})
    vertices = cubes.vertices.copy()
    vertices[17, 1] = np.nan
    not_finite = PackedCells(**{**{f: getattr(cubes, f) for f in FIELDS}, "vertices": vertices})
    for block, message in ((wrong_bounds, "cell 0 lower and upper are not"),
                           (bad_edges, "cell 0 has an edge whose vertex numbers"),
                           (not_finite, "cell 2 has a vertex that is not finite")):
        with pytest.raises(ValueError, match=message):
            with SceneWriter(tmp_path / "s.parquet") as writer:
                writer.write_block(block)
    assert os.listdir(tmp_path) == []


# Lattices


def test_lattices_are_the_same_cells_whatever_the_row_groups_and_slices(tmp_path):
    shape = (2, 300, 120)            # 72,000 cells: two generation blocks
    whole = lattice_cells(shape, seed=9, collections=4, side=0.5, jitter=0.2, spacing=2.0)
    k = np.arange(len(whole))
    centres = np.stack([k // 36_000, k // 120 % 300, k % 120], axis=1) * 2.0
    moves = whole.origins.astype(np.float64) - centres
    assert np.abs(moves).max() <= 0.2 + 1e-4 and np.abs(moves).max() > 0.19   # float32 at 600
    corners = whole.vertices.reshape(-1, 8, 3).astype(np.float64) - whole.origins[:, None]
    assert np.allclose(np.abs(corners), 0.25, atol=1e-4)
    assert whole.collections.tolist() == (k % 4).tolist()
    assert_same_block(packed_from_cell_set(whole.cell_set()), whole)    # exact bounds
    for first, count in ((0, 10), (65_530, 20), (71_990, None)):
        part = lattice_cells(shape, seed=9, collections=4, side=0.5, jitter=0.2, spacing=2.0,
                             first=first, count=count)
        assert_same_block(part, whole.take(np.arange(first, first + len(part))))
    for rows in (5_000, 65_536):
        scene = lattice_scene(tmp_path / f"{rows}.parquet", shape, seed=9, collections=4,
                              side=0.5, jitter=0.2, spacing=2.0, row_group_cells=rows)
        assert scene.row_group_sizes.max() == rows
        assert_same_block(scene.read_packed(1), whole.take(np.arange(rows, min(2 * rows, 72_000))))
    assert not np.array_equal(lattice_cells((2, 2, 2), seed=1).origins,
                              lattice_cells((2, 2, 2), seed=2).origins)


def test_lattice_arguments_are_checked():
    for arguments, error, message in (
            (dict(shape=(2, 2)), TypeError, "shape must be three whole numbers"),
            (dict(shape=(2, 0, 2)), ValueError, "1 or more"),
            (dict(spacing=0.0), ValueError, "spacing must be a positive finite number"),
            (dict(jitter=-1), ValueError, "jitter must be a 0 or more finite number"),
            (dict(side="1"), TypeError, "side must be"),
            (dict(shape=(5, 2, 2), spacing=1e38), ValueError, "beyond what float32"),
            (dict(collections=0), ValueError, "collections must be"),
            (dict(first=9), ValueError, "first must be a whole number from 0 to 8"),
            (dict(first=2, count=7), ValueError, "count must be None or .* 0 to 6")):
        with pytest.raises(error, match=message):
            lattice_cells(**{"shape": (2, 2, 2), **arguments})


# Refusals


def test_the_writer_leaves_nothing_at_the_path_unless_it_closes_cleanly(tmp_path, cubes):
    path = tmp_path / "s.parquet"
    with pytest.raises(RuntimeError):
        with SceneWriter(path, row_group_cells=8) as writer:
            writer.write_block(cubes)          # several row groups already in the file
            raise RuntimeError("stop")
    writer = SceneWriter(path)
    writer.write_block(cubes)
    del writer
    gc.collect()
    assert os.listdir(tmp_path) == []
    write_scene(path, cubes)
    with pytest.raises(FileExistsError, match="s.parquet exists; pass overwrite=True"):
        SceneWriter(path)
    write_scene(path, cubes.take(np.arange(5)), overwrite=True)
    assert len(open_scene(path)) == 5
    with pytest.raises(FileNotFoundError, match="folder .*missing does not exist"):
        SceneWriter(tmp_path / "missing" / "s.parquet")
    # Someone else's file that appears while the scene is written is kept.
    other = tmp_path / "other.parquet"
    with pytest.raises(FileExistsError, match="was made while the scene was being written"):
        with SceneWriter(other) as writer:
            writer.write_block(cubes)
            other.write_text("theirs")
    assert other.read_text() == "theirs"
    assert sorted(os.listdir(tmp_path)) == ["other.parquet", "s.parquet"]
    with pytest.raises(ValueError, match="closed"):
        writer.write_block(cubes)


def test_files_that_are_not_scenes_are_refused_with_their_name(tmp_path, cubes):
    with pytest.raises(FileNotFoundError, match="nothing.parquet does not exist"):
        open_scene(tmp_path / "nothing.parquet")
    text = tmp_path / "notes.txt"
    text.write_text("cell,vertices\n0,1\n")
    scene = write_scene(tmp_path / "s.parquet", cubes, row_group_cells=8)
    cut = tmp_path / "cut.parquet"
    cut.write_bytes(scene.path.read_bytes()[:-200])
    no_columns = tmp_path / "columns.parquet"
    pq.write_table(pa.table({"cell": [0, 1], "vertex": [1.0, 2.0]}), no_columns)
    typed = tmp_path / "typed.parquet"
    pq.write_table(table_from_packed(cubes).set_column(4, "collection", pa.array(
        np.zeros(60), pa.float64())), typed)
    for path, message in ((text, "not a Parquet file"), (cut, "not a Parquet file"),
                          (no_columns, "no column 'vertices', 'edges', 'origin', 'collection'"),
                          (typed, "column 'collection' has type double, but it must be int32")):
        with pytest.raises(ValueError, match=message) as raised:
            open_scene(path)
        assert str(path) in str(raised.value)


def test_cell_numbers_out_of_order_and_nulls_are_found(tmp_path, cubes):
    table = table_from_packed(cubes.take(np.arange(6)))
    across = tmp_path / "across.parquet"
    with pq.ParquetWriter(across, table.schema) as writer:
        writer.write_table(table.slice(0, 4))
        writer.write_table(table.slice(2, 4))        # 2, 3 again
    with pytest.raises(ValueError, match="row group 1 starts at 2, but row group 0 ends at 3"):
        open_scene(across)
    shuffled = table.set_column(0, "cell", pa.array([0, 5, 3, 9, 10, 11], pa.int64()))
    within = tmp_path / "within.parquet"
    pq.write_table(shuffled, within)
    scene = open_scene(within)                # the statistics (0 to 11) cannot tell
    with pytest.raises(ValueError, match=r"within.parquet, row group 0: .*number 3 follows 5"):
        scene.read_packed(0)
    with pytest.raises(ValueError, match="number 3 follows 5"):
        scene.read_boxes(0)
    unstated = tmp_path / "unstated.parquet"
    pq.write_table(shuffled, unstated, write_statistics=False)
    with pytest.raises(ValueError, match="unstated.parquet, row group 0: .*number 3 follows 5"):
        open_scene(unstated)
    collections = pa.array([0, 1, 2, None, 4, 5], pa.int32())
    nulls = tmp_path / "nulls.parquet"
    pq.write_table(table.set_column(4, "collection", collections), nulls)
    with pytest.raises(ValueError, match="column 'collection': cell 3 is null"):
        open_scene(nulls).read_packed(0)
    marked = tmp_path / "marked.parquet"
    pq.write_table(table.replace_schema_metadata({"cellprox": json.dumps(
        {"format": "cellprox-scene", "version": 1, "cells": 7})}), marked)
    with pytest.raises(ValueError, match="marker says 7 cells, but its row groups hold 6"):
        open_scene(marked)


def test_foreign_files_in_float64_and_int64_are_read_as_a_cell_set_rounds_them(tmp_path):
    vertices, offsets, origins = point_clouds(12, seed=6)
    rows = [vertices[offsets[i]:offsets[i + 1]] for i in range(12)]
    edges = [np.array([[0, len(r) - 1]]) if i % 3 else None for i, r in enumerate(rows)]
    path = tmp_path / "foreign.parquet"
    numbers = np.arange(12) * 10 + 3
    pq.write_table(foreign_table(numbers, rows, edges, origins, np.arange(12)), path,
                   row_group_size=5)
    scene = open_scene(path)
    assert scene.row_group_sizes.tolist() == [5, 5, 2]
    got_numbers, cells = scene.cell_set()
    assert got_numbers.tolist() == numbers.tolist()
    expected = CellSet([r for r in rows], [np.zeros((0, 2), np.int64) if e is None else e
                                           for e in edges], origins=origins,
                       collections=np.arange(12))
    assert_same_cells(cells, expected)
    boxes = scene.read_boxes(1)
    assert boxes[1].tobytes() == expected.bounds()[0][5:10].tobytes()
    far = [np.array([[0, 2**40]])] + [None] * 11
    wide = tmp_path / "wide.parquet"
    pq.write_table(foreign_table(numbers, rows, far, origins, np.arange(12)), wide)
    with pytest.raises(ValueError, match="wide.parquet, row group 0: cell 3 has an edge whose vertex"):
        open_scene(wide).read_packed(0)


# Imports and the command line


def test_pyarrow_is_imported_only_when_a_scene_is_used_and_its_absence_is_explained(
        tmp_path, monkeypatch):
    script = ("import sys; import cellprox, cellprox.scene, cellprox.__main__; "
              "assert 'pyarrow' not in sys.modules; sys.modules['pyarrow'] = None\n"
              "try:\n    cellprox.scene.open_scene('x.parquet')\n"
              "except ImportError as error:\n    print(error)")
    completed = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                               timeout=120)
    assert completed.returncode == 0, completed.stderr
    assert 'pip install "cellprox[distributed]"' in completed.stdout
    monkeypatch.setattr(pa, "__version__", "16.1.0")
    with pytest.raises(ImportError, match="need pyarrow 17 or later, and pyarrow 16.1.0 is"):
        SceneWriter(tmp_path / "x.parquet")


def test_the_command_line_writes_scenes_and_refuses_bad_options(tmp_path, capsys):
    out = tmp_path / "l.parquet"
    assert main(["scene", "lattice", str(out), "--shape", "2", "3", "4", "--collections", "2",
                 "--row-group", "10", "--jitter", "0"]) == 0
    line = capsys.readouterr().out
    assert line.startswith(f"wrote 24 cells to {out} (") and "3 row groups" in line
    assert_same_block(open_scene(out).read_packed(2),
                      lattice_cells((2, 3, 4), collections=2, jitter=0, first=20))
    assert main(["scene", "lattice", str(out), "--shape", "2", "3", "4"]) == 2
    assert "l.parquet exists; pass --overwrite" in capsys.readouterr().err
    with pytest.raises(SystemExit) as exited:
        main(["scene", "lattice", str(out), "--shape", "2", "3", "-4"])
    assert exited.value.code == 2
    error = capsys.readouterr().err
    assert "scene lattice: error: argument --shape: -4 is out of range" in error
    assert error.count("\n") == 1
    with pytest.raises(SystemExit):
        main(["scene", "fracture", str(out), "--cells", "10", "--bogus"])
    assert "scene fracture: error: unrecognized arguments: --bogus" in capsys.readouterr().err
    pytest.importorskip("scipy")
    assert main(["scene", "fracture", str(tmp_path / "f.parquet"), "--cells", "30",
                 "-j", "1", "--seed", "3"]) == 0
    assert "wrote 30 cells" in capsys.readouterr().out


def test_the_guide_to_scenes_runs_as_written(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    assert run_doc_blocks((ROOT / "docs" / "scene.md").read_text(), "docs/scene.md") == (1, 0)
    assert "<CellSet of 500 cells" in capsys.readouterr().out
