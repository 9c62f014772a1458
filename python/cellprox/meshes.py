"""Results and cells as files that ParaView and dataframes open.

- :func:`write_pairs_vtk`: the close pairs as VTK PolyData (``.vtp``), a line segment each.
- :func:`write_cells_vtk`: the cells as a VTK unstructured grid (``.vtu``).
- :func:`write_pairs_parquet`: the close pairs as a Parquet table.

The VTK writers need pyvista and the Parquet writer pyarrow: ``pip install "cellprox[mesh]"``.
The cells themselves come from the mesh libraries through :meth:`CellSet.from_pyvista`,
:meth:`CellSet.from_trimesh` and :meth:`CellSet.from_meshio`.
"""
from __future__ import annotations

import os
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from cellprox._messages import type_name
from cellprox._meshes.libraries import pyvista
from cellprox.cells import CellSet
from cellprox.result import NeighborResult

__all__ = ["write_cells_vtk", "write_pairs_parquet", "write_pairs_vtk"]

#: VTK's cell type for a cell that is the convex hull of its points: it needs no faces.
VTK_CONVEX_POINT_SET = 41


def write_pairs_vtk(result: NeighborResult, path: str | os.PathLike[str]) -> Path:
    """Writes the pairs of ``result`` to ``path`` (``.vtp``) as line segments, one per pair:
    from origin to origin, or from witness to witness when the result has witnesses (the
    closest points of the two hulls). Each segment carries the cell data ``i``, ``j`` (int64),
    ``distance`` (float32, between the origins) and, with the hull rule, ``gap`` (float64).
    Returns the path written."""
    result = _checked_result(result, "write_pairs_vtk")
    target = _target(path, ".vtp", "write_pairs_vtk")
    pv = pyvista()
    pairs = result.pairs.astype(np.int64)
    m = len(pairs)
    if result.witnesses is not None:
        ends = result.witnesses.reshape(-1, 3)
    else:
        ends = result.cells.origins[pairs.reshape(-1)].astype(np.float64)
    lines = np.empty((m, 3), np.int64)
    lines[:, 0] = 2
    lines[:, 1] = 2 * np.arange(m)
    lines[:, 2] = lines[:, 1] + 1
    segments = pv.PolyData(ends, lines=lines.reshape(-1)) if m else pv.PolyData()
    for name, values in _pair_columns(result).items():
        segments.cell_data[name] = values
    segments.save(str(target))
    return target


def write_cells_vtk(cells: CellSet, path: str | os.PathLike[str],
                    result: NeighborResult | None = None) -> Path:
    """Writes ``cells`` to ``path`` (``.vtu``) as an unstructured grid of convex point sets
    (VTK_CONVEX_POINT_SET: each cell the convex hull of its vertices, which needs no faces),
    with the cell data ``collection`` (int32) and, given the ``result`` of a search of these
    cells, ``neighbors``: each cell's number of close neighbours (int64). Returns the path
    written."""
    who = "write_cells_vtk"
    if not isinstance(cells, CellSet):
        raise TypeError(f"{who}: cells is a {type_name(cells)}, but it must be a CellSet")
    if result is not None:
        result = _checked_result(result, who)
        if len(result.cells) != len(cells):
            raise ValueError(f"{who}: the result is of {len(result.cells):,} cells, but there are "
                             f"{len(cells):,}; pass the result of a search of these cells")
    target = _target(path, ".vtu", who)
    pv = pyvista()
    n, counts = len(cells), cells.v_counts
    # VTK's flat cell list: each cell's count, then its point numbers.
    stream = np.empty(n + len(cells.vertex_data), np.int64)
    count_at = cells.vertex_starts + np.arange(n)
    is_point = np.ones(len(stream), bool)
    is_point[count_at] = False
    stream[count_at] = counts
    stream[is_point] = np.arange(len(cells.vertex_data))
    grid = pv.UnstructuredGrid(stream, np.full(n, VTK_CONVEX_POINT_SET, np.uint8),
                               np.asarray(cells.vertex_data, np.float32))
    grid.cell_data["collection"] = cells.collections
    if result is not None:
        grid.cell_data["neighbors"] = result.neighbor_counts().astype(np.int64)
    grid.save(str(target))
    return target


def write_pairs_parquet(result: NeighborResult, path: str | os.PathLike[str]) -> Path:
    """Writes the pairs of ``result`` to ``path`` as a Parquet table: ``i``, ``j`` (int64),
    ``distance`` (float32), with the hull rule ``gap`` (float64), and ``witness_i``,
    ``witness_j`` (fixed_size_list<float64, 3>) when the result has witnesses. Returns the
    path written."""
    from cellprox._distributed.output import write_part

    result = _checked_result(result, "write_pairs_parquet")
    target = _target(path, None, "write_pairs_parquet")
    pairs = result.pairs.astype(np.int64)
    write_part(target, pairs[:, 0], pairs[:, 1], result.distances, result.gaps, result.witnesses)
    return target


def _pair_columns(result: NeighborResult) -> dict[str, npt.NDArray[Any]]:
    columns: dict[str, npt.NDArray[Any]] = {
        "i": result.pairs[:, 0].astype(np.int64), "j": result.pairs[:, 1].astype(np.int64),
        "distance": result.distances.astype(np.float32)}
    if result.gaps is not None:
        columns["gap"] = result.gaps.astype(np.float64)
    return columns


def _checked_result(result: Any, who: str) -> NeighborResult:
    if not isinstance(result, NeighborResult):
        raise TypeError(f"{who}: result is a {type_name(result)}, but it must be the "
                        "NeighborResult of cellprox.find_neighbors")
    return result


def _target(path: str | os.PathLike[str], suffix: str | None, who: str) -> Path:
    """``path`` as a file this call may write: in an existing folder, not a folder itself, with
    ``suffix`` (pyvista picks its writer by the suffix)."""
    if not isinstance(path, (str, os.PathLike)):
        raise TypeError(f"{who}: path is a {type_name(path)}, but it must be a str or a path")
    target = Path(path)
    if suffix is not None and target.suffix.lower() != suffix:
        raise ValueError(f"{who}: {str(target)!r} does not end in {suffix}; give a {suffix} path, "
                         f"the format written")
    if not target.parent.is_dir():
        raise FileNotFoundError(f"{who}: the folder {str(target.parent)!r} does not exist; "
                                "create it first or write elsewhere")
    if target.is_dir():
        raise IsADirectoryError(f"{who}: {str(target)!r} is a folder; give a file's path")
    return target
