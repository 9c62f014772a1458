"""Cells from the mesh libraries: what building them costs, and scenes no one here made.

    pip install ".[bench-meshes]"            # pyvista, trimesh, meshio, nilearn
    python bench/meshes.py                   # all of it: a few minutes and ~6 GB here
    python bench/meshes.py --only constructors --repeat 9
    python bench/meshes.py --resolution 2    # the grey matter at 2 mm: 200,000 voxels

Printed, section by section:

- constructors: 1,000,000 hexahedra of a pyvista grid (a 100 x 100 x 100 structured grid cast to
  an unstructured one): ``CellSet.from_packed`` on the same arrays (each cell's points gathered,
  in the grid's float64, and the hexahedron's edges tiled), ``CellSet.from_pyvista`` on the grid
  and ``CellSet.from_meshio`` on the same cells as a meshio mesh; best and median of --repeat
  runs, taken in turn, and the ratios to from_packed (goal: at most 2x).
- voxels: the grey-matter mask of the MNI152 template that nilearn ships inside its wheel
  (``nilearn.datasets.load_mni152_gm_mask``, 1 mm: about 1.5 million voxels), each voxel a cube in
  world coordinates through the image's affine, built by from_pyvista and searched at half a
  voxel: exactly the voxels that share a face, an edge or a corner are that close. The truth,
  each voxel's 26 neighbours, is counted apart with numpy index arithmetic on the mask, and the
  pairs must be the same, one for one.
- triangles: each triangle of a mesh a cell, searched at a millionth of the mesh's size: the
  airplane that pyvista ships (``pyvista.examples.load_airplane``), and the surface of the grey
  matter above (VTK's contour of the mask, about 2 million triangles). Every pair of triangles
  that share an edge in the mesh's own connectivity must be found; the pairs found besides
  are counted (triangles sharing only a corner also touch).

Times are wall seconds, memory the peak resident set of this process in each section (Linux).
"""
from __future__ import annotations

import argparse
import statistics
import sys
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))

import cellprox  # noqa: E402
from cellprox import CellSet, find_neighbors  # noqa: E402
from process_usage import peak_mb, reset_peak, status_mb  # noqa: E402

SECTIONS = ("constructors", "voxels", "triangles")
HEXAHEDRON_EDGES = np.array([(0, 1), (1, 2), (2, 3), (3, 0), (4, 5), (5, 6), (6, 7), (7, 4),
                             (0, 4), (1, 5), (2, 6), (3, 7)], np.int32)


def imported(name: str) -> Any:
    try:
        return __import__(name)
    except ImportError as error:
        sys.exit(f"bench/meshes.py needs {name} ({error}): pip install \".[bench-meshes]\"")


def nilearn_datasets() -> Any:
    imported("nilearn")
    import nilearn.datasets
    return nilearn.datasets


def timed(call: Callable[[], Any]) -> tuple[float, Any]:
    start = time.perf_counter()
    value = call()
    return time.perf_counter() - start, value


def section_memory(label: str, peak_was_reset: bool) -> None:
    if peak_was_reset:
        print(f"  peak resident memory in this section: {peak_mb():,.0f} MB")
    else:
        print(f"  peak resident memory so far: {peak_mb():,.0f} MB (the peak cannot be reset here)")
    print()


def bench_constructors(repeat: int, workers: int | None) -> None:
    pv, meshio = imported("pyvista"), imported("meshio")
    print("## Constructors: 1,000,000 hexahedra")
    grid = pv.ImageData(dimensions=(101, 101, 101)).cast_to_structured_grid().cast_to_unstructured_grid()
    connectivity = np.asarray(grid.cell_connectivity)
    points = np.asarray(grid.points)
    n = grid.n_cells
    vertices = points[connectivity]
    vertex_offsets = np.arange(n + 1, dtype=np.int64) * 8
    edges = np.tile(HEXAHEDRON_EDGES, (n, 1))
    edge_offsets = np.arange(n + 1, dtype=np.int64) * 12
    mesh = meshio.Mesh(points, [("hexahedron", connectivity.reshape(-1, 8))])
    calls = {
        "from_packed": lambda: CellSet.from_packed(vertices, vertex_offsets, edges, edge_offsets,
                                                   workers=workers),
        "from_pyvista": lambda: CellSet.from_pyvista(grid, workers=workers),
        "from_meshio": lambda: CellSet.from_meshio(mesh, workers=workers),
    }
    seconds: dict[str, list[float]] = {name: [] for name in calls}
    built = {}
    for _ in range(repeat):
        for name, call in calls.items():
            spent, built[name] = timed(call)
            seconds[name].append(spent)
            del built[name]
    same = CellSet.from_pyvista(grid)
    reference = CellSet.from_packed(vertices, vertex_offsets, edges, edge_offsets)
    assert np.array_equal(same.vertex_data, reference.vertex_data)
    assert np.array_equal(same.edge_data, reference.edge_data)
    print(f"  {n:,} cells, points {points.dtype}; {repeat} runs of each, in turn; the same cells "
          "from each, array for array")
    print("  | constructor | best s | median s | best / from_packed | median / from_packed |")
    print("  | --- | --- | --- | --- | --- |")
    base_best, base_median = min(seconds["from_packed"]), statistics.median(seconds["from_packed"])
    for name, values in seconds.items():
        best, median = min(values), statistics.median(values)
        print(f"  | {name} | {best:.3f} | {median:.3f} | {best / base_best:.2f} | "
              f"{median / base_median:.2f} |")


def voxel_grid(mask: np.ndarray, affine: np.ndarray) -> tuple[Any, np.ndarray]:
    """The mask's voxels as cubes in world coordinates, and their (i, j, k), in VTK's cell order
    (i fastest): cell c is the c-th set voxel of the mask in that order."""
    pv = imported("pyvista")
    # Index space: voxel (i, j, k) spans i-0.5..i+0.5 on each axis; the affine maps it.
    image = pv.ImageData(dimensions=np.array(mask.shape) + 1, origin=(-0.5, -0.5, -0.5))
    flat = np.flatnonzero(mask.ravel(order="F"))
    grid = image.extract_cells(flat)
    grid.points = np.asarray(grid.points) @ affine[:3, :3].T + affine[:3, 3]
    nx, ny = mask.shape[0], mask.shape[1]
    ijk = np.column_stack([flat % nx, (flat // nx) % ny, flat // (nx * ny)])
    return grid, ijk


def neighbour_pairs(mask: np.ndarray) -> np.ndarray:
    """Every pair of set voxels that share a face, an edge or a corner, as cell numbers in VTK's
    order (i < j), by index arithmetic on the mask alone."""
    set_voxels = np.flatnonzero(mask.ravel(order="F"))
    numbers = np.full(mask.size, -1, np.int64)
    numbers[set_voxels] = np.arange(len(set_voxels))
    rank = numbers.reshape(mask.shape, order="F")      # each set voxel's cell number, else -1
    pairs = []
    for offset in np.ndindex(3, 3, 3):
        d = np.array(offset) - 1
        if tuple(d) <= (0, 0, 0):      # each unordered pair once: the 13 offsets after (0, 0, 0)
            continue
        here = tuple(slice(max(0, -s), n - max(0, s)) for n, s in zip(mask.shape, d))
        there = tuple(slice(max(0, s), n - max(0, -s)) for n, s in zip(mask.shape, d))
        a, b = rank[here], rank[there]
        both = (a >= 0) & (b >= 0)
        pairs.append(np.column_stack([a[both], b[both]]))
    joined = np.concatenate(pairs)
    joined.sort(axis=1)
    return joined[np.lexsort((joined[:, 1], joined[:, 0]))]


def bench_voxels(resolution: int, rule: str, workers: int | None) -> None:
    datasets = nilearn_datasets()
    print(f"## Voxels: the MNI152 grey-matter mask nilearn ships, {resolution} mm")
    spent, image = timed(lambda: datasets.load_mni152_gm_mask(resolution=resolution))
    mask = np.asarray(image.dataobj) > 0
    affine = np.asarray(image.affine, np.float64)
    voxel = float(np.linalg.norm(affine[:3, :3], axis=0).min())
    print(f"  loaded in {spent:.2f} s: {mask.shape} voxels, {int(mask.sum()):,} in the mask, "
          f"voxel {voxel:g} mm")
    spent, (grid, _) = timed(lambda: voxel_grid(mask, affine))
    print(f"  cubes in world coordinates (pyvista): {spent:.2f} s")
    spent, cells = timed(lambda: CellSet.from_pyvista(grid, workers=workers))
    print(f"  CellSet.from_pyvista: {spent:.2f} s for {len(cells):,} cells")
    del grid
    threshold = voxel / 2
    spent, result = timed(lambda: find_neighbors(cells, threshold, rule=rule, workers=workers))
    print(f"  find_neighbors ({rule}) at {threshold:g} mm: {spent:.2f} s, {len(result):,} pairs of "
          f"{result.n_links:,} candidates")
    spent, truth = timed(lambda: neighbour_pairs(mask))
    found = result.pairs.astype(np.int64)
    same = len(found) == len(truth) and bool(np.array_equal(found, truth))
    print(f"  the truth by index arithmetic: {len(truth):,} pairs in {spent:.2f} s; the search's "
          f"pairs {'are the same, one for one' if same else 'DIFFER'}")
    if not same:
        have = set(map(tuple, found.tolist()))
        want = set(map(tuple, truth.tolist()))
        print(f"  missed {len(want - have):,}, extra {len(have - want):,}")
    counts = np.bincount(result.neighbor_counts(), minlength=27)
    print(f"  neighbours per voxel: {counts[26]:,} voxels have all 26, median "
          f"{int(np.median(result.neighbor_counts()))}")


def sharing_pairs(keys: np.ndarray, owner: np.ndarray) -> np.ndarray:
    """The pairs of owners (i < j) that have a key (a row of ``keys``) in common."""
    order = np.lexsort(keys.T[::-1])
    keys, owner = keys[order], owner[order]
    pairs = [np.zeros((0, 2), np.int64)]
    # Rows with one key lie together: pair each with the one ``step`` rows on, while any do.
    for step in range(1, len(keys)):
        same = (keys[step:] == keys[:-step]).all(axis=1)
        if not same.any():
            break
        pairs.append(np.column_stack([owner[:-step][same], owner[step:][same]]))
    joined = np.sort(np.concatenate(pairs), axis=1)
    return np.unique(joined[joined[:, 0] != joined[:, 1]], axis=0)


def edge_sharing_pairs(faces: np.ndarray) -> np.ndarray:
    """The pairs of triangles (i < j) that share an edge, from the faces' point numbers."""
    sides = np.sort(np.concatenate([faces[:, [0, 1]], faces[:, [1, 2]], faces[:, [2, 0]]]), axis=1)
    return sharing_pairs(sides, np.tile(np.arange(len(faces)), 3))


def point_sharing_pairs(faces: np.ndarray) -> np.ndarray:
    """The pairs of triangles (i < j) that share at least one point."""
    return sharing_pairs(faces.reshape(-1, 1), np.repeat(np.arange(len(faces)), 3))


def missing(truth: np.ndarray, found: np.ndarray, n: int) -> int:
    """How many pairs of ``truth`` are not among ``found`` (both (m, 2), i < j)."""
    keys = found[:, 0].astype(np.int64) * n + found[:, 1]
    wanted = truth[:, 0].astype(np.int64) * n + truth[:, 1]
    return int((~np.isin(wanted, keys)).sum())


def bench_triangle_mesh(label: str, surface: Any, rule: str, workers: int | None) -> None:
    surface = surface.triangulate()
    faces = np.asarray(surface.faces).reshape(-1, 4)[:, 1:]
    size = float(np.linalg.norm(np.ptp(np.asarray(surface.points), axis=0)))
    spent, cells = timed(lambda: CellSet.from_pyvista(surface, workers=workers))
    print(f"  {label}: {len(cells):,} triangles; from_pyvista {spent:.3f} s")
    threshold = size * 1e-6
    spent, result = timed(lambda: find_neighbors(cells, threshold, rule=rule, workers=workers))
    edges, corners = edge_sharing_pairs(faces), point_sharing_pairs(faces)
    n = len(cells)
    print(f"    find_neighbors ({rule}) at {threshold:.3g}: {spent:.3f} s, {len(result):,} pairs")
    print(f"    {len(edges):,} pairs share an edge, {missing(edges, result.pairs, n):,} of them "
          f"missed; {len(corners):,} share a point, {missing(corners, result.pairs, n):,} of them "
          f"missed; {len(result) - len(corners) + missing(corners, result.pairs, n):,} pairs found "
          "besides (no point shared, closer than the threshold)")


def bench_triangles(resolution: int, rule: str, workers: int | None) -> None:
    pv = imported("pyvista")
    from pyvista import examples

    print("## Triangles: each triangle a cell")
    bench_triangle_mesh("the airplane pyvista ships (airplane.ply)", examples.load_airplane(),
                        rule, workers)
    datasets = nilearn_datasets()
    image = datasets.load_mni152_gm_mask(resolution=resolution)
    mask = (np.asarray(image.dataobj) > 0).astype(np.float32)
    volume = pv.ImageData(dimensions=mask.shape)
    volume.point_data["mask"] = mask.ravel(order="F")
    spent, surface = timed(lambda: volume.contour([0.5], scalars="mask"))
    affine = np.asarray(image.affine, np.float64)
    surface.points = np.asarray(surface.points) @ affine[:3, :3].T + affine[:3, 3]
    print(f"  (the grey matter's surface contoured in {spent:.2f} s)")
    bench_triangle_mesh("the grey matter's surface", surface, rule, workers)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--only", default=",".join(SECTIONS),
                        help=f"sections, comma-separated (default all: {','.join(SECTIONS)})")
    parser.add_argument("--repeat", type=int, default=5, help="runs of each constructor (5)")
    parser.add_argument("--resolution", type=int, choices=(1, 2), default=1,
                        help="the template's voxel size in mm (1: about 1.5 million voxels)")
    parser.add_argument("--rule", choices=cellprox.RULES, default="vertices-edges",
                        help="the searches' closeness rule (default vertices-edges)")
    parser.add_argument("-j", "--workers", type=int, default=None,
                        help="threads (default: every core this process may use)")
    args = parser.parse_args(argv)
    chosen = [s.strip() for s in args.only.split(",") if s.strip()]
    unknown = sorted(set(chosen) - set(SECTIONS))
    if unknown:
        parser.error(f"--only: unknown sections {', '.join(unknown)}; choose from {', '.join(SECTIONS)}")
    print(f"cellprox {cellprox.__version__}, numpy {np.__version__}, "
          f"pyvista {imported('pyvista').__version__}\n")
    runs = {"constructors": lambda: bench_constructors(args.repeat, args.workers),
            "voxels": lambda: bench_voxels(args.resolution, args.rule, args.workers),
            "triangles": lambda: bench_triangles(args.resolution, args.rule, args.workers)}
    for name in SECTIONS:
        if name in chosen:
            reset = reset_peak()
            runs[name]()
            section_memory(name, reset)
    resident = status_mb("VmRSS")
    if resident is not None:
        print(f"resident at the end: {resident:,.0f} MB")
    return 0


if __name__ == "__main__":
    sys.exit(main())
