"""Benchmark of the hull rule: find_neighbors(..., rule="hull") against coal and python-fcl.

Scenes (bench/hull_scenes.py), at each size:

- **jittered**: Voronoi cells moved apart at random, so that no two share a vertex;
- **clouds**: random convex clouds of 8 to 30 points;
- **fracture**: the Voronoi fracture as it is, neighbours sharing their face vertices.

For each it times, as medians of --repeat runs taken in turn in this process:

- **ours**: the whole find_neighbors(cells, threshold, rule="hull") call from the per-cell vertex
  arrays, and the native query inside it (our_query_seconds);
- **coal**: its whole job and its native query (bench/hull_peers.py), on jittered and clouds;
- **python-fcl**: its convex distance per pair, over a sample of our close pairs;
- **default rule** (fracture only): the whole find_neighbors call with the kernels' rule.

Every peer's answers are checked against ours before a ratio is printed: coal's pairs must be
ours except where our distance lies within 1e-5 of the threshold, and its distances within 1e-5
of ours (its own tolerance is 1e-6); python-fcl's within 1e-6 or on the same side of the
threshold. Targets (printed with MET or MISSED, never part of the
tests): at 20,000 cells of both jittered and clouds, coal's query at least 4x ours and its whole
job at least 20x our whole call, at 100,000 the same within 20% (3.2x and 16x); at 20,000
fracture cells at least 10x less time per candidate pair than python-fcl; at 100,000 the hull
rule within 3x of the default rule.
"""
from __future__ import annotations

import argparse
import statistics
import sys
import time
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np
import numpy.typing as npt

import cellprox
from cellprox import _proximity

sys.path.insert(0, str(Path(__file__).resolve().parent))
from hull_peers import coal_available, coal_job, fastest_coal_setting, fcl_run  # noqa: E402
from hull_scenes import HULL_SCENES, HullScene, hull_scene  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent
CACHE = ROOT / "build" / "bench" / "hull"
# A measurement whose single run takes this long is made once.
REPEAT_BUDGET = 15.0
# coal's distances are exact to its GJK tolerance (1e-6 by default); ours to about 1e-13.
COAL_TOLERANCE = 1e-5


def our_query_seconds(result: cellprox.NeighborResult) -> float:
    """The native search inside our find_neighbors call (the box tree, the candidates and their
    measuring): what compares with coal's query."""
    return sum(result.timings[key] for key in ("tree", "candidates", "measure"))


def candidate_search_seconds(result: cellprox.NeighborResult) -> float:
    """The candidate search's share of the query: the box tree and the pairs of boxes within the
    threshold."""
    return result.timings["tree"] + result.timings["candidates"]


@dataclass
class Row:
    scene: str
    cells: int
    candidates: int
    close: int
    ours_query: float
    ours_whole: float
    search: float | None = None
    coal_query: float | None = None
    coal_whole: float | None = None
    coal_setting: str = ""
    coal_check: str = "-"
    fcl_pair: float | None = None
    fcl_check: str = "-"
    default_whole: float | None = None
    once: list[str] = field(default_factory=list)

    @property
    def per_candidate(self) -> float:
        return self.ours_query / max(self.candidates, 1)


def interleaved(runs: dict[str, Callable[[], object]], repeat: int) -> tuple[dict[str, list[object]], list[str]]:
    """Each run's results over `repeat` rounds, the runs taking turns so that a busy machine
    disturbs all alike; a run whose first round takes REPEAT_BUDGET is not repeated."""
    results: dict[str, list[object]] = {name: [] for name in runs}
    once = []
    for round_ in range(repeat):
        for name, run in runs.items():
            if round_ > 0 and name in once:
                continue
            start = time.perf_counter()
            results[name].append(run())
            if round_ == 0 and time.perf_counter() - start > REPEAT_BUDGET:
                once.append(name)
    return results, once


def timed(run: Callable[[], object]) -> Callable[[], float]:
    def wrapper() -> float:
        start = time.perf_counter()
        run()
        return time.perf_counter() - start
    return wrapper


def coal_check(ours: dict[tuple[int, int], float], theirs: dict[tuple[int, int], float],
               cells: list[np.ndarray], threshold: float) -> str:
    """Whether coal finds our pairs with our distances, to its own tolerance (1e-6): a pair one
    of us has and the other not must lie that close to the threshold."""
    missing, extra = set(ours) - set(theirs), set(theirs) - set(ours)
    common = set(ours) & set(theirs)
    worst = max((abs(ours[p] - theirs[p]) for p in common), default=0.0)
    ours_at = [ours[p] for p in missing] + [_proximity.hull_pair_distance(cells[i], cells[j], np.inf)[0]
                                            for i, j in extra]
    at_threshold = all(abs(gap - threshold) <= COAL_TOLERANCE for gap in ours_at)
    verdict = "ok" if at_threshold and worst <= COAL_TOLERANCE else "DIFFERS"
    return (f"{verdict}: {len(common):,} pairs the same, {len(missing)} of ours missing and {len(extra)} "
            f"more (all within {COAL_TOLERANCE:g} of the threshold: {at_threshold}), distances apart "
            f"by {worst:.1e} at most")


def fcl_check(sample: npt.NDArray[np.int32], peer: list[float], gaps: dict[tuple[int, int], float],
              threshold: float) -> str:
    """On how many pairs python-fcl and we agree: both within the threshold, both beyond it, or
    distances within 1e-6 (it reports overlap as a negative distance)."""
    agree = 0
    for (i, j), theirs in zip(sample.tolist(), peer):
        ours, theirs = gaps.get((i, j), np.inf), max(theirs, 0.0)
        if (theirs <= threshold) == (ours <= threshold) or abs(theirs - ours) <= 1e-6:
            agree += 1
    return f"{agree}/{len(peer)}"


def measure(scene: HullScene, repeat: int, peer_pairs: int, use_coal: bool) -> Row:
    cells, threshold = scene.cells, scene.threshold
    first = cellprox.find_neighbors(cells, threshold, rule="hull")
    gaps = dict(zip(map(tuple, first.pairs.tolist()), first.gaps.tolist()))
    row = Row(scene.kind, scene.n, first.n_links, len(first), 0.0, 0.0)

    def ours() -> tuple[float, float, float]:
        start = time.perf_counter()
        result = cellprox.find_neighbors(cells, threshold, rule="hull")
        return time.perf_counter() - start, our_query_seconds(result), candidate_search_seconds(result)

    runs: dict[str, Callable[[], object]] = {"ours": ours}
    if use_coal and scene.kind != "fracture" and coal_available():
        setting = fastest_coal_setting(cells, threshold)
        row.coal_setting = setting[0]
        runs["coal"] = lambda: coal_job(cells, threshold, setting)
    # python-fcl's sample: our close pairs.
    everything = first.pairs
    rng = np.random.default_rng(0)
    sample = everything[rng.choice(len(everything), min(peer_pairs, len(everything)), replace=False)]
    fcl = fcl_run(cells, sample) if len(sample) else None
    if fcl is not None:
        runs["fcl"] = timed(fcl[0])
    if scene.kind == "fracture":
        cell_set = scene.source.cell_set()
        runs["default"] = timed(lambda: cellprox.find_neighbors(cell_set, threshold))

    results, row.once = interleaved(runs, repeat)
    row.ours_whole = statistics.median(whole for whole, _, _ in results["ours"])
    row.ours_query = statistics.median(query for _, query, _ in results["ours"])
    row.search = statistics.median(search for _, _, search in results["ours"])
    if "coal" in results:
        coal_runs = results["coal"]
        row.coal_query = statistics.median(r.query for r in coal_runs)
        row.coal_whole = statistics.median(r.whole for r in coal_runs)
        row.coal_check = coal_check(gaps, coal_runs[0].pairs, cells, threshold)
    if fcl is not None:
        row.fcl_pair = statistics.median(results["fcl"]) / len(sample)
        row.fcl_check = fcl_check(sample, fcl[1], gaps, threshold)
    if "default" in results:
        row.default_whole = statistics.median(results["default"])
    return row


def ms(seconds: float | None) -> str:
    return "-" if seconds is None else f"{seconds * 1e3:,.0f} ms" if seconds >= 0.01 else f"{seconds * 1e3:.1f} ms"


def ratio(a: float | None, b: float | None) -> str:
    return "-" if a is None or b is None else f"{a / b:.1f}x"


def table(rows: list[Row]) -> str:
    lines = [
        "| scene | cells | candidates | close | ours: query | of which search | ns a candidate "
        "| ours: whole call | coal: query | coal: whole job | coal query / ours | coal whole / ours "
        "| fcl a pair | fcl / ours a pair | default rule, whole | hull / default |",
        "| --- | --- | --- | --- | --- | --- | --- | --- | --- | --- | --- | --- | --- | --- | --- | --- |",
    ]
    for r in rows:
        fcl = f"{r.fcl_pair * 1e6:.2f} µs" if r.fcl_pair else "-"
        lines.append(
            f"| {r.scene} | {r.cells:,} | {r.candidates:,} | {r.close:,} | {ms(r.ours_query)} | {ms(r.search)} "
            f"| {r.per_candidate * 1e9:.0f} ns | {ms(r.ours_whole)} | {ms(r.coal_query)} | {ms(r.coal_whole)} "
            f"| {ratio(r.coal_query, r.ours_query)} | {ratio(r.coal_whole, r.ours_whole)} | {fcl} "
            f"| {ratio(r.fcl_pair, r.per_candidate if r.fcl_pair else None)} | {ms(r.default_whole)} "
            f"| {ratio(r.ours_whole, r.default_whole)} |")
    return "\n".join(lines)


def checks(rows: list[Row]) -> list[str]:
    out = []
    for r in rows:
        where = f"{r.scene} {r.cells:,}"
        if r.coal_setting:
            out.append(f"{where}: coal ({r.coal_setting}) {r.coal_check}")
        if r.fcl_pair:
            out.append(f"{where}: python-fcl agrees on {r.fcl_check} sampled pairs")
        if r.once:
            out.append(f"{where}: measured once (a run takes over {REPEAT_BUDGET:.0f} s): {', '.join(r.once)}")
    return out


def targets(rows: list[Row]) -> list[str]:
    out = []
    by = {(r.scene, r.cells): r for r in rows}

    def line(text: str, value: float, goal: float, at_least: bool = True) -> None:
        met = value >= goal if at_least else value <= goal
        out.append(f"target: {text}: {value:.1f}x {'MET' if met else 'MISSED'}")

    # At 20,000 cells 4x and 20x; at 100,000 the same within 20%.
    for scene in ("jittered", "clouds"):
        for n, share in ((20000, 1.0), (100000, 0.8)):
            r = by.get((scene, n))
            if r is None or r.coal_query is None or r.coal_whole is None:
                continue
            query, whole = 4 * share, 20 * share
            line(f"coal's query >= {query:g}x ours, {n:,} {scene}", r.coal_query / r.ours_query, query)
            line(f"coal's whole job >= {whole:g}x our whole call, {n:,} {scene}", r.coal_whole / r.ours_whole, whole)
    r = by.get(("fracture", 20000))
    if r is not None and r.fcl_pair:
        line("python-fcl >= 10x our time a candidate pair, 20,000 fracture", r.fcl_pair / r.per_candidate, 10)
    r = by.get(("fracture", 100000))
    if r is not None and r.default_whole:
        line("hull rule within 3x of the default rule, 100,000 fracture", r.ours_whole / r.default_whole, 3,
             at_least=False)
    return out


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--sizes", default="5000,20000,100000",
                        help="cell counts, comma-separated (default 5000,20000,100000)")
    parser.add_argument("--scenes", default=",".join(HULL_SCENES),
                        help=f"scenes, comma-separated (default {','.join(HULL_SCENES)})")
    parser.add_argument("--repeat", type=int, default=5, help="runs per median (default 5)")
    parser.add_argument("--peer-pairs", type=int, default=3000,
                        help="candidate pairs python-fcl measures (default 3000)")
    parser.add_argument("--no-coal", action="store_true", help="leave coal out (it takes a while)")
    args = parser.parse_args(argv)
    rows = []
    for n in (int(size) for size in args.sizes.split(",")):
        for kind in args.scenes.split(","):
            print(f"hull rule, {n:,} cells, {kind} ...", file=sys.stderr)
            rows.append(measure(hull_scene(kind, n, CACHE), args.repeat, args.peer_pairs, not args.no_coal))
    print(f"wall time, medians of {args.repeat} runs taken in turn (scenes and thresholds: bench/hull_scenes.py)")
    print(table(rows))
    for text in checks(rows) + targets(rows):
        print(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
