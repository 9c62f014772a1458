"""python -m cellprox demo: end to end in a subprocess, and its slice geometry."""
import os
import re
import subprocess
import sys

import numpy as np
import pytest

pytest.importorskip("scipy")
pytest.importorskip("matplotlib")

from cellprox.__main__ import main  # noqa: E402
from cellprox.demo import slice_polygons  # noqa: E402
from cellprox.fracture import voronoi_fracture  # noqa: E402


def run_cli(*args, cwd):
    return subprocess.run([sys.executable, "-m", "cellprox", *args], capture_output=True,
                          text=True, cwd=cwd, env=dict(os.environ), timeout=300)


def test_demo_runs_end_to_end_and_writes_a_png(tmp_path, MODULE_NAME):
    picture = tmp_path / "out" / "demo.png"
    completed = run_cli("demo", "--cells", "120", "--collections", "3", "--seed", "5",
                        "--threshold", "0.002", "--output", str(picture), cwd=tmp_path)
    assert completed.returncode == 0, completed.stderr
    out = completed.stdout
    assert f"native module {MODULE_NAME}" in out
    numbers = {key: int(re.search(rf"{key}\s+([\d,]+)", out).group(1).replace(",", ""))
               for key in ("cells", "candidate links", "confirmed neighbours", "face-sharing pairs")}
    assert numbers["cells"] == 120
    assert numbers["face-sharing pairs"] <= numbers["confirmed neighbours"] <= numbers["candidate links"]
    assert "of them confirmed (100.0%)" in out
    assert re.search(r"broad phase [\d.]+ s \| narrow phase [\d.]+ s", out)
    # Progress on standard error, the picture on disk.
    assert "fracturing the unit box into 120 Voronoi cells" in completed.stderr
    with open(picture, "rb") as png:
        assert png.read(8) == b"\x89PNG\r\n\x1a\n"
    assert picture.stat().st_size > 20_000


@pytest.mark.parametrize("args, message", [
    (["demo", "--cells", "0"], r"--cells: 0 is not positive"),
    (["demo", "--threshold", "-1"], r"--threshold: -1.0 is not a positive finite distance"),
    (["demo", "--output", "picture.jpg"], r"does not end in \.png"),
    (["demo", "--quiet", "--cells", "5", "--output", "file/below.png"],
     r"cannot write .*file.*choose another path with --output"),
])
def test_demo_rejects_bad_arguments_before_working(tmp_path, monkeypatch, capsys, args, message):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "file").write_bytes(b"")     # a path below a file cannot be written
    with pytest.raises(SystemExit) as exit_info:
        sys.exit(main(args))
    assert exit_info.value.code != 0
    captured = capsys.readouterr()
    assert re.search(message, captured.err), captured.err
    assert captured.out == ""


def test_slice_cross_sections_tile_the_box_section():
    fracture = voronoi_fracture(150, seed=2, box=(2.0, 1.0, 1.0))
    polygons, cells = slice_polygons(fracture.cell_set(), 0.37)
    assert len(polygons) == len(cells) == len(set(cells.tolist())) > 10

    def area(ring):
        x, y = ring[:, 0], ring[:, 1]
        return 0.5 * abs(np.dot(x, np.roll(y, 1)) - np.dot(y, np.roll(x, 1)))

    assert sum(area(p) for p in polygons) == pytest.approx(2.0, rel=1e-5)
    for ring, cell in zip(polygons, cells.tolist()):
        v = fracture.vertices[cell]
        assert v[:, 2].min() < 0.37 < v[:, 2].max()


def test_demo_runs_the_hull_rule(tmp_path):
    completed = run_cli("demo", "--rule", "hull", "--cells", "60", "--quiet", "--output",
                        str(tmp_path / "hull.png"), cwd=tmp_path)
    assert completed.returncode == 0, completed.stderr
    out = completed.stdout
    assert "hull rule, threshold 0.001" in out and "boxes within the threshold" in out
    assert "of them confirmed (100.0%)" in out and re.search(r"hull phase [\d.]+ s", out)
