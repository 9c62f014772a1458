"""cellprox._progress: the progress line of long steps, with tqdm and without."""
import sys
import threading

import pytest

from cellprox import _progress
from cellprox._progress import progress_bar


def test_a_disabled_bar_prints_nothing(capsys):
    with progress_bar(False, "step", 10) as bar:
        for done in range(11):
            bar.update(done)
    assert capsys.readouterr() == ("", "")


def test_the_plain_counter_rewrites_one_line_and_ends_it(capsys, monkeypatch):
    monkeypatch.setitem(sys.modules, "tqdm", None)
    # No refresh falls due within the test: only the start and the last count show.
    monkeypatch.setattr(_progress, "REFRESH_INTERVAL", 1e9)
    with progress_bar(True, "cutting", 2000) as bar:
        for done in range(0, 2001, 10):
            bar.update(done)
    out, err = capsys.readouterr()
    assert out == ""
    lines = err.split("\r")[1:]
    assert len(lines) == 2 and err.endswith("\n") and err.count("\n") == 1
    assert lines[0].startswith("cutting: 0/2,000 cells (  0%)")
    assert lines[-1].startswith("cutting: 2,000/2,000 cells (100%)")


def test_an_interrupted_bar_still_ends_its_line(capsys, monkeypatch):
    monkeypatch.setitem(sys.modules, "tqdm", None)
    with pytest.raises(KeyboardInterrupt):
        with progress_bar(True, "counting", None, unit="pairs") as bar:
            bar.update(1234567)
            raise KeyboardInterrupt
    err = capsys.readouterr().err
    assert "counting: 1,234,567 pairs" in err and err.endswith("\n")


def test_tqdm_draws_the_bar_and_leaves_no_thread_behind(capsys):
    pytest.importorskip("tqdm")
    threads = threading.active_count()
    with progress_bar(True, "measuring", 500, unit="pairs") as bar:
        for done in range(0, 501, 50):
            bar.update(done)
    err = capsys.readouterr().err
    assert "measuring" in err and "500/500" in err and "pairs" in err
    assert threading.active_count() == threads


def test_find_neighbors_reports_its_search_when_asked(capsys, monkeypatch):
    import numpy as np

    import cellprox

    monkeypatch.setitem(sys.modules, "tqdm", None)
    points = np.random.default_rng(2).uniform(0, 1, (300, 8, 3)).astype(np.float32)
    cells = cellprox.CellSet(list(points), [np.zeros((0, 2), np.int32)] * 300)
    quiet = cellprox.find_neighbors(cells, 0.01, rule="hull")
    assert capsys.readouterr() == ("", "")
    shown = cellprox.find_neighbors(cells, 0.01, rule="hull", progress=True)
    out, err = capsys.readouterr()
    assert shown == quiet and out == ""
    assert "find_neighbors (hull): 300/300 cells (100%)" in err and err.endswith("\n")
