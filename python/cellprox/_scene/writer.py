"""Writing a scene block by block: cells are numbered as they come, gathered into row groups of
a fixed size, written to a temporary file beside the scene's path and moved into place only
when the writer closes cleanly."""
from __future__ import annotations

import numbers
import os
import secrets
import weakref
from pathlib import Path
from types import TracebackType
from typing import Any

import numpy as np
import numpy.typing as npt

from cellprox._messages import type_name
from cellprox._scene.dependency import pyarrow_modules
from cellprox._scene.layout import METADATA_KEY, metadata_value, scene_schema, writer_options
from cellprox._scene.packed import PackedCells, check_cells, slice_rows
from cellprox._scene.tables import table_from_packed
from cellprox.cells import CellSet

__all__ = ["DEFAULT_ROW_GROUP_CELLS", "SceneWriter", "output_path", "packed_from_cell_set",
           "row_group_cells_of"]

DEFAULT_ROW_GROUP_CELLS = 131_072


class SceneWriter:
    """Writes a scene to the Parquet file ``path``, block by block; a context manager.

    ``write`` takes a :class:`cellprox.CellSet` (or anything with a ``cell_set()`` method, such as
    a Fracture), ``write_packed`` the packed arrays ``CellSet.from_packed`` takes, and
    ``write_block`` a :class:`PackedCells` whose numbers continue the scene's. Cells are numbered
    0, 1, 2, ... in the order written (after a block, from its last number + 1) and stored in
    row groups of ``row_group_cells`` cells, the last one smaller; the writer holds at most one
    row group's cells of its own, besides the block it is given.

    The file is written beside ``path`` under a hidden temporary name and moved to ``path`` by
    :meth:`close` (or a with-block that ends without an exception). An exception in the block,
    :meth:`abort`, or a writer dropped without closing, removes it: nothing at ``path`` ever
    looks like a complete scene unless it is one. An existing ``path`` is a FileExistsError
    unless ``overwrite``.
    """

    def __init__(self, path: str | os.PathLike[str], *, overwrite: bool = False,
                 row_group_cells: int = DEFAULT_ROW_GROUP_CELLS) -> None:
        who = "SceneWriter"
        self.path = output_path(path, overwrite, who)
        self.overwrite = bool(overwrite)
        self.row_group_cells = row_group_cells_of(row_group_cells, who)
        pa, _, pq = pyarrow_modules()
        self._temporary = _temporary_beside(self.path)
        temporary = str(self._temporary)
        # A writer that is dropped (or an interpreter that ends) before close leaves no file.
        self._discard = weakref.finalize(self, _remove, self._temporary)
        try:
            self._writer: Any = pq.ParquetWriter(temporary, scene_schema(pa), **writer_options())
        except BaseException:
            self._discard()
            raise
        self._pending: list[PackedCells] = []
        self._pending_cells = 0
        self._next_number = 0
        self._open = True
        self.cells_written = 0

    def __enter__(self) -> SceneWriter:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 trace: TracebackType | None) -> None:
        if kind is None:
            self.close()
        else:
            self.abort()

    def __repr__(self) -> str:
        state = "open" if self._open else "closed"
        return f"<SceneWriter {state} for {str(self.path)!r}, {self.cells_written:,} cells>"

    def write(self, cells: Any) -> None:
        """Adds the cells of a CellSet, or of anything whose ``cell_set()`` gives one."""
        self._check_open("write")
        if not isinstance(cells, CellSet):
            make = getattr(cells, "cell_set", None)
            if not callable(make):
                raise TypeError(f"SceneWriter.write: cells must be a CellSet or have a cell_set() "
                                f"method (a Fracture), not {type_name(cells)}; for packed arrays "
                                "use write_packed, for a PackedCells write_block")
            cells = make()
            if not isinstance(cells, CellSet):
                raise TypeError(f"SceneWriter.write: cells.cell_set() gave "
                                f"{type_name(cells)}, not a CellSet")
        self._add(packed_from_cell_set(cells, self._next_number, "SceneWriter.write"))

    def write_packed(self, vertices: npt.ArrayLike, vertex_offsets: npt.ArrayLike,
                     edges: npt.ArrayLike | None = None, edge_offsets: npt.ArrayLike | None = None,
                     *, origins: npt.ArrayLike | None = None, collections: npt.ArrayLike = 0,
                     workers: int | None = None) -> None:
        """Adds cells given as ``CellSet.from_packed`` takes them, and checked by it."""
        self._check_open("write_packed")
        self.write(CellSet.from_packed(vertices, vertex_offsets, edges, edge_offsets,
                                       origins=origins, collections=collections, workers=workers))

    def write_block(self, packed: PackedCells) -> None:
        """Adds a block whose numbers continue the scene's (its first above the last written)."""
        who = "SceneWriter.write_block"
        self._check_open("write_block")
        if not isinstance(packed, PackedCells):
            raise TypeError(f"{who}: packed must be PackedCells, not {type_name(packed)}")
        if len(packed) and packed.numbers[0] < self._next_number:
            raise ValueError(
                f"{who}: the block starts at cell number {packed.numbers[0]}, but the scene's "
                f"numbers have reached {self._next_number - 1}; numbers must keep increasing, "
                f"so start the block at {self._next_number} or later")
        check_cells(packed, who)
        self._add(packed)

    def close(self) -> None:
        """Writes what is left, finishes the file and moves it to ``path``. A closed writer's
        close does nothing."""
        if not self._open:
            return
        try:
            if self._pending_cells:
                self._write_group(PackedCells.concatenate(self._pending))
            self._writer.add_key_value_metadata({METADATA_KEY: metadata_value(self.cells_written)})
            self._writer.close()
            self._open = False
            _flush_to_disk(self._temporary)
            _move_into_place(self._temporary, self.path, self.overwrite)
        except BaseException:
            self.abort()
            raise
        self._discard.detach()

    def abort(self) -> None:
        """Stops writing and removes the unfinished file; ``path`` is left as it was."""
        self._pending = []
        if self._open:
            self._open = False
            try:
                self._writer.close()
            except Exception:      # the file goes anyway; the error that led here matters more
                pass
        self._discard()

    def _check_open(self, method: str) -> None:
        if not self._open:
            raise ValueError(f"SceneWriter.{method}: the writer of {self.path} is closed; open a "
                             "new SceneWriter to write another scene")

    def _add(self, block: PackedCells) -> None:
        """Numbers the block's cells into the scene and writes every row group it fills."""
        n = len(block)
        if not n:
            return
        self._next_number = int(block.numbers[-1]) + 1
        self.cells_written += n
        size = self.row_group_cells
        start = 0
        if self._pending_cells:
            start = min(size - self._pending_cells, n)
            self._keep(slice_rows(block, 0, start))
            if self._pending_cells < size:
                return
            self._write_group(PackedCells.concatenate(self._pending))
            self._pending, self._pending_cells = [], 0
        while n - start >= size:
            self._write_group(slice_rows(block, start, start + size))
            start += size
        if start < n:
            self._keep(slice_rows(block, start, n))

    def _keep(self, block: PackedCells) -> None:
        # A copy: the caller may change or drop its arrays once the call returns.
        self._pending.append(PackedCells(*(np.array(getattr(block, name))
                                           for name in block.__dataclass_fields__)))
        self._pending_cells += len(block)

    def _write_group(self, block: PackedCells) -> None:
        self._writer.write_table(table_from_packed(block), row_group_size=max(len(block), 1))


def packed_from_cell_set(cells: CellSet, first_number: int = 0,
                         who: str = "packed_from_cell_set") -> PackedCells:
    """A CellSet's cells as a block numbered from ``first_number``: the very float32 vertices,
    int32 edges, origins and collections the set holds (shared, not copied; they are
    read-only), and their bounds. Every cell must have a vertex."""
    if not isinstance(cells, CellSet):
        raise TypeError(f"{who}: cells must be a CellSet, not {type_name(cells)}")
    if isinstance(first_number, bool) or not isinstance(first_number, numbers.Integral) \
            or not 0 <= int(first_number) <= 2**62:
        raise ValueError(f"{who}: first_number must be a whole number from 0 to 2**62, not "
                         f"{first_number!r}")
    vertices, vertex_offsets, edges, edge_offsets, origins, collections = cells.search_arrays()
    empty = np.flatnonzero(cells.v_counts == 0)
    if empty.size:
        raise ValueError(f"{who}: cell {int(empty[0])} of the CellSet has no vertices; every cell "
                         "of a scene has at least one")
    lower, upper = cells.bounds()
    start = int(first_number)
    return PackedCells(np.arange(start, start + len(cells), dtype=np.int64), vertices,
                       np.asarray(vertex_offsets), edges, np.asarray(edge_offsets), origins,
                       collections, lower, upper)


def output_path(path: object, overwrite: object, who: str) -> Path:
    """The scene's path, checked before anything is written: a file path in an existing folder,
    free unless ``overwrite``."""
    if not isinstance(path, (str, os.PathLike)):
        raise TypeError(f"{who}: path must be a file path (str or pathlib.Path), not "
                        f"{type_name(path)}")
    if not isinstance(overwrite, (bool, np.bool_)):
        raise TypeError(f"{who}: overwrite must be True or False, not {type_name(overwrite)}")
    target = Path(os.fspath(path))
    if target.is_dir():
        raise IsADirectoryError(f"{who}: {target} is a folder; give the path of the scene file "
                                "to write, such as scene.parquet")
    if not target.parent.is_dir():
        raise FileNotFoundError(f"{who}: the folder {target.parent} does not exist; create it "
                                "or write the scene elsewhere")
    if target.exists() and not overwrite:
        raise FileExistsError(f"{who}: {target} exists; pass overwrite=True to replace it, or "
                              "choose another path")
    return target


def row_group_cells_of(value: object, who: str) -> int:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{who}: row_group_cells must be a whole number of cells, not "
                        f"{type_name(value)}")
    if value < 1:
        raise ValueError(f"{who}: row_group_cells must be 1 or more cells, not {value}; the "
                         f"default is {DEFAULT_ROW_GROUP_CELLS:,}")
    return int(value)


def _temporary_beside(path: Path) -> Path:
    """A new hidden file beside ``path``, with the permissions the umask gives a new file
    (tempfile's would be private to this user, and so would the scene)."""
    while True:
        temporary = path.with_name(f".{path.name}.{secrets.token_hex(4)}.partial")
        try:
            os.close(os.open(temporary, os.O_CREAT | os.O_EXCL | os.O_WRONLY, 0o666))
        except FileExistsError:
            continue
        return temporary


def _flush_to_disk(path: Path) -> None:
    """The file's bytes reach the disk before its name does: after a crash, ``path`` holds the
    whole scene or nothing new."""
    with open(path, "rb") as handle:
        os.fsync(handle.fileno())


def _move_into_place(temporary: Path, path: Path, overwrite: bool) -> None:
    if overwrite:
        os.replace(temporary, path)
        return
    # A link fails if someone made `path` since the writer was opened, where a rename would
    # replace their file.
    try:
        os.link(temporary, path)
    except FileExistsError:
        raise FileExistsError(f"SceneWriter.close: {path} was made while the scene was being "
                              "written; the scene is not written (pass overwrite=True to "
                              "replace such a file)") from None
    except OSError:             # a file system without hard links
        if path.exists():
            raise FileExistsError(f"SceneWriter.close: {path} was made while the scene was "
                                  "being written; the scene is not written") from None
        os.replace(temporary, path)
        return
    os.unlink(temporary)


def _remove(path: Path) -> None:
    try:
        path.unlink()
    except FileNotFoundError:
        pass
