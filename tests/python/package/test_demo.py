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
                        "--threshold", "0.002", "--workers", "2", "--output", str(picture),
                        cwd=tmp_path)
    assert completed.returncode == 0, completed.stderr
    out = completed.stdout
    assert f"native module {MODULE_NAME}" in out
    numbers = {key: int(re.search(rf"{key}\s+([\d,]+)", out).group(1).replace(",", ""))
               for key in ("cells", "candidate pairs", "confirmed neighbours", "face-sharing pairs")}
    assert numbers["cells"] == 120
    assert numbers["face-sharing pairs"] <= numbers["confirmed neighbours"] <= numbers["candidate pairs"]
    assert "of them confirmed (100.0%)" in out and "3 collections" in out
    # The candidates are find_neighbors' (boxes within the threshold), not the raw broad phase's.
    assert re.search(r"candidate pairs +[\d,]+  vertex boxes within the threshold", out)
    assert re.search(r"fracture [\d.]+ s \| cell records [\d.]+ s \| neighbours [\d.]+ s", out)
    assert "without cells" not in out and "--rule hull" not in out
    # Progress on standard error, the fracture's count too; the picture on disk.
    assert "fracturing the unit box into 120 Voronoi cells" in completed.stderr
    assert "120/120" in completed.stderr
    with open(picture, "rb") as png:
        assert png.read(8) == b"\x89PNG\r\n\x1a\n"
    assert picture.stat().st_size > 20_000


EXAMPLE = os.path.join(os.path.dirname(__file__), "..", "..", "..", "examples", "proximity.py")


@needs_numpy_1     # the example drives the raw kernels too
def test_the_example_runs_both_ways_and_the_package_finds_every_confirmed_link(tmp_path):
    counts = {}
    for workers in ("1", "2"):
        completed = subprocess.run([sys.executable, EXAMPLE, "--cells", "3000", "-j", workers],
                                   capture_output=True, text=True, cwd=tmp_path, timeout=300)
        assert completed.returncode == 0, completed.stderr
        lines = dict(line.split(":", 1) for line in completed.stdout.splitlines())
        counts[workers] = [int(lines[key].split()[0]) for key in ("confirmed links", "package's search")]
    # The same pairs on any number of threads; each link the raw kernels confirm is one of them.
    assert counts["1"] == counts["2"] and 0 < counts["1"][0] <= counts["1"][1]


@pytest.mark.parametrize("args, message", [
    (["demo", "--cells", "0"], r"argument -n/--cells: 0 is out of range; give a whole number "
                               r"from 1 to 1,000,000"),
    (["demo", "--cells", "lots"], r"argument -n/--cells: 'lots' is not a whole number"),
    (["demo", "--cells", "2.5"], r"argument -n/--cells: '2.5' is not a whole number"),
    # A whole number written with an exponent is one, and too many cells here.
    (["demo", "--cells", "1e9"], r"argument -n/--cells: 1,000,000,000 is out of range; give a "
                                 r"whole number from 1 to 1,000,000"),
    # Refused before minutes of work: a threshold across the box makes every pair a candidate.
    (["demo", "-n", "100000", "-t", "10"], r"argument -t/--threshold: 10 reaches across the whole "
                                           r"unit box: all 4,999,950,000 pairs of the 100,000 "
                                           r"cells are candidates, more than the demo's"),
    (["demo", "-n", "100000", "-t", "0.3"], r"0\.3 is 13\.9 times the cells' spacing: about "
                                            r"844,000,000 candidate pairs.*about 0\.022 for "
                                            r"100,000 cells"),
    # An unknown option points at the command's help, which lists the command's options.
    (["demo", "--bogus"], r"^python -m cellprox demo: error: unrecognized arguments: --bogus "
                          r"\(see python -m cellprox demo --help\)$"),
    (["demo", "--seed", "-1"], r"argument -s/--seed: -1 is out of range; give a whole number 0 "
                               r"or more"),
    (["demo", "--collections", "101"], r"argument -c/--collections: 101 is out of range"),
    (["demo", "--threshold", "-1"], r"argument -t/--threshold: -1 is not positive; the "
                                    r"vertices-edges rule takes a positive finite distance"),
    (["demo", "--threshold", "inf"], r"argument -t/--threshold: inf is not finite"),
    (["demo", "--rule", "hull", "-t", "-0.5"], r"argument -t/--threshold: -0.5 is negative; the "
                                               r"hull rule takes a finite distance of 0 or more"),
    (["demo", "--rule", "convex"], r"argument -r/--rule: invalid choice: 'convex'"),
    (["demo", "--workers", "0"], r"argument -j/--workers: 0 is out of range; give 1 to 1,024, "
                                 r"or -1 for every core"),
    (["demo", "-j", "1025"], r"argument -j/--workers: 1,025 is out of range"),
    (["demo", "-j", "-2"], r"argument -j/--workers: -2 is out of range"),
    (["demo", "-j", "two"], r"argument -j/--workers: 'two' is not a whole number; give 1 to"),
    (["demo", "--output", "picture.jpg"], r"argument -o/--output: .* does not end in \.png"),
    (["demo", "--output", "missing/demo.png"], r"argument -o/--output: 'missing' is a folder "
                                               r"that does not exist"),
    (["demo", "--output", "file/demo.png"], r"argument -o/--output: 'file' is not a folder"),
    (["demo", "--output", "."], r"argument -o/--output: '\.' does not end in \.png"),
    (["demo", "--frames", "0"], r"argument --frames: 0 is out of range; give a whole number from 1 "
                                r"to 10,000"),
    (["demo", "--frames", "10001"], r"argument --frames: 10,001 is out of range"),
    (["demo", "--frames", "many"], r"argument --frames: 'many' is not a whole number"),
    (["demo", "--frames", "3", "--save-vtk", "out"], r"argument --save-vtk: not with --frames"),
    # The example drives the raw kernels.
    *(pytest.param(args, message, marks=needs_numpy_1) for args, message in [
        ([EXAMPLE, "--cells", "-3"], r"argument --cells: -3 is out of range"),
        ([EXAMPLE, "--threshold", "-1"], r"argument --threshold: -1 is not a positive distance"),
        ([EXAMPLE, "--seed", "x"], r"argument --seed: 'x' is not a whole number"),
        ([EXAMPLE, "-j", "0"], r"argument -j/--workers: 0 threads cannot search"),
        ([EXAMPLE, "--workers", "1025"], r"argument -j/--workers: 1025 is out of range"),
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


def test_workers_reach_the_fracture_and_the_search(tmp_path, monkeypatch):
    import cellprox.demo

    class Searched(Exception):
        pass

    seen = {}

    def fracture(*args, workers, **keywords):
        seen["fracture"] = workers
        return voronoi_fracture(*args, **keywords)

    def search(*args, workers, **keywords):
        seen["search"] = workers
        raise Searched

    monkeypatch.setattr(cellprox.demo, "voronoi_fracture", fracture)
    monkeypatch.setattr(cellprox.demo, "find_neighbors", search)
    for options, workers in ([], None), (["-j", "3"], 3), (["--workers", "-1"], -1):
        with pytest.raises(Searched):
            main(["demo", "-q", "-n", "20", *options, "-o", str(tmp_path / "x.png")])
        assert seen == {"fracture": workers, "search": workers}


def test_help_describes_the_search_the_demo_runs(tmp_path):
    shown = " ".join(run_cli("demo", "--help", cwd=tmp_path).stdout.split())
    assert "cellprox.find_neighbors" in shown and "vertex boxes come within the threshold" in shown
    assert "0.002" not in shown and "overlapping" not in shown


@pytest.mark.parametrize("failure, message", [
    (MemoryError(), "cellprox demo: out of memory with 20 cells at threshold 0.001; ask for "
                    "fewer cells or a smaller threshold"),
    (ModuleNotFoundError("No module named 'matplotlib'"),
     "cellprox demo: the fracture needs scipy and the picture matplotlib (No module named "
     "'matplotlib'); install both with: pip install \"cellprox[demo]\""),
    (PermissionError(13, "Permission denied"), "cellprox demo: cannot write "),
])
def test_failures_a_user_can_cause_end_in_one_line(tmp_path, monkeypatch, capsys, failure,
                                                   message):
    import cellprox.demo

    def fail(*args, **keywords):
        raise failure

    monkeypatch.setattr(cellprox.demo, "find_neighbors", fail)
    assert main(["demo", "-q", "-n", "20", "-o", str(tmp_path / "x.png")]) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and err.startswith(message), err


def test_a_threshold_beyond_the_spacing_is_warned_of_and_many_links_are_sampled(tmp_path):
    completed = run_cli("demo", "-q", "-n", "300", "-t", "1", "-o", str(tmp_path / "all.png"),
                        cwd=tmp_path)
    assert completed.returncode == 0, completed.stderr
    assert completed.stderr == (
        "cellprox demo: warning: threshold 1 reaches across the whole unit box: all 44,850 pairs "
        "of the 300 cells are candidates (the spacing is about 0.15 for 300 cells); most cells "
        "pair with many beyond their faces\n")
    assert re.search(r"candidate pairs +44,850", completed.stdout)


def test_the_picture_draws_a_sample_of_many_links(monkeypatch):
    import cellprox.demo

    monkeypatch.setattr(cellprox.demo, "MAX_DRAWN_LINKS", 25)
    fracture = voronoi_fracture(200, seed=3, collections=2)
    cells = fracture.cell_set()
    shown = cellprox.demo.picture(fracture, cells, cellprox.find_neighbors(cells, 0.5), {})
    assert len(shown.slice_same) + len(shown.slice_across) <= 50 < shown.slice_links
    assert len(shown.across_links) == 25


def test_many_collections_keep_the_legend_inside_the_picture(tmp_path):
    # A legend entry per collection once outgrew the figure: matplotlib warned and cut it off.
    completed = run_cli("demo", "-q", "-n", "150", "-c", "100", "-o", str(tmp_path / "c.png"),
                        cwd=tmp_path)
    assert completed.returncode == 0 and completed.stderr == "", completed.stderr
    from cellprox.demo.picture import _collection_labels
    assert _collection_labels(100)[:2] == ["collections 0, 7, 14, ..., 98",
                                           "collections 1, 8, 15, ..., 99"]
    assert len(_collection_labels(100)) == 7 and len(_collection_labels(3)) == 3


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
    assert "hull rule, threshold 0.001" in out and "hull distance within the threshold" in out
    assert "of them confirmed (100.0%)" in out and "rows at" not in out


def run_frames(capsys, *args):
    assert main(["demo", "-n", "40", "-s", "3", "-j", "1", *args]) == 0
    return capsys.readouterr()


def test_frames_follow_the_pieces_and_report_what_began_and_ended(capsys):
    pytest.importorskip("cellprox.frames", reason="this build has no Tracker")
    from cellprox.demo.animation import animation, frame_arrays

    frames = 6
    captured = run_frames(capsys, "--frames", str(frames), "-t", "0.002")
    lines = captured.out.splitlines()
    # No picture in this mode, progress on standard error only.
    assert not any(line.startswith("picture:") for line in lines)
    assert "fracturing the unit box into 40 Voronoi cells" in captured.err
    scene = animation(voronoi_fracture(40, seed=3, collections=2, workers=1), seed=3)
    fresh = [cellprox.find_neighbors(scene.cells, 0.002, workers=1)]
    for t in range(1, frames + 1):
        vertices, origins = frame_arrays(scene, t)
        cells = cellprox.CellSet.from_packed(vertices, np.cumsum([0, *scene.cells.v_counts]),
                                             scene.cells.edge_data, np.cumsum([0, *scene.cells.e_counts]),
                                             origins=origins, collections=scene.cells.collections)
        fresh.append(cellprox.find_neighbors(cells, 0.002, workers=1))
    assert lines[0] == f"frame 0: {len(fresh[0]):,} contacts (vertices-edges rule, threshold 0.002)"
    shown = 0
    for t in range(1, frames + 1):
        before = set(map(tuple, fresh[t - 1].pairs.tolist()))
        after = set(map(tuple, fresh[t].pairs.tolist()))
        began, ended = after - before, before - after
        line = [x for x in lines if re.match(rf"frame {t}: \d+ contacts, ", x)]
        assert len(line) == 1, lines
        match = re.fullmatch(rf"frame {t}: (\d+) contacts, (\d+) began, (\d+) ended, "
                             r"(searched afresh|rebuilt the candidate list|relisted the cells that left their skin|kept the candidate list), [\d.]+ ms", line[0])
        assert match and tuple(map(int, match.groups()[:3])) == (len(after), len(began), len(ended))
        # Examples of the changes name real ones, on the first frames that have any.
        for word, changed in (("began", began), ("ended", ended)):
            example = [x for x in lines if x.startswith(f"frame {t}: {len(changed)} contacts {word}, e.g. ")]
            if example:
                named = {tuple(map(int, pair.split("-"))) for pair in example[0].split("e.g. ")[1].split(", ")}
                assert named and named <= changed
            shown += bool(example)
    assert shown > 0
    summary = lines[-1]
    assert re.match(rf"{frames} frames in [\d.]+ s \(", summary)
    assert f"{len(fresh[0]):,} contacts at frame 0, {len(fresh[-1]):,} at the last" in summary


def test_quiet_frames_print_only_the_summary_and_the_hull_rule_runs(capsys):
    pytest.importorskip("cellprox.frames", reason="this build has no Tracker")
    captured = run_frames(capsys, "--frames", "3", "-q", "-r", "hull", "-t", "0")
    assert captured.err == ""
    assert len(captured.out.splitlines()) == 1 and captured.out.startswith("3 frames in ")
