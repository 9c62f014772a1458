"""Broad phase on a few thousand boxes: which cells might touch?

Builds a jittered grid of boxes, one per cell, runs get_bb_intersections and reports what it
found. Run with: python examples/broad_phase.py [--cells N] [--seed S]
"""
import argparse
import time

import numpy as np

import cellprox_gnu as cellprox

MAX_CELL_LINKS = 30


def jittered_grid(n_cells, rng):
    """Boxes of a roughly cubic grid, each nudged and resized a little, as (n, 8, 3) corners."""
    side = int(np.ceil(n_cells ** (1 / 3)))
    index = np.arange(n_cells)
    cell = np.stack([index % side, (index // side) % side, index // side**2], axis=1)
    lower = cell + rng.uniform(-0.08, 0.02, (n_cells, 3))
    upper = cell + 1 + rng.uniform(-0.02, 0.08, (n_cells, 3))
    corners = np.empty((n_cells, 8, 3), np.float32)
    for c in range(8):
        for axis in range(3):
            corners[:, c, axis] = np.where(c >> axis & 1, upper[:, axis], lower[:, axis])
    return corners


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cells", type=int, default=4000, help="number of cells (default 4000)")
    parser.add_argument("--seed", type=int, default=1, help="random seed (default 1)")
    args = parser.parse_args()

    rng = np.random.default_rng(args.seed)
    bbox = jittered_grid(args.cells, rng)
    # The tables as the broad phase expects them: no starts yet, no counts, free slots -1.
    links = np.full((args.cells, MAX_CELL_LINKS), -1, np.int32)
    link_starts = np.full(args.cells, -1, np.int32)
    link_count = np.zeros(args.cells, np.uint8)

    start = time.perf_counter()
    n_links = cellprox.get_bb_intersections(bbox, args.cells, links, link_starts, link_count)
    elapsed = time.perf_counter() - start

    per_cell = np.bincount(np.concatenate([
        np.repeat(np.arange(args.cells), link_count),
        links[np.arange(MAX_CELL_LINKS) < link_count[:, None]],
    ]), minlength=args.cells)
    print(f"cells:               {args.cells}")
    print(f"candidate links:     {n_links}  (found in {elapsed * 1000:.1f} ms)")
    print(f"links per cell:      min {per_cell.min()}, mean {per_cell.mean():.1f}, max {per_cell.max()}")
    print(f"cells with full row: {int((link_count == MAX_CELL_LINKS).sum())}")
    first = int(np.argmax(link_count > 0))
    print(f"cell {first} is linked to: {links[first, :link_count[first]].tolist()}")


if __name__ == "__main__":
    main()
