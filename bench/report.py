"""The benchmark's report: the results table, the speed targets and the machine, as text on
standard output and optionally as markdown and JSON."""
from __future__ import annotations

import argparse
import json
import os
import platform
import subprocess
from dataclasses import asdict, dataclass

import numpy as np

from systems import Row


def fmt_ratio(value: float | None, estimated: bool = False) -> str:
    if value is None:
        return "-"
    return ("~" if estimated else "") + (f"{value:.0f}x" if value >= 100 else f"{value:.2f}x"
                                         if value < 10 else f"{value:.1f}x")


HEADER = ["kernel", "workload", "N", "links", "module ms", "baseline ms", "peer", "peer ms",
          "baseline/module", "peer/module", "near thr.", "check"]


def row_cells(r: Row) -> list[str]:
    return [r.kernel, r.workload, f"{r.n:,}", f"{r.links:,}", r.module.text(), r.baseline.text(),
            r.peer_name, r.peer.text(),
            fmt_ratio(r.ratio(r.baseline), r.baseline.estimated or r.module.estimated),
            fmt_ratio(r.ratio(r.peer), r.peer.estimated or r.module.estimated),
            "-" if r.near_threshold is None else str(r.near_threshold), r.check]


def text_table(header: list[str], rows: list[list[str]],
               right: tuple[int, ...] = (2, 3, 4, 5, 7, 8, 9, 10)) -> str:
    """Columns padded to their widest cell; the columns in `right` aligned to the right."""
    widths = [max(len(header[k]), *(len(r[k]) for r in rows)) if rows else len(header[k])
              for k in range(len(header))]
    line = lambda cells: "  ".join(c.rjust(w) if k in right else c.ljust(w)  # noqa: E731
                                   for k, (c, w) in enumerate(zip(cells, widths))).rstrip()
    return "\n".join([line(header), line(["-" * w for w in widths])] + [line(r) for r in rows])


def markdown_table(header: list[str], rows: list[list[str]]) -> str:
    out = ["| " + " | ".join(header) + " |", "|" + "|".join(" --- " for _ in header) + "|"]
    out += ["| " + " | ".join(r) + " |" for r in rows]
    return "\n".join(out)


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


def machine() -> dict:
    model = platform.processor() or "unknown"
    try:
        for line in subprocess.run(["lscpu"], capture_output=True, text=True).stdout.splitlines():
            if line.startswith("Model name:"):
                model = line.split(":", 1)[1].strip()
    except OSError:
        pass
    info = {"cpu": model, "cores": os.cpu_count(), "python": platform.python_version(),
            "load": "/".join(f"{x:.1f}" for x in os.getloadavg()),
            "numpy": np.__version__,
            "OPENBLAS_CORETYPE": os.environ.get("OPENBLAS_CORETYPE", "(unset)"),
            "OPENBLAS_L2_SIZE": os.environ.get("OPENBLAS_L2_SIZE", "(unset)")}
    try:
        from threadpoolctl import threadpool_info
        info["blas"] = ", ".join(sorted({
            f"{p.get('internal_api')} {p.get('version', '')} {p.get('architecture', '')}".strip()
            for p in threadpool_info() if p.get("user_api") == "blas"}))
    except ImportError:
        pass
    return info


def _openmp_lines(result: dict, phase: str, what: str, equal: str) -> list[str]:
    """One line per thread count of an OpenMP build's measurement."""
    lines = []
    for threads in (1, 2):
        r = result.get(threads, {})
        lines.append(f"OpenMP build, {phase}, {result['workload']} {result['n']:,} cells, "
                     f"OMP_NUM_THREADS={threads}: "
                     + (f"{r['ms']:.1f} ms (median of {r['runs']}), {what} "
                        f"{equal if r['equal'] else 'DIFFER'}"
                        if "ms" in r else f"failed: {r.get('error')}"))
    return lines


def report(rows: list[Row], targets: list[Target], limits: list[Target], omp: dict | None,
           omp_broad: dict | None, args: argparse.Namespace,
           time_box: float) -> None:
    table = [row_cells(r) for r in rows]
    notes = [
        "Times: wall-clock median of up to {} runs; '~' marks an estimate (a run "
        "predicted to exceed the {:.0f} s time box, extrapolated from the two largest sizes "
        "measured; numpy peer timed on {} sampled links and scaled to all).".format(
            args.repeat, time_box, args.peer_links),
        "check: module vs baseline, bit for bit (broad: widened boxes, links, link_starts, "
        "link_count, n_links; where the baseline was not run, against the tables rebuilt "
        "from the exact overlapping pairs). near thr.: links with a vertex or edge pair within "
        f"{args.near_ulps} ulps of the threshold and none below it (decisions rounding could "
        "flip; expected 0).",
    ]
    omp_lines = []
    if omp and "first_block_share" in omp:
        share = omp["first_block_share"]
        omp_lines.append(f"Static schedule of the cell loop on 2 threads: the first half of "
                         f"the cells owns {share:.0%} of the links (a pair is recorded in the "
                         f"lower row), so if links cost about alike, a split by cells bounds the "
                         f"2-thread speed-up near {1 / share:.2f}x; a split by links would not.")
    if omp:
        omp_lines += _openmp_lines(omp, "narrow phase", "results", "equal to the baseline")
    once = [f"{r.kernel} {r.workload} {r.n:,} {name}" for r in rows
            for name in ("module", "baseline") if getattr(r, name).runs == 1 and args.repeat > 1]
    if once:
        notes.append("Measured once (a single run took the repeat budget): " + "; ".join(once)
                     + ".")
    if omp_broad:
        omp_lines += _openmp_lines(omp_broad, "broad phase", "tables", "equal to the reference")
    target_rows = [[t.text, t.goal, t.measured, t.status] for t in targets]
    limit_header = ["measure", "value", "target", "met/missed"]
    limit_rows = [[t.text, t.measured, t.goal, t.status] for t in limits]
    info = machine()
    machine_line = (f"Machine: {info['cpu']}, {info['cores']} cores; Python {info['python']}, "
                    f"numpy {info['numpy']}, BLAS {info.get('blas', 'unknown')}; "
                    f"OPENBLAS_CORETYPE {info['OPENBLAS_CORETYPE']}, "
                    f"OPENBLAS_L2_SIZE {info['OPENBLAS_L2_SIZE']}; load average at the end "
                    f"{info['load']} (1, 5, 15 min)"
                    + ("; above the core count: other work shared the cores, timings are noisy."
                       if os.getloadavg()[1] > (os.cpu_count() or 1) - 0.5 else "."))
    print()
    print(machine_line)
    print()
    print(text_table(HEADER, table))
    print()
    for line in notes + omp_lines:
        print(line)
    print()
    print(text_table(["target", "goal", "measured", "status"], target_rows))
    print()
    print(text_table(limit_header, limit_rows, right=()))
    for r in rows:
        for d in r.details:
            print(f"  {r.kernel} {r.workload} {r.n:,}: {d}")
    if args.markdown:
        md = [machine_line, "", markdown_table(HEADER, table), ""]
        md += [n + "  " for n in notes + omp_lines]
        md += ["", markdown_table(["target", "goal", "measured", "status"], target_rows), ""]
        md += [markdown_table(limit_header, limit_rows), ""]
        args.markdown.parent.mkdir(parents=True, exist_ok=True)
        args.markdown.write_text("\n".join(md))
    if args.json:
        args.json.parent.mkdir(parents=True, exist_ok=True)
        args.json.write_text(json.dumps({
            "machine": info, "rows": [asdict(r) for r in rows],
            "targets": [asdict(t) for t in targets], "limits": [asdict(t) for t in limits],
            "openmp": omp, "openmp_broad": omp_broad},
            indent=1, default=str))
