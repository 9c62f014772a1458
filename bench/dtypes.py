"""Every dtype: a cell set's first build in a fresh process, for each number type it may come in.

    python bench/dtypes.py [--cubes 1000000] [--rounds 3] [--warm 3] [--only packed,extras,lists]
                           [--python OTHER_PYTHON ...] [--json RUNS.json]

Meshes and simulations hand over float64 points and int32, int64 or unsigned connectivity. For
every vertex type (float32, float64) and index type (int32, int64, uint32, uint64, used for the
edges, both offset arrays and the collections alike) a fresh process makes N cubes (8 vertices, 12 edges each)
in those types, then times its first call, as a user makes it (the thread team's start and the
output's fresh memory included), and the median of ``--warm`` calls after it. Three kinds of
call, each in processes of its own:

- ``packed``: ``CellSet.from_packed(vertices, vertex_offsets, edges, edge_offsets)``;
- ``extras``: the same with ``origins`` (one per cell, in the vertex type) and ``collections``
  (one per cell, in the index type);
- ``lists``: ``CellSet(vertices, edges)`` with one array per cell (views of the packed arrays).

Each combination runs ``--rounds`` times, the combinations in turn and in alternating order
(forward, then backward), so that the machine's drift hits them alike. Printed per kind: the
median first call over the rounds and the fastest round's, the processor seconds the process
spent in its first call (median; every thread's, system time included), the median of the warm
medians, the median first call's ratio to the fastest combination's and whether it is within
1.2x, and the same ratio between the fastest rounds (on a shared machine the fastest round is
the one least disturbed: a first call's stalls only ever add). A
machine line with the load average comes first: on a busy machine first calls move by more
than the types make them differ.

``--python`` (once for each) names interpreters with other builds of the package installed,
say the one before a change and the one after: every round runs each combination under each
of them, one after the other, so that both builds meet the same machine; a table for each.
``--json`` writes every process's numbers to a file, round by round for each combination.
"""
from __future__ import annotations

import argparse
import gc
import json
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path
from typing import Any

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))

from cores_report import machine_line  # noqa: E402

VERTEX_TYPES = ("float32", "float64")
INDEX_TYPES = ("int32", "int64", "uint32", "uint64")
KINDS = {"packed": "CellSet.from_packed", "extras": "CellSet.from_packed with origins and collections",
         "lists": "CellSet(vertices, edges), one array per cell"}
GOAL = 1.2
CORNERS = np.array([[c & 1, c >> 1 & 1, c >> 2 & 1] for c in range(8)], np.float64)
CUBE_EDGES = np.array([[c, c | 1 << a] for c in range(8) for a in range(3) if not c >> a & 1])


def cube_arrays(n: int, vertex_type: str, index_type: str, extras: bool = False) -> dict[str, Any]:
    """from_packed's arguments for n cubes of side 0.8 on the unit lattice, in the given types;
    with ``extras``, each cell's origin (its centre) and collection (alternating 0 and 1) too."""
    k = max(1, int(np.ceil(n ** (1 / 3) - 1e-9)))
    index = np.arange(n)
    lower = np.stack([index // (k * k), index // k % k, index % k], axis=1).astype(np.float64)
    vertices = (lower[:, None, :] + 0.8 * CORNERS[None]).reshape(-1, 3).astype(vertex_type)
    arguments = {
        "vertices": vertices,
        "vertex_offsets": np.arange(0, 8 * n + 1, 8, dtype=index_type),
        "edges": np.tile(CUBE_EDGES.astype(index_type), (n, 1)),
        "edge_offsets": np.arange(0, 12 * n + 1, 12, dtype=index_type),
    }
    if extras:
        arguments["origins"] = (lower + 0.4).astype(vertex_type)
        arguments["collections"] = (index % 2).astype(index_type)
    return arguments


def prepared_call(kind: str, n: int, vertex_type: str, index_type: str, workers: int | None):
    import cellprox
    arguments = cube_arrays(n, vertex_type, index_type, kind == "extras")
    if kind == "lists":
        vertices = list(arguments["vertices"].reshape(n, 8, 3))
        edges = list(arguments["edges"].reshape(n, 12, 2))
        return lambda: cellprox.CellSet(vertices, edges, workers=workers)
    return lambda: cellprox.CellSet.from_packed(**arguments, workers=workers)


def timed(call) -> tuple[float, float]:
    """The call's wall seconds and the processor seconds (user and system, every thread) this
    process spent in it: on a machine others are using, the second moves less. The cell set it
    makes is kept until the clocks have stopped, as a user keeps it: freeing 300 MB is not
    part of the call."""
    gc.collect()
    before, start = time.process_time(), time.perf_counter()
    made = call()
    wall, cpu = time.perf_counter() - start, time.process_time() - before
    del made
    return wall, cpu


def child(kind: str, n: int, vertex_type: str, index_type: str, warm: int, workers: int | None) -> None:
    """One fresh process: cellprox imported and the arrays made, then the first call timed and
    ``warm`` more."""
    call = prepared_call(kind, n, vertex_type, index_type, workers)
    first, first_cpu = timed(call)
    walls = [timed(call)[0] for _ in range(warm)]
    print(json.dumps({"first": first, "first_cpu": first_cpu,
                      "warm": statistics.median(walls) if walls else float("nan")}), flush=True)


def run_child(python: str, kind: str, n: int, vertex_type: str, index_type: str, warm: int,
              workers: int | None) -> dict[str, float]:
    command = [python, __file__, "--child", kind, vertex_type, index_type, "--cubes", str(n),
               "--warm", str(warm)]
    if workers is not None:
        command += ["--workers", str(workers)]
    completed = subprocess.run(command, capture_output=True, text=True, check=False)
    if completed.returncode != 0:
        raise RuntimeError(f"the {kind} process for {vertex_type} / {index_type} under {python} "
                           f"failed:\n{completed.stderr}")
    return json.loads(completed.stdout.strip().splitlines()[-1])


Key = tuple[str, str, str, str]      # interpreter, kind, vertex type, index type


def measure(pythons: list[str], kinds: list[str], n: int, rounds: int, warm: int,
            workers: int | None) -> dict[Key, list[dict[str, float]]]:
    combinations = [(p, k, v, i) for k in kinds for v in VERTEX_TYPES for i in INDEX_TYPES for p in pythons]
    runs: dict[Key, list[dict[str, float]]] = {c: [] for c in combinations}
    for r in range(rounds):
        for python, kind, vertex_type, index_type in combinations if r % 2 == 0 else combinations[::-1]:
            runs[python, kind, vertex_type, index_type].append(
                run_child(python, kind, n, vertex_type, index_type, warm, workers))
    return runs


def table(python: str, kind: str, runs: dict[Key, list[dict[str, float]]], label: bool) -> list[str]:
    mine = {(v, i): rs for (p, k, v, i), rs in runs.items() if p == python and k == kind}
    firsts = {c: statistics.median(r["first"] for r in rs) for c, rs in mine.items()}
    quickest = {c: min(r["first"] for r in rs) for c, rs in mine.items()}
    lines = [f"{KINDS[kind]}" + (f" ({python})" if label else "") + ":", "",
             "| vertices | indices | first call | fastest first call | first call's processor time "
             "| warm median | ratio | ratio of the fastest | within 1.2x |",
             "| --- | --- | --- | --- | --- | --- | --- | --- | --- |"]
    for combination, rs in mine.items():
        ratio = firsts[combination] / min(firsts.values())
        cells = [*combination, f"{firsts[combination] * 1e3:,.1f} ms", f"{quickest[combination] * 1e3:,.1f} ms",
                 f"{statistics.median(r['first_cpu'] for r in rs) * 1e3:,.1f} ms",
                 f"{statistics.median(r['warm'] for r in rs) * 1e3:,.1f} ms", f"{ratio:.2f}x",
                 f"{quickest[combination] / min(quickest.values()):.2f}x", "yes" if ratio <= GOAL else "NO"]
        lines.append("| " + " | ".join(cells) + " |")
    return lines + [""]


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").split("\n")[0])
    parser.add_argument("--cubes", type=int, default=1_000_000, help="cubes per scene")
    parser.add_argument("--rounds", type=int, default=3, help="fresh processes per combination")
    parser.add_argument("--warm", type=int, default=3, help="warm calls after the first")
    parser.add_argument("--workers", type=int, default=None, help="the calls' workers (default: theirs)")
    parser.add_argument("--only", default=",".join(KINDS), help="kinds of call, of " + ", ".join(KINDS))
    parser.add_argument("--python", action="append", default=None,
                        help="an interpreter to run the calls under (once for each; default: this one)")
    parser.add_argument("--json", type=Path, default=None, help="write every run's numbers to this file")
    parser.add_argument("--child", nargs=3, metavar=("KIND", "VERTEX_TYPE", "INDEX_TYPE"),
                        help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.child:
        child(args.child[0], args.cubes, *args.child[1:], args.warm, args.workers)
        return 0
    kinds = [k for k in args.only.split(",") if k]
    unknown = set(kinds) - set(KINDS)
    if unknown:
        parser.error(f"--only: unknown kinds {', '.join(sorted(unknown))}; pick of {', '.join(KINDS)}")
    print(machine_line(), flush=True)
    print(f"{args.cubes:,} cubes, {args.rounds} rounds, medians over the rounds; module "
          f"{os.environ.get('CELLPROX_MODULE', '(default)')}", flush=True)
    print()
    pythons = args.python or [sys.executable]
    runs = measure(pythons, kinds, args.cubes, args.rounds, args.warm, args.workers)
    if args.json is not None:
        args.json.write_text(json.dumps([{"python": p, "kind": k, "vertices": v, "indices": i, "runs": rs}
                                         for (p, k, v, i), rs in runs.items()], indent=1))
    for python in pythons:
        for kind in kinds:
            print("\n".join(table(python, kind, runs, len(pythons) > 1)))
    print("Load average at the end " + ", ".join(f"{x:.2f}" for x in os.getloadavg()))
    return 0


if __name__ == "__main__":
    sys.exit(main())
