"""The benchmark's report: the results table, the speed targets and the machine, as text on
standard output and optionally as markdown and JSON. The table's cells are written by tables.py,
the targets measured by targets.py."""
from __future__ import annotations

import argparse
import json
import os
import platform
import subprocess
from dataclasses import asdict

import numpy as np

from systems import Row
from tables import HEADER, markdown_table, row_cells, text_table
from targets import Target


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
