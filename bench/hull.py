"""Benchmark of the hull rule: find_neighbors(..., rule="hull") on Voronoi fractures.

For each size it times, as medians of --repeat runs in this process:

- **peer**: python-fcl's convex distance (fcl.distance between two fcl.Convex objects, from a
  Python loop, as a user would call it today) over a random sample of the hull rule's own
  candidate pairs, per pair;
- **hull rule**: the native call behind find_neighbors(..., rule="hull") (candidate search and
  hull distances), per candidate pair, and the whole find_neighbors call;
- **default rule**: the whole find_neighbors call with the kernels' rule, on the same CellSet.

The peer's answers on the sample are checked against the hull rule's (distances within 1e-6, or
both below the threshold), so that the two measure the same thing. Fractures are cached in
build/bench/hull/. python-fcl is optional (pip install "cellprox[bench]"): without it the peer
column stays empty. Targets (printed with MET or MISSED, never part of the tests): at least 10x
less time per candidate pair than the peer at 20,000 cells, and the whole hull rule within 3x
of the default rule at 100,000 cells.
"""
from __future__ import annotations

import argparse
import pickle
import statistics
import sys
import time
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import numpy.typing as npt

import cellprox
from cellprox import _hull
from cellprox.cells import CellSet
from cellprox.fracture import Fracture, voronoi_fracture

ROOT = Path(__file__).resolve().parent.parent
CACHE = ROOT / "build" / "bench" / "hull"
SEED = 1


@dataclass
class Row:
    cells: int
    candidates: int
    close: int
    peer_pair: float | None      # seconds per candidate pair
    peer_agree: str
    hull_pair: float             # seconds per candidate pair, the native call
    hull_whole: float
    default_whole: float


def fracture(n: int) -> Fracture:
    path = CACHE / f"voronoi-{n}-seed{SEED}.pickle"
    if path.exists():
        with path.open("rb") as stream:
            cached: Fracture = pickle.load(stream)
        return cached
    print(f"  fracturing the unit box into {n:,} cells (cached for later runs)", file=sys.stderr)
    made = voronoi_fracture(n, seed=SEED)
    CACHE.mkdir(parents=True, exist_ok=True)
    with path.open("wb") as stream:
        pickle.dump(made, stream)
    return made


# Wall-clock time by default; --clock cpu takes the process's processor time instead, which a
# machine shared with other work disturbs less (single-threaded runs only: an OpenMP build's
# threads would add up).
CLOCK = time.perf_counter


def interleaved(runs: dict[str, Callable[[], object]], repeat: int) -> dict[str, float]:
    """The median time of each run, the runs taking turns, so that a machine busy with other
    work disturbs all of them alike and their ratios stay fair."""
    times: dict[str, list[float]] = {name: [] for name in runs}
    for _ in range(repeat):
        for name, run in runs.items():
            start = CLOCK()
            run()
            times[name].append(CLOCK() - start)
    return {name: statistics.median(values) for name, values in times.items()}


def flat(cells: CellSet) -> tuple[npt.NDArray[np.float32], npt.NDArray[np.int64]]:
    starts = np.zeros(len(cells) + 1, np.int64)
    np.cumsum(cells.v_counts, out=starts[1:])
    return np.ascontiguousarray(cells.vertex_data), starts


def peer_run(cells: CellSet, sample: npt.NDArray[np.int32]
             ) -> tuple[Callable[[], object], list[float]] | None:
    """python-fcl's convex distance over the sample's pairs, and the list its answers go to."""
    try:
        import fcl  # type: ignore[import-untyped]
        from scipy.spatial import ConvexHull  # type: ignore[import-untyped]
    except ImportError:
        return None
    objects = {}
    for i in np.unique(sample).tolist():
        points = cells.vertices(i).astype(np.float64)
        hull = ConvexHull(points)
        faces = np.hstack([np.full((len(hull.simplices), 1), 3), hull.simplices]).ravel()
        objects[i] = fcl.CollisionObject(fcl.Convex(points, len(hull.simplices), faces),
                                         fcl.Transform())
    request = fcl.DistanceRequest()
    pairs = sample.tolist()
    found: list[float] = []

    def run() -> None:
        found.clear()
        for i, j in pairs:
            found.append(fcl.distance(objects[i], objects[j], request, fcl.DistanceResult()))

    return run, found


def agreement(sample: npt.NDArray[np.int32], peer: list[float], gaps: dict[tuple[int, int], float],
              threshold: float) -> str:
    """On how many pairs the peer and the hull rule agree: both within the threshold, both
    beyond it, or distances within 1e-6 (the peer reports overlap as a negative distance)."""
    agree = 0
    for (i, j), theirs in zip(sample.tolist(), peer):
        ours, theirs = gaps.get((i, j), np.inf), max(theirs, 0.0)
        if (theirs <= threshold) == (ours <= threshold) or abs(theirs - ours) <= 1e-6:
            agree += 1
    return f"{agree}/{len(peer)}"


def measure(n: int, repeat: int, peer_pairs: int) -> Row:
    made = fracture(n)
    cells = made.cell_set()
    threshold = 0.01 * n ** (-1.0 / 3.0)     # 1/100 of the mean seed spacing
    vertices, starts = flat(cells)

    pair_bytes, gap_bytes, candidates = _hull.close_pairs(vertices, starts, threshold)
    close = np.frombuffer(pair_bytes, np.int32).reshape(-1, 2)
    gaps = dict(zip(map(tuple, close.tolist()), np.frombuffer(gap_bytes, np.float64).tolist()))
    all_candidates = np.frombuffer(_hull.candidate_pairs(vertices, starts, threshold),
                                   np.int32).reshape(-1, 2)
    rng = np.random.default_rng(0)
    sample = all_candidates[rng.choice(len(all_candidates), min(peer_pairs, len(all_candidates)),
                                       replace=False)]
    runs: dict[str, Callable[[], object]] = {
        "hull native": lambda: _hull.close_pairs(vertices, starts, threshold),
        "hull whole": lambda: cellprox.find_neighbors(cells, threshold, rule="hull"),
        "default whole": lambda: cellprox.find_neighbors(cells, threshold),
    }
    peer = peer_run(cells, sample)
    if peer is not None:
        runs["peer"] = peer[0]
    seconds = interleaved(runs, repeat)
    return Row(n, candidates, len(close),
               seconds["peer"] / len(sample) if peer else None,
               agreement(sample, peer[1], gaps, threshold) if peer else "python-fcl not installed",
               seconds["hull native"] / max(candidates, 1), seconds["hull whole"],
               seconds["default whole"])


def table(rows: list[Row]) -> str:
    lines = [
        "| cells | candidates | close | peer (fcl) per pair | hull rule per pair | peer / hull "
        "| default rule, whole | hull rule, whole | hull / default | peer agrees |",
        "| --- | --- | --- | --- | --- | --- | --- | --- | --- | --- |",
    ]
    for r in rows:
        peer = f"{r.peer_pair * 1e6:.2f} µs" if r.peer_pair else "-"
        ratio = f"{r.peer_pair / r.hull_pair:.1f}x" if r.peer_pair else "-"
        lines.append(
            f"| {r.cells:,} | {r.candidates:,} | {r.close:,} | {peer} | {r.hull_pair * 1e9:.0f} ns "
            f"| {ratio} | {r.default_whole * 1e3:.0f} ms | {r.hull_whole * 1e3:.0f} ms "
            f"| {r.hull_whole / r.default_whole:.2f}x | {r.peer_agree} |")
    return "\n".join(lines)


def targets(rows: list[Row]) -> list[str]:
    by_size = {r.cells: r for r in rows}
    out = []
    peer = by_size[20000].peer_pair if 20000 in by_size else None
    if peer:
        value = peer / by_size[20000].hull_pair
        out.append(f"target: >= 10x less time per candidate pair than the peer at 20,000 cells: "
                   f"{value:.1f}x {'MET' if value >= 10 else 'MISSED'}")
    if 100000 in by_size:
        r = by_size[100000]
        value = r.hull_whole / r.default_whole
        out.append(f"target: hull rule within 3x of the default rule at 100,000 cells: "
                   f"{value:.2f}x {'MET' if value <= 3 else 'MISSED'}")
    return out


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--sizes", default="5000,20000,100000",
                        help="cell counts, comma-separated (default 5000,20000,100000)")
    parser.add_argument("--repeat", type=int, default=5, help="runs per median (default 5)")
    parser.add_argument("--peer-pairs", type=int, default=3000,
                        help="candidate pairs the peer measures (default 3000)")
    parser.add_argument("--clock", choices=("wall", "cpu"), default="wall",
                        help="wall-clock time (default) or the process's processor time")
    args = parser.parse_args(argv)
    global CLOCK
    CLOCK = time.process_time if args.clock == "cpu" else time.perf_counter
    rows = []
    for n in (int(size) for size in args.sizes.split(",")):
        print(f"hull rule, {n:,} Voronoi cells ...", file=sys.stderr)
        rows.append(measure(n, args.repeat, args.peer_pairs))
    print(f"{args.clock} time, medians of {args.repeat} runs")
    print(table(rows))
    for line in targets(rows):
        print(line)
    return 0


if __name__ == "__main__":
    sys.exit(main())
