"""What the package is given, checked before it is converted: numbers that do not fit or are not
whole, offsets, crafted pickles of cell sets and results, and the errors a user reads when the
search runs out of memory or scipy is missing."""
import copy
import copyreg
import os
import pathlib
import pickle
import re
import subprocess
import sys

import numpy as np
import pytest

import cellprox

CUBE = np.array([[c & 1, c >> 1 & 1, c >> 2 & 1] for c in range(8)], np.float32)
EDGES = np.array([[c, c | 1 << a] for c in range(8) for a in range(3) if not c >> a & 1])


def with_edge(edge, dtype=None):
    """Two cubes, the second with one more edge (given as is)."""
    dtype = dtype or np.asarray(edge).dtype
    return [EDGES.astype(dtype), np.vstack([EDGES.astype(dtype), np.array([edge], dtype)])]


def from_packed(edges):
    return cellprox.CellSet.from_packed(np.vstack([CUBE, CUBE + 2]), [0, 8, 16], np.vstack(edges),
                                        [0, 12, 25])


def loaded(edges):
    state = cellprox.CellSet([CUBE, CUBE + 2], with_edge([0, 1])).__reduce__()[1][0]
    return cellprox.cells._unpickle_cell_set(dict(state, edge_data=np.vstack(edges)))


MAKERS = {
    "CellSet": lambda edges: cellprox.CellSet([CUBE, CUBE + 2], edges),
    "CellSet.from_packed": from_packed,
    "find_neighbors": lambda edges: cellprox.find_neighbors([CUBE, CUBE + 2], 0.1, edges=edges),
    "CellSet (loading a pickle)": loaded,
}


@pytest.mark.parametrize("who", MAKERS)
@pytest.mark.parametrize("edge, dtype, shown", [
    ([6, 2**32 + 2], np.int64, "(6, 4294967298)"),
    ([2**63 + 2, 6], np.uint64, "(9223372036854775810, 6)"),
    ([0, 2**31], np.int64, "(0, 2147483648)"),
    ([-2**40, 0], np.int64, "(-1099511627776, 0)"),
])
def test_edge_numbers_are_refused_as_given_not_wrapped(who, edge, dtype, shown):
    with pytest.raises(ValueError, match=rf"cell 1: edge 12 is {re.escape(shown)}, but the cell "
                                         "has 8 vertices") as caught:
        MAKERS[who](with_edge(edge, dtype))
    assert str(caught.value).startswith("CellSet:" if who == "find_neighbors" else who + ":")


def test_mixed_integer_types_keep_the_numbers_as_given():
    # int64 and uint64 arrays join as float64 in numpy, which rounds 2**63 + 2.
    edges = [EDGES.astype(np.int64), np.array(EDGES.tolist() + [[2**63 + 2, 1]], np.uint64)]
    with pytest.raises(ValueError, match=r"cell 1: edge 12 is \(9223372036854775810, 1\)"):
        cellprox.CellSet([CUBE, CUBE], edges)
    cells = cellprox.CellSet([CUBE, CUBE], [EDGES.astype(np.int64), EDGES.astype(np.uint64)])
    assert cells.edge_data.dtype == np.int32
    np.testing.assert_array_equal(cells.edges(1), EDGES)


def test_the_loader_takes_whole_float_edge_numbers_and_refuses_others():
    whole = loaded(with_edge([0, 7]))
    assert whole.edges(1)[-1].tolist() == [0, 7] and whole.edge_data.dtype == np.int32
    for edge, shown in (([0.9, 1.9], r"\(0\.9, 1\.9\)"), ([0, np.nan], r"\(0\.0, nan\)")):
        with pytest.raises(ValueError, match=rf"cell 1: edge 12 is {shown}, but vertex numbers "
                                             "are whole numbers"):
            loaded([EDGES.astype(float), np.vstack([EDGES, [edge]])])


@pytest.mark.parametrize("offsets, words", [
    ([], r"vertex_offsets is empty, but it needs at least one element"),
    ([1, 8, 16], r"vertex_offsets\[0\] is 1, but the first cell's rows start at 0"),
    ([0, 9, 5, 16], r"cell 1: vertex_offsets fall from 9 to 5; offsets must never fall"),
    ([0, 8, 17], r"cell 1: vertex_offsets\[2\] is 17, beyond the 16 rows of vertices"),
    ([0, 8, 12], r"vertex_offsets end at 12, but there are 16 rows of vertices"),
    (np.array([0, 2**63 + 5, 16], np.uint64), r"cell 0: vertex_offsets\[1\] is 9223372036854775813"),
    (np.array([0, 2**32 + 8, 16]), r"cell 0: vertex_offsets\[1\] is 4294967304, beyond"),
])
def test_offsets_say_what_is_wrong_with_the_numbers_as_given(offsets, words):
    with pytest.raises(ValueError, match="^CellSet.from_packed: " + words) as caught:
        cellprox.CellSet.from_packed(np.vstack([CUBE, CUBE]), offsets)
    assert "715" not in str(caught.value)     # the row limit only where it is the cause
    with pytest.raises(ValueError, match="edge_offsets is empty"):
        cellprox.CellSet.from_packed(CUBE, [0, 8], EDGES, [])


def test_the_row_limit_is_quoted_when_a_cell_has_too_many_rows():
    rows = np.broadcast_to(np.float32(0), (800_000_000, 3))     # no memory behind it
    with pytest.raises(ValueError, match=r"cell 0: vertex_offsets go from 0 to 800000000, "
                                         r"800,000,000 rows, but a cell may own at most 715,827,882"):
        cellprox.CellSet.from_packed(rows, [0, 800_000_000])


def test_collections_and_link_tables_name_the_cell_and_the_number():
    with pytest.raises(ValueError, match=r"CellSet: cell 1: its collection is 1099511627776, but"):
        cellprox.CellSet([CUBE, CUBE], [EDGES] * 2, collections=[0, 2**40])
    with pytest.raises(ValueError, match=r"CellSet: collections is 18446744073709551615, but"):
        cellprox.CellSet([CUBE], [EDGES], collections=np.uint64(2**64 - 1))
    cells = cellprox.CellSet([CUBE, CUBE], [EDGES] * 2)
    links, starts, counts = cellprox.link_tables(2)
    counts[:] = 1
    starts[:] = [0, 1]
    wide = links.astype(np.int64)
    wide[1, 0] = 2**32
    with pytest.raises(ValueError, match=r"cell 1: link 0 is 4294967296, which is no cell number"):
        cells.attach_links(wide, starts, counts)
    with pytest.raises(ValueError, match=r"cell 1: link_starts is 9223372036854775809, beyond 32"):
        cells.attach_links(links, np.array([0, 2**63 + 1], np.uint64), counts)


# --- Pickles -----------------------------------------------------------------------------------

def cell_state():
    return cellprox.CellSet([CUBE, CUBE + 2], [EDGES] * 2).__reduce__()[1][0]


@pytest.mark.parametrize("change, words", [
    (lambda s: {k: v for k, v in s.items() if k != "origins"}, r"the pickled state lacks origins"),
    (lambda s: dict(s, extra=1), r"the pickled state has unknown keys extra"),
    (lambda s: list(s.items()), r"the pickled state is a list, not a dict"),
    (lambda s: dict(s, collections=np.array([0.5, 1])), r"collections must be integers"),
    (lambda s: dict(s, vertex_data=s["vertex_data"].astype(str)), r"vertex_data and edge_data must be numbers"),
    (lambda s: dict(s, links=np.zeros((2, 30)), link_starts=np.zeros(2), link_count=np.zeros(2)),
     r"links must be integers"),
])
def test_a_crafted_cell_set_pickle_is_a_value_error(change, words):
    with pytest.raises(ValueError, match=r"^CellSet \(loading a pickle\): .*" + words):
        cellprox.cells._unpickle_cell_set(change(cell_state()))


@pytest.fixture(scope="module")
def results():
    cells = [CUBE, CUBE + 0.5, CUBE + [1, 0, 0], CUBE + 5]
    edges = [EDGES] * 4
    return (cellprox.find_neighbors(cells, 0.01, edges=edges),
            cellprox.find_neighbors(cells, 0.25, rule="hull", witnesses=True))


def test_results_pickle_and_copy_as_they_are(results):
    for result in results:
        assert len(result) >= 1
        for clone in (pickle.loads(pickle.dumps(result)), copy.copy(result), copy.deepcopy(result)):
            assert clone == result and clone.n_links == result.n_links
            assert clone.pairs.dtype == np.int32 and clone.distances.dtype == np.float32
            assert clone.timings.keys() == result.timings.keys()
    assert pickle.loads(pickle.dumps(results[1])).witnesses.shape == (len(results[1]), 2, 3)


@pytest.mark.parametrize("rule, change, words", [
    (0, lambda s: dict(s, pairs=np.array([[0, 9]], np.int32)), r"pair 0 is \(0, 9\), but pairs must be cell numbers i < j of the 4"),
    (0, lambda s: dict(s, pairs=np.array([[-1, 2]])), r"pair 0 is \(-1, 2\)"),
    (0, lambda s: dict(s, pairs=np.array([[1, 0]])), r"pair 0 is \(1, 0\)"),
    (0, lambda s: dict(s, pairs=np.array([[0, 2**32 + 1]])), r"pair 0 is \(0, 4294967297\)"),
    (0, lambda s: dict(s, pairs=np.array([[0, 2], [0, 1]]), distances=np.ones(2, np.float32)),
     r"pair 1 is \(0, 1\) after \(0, 2\), but pairs are sorted and distinct"),
    (0, lambda s: dict(s, pairs=s["pairs"].astype(float)), r"pairs is a float64 array, but it must be an integer"),
    (0, lambda s: dict(s, pairs=s["pairs"].ravel()), r"pairs has shape \(\d+,\), but it must be \(m, 2\)"),
    (0, lambda s: dict(s, distances=s["distances"][:-1]), r"distances has shape \(\d+,\), but it must be \(\d+,\)"),
    (0, lambda s: dict(s, distances=s["distances"].astype(np.float64) + 1e-9), r"distances hold values that float32 cannot"),
    (0, lambda s: dict(s, distances=-s["distances"]), r"distances must be finite and >= 0"),
    (0, lambda s: dict(s, cells=None), r"cells is a NoneType, but it must be the CellSet searched"),
    (0, lambda s: dict(s, rule="nearest"), r"rule is 'nearest'"),
    (0, lambda s: dict(s, threshold="0.1"), r"threshold is '0\.1', but it must be a finite number"),
    (0, lambda s: dict(s, threshold=0.0), r"threshold is 0\.0"),
    (0, lambda s: dict(s, gaps=np.zeros(len(s["pairs"]))), r"gaps and witnesses belong to the hull rule"),
    (0, lambda s: dict(s, n_links=0), r"n_links is 0, but it must be an int, at least the \d+ pairs?"),
    (0, lambda s: dict(s, missed_pairs=3), r"missed_pairs is 3"),
    (0, lambda s: dict(s, timings=[1.0]), r"timings must be a dict"),
    (0, lambda s: {k: v for k, v in s.items() if k != "pairs"}, r"the pickled state lacks pairs"),
    (0, lambda s: dict(s, seen=True), r"the pickled state has unknown keys seen"),
    (1, lambda s: dict(s, gaps=None), r"gaps is None, but the hull rule gives each pair's gap"),
    (1, lambda s: dict(s, gaps=s["gaps"] + 1.0), r"gaps must lie in 0\.\.threshold \(0\.25\)"),
    (1, lambda s: dict(s, witnesses=s["witnesses"][:, :, :2]), r"witnesses has shape \(\d+, 2, 2\), but it must be \(\d+, 2, 3\)"),
    (1, lambda s: dict(s, witnesses=s["witnesses"] + np.inf), r"witnesses must be finite points"),
])
def test_a_crafted_result_pickle_is_a_value_error(results, rule, change, words):
    state = dict(results[rule].__dict__)
    blank = cellprox.NeighborResult.__new__(cellprox.NeighborResult)
    with pytest.raises(ValueError, match=r"^NeighborResult \(loading a pickle\): " + words):
        blank.__setstate__(change(state))
    with pytest.raises(ValueError, match=words):      # as pickle itself loads it
        pickle.loads(pickle.dumps(CraftedResult(change(state))))


class CraftedResult:
    """Pickles as a NeighborResult with the given state, as a crafted file would hold it."""

    def __init__(self, state):
        self.state = state

    def __reduce__(self):
        return (copyreg._reconstructor, (cellprox.NeighborResult, object, None), self.state)


def test_results_pickled_without_the_later_fields_take_their_defaults(results):
    state = {k: v for k, v in results[0].__dict__.items()
             if k not in ("rule", "gaps", "witnesses", "timings", "missed_pairs")}
    old = cellprox.NeighborResult.__new__(cellprox.NeighborResult)
    old.__setstate__(state)
    assert old == results[0] and old.rule == "vertices-edges" and old.timings == {}


# --- Errors a user reads ---------------------------------------------------------------------

RUN_OUT_OF_MEMORY = """
import resource, sys
import numpy as np
import cellprox
point = [np.zeros((1, 3), np.float32)]
cellprox.find_neighbors(point * 300, 1.0, rule="hull")   # the loop team and its memory, first
cells = cellprox.CellSet._without_edges(point * 8000)   # 32 million pairs, all close
used = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (used + (256 << 20), resource.RLIM_INFINITY))
try:
    cellprox.find_neighbors(cells, 1.0, rule="hull")
except MemoryError as error:
    print(error)
"""


@pytest.mark.skipif(sys.platform != "linux" or "CELLPROX_SANITIZED" in os.environ,
                    reason="an address-space limit holds on Linux, without a sanitizer's shadow memory")
def test_running_out_of_memory_says_how_far_the_search_came_and_what_to_do():
    completed = subprocess.run([sys.executable, "-c", RUN_OUT_OF_MEMORY], capture_output=True,
                               text=True, timeout=120, cwd=pathlib.Path(__file__).parent)
    assert completed.returncode == 0, completed.stderr
    message = completed.stdout.strip()
    assert message.startswith("find_neighbors: the search ran out of memory holding "), message
    assert " close pairs among 8,000 cells (of " in message and " candidates found so far)" in message
    assert message.endswith("ask for a smaller threshold, or search fewer cells at a time")


def test_adjacency_without_scipy_names_the_extra(results, monkeypatch):
    monkeypatch.setitem(sys.modules, "scipy", None)
    monkeypatch.setitem(sys.modules, "scipy.sparse", None)
    with pytest.raises(ImportError, match=r'adjacency needs scipy: pip install "cellprox\[graph\]"') as caught:
        results[0].adjacency()
    assert isinstance(caught.value.__cause__, ImportError)
