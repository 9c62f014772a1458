"""Every core: how the package's calls speed up with the ``workers`` argument, what stays serial,
and what a user's first call costs.

    python bench/cores.py [--quick] [--workers 1,2] [--repeat 5] [--no-first-call-large]

1. **Speed-up.** For each workload, one fresh process per workers count builds the scene, warms
   the call up once and then runs it on the parent's word; the counts run in turn, in
   alternating order, so that the machine's drift hits every count alike. Printed: the median
   wall time at each count, its speed-up over the first count beside the goal, and each process's
   peak resident memory while it ran the calls beside the memory goal (at most 1.15x the first
   count's); with the memory resident before the calls and the process's ru_maxrss, which also
   counts making the scene. Beside each median, the cores the call kept busy (its processor
   seconds over its wall seconds): on a machine others are using, what the workers got.

   - ``cubes``: find_neighbors (default rule) on 1,000,000 cubes of side 0.8 on a unit lattice,
     each moved by its own uniform(-0.1, 0.1) per axis, two collections, threshold 0.2;
   - ``hull``: find_neighbors, hull rule, on 100,000 jittered Voronoi cells (bench/hull_scenes.py);
   - ``voronoi``: find_neighbors (default rule) on 50,000 Voronoi cells in two collections at
     threshold 0.001, as bench/journey.py measures them;
   - ``from_packed``: CellSet.from_packed on the 1,000,000 cubes;
   - ``fracture``: voronoi_fracture of 100,000 cells.

2. **Serial share.** Amdahl's law, T(p) = T1 * (s + (1 - s) / p), fitted by least squares to the
   medians of each stage of find_neighbors' ``timings`` (and of the whole from_packed and
   fracture calls) over the counts measured; printed with the speed-up it predicts at 8, 16 and
   64 cores. From two counts the fit is exact; more counts (a bigger machine) make it a fit.

3. **First call.** A fresh process makes N jittered cubes, builds them with from_packed and
   searches them once, as a user would (workers left at its default); wall, user and system
   seconds of each call (getrusage of that process), beside the median of a few warm calls.
   At 1,000,000 cubes and, unless --no-first-call-large, 8,000,000 (about 6 GB); on a quiet
   machine and beside two busy loops the benchmark starts and stops itself.

--quick divides every size by 100 (or by --divide), repeats twice and leaves out 8,000,000 cubes.
A workload whose call takes no ``workers`` argument in this build is skipped with a note.
"""
from __future__ import annotations

import argparse
import gc
import inspect
import json
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))

import cellprox  # noqa: E402
from cellprox.fracture import voronoi_fracture  # noqa: E402
from cores_report import amdahl_table, first_call_table, machine_line, speed_table  # noqa: E402
from process_usage import cpu_seconds, peak_mb, reset_peak, status_mb  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent
CUBE_SIDE, CUBE_MOVE, CUBE_THRESHOLD = 0.8, 0.1, 0.2
VORONOI_THRESHOLD = 0.001    # bench/journey.py's threshold for its Voronoi cells
SIZES = {"cubes": 1_000_000, "hull": 100_000, "voronoi": 50_000, "from_packed": 1_000_000,
         "fracture": 100_000}
FIRST_CALL_SIZES = (1_000_000, 8_000_000)


def jittered_cubes(n: int, seed: int = 1) -> tuple[tuple[np.ndarray, ...], np.ndarray]:
    """from_packed's arrays for n cubes on the unit lattice, and their collections."""
    from journey import packed_cubes
    k = int(np.ceil(n ** (1 / 3) - 1e-9))
    index = np.arange(n)
    lattice = np.stack([index // (k * k), index // k % k, index % k], axis=1).astype(np.float64)
    moves = np.random.default_rng(seed).uniform(-CUBE_MOVE, CUBE_MOVE, (n, 3))
    return packed_cubes(lattice + moves, np.full(n, CUBE_SIDE)), index % 2


def takes_workers(kind: str) -> bool:
    call = {"from_packed": cellprox.CellSet.from_packed, "fracture": voronoi_fracture}.get(
        kind, cellprox.find_neighbors)
    return "workers" in inspect.signature(call).parameters


def prepared_call(kind: str, n: int, workers: int, cache: bool):
    """The timed call of a workload, its scene made and the call warmed up once. The call
    returns find_neighbors' timings, or None for a call that has none."""
    if kind in ("cubes", "from_packed"):
        arrays, collections = jittered_cubes(n)
        if kind == "from_packed":
            def build() -> None:
                cellprox.CellSet.from_packed(*arrays, collections=collections, workers=workers)
            build()
            return build
        cells, threshold, rule = cellprox.CellSet.from_packed(*arrays, collections=collections), \
            CUBE_THRESHOLD, "vertices-edges"
    elif kind == "hull":
        from hull_scenes import jittered_voronoi
        scene = jittered_voronoi(n, cache_dir=ROOT / "build" / "bench" / "hull" if cache else None)
        # The first search builds the CellSet from the vertex arrays; the timed ones reuse it.
        cells = cellprox.find_neighbors(scene.cells, scene.threshold, rule="hull", workers=workers).cells
        threshold, rule = scene.threshold, "hull"
    elif kind == "voronoi":
        from journey import fracture_cells
        cells = fracture_cells(n) if cache else voronoi_fracture(n, seed=1, collections=2).cell_set()
        threshold, rule = VORONOI_THRESHOLD, "vertices-edges"
    else:
        # A small fracture loads scipy and starts the threads; a second large one would cost
        # as much as the measurement.
        voronoi_fracture(min(n, 1000), seed=2, workers=workers)

        def fracture() -> None:
            voronoi_fracture(n, seed=1, workers=workers)
        return fracture

    def search() -> dict[str, float]:
        return cellprox.find_neighbors(cells, threshold, rule=rule, workers=workers).timings
    search()
    return search


def serve(kind: str, n: int, workers: int, cache: bool) -> None:
    """A measuring process: one timed call for every "run" read from standard input."""
    call = prepared_call(kind, n, workers, cache)
    gc.collect()
    setup_peak = peak_mb()    # read first: the reset starts ru_maxrss afresh too
    fresh = reset_peak()
    ready = status_mb("VmRSS") or peak_mb()
    print(json.dumps({"ready": ready}), flush=True)
    for line in sys.stdin:
        if line.strip() != "run":
            break
        gc.collect()
        before, start = cpu_seconds(), time.perf_counter()
        timings = call()
        wall = time.perf_counter() - start
        print(json.dumps({"wall": wall, "cpu": cpu_seconds() - before, "timings": timings}), flush=True)
    # The kernel moves the high-water mark up from the resident size lazily (a few pages at a
    # time): it may still lie below what was resident when the process said it was ready.
    peak = max(ready, status_mb("VmHWM") if fresh else peak_mb())
    # ru_maxrss follows the high-water mark only lazily; VmHWM also counts what is resident now.
    print(json.dumps({"peak": peak, "maxrss": max(setup_peak, peak_mb(), peak)}), flush=True)


class Server:
    def __init__(self, kind: str, n: int, workers: int, cache: bool) -> None:
        self.process = subprocess.Popen(
            [sys.executable, __file__, "--serve", kind, str(n), str(workers), str(int(cache))],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.rest = self.ask(None)["ready"]
        self.runs: list[dict] = []

    def ask(self, word: str | None) -> dict:
        assert self.process.stdin and self.process.stdout
        if word is not None:
            self.process.stdin.write(word + "\n")
            self.process.stdin.flush()
        line = self.process.stdout.readline()
        if not line:
            raise RuntimeError(f"the measuring process ended (exit status {self.process.wait()})")
        return json.loads(line)

    def finish(self) -> dict:
        memory = self.ask("quit")
        self.process.wait()
        return {"rest": self.rest, **memory}


def measure(kind: str, n: int, counts: list[int], repeat: int, cache: bool) -> dict:
    """Each count's runs and peak memory, the counts taken in turn."""
    servers = {}
    try:
        for workers in counts:
            servers[workers] = Server(kind, n, workers, cache)
        for round_ in range(repeat):
            for workers in counts if round_ % 2 == 0 else counts[::-1]:
                servers[workers].runs.append(servers[workers].ask("run"))
        return {w: {"runs": s.runs, **s.finish()} for w, s in servers.items()}
    finally:
        for server in servers.values():
            if server.process.poll() is None:
                server.process.kill()
                server.process.wait()


def first_call(n: int, warm: int) -> None:
    """A user's first call, in this fresh process: from_packed, then find_neighbors, each with
    its wall, user and system seconds; then the median wall of `warm` more of each."""
    arrays, collections = jittered_cubes(n)
    report = {}

    def timed(name: str, call):
        before, start = os.times(), time.perf_counter()
        value = call()
        after = os.times()
        report[name] = {"wall": time.perf_counter() - start, "user": after.user - before.user,
                        "system": after.system - before.system}
        return value

    def build():
        return cellprox.CellSet.from_packed(*arrays, collections=collections)

    cells = timed("from_packed", build)
    timed("find_neighbors", lambda: cellprox.find_neighbors(cells, CUBE_THRESHOLD))
    for name, call in (("from_packed", build),
                       ("find_neighbors", lambda: cellprox.find_neighbors(cells, CUBE_THRESHOLD))):
        walls = []
        for _ in range(warm):
            gc.collect()
            start = time.perf_counter()
            call()
            walls.append(time.perf_counter() - start)
        report[name]["warm"] = statistics.median(walls)
    print(json.dumps(report), flush=True)


def first_calls(sizes: list[int], warm: int) -> list[dict]:
    rows = []
    for busy in (False, True):
        spinners = [subprocess.Popen([sys.executable, "-c", "while True: pass"]) for _ in range(2 * busy)]
        try:
            for n in sizes:
                time.sleep(1.0)   # the spinners settle (or the previous run's memory is given back)
                out = subprocess.run([sys.executable, __file__, "--first-call", str(n), str(warm)],
                                     check=True, stdout=subprocess.PIPE, text=True).stdout
                # The one-minute load average lags: read after the run, it has seen the run.
                load = os.getloadavg()[0]
                rows.append({"n": n, "busy": busy, "load": load, **json.loads(out)})
        finally:
            for spinner in spinners:
                spinner.kill()
                spinner.wait()
    return rows


def main(argv: list[str] | None = None) -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--quick", action="store_true", help="sizes / 100, two repeats, no 8,000,000 cubes")
    p.add_argument("--divide", type=int, help="divide every size by this (100 with --quick, else 1)")
    p.add_argument("--workers", default="1,2", help="the counts to measure, the first the base (1,2)")
    p.add_argument("--repeat", type=int, help="timed runs of each count (5; 3 for the fracture; 2 with --quick)")
    p.add_argument("--only", help="comma-separated workloads (" + ",".join(SIZES) + ")")
    p.add_argument("--first-call-large", action=argparse.BooleanOptionalAction, default=None,
                   help="also the first call at 8,000,000 cubes (on unless --quick)")
    p.add_argument("--no-first-call", action="store_true", help="leave out the first call")
    p.add_argument("--serve", nargs=4, help=argparse.SUPPRESS)
    p.add_argument("--first-call", nargs=2, type=int, help=argparse.SUPPRESS)
    args = p.parse_args(argv)
    if args.serve:
        kind, n, workers, cache = args.serve
        serve(kind, int(n), int(workers), cache == "1")
        return 0
    if args.first_call:
        first_call(*args.first_call)
        return 0
    divide = args.divide or (100 if args.quick else 1)
    counts = [int(c) for c in args.workers.split(",")]
    kinds = args.only.split(",") if args.only else list(SIZES)
    print(machine_line(), flush=True)
    results, skipped = {}, {}
    for kind in kinds:
        if not takes_workers(kind):
            skipped[kind] = "skipped: the call takes no workers argument in this build"
            continue
        repeat = args.repeat or (2 if args.quick else 3 if kind == "fracture" else 5)
        results[kind] = (max(1, SIZES[kind] // divide),
                         measure(kind, max(1, SIZES[kind] // divide), counts, repeat, divide == 1))
    print(speed_table(results, skipped, counts), flush=True)
    print(amdahl_table(results, counts), flush=True)
    if not args.no_first_call:
        large = args.first_call_large if args.first_call_large is not None else not args.quick
        sizes = [n // divide for n in FIRST_CALL_SIZES[:1 + large]]
        print(first_call_table(first_calls(sizes, 2 if args.quick else 3), FIRST_CALL_SIZES[-1] // divide))
    return 0


if __name__ == "__main__":
    sys.exit(main())
