"""Benchmark of the two kernels against the direct algorithm and against numpy/scipy peers.

For each workload and size it checks the module against the baseline (the direct algorithms in
C++, bench/baseline/), then times the module, the baseline and a peer, and prints the medians,
the speed-up ratios and the project's speed targets. Run through scripts/bench.sh. (The
package's own search, behind find_neighbors, has its benchmark in journey.py.)

The parts: workloads.py makes the cells, systems.py times and checks what is compared,
targets.py measures the targets, tables.py writes the table's cells and report.py prints them all.
"""
from __future__ import annotations

import argparse
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from baseline import Baseline, library_name  # noqa: E402
from report import report  # noqa: E402
from systems import (Clock, Row, bench_broad, bench_narrow, bench_openmp,  # noqa: E402
                     first_block_share, import_module, narrow_reference)
from tables import row_cells  # noqa: E402
from targets import evaluate_targets, limit_targets  # noqa: E402
from workloads import ROOT, make  # noqa: E402

QUICK_SIZES = {"voronoi": [1000, 10000, 20000, 50000], "uniform": [1000, 10000, 100000],
               "dense": [1000, 10000, 20000], "crowded": [5000, 20000, 50000]}
FULL_SIZES = [1000, 2000, 5000, 10000, 20000, 50000, 100000]


def log(message: str) -> None:
    print(message, file=sys.stderr, flush=True)


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--full", action="store_true",
                   help=f"all sizes {FULL_SIZES} for every workload, with a 15-minute time box")
    p.add_argument("--sizes", type=lambda s: [int(x) for x in s.split(",")],
                   help="comma-separated sizes for every workload (instead of the quick set)")
    p.add_argument("--kinds", default="voronoi,uniform,dense,crowded",
                   help="workloads: voronoi, uniform, dense, crowded (default all)")
    p.add_argument("--repeat", type=int, default=5, help="runs per measurement (median; 5)")
    p.add_argument("--repeat-budget", type=float, default=15.0,
                   help="stop repeating a measurement after this many seconds (15)")
    p.add_argument("--time-box", type=float, default=None,
                   help="seconds one run may be predicted to take before it is estimated "
                        "instead (quick 30, full 900)")
    p.add_argument("--peer-links", type=int, default=3000,
                   help="links timed for the numpy peer; more are extrapolated (3000)")
    p.add_argument("--near-ulps", type=int, default=4,
                   help="ulps around the threshold that count as near it (4)")
    p.add_argument("--module", default="cellprox_gnu", help="module to import (cellprox_gnu)")
    p.add_argument("--baseline-lib", type=Path,
                   default=ROOT / "build" / "bench" / "bench" / library_name("gnu"))
    p.add_argument("--omp-dir", default=str(ROOT / "build" / "bench-omp"),
                   help="build directory of the CELLPROX_OPENMP=ON module ('' to skip)")
    p.add_argument("--cache-dir", type=Path, default=ROOT / "build" / "bench" / "workloads")
    p.add_argument("--json", type=Path, help="also write the results as JSON here")
    p.add_argument("--markdown", type=Path, help="also write the results as markdown here")
    return p.parse_args(argv)


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    time_box = args.time_box or (900.0 if args.full else 30.0)
    clock = Clock(args.repeat, time_box, args.repeat_budget)
    module = import_module(args.module)
    baseline = Baseline(args.baseline_lib)
    kinds = [k for k in args.kinds.split(",") if k]
    log(f"module {getattr(module, '__file__', args.module)}\nbaseline {baseline.path}")

    rows: list[Row] = []
    # Kept for the measurements after the loop: (workload, reference tables, reference result).
    narrow_for_omp = None      # two collections, 20,000 cells
    largest_voronoi = None     # random collections, the largest size run
    for kind in kinds:
        sizes = args.sizes or (FULL_SIZES if args.full else QUICK_SIZES[kind])
        for n in sorted(sizes):
            log(f"[{kind} {n:,}] making the cells")
            variants = make(kind, n, cache_dir=args.cache_dir)
            log(f"[{kind} {n:,}] broad phase")
            broad, tables = bench_broad(variants[0], module, baseline, clock, kind)
            rows.append(broad)
            log("  " + " | ".join(row_cells(broad)))
            for w in (w for w in variants if w.narrow_phase):
                log(f"[{w.name} {n:,}] narrow phase")
                row, expected = bench_narrow(w, tables, module, baseline, clock,
                                             args.peer_links, args.near_ulps)
                rows.append(row)
                log("  " + " | ".join(row_cells(row)))
                if w.name == "voronoi-2c" and n == 20000:
                    narrow_for_omp = (w, tables, expected)
                if w.name == "voronoi-rc":
                    largest_voronoi = (w, tables, expected)

    omp: dict | None = None
    omp_broad: dict | None = None
    omp_dir = Path(args.omp_dir) if args.omp_dir else None
    if omp_dir is not None and not omp_dir.is_dir():
        log(f"no OpenMP build at {omp_dir}: it is not measured")
    elif omp_dir is not None:
        if narrow_for_omp is None:   # the narrow target's workload, made if not benchmarked
            w = make("voronoi", 20000, cache_dir=args.cache_dir)[1]
            narrow_for_omp = (w, *narrow_reference(w, baseline))
        w, tables, expected = narrow_for_omp
        log(f"[{w.name} {w.n:,}] narrow phase of the OpenMP build, 1 and 2 threads")
        omp = bench_openmp(w, tables, expected, omp_dir, args.repeat)
        omp.update(first_block_share=first_block_share(tables, 2))
        if largest_voronoi is not None:
            w, tables, expected = largest_voronoi
            log(f"[voronoi {w.n:,}] broad phase of the OpenMP build, 1 and 2 threads")
            omp_broad = bench_openmp(w, tables, expected, omp_dir, args.repeat, "broad")

    targets = evaluate_targets(rows, omp)
    limits = limit_targets(rows, omp_broad)
    report(rows, targets, limits, omp, omp_broad, args, time_box)
    ok = all(r.verified for r in rows) and not any(
        isinstance(v, dict) and v.get("equal") is False
        for v in [*(omp or {}).values(), *(omp_broad or {}).values()])
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
