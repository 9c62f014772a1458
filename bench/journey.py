"""Benchmark of find_neighbors' own search: against the raw kernels, across thresholds, and on
scenes whose cells spread far apart. Each figure is a ratio of two medians taken in one run,
the two measured in turn, so that a machine's drift shows in neither.

- **journey**: ``find_neighbors`` (default rule) on a CellSet of Voronoi cells (two
  collections, threshold 0.001) against the raw kernel journey on the same cells: boxes, link
  tables, ``get_bb_intersections``, ``attach_links``, ``generate_neighbors`` (the per-link
  distances, not yet collected into pairs). The package's
  pairs must include every pair the raw kernels confirm.
- **crowding**: the same call at a threshold of one seed spacing against itself at 0.001.
- **spread**: 100,000 cubes (sides 0.5 to 1.5, about 6 overlaps each, two collections), then
  the same with 10% of them replaced by cubes 300 times larger on a sparse lattice elsewhere,
  and with two of them moved to -1e30 and +1e30: each against the first, for both rules, at
  threshold 0.01. The cubes the scenes share must have the same pairs in all three.

- **packed**: 1,000,000 cubes (as in the spread scenes) built with ``CellSet.from_packed`` from
  one vertex array with offsets, against the ``find_neighbors`` call that follows; the list
  form must give the same cells.

Targets (printed with MET or MISSED): journey at most 1.25, crowding at most 6, spread at most
2.5, packed at most 0.1. Run through scripts/bench.sh, or alone: ``python bench/journey.py --help``.
"""
from __future__ import annotations

import argparse
import gc
import pickle
import statistics
import sys
import time
from collections.abc import Callable
from pathlib import Path

import numpy as np

import cellprox
from cellprox.fracture import voronoi_fracture

ROOT = Path(__file__).resolve().parent.parent
CACHE = ROOT / "build" / "bench" / "journey"
CORNERS = np.array([[c & 1, c >> 1 & 1, c >> 2 & 1] for c in range(8)], np.float32)
CUBE_EDGES = np.array([[c, c | 1 << a] for c in range(8) for a in range(3) if not c >> a & 1],
                      np.int32)
TARGETS = {"journey": 1.25, "crowding": 6.0, "spread": 2.5, "packed": 0.1}


def fracture_cells(n: int) -> cellprox.CellSet:
    path = CACHE / f"voronoi-{n}-2c.pickle"
    if path.exists():
        with path.open("rb") as stream:
            cached: cellprox.CellSet = pickle.load(stream)
        return cached
    cells = voronoi_fracture(n, seed=1, collections=2).cell_set()
    CACHE.mkdir(parents=True, exist_ok=True)
    with path.open("wb") as stream:
        pickle.dump(cells, stream)
    return cells


def packed_cubes(lower: np.ndarray, sides: np.ndarray) -> tuple[np.ndarray, ...]:
    """Cubes as from_packed takes them: vertices, their offsets, edges, theirs."""
    n = len(lower)
    vertices = (lower[:, None, :] + CORNERS[None] * sides[:, None, None]).reshape(-1, 3)
    return (vertices.astype(np.float32), np.arange(n + 1) * 8, np.tile(CUBE_EDGES, (n, 1)),
            np.arange(n + 1) * 12)


def cubes(lower: np.ndarray, sides: np.ndarray) -> cellprox.CellSet:
    return cellprox.CellSet.from_packed(*packed_cubes(lower, sides),
                                        collections=np.arange(len(lower)) % 2)


def random_cubes(n: int) -> tuple[np.ndarray, np.ndarray]:
    """n cubes, sides 0.5 to 1.5, about 6 overlaps each."""
    rng = np.random.default_rng(1)
    reach = (n / 6) ** (1 / 3) * 1.6
    return rng.uniform(0, reach, (n, 3)), rng.uniform(0.5, 1.5, n)


def spread_scenes(n: int) -> tuple[dict[str, cellprox.CellSet], int]:
    """The three scenes, and how many cubes (the first ones) differ between them."""
    lower, sides = random_cubes(n)
    large = n // 10
    k = int(np.ceil(large ** (1 / 3)))
    lattice = np.stack(np.meshgrid(*[np.arange(k)] * 3, indexing="ij"), -1).reshape(-1, 3)[:large]
    with_large = (lower.copy(), sides.copy())
    with_large[0][:large], with_large[1][:large] = lattice * 1000.0 + 1e5, 300.0
    with_outliers = (lower.copy(), sides.copy())
    with_outliers[0][:2], with_outliers[1][:2] = [[-1e30] * 3, [1e30] * 3], 0.1
    return ({"uniform": cubes(lower, sides), "10% large cubes": cubes(*with_large),
             "two outliers at 1e30": cubes(*with_outliers)}, large)


def raw_journey(cells: cellprox.CellSet, threshold: float) -> tuple[np.ndarray, ...]:
    """The kernels' calls as a user makes them by hand (the timed part)."""
    n = len(cells)
    links, starts, counts = cellprox.link_tables(n)
    n_links = cellprox.get_bb_intersections(cells.corners(), n, links, starts, counts)
    cells.attach_links(links, starts, counts)
    return links, starts, counts, cellprox.generate_neighbors(cells.address, n, n_links, threshold, 0)


def raw_pairs(cells: cellprox.CellSet, threshold: float) -> set[tuple[int, int]]:
    links, starts, counts, distances = raw_journey(cells, threshold)
    n = len(cells)
    owner = np.repeat(np.arange(n), counts)
    other = links[np.arange(n).repeat(counts), np.arange(len(owner)) - np.repeat(starts.clip(0), counts)]
    close = distances >= 0
    return set(zip(np.minimum(owner, other)[close].tolist(), np.maximum(owner, other)[close].tolist()))


def in_turn(a: Callable[[], object], b: Callable[[], object], repeat: int) -> tuple[float, float, float]:
    """Medians of a's and b's times (seconds), taken in turn, and the median of their ratios."""
    times_a, times_b, ratios = [], [], []
    for _ in range(repeat):
        gc.collect()
        start = time.perf_counter()
        a()
        middle = time.perf_counter()
        b()
        end = time.perf_counter()
        times_a.append(middle - start)
        times_b.append(end - middle)
        ratios.append((middle - start) / (end - middle))
    return statistics.median(times_a), statistics.median(times_b), statistics.median(ratios)


def verdict(name: str, ratio: float) -> str:
    return f"{'MET' if ratio <= TARGETS[name] else 'MISSED'} (at most {TARGETS[name]:g})"


def bench_journey(n: int, repeat: int) -> list[str]:
    cells = fracture_cells(n)
    spacing = (1.0 / n) ** (1 / 3)
    raw = raw_pairs(cells, 0.001)
    result = cellprox.find_neighbors(cells, 0.001)
    found = set(map(tuple, result.pairs.tolist()))
    lines = [f"Voronoi cells, two collections, {n:,} cells; raw kernels confirm {len(raw):,} pairs, "
             f"find_neighbors {len(found):,} ({'all of them' if raw <= found else 'NOT ALL'} "
             f"of the raw kernels'), {result.n_links:,} candidates measured at 0.001"]
    package_s, raw_s, ratio = in_turn(lambda: cellprox.find_neighbors(cells, 0.001),
                                      lambda: raw_journey(cells, 0.001), repeat)
    lines.append(f"  journey: find_neighbors {package_s * 1e3:.1f} ms, raw kernel journey "
                 f"{raw_s * 1e3:.1f} ms: {ratio:.2f}x  {verdict('journey', ratio)}")
    wide_s, narrow_s, ratio = in_turn(lambda: cellprox.find_neighbors(cells, spacing),
                                      lambda: cellprox.find_neighbors(cells, 0.001), repeat)
    crowded = cellprox.find_neighbors(cells, spacing)
    lines.append(f"  crowding: threshold {spacing:.4f} (one seed spacing) {wide_s * 1e3:.1f} ms "
                 f"({len(crowded):,} pairs, {crowded.n_links:,} candidates), 0.001 "
                 f"{narrow_s * 1e3:.1f} ms: {ratio:.2f}x  {verdict('crowding', ratio)}")
    return lines


def bench_spread(n: int, repeat: int) -> list[str]:
    scenes, changed = spread_scenes(n)
    lines = [f"Spread scenes, {n:,} cubes, threshold 0.01 (the first {changed:,} cubes differ)"]
    uniform = scenes["uniform"]
    for rule in cellprox.RULES:
        base = cellprox.find_neighbors(uniform, 0.01, rule=rule)
        shared = base.pairs[(base.pairs >= changed).all(axis=1)]
        for name, cells in scenes.items():
            if name == "uniform":
                continue
            result = cellprox.find_neighbors(cells, 0.01, rule=rule)
            same = np.array_equal(result.pairs[(result.pairs >= changed).all(axis=1)], shared)
            scene_s, base_s, ratio = in_turn(lambda: cellprox.find_neighbors(cells, 0.01, rule=rule),
                                             lambda: cellprox.find_neighbors(uniform, 0.01, rule=rule),
                                             repeat)
            lines.append(f"  {rule:14s} {name:21s} {scene_s * 1e3:7.1f} ms, uniform {base_s * 1e3:7.1f} ms: "
                         f"{ratio:.2f}x  {verdict('spread', ratio)}; shared cubes' pairs "
                         f"{'the same' if same else 'DIFFER'}")
    return lines


def bench_packed(n: int, repeat: int) -> list[str]:
    lower, sides = random_cubes(n)
    arrays = packed_cubes(lower, sides)
    collections = np.arange(n) % 2
    sample = cellprox.CellSet([arrays[0][8 * i:8 * i + 8] for i in range(100)], [CUBE_EDGES] * 100,
                              collections=collections[:100])
    built: list[cellprox.CellSet] = []
    build_s, search_s, ratio = in_turn(
        lambda: built.append(cellprox.CellSet.from_packed(*arrays, collections=collections)),
        lambda: cellprox.find_neighbors(built.pop(), 0.01), repeat)
    check = cellprox.CellSet.from_packed(arrays[0][:800], arrays[1][:101], arrays[2][:1200], arrays[3][:101],
                                         collections=collections[:100])
    same = all(np.array_equal(getattr(check, name), getattr(sample, name))
               for name in ("vertex_data", "edge_data", "origins", "collections"))
    return [f"Packed cells, {n:,} cubes: CellSet.from_packed {build_s * 1e3:.1f} ms, the "
            f"find_neighbors call that follows {search_s * 1e3:.1f} ms: {ratio:.3f}  "
            f"{verdict('packed', ratio)}; the list form gives {'the same' if same else 'DIFFERENT'} cells"]


def main(argv: list[str] | None = None) -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--cells", type=int, default=50000, help="Voronoi cells (50000)")
    p.add_argument("--cubes", type=int, default=100000, help="cubes of the spread scenes (100000)")
    p.add_argument("--packed", type=int, default=1000000, help="cubes built packed (1000000)")
    p.add_argument("--repeat", type=int, default=7, help="runs of each, in turn (7)")
    args = p.parse_args(argv)
    lines = (bench_journey(args.cells, args.repeat) + [""] + bench_spread(args.cubes, args.repeat)
             + [""] + bench_packed(args.packed, min(args.repeat, 3)))
    print("\n".join(lines))
    return 0 if not any(word in line for line in lines for word in ("NOT ALL", "DIFFER")) else 1


if __name__ == "__main__":
    sys.exit(main())
