"""python -m cellprox demo: end to end in a subprocess, and its slice geometry."""
import os
import re
import subprocess
import sys
from types import SimpleNamespace

import numpy as np
import pytest

import cellprox

pytest.importorskip("scipy")
pytest.importorskip("matplotlib")

from cellprox.__main__ import main  # noqa: E402
from conftest import needs_numpy_1  # noqa: E402
from cellprox.demo import slice_polygons, summarize  # noqa: E402
from cellprox.fracture import voronoi_fracture  # noqa: E402


def run_cli(*args, cwd):
    return subprocess.run([sys.executable, "-m", "cellprox", *args], capture_output=True,
                          text=True, cwd=cwd, env=dict(os.environ), timeout=300)


def test_demo_runs_end_to_end_and_writes_a_png(tmp_path, MODULE_NAME):
    picture = tmp_path / "demo.png"
    completed = run_cli("demo", "--cells", "120", "--collections", "3", "--seed", "5",
                        "--threshold", "0.002", "--output", str(picture), cwd=tmp_path)
    assert completed.returncode == 0, completed.stderr
    out = completed.stdout
    assert f"native module {MODULE_NAME}" in out
    numbers = {key: int(re.search(rf"{key}\s+([\d,]+)", out).group(1).replace(",", ""))
               for key in ("cells", "candidate pairs", "confirmed neighbours", "face-sharing pairs")}
    assert numbers["cells"] == 120
    assert numbers["face-sharing pairs"] <= numbers["confirmed neighbours"] <= numbers["candidate pairs"]
    assert "of them confirmed (100.0%)" in out and "3 collections" in out
    assert re.search(r"fracture [\d.]+ s \| cell records [\d.]+ s \| neighbours [\d.]+ s", out)
    assert "without cells" not in out and "--rule hull" not in out
    # Progress on standard error, the fracture's count too; the picture on disk.
    assert "fracturing the unit box into 120 Voronoi cells" in completed.stderr
    assert "120/120" in completed.stderr
    with open(picture, "rb") as png:
        assert png.read(8) == b"\x89PNG\r\n\x1a\n"
    assert picture.stat().st_size > 20_000


EXAMPLE = os.path.join(os.path.dirname(__file__), "..", "..", "..", "examples", "proximity.py")


@pytest.mark.parametrize("args, message", [
    (["demo", "--cells", "0"], r"argument -n/--cells: 0 is out of range; give a whole number "
                               r"from 1 to 1,000,000"),
    (["demo", "--cells", "lots"], r"argument -n/--cells: 'lots' is not a whole number"),
    (["demo", "--seed", "-1"], r"argument -s/--seed: -1 is out of range; give a whole number 0 "
                               r"or more"),
    (["demo", "--collections", "101"], r"argument -c/--collections: 101 is out of range"),
    (["demo", "--threshold", "-1"], r"argument -t/--threshold: -1 is not positive; the "
                                    r"vertices-edges rule takes a positive finite distance"),
    (["demo", "--threshold", "inf"], r"argument -t/--threshold: inf is not finite"),
    (["demo", "--rule", "hull", "-t", "-0.5"], r"argument -t/--threshold: -0.5 is negative; the "
                                               r"hull rule takes a finite distance of 0 or more"),
    (["demo", "--rule", "convex"], r"argument -r/--rule: invalid choice: 'convex'"),
    (["demo", "--output", "picture.jpg"], r"argument -o/--output: .* does not end in \.png"),
    (["demo", "--output", "missing/demo.png"], r"argument -o/--output: 'missing' is a folder "
                                               r"that does not exist"),
    (["demo", "--output", "file/demo.png"], r"argument -o/--output: 'file' is not a folder"),
    (["demo", "--output", "."], r"argument -o/--output: '\.' does not end in \.png"),
    # The example drives the raw kernels.
    *(pytest.param(args, message, marks=needs_numpy_1) for args, message in [
        ([EXAMPLE, "--cells", "-3"], r"argument --cells: -3 is out of range"),
        ([EXAMPLE, "--threshold", "-1"], r"argument --threshold: -1 is not a positive distance"),
        ([EXAMPLE, "--seed", "x"], r"argument --seed: 'x' is not a whole number"),
    ]),
])
def test_bad_options_are_one_line_usage_errors(tmp_path, args, message):
    (tmp_path / "file").write_bytes(b"")
    command = ["-m", "cellprox", *args] if args[0] == "demo" else args
    completed = subprocess.run([sys.executable, *command], capture_output=True, text=True,
                               cwd=tmp_path, timeout=300)
    assert completed.returncode == 2, completed.stderr
    assert completed.stdout == "" and completed.stderr.count("\n") == 1, completed.stderr
    assert re.search(message, completed.stderr), completed.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == ["file"]      # nothing made


def test_version_and_the_default_path_in_help(tmp_path, monkeypatch):
    version = run_cli("--version", cwd=tmp_path)
    assert version.returncode == 0 and version.stdout == f"cellprox {cellprox.__version__}\n"
    assert "(default cellprox-demo.png)" in run_cli("demo", "--help", cwd=tmp_path).stdout
    monkeypatch.setenv("CELLPROX_DEMO_OUTPUT", "/srv/out/demo.png")     # as scripts/demo.sh does
    shown = run_cli("demo", "--help", cwd=tmp_path).stdout
    assert "(default /srv/out/demo.png)" in " ".join(shown.split())


def test_an_option_the_package_refuses_is_a_usage_error(tmp_path, monkeypatch, capsys):
    import cellprox.demo

    def refuse(cells, threshold, **keywords):
        raise ValueError("find_neighbors: threshold is too small,\n  use 1e-6 or more")

    monkeypatch.setattr(cellprox.demo, "find_neighbors", refuse)
    with pytest.raises(SystemExit) as exit_info:
        main(["demo", "-q", "-n", "20", "-t", "1e-9", "-o", str(tmp_path / "x.png")])
    assert exit_info.value.code == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and "argument -t/--threshold: 1e-09 was refused: find_neighbors: " \
        "threshold is too small, use 1e-6 or more" in err


def test_the_summary_explains_empty_collections_and_suggests_the_hull_rule():
    fracture = voronoi_fracture(3, collections=10)
    nothing = SimpleNamespace(pairs=np.zeros((0, 2), np.int32), n_links=40, rule="vertices-edges",
                              threshold=0.001, timings={"measure": 0.5})
    text = summarize(fracture, nothing, {"neighbours": 1.0}, seed=0, collections=10)
    assert "10 collections" in text and "collections without cells" in text
    assert "not one of 40 candidate pairs confirmed" in text and "try --rule hull" in text
    assert "neighbours 1.000 s (measure 0.500)" in text
    hull = SimpleNamespace(**{**vars(nothing), "rule": "hull"})
    assert "--rule hull" not in summarize(fracture, hull, {}, seed=0, collections=10)


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
    assert completed.stderr == ""
    out = completed.stdout
    assert "hull rule, threshold 0.001" in out and "boxes within the threshold" in out
    assert "of them confirmed (100.0%)" in out and "rows at" not in out
