"""The demo's text summary of a run: the cells, the candidate and confirmed pairs by collection,
how many face-sharing pairs were confirmed, the neighbours per cell and the times."""
from __future__ import annotations

import sys

import numpy as np
import numpy.typing as npt

from cellprox._messages import counted
from cellprox._native import describe
from cellprox.fracture import Fracture
from cellprox.pipeline import NeighborResult

# With so many candidates and not one confirmed, the cells are probably not cut from one
# pattern, and the hull rule is the question to ask.
HULL_HINT_CANDIDATES = 10


def across(fracture: Fracture, pairs: npt.NDArray[np.int32]) -> npt.NDArray[np.bool_]:
    """For each pair, whether its two cells belong to different collections."""
    result: npt.NDArray[np.bool_] = (fracture.collections[pairs[:, 0]]
                                     != fracture.collections[pairs[:, 1]])
    return result


def summarize(fracture: Fracture, result: NeighborResult, seconds: dict[str, float],
              seed: int, collections: int = 1) -> str:
    """The demo's text summary of a run asked for ``collections`` collections.

    Of the result it reads only what both rules give: the pairs, the candidates measured, the
    rule, the threshold and the timings.
    """
    n = len(fracture)
    found = _pair_keys(result.pairs, n)
    faces = _pair_keys(fracture.neighbors, n)
    face_found = int(np.isin(faces, found).sum())
    counts = np.bincount(result.pairs.ravel(), minlength=n)
    is_across = across(fracture, result.pairs)
    per_collection = np.bincount(fracture.collections, minlength=collections)
    empty = int((per_collection == 0).sum())
    edges = sum(len(e) for e in fracture.edges) / max(n, 1)
    share = f"{100.0 * face_found / len(faces):.1f}%" if len(faces) else "-"
    where = "the unit box" if fracture.box == (1.0, 1.0, 1.0) else f"the box {fracture.box}"
    # Under either rule find_neighbors measures every pair whose vertex boxes come within the
    # threshold along every axis.
    if result.rule == "hull":
        found_by = ("hull distance within the threshold",) * 2
    else:
        found_by = ("vertex within the threshold", "edge within the threshold")
    lines = [
        f"cellprox demo: {n:,} Voronoi cells of {where}, "
        f"{counted(len(per_collection), 'collection')}, seed {seed}; native module "
        f"{describe(sys.modules['cellprox'], with_file=False)}",
        "",
        f"  cells                {n:>10,}  "
        f"({' + '.join(f'{c:,}' for c in per_collection)} by collection; "
        f"{edges:.1f} edges per cell)",
    ]
    if empty:
        lines.append(f"  {'':21}{'':>10}  {counted(empty, 'collection')} without cells: "
                     "collections are slabs along x, and no seed fell in "
                     f"{'it' if empty == 1 else 'them'}; ask for fewer collections or more "
                     "cells")
    lines += [
        f"  candidate pairs      {result.n_links:>10,}  vertex boxes within the threshold",
        f"  confirmed neighbours {len(result.pairs):>10,}  {result.rule} rule, threshold "
        f"{result.threshold:g}",
        f"    same collection    {int((~is_across).sum()):>10,}  {found_by[0]}",
        f"    across collections {int(is_across.sum()):>10,}  {found_by[1]}",
        f"  face-sharing pairs   {len(faces):>10,}  {face_found:,} of them confirmed ({share})",
    ]
    if n:
        lines.append(
            f"  neighbours per cell  min {int(counts.min())}, median {np.median(counts):g}, "
            f"mean {counts.mean():.1f}, max {int(counts.max())}")
    if (result.rule != "hull" and not len(result.pairs)
            and result.n_links >= HULL_HINT_CANDIDATES):
        lines.append(
            f"  not one of {result.n_links:,} candidate pairs confirmed: the vertices-edges "
            "rule compares vertices and edges only, for cells cut from one pattern; for convex "
            "pieces from elsewhere (overlapping, nested, moved) try --rule hull")
    lines.append("")
    lines.append("  time   " + timings_text(seconds, getattr(result, "timings", None) or {}))
    return "\n".join(lines)


def timings_text(seconds: dict[str, float], steps: dict[str, float]) -> str:
    """The demo's times, and find_neighbors' own steps (whichever it reports) after its total."""
    entries = []
    for name, value in seconds.items():
        entry = f"{name} {value:.3f} s"
        if name == "neighbours" and steps:
            entry += " (" + ", ".join(f"{step.replace('_', ' ')} {float(time_taken):.3f}"
                                     for step, time_taken in steps.items()) + ")"
        entries.append(entry)
    return " | ".join(entries)



def _pair_keys(pairs: npt.NDArray[np.int32], n: int) -> npt.NDArray[np.int64]:
    pairs64 = np.sort(pairs.astype(np.int64), axis=1)
    keys: npt.NDArray[np.int64] = pairs64[:, 0] * n + pairs64[:, 1]
    return keys
