"""``CellSet.from_pyvista``: the cells of a pyvista dataset, or of a MultiBlock's blocks."""
from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from cellprox._messages import type_name
from cellprox._meshes import celltypes as ct
from cellprox._meshes.libraries import pyvista, vtk_to_numpy
from cellprox._meshes.topology import (Faces, Naming, PackedCells, Topology, merged, pack,
                                       ranks)

__all__ = ["packed_pyvista", "polyhedron_faces_from_streams", "topology_of_grid"]

WHO = "CellSet.from_pyvista"


@dataclass
class _Leaf:
    """A dataset of a MultiBlock (or the one dataset given): where it is, and its collection."""

    path: str | None
    collection: int
    grid: Any


def packed_pyvista(dataset: Any, collections: str | npt.ArrayLike | None,
                   workers: int = 1) -> PackedCells:
    leaves = _leaves(dataset)
    topologies = [topology_of_grid(leaf.grid) for leaf in leaves]
    starts = np.cumsum([0] + [len(t) for t in topologies])
    packed = pack(merged(topologies), _naming(leaves, starts), WHO, workers)
    packed.collections = _collections(leaves, starts, collections)
    return packed


def _leaves(dataset: Any) -> list[_Leaf]:
    pv = pyvista()
    if type(dataset).__module__.startswith("vtkmodules"):
        dataset = pv.wrap(dataset)      # a bare VTK object, as VTK's own readers give
    if isinstance(dataset, pv.MultiBlock):
        leaves: list[_Leaf] = []
        for k in range(dataset.n_blocks):
            _add_leaves(dataset[k], str(k), k, leaves, pv)
        return leaves
    if isinstance(dataset, pv.DataSet):
        return [_Leaf(None, 0, _unstructured(dataset))]
    raise TypeError(f"{WHO}: dataset is a {type_name(dataset)}, but it must be a pyvista "
                    "UnstructuredGrid (or another pyvista dataset), or a MultiBlock of them")


def _add_leaves(block: Any, path: str, collection: int, leaves: list[_Leaf], pv: Any) -> None:
    """A block's datasets, nested MultiBlocks walked in order, all in the block's collection."""
    if block is None:
        return
    if isinstance(block, pv.MultiBlock):
        for k in range(block.n_blocks):
            _add_leaves(block[k], f"{path}.{k}", collection, leaves, pv)
    elif isinstance(block, pv.DataSet):
        leaves.append(_Leaf(path, collection, _unstructured(block)))
    else:
        raise TypeError(f"{WHO}: block {path} is a {type_name(block)}, but a MultiBlock's blocks "
                        "must be pyvista datasets (or MultiBlocks of them)")


def _unstructured(dataset: Any) -> Any:
    pv = pyvista()
    # Image data become voxels, structured grids hexahedra, poly data their own cells.
    return dataset if isinstance(dataset, pv.UnstructuredGrid) else dataset.cast_to_unstructured_grid()


def topology_of_grid(grid: Any) -> Topology:
    """An UnstructuredGrid's cells, sharing VTK's arrays where their types allow."""
    points = np.asarray(grid.points) if grid.n_points else np.zeros((0, 3))
    cells = grid.GetCells()
    if grid.n_cells == 0 or cells is None:
        return Topology(points, np.zeros(0, np.int64), np.zeros(1, np.int64), np.zeros(0, np.uint8))
    types = np.asarray(grid.celltypes, np.uint8)
    offsets = np.asarray(vtk_to_numpy(cells.GetOffsetsArray()), np.int64)
    connectivity: npt.NDArray[Any] = np.asarray(vtk_to_numpy(cells.GetConnectivityArray()))
    faces = None
    if (types == ct.POLYHEDRON).any():
        faces = _polyhedron_faces(grid, types)
    return Topology(points, connectivity, offsets, types, faces)


def _polyhedron_faces(grid: Any, types: npt.NDArray[np.uint8]) -> Faces:
    if not hasattr(grid, "GetPolyhedronFaces"):    # VTK before 9.4 keeps them as face streams
        return polyhedron_faces_from_streams(grid, np.flatnonzero(types == ct.POLYHEDRON))
    faces, locations = grid.GetPolyhedronFaces(), grid.GetPolyhedronFaceLocations()
    face_points = np.asarray(vtk_to_numpy(faces.GetConnectivityArray()), np.int64)
    face_offsets = np.asarray(vtk_to_numpy(faces.GetOffsetsArray()), np.int64)
    listed = np.asarray(vtk_to_numpy(locations.GetConnectivityArray()), np.int64)
    owner, _ = ranks(np.diff(np.asarray(vtk_to_numpy(locations.GetOffsetsArray()), np.int64)))
    # A face may be listed by more than one cell: each listing is a face of its own cell.
    sizes = np.diff(face_offsets)[listed]
    group, rank = ranks(sizes)
    offsets = np.zeros(len(sizes) + 1, np.int64)
    np.cumsum(sizes, out=offsets[1:])
    return Faces(face_points[face_offsets[listed][group] + rank], offsets, owner)


def polyhedron_faces_from_streams(grid: Any, cells: npt.NDArray[np.int64]) -> Faces:
    """The faces of the polyhedra ``cells`` read one cell at a time from their face streams
    (``nfaces, npoints, point..., npoints, point..., ...``): the way every VTK version has."""
    from vtkmodules.vtkCommonCore import vtkIdList  # type: ignore[import-not-found, unused-ignore]

    ids = vtkIdList()
    points: list[int] = []
    sizes: list[int] = []
    owner: list[int] = []
    for cell in cells.tolist():
        grid.GetFaceStream(cell, ids)
        stream = [ids.GetId(k) for k in range(ids.GetNumberOfIds())]
        at = 1
        for _ in range(stream[0] if stream else 0):
            size = stream[at]
            points.extend(stream[at + 1:at + 1 + size])
            sizes.append(size)
            owner.append(cell)
            at += 1 + size
    offsets = np.zeros(len(sizes) + 1, np.int64)
    np.cumsum(sizes, out=offsets[1:])
    return Faces(np.array(points, np.int64), offsets, np.array(owner, np.int64))


def _naming(leaves: list[_Leaf], starts: npt.NDArray[np.int64]) -> Naming:
    def name(i: int) -> str:
        k = int(np.searchsorted(starts, i, side="right")) - 1
        path = leaves[k].path
        return f"cell {i}" if path is None else f"cell {i} (block {path}, its cell {i - starts[k]})"
    return name


def _collections(leaves: list[_Leaf], starts: npt.NDArray[np.int64],
                 collections: str | npt.ArrayLike | None) -> npt.ArrayLike:
    if collections is None:
        counts = np.diff(starts)
        return np.repeat(np.array([leaf.collection for leaf in leaves], np.int64), counts) \
            if leaves and leaves[0].path is not None else 0
    if not isinstance(collections, str):
        return collections
    parts = [_named_array(leaf, collections) for leaf in leaves]
    return np.concatenate(parts) if parts else np.zeros(0, np.int64)


def _named_array(leaf: _Leaf, name: str) -> npt.NDArray[Any]:
    where = "the dataset" if leaf.path is None else f"block {leaf.path}"
    if name not in leaf.grid.cell_data.keys():
        known = ", ".join(map(repr, leaf.grid.cell_data.keys())) or "none"
        raise ValueError(f"{WHO}: {where} has no cell array named {name!r} (its cell arrays: "
                         f"{known}); name an integer cell array, or pass collections=None")
    values = np.asarray(leaf.grid.cell_data[name])
    if values.dtype.kind not in "iub":
        raise TypeError(f"{WHO}: the cell array {name!r} of {where} holds {values.dtype}, but "
                        "collection numbers must be integers")
    if values.ndim != 1:
        raise ValueError(f"{WHO}: the cell array {name!r} of {where} has {values.shape[1]} "
                         "components, but collections take one integer per cell")
    return values
