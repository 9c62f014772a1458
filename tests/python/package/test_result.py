"""What find_neighbors returns: packed input gives what lists give, the neighbour graph, and a
result that prints, compares and times itself as documented."""
import numpy as np
import pytest

import cellprox
from cellprox.fracture import voronoi_fracture
from cellprox.result import TIMING_KEYS


@pytest.fixture(scope="module")
def fracture():
    return voronoi_fracture(120, seed=9, collections=3)


def packed(fracture):
    vertex_offsets = np.concatenate([[0], np.cumsum([len(v) for v in fracture.vertices])])
    edge_offsets = np.concatenate([[0], np.cumsum([len(e) for e in fracture.edges])])
    return (np.concatenate(fracture.vertices), vertex_offsets, np.concatenate(fracture.edges),
            edge_offsets)


def test_packed_cells_are_the_listed_cells(fracture):
    listed = cellprox.CellSet(fracture.vertices, fracture.edges, collections=fracture.collections)
    cells = cellprox.CellSet.from_packed(*packed(fracture), collections=fracture.collections)
    for name in ("vertex_data", "edge_data", "v_counts", "e_counts", "origins", "collections"):
        np.testing.assert_array_equal(getattr(cells, name), getattr(listed, name), err_msg=name)
    for rule in cellprox.RULES:
        assert cellprox.find_neighbors(cells, 0.002, rule=rule) == \
            cellprox.find_neighbors(listed, 0.002, rule=rule)
    # Without edges, and with float64 or integer input, copied into owned float32 arrays.
    vertices, vertex_offsets, _, _ = packed(fracture)
    plain = cellprox.CellSet.from_packed(vertices.astype(np.float64), vertex_offsets.astype(np.int32))
    assert plain.e_counts.sum() == 0 and plain.vertex_data.dtype == np.float32
    assert not np.shares_memory(plain.vertex_data, vertices)


@pytest.mark.parametrize("change, error, words", [
    (lambda a: (a[0][:, :2],) + a[1:], ValueError, r"vertices have shape \(\d+, 2\), but they must be \(rows, 3\)"),
    (lambda a: (a[0].astype(str),) + a[1:], TypeError, r"vertices have dtype <U"),
    (lambda a: (a[0], a[1] + 1) + a[2:], ValueError, r"vertex_offsets\[0\] is 1"),
    (lambda a: (a[0], np.r_[a[1][:5], a[1][3], a[1][5:]]) + a[2:], ValueError,
     r"cell 4: vertex_offsets fall from \d+ to \d+; offsets must never fall"),
    (lambda a: (a[0], a[1][:-1]) + a[2:], ValueError, r"vertex_offsets end at \d+, but there are \d+ rows"),
    (lambda a: (a[0], a[1].astype(float)) + a[2:], TypeError, r"vertex_offsets must be integers"),
    (lambda a: a[:3] + (a[3][:-1],), ValueError, r"edge_offsets has shape \(\d+,\), but it must be \(121,\)"),
    (lambda a: a[:2] + (a[2] + 40,) + a[3:], ValueError, r"cell 0: edge 0 is \(4\d, 4\d\), but the cell has \d+ vertices"),
    (lambda a: a[:2] + (None,) + a[3:], TypeError, r"pass edges and edge_offsets together"),
    (lambda a: (np.where(np.arange(len(a[0]))[:, None] == 7, np.nan, a[0]),) + a[1:], ValueError,
     r"cell 0: vertex 7 is \(nan"),
])
def test_packed_cells_are_checked_and_the_cell_at_fault_named(fracture, change, error, words):
    with pytest.raises(error, match="CellSet.from_packed: " + words):
        cellprox.CellSet.from_packed(*change(packed(fracture)))


def test_the_neighbour_graph(fracture):
    pytest.importorskip("scipy")
    from scipy.sparse.csgraph import connected_components

    result = cellprox.find_neighbors(fracture, 0.001)
    matrix = result.adjacency()
    n = len(fracture)
    assert matrix.shape == (n, n) and matrix.format == "csr"
    assert matrix.nnz == 2 * len(result) and (matrix != matrix.T).nnz == 0
    i, j = result.pairs.T
    np.testing.assert_array_equal(np.asarray(matrix[i, j]).ravel(), result.distances)
    assert connected_components(matrix, directed=False)[0] == 1      # a fracture is one piece
    # Gaps of 0 (touching hulls) stay stored entries, so every pair stays an edge.
    hull = cellprox.find_neighbors(fracture, 0.0, rule="hull")
    assert (hull.gaps == 0).all() and hull.adjacency().nnz == 2 * len(hull)
    # Two far fractures are two pieces; a lone cell a piece of its own.
    apart = cellprox.CellSet(list(fracture.vertices) + [v + np.float32(5) for v in fracture.vertices]
                             + [np.float32([[9, 9, 9]])],
                             list(fracture.edges) * 2 + [np.zeros((0, 2), np.int32)])
    assert connected_components(cellprox.find_neighbors(apart, 0.001).adjacency())[0] == 3


def test_the_neighbour_graph_in_networkx(fracture):
    networkx = pytest.importorskip("networkx")
    result = cellprox.find_neighbors(fracture, 0.001, rule="hull")
    graph = result.to_networkx()
    assert graph.number_of_nodes() == len(fracture) and graph.number_of_edges() == len(result)
    i, j = (int(x) for x in result.pairs[3])
    assert graph.edges[i, j] == {"distance": float(result.distances[3]), "gap": float(result.gaps[3])}
    assert networkx.number_connected_components(graph) == 1
    plain = cellprox.find_neighbors(fracture, 0.001).to_networkx()
    assert set(plain.edges[i, j]) == {"distance"}


def test_a_result_prints_short_compares_and_names_its_timings(fracture):
    result = cellprox.find_neighbors(fracture, 0.001)
    text = repr(result)
    assert len(text) < 300 and f"{len(result)} pairs among 120 cells" in text
    assert "rule='vertices-edges'" in text and "candidates measured" in text
    cube = np.array([[0, 0, 0], [1, 0, 0], [0, 1, 0], [0, 0, 1]], np.float32)
    one = cellprox.find_neighbors([cube, cube + np.float32([1.5, 0, 0])], 1.0, rule="hull")
    assert ": 1 pair among 2 cells, 1 candidate measured;" in repr(one)
    assert repr(cellprox.CellSet([cube[:1]], [np.zeros((0, 2), np.int32)])) == \
        "<CellSet of 1 cell, 1 vertex, 0 edges, 0 links>"
    assert list(result.timings) == list(TIMING_KEYS)
    assert all(seconds >= 0 for seconds in result.timings.values())
    again = cellprox.find_neighbors(fracture.cell_set(), 0.001)
    assert result == again and not (result != again) and result != "a result"
    assert result != cellprox.find_neighbors(fracture, 0.002)
    assert result != cellprox.find_neighbors(fracture, 0.001, rule="hull")
    with pytest.raises(TypeError, match="unhashable"):
        hash(result)


def test_debug_prints_the_records_summary_before_the_search(fracture, capfd):
    plain = cellprox.find_neighbors(fracture, 0.001)
    assert capfd.readouterr().out == ""
    shown = cellprox.find_neighbors(fracture, 0.001, debug=True)
    out = capfd.readouterr().out
    assert shown == plain
    assert out.startswith("\n\n\n[DEBUG][PROXIM]\n\nCell-Index[0]") and "Cell-Index[119]" in out
    assert out.count("Cell-Index[") == 3 and "Cell-Links" not in out
