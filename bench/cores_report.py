"""bench/cores.py's tables, as Markdown, so that docs/performance.md can take them as printed."""
from __future__ import annotations

import os
import statistics
from pathlib import Path

import numpy as np

from cellprox.result import TIMING_KEYS

DESCRIPTIONS = {
    "cubes": "find_neighbors, {n:,} jittered cubes, threshold 0.2",
    "hull": "find_neighbors (hull), {n:,} jittered Voronoi cells",
    "voronoi": "find_neighbors, {n:,} Voronoi cells in two collections, threshold 0.001",
    "from_packed": "CellSet.from_packed, {n:,} cubes",
    "fracture": "voronoi_fracture, {n:,} cells",
}
# The speed-up each workload should reach on two cores, and the peak memory at two workers
# against one.
GOALS = {"cubes": 1.85, "hull": 1.85, "voronoi": 1.8, "from_packed": 1.8, "fracture": 1.6}
MEMORY_GOAL = 1.15
PREDICTED_AT = (8, 16, 64)


def machine_line() -> str:
    model = "unknown processor"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    load = ", ".join(f"{x:.2f}" for x in os.getloadavg())
    return f"Machine: {model}, {os.cpu_count()} cores; load average at the start {load}"


def verdict(met: bool) -> str:
    return "MET" if met else "MISSED"


def median_walls(measured: dict) -> dict[int, float]:
    return {w: statistics.median(r["wall"] for r in m["runs"]) for w, m in measured.items()}


def speed_table(results: dict, skipped: dict[str, str], counts: list[int]) -> str:
    base = counts[0]
    lines = ["| workload | workers | median wall | cores busy | speed-up | goal at 2 | peak memory in the calls | goal at 2 |",
             "| --- | --- | --- | --- | --- | --- | --- | --- |"]
    for kind, (n, measured) in results.items():
        walls = median_walls(measured)
        for w in counts:
            speed = walls[base] / walls[w]
            memory = measured[w]["peak"] / measured[base]["peak"]
            speed_goal = memory_goal = ""
            if w == 2 and base == 1:
                speed_goal = f">= {GOALS[kind]:.2f}x {verdict(speed >= GOALS[kind])}"
                memory_goal = f"<= {MEMORY_GOAL:.2f}x {verdict(memory <= MEMORY_GOAL)}"
            busy = statistics.median(r["cpu"] / r["wall"] for r in measured[w]["runs"])
            lines.append(f"| {DESCRIPTIONS[kind].format(n=n)} | {w} | {walls[w] * 1e3:,.1f} ms | {busy:.2f} | "
                         f"{speed:.2f}x | {speed_goal} | {measured[w]['peak']:,.0f} MB ({memory:.2f}x; "
                         f"{measured[w]['rest']:,.0f} MB at rest, ru_maxrss {measured[w]['maxrss']:,.0f} MB) | "
                         f"{memory_goal} |")
    for kind, why in skipped.items():
        lines.append(f"| {DESCRIPTIONS[kind].format(n=0).split(',')[0]} | | {why} | | | | | |")
    return "\n".join(lines)


def amdahl_fit(counts: list[int], times: list[float]) -> float | None:
    """The serial share s of T(p) = T1 * (s + (1 - s) / p), by least squares over the counts
    (exact from two); within [0, 1], None from a single count."""
    if len(set(counts)) < 2:
        return None
    design = np.column_stack([np.ones(len(counts)), 1.0 / np.asarray(counts, float)])
    (serial, parallel), *_ = np.linalg.lstsq(design, np.asarray(times, float), rcond=None)
    total = serial + parallel
    return float(np.clip(serial / total, 0.0, 1.0)) if total > 0 else 1.0


def predicted(share: float, cores: int) -> float:
    return 1.0 / (share + (1.0 - share) / cores)


def stage_medians(measured: dict) -> dict[str, dict[int, float]]:
    """Each stage's median seconds at each count: find_neighbors' timings, or the whole call."""
    stages: dict[str, dict[int, float]] = {}
    for w, m in measured.items():
        runs = m["runs"]
        keys = [k for k in TIMING_KEYS if runs[0]["timings"] and k in runs[0]["timings"]]
        for key in keys:
            stages.setdefault(key, {})[w] = statistics.median(r["timings"][key] for r in runs)
        stages.setdefault("whole call", {})[w] = statistics.median(r["wall"] for r in runs)
    return stages


def amdahl_table(results: dict, counts: list[int]) -> str:
    heads = (["workload", "stage"] + [f"workers={w}" for w in counts] + ["serial share"]
             + [f"at {c} cores" for c in PREDICTED_AT])
    lines = ["| " + " | ".join(heads) + " |", "|" + " --- |" * len(heads)]
    for kind, (n, measured) in results.items():
        for stage, times in stage_medians(measured).items():
            share = amdahl_fit(list(times), list(times.values()))
            spent = " | ".join(f"{times[w] * 1e3:,.1f} ms" for w in counts)
            guesses = (" | ".join(f"{predicted(share, c):.1f}x" for c in PREDICTED_AT)
                       if share is not None else " | ".join("" for _ in PREDICTED_AT))
            lines.append(f"| {DESCRIPTIONS[kind].format(n=n)} | {stage} | {spent} | "
                         f"{'' if share is None else f'{share:.3f}'} | {guesses} |")
    return "\n".join(lines)


def first_call_table(rows: list[dict], large: int) -> str:
    lines = ["| cubes | machine | call | wall | user | system | warm median wall |",
             "| --- | --- | --- | --- | --- | --- | --- |"]
    judged = []
    for row in rows:
        state = f"{'two busy loops' if row['busy'] else 'quiet'} (load {row['load']:.2f})"
        for call in ("from_packed", "find_neighbors"):
            t = row[call]
            lines.append(f"| {row['n']:,} | {state} | {call} | {t['wall']:.3f} s | {t['user']:.3f} s | "
                         f"{t['system']:.3f} s | {t['warm']:.3f} s |")
        if row["n"] == large:
            shares = [f"{call} {row[call]['system']:.2f} s of {row[call]['user']:.2f} s"
                      for call in ("from_packed", "find_neighbors")]
            user = sum(row[c]["user"] for c in ("from_packed", "find_neighbors"))
            system = sum(row[c]["system"] for c in ("from_packed", "find_neighbors"))
            judged.append(f"{'busy' if row['busy'] else 'quiet'}: {system:.2f} s of system time against "
                          f"{user:.2f} s of user time, {'below' if system < user / 3 else 'NOT below'} "
                          f"a third ({', '.join(shares)})")
    if judged:
        lines.append(f"\nFirst call at {large:,} cubes (from_packed and find_neighbors together): "
                     + "; ".join(judged))
    return "\n".join(lines)
