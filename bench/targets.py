"""The benchmark's speed targets and limits, each a ratio from this run's rows (or from the OpenMP
build's own measurements), counted only on results that equal the reference."""
from __future__ import annotations

from dataclasses import dataclass

from systems import Row
from tables import fmt_ratio


@dataclass
class Target:
    text: str
    goal: str
    measured: str
    status: str


def find(rows: list[Row], kernel: str, workload: str, n: int) -> Row | None:
    return next((r for r in rows if r.kernel == kernel and r.workload == workload and r.n == n),
                None)


def ratio_target(text: str, row: Row | None, other: str, goal: float) -> Target:
    goal_text = f">= {goal:g}x"
    if row is None:
        return Target(text, goal_text, "-", "NOT MEASURED")
    if not row.verified:
        return Target(text, goal_text, "-", "MISSED (results differ)")
    timing = getattr(row, other)
    value = row.ratio(timing)
    estimated = timing.estimated or row.module.estimated
    status = "MET" if value is not None and value >= goal else "MISSED"
    return Target(text, goal_text, fmt_ratio(value, estimated),
                  status + (" (estimated)" if estimated else ""))


def evaluate_targets(rows: list[Row], omp: dict | None) -> list[Target]:
    targets = [ratio_target("broad phase, Voronoi 20,000 cells: faster than the baseline",
                            find(rows, "broad", "voronoi", 20000), "baseline", 100)]

    small, large = find(rows, "broad", "voronoi", 10000), find(rows, "broad", "voronoi", 100000)
    text = "broad phase, Voronoi: time at 100,000 cells / time at 10,000"
    if small is None or large is None or small.module.ms is None or large.module.ms is None:
        targets.append(Target(text, "<= 15x", "-", "NOT MEASURED"))
    elif not (small.verified and large.verified):
        targets.append(Target(text, "<= 15x", "-", "MISSED (results differ)"))
    else:
        value = large.module.ms / small.module.ms
        est = large.module.estimated
        targets.append(Target(text, "<= 15x", fmt_ratio(value, est),
                              ("MET" if value <= 15 else "MISSED") + (" (estimated)" if est
                                                                      else "")))

    text = "broad phase, dense cluster: module time / baseline time"
    dense = [r for r in rows if r.kernel == "broad" and r.workload == "dense"
             and not r.baseline.estimated and r.module.ms is not None and r.n >= 10000]
    if not dense:
        targets.append(Target(text, "<= 1.1x", "-", "NOT MEASURED"))
    else:
        r = max(dense, key=lambda r: r.n)
        if not r.verified:
            targets.append(Target(text, "<= 1.1x", "-", "MISSED (results differ)"))
        else:
            speed_up = r.ratio(r.baseline) or 0.0
            value = 1 / speed_up if speed_up else float("inf")
            targets.append(Target(f"{text} ({r.n:,} cells)", "<= 1.1x", f"{value:.2f}x",
                                  "MET" if value <= 1.1 else "MISSED"))

    narrow = find(rows, "narrow", "voronoi-2c", 20000)
    targets.append(ratio_target("narrow phase, Voronoi 20,000 cells, two collections: faster "
                                "than the baseline (one thread)", narrow, "baseline", 3))
    targets.append(ratio_target("narrow phase, same: faster than the numpy peer", narrow,
                                "peer", 30))

    text = "narrow phase, OpenMP build: 1-thread time / 2-thread time"
    if not omp or any("ms" not in omp.get(t, {}) for t in (1, 2)):
        targets.append(Target(text, ">= 1.7x", "-", "NOT MEASURED"))
    elif not all(omp[t].get("equal") for t in (1, 2)):
        targets.append(Target(text, ">= 1.7x", "-", "MISSED (results differ)"))
    else:
        value = omp[1]["ms"] / omp[2]["ms"]
        targets.append(Target(f"{text} ({omp['workload']}, {omp['n']:,} cells)", ">= 1.7x",
                              f"{value:.2f}x", "MET" if value >= 1.7 else "MISSED"))
    return targets


# --- the limits: crowded boxes, the hard narrow workload, growth, OpenMP ----------------------

FULL_SIZE = 100000   # the size the growth and OpenMP measures are stated at


def _at_every_size(text: str, rows: list[Row], kernel: str, workload: str, sizes: list[int],
                   goal: float) -> Target:
    """The speed-up over the direct algorithm, which must reach `goal` at each size."""
    goal_text = f">= {goal:g}x at each"
    found = {n: find(rows, kernel, workload, n) for n in sizes}
    measured, missing, low, estimated = [], [], False, False
    for n, row in found.items():
        value = row.ratio(row.baseline) if row is not None else None
        if row is not None and not row.verified:
            return Target(text, goal_text, f"{n:,}: results differ", "MISSED (results differ)")
        if value is None:
            missing.append(n)
            continue
        est = row.baseline.estimated or row.module.estimated
        estimated |= est
        low |= value < goal
        measured.append(f"{n // 1000}k {fmt_ratio(value, est)}")
    status = "MISSED" if low else (
        "NOT MEASURED at " + ", ".join(f"{n:,}" for n in missing) if missing else "MET")
    if low and missing:
        status += " (" + ", ".join(f"{n:,}" for n in missing) + " not measured)"
    return Target(text, goal_text, ", ".join(measured) or "-",
                  status + (" (estimated)" if estimated else ""))


def _growth(text: str, rows: list[Row], kernel: str, workload: str, per_link: bool,
            goal: float) -> Target:
    """Time (or time per link) at FULL_SIZE over that at 10,000 cells."""
    goal_text = f"<= {goal:g}"
    small, large = find(rows, kernel, workload, 10000), find(rows, kernel, workload, FULL_SIZE)
    if small is None or large is None or small.module.ms is None or large.module.ms is None:
        return Target(text, goal_text, "-", f"NOT MEASURED (10,000 and {FULL_SIZE:,}: --full)")
    if not (small.verified and large.verified):
        return Target(text, goal_text, "-", "MISSED (results differ)")
    value = large.module.ms / small.module.ms
    if per_link:
        value *= small.links / large.links
    est = large.module.estimated or small.module.estimated
    return Target(text, goal_text, ("~" if est else "") + f"{value:.2f}",
                  ("MET" if value <= goal else "MISSED") + (" (estimated)" if est else ""))


def _measured_at(text: str, goal: float, speed_up: bool, value: float | None,
                 equal: bool | None, n: int | None, what: str) -> Target:
    """A ratio from a measurement of its own, stated at FULL_SIZE cells: a speed-up to reach
    `goal`, or a cost ratio to stay within it; `what` names what is compared."""
    unit = "x" if speed_up else ""
    goal_text = f"{'>=' if speed_up else '<='} {goal:g}{unit}"
    if value is None or n is None:
        return Target(text, goal_text, "-", "NOT MEASURED")
    if not equal:
        return Target(text, goal_text, "-", f"MISSED ({what} differ)")
    status = "MET" if (value >= goal if speed_up else value <= goal) else "MISSED"
    if n != FULL_SIZE:
        status = f"{status} at {n:,}; NOT MEASURED at {FULL_SIZE:,} (--full)"
    return Target(text, goal_text, f"{value:.2f}{unit}", status)


def limit_targets(rows: list[Row], omp_broad: dict | None) -> list[Target]:
    """The six speed limits: each a ratio from this run, counted only on equal results."""
    omp_ratio = None
    if omp_broad and all("ms" in omp_broad.get(t, {}) for t in (1, 2)):
        omp_ratio = omp_broad[1]["ms"] / omp_broad[2]["ms"]
    omp_equal = bool(omp_broad) and all(omp_broad.get(t, {}).get("equal") for t in (1, 2))
    return [
        _at_every_size("1 crowded boxes, broad phase vs the direct algorithm", rows, "broad",
                       "crowded", [5000, 20000, 50000, FULL_SIZE], 1.2),
        ratio_target("2 Voronoi (random order), 20,000 cells, broad phase vs the direct "
                     "algorithm", find(rows, "broad", "voronoi", 20000), "baseline", 300),
        _growth("3 broad phase time, Voronoi 100,000 / 10,000", rows, "broad", "voronoi",
                False, 11.5),
        _at_every_size("4 narrow phase, Voronoi, random collections, threshold 0.001, vs the "
                       "direct loop", rows, "narrow", "voronoi-rc", [20000, 50000], 35),
        _growth("5 narrow phase time per link, same workload, 100,000 / 10,000", rows,
                "narrow", "voronoi-rc", True, 1.15),
        _measured_at("6 OpenMP build, broad phase, Voronoi: 1 thread / 2 threads", 1.6, True,
                     omp_ratio, omp_equal, omp_broad and omp_broad["n"], "tables"),
    ]
