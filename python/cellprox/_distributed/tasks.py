"""The work a Dask worker does for a search over a scene on disk: sample a row group's box
centres, place a row group's cells into the tiles they touch, search a tile.

Every task reads what it needs from shared storage and writes its output through a temporary
file, so a task run again after its worker died (Dask retries it) finds no half-written file
and writes the same one.
"""
from __future__ import annotations

import os
import re
import threading
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from cellprox._distributed.output import remove_quietly, write_part
from cellprox._distributed.placement import reported_here, widened
from cellprox._distributed.tiles import Tiling, tiles_touched
from cellprox._optional import pyarrow

__all__ = ["TileDone", "fragment_folder", "place_row_group", "sample_row_group", "search_tile"]

# The fields of a block of cells, as a fragment holds them.
FRAGMENT_FIELDS = ("numbers", "vertices", "vertex_offsets", "edges", "edge_offsets", "origins",
                   "collections", "lower", "upper")


@dataclass(frozen=True)
class TileDone:
    """What a tile's task reports: its cells (copies included), the pairs it reported, and the
    seconds of each step."""

    tile: int
    cells: int
    pairs: int
    seconds: dict[str, float] = field(default_factory=dict)


def fragment_folder(scratch: Path, tile: int) -> Path:
    return scratch / f"tile-{tile:05d}"


def sample_row_group(scene: Any, row_group: int, take: int) -> npt.NDArray[np.float64]:
    """Up to ``take`` box centres of a row group's cells, evenly spread over its rows; cells
    with a coordinate that is not finite are left to the placement, which names them."""
    _, lower, upper = scene.read_boxes(row_group)
    rows = np.unique(np.linspace(0, len(lower) - 1, min(take, len(lower))).astype(np.int64))
    centres = (np.asarray(lower, np.float64)[rows] + upper[rows]) / 2
    finite: npt.NDArray[np.float64] = centres[np.isfinite(centres).all(axis=1)]
    return finite


def place_row_group(scene: Any, row_group: int, tiling: Tiling, threshold: float,
                    scratch: Path, workers: int | dict[str, int]) -> tuple[npt.NDArray[np.int64], int]:
    """Places a row group's cells in the tiles their widened boxes touch: how many cells each
    tile gets, and the one tile that takes the whole row group, or -1. That tile reads the row
    group from the scene itself, as it reads most of them in a scene written in space order;
    otherwise the cells go into the tiles' folders, one fragment a tile."""
    _use_threads(workers)
    numbers, lower, upper = scene.read_boxes(row_group)
    _check_finite(scene, row_group, numbers, lower, upper)
    low, high = widened(lower, upper, threshold)
    boxes, tiles = tiles_touched(tiling, low, high)
    counts = np.bincount(tiles, minlength=tiling.count).astype(np.int64)
    if len(tiles) == len(numbers) and len(tiles) and (tiles == tiles[0]).all():
        return counts, int(tiles[0])
    packed = scene.read_packed(row_group)
    order = np.argsort(tiles, kind="stable")      # each tile's cells stay in the scene's order
    boxes, tiles = boxes[order], tiles[order]
    starts = np.searchsorted(tiles, np.arange(tiling.count + 1))
    for tile in np.flatnonzero(np.diff(starts)):
        rows = boxes[starts[tile]:starts[tile + 1]]
        block = packed if len(rows) == len(packed) else packed.take(rows)
        write_fragment(block, fragment_folder(scratch, int(tile)) / f"rg-{row_group:07d}.npz")
    return counts, -1


def write_fragment(packed: Any, path: Path) -> None:
    """A block of cells as the tile will read it. Fragments live only until the tiles have read
    them, on the cluster's own storage: numpy's plain arrays, which cost no encoding either way,
    written through a temporary file so that a task run again finds a whole one or none."""
    temporary = path.with_name(f".{path.name}.{os.getpid()}-{threading.get_ident()}")
    try:
        with open(temporary, "wb") as file:
            np.savez(file, **{name: getattr(packed, name) for name in FRAGMENT_FIELDS})
        os.replace(temporary, path)
    except BaseException:
        remove_quietly(temporary)
        raise


def read_fragment(path: Path) -> Any:
    from cellprox.scene import PackedCells

    with np.load(path) as arrays:
        return PackedCells(**{name: arrays[name] for name in FRAGMENT_FIELDS})


def _check_finite(scene: Any, row_group: int, numbers: npt.NDArray[np.int64],
                  lower: npt.NDArray[np.float32], upper: npt.NDArray[np.float32]) -> None:
    finite = np.isfinite(lower).all(axis=1) & np.isfinite(upper).all(axis=1)
    if not finite.all():
        cell = int(numbers[np.argmin(finite)])
        raise ValueError(f"{scene.path}: cell {cell} (row group {row_group}) has a vertex that "
                         "is not finite; every coordinate must be a finite number")


def search_tile(tile: int, scratch: Path, tiling: Tiling, threshold: float, rule: str,
                witnesses: bool, workers: int | dict[str, int], parts: Path, scene: Any,
                whole_groups: list[int]) -> TileDone:
    """Searches one tile's cells with the package's exact search and writes the pairs that
    this tile reports, numbered as in the scene. ``workers`` is the search's threads, or
    those of each Dask worker by address."""
    import time

    from cellprox.pipeline import find_neighbors
    from cellprox.scene import PackedCells

    start = time.perf_counter()
    threads = _use_threads(workers)
    # Row groups in their order, whether read whole from the scene or as this tile's fragment
    # of one, keep the cells in the scene's order.
    sources: list[tuple[int, Path | None]] = [
        (int(f.name[3:10]), f) for f in fragment_folder(scratch, tile).glob("rg-*.npz")]
    sources += [(group, None) for group in whole_groups]
    packed = PackedCells.concatenate([scene.read_packed(group) if file is None else read_fragment(file)
                                      for group, file in sorted(sources, key=lambda s: s[0])])
    read = time.perf_counter()
    try:
        cells = packed.cell_set(threads)
    except ValueError as error:
        raise ValueError(_scene_numbers(str(error), packed.numbers)) from None
    result = find_neighbors(cells, threshold, rule=rule, witnesses=witnesses, workers=threads)
    searched = time.perf_counter()
    low, _ = widened(packed.lower, packed.upper, threshold)
    keep = reported_here(tiling, tile, low, result.pairs)
    pairs = result.pairs[keep]
    write_part(parts / f"part-{tile:05d}.parquet",
               packed.numbers[pairs[:, 0]], packed.numbers[pairs[:, 1]], result.distances[keep],
               None if result.gaps is None else result.gaps[keep],
               None if result.witnesses is None else result.witnesses[keep])
    done = time.perf_counter()
    return TileDone(tile=tile, cells=len(packed), pairs=int(keep.sum()),
                    seconds={"read": read - start, "search": searched - read,
                             "write": done - searched})


def _scene_numbers(message: str, numbers: npt.NDArray[np.int64]) -> str:
    """A message about the tile's cell ``k`` made to name the scene's cell instead."""
    return re.sub(r"\bcell (\d+)", lambda m: f"scene cell {int(numbers[int(m.group(1))])}", message)


def _use_threads(workers: int | dict[str, int]) -> int:
    """The threads this task may use (``workers``: a count, or one for each Dask worker by
    address); pyarrow's decoding and encoding keep to them as well, so that worker processes
    side by side do not each take every core."""
    threads = workers if isinstance(workers, int) else workers.get(_this_worker(), 1)
    pyarrow().set_cpu_count(threads)
    return threads


def _this_worker() -> str:
    from distributed import get_worker

    try:
        return str(get_worker().address)
    except ValueError:          # not on a Dask worker
        return ""
