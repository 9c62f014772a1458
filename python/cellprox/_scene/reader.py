"""Opening a scene: the footer checked once (columns, their types, the marker, the cell numbers'
order from the row groups' statistics), then row groups read one at a time, each checked as it
is read."""
from __future__ import annotations

import json
import operator
import os
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any, SupportsIndex, cast

import numpy as np
import numpy.typing as npt

from cellprox._messages import type_name
from cellprox._scene.dependency import pyarrow_modules
from cellprox._scene.layout import BOX_COLUMNS, COLUMNS, FORMAT, METADATA_KEY, VERSION
from cellprox._scene.packed import PackedCells
from cellprox._scene.tables import boxes_from_table, cell_numbers, check_schema, packed_from_table

if TYPE_CHECKING:
    from cellprox.cells import CellSet

__all__ = ["Scene", "open_scene"]


@dataclass(frozen=True, repr=False, eq=False)
class Scene:
    """An opened scene file: its path and what its footer said, nothing more (it pickles in a
    few bytes a row group; each read opens the file anew).

    ``len(scene)`` is its number of cells, ``row_group_sizes`` the cells in each row group.
    :meth:`read_packed` reads a row group's cells, :meth:`read_boxes` only their numbers and
    bounds, :meth:`cell_set` the whole scene. Every read checks what it reads; a fault is a
    ValueError naming the file, the row group and, where one is at fault, the cell.
    """

    path: Path
    row_group_sizes: npt.NDArray[np.int64]
    # Each row group's first and last cell number, from the footer's statistics or, where a
    # writer left them out, from the column itself.
    first_numbers: npt.NDArray[np.int64]
    last_numbers: npt.NDArray[np.int64]
    has_boxes: bool

    def __len__(self) -> int:
        return int(self.row_group_sizes.sum())

    def __repr__(self) -> str:
        return (f"<Scene {str(self.path)!r}: {len(self):,} cells in "
                f"{len(self.row_group_sizes):,} row groups>")

    def read_packed(self, row_group: int) -> PackedCells:
        """Row group ``row_group``'s cells, checked (see :func:`cellprox.scene.packed_from_table`)."""
        group = self._row_group(row_group, "read_packed")
        columns = list(COLUMNS) if self.has_boxes else [c for c in COLUMNS if c not in BOX_COLUMNS]
        table = self._read(group, columns)
        packed = packed_from_table(table, self._where(group))
        self._check_numbers(group, packed.numbers)
        return packed

    def read_boxes(self, row_group: int) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float32],
                                                 npt.NDArray[np.float32]]:
        """Row group ``row_group``'s cell numbers (n,) int64 and their bounds, lower and upper
        (n, 3) float32, reading only those columns (the vertices where the file has no
        bounds)."""
        group = self._row_group(row_group, "read_boxes")
        if not self.has_boxes:
            packed = self.read_packed(group)
            return packed.numbers, packed.lower, packed.upper
        boxes = boxes_from_table(self._read(group, ["cell", *BOX_COLUMNS]), self._where(group))
        self._check_numbers(group, boxes[0])
        return boxes

    def cell_set(self, workers: int | None = None) -> tuple[npt.NDArray[np.int64], CellSet]:
        """The whole scene in memory: its cell numbers (n,) int64 and its cells, cell ``i`` of
        the set being scene cell ``numbers[i]``."""
        blocks = [self.read_packed(group) for group in range(len(self.row_group_sizes))]
        packed = PackedCells.concatenate(blocks)
        del blocks
        return packed.numbers, packed.cell_set(workers)

    def _row_group(self, row_group: object, method: str) -> int:
        count = len(self.row_group_sizes)
        if isinstance(row_group, (bool, np.bool_)) or not hasattr(row_group, "__index__"):
            raise TypeError(f"Scene.{method}: row_group must be a whole number, not "
                            f"{type_name(row_group)}")
        group = operator.index(cast(SupportsIndex, row_group))
        if not 0 <= group < count:
            raise IndexError(f"Scene.{method}: row group {group} does not exist; {self.path} has "
                             f"{count:,} row groups (0 to {count - 1})")
        return group

    def _where(self, group: int) -> str:
        return f"{self.path}, row group {group}"

    def _read(self, group: int, columns: list[str]) -> Any:
        file = _parquet_file(self.path)
        sizes = _row_group_sizes(file)
        if not np.array_equal(sizes, self.row_group_sizes):
            raise ValueError(f"{self.path} has changed since it was opened (its row groups are "
                             "not those it had); open it again")
        return _read_group(file, self.path, group, columns)

    def _check_numbers(self, group: int, numbers: npt.NDArray[np.int64]) -> None:
        if len(numbers) and (numbers[0] != self.first_numbers[group]
                             or numbers[-1] != self.last_numbers[group]):
            raise ValueError(
                f"{self._where(group)}: its cells are numbered {numbers[0]} to {numbers[-1]}, but "
                f"the file's statistics say {self.first_numbers[group]} to "
                f"{self.last_numbers[group]}; the file is damaged")


def open_scene(path: str | os.PathLike[str]) -> Scene:
    """Opens the scene file ``path``, checking its footer: a missing file is a
    FileNotFoundError, anything that is not a scene (not Parquet, cut short, a column missing or
    of the wrong type, cell numbers out of order across row groups) a ValueError naming it."""
    if not isinstance(path, (str, os.PathLike)):
        raise TypeError(f"open_scene: path must be a file path (str or pathlib.Path), not "
                        f"{type_name(path)}")
    file_path = Path(os.fspath(path))
    file = _parquet_file(file_path)
    check_schema(file.schema_arrow, str(file_path))
    sizes = _row_group_sizes(file)
    _check_marker(file.metadata.metadata or {}, int(sizes.sum()), file_path)
    first, last = _number_ranges(file, file_path)
    return Scene(file_path, sizes, first, last,
                 all(name in file.schema_arrow.names for name in BOX_COLUMNS))


def _parquet_file(path: Path) -> Any:
    pa, _, pq = pyarrow_modules()
    if not path.exists():
        raise FileNotFoundError(f"open_scene: {path} does not exist; give the path of a scene "
                                "file (written by SceneWriter or write_scene)")
    if path.is_dir():
        raise IsADirectoryError(f"open_scene: {path} is a folder; give the path of a scene file")
    try:
        return pq.ParquetFile(path)
    except (pa.ArrowException, OSError) as error:
        if isinstance(error, FileNotFoundError):
            raise
        raise ValueError(f"{path} is not a Parquet file, or not a whole one ({error}); a scene "
                         "is a Parquet file written by SceneWriter or another tool") from None


def _read_group(file: Any, path: Path, group: int, columns: list[str]) -> Any:
    pa, _, _ = pyarrow_modules()
    try:
        return file.read_row_group(group, columns=columns)
    except (pa.ArrowException, OSError) as error:
        if isinstance(error, FileNotFoundError):
            raise
        raise ValueError(f"{path}, row group {group} cannot be read ({error}); the file is "
                         "damaged, or was not written as a whole") from None


def _row_group_sizes(file: Any) -> npt.NDArray[np.int64]:
    metadata = file.metadata
    return np.array([metadata.row_group(g).num_rows for g in range(metadata.num_row_groups)],
                    np.int64)


def _check_marker(metadata: dict[bytes, bytes], cells: int, path: Path) -> None:
    """The package's marker, where there is one (another tool's file may have none), must be a
    scene of this version with as many cells as the row groups hold."""
    if METADATA_KEY not in metadata:
        return
    try:
        marker = json.loads(metadata[METADATA_KEY])
        kind, version, count = marker["format"], marker["version"], marker["cells"]
    except (ValueError, TypeError, KeyError):
        raise ValueError(f"{path}: its 'cellprox' metadata is not a scene's marker (JSON with "
                         "format, version and cells)") from None
    if kind != FORMAT:
        raise ValueError(f"{path}: its 'cellprox' metadata names the format {kind!r}, not "
                         f"{FORMAT!r}")
    if version != VERSION:
        raise ValueError(f"{path}: a scene of version {version!r}; this cellprox reads version "
                         f"{VERSION} (a newer version needs a newer cellprox)")
    if count != cells:
        raise ValueError(f"{path}: its marker says {count} cells, but its row groups hold "
                         f"{cells:,}; the file is damaged")


def _number_ranges(file: Any, path: Path) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64]]:
    """Each row group's first and last cell number, and that they rise from group to group. The
    footer's statistics give them; a row group without them has its cell column read."""
    metadata = file.metadata
    groups = metadata.num_row_groups
    first = np.zeros(groups, np.int64)
    last = np.zeros(groups, np.int64)
    column = _leaf_index(file, "cell")
    for group in range(groups):
        chunk = metadata.row_group(group)
        if chunk.num_rows == 0:
            continue
        stats = chunk.column(column).statistics
        if stats is not None and stats.has_min_max:
            first[group], last[group] = stats.min, stats.max
        else:
            numbers = cell_numbers(_read_group(file, path, group, ["cell"]),
                                   f"{path}, row group {group}")
            first[group], last[group] = numbers[0], numbers[-1]
        if chunk.num_rows > 1 and last[group] - first[group] < chunk.num_rows - 1:
            raise ValueError(f"{path}, row group {group}: {chunk.num_rows:,} cells numbered "
                             f"{first[group]} to {last[group]} cannot be strictly increasing")
    filled = np.flatnonzero(_row_group_sizes(file) > 0)
    for before, after in zip(filled, filled[1:]):
        if first[after] <= last[before]:
            raise ValueError(
                f"{path}: cell numbers are not strictly increasing: row group {after} starts at "
                f"{first[after]}, but row group {before} ends at {last[before]}")
    return first, last


def _leaf_index(file: Any, name: str) -> int:
    schema = file.metadata.schema
    for index in range(len(schema)):
        if schema.column(index).path == name:
            return index
    raise ValueError(f"{file}: no column {name!r}")      # check_schema found it first
