"""A block of a scene's cells as packed arrays (:class:`PackedCells`), what can be done to one
without a Python object per cell (a slice, a selection, a join), and the checks that every
block entering or leaving a file passes."""
from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

from cellprox._gather import run_bounds

if TYPE_CHECKING:
    from cellprox.cells import CellSet

__all__ = ["PackedCells", "cell_bounds", "check_cells", "check_edges", "check_numbers", "empty_packed", "slice_rows"]

# Each field's dtype and shape: "n" is the number of cells, None any length.
_FIELDS: dict[str, tuple[type, tuple[Any, ...]]] = {
    "numbers": (np.int64, ("n",)),
    "vertices": (np.float32, (None, 3)),
    "vertex_offsets": (np.int64, ("n+1",)),
    "edges": (np.int32, (None, 2)),
    "edge_offsets": (np.int64, ("n+1",)),
    "origins": (np.float32, ("n", 3)),
    "collections": (np.int32, ("n",)),
    "lower": (np.float32, ("n", 3)),
    "upper": (np.float32, ("n", 3)),
}


@dataclass(frozen=True, eq=False)
class PackedCells:
    """One block of a scene's cells, packed as :meth:`cellprox.CellSet.from_packed` takes them.

    Cell ``i`` of the block is scene cell ``numbers[i]`` (strictly increasing); its vertices are
    ``vertices[vertex_offsets[i]:vertex_offsets[i + 1]]``, its edges (vertex numbers within the
    cell) ``edges[edge_offsets[i]:edge_offsets[i + 1]]``; ``lower`` and ``upper`` are the
    per-axis minimum and maximum of its vertices. Both offset arrays start at 0. The dtypes and
    shapes are checked when a block is made (a TypeError or ValueError naming the field); the
    values when it is written to a scene or read from one. Blocks compare by identity: compare
    their arrays to compare their cells.
    """

    numbers: npt.NDArray[np.int64]
    vertices: npt.NDArray[np.float32]
    vertex_offsets: npt.NDArray[np.int64]
    edges: npt.NDArray[np.int32]
    edge_offsets: npt.NDArray[np.int64]
    origins: npt.NDArray[np.float32]
    collections: npt.NDArray[np.int32]
    lower: npt.NDArray[np.float32]
    upper: npt.NDArray[np.float32]

    def __post_init__(self) -> None:
        n = len(self.numbers) if isinstance(self.numbers, np.ndarray) else None
        for name, (dtype, shape) in _FIELDS.items():
            _check_field(name, getattr(self, name), np.dtype(dtype), shape, n)

    def __len__(self) -> int:
        return len(self.numbers)

    def __repr__(self) -> str:
        span = f", numbers {self.numbers[0]}..{self.numbers[-1]}" if len(self) else ""
        return (f"<PackedCells of {len(self):,} cells{span}, {len(self.vertices):,} vertices, "
                f"{len(self.edges):,} edges>")

    def cell_set(self, workers: int | None = None) -> CellSet:
        """The block's cells as a :class:`cellprox.CellSet` (checked and copied by
        ``CellSet.from_packed``); cell ``i`` of the set is scene cell ``numbers[i]``."""
        from cellprox.cells import CellSet

        return CellSet.from_packed(self.vertices, self.vertex_offsets, self.edges,
                                   self.edge_offsets, origins=self.origins,
                                   collections=self.collections, workers=workers)

    def take(self, rows: npt.ArrayLike) -> PackedCells:
        """The cells at the positions ``rows`` (strictly increasing, 0 to len - 1), in one pass
        over the arrays."""
        positions = _checked_rows(rows, len(self))
        vertex_index, vertex_offsets = _run_index(self.vertex_offsets, positions)
        edge_index, edge_offsets = _run_index(self.edge_offsets, positions)
        return PackedCells(self.numbers[positions], self.vertices[vertex_index], vertex_offsets,
                           self.edges[edge_index], edge_offsets, self.origins[positions],
                           self.collections[positions], self.lower[positions],
                           self.upper[positions])

    @staticmethod
    def concatenate(blocks: Sequence[PackedCells]) -> PackedCells:
        """The blocks' cells one after another; their numbers must keep increasing from one
        block to the next (an empty sequence gives an empty block)."""
        blocks = list(blocks)
        for block in blocks:
            if not isinstance(block, PackedCells):
                raise TypeError(f"PackedCells.concatenate: blocks must be PackedCells, not "
                                f"{type(block).__name__}")
        filled = [block for block in blocks if len(block)]
        for before, after in zip(filled, filled[1:]):
            if after.numbers[0] <= before.numbers[-1]:
                raise ValueError(
                    f"PackedCells.concatenate: a block whose last cell is number "
                    f"{before.numbers[-1]} is followed by one starting at {after.numbers[0]}; "
                    "cell numbers must be strictly increasing, so pass the blocks in order")
        if not filled:
            return empty_packed()
        if len(filled) == 1:
            return filled[0]
        return PackedCells(
            np.concatenate([b.numbers for b in filled]),
            np.concatenate([b.vertices for b in filled]),
            _joined_offsets([b.vertex_offsets for b in filled]),
            np.concatenate([b.edges for b in filled]),
            _joined_offsets([b.edge_offsets for b in filled]),
            np.concatenate([b.origins for b in filled]),
            np.concatenate([b.collections for b in filled]),
            np.concatenate([b.lower for b in filled]),
            np.concatenate([b.upper for b in filled]))


def empty_packed() -> PackedCells:
    """A block of no cells."""
    return PackedCells(np.zeros(0, np.int64), np.zeros((0, 3), np.float32), np.zeros(1, np.int64),
                       np.zeros((0, 2), np.int32), np.zeros(1, np.int64),
                       np.zeros((0, 3), np.float32), np.zeros(0, np.int32),
                       np.zeros((0, 3), np.float32), np.zeros((0, 3), np.float32))


def slice_rows(packed: PackedCells, start: int, stop: int) -> PackedCells:
    """Cells ``start`` to ``stop - 1``: views of the block's arrays, new offsets."""
    v0, v1 = int(packed.vertex_offsets[start]), int(packed.vertex_offsets[stop])
    e0, e1 = int(packed.edge_offsets[start]), int(packed.edge_offsets[stop])
    return PackedCells(packed.numbers[start:stop], packed.vertices[v0:v1],
                       packed.vertex_offsets[start:stop + 1] - v0, packed.edges[e0:e1],
                       packed.edge_offsets[start:stop + 1] - e0, packed.origins[start:stop],
                       packed.collections[start:stop], packed.lower[start:stop],
                       packed.upper[start:stop])


def cell_bounds(vertices: npt.NDArray[np.float32], offsets: npt.NDArray[np.int64]
                ) -> tuple[npt.NDArray[np.float32], npt.NDArray[np.float32]]:
    """Each cell's lower and upper vertex bounds, (n, 3) float32, in one native pass."""
    n = len(offsets) - 1
    lower = np.empty((n, 3), np.float32)
    upper = np.empty((n, 3), np.float32)
    run_bounds(np.ascontiguousarray(vertices), np.ascontiguousarray(np.diff(offsets)), lower, upper)
    return lower, upper


def check_cells(packed: PackedCells, where: str) -> None:
    """What a scene holds of every cell: numbers strictly increasing, offsets from 0 that
    never decrease, at least one vertex, finite vertices and origins, edges that number
    vertices of their own cell, and exact bounds. A fault is a ValueError naming ``where`` and
    the cell's number."""
    numbers = packed.numbers
    check_numbers(numbers, where)
    for name, rows in (("vertex_offsets", len(packed.vertices)), ("edge_offsets", len(packed.edges))):
        offsets = getattr(packed, name)
        if offsets[0] != 0 or offsets[-1] != rows or (np.diff(offsets) < 0).any():
            raise ValueError(f"{where}: {name} must run from 0 to {rows:,} without ever "
                             f"decreasing, but they run from {offsets[0]} to {offsets[-1]}"
                             f"{'' if (np.diff(offsets) >= 0).all() else ' and decrease'}")
    v_counts = np.diff(packed.vertex_offsets)
    _first_fault(numbers, v_counts < 1, where, "has no vertices; every cell of a scene has at "
                 "least one")
    for name, points, counts in (("has a vertex", packed.vertices, v_counts),
                                 ("has an origin", packed.origins, None)):
        # A NaN or an infinity reaches the minimum or the maximum: two passes decide.
        if len(points) == 0 or np.isfinite(points.min()) and np.isfinite(points.max()):
            continue
        finite = np.isfinite(points).all(axis=1)
        if not finite.all():
            bad = _cells_of(~finite, counts)
            _first_fault(numbers, bad, where, f"{name} that is not finite in float32")
    check_edges(packed.edges, v_counts, np.diff(packed.edge_offsets), numbers, where)
    lower, upper = cell_bounds(packed.vertices, packed.vertex_offsets)
    wrong = ~((lower == packed.lower) & (upper == packed.upper)).all(axis=1)
    _first_fault(numbers, wrong, where, "lower and upper are not the per-axis minimum and "
                 "maximum of its vertices")


def check_numbers(numbers: npt.NDArray[Any], where: str) -> None:
    steps = np.diff(numbers)
    if (steps <= 0).any():
        i = int(np.argmax(steps <= 0)) + 1
        raise ValueError(f"{where}: cell numbers must be strictly increasing, but number "
                         f"{numbers[i]} follows {numbers[i - 1]}")


def check_edges(edges: npt.NDArray[Any], v_counts: npt.NDArray[np.int64],
                e_counts: npt.NDArray[np.int64], numbers: npt.NDArray[np.int64], where: str) -> None:
    """Every edge numbers two of its own cell's vertices: checked on the integers as they
    are, before a conversion to int32 could wrap them."""
    if len(edges) == 0:
        return
    filled = e_counts > 0
    starts = 2 * (np.cumsum(e_counts) - e_counts)[filled]
    # One pass decides the common case: each cell's largest number below its vertex count.
    if edges.min() >= 0 and (np.maximum.reduceat(edges.reshape(-1), starts)
                             < v_counts[filled]).all():
        return
    own = np.repeat(v_counts, e_counts)[:, None]
    outside = ((edges < 0) | (edges >= own)).any(axis=1)
    _first_fault(numbers, _cells_of(outside, e_counts), where,
                 "has an edge whose vertex numbers are not those of its own vertices "
                 "(0 to its vertex count - 1)")


def _first_fault(numbers: npt.NDArray[np.int64], flags: npt.ArrayLike, where: str,
                 what: str) -> None:
    bad = np.asarray(flags, bool)
    if bad.any():
        raise ValueError(f"{where}: cell {numbers[int(np.argmax(bad))]} {what}")


def _cells_of(flags: npt.ArrayLike, counts: npt.NDArray[np.int64] | None
              ) -> npt.NDArray[np.bool_]:
    """Which cells own a flagged row (``counts`` rows each; None: a row per cell)."""
    rows = np.asarray(flags, bool)
    if counts is None:
        return rows
    marked = np.zeros(len(counts), bool)
    owners = np.repeat(np.arange(len(counts)), counts)[rows]
    marked[owners] = True
    return marked


def _checked_rows(rows: npt.ArrayLike, n: int) -> npt.NDArray[np.int64]:
    positions = np.asarray(rows)
    if positions.dtype.kind not in "iu":
        raise TypeError(f"PackedCells.take: rows must be integer positions, not {positions.dtype}")
    if positions.ndim != 1:
        raise ValueError(f"PackedCells.take: rows must be one-dimensional, not of shape "
                         f"{positions.shape}")
    positions = positions.astype(np.int64)
    if len(positions) and (positions[0] < 0 or positions[-1] >= n
                           or (np.diff(positions) <= 0).any()):
        raise ValueError(f"PackedCells.take: rows must be strictly increasing positions from 0 "
                         f"to {n - 1} (the block has {n:,} cells); sort them and drop repeats "
                         "with np.unique(rows)")
    return positions


def _run_index(offsets: npt.NDArray[np.int64], positions: npt.NDArray[np.int64]
               ) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64]]:
    """The rows that the runs at ``positions`` cover, in order, and the new offsets."""
    starts = offsets[positions]
    counts = offsets[positions + 1] - starts
    new_offsets = np.zeros(len(positions) + 1, np.int64)
    np.cumsum(counts, out=new_offsets[1:])
    index = np.arange(new_offsets[-1], dtype=np.int64)
    index += np.repeat(starts - new_offsets[:-1], counts)
    return index, new_offsets


def _joined_offsets(parts: list[npt.NDArray[np.int64]]) -> npt.NDArray[np.int64]:
    shifts = np.cumsum([0] + [int(p[-1]) for p in parts[:-1]])
    return np.concatenate([parts[0][:1]] + [p[1:] + s for p, s in zip(parts, shifts)])


def _check_field(name: str, value: object, dtype: np.dtype[Any], shape: tuple[Any, ...],
                 n: int | None) -> None:
    wanted = "(" + ", ".join("any" if s is None else str(s) for s in shape) + \
        ("," if len(shape) == 1 else "") + ")"
    if not isinstance(value, np.ndarray):
        raise TypeError(f"PackedCells: {name} must be a numpy array of {dtype} and shape "
                        f"{wanted}, not {type(value).__name__}")
    if value.dtype != dtype:
        raise TypeError(f"PackedCells: {name} has dtype {value.dtype}, but it must be {dtype}; "
                        f"convert it with np.asarray({name}, np.{dtype})")
    sizes = {"n": n, "n+1": None if n is None else n + 1}
    expected = tuple(sizes.get(s, s) if isinstance(s, str) else s for s in shape)
    if value.ndim != len(shape) or any(e is not None and e != got
                                       for e, got in zip(expected, value.shape)):
        raise ValueError(f"PackedCells: {name} has shape {value.shape}, but it must be {wanted} "
                         f"with n = {n} cells (the length of numbers)")
