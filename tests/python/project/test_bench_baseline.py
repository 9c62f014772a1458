"""The module's kernels against the direct algorithm (the benchmark's baseline library), on small
workloads of every kind the benchmark uses, with the benchmark's own comparison code.

The baseline library is built by the test build (CELLPROX_BUILD_TESTS=ON) as
build/test/bench/libcellprox_baseline_<deliverable>.so; CELLPROX_BASELINE_LIB names another.
"""
import os
import sys
from pathlib import Path

import numpy as np
import pytest

ROOT = Path(__file__).resolve().parents[3]
sys.path.insert(0, str(ROOT / "bench"))

import compare  # noqa: E402
import peers  # noqa: E402
import workloads  # noqa: E402
from baseline import Baseline, library_name  # noqa: E402


@pytest.fixture(scope="module")
def baseline(MODULE_NAME):
    deliverable = MODULE_NAME.rsplit("_", 1)[-1]
    path = Path(os.environ.get("CELLPROX_BASELINE_LIB")
                or ROOT / "build" / "test" / "bench" / library_name(deliverable))
    if not path.exists():
        pytest.skip(f"no baseline library at {path} (built by the test build)")
    return Baseline(path)


@pytest.fixture(scope="module")
def small_workloads():
    pytest.importorskip("scipy")
    return {w.name: w for w in [workloads.uniform_boxes(300), workloads.dense_cluster(300),
                                workloads.crowded_boxes(300), *workloads.make("voronoi", 300)]}


@pytest.fixture(params=["uniform", "dense", "crowded", "voronoi-1c", "voronoi-2c", "voronoi-rc"])
def workload(request, small_workloads):
    return small_workloads[request.param]


def test_module_matches_the_direct_algorithm(ext, baseline, workload):
    broad, narrow = compare.check_workload(ext, baseline, workload)
    assert broad == []
    assert narrow.mismatches == 0, narrow.examples
    # The workload exercises both outcomes of the narrow phase and no decision hangs on rounding.
    assert 0 < narrow.passed < narrow.links
    assert narrow.near_threshold == 0


def test_pair_set_reference_and_peers_agree_with_the_baseline(baseline, workload):
    want = workloads.LinkTables(workload.corners).run(baseline.get_bb_intersections)
    pairs = peers.kdtree_pairs(workload.corners)
    assert compare.table_differences(
        compare.tables_from_pairs(workload.corners, pairs, baseline), want) == []
    if workload.kind in ("dense", "crowded"):
        # Full rows: pairs go to the higher row or are dropped.
        assert (want.link_count == 30).sum() > 100 and want.n_links < len(pairs)
    if workload.kind == "crowded":
        assert (want.link_count == 30).all()   # every row fills at once
    records = workloads.CellRecords(workload, want)
    expected = baseline.generate_neighbors(records.address, workload.n, want.n_links,
                                           workload.threshold)
    owners, neighbours = peers.link_owners(want.links, want.link_starts, want.link_count,
                                           want.n_links)
    slots = np.arange(0, want.n_links, max(1, want.n_links // 1500))
    got = peers.numpy_generate_neighbors(workload, owners, neighbours, slots)[slots]
    # Same decisions; values as close as the darwin deliverable's approximate square root allows.
    assert ((got >= 0) == (expected[slots] >= 0)).all()
    np.testing.assert_allclose(got, expected[slots], rtol=1e-6)


def test_baseline_row_capacity_and_strides(baseline):
    # Cell 0 overlaps cells 1..35, which do not overlap one another: row 0 takes 1..30, the
    # pairs with 31..35 go to those rows. Given as a Fortran-ordered box array.
    n = 36
    lower = np.zeros((n, 3), np.float32)
    upper = np.ones((n, 3), np.float32)
    lower[0], upper[0] = (0, 0, 0), (100, 1, 1)
    lower[1:, 0] = np.arange(1, n) * 2.5
    upper[1:, 0] = lower[1:, 0] + 1
    corners = np.stack([np.where([(c >> a) & 1 for a in range(3)], upper, lower)
                        for c in range(8)], axis=1)
    contiguous = workloads.LinkTables(corners).run(baseline.get_bb_intersections)
    assert contiguous.n_links == 35
    assert contiguous.links[0].tolist() == list(range(1, 31))
    assert contiguous.link_count[1:31].tolist() == [0] * 30
    assert contiguous.links[31:, 0].tolist() == [0] * 5
    assert contiguous.link_starts[31:].tolist() == list(range(30, 35))

    strided = workloads.LinkTables(corners)
    strided.bbox = np.asfortranarray(strided.bbox)
    strided.links = np.asfortranarray(strided.links)
    strided.run(baseline.get_bb_intersections)
    assert compare.table_differences(strided, contiguous) == []


def test_near_threshold_links_are_counted(baseline):
    # Two linked cells of one collection whose nearest vertices are exactly d apart.
    d = np.float32(0.75)
    w = workloads.from_cells("pair", [np.zeros((1, 3)), np.array([[d, 0, 0]])],
                             [np.zeros((0, 2)), np.zeros((0, 2))], np.zeros((2, 3)),
                             [0, 0], np.zeros((2, 8, 3)), float(d))
    tables = workloads.LinkTables(w.corners)
    tables.links[0, 0], tables.link_starts[0], tables.link_count[0], tables.n_links = 1, 0, 1, 1
    records = workloads.CellRecords(w, tables)
    for threshold, category in ((d, 1), (np.nextafter(d, np.float32(1)), 1), (2 * d, 0),
                                (d / 2, 2)):
        near, categories = baseline.classify_links(records.address, 2, 1,
                                                   *compare.near_bounds(float(threshold), 4))
        assert (near, categories.tolist()) == (int(category == 1), [category])
    # A result that differs there is explained by rounding; one elsewhere is not.
    want = np.array([-1.0], np.float32)
    check = compare.narrow_check(np.array([0.0], np.float32), want, records, float(d), baseline)
    assert (check.mismatches, check.near_threshold, check.unexplained) == (1, 1, 0)
    check = compare.narrow_check(np.array([0.0], np.float32), want, records, float(2 * d),
                                 baseline)
    assert (check.mismatches, check.unexplained) == (1, 1)


def test_numpy_peer_segment_distance_follows_the_written_steps(baseline):
    rng = np.random.default_rng(5)
    p0, p1, q0, q1 = (rng.uniform(-1, 1, (400, 3)).astype(np.float32) for _ in range(4))
    p1[:40] = p0[:40] + 2 * (q1[:40] - q0[:40])     # parallel
    p1[40:60] = p0[40:60]                             # first segment a point
    q1[60:80] = q0[60:80]                             # second segment a point
    p0[80:90], p1[80:90] = q0[80:90], q1[80:90]       # the same segment
    q0[90:100], q1[90:100] = p1[90:100], 2 * p1[90:100] - p0[90:100]   # collinear, end to end
    got = peers.segment_distances(*(tuple(x.T) for x in (p0, p1, q0, q1)))
    want = np.array([baseline.segment_distance(*s) for s in zip(p0, p1, q0, q1)], np.float32)
    np.testing.assert_allclose(got, want, rtol=1e-5, atol=1e-6)


class FaultyModule:
    """The module with one wrong entry in each kernel's result."""

    def __init__(self, ext):
        self.ext = ext

    def get_bb_intersections(self, bbox, cell_count, links, link_starts, link_count):
        n_links = self.ext.get_bb_intersections(bbox, cell_count, links, link_starts, link_count)
        row = int(np.flatnonzero(link_count >= 2)[0])
        links[row, :2] = links[row, 1::-1].copy()
        return n_links

    def generate_neighbors(self, *args):
        result = self.ext.generate_neighbors(*args)
        result[np.flatnonzero(result >= 0)[0]] = -1.0
        return result


def test_time_boxed_baseline_is_replaced_by_the_pair_set_reference(ext, baseline):
    import run

    w = workloads.uniform_boxes(300)
    for module, check in ((ext, "ok (pair-set reference)"), (FaultyModule(ext), "MISMATCH")):
        clock = run.Clock(repeat=1, time_box=30.0, repeat_budget=1.0)
        clock.history["broad/uniform/baseline"] = [(30, 1e9)]   # predicted far over the box
        row, tables = run.bench_broad(w, module, baseline, clock, "uniform")
        assert row.baseline.estimated and row.check == check
        assert row.ratio(row.baseline) is None or check.startswith("ok")
    assert compare.table_differences(
        tables, workloads.LinkTables(w.corners).run(baseline.get_bb_intersections)) == []


def test_benchmark_reports_only_checked_ratios(ext, MODULE_NAME, baseline, tmp_path,
                                              monkeypatch, capsys):
    import run

    monkeypatch.setitem(sys.modules, "faulty_cellprox", FaultyModule(ext))
    common = ["--sizes", "300", "--kinds", "uniform,dense", "--repeat", "1", "--omp-dir", "",
              "--baseline-lib", str(baseline.path), "--markdown", str(tmp_path / "table.md")]
    assert run.main(common + ["--module", MODULE_NAME]) == 0
    table = (tmp_path / "table.md").read_text()
    assert table.count("| ok") == 4 and "MISMATCH" not in table
    assert run.main(common + ["--module", "faulty_cellprox"]) == 1
    rows = [line for line in capsys.readouterr().out.splitlines()[-40:] if "MISMATCH" in line]
    assert len(rows) == 4 and all(line.count(" - ") >= 2 for line in rows)
