"""Cells from pyvista, trimesh and meshio against the same cells built by hand, and the files
ParaView and pyarrow read back.

Every test shape has edges of length 1 and no other pair of points 1 apart, so a cell's
expected edges are found by measuring, not by restating the edge tables."""
import itertools
import pathlib
import subprocess
import sys

import numpy as np
import pytest

from cellprox import CellSet, find_neighbors

pv = pytest.importorskip("pyvista")

S3 = np.sqrt(3) / 2
TRIANGLE = np.array([[0, 0, 0], [1, 0, 0], [0.5, S3, 0]])


def regular_polygon(k, z=0.0):
    """A regular k-gon of side 1 in the plane at height z."""
    radius = 1 / (2 * np.sin(np.pi / k))
    angles = 2 * np.pi * np.arange(k) / k
    return np.column_stack([radius * np.cos(angles), radius * np.sin(angles), np.full(k, z)])


SQUARE = [[0, 0, 0], [1, 0, 0], [1, 1, 0], [0, 1, 0]]
CUBE = SQUARE + [[x, y, 1] for x, y, _ in SQUARE]
CUBE_FACES = [[0, 3, 2, 1], [4, 5, 6, 7], [0, 1, 5, 4], [1, 2, 6, 5], [2, 3, 7, 6], [3, 0, 4, 7]]
PENTAGONAL_PRISM = np.vstack([regular_polygon(5), regular_polygon(5, 1.0)])
PRISM_FACES = [[0, 1, 2, 3, 4], [9, 8, 7, 6, 5]] + [[i, (i + 1) % 5, (i + 1) % 5 + 5, i + 5]
                                                   for i in range(5)]
# VTK type code -> (points of one cell in VTK's order, its faces for a polyhedron).
SHAPES = {
    5: (TRIANGLE, None),
    6: (np.array([[i / 2, (i % 2) * S3, 0] for i in range(5)]), None),             # strip
    7: (regular_polygon(5), None),                                                 # polygon
    8: (np.array([[0, 0, 0], [1, 0, 0], [0, 1, 0], [1, 1, 0]]), None),             # pixel
    9: (np.array(SQUARE, float), None),                                            # quad
    10: (np.array([[0, 0, 0], [1, 0, 0], [0.5, S3, 0],
                   [0.5, S3 / 3, np.sqrt(2 / 3)]]), None),                         # tetra
    11: (np.array([[x, y, z] for z in (0, 1) for y in (0, 1) for x in (0, 1)], float), None),
    12: (np.array(CUBE, float), None),                                             # hexahedron
    13: (np.vstack([TRIANGLE, TRIANGLE + [0, 0, 1]]), None),                        # wedge
    14: (np.array(SQUARE + [[0.5, 0.5, np.sqrt(0.5)]], float), None),              # pyramid
    15: (PENTAGONAL_PRISM, None),
    16: (np.vstack([regular_polygon(6), regular_polygon(6, 1.0)]), None),
    41: (np.array(CUBE, float), None),                                             # convex set
    42: (PENTAGONAL_PRISM, PRISM_FACES),                                           # polyhedron
}
MESHIO_NAMES = {5: "triangle", 7: "polygon", 9: "quad", 10: "tetra", 12: "hexahedron",
                13: "wedge", 14: "pyramid"}


def unit_edges(points, code):
    """The pairs of points 1 apart: the edges of every shape above (a convex point set has
    none of its own)."""
    if code == 41:
        return np.zeros((0, 2), np.int64)
    pairs = [(a, b) for a, b in itertools.combinations(range(len(points)), 2)
             if abs(np.linalg.norm(points[a] - points[b]) - 1) < 1e-9]
    return np.array(pairs, np.int64).reshape(-1, 2)


def placed(codes, gap=3.0):
    """One cell of each type code, side by side along x: (points, per-cell point numbers)."""
    points, numbers = [], []
    for k, code in enumerate(codes):
        shape = SHAPES[code][0] + [gap * k, 0, 0]
        numbers.append(np.arange(len(shape)) + sum(len(p) for p in points))
        points.append(shape)
    return np.vstack(points), numbers


def vtk_grid(codes):
    points, numbers = placed(codes)
    stream = []
    for code, ids in zip(codes, numbers):
        faces = SHAPES[code][1]
        if faces is None:
            stream += [len(ids), *ids]
        else:
            inner = [len(faces)] + sum(([len(f), *(ids[f])] for f in map(np.array, faces)), [])
            stream += [len(inner), *inner]
    return pv.UnstructuredGrid(np.array(stream), np.array(codes, np.uint8), points)


def by_hand(points, numbers, codes, collections=0):
    return CellSet([points[ids] for ids in numbers],
                   [unit_edges(points[ids], code) for ids, code in zip(numbers, codes)],
                   collections=collections)


def edge_sets(cells):
    return [sorted(tuple(sorted(edge)) for edge in cells.edges(i).tolist()) for i in range(len(cells))]


def assert_same_cells(got, expected):
    """Equal arrays, each cell's edges compared as a set (their order is not promised)."""
    for name in ("vertex_data", "v_counts", "e_counts", "origins", "collections"):
        np.testing.assert_array_equal(getattr(got, name), getattr(expected, name), err_msg=name)
    assert edge_sets(got) == edge_sets(expected)
    assert all(len(set(edges)) == len(edges) for edges in edge_sets(got)), "an edge twice"


# --- pyvista ---------------------------------------------------------------------------------

@pytest.mark.parametrize("code", sorted(SHAPES))
def test_pyvista_cells_of_each_type_are_their_points_and_own_edges(code):
    codes = [code, code]         # one type alone takes the tiled table's way
    points, numbers = placed(codes)
    assert_same_cells(CellSet.from_pyvista(vtk_grid(codes)), by_hand(points, numbers, codes))


def test_edges_tiled_on_a_second_thread_are_the_same(monkeypatch):
    from cellprox._meshes import topology

    monkeypatch.setattr(topology, "_BESIDE_FROM", 2)     # large grids only, otherwise
    codes = [12] * 3
    points, numbers = placed(codes)
    for workers in (1, 2):
        assert_same_cells(CellSet.from_pyvista(vtk_grid(codes), workers=workers),
                          by_hand(points, numbers, codes))


def test_pyvista_grid_of_every_type_at_once_and_cells_that_share_points():
    codes = sorted(SHAPES) * 2
    points, numbers = placed(codes)
    assert_same_cells(CellSet.from_pyvista(vtk_grid(codes)), by_hand(points, numbers, codes))
    # Image data are voxels that share their faces' points; poly data their own cells.
    image = pv.ImageData(dimensions=(3, 2, 2))
    corners = np.array(image.points)
    numbers = [np.array([0, 1, 3, 4, 6, 7, 9, 10]), np.array([1, 2, 4, 5, 7, 8, 10, 11])]
    assert_same_cells(CellSet.from_pyvista(image), by_hand(corners, numbers, [11, 11]))
    triangles = pv.PolyData(SHAPES[5][0], faces=[3, 0, 1, 2])
    assert_same_cells(CellSet.from_pyvista(triangles), by_hand(SHAPES[5][0], [np.arange(3)], [5]))


def test_polyhedra_read_from_face_streams_as_older_vtk_keeps_them():
    from cellprox._meshes.pyvista_cells import polyhedron_faces_from_streams, topology_of_grid

    grid = vtk_grid([12, 42, 10, 42])
    faces = topology_of_grid(grid).faces
    streamed = polyhedron_faces_from_streams(grid, np.array([1, 3]))
    for name in ("points", "offsets", "owner"):
        np.testing.assert_array_equal(getattr(streamed, name), getattr(faces, name))


def test_multiblock_blocks_are_collections_and_a_named_array_can_be():
    codes = ([10, 42], [5], [42, 14, 9])
    a, b, c = (vtk_grid(block) for block in codes)
    nested = pv.MultiBlock([a, None, pv.MultiBlock([b, c])])
    vertices, edges = [], []
    for block in codes:
        points, numbers = placed(block)
        vertices += [points[ids] for ids in numbers]
        edges += [unit_edges(points[ids], code) for ids, code in zip(numbers, block)]
    assert_same_cells(CellSet.from_pyvista(nested),
                      CellSet(vertices, edges, collections=[0, 0, 2, 2, 2, 2]))
    # A named integer cell array, block by block; the same through a single grid.
    for grid, values in ((a, [7, 3]), (b, [1]), (c, [4, 4, 0])):
        grid.cell_data["part"] = np.array(values, np.int16)
    assert CellSet.from_pyvista(nested, collections="part").collections.tolist() == [7, 3, 1, 4, 4, 0]
    assert CellSet.from_pyvista(c, collections="part").collections.tolist() == [4, 4, 0]
    assert CellSet.from_pyvista(c, collections=[5, 6, 7]).collections.tolist() == [5, 6, 7]
    a.cell_data["part"] = np.array([0.5, 1.0])
    with pytest.raises(TypeError, match="cell array 'part' of block 0 holds float64"):
        CellSet.from_pyvista(nested, collections="part")
    with pytest.raises(ValueError, match=r"block 1.1 has no cell array named 'part' \(its cell "
                                         r"arrays: none\)"):
        CellSet.from_pyvista(pv.MultiBlock([b, pv.MultiBlock([b, vtk_grid([10])])]),
                             collections="part")


def _grid_with_point(point, used=True):
    points = np.vstack([SHAPES[10][0], SHAPES[10][0] + 3, [point]])
    second = [4, 4, 5, 6, 8] if used else [4, 4, 5, 6, 7]
    return pv.UnstructuredGrid(np.array([4, 0, 1, 2, 3] + second), np.array([10, 10], np.uint8),
                               points)


@pytest.mark.parametrize("dataset, message", [
    (lambda: pv.UnstructuredGrid(np.array([4, 0, 1, 2, 3, 2, 0, 1]), np.array([10, 3], np.uint8),
                                 SHAPES[10][0]),
     "CellSet.from_pyvista: cell 1 is a VTK_LINE, which has no area or volume"),
    (lambda: pv.UnstructuredGrid(np.array([10, *range(10)]), np.array([24], np.uint8),
                                 np.random.default_rng(0).random((10, 3))),
     "cell 0 is a VTK cell type 24, which cellprox does not take .* grid.linear_copy"),
    (lambda: _grid_with_point([np.nan, 0, 0]),
     r"cell 1: its point 8 is \(nan, 0.0, 0.0\); coordinates must be finite"),
    (lambda: _grid_with_point([1e39, 0, 0]), r"cell 1: its point 8 is \(1e\+39, 0.0, 0.0\)"),
    (lambda: pv.UnstructuredGrid(np.array([3, 0, 1, 2, 0]), np.array([5, 7], np.uint8),
                                 SHAPES[5][0]),
     "cell 1 \\(VTK_POLYGON\\) has no points; a cell needs at least one"),
    (lambda: pv.UnstructuredGrid(np.array([3, 0, 1, 2]), np.array([10], np.uint8), SHAPES[10][0]),
     "cell 0 is a VTK_TETRA with 3 points, but that type has 4"),
    (lambda: pv.MultiBlock([vtk_grid([12]), pv.MultiBlock([pv.PolyData(np.zeros((2, 3)))])]),
     r"cell 1 \(block 1.0, its cell 0\) is a VTK_VERTEX"),
])
def test_cells_a_set_cannot_use_are_refused_by_their_number(dataset, message):
    with pytest.raises(ValueError, match=message):
        CellSet.from_pyvista(dataset())


def test_a_polyhedron_face_on_a_point_not_its_own_is_refused():
    from cellprox._meshes.topology import Faces, Topology, pack

    # VTK makes a polyhedron's points from its faces; a file or another library may not.
    points = np.vstack([SHAPES[10][0], [[5, 5, 5]]])
    faces = Faces(np.array([0, 1, 2, 0, 1, 4, 1, 2, 3, 2, 0, 3]), np.arange(0, 13, 3),
                  np.zeros(4, np.int64))
    topology = Topology(points, np.arange(4), np.array([0, 4]), np.array([42], np.uint8), faces)
    with pytest.raises(ValueError, match="who: cell 0: a face of this polyhedron uses point 4, "
                                         "which is not among its points"):
        pack(topology, lambda i: f"cell {i}", "who")


def test_a_point_no_cell_uses_may_be_anything_and_wrong_inputs_are_type_errors():
    assert len(CellSet.from_pyvista(_grid_with_point([np.inf, 0, 0], used=False))) == 2
    with pytest.raises(TypeError, match="dataset is a list, but it must be a pyvista"):
        CellSet.from_pyvista([vtk_grid([10])])
    empty = CellSet.from_pyvista(pv.MultiBlock())
    assert len(empty) == 0


# --- meshio ----------------------------------------------------------------------------------

def test_meshio_blocks_of_every_type_and_polyhedra():
    meshio = pytest.importorskip("meshio")
    codes = [10, 12, 13, 13, 14, 5, 7, 9, 42, 42]
    points, numbers = placed(codes)
    # meshio walks the wedge's triangles the other way round (gmsh's order).
    numbers = [ids[[0, 2, 1, 3, 5, 4]] if code == 13 else ids for ids, code in zip(numbers, codes)]
    blocks = []
    for code, group in itertools.groupby(zip(codes, numbers), key=lambda item: item[0]):
        ids = [i for _, i in group]
        if code == 42:
            blocks.append(("polyhedron10", [[i[f] for f in map(np.array, PRISM_FACES)] for i in ids]))
        else:
            blocks.append((MESHIO_NAMES[code], np.array(ids)))
    mesh = meshio.Mesh(points, blocks, cell_data={"tag": [np.full(len(b[1]), k) for k, b in
                                                          enumerate(blocks)]})
    # A polyhedron's points are the points of its faces, in increasing order, as placed() numbers
    # them.
    assert_same_cells(CellSet.from_meshio(mesh), by_hand(points, numbers, codes))
    tags = CellSet.from_meshio(mesh, collections="tag").collections
    np.testing.assert_array_equal(tags, [0, 1, 2, 2, 3, 4, 5, 6, 7, 7])


@pytest.mark.parametrize("make, error, message", [
    (lambda m: m.Mesh(SHAPES[10][0], [("tetra", [[0, 1, 2, 3]]), ("line", [[0, 1]])]), ValueError,
     r"cell 1 \(cell block 1, 'line', its cell 0\) is a 'line' cell, which has no area or volume"),
    (lambda m: m.Mesh(SHAPES[10][0], [("tetra10", [list(range(4)) * 2 + [0, 1]])]), ValueError,
     "is a 'tetra10' cell, which cellprox does not take"),
    (lambda m: m.Mesh(SHAPES[5][0][:, :2], [("triangle", [[0, 1, 2]])]), ValueError,
     r"the points have shape \(3, 2\), but they must be \(N, 3\)"),
    (lambda m: m.Mesh(SHAPES[10][0], [("tetra", [[0, 1, 2, 4]])]), ValueError,
     r"cell 0 \(cell block 0, 'tetra', its cell 0\) refers to point 4, but the mesh has 4 points"),
    (lambda m: m.Mesh(SHAPES[10][0], [("tetra", [[0, 1, 2, 3]])]), ValueError,
     r"no cell data named 'gmsh:physical' \(its cell data: none\)"),
    (lambda m: "mesh.vtu", TypeError, "mesh is a str, but it must be a meshio.Mesh"),
])
def test_meshio_refusals_name_the_block_and_the_cell(make, error, message):
    meshio = pytest.importorskip("meshio")
    with pytest.raises(error, match=message):
        CellSet.from_meshio(make(meshio), collections="gmsh:physical")


# --- trimesh ---------------------------------------------------------------------------------

def face_edges(faces):
    return np.array(sorted({tuple(sorted((int(f[a]), int(f[b])))) for f in faces
                            for a, b in ((0, 1), (1, 2), (2, 0))}), np.int64)


def test_trimesh_meshes_lists_and_scenes_with_their_transforms():
    trimesh = pytest.importorskip("trimesh")
    box = trimesh.creation.box(extents=(1, 2, 3))
    ball = trimesh.creation.icosphere(subdivisions=1)
    assert_same_cells(CellSet.from_trimesh(box), CellSet([box.vertices], [face_edges(box.faces)]))
    assert_same_cells(CellSet.from_trimesh([box, ball], collections=[4, 9]),
                      CellSet([box.vertices, ball.vertices],
                              [face_edges(box.faces), face_edges(ball.faces)], collections=[4, 9]))
    # A scene: each geometry node a cell, where its transform puts it; one geometry, two nodes.
    turn = np.array([[0, -1, 0, 5], [1, 0, 0, -2], [0, 0, 1, 0.5], [0, 0, 0, 1]], float)
    scene = trimesh.Scene()
    scene.add_geometry(box, node_name="turned", geom_name="box", transform=turn)
    scene.add_geometry(ball, node_name="ball")
    scene.add_geometry(box, node_name="plain", geom_name="box")
    scene.add_geometry(trimesh.PointCloud(SHAPES[10][0]), node_name="points")
    moved = box.vertices @ turn[:3, :3].T + turn[:3, 3]
    expected = CellSet([moved, ball.vertices, box.vertices, SHAPES[10][0]],
                       [face_edges(box.faces), face_edges(ball.faces), face_edges(box.faces),
                        np.zeros((0, 2), int)])
    order = list(scene.graph.nodes_geometry)
    got = CellSet.from_trimesh(scene)
    expected_in_order = [["turned", "ball", "plain", "points"].index(node) for node in order]
    for k, i in enumerate(expected_in_order):
        np.testing.assert_array_equal(got.vertices(k), expected.vertices(i))
        assert edge_sets(got)[k] == edge_sets(expected)[i]
    np.testing.assert_allclose(got.origins[order.index("turned")], moved.mean(axis=0), atol=1e-6)


def test_trimesh_refusals():
    trimesh = pytest.importorskip("trimesh")
    box = trimesh.creation.box()
    with pytest.raises(ValueError, match=r"cell 1 \(mesh 1 of the list\) has no vertices"):
        CellSet.from_trimesh([box, trimesh.Trimesh()])
    with pytest.raises(TypeError, match="mesh 1 of the list is a ndarray"):
        CellSet.from_trimesh([box, np.zeros((3, 3))])
    scene = trimesh.Scene()
    scene.add_geometry(box, node_name="a")
    scene.add_geometry(trimesh.Trimesh(vertices=[[np.nan, 0, 0]] * 3, faces=[[0, 1, 2]],
                                       process=False), node_name="b")
    with pytest.raises(ValueError, match=r"cell 1 \(scene node 'b'\): its point 0 is \(nan"):
        CellSet.from_trimesh(scene)


# --- the libraries stay optional ---------------------------------------------------------------

def test_importing_cellprox_imports_no_mesh_library_and_a_missing_one_says_how_to_install(
        monkeypatch):
    code = ("import sys, cellprox, cellprox.meshes; "
            "print(sorted(m for m in ('pyvista', 'vtk', 'vtkmodules', 'trimesh', 'meshio') "
            "if m in sys.modules))")
    completed = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                               timeout=120)
    assert completed.returncode == 0, completed.stderr
    assert completed.stdout.strip() == "[]"
    for library, call in (("trimesh", CellSet.from_trimesh), ("meshio", CellSet.from_meshio),
                          ("pyvista", CellSet.from_pyvista)):
        monkeypatch.setitem(sys.modules, library, None)
        with pytest.raises(ImportError, match=f'needs {library}, .*pip install "cellprox\\[mesh\\]"'):
            call(object())


# --- writing ---------------------------------------------------------------------------------

@pytest.fixture(scope="module")
def searched():
    """A small grid of voxels with gaps between them, searched by both rules."""
    image = pv.ImageData(dimensions=(4, 4, 3))
    cells = CellSet.from_pyvista(image.shrink(0.9), collections=np.arange(18) % 3)
    return (cells, find_neighbors(cells, 0.15),
            find_neighbors(cells, 0.15, rule="hull", witnesses=True))


def test_pairs_written_as_vtk_segments_read_back_equal(searched, tmp_path):
    from cellprox.meshes import write_pairs_vtk

    cells, plain, hull = searched
    for result, ends in ((plain, cells.origins[plain.pairs].astype(np.float64)),
                         (hull, hull.witnesses)):
        path = write_pairs_vtk(result, tmp_path / "pairs.vtp")
        back = pv.read(path)
        m = len(result)
        assert m and back.n_cells == m
        np.testing.assert_array_equal(back.points, ends.reshape(-1, 3))
        np.testing.assert_array_equal(back.lines.reshape(-1, 3),
                                      np.column_stack([np.full(m, 2), 2 * np.arange(m), 2 * np.arange(m) + 1]))
        np.testing.assert_array_equal(back.cell_data["i"], result.pairs[:, 0])
        np.testing.assert_array_equal(back.cell_data["j"], result.pairs[:, 1])
        np.testing.assert_array_equal(back.cell_data["distance"], result.distances)
        assert back.cell_data["i"].dtype == np.int64 and back.cell_data["distance"].dtype == np.float32
        assert ("gap" in back.cell_data) == (result.gaps is not None)
        if result.gaps is not None:
            np.testing.assert_array_equal(back.cell_data["gap"], result.gaps)
    nothing = find_neighbors(CellSet([SHAPES[10][0], SHAPES[10][0] + 9], [[], []]), 0.1)
    assert pv.read(write_pairs_vtk(nothing, tmp_path / "none.vtp")).n_cells == 0


def test_cells_written_as_convex_point_sets_read_back_equal(searched, tmp_path):
    from cellprox.meshes import write_cells_vtk

    cells, plain, _ = searched
    back = pv.read(write_cells_vtk(cells, tmp_path / "cells.vtu", plain))
    assert back.n_cells == len(cells) and set(back.celltypes.tolist()) == {41}
    np.testing.assert_array_equal(back.cell_data["collection"], cells.collections)
    np.testing.assert_array_equal(back.cell_data["neighbors"], plain.neighbor_counts())
    # Read back as cells: the same points, and no edges (a convex point set has none).
    again = CellSet.from_pyvista(back)
    np.testing.assert_array_equal(again.vertex_data, cells.vertex_data)
    np.testing.assert_array_equal(again.v_counts, cells.v_counts)
    assert len(again.edge_data) == 0
    assert "neighbors" not in pv.read(write_cells_vtk(cells, tmp_path / "bare.vtu")).cell_data


def test_pairs_written_as_parquet_read_back_equal(searched, tmp_path):
    pq = pytest.importorskip("pyarrow.parquet")
    from cellprox.meshes import write_pairs_parquet

    _, plain, hull = searched
    for result in (plain, hull):
        table = pq.read_table(write_pairs_parquet(result, tmp_path / "pairs.parquet"))
        types = {field.name: str(field.type) for field in table.schema}
        expected = {"i": "int64", "j": "int64", "distance": "float"}
        if result.gaps is not None:
            expected |= {"gap": "double", "witness_i": "fixed_size_list<element: double>[3]",
                         "witness_j": "fixed_size_list<element: double>[3]"}
        assert types == expected
        np.testing.assert_array_equal(np.column_stack([table["i"], table["j"]]), result.pairs)
        np.testing.assert_array_equal(table["distance"].to_numpy(), result.distances)
        if result.gaps is not None:
            np.testing.assert_array_equal(table["gap"].to_numpy(), result.gaps)
            for side, name in enumerate(("witness_i", "witness_j")):
                points = np.array(table[name].to_pylist())
                np.testing.assert_array_equal(points, result.witnesses[:, side])


def test_writers_refuse_what_they_cannot_write(searched, tmp_path):
    from cellprox.meshes import write_cells_vtk, write_pairs_parquet, write_pairs_vtk

    cells, plain, _ = searched
    with pytest.raises(ValueError, match=r"'.*pairs.vtk' does not end in .vtp"):
        write_pairs_vtk(plain, tmp_path / "pairs.vtk")
    with pytest.raises(FileNotFoundError, match="the folder '.*missing' does not exist"):
        write_cells_vtk(cells, tmp_path / "missing" / "cells.vtu")
    with pytest.raises(IsADirectoryError, match="is a folder"):
        write_pairs_parquet(plain, tmp_path)
    with pytest.raises(TypeError, match="result is a CellSet, but it must be the NeighborResult"):
        write_pairs_parquet(cells, tmp_path / "p.parquet")
    other = CellSet([SHAPES[10][0]], [[]])
    with pytest.raises(ValueError, match="the result is of 18 cells, but there are 1"):
        write_cells_vtk(other, tmp_path / "cells.vtu", plain)


def test_the_demo_saves_its_cells_and_pairs_for_paraview(tmp_path):
    pytest.importorskip("scipy")
    pytest.importorskip("matplotlib")

    def demo(*args, without_pyvista=False):
        hide = "sys.modules['pyvista'] = None; " if without_pyvista else ""
        code = f"import sys; {hide}from cellprox.__main__ import main; sys.exit(main(sys.argv[1:]))"
        return subprocess.run([sys.executable, "-c", code, "demo", "-q", *args],
                              capture_output=True, text=True, timeout=300)

    folder = tmp_path / "made" / "here"
    completed = demo("-n", "60", "-o", str(tmp_path / "d.png"), "--save-vtk", str(folder))
    assert completed.returncode == 0, completed.stderr
    out = completed.stdout
    assert f"for ParaView: {folder / 'cells.vtu'} and {folder / 'pairs.vtp'}" in out
    cells, pairs = pv.read(folder / "cells.vtu"), pv.read(folder / "pairs.vtp")
    confirmed = int(out.split("confirmed neighbours")[1].split()[0].replace(",", ""))
    assert cells.n_cells == 60 and pairs.n_cells == confirmed
    assert cells.cell_data["neighbors"].sum() == 2 * confirmed
    refused = demo("--save-vtk", str(tmp_path / "d.png"))
    assert refused.returncode == 2 and "is a file; give a folder" in refused.stderr
    # Without pyvista: one line that says what to install, before any work.
    missing = demo("-n", "10", "-o", str(tmp_path / "e.png"), "--save-vtk", str(folder),
                   without_pyvista=True)
    assert missing.returncode == 2 and 'pip install "cellprox[mesh]"' in missing.stderr
    assert len(missing.stderr.splitlines()) == 1 and not (tmp_path / "e.png").exists()


def test_the_mesh_docs_run_as_written():
    for library in ("trimesh", "meshio", "pyarrow"):
        pytest.importorskip(library)
    from conftest import run_doc_blocks

    doc = pathlib.Path(__file__).resolve().parents[3] / "docs" / "meshes.md"
    assert run_doc_blocks(doc.read_text(), "docs/meshes.md") == (5, 0)
