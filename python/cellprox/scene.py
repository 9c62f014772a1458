"""Scenes on disk: cells that do not fit one process's memory, in one Parquet file of row groups.

A scene is written block by block (:class:`SceneWriter`, :func:`write_scene`) and read row group
by row group (:func:`open_scene`, :class:`Scene`); a block of cells in memory is a
:class:`PackedCells`, packed as :meth:`cellprox.CellSet.from_packed` takes them. One row holds
one cell: its number in the scene, its float32 vertices and int32 edges, origin, collection
and bounds, exactly the values a CellSet holds, so a cell read back makes the same CellSet bit
for bit. docs/scene.md describes the layout for other tools.

:func:`lattice_scene` and :func:`lattice_cells` make synthetic scenes of any size (jittered
cubes on a lattice), :func:`fracture_scene` writes a Voronoi fracture of a box.

pyarrow is imported when a scene is first read or written, not with ``cellprox``; without it
these raise an ImportError that says ``pip install "cellprox[distributed]"``.
"""
from __future__ import annotations

import os
from collections.abc import Sequence
from typing import Any

from cellprox._scene.lattice import checked_lattice, is_whole as _is_whole, lattice_block
from cellprox._scene.packed import PackedCells
from cellprox._scene.reader import Scene, open_scene
from cellprox._scene.tables import packed_from_table, table_from_packed
from cellprox._scene.writer import DEFAULT_ROW_GROUP_CELLS, SceneWriter, packed_from_cell_set

__all__ = ["PackedCells", "Scene", "SceneWriter", "fracture_scene", "lattice_cells",
           "lattice_scene", "open_scene", "packed_from_cell_set", "packed_from_table",
           "table_from_packed", "write_scene"]


def write_scene(path: str | os.PathLike[str], cells: Any, *, overwrite: bool = False,
                row_group_cells: int = DEFAULT_ROW_GROUP_CELLS) -> Scene:
    """Writes ``cells`` (a CellSet, anything with a ``cell_set()`` method such as a Fracture, or
    a PackedCells) as the scene ``path``, numbered from 0, and opens it."""
    with SceneWriter(path, overwrite=overwrite, row_group_cells=row_group_cells) as writer:
        if isinstance(cells, PackedCells):
            writer.write_block(cells)
        else:
            writer.write(cells)
    return open_scene(path)


def lattice_cells(shape: Sequence[int], *, spacing: float = 1.0, side: float = 0.8,
                  jitter: float = 0.1, seed: int = 0, collections: int = 1, first: int = 0,
                  count: int | None = None) -> PackedCells:
    """Cells ``first`` to ``first + count - 1`` (``count`` None: to the end) of a lattice of
    ``shape`` = (nx, ny, nz) cubes.

    Each cube has side ``side``, 8 vertices and 12 edges; cell ``k`` is centred on lattice point
    (k // (ny nz), k // nz % ny, k % nz) times ``spacing``, moved by a uniform random offset in
    [-jitter, jitter] on each axis (its origin), and belongs to collection ``k % collections``.
    The same arguments give the same cells whatever slice is asked for.
    """
    who = "lattice_cells"
    lattice = checked_lattice(shape, spacing, side, jitter, seed, collections, who)
    start, size = _checked_slice(first, count, lattice.cells, who)
    return lattice_block(lattice, start, size)


def lattice_scene(path: str | os.PathLike[str], shape: Sequence[int], *, spacing: float = 1.0,
                  side: float = 0.8, jitter: float = 0.1, seed: int = 0, collections: int = 1,
                  row_group_cells: int = DEFAULT_ROW_GROUP_CELLS,
                  overwrite: bool = False) -> Scene:
    """Writes the lattice of :func:`lattice_cells` as the scene ``path``, a row group at a time
    (memory bounded by a row group's cells, whatever the shape), and opens it."""
    lattice = checked_lattice(shape, spacing, side, jitter, seed, collections, "lattice_scene")
    with SceneWriter(path, overwrite=overwrite, row_group_cells=row_group_cells) as writer:
        for start in range(0, lattice.cells, writer.row_group_cells):
            writer.write_block(lattice_block(lattice, start,
                                             min(writer.row_group_cells, lattice.cells - start)))
    return open_scene(path)


def fracture_scene(path: str | os.PathLike[str], n_cells: int, *, seed: int = 0,
                   collections: int = 1, workers: int | None = None,
                   row_group_cells: int = DEFAULT_ROW_GROUP_CELLS,
                   overwrite: bool = False) -> Scene:
    """Writes :func:`cellprox.fracture.voronoi_fracture` of the unit box into ``n_cells`` cells
    as the scene ``path`` and opens it (the fracture itself is made in memory; it needs scipy)."""
    from cellprox.fracture import voronoi_fracture

    # The path is checked before the fracture, which may take minutes.
    with SceneWriter(path, overwrite=overwrite, row_group_cells=row_group_cells) as writer:
        writer.write(voronoi_fracture(n_cells, seed=seed, collections=collections,
                                      workers=workers))
    return open_scene(path)


def _checked_slice(first: object, count: object, cells: int, who: str) -> tuple[int, int]:
    if not _is_whole(first) or not 0 <= int(first) <= cells:
        raise ValueError(f"{who}: first must be a whole number from 0 to {cells:,} (the "
                         f"lattice's cells), not {first!r}")
    start = int(first)
    if count is None:
        return start, cells - start
    if not _is_whole(count) or not 0 <= int(count) <= cells - start:
        raise ValueError(f"{who}: count must be None or a whole number from 0 to "
                         f"{cells - start:,} (the cells from first on), not {count!r}")
    return start, int(count)

