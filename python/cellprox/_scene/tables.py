"""Blocks of cells as Arrow tables of the scene's layout, and back: the types a reader accepts,
the conversion of each column to the arrays of a :class:`PackedCells`, and the checks that
name the file, the column and the cell at fault."""
from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

from cellprox._scene.dependency import pyarrow_modules
from cellprox._scene.layout import BOX_COLUMNS, COLUMNS, REQUIRED_COLUMNS, scene_schema
from cellprox._scene.packed import PackedCells, cell_bounds, check_cells, check_edges, check_numbers

__all__ = ["boxes_from_table", "cell_numbers", "check_schema", "packed_from_table",
           "table_from_packed"]

# Arrow's list offsets are int32: a table's cells are split into batches that keep their
# vertices and edges below that.
_MAX_LIST_ROWS = 2**31 - 1

# What each column must hold: ("runs" | "points" | "integer", width, value kind, Arrow type).
_KINDS: dict[str, tuple[str, int, str, str]] = {
    "cell": ("integer", 0, "i", "int64"),
    "vertices": ("runs", 3, "f", "list<fixed_size_list<float32, 3>> (float64 accepted)"),
    "edges": ("runs", 2, "i", "list<fixed_size_list<int32, 2>> (int64 accepted)"),
    "origin": ("points", 3, "f", "fixed_size_list<float32, 3> (float64 accepted)"),
    "collection": ("integer", 0, "i", "int32"),
    "lower": ("points", 3, "f", "fixed_size_list<float32, 3> (float64 accepted)"),
    "upper": ("points", 3, "f", "fixed_size_list<float32, 3> (float64 accepted)"),
}


def table_from_packed(packed: PackedCells) -> Any:
    """The block as an Arrow table of the scene's layout: one row a cell, its number in ``cell``."""
    pa, _, _ = pyarrow_modules()
    if not isinstance(packed, PackedCells):
        raise TypeError(f"table_from_packed: packed must be PackedCells, not "
                        f"{type(packed).__name__}")
    schema = scene_schema(pa)
    batches = [_batch(pa, schema, packed, start, stop)
               for start, stop in _batch_ranges(packed.vertex_offsets, packed.edge_offsets)]
    return pa.Table.from_batches(batches, schema)


def packed_from_table(table: Any, source: str) -> PackedCells:
    """A table of the scene's layout (from the package or another tool) as a checked block.

    ``source`` names the file (and row group) in the messages. Vertices and origins may be
    float64 (rounded to float32, as a CellSet rounds them), edges int64 (checked against their
    cell's vertex count first), the 3-vectors variable-length lists of three; without ``lower``
    and ``upper`` the bounds are computed. Anything else is a ValueError naming ``source``.
    """
    pa, _, _ = pyarrow_modules()
    if not isinstance(table, pa.Table):
        raise TypeError(f"packed_from_table: table must be a pyarrow.Table, not "
                        f"{type(table).__name__}")
    check_schema(table.schema, source)
    numbers = cell_numbers(table, source)
    n = len(numbers)

    def where(name: str) -> str:
        return f"{source}: column {name!r}"

    vertex_values, v_counts = _runs(table.column("vertices"), 3, where("vertices"), numbers, False)
    edge_values, e_counts = _runs(table.column("edges"), 2, where("edges"), numbers, True)
    vertex_offsets = _offsets(v_counts)
    edge_offsets = _offsets(e_counts)
    vertices = _float32(vertex_values)
    if edge_values.dtype != np.int32:
        check_edges(edge_values, v_counts, e_counts, numbers, source)
    edges = np.ascontiguousarray(edge_values, np.int32)
    origins = _float32(_points(table.column("origin"), 3, where("origin"), numbers))
    collections = _integers(table.column("collection"), "collection", np.int32, source, numbers)
    if all(name in table.column_names for name in BOX_COLUMNS):
        lower, upper = (_float32(_points(table.column(name), 3, where(name), numbers))
                        for name in BOX_COLUMNS)
    elif n and v_counts.min() > 0:
        lower, upper = cell_bounds(vertices, vertex_offsets)
    else:       # a cell without vertices has no bounds; check_cells names it
        lower = upper = np.zeros((n, 3), np.float32)
    packed = PackedCells(numbers, vertices, vertex_offsets, edges, edge_offsets, origins,
                         collections, lower, upper)
    check_cells(packed, source)
    return packed


def cell_numbers(table: Any, source: str) -> npt.NDArray[np.int64]:
    """The table's ``cell`` column, checked: no nulls, fits int64, strictly increasing."""
    numbers = _integers(table.column("cell"), "cell", np.int64, source)
    check_numbers(numbers, source)
    return numbers


def boxes_from_table(table: Any, source: str) -> tuple[npt.NDArray[np.int64],
                                                       npt.NDArray[np.float32],
                                                       npt.NDArray[np.float32]]:
    """The ``cell``, ``lower`` and ``upper`` columns, checked: numbers as for a block, bounds
    finite with lower <= upper (whether they bound the vertices is known only with them)."""
    numbers = cell_numbers(table, source)
    lower, upper = (_float32(_points(table.column(name), 3, f"{source}: column {name!r}", numbers))
                    for name in BOX_COLUMNS)
    fine = np.isfinite(lower).all(axis=1) & np.isfinite(upper).all(axis=1) & \
        (lower <= upper).all(axis=1)
    if not fine.all():
        cell = numbers[int(np.argmax(~fine))]
        raise ValueError(f"{source}: cell {cell}: lower and upper are not finite bounds with "
                         "lower <= upper")
    return numbers, lower, upper


def check_schema(schema: Any, source: str) -> None:
    """Every column the layout needs is there, of a type the reader takes; ``lower`` and
    ``upper`` come together or not at all."""
    pa, _, _ = pyarrow_modules()
    missing = [name for name in REQUIRED_COLUMNS if name not in schema.names]
    if missing:
        raise ValueError(
            f"{source}: no column {', '.join(map(repr, missing))}; a scene has the columns "
            f"{', '.join(COLUMNS)} (lower and upper may be left out), and this file has "
            f"{', '.join(schema.names) or 'none'}")
    boxes = [name in schema.names for name in BOX_COLUMNS]
    if any(boxes) and not all(boxes):
        raise ValueError(f"{source}: has only one of the columns 'lower' and 'upper'; give "
                         "both or neither (the reader then computes the bounds)")
    for name in COLUMNS:
        if name in schema.names:
            field = schema.field(name)
            if not _type_fits(pa, field.type, name):
                raise ValueError(f"{source}: column {name!r} has type {field.type}, but it "
                                 f"must be {_KINDS[name][3]}")


def _type_fits(pa: Any, kind: Any, name: str) -> bool:
    shape, width, values, _ = _KINDS[name]
    if shape == "integer":
        return bool(pa.types.is_integer(kind))
    if shape == "runs":
        if not (pa.types.is_list(kind) or pa.types.is_large_list(kind)):
            return False
        kind = kind.value_type
    if pa.types.is_fixed_size_list(kind):
        if kind.list_size != width:
            return False
    elif not (pa.types.is_list(kind) or pa.types.is_large_list(kind)):
        return False
    item = kind.value_type
    if values == "f":
        return bool(pa.types.is_float32(item) or pa.types.is_float64(item))
    return bool(pa.types.is_integer(item))


def _integers(column: Any, name: str, dtype: type, source: str,
              numbers: npt.NDArray[np.int64] | None = None) -> npt.NDArray[Any]:
    _no_nulls(column, f"{source}: column {name!r}", numbers)
    values = _numpy(column)
    info: Any = np.iinfo(dtype)
    if len(values) and (values.max() > info.max or (values.dtype.kind == "i" and values.min() < info.min)):
        bad = (values > info.max) | (values < info.min)
        row = int(np.argmax(bad))
        where = f"cell {numbers[row]}" if numbers is not None else f"row {row}"
        raise ValueError(f"{source}: column {name!r}: {where} holds {values[row]}, which does "
                         f"not fit {np.dtype(dtype)}")
    return np.ascontiguousarray(values, dtype)


def _runs(column: Any, width: int, where: str, numbers: npt.NDArray[np.int64],
          nullable: bool) -> tuple[npt.NDArray[Any], npt.NDArray[np.int64]]:
    """A column of runs of points: all points back to back, (k, width), and each row's count (a
    null row, where ``nullable``, counts none)."""
    _, pc, _ = pyarrow_modules()
    if not nullable:
        _no_nulls(column, where, numbers)
    counts = np.concatenate([np.zeros(0, np.int64)] + [
        np.asarray(pc.list_value_length(chunk).fill_null(0), np.int64)
        for chunk in column.chunks])
    points = [_point_values(chunk.flatten(), width, where, numbers, counts)
              for chunk in column.chunks]
    return _joined(points, width), counts


def _points(column: Any, width: int, where: str, numbers: npt.NDArray[np.int64]) -> npt.NDArray[Any]:
    """A column of one point per row, (n, width)."""
    _no_nulls(column, where, numbers)
    return _joined([_point_values(chunk, width, where, numbers, None) for chunk in column.chunks],
                   width)


def _point_values(points: Any, width: int, where: str, numbers: npt.NDArray[np.int64],
                  counts: npt.NDArray[np.int64] | None) -> npt.NDArray[Any]:
    """An Arrow array of points (fixed-size or variable lists) as (k, width) numbers; each
    point belongs to a row of ``counts`` points (None: one point a row)."""
    pa, pc, _ = pyarrow_modules()
    if points.null_count:
        row = _first_true(pc.is_null(points))
        raise ValueError(f"{where}: {_owner(numbers, counts, row)} has a null point; "
                         "points may not be null")
    if not pa.types.is_fixed_size_list(points.type):
        lengths = np.asarray(pc.list_value_length(points), np.int64)
        if (lengths != width).any():
            row = int(np.argmax(lengths != width))
            raise ValueError(f"{where}: {_owner(numbers, counts, row)} has a point of "
                             f"{lengths[row]} numbers; each must have {width}")
    values = points.flatten()
    if values.null_count:
        row = _first_true(pc.is_null(values)) // width
        raise ValueError(f"{where}: {_owner(numbers, counts, row)} has a null coordinate; "
                         "numbers may not be null")
    return _numpy(values).reshape(-1, width)


def _owner(numbers: npt.NDArray[np.int64], counts: npt.NDArray[np.int64] | None, row: int) -> str:
    cell = row if counts is None else int(np.searchsorted(np.cumsum(counts), row, side="right"))
    return f"cell {numbers[cell]}"


def _no_nulls(column: Any, where: str, numbers: npt.NDArray[np.int64] | None) -> None:
    _, pc, _ = pyarrow_modules()
    if column.null_count:
        row = _first_true(pc.is_null(column))
        cell = f"cell {numbers[row]}" if numbers is not None else f"row {row}"
        raise ValueError(f"{where}: {cell} is null; this column may hold no nulls")


def _first_true(mask: Any) -> int:
    return int(np.argmax(np.asarray(mask.to_numpy(zero_copy_only=False), bool)))


def _numpy(array: Any) -> npt.NDArray[Any]:
    """An Arrow array or chunked array without nulls as numpy numbers (no copy where one chunk
    of a fixed-width type allows)."""
    if hasattr(array, "chunks"):
        return np.asarray(array.to_numpy())
    return np.asarray(array.to_numpy(zero_copy_only=False))


def _joined(parts: list[npt.NDArray[Any]], width: int) -> npt.NDArray[Any]:
    if len(parts) == 1:
        return parts[0]
    return np.concatenate(parts) if parts else np.zeros((0, width), np.float32)


def _float32(values: npt.NDArray[Any]) -> npt.NDArray[np.float32]:
    """As a CellSet rounds its coordinates; beyond float32's range they become infinite, which
    the checks then name."""
    with np.errstate(over="ignore"):
        return np.ascontiguousarray(values, np.float32)


def _offsets(counts: npt.NDArray[np.int64]) -> npt.NDArray[np.int64]:
    offsets = np.zeros(len(counts) + 1, np.int64)
    np.cumsum(counts, out=offsets[1:])
    return offsets


def _batch_ranges(vertex_offsets: npt.NDArray[np.int64], edge_offsets: npt.NDArray[np.int64]
                  ) -> list[tuple[int, int]]:
    """Runs of cells whose vertices and edges each fit Arrow's int32 list offsets."""
    n = len(vertex_offsets) - 1
    ranges: list[tuple[int, int]] = []
    start = 0
    while start < n or not ranges:
        stop = n
        for offsets in (vertex_offsets, edge_offsets):
            limit = int(offsets[start]) + _MAX_LIST_ROWS
            stop = min(stop, int(np.searchsorted(offsets, limit, side="right")) - 1)
        stop = max(stop, start + 1) if n else 0
        ranges.append((start, stop))
        start = stop
    return ranges


def _batch(pa: Any, schema: Any, packed: PackedCells, start: int, stop: int) -> Any:
    def points(values: npt.NDArray[Any], name: str, field: Any = None) -> Any:
        kind = (field or schema.field(name)).type
        return pa.FixedSizeListArray.from_arrays(pa.array(values.reshape(-1)), type=kind)

    def runs(values: npt.NDArray[Any], offsets: npt.NDArray[np.int64], name: str) -> Any:
        kind = schema.field(name).type
        v0, v1 = int(offsets[start]), int(offsets[stop])
        inner = points(values[v0:v1], name, kind.value_field)
        return pa.ListArray.from_arrays(pa.array((offsets[start:stop + 1] - v0).astype(np.int32)),
                                        inner, type=kind)

    rows = slice(start, stop)
    return pa.RecordBatch.from_arrays([
        pa.array(packed.numbers[rows], pa.int64()),
        runs(packed.vertices, packed.vertex_offsets, "vertices"),
        runs(packed.edges, packed.edge_offsets, "edges"),
        points(packed.origins[rows], "origin"),
        pa.array(packed.collections[rows], pa.int32()),
        points(packed.lower[rows], "lower"),
        points(packed.upper[rows], "upper"),
    ], schema=schema)
