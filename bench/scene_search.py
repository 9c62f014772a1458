"""The search over a scene on disk, on a local Dask cluster: what it costs and how it scales.

    python bench/scene_search.py                 # all of it: about 25 minutes and 30 GB of disk here
    python bench/scene_search.py --quick         # every size divided by 100, in a minute or two
    python bench/scene_search.py --only overhead,scaling

Scenes are lattices of cubes of side 0.8 at spacing 1, each moved by uniform(-0.01, 0.01) per
axis, in two collections (alternating), searched at threshold 0.25: exactly the cubes that
share a face are closer than that, so the pair count is known, (a-1)bc + a(b-1)c + ab(c-1) for
an a x b x c lattice. Printed, as markdown tables:

- large: 40,000,000 cubes written to disk block by block, then searched by ``python -m cellprox
  neighbors`` on a local cluster of two processes; the pair count against the lattice's, and
  the peak of the resident memory of all the processes together (the command and its workers,
  sampled every 0.1 s).
- scaling: 4,000,000 cubes on a local cluster of one worker process and of two (one thread
  each, 8 tiles), each run in turn, three times; medians and their ratio (goal: at least 1.6x).
- overhead: 1,000,000 cubes on one worker process against the in-memory path done by hand in
  this process (read the scene, ``CellSet.from_packed``, ``find_neighbors``, write the pairs),
  both on one thread; medians of three, and their ratio (goal: at most 1.5x).
- identity: 1,000,000 cubes moved by uniform(-0.1, 0.1) at threshold 0.2 and a 100,000-cell
  fracture in two collections at a seed spacing, both rules (the hull rule with witnesses), at
  3 and 16 tiles on two worker processes: pairs, distances, gaps and witnesses against the
  in-memory ``find_neighbors`` of the same cells, bit for bit.
- costs: per tile (cells, seconds to read, search and write) from the runs' manifests, the copy
  factor, the scheduler's cost per task (2,000 empty tasks), and what they predict for
  1,000,000,000 cells on 64 workers.
The clusters are started before the timed calls; their start-up is printed apart.
"""
from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

import cellprox
from cellprox import distributed as on_disk
from cellprox._distributed.output import write_part
from cellprox.scene import fracture_scene, lattice_scene, open_scene

THRESHOLD = 0.25
JITTER = 0.01
SHAPES = {"large": (400, 400, 250), "scaling": (200, 200, 100), "overhead": (100, 100, 100),
          "identity": (100, 100, 100)}


def lattice_pairs(shape: tuple[int, int, int]) -> int:
    a, b, c = shape
    return (a - 1) * b * c + a * (b - 1) * c + a * b * (c - 1)


def scene_of(folder: Path, name: str, shape: tuple[int, int, int]) -> tuple[Path, float]:
    path = folder / f"{name}.parquet"
    start = time.perf_counter()
    lattice_scene(path, shape, jitter=JITTER, collections=2, overwrite=True)
    return path, time.perf_counter() - start


def cluster(processes: int):
    import distributed

    start = time.perf_counter()
    made = distributed.LocalCluster(n_workers=processes, threads_per_worker=1, processes=True,
                                    dashboard_address=":0", silence_logs=50)
    client = distributed.Client(made)
    return made, client, time.perf_counter() - start


def timed_run(scene: Path, out: Path, client, tiles: int | None) -> tuple[float, on_disk.SceneSearch]:
    start = time.perf_counter()
    run = on_disk.find_neighbors(scene, THRESHOLD, out, scheduler=client, tiles=tiles, workers=1,
                                 overwrite=True)
    return time.perf_counter() - start, run


def by_hand(scene: Path, out: Path) -> float:
    """The in-memory path a user writes without the distributed module, on one thread as the
    worker's tasks are: pyarrow's decoding included."""
    import pyarrow

    pyarrow.set_cpu_count(1)
    start = time.perf_counter()
    numbers, cells = open_scene(scene).cell_set(workers=1)
    result = cellprox.find_neighbors(cells, THRESHOLD, workers=1)
    write_part(out, numbers[result.pairs[:, 0]], numbers[result.pairs[:, 1]], result.distances,
               None, None)
    wall = time.perf_counter() - start
    pyarrow.set_cpu_count(os.cpu_count() or 1)
    return wall


def table(header: list[str], rows: list[list[str]]) -> str:
    lines = ["| " + " | ".join(header) + " |", "|" + "|".join(" --- " for _ in header) + "|"]
    return "\n".join(lines + ["| " + " | ".join(r) + " |" for r in rows])


def large(folder: Path, shape: tuple[int, int, int]) -> dict:
    import psutil

    path, made = scene_of(folder, "large", shape)
    out = folder / "large-pairs"
    command = [sys.executable, "-m", "cellprox", "neighbors", str(path), "-t", str(THRESHOLD),
               "-o", str(out), "-p", "2", "--overwrite", "-q"]
    start = time.perf_counter()
    process = subprocess.Popen(command, stdout=subprocess.PIPE, text=True)
    root, peak = psutil.Process(process.pid), 0
    while process.poll() is None:
        try:
            tree = [root, *root.children(recursive=True)]
            peak = max(peak, sum(p.memory_info().rss for p in tree if p.is_running()))
        except psutil.Error:
            pass
        time.sleep(0.1)
    wall = time.perf_counter() - start
    if process.returncode:
        raise SystemExit(f"the large run failed: {command}")
    manifest = json.loads((out / "_manifest.json").read_text())
    size = path.stat().st_size
    return {"cells": int(np.prod(shape)), "made": made, "size": size, "wall": wall, "peak": peak,
            "manifest": manifest, "expected": lattice_pairs(shape)}


def scaling(folder: Path, shape: tuple[int, int, int], repeat: int) -> dict:
    path, _ = scene_of(folder, "scaling", shape)
    clusters = {p: cluster(p) for p in (1, 2)}
    walls: dict[int, list[float]] = {1: [], 2: []}
    manifests = {}
    try:
        for turn in range(repeat):
            for processes in ((1, 2) if turn % 2 == 0 else (2, 1)):
                wall, run = timed_run(path, folder / f"scaling-{processes}", clusters[processes][1], 8)
                walls[processes].append(wall)
                manifests[processes] = run.manifest
    finally:
        for made, client, _ in clusters.values():
            client.close()
            made.close()
    return {"cells": int(np.prod(shape)), "walls": walls, "manifest": manifests[2],
            "start": {p: c[2] for p, c in clusters.items()},
            "pairs_ok": manifests[2]["pairs"] == lattice_pairs(shape)}


def overhead(folder: Path, shape: tuple[int, int, int], repeat: int) -> dict:
    path, _ = scene_of(folder, "overhead", shape)
    made, client, _ = cluster(1)
    walls: dict[str, list[float]] = {"dask": [], "hand": []}
    try:
        for turn in range(repeat):
            for way in (("dask", "hand") if turn % 2 == 0 else ("hand", "dask")):
                if way == "dask":
                    wall, run = timed_run(path, folder / "overhead-pairs", client, None)
                    manifest = run.manifest
                else:
                    wall = by_hand(path, folder / "overhead-hand.parquet")
                walls[way].append(wall)
        tasks = 2000
        start = time.perf_counter()
        client.gather(client.map(int, range(tasks), pure=False))
        per_task = (time.perf_counter() - start) / tasks
    finally:
        client.close()
        made.close()
    return {"cells": int(np.prod(shape)), "walls": walls, "manifest": manifest, "per_task": per_task}


def identity(folder: Path, cubes: tuple[int, int, int], fracture_cells: int) -> list[list[str]]:
    """The pairs from disk against the in-memory call's, bit for bit."""
    scenes = [("cubes", lattice_scene(folder / "identity-cubes.parquet", cubes, jitter=0.1,
                                      collections=2, overwrite=True), 0.2),
              ("fracture", fracture_scene(folder / "identity-fracture.parquet", fracture_cells,
                                          collections=2, seed=5, overwrite=True),
               (1 / fracture_cells) ** (1 / 3))]
    made, client, _ = cluster(2)
    rows = []
    try:
        for name, scene, threshold in scenes:
            _, cells = scene.cell_set()
            for rule in ("vertices-edges", "hull"):
                hull = rule == "hull"
                start = time.perf_counter()
                expected = cellprox.find_neighbors(cells, threshold, rule=rule, witnesses=hull)
                memory = time.perf_counter() - start
                for tiles in (3, 16):
                    out = folder / f"identity-{name}-{rule}-{tiles}"
                    start = time.perf_counter()
                    run = on_disk.find_neighbors(scene.path, threshold, out, rule=rule, witnesses=hull,
                                                 tiles=tiles, scheduler=client, overwrite=True)
                    wall = time.perf_counter() - start
                    got = on_disk.read_pairs(out)
                    same = (np.array_equal(got.pairs, expected.pairs)
                            and got.distances.tobytes() == expected.distances.tobytes()
                            and (not hull or (got.gaps.tobytes() == expected.gaps.tobytes()
                                              and got.witnesses.tobytes() == expected.witnesses.tobytes())))
                    rows.append([f"{name} ({len(cells):,} cells)", rule, str(tiles), f"{run.copy_factor:.4f}",
                                 f"{len(expected):,}", f"{wall:.1f} s (in memory {memory:.1f} s)",
                                 "identical" if same else "DIFFERENT"])
    finally:
        client.close()
        made.close()
    return rows


def tile_costs(manifest: dict) -> dict:
    parts = manifest["parts"]
    cells = sum(p["cells"] for p in parts)
    steps = {k: sum(p["seconds"][k] for p in parts) for k in ("read", "search", "write")}
    return {"tiles": len(parts), "cells": cells, "steps": steps,
            "per_cell": sum(steps.values()) / max(cells, 1)}


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="every size divided by 100")
    parser.add_argument("--only", default="identity,large,scaling,overhead",
                        help="comma-separated parts: identity, large, scaling, overhead")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--folder", type=Path, default=None,
                        help="where the scenes and pairs go (default: a temporary folder)")
    args = parser.parse_args(argv)
    parts = set(args.only.split(","))
    shapes = {k: (tuple(max(2, round(s / 100 ** (1 / 3))) for s in v) if args.quick else v)
              for k, v in SHAPES.items()}
    with tempfile.TemporaryDirectory(prefix="cellprox-distributed-") as temporary:
        folder = args.folder or Path(temporary)
        folder.mkdir(parents=True, exist_ok=True)
        print(f"Machine: {os.cpu_count()} cores; load average {os.getloadavg()}; cellprox "
              f"{cellprox.__version__}; folder {folder}\n")
        results = {}
        for name, run in (("overhead", lambda: overhead(folder, shapes["overhead"], args.repeat)),
                          ("scaling", lambda: scaling(folder, shapes["scaling"], args.repeat)),
                          ("large", lambda: large(folder, shapes["large"])),
                          ("identity", lambda: identity(folder, shapes["identity"],
                                                        1000 if args.quick else 100_000))):
            if name in parts:
                results[name] = run()
                print(f"{name}: done", flush=True)
        report(results)
    return 0


def report(results: dict) -> None:
    rows = []
    if "large" in results:
        r = results["large"]
        m = r["manifest"]
        rows.append(["large: neighbors command, 2 processes", f"{r['cells']:,}",
                     f"{r['wall']:.1f} s (scene written in {r['made']:.1f} s, {r['size'] / 1e9:.1f} GB)",
                     f"{m['pairs']:,} ({'=' if m['pairs'] == r['expected'] else '!='} {r['expected']:,} predicted)",
                     f"peak {r['peak'] / 1e9:.2f} GB, all processes (goal <= 12 GB: "
                     f"{'MET' if r['peak'] <= 12e9 else 'MISSED'}); {m['tiles']} tiles, copy factor {m['copy_factor']:.4f}"])
    if "scaling" in results:
        r = results["scaling"]
        one, two = (statistics.median(r["walls"][p]) for p in (1, 2))
        rows.append(["scaling: 1 worker process vs 2, 8 tiles", f"{r['cells']:,}",
                     f"{one:.2f} s vs {two:.2f} s", "lattice count" + (" met" if r["pairs_ok"] else " MISSED"),
                     f"{one / two:.2f}x (goal >= 1.6x: {'MET' if one / two >= 1.6 else 'MISSED'}); "
                     f"cluster start {r['start'][1]:.1f} s / {r['start'][2]:.1f} s"])
    if "overhead" in results:
        r = results["overhead"]
        dask, hand = (statistics.median(r["walls"][w]) for w in ("dask", "hand"))
        rows.append(["overhead: 1 worker process vs by hand, 1 thread", f"{r['cells']:,}",
                     f"{dask:.2f} s vs {hand:.2f} s", f"{r['manifest']['pairs']:,}",
                     f"{dask / hand:.2f}x (goal <= 1.5x: {'MET' if dask / hand <= 1.5 else 'MISSED'}); "
                     f"{r['manifest']['tiles']} tiles, copy factor {r['manifest']['copy_factor']:.4f}"])
    print(table(["run", "cells", "wall", "pairs", "notes"], rows))
    if "identity" in results:
        print()
        print(table(["scene", "rule", "tiles", "copy factor", "pairs", "wall, 2 processes",
                     "against in memory"], results["identity"]))

    source = results.get("scaling") or results.get("overhead")
    if source is None:
        return
    manifest = source["manifest"]
    costs = tile_costs(manifest)
    seconds = manifest["seconds"]
    cells = manifest["cells"]
    per_task = results["overhead"]["per_task"] if "overhead" in results else 0.002
    print()
    print(table(["cost", "value"], [
        ["tiles of the run", f"{costs['tiles']} ({manifest['cells']:,} cells, copy factor {manifest['copy_factor']:.4f})"],
        ["a tile's read / search / write, summed", " / ".join(f"{v:.2f} s" for v in costs["steps"].values())],
        ["tile work per placed cell", f"{costs['per_cell'] * 1e6:.2f} us"],
        ["sampling, wall (the run's share)", f"{seconds['sample']:.2f} s"],
        ["placing, wall", f"{seconds['place']:.2f} s"],
        ["scheduler, per task (2,000 empty tasks, 1 process)", f"{per_task * 1e3:.2f} ms"],
    ]))
    # A billion cells on 64 workers, one thread each: the tiles' work and the placing spread
    # over the workers; the scheduler hands out one task a row group twice and one a tile.
    billion, workers = 1_000_000_000, 64
    slots = 2 if source is results.get("scaling") else 1
    place_per_cell = seconds["place"] * slots / cells
    sample_per_cell = seconds["sample"] * slots / cells
    tiles = billion // 1_000_000
    tasks = 2 * billion // 131_072 + tiles
    work = billion * (manifest["copy_factor"] * costs["per_cell"] + place_per_cell + sample_per_cell)
    predicted = work / workers + tasks * per_task
    print(f"\nPredicted for {billion:,} cells on {workers} workers: {predicted / 60:.1f} minutes "
          f"({work / workers / 60:.1f} of work a worker, {tasks * per_task:.0f} s of scheduling for "
          f"{tasks:,} tasks), given shared storage that keeps up.")


if __name__ == "__main__":
    sys.exit(main())
