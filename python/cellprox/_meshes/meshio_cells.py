"""``CellSet.from_meshio``: each cell of each cell block of a meshio mesh, block after block.

A block of a fixed-size type is already an (n, k) array, VTK's layout without offsets. meshio
keeps a polyhedron as a Python list of its faces, so those are read one cell at a time.
"""
from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

from cellprox._messages import type_name
from cellprox._meshes import celltypes as ct
from cellprox._meshes.libraries import meshio
from cellprox._meshes.topology import Faces, Naming, PackedCells, Topology, pack

__all__ = ["packed_meshio"]

WHO = "CellSet.from_meshio"
_TAKEN = ", ".join(list(ct.MESHIO_TYPES) + ["polyhedron"])


def packed_meshio(mesh: Any, collections: str | npt.ArrayLike | None,
                  workers: int = 1) -> PackedCells:
    if not isinstance(mesh, meshio().Mesh):
        raise TypeError(f"{WHO}: mesh is a {type_name(mesh)}, but it must be a meshio.Mesh")
    blocks = list(mesh.cells)
    starts = np.cumsum([0] + [len(block.data) for block in blocks])
    name = _naming(blocks, starts)
    connectivity, counts, types = [], [], []
    face_points: list[npt.NDArray[np.int64]] = []
    face_sizes: list[int] = []
    face_owner: list[int] = []
    for b, block in enumerate(blocks):
        n = len(block.data)
        if n == 0:
            continue
        if block.type.startswith("polyhedron"):
            for j, faces in enumerate(block.data):
                cell_points = np.unique(np.concatenate([np.asarray(f, np.int64) for f in faces])) \
                    if len(faces) else np.zeros(0, np.int64)
                connectivity.append(cell_points)
                face_points.extend(np.asarray(f, np.int64) for f in faces)
                face_sizes.extend(len(f) for f in faces)
                face_owner.extend([int(starts[b]) + j] * len(faces))
            counts.append(np.array([len(c) for c in connectivity[-n:]], np.int64))
            types.append(np.full(n, ct.POLYHEDRON, np.uint8))
            continue
        code = ct.MESHIO_TYPES.get(block.type)
        if code is None:
            raise ValueError(f"{WHO}: {name(int(starts[b]))} is " + ct.refusal_of(
                f"a {block.type!r} cell", getattr(block, "dim", 3) < 2, _TAKEN,
                "ask the mesh's writer for linear elements"))
        data = np.asarray(block.data)
        if data.dtype.kind not in "iu" or data.ndim != 2:
            raise ValueError(f"{WHO}: cell block {b} ({block.type!r}) holds {data.dtype} of shape "
                             f"{data.shape}, but a block's cells are rows of point numbers")
        connectivity.append(data.reshape(-1))
        counts.append(np.full(n, data.shape[1], np.int64))
        types.append(np.full(n, code, np.uint8))
    all_counts = _joined(counts, np.int64)
    offsets = np.zeros(len(all_counts) + 1, np.int64)
    np.cumsum(all_counts, out=offsets[1:])
    faces = None
    if face_sizes:
        face_offsets = np.zeros(len(face_sizes) + 1, np.int64)
        np.cumsum(face_sizes, out=face_offsets[1:])
        faces = Faces(np.concatenate(face_points), face_offsets, np.array(face_owner, np.int64))
    topology = Topology(np.asarray(mesh.points), _joined(connectivity, np.int64), offsets,
                        _joined(types, np.uint8), faces)
    packed = pack(topology, name, WHO, workers)
    packed.collections = _collections(mesh, blocks, collections)
    return packed


def _joined(parts: list[npt.NDArray[Any]], dtype: type) -> npt.NDArray[Any]:
    """The blocks' arrays end to end; one block's as it is (a mesh of one block is common, and
    large)."""
    if len(parts) == 1:
        return parts[0]
    return np.concatenate(parts) if parts else np.zeros(0, dtype)


def _naming(blocks: list[Any], starts: npt.NDArray[np.int64]) -> Naming:
    def name(i: int) -> str:
        b = int(np.searchsorted(starts, i, side="right")) - 1   # empty blocks passed over
        return f"cell {i} (cell block {b}, {blocks[b].type!r}, its cell {i - starts[b]})"
    return name


def _collections(mesh: Any, blocks: list[Any], collections: str | npt.ArrayLike | None
                 ) -> npt.ArrayLike:
    if collections is None:
        return 0
    if not isinstance(collections, str):
        return collections
    if collections not in mesh.cell_data:
        known = ", ".join(map(repr, mesh.cell_data)) or "none"
        raise ValueError(f"{WHO}: the mesh has no cell data named {collections!r} (its cell "
                         f"data: {known}); name an integer entry, or pass collections=None")
    parts = [np.asarray(values) for values in mesh.cell_data[collections]]
    for b, values in enumerate(parts):
        if values.dtype.kind not in "iub" or values.ndim != 1:
            raise TypeError(f"{WHO}: cell data {collections!r} of cell block {b} holds "
                            f"{values.dtype} of shape {values.shape}, but collection numbers "
                            "are one integer per cell")
    return np.concatenate(parts) if parts else np.zeros(0, np.int64)
