"""Scenes on disk: how long writing and reading a scene of lattice cubes takes, and its size.

    python bench/scene_io.py [--cells 1000000] [--repeat 3] [--compare] [--folder DIR]

For N jittered cubes (8 vertices, 12 edges; a lattice as near a cube as N allows) made in memory
first, it times, each the median of --repeat rounds:
- write: SceneWriter.write_block of the cells, a row group (131,072 cells) at a time, to the
  file moved into place (with its fsync);
- read: open_scene and read_packed of every row group, checked, as PackedCells;
- boxes: read_boxes of every row group (numbers and bounds only);
- cell set: Scene.cell_set(), the whole scene as one CellSet;
and prints the file's size. With --compare it does the same for other encodings of the
columns (the package's own choice first), to show why it is the choice.
"""
from __future__ import annotations

import argparse
import os
import statistics
import tempfile
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

import cellprox._scene.writer as writer_module
from cellprox._scene.layout import writer_options
from cellprox.scene import PackedCells, SceneWriter, lattice_cells, open_scene

ROW_GROUP = 131_072
_FLOATS = ["vertices.list.element.list.element"] + \
    [f"{name}.list.element" for name in ("origin", "lower", "upper")]


def encodings() -> dict[str, dict[str, Any]]:
    """The package's choice, then its alternatives: each changes one thing."""
    chosen = writer_options()
    return {
        "chosen": chosen,
        "vertices byte-split too": {**chosen, "use_byte_stream_split": _FLOATS},
        "no byte-stream split": {**chosen, "use_byte_stream_split": False},
        "dictionary on the edges too": {**chosen, "use_dictionary": [
            "collection", "edges.list.element.list.element"]},
        "dictionary on all columns": {**chosen, "use_dictionary": True},
        "zstd level 3": {**chosen, "compression_level": 3},
        "lz4": {**chosen, "compression": "lz4", "compression_level": None},
        "snappy": {**chosen, "compression": "snappy", "compression_level": None},
        "no compression": {**chosen, "compression": "none", "compression_level": None},
    }


def seconds(run: Callable[[], object]) -> float:
    start = time.perf_counter()
    run()
    return time.perf_counter() - start


def measure_once(blocks: list[PackedCells], path: Path, options: dict[str, Any]
                 ) -> dict[str, float]:
    writer_module.writer_options = lambda: options     # type: ignore[assignment]

    def write() -> None:
        with SceneWriter(path, overwrite=True, row_group_cells=ROW_GROUP) as writer:
            for block in blocks:
                writer.write_block(block)

    def read() -> None:
        scene = open_scene(path)
        for group in range(len(scene.row_group_sizes)):
            scene.read_packed(group)

    def boxes() -> None:
        scene = open_scene(path)
        for group in range(len(scene.row_group_sizes)):
            scene.read_boxes(group)

    return {"write": seconds(write), "read": seconds(read), "boxes": seconds(boxes),
            "cell set": seconds(lambda: open_scene(path).cell_set()),
            "MB": os.path.getsize(path) / 1e6}


def lattice_shape(cells: int) -> tuple[int, int, int]:
    side = max(1, round(cells ** (1 / 3)))
    rest = max(1, round(cells / side / side))
    return side, side, rest


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--cells", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--compare", action="store_true",
                        help="also measure other encodings of the columns")
    parser.add_argument("--folder", type=Path, default=None,
                        help="where to write the scene (default: a temporary folder)")
    args = parser.parse_args()
    shape = lattice_shape(args.cells)
    total = shape[0] * shape[1] * shape[2]
    start = time.perf_counter()
    blocks = [lattice_cells(shape, collections=2, first=first, count=min(ROW_GROUP, total - first))
              for first in range(0, total, ROW_GROUP)]
    made = time.perf_counter() - start
    print(f"{total:,} cubes ({shape[0]} x {shape[1]} x {shape[2]}), made in {made:.2f} s; "
          f"median of {args.repeat}, seconds")
    chosen = {"chosen": writer_options()}
    choices = encodings() if args.compare else chosen
    runs: dict[str, list[dict[str, float]]] = {name: [] for name in choices}
    with tempfile.TemporaryDirectory(dir=args.folder) as folder:
        path = Path(folder) / "scene.parquet"
        # Round by round, so that a machine whose load drifts slows every encoding alike.
        for _ in range(args.repeat):
            for name, options in choices.items():
                runs[name].append(measure_once(blocks, path, options))
    print(f"{'encoding':<32}{'write':>8}{'read':>8}{'boxes':>8}{'cell set':>10}{'MB':>9}")
    for name, measured in runs.items():
        r = {key: statistics.median(m[key] for m in measured) for key in measured[0]}
        print(f"{name:<32}{r['write']:>8.2f}{r['read']:>8.2f}{r['boxes']:>8.3f}"
              f"{r['cell set']:>10.2f}{r['MB']:>9.1f}")

if __name__ == "__main__":
    main()
