"""Broad and narrow phase on a few thousand generated cells: which cells really touch?

Each cell is a slightly jittered box (8 vertices, 12 edges) of a grid; cells alternate between
two collections like a checkerboard. The broad phase finds candidate links from the boxes, the
narrow phase confirms those whose cells come closer than the threshold (vertex against vertex
within a collection, edge against edge across collections).

This example uses the raw interface: it prepares the link tables and builds the 64-byte cell
records itself. The package does both for you (cellprox.CellSet, cellprox.find_neighbors); the
native module is cellprox.native, the deliverable built for this platform. At the end the
package's own search (exact, with no cap on a cell's links) answers the same question on the
same cells, on -j threads.

Run with: python examples/proximity.py [--cells N] [--threshold T] [--seed S] [-j WORKERS]
"""
import argparse
import math
import time
from collections.abc import Callable
from typing import NoReturn

import numpy as np
import numpy.typing as npt

import cellprox as package
# The 64-byte cell record that generate_neighbors reads, and the link slots per cell.
from cellprox import CELL_DTYPE, MAX_CELL_LINKS
from cellprox import native as cellprox

BOX_EDGES = np.array([[0, 1], [2, 3], [4, 5], [6, 7], [0, 2], [1, 3], [4, 6], [5, 7],
                      [0, 4], [1, 5], [2, 6], [3, 7]], np.int32)


def jittered_boxes(n_cells: int, rng: np.random.Generator
                   ) -> tuple[npt.NDArray[np.float32], npt.NDArray[np.int64]]:
    """Corner points (n, 8, 3) of the boxes of a roughly cubic grid, and each cell's grid spot."""
    side = int(np.ceil(n_cells ** (1 / 3)))
    index = np.arange(n_cells)
    spot = np.stack([index % side, (index // side) % side, index // side**2], axis=1)
    lower = spot + rng.uniform(-0.02, 0.03, (n_cells, 3))
    upper = spot + 1 + rng.uniform(-0.03, 0.02, (n_cells, 3))
    corners = np.empty((n_cells, 8, 3), np.float32)
    for c in range(8):
        for axis in range(3):
            corners[:, c, axis] = np.where(c >> axis & 1, upper[:, axis], lower[:, axis])
    return corners, spot


class OneLineParser(argparse.ArgumentParser):
    """A bad option is one line on standard error and exit status 2, never a traceback."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message} (see --help)\n")


def whole(low: int, high: int) -> Callable[[str], int]:
    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"{text!r} is not a whole number") from None
        if not low <= value <= high:
            raise argparse.ArgumentTypeError(f"{value} is out of range; give {low} to {high:,}")
        return value
    return parse


def workers(text: str) -> int:
    """A thread count for the package's search: 1 to 1,024, or -1 for every core."""
    value = whole(-1, 1024)(text)
    if value == 0:
        raise argparse.ArgumentTypeError("0 threads cannot search; give 1 to 1,024, or -1 for "
                                         "every core")
    return value


def distance(text: str) -> float:
    """A threshold the narrow phase can compare with: positive once rounded to float32."""
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not (math.isfinite(value) and 0 < np.float32(value) < np.inf):
        raise argparse.ArgumentTypeError(f"{text} is not a positive distance float32 can hold, "
                                         "such as 0.01")
    return value


def main() -> None:
    parser = OneLineParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--cells", type=whole(1, 1_000_000), default=4000,
                        help="number of cells, 1 to 1,000,000 (default 4000)")
    parser.add_argument("--threshold", type=distance, default=0.01,
                        help="closeness threshold in grid units, positive (default 0.01)")
    parser.add_argument("--seed", type=whole(0, 2**63 - 1), default=1,
                        help="random seed, 0 or more (default 1)")
    parser.add_argument("-j", "--workers", type=workers, default=None,
                        help="threads for the package's search: 1 to 1,024, or -1 for every core "
                             "(default: CELLPROX_WORKERS, or every core); the same pairs for any")
    args = parser.parse_args()
    n = args.cells
    rng = np.random.default_rng(args.seed)

    vertices, spot = jittered_boxes(n, rng)
    collection = spot.sum(axis=1) % 2

    # Broad phase. It widens the boxes in place, so it gets a copy of the vertices.
    bbox = vertices.copy()
    links = np.full((n, MAX_CELL_LINKS), -1, np.int32)
    link_starts = np.full(n, -1, np.int32)
    link_count = np.zeros(n, np.uint8)
    start = time.perf_counter()
    n_links = cellprox.get_bb_intersections(bbox, n, links, link_starts, link_count)
    broad_ms = (time.perf_counter() - start) * 1000

    # Cell records pointing at the vertex, edge and link arrays, which must outlive the call.
    cells = np.zeros(n, CELL_DTYPE)
    cells["index"] = np.arange(n)
    cells["coll_index"] = collection
    cells["links_start"] = link_starts
    cells["v_count"] = 8
    cells["e_count"] = len(BOX_EDGES)
    cells["n_count"] = link_count
    cells["origin"] = vertices.mean(axis=1)
    cells["vertices"] = vertices.ctypes.data + np.arange(n) * vertices.strides[0]
    cells["edges"] = BOX_EDGES.ctypes.data
    cells["cell_links"] = links.ctypes.data + np.arange(n) * links.strides[0]

    start = time.perf_counter()
    distances = cellprox.generate_neighbors(cells.ctypes.data, n, n_links, args.threshold, 0)
    narrow_ms = (time.perf_counter() - start) * 1000
    confirmed = distances >= 0

    print(f"cells:              {n} in two collections")
    print(f"candidate links:    {n_links}  (broad phase, {broad_ms:.1f} ms)")
    print(f"confirmed links:    {int(confirmed.sum())}  (narrow phase at threshold "
          f"{args.threshold}, {narrow_ms:.1f} ms)")
    if confirmed.any():
        print(f"origin distances:   min {distances[confirmed].min():.3f}, "
              f"mean {distances[confirmed].mean():.3f}, max {distances[confirmed].max():.3f}")

    # The package's one call on the same cells: their vertices and edges, packed.
    packed = package.CellSet.from_packed(vertices.reshape(-1, 3), np.arange(n + 1) * 8,
                                         np.tile(BOX_EDGES, (n, 1)), np.arange(n + 1) * len(BOX_EDGES),
                                         origins=cells["origin"], collections=collection)
    start = time.perf_counter()
    result = package.find_neighbors(packed, args.threshold, workers=args.workers)
    package_ms = (time.perf_counter() - start) * 1000
    print(f"package's search:   {len(result)} close pairs  (find_neighbors, {package_ms:.1f} ms; "
          "every pair closer than the threshold, where the raw broad phase links only boxes "
          "that overlap)")


if __name__ == "__main__":
    main()
