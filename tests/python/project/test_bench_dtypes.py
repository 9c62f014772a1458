"""bench/dtypes.py: its cubes are the same cells in every type, and a tiny run prints a table
for each kind of call, every combination in it. No timing is asserted."""
import subprocess
import sys
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parents[3]
sys.path.insert(0, str(ROOT / "bench"))

import dtypes  # noqa: E402

import cellprox  # noqa: E402


def test_the_cubes_are_the_same_cells_in_every_type():
    first = None
    for vertex_type in dtypes.VERTEX_TYPES:
        for index_type in dtypes.INDEX_TYPES:
            arrays = dtypes.cube_arrays(30, vertex_type, index_type, extras=True)
            assert {a.dtype.name for a in arrays.values()} == {vertex_type, index_type}
            cells = cellprox.CellSet.from_packed(**arrays)
            assert len(cells) == 30 and cells.v_counts.tolist() == [8] * 30 and cells.e_counts.tolist() == [12] * 30
            if first is None:
                first = cells
            np.testing.assert_array_equal(cells.vertex_data, first.vertex_data)
            np.testing.assert_array_equal(cells.collections, np.arange(30) % 2)
    # Side 0.8 on the unit lattice: neighbours 0.2 apart, none touching.
    assert len(cellprox.find_neighbors(first, 0.21)) > 0 and len(cellprox.find_neighbors(first, 0.19)) == 0


def test_a_tiny_run_prints_every_combination():
    completed = subprocess.run(
        [sys.executable, str(ROOT / "bench" / "dtypes.py"), "--cubes", "20", "--rounds", "1", "--warm", "1",
         "--only", "packed,lists"], capture_output=True, text=True, timeout=300)
    assert completed.returncode == 0, completed.stderr
    lines = completed.stdout.splitlines()
    assert lines[0].startswith("Machine: ")
    assert "CellSet.from_packed:" in lines and "CellSet(vertices, edges), one array per cell:" in lines
    rows = [line for line in lines if line.startswith("| float")]
    assert len(rows) == 16 and sum(" 1.00x " in row for row in rows) >= 2
