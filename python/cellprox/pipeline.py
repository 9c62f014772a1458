"""``find_neighbors``: every pair of cells close under a rule, found exactly, in one native call.

The package's own search (the private module ``cellprox._proximity``) finds every pair of
cells whose vertex boxes come within the threshold along every axis, through a box tree, and
decides each by the rule, in double precision: nothing is capped, nothing is dropped, and cells
elsewhere in the scene, however far, change no pair and no distance. The raw kernels
(``get_bb_intersections``, ``generate_neighbors``) stay as they are for those who call them
directly, with :func:`link_tables` and :meth:`CellSet.attach_links`.
"""
from __future__ import annotations

import math
import numbers
import time
from collections.abc import Callable, Sequence
from typing import Any, Protocol, cast, runtime_checkable

import numpy as np
import numpy.typing as npt

import cellprox._proximity as _proximity
from cellprox._messages import type_name
from cellprox._progress import progress_bar
from cellprox.cells import MAX_CELL_LINKS, CellSet
from cellprox._workers import resolve_workers
from cellprox.result import RULES, NeighborResult

__all__ = ["BOX_MARGIN", "RULES", "NeighborResult", "find_neighbors", "link_tables"]

#: The margin the raw broad phase (``get_bb_intersections``) adds to every side of every box.
BOX_MARGIN = 0.002


@runtime_checkable
class CellSource(Protocol):
    """Anything that can give a CellSet, such as a :class:`cellprox.fracture.Fracture`."""

    def cell_set(self) -> CellSet: ...


def link_tables(cell_count: int) -> tuple[npt.NDArray[np.int32], npt.NDArray[np.int32],
                                          npt.NDArray[np.uint8]]:
    """Empty link tables as the raw broad phase requires: links (n, 30) all -1, link_starts all
    -1, link_count all 0."""
    if isinstance(cell_count, (bool, np.bool_)) or not isinstance(cell_count, numbers.Integral):
        raise TypeError(f"link_tables: cell_count must be an integer, not {type_name(cell_count)}")
    if cell_count < 0:
        raise ValueError(f"link_tables: cell_count is {cell_count}; it must be 0 or more")
    return (np.full((cell_count, MAX_CELL_LINKS), -1, np.int32),
            np.full(cell_count, -1, np.int32),
            np.zeros(cell_count, np.uint8))


def find_neighbors(cells: CellSet | CellSource | Sequence[npt.ArrayLike], threshold: float, *,
                   edges: Sequence[npt.ArrayLike] | None = None,
                   origins: npt.ArrayLike | None = None,
                   collections: npt.ArrayLike | None = None,
                   debug: bool = False, rule: str = "vertices-edges", witnesses: bool = False,
                   progress: bool = False, workers: int | None = None) -> NeighborResult:
    """Finds every pair of cells that comes closer than ``threshold``.

    ``cells`` is a :class:`CellSet`, anything with a ``cell_set()`` method (a
    :class:`~cellprox.fracture.Fracture`), or a sequence of per-cell (v, 3) vertex arrays, in
    which case ``edges`` (one (e, 2) array per cell; optional for the hull rule), ``origins``
    and ``collections`` (default: all 0) are passed on to :class:`CellSet`.

    ``rule="vertices-edges"`` (the default) is the kernels' rule: cells of one collection are
    close when a vertex of one lies strictly within ``threshold`` of a vertex of the other,
    cells of different collections when an edge of one does of an edge of the other (the
    segment distance). ``rule="hull"``: two cells are close when the convex hulls of their
    vertices are at most ``threshold`` apart (0 when they touch, overlap or nest), whatever
    their collections; ``result.gaps`` gives each pair's hull distance, and with
    ``witnesses=True`` ``result.witnesses`` a point of each hull that realises it.

    Every pair of cells whose vertex boxes come within ``threshold`` along every axis is a
    candidate, and every candidate is measured: no pair is lost, however crowded or spread the
    scene. Each pair is decided as double-precision arithmetic on the cells' float32
    coordinates decides it (a float32 pass with a proven error bound decides most pairs, the
    rest are measured again in double), and origin distances are computed in double and
    stored as float32.

    ``threshold`` is a real number (not a bool): finite and positive for the default rule,
    finite and >= 0 for the hull rule; otherwise a ValueError (a TypeError for another type).
    Two close cells whose origins are too far apart for a float32 distance are a ValueError.
    With ``debug`` (default rule only) a summary of three cells' records is printed to standard
    output first. With ``progress`` the search reports its progress on standard error. Ctrl-C
    stops the search within a moment with KeyboardInterrupt. When the close pairs outgrow the
    memory, a MemoryError says how many it held and how many candidates it had found.

    ``workers`` is how many threads the search may use: None (the default) every core this
    process may use (or ``CELLPROX_WORKERS`` from the environment), a count of 1 to 1,024, or
    -1 for every core. The result is the same, bit for bit, for any count.
    """
    start = time.perf_counter()
    rule = _check_rule(rule)
    value = _check_threshold(threshold, rule)
    hull = rule == "hull"
    if debug and hull:
        raise ValueError("find_neighbors: debug prints the vertices-and-edges rule's records; leave "
                         "it out with rule='hull'")
    if witnesses and not hull:
        raise ValueError("find_neighbors: witnesses are the hull rule's closest points; pass "
                         "rule='hull' with witnesses=True")
    use_debug = _check_flag("debug", debug)
    _check_flag("witnesses", witnesses)
    _check_flag("progress", progress)
    threads = resolve_workers(workers, "find_neighbors")
    cell_set = _as_cell_set(cells, edges, origins, collections, edges_optional=hull, workers=threads)
    if hull:
        _check_hull_vertices(cell_set)
    arrays = cell_set.search_arrays()
    if use_debug:
        _proximity.debug_dump(cell_set.records)
    prepared = time.perf_counter() - start

    vertices, vertex_starts, edge_data, edge_starts, origin_points, collection_numbers = arrays
    with progress_bar(bool(progress), f"find_neighbors ({rule})", len(cell_set)) as bar:
        try:
            pair_bytes, distance_bytes, gap_bytes, witness_bytes, candidates, timings = \
                _proximity.close_pairs(vertices, vertex_starts, edge_data, edge_starts, origin_points,
                                       collection_numbers, value, rule, bool(witnesses),
                                       _follow(bar) if progress else None, threads)
        except (ValueError, MemoryError) as error:
            raise type(error)(f"find_neighbors: {error}") from None
    start = time.perf_counter()
    result = NeighborResult(
        pairs=np.frombuffer(pair_bytes, np.int32).reshape(-1, 2),
        distances=np.frombuffer(distance_bytes, np.float32),
        threshold=value, rule=rule, n_links=int(candidates), cells=cell_set,
        gaps=None if gap_bytes is None else np.frombuffer(gap_bytes, np.float64),
        witnesses=None if witness_bytes is None else np.frombuffer(witness_bytes, np.float64).reshape(-1, 2, 3),
        timings={"prepare": prepared, **timings})
    result.timings["collect"] += time.perf_counter() - start
    return result


def _follow(bar: Any) -> Callable[[int, int], None]:
    """The native search's progress callback: cells done, of all."""
    def follow(done: int, total: int) -> None:
        bar.update(done)
    return follow


def _check_rule(rule: object, who: str = "find_neighbors") -> str:
    if not isinstance(rule, str):
        raise TypeError(f"{who}: rule must be a str, one of {', '.join(map(repr, RULES))}; "
                        f"not {type_name(rule)}")
    if rule not in RULES:
        raise ValueError(f"{who}: rule {str(rule)!r} is not known; choose "
                         f"{' or '.join(map(repr, RULES))}")
    return rule


def _check_threshold(threshold: object, rule: str, who: str = "find_neighbors") -> float:
    if isinstance(threshold, (bool, np.bool_)) or not isinstance(threshold, numbers.Real):
        raise TypeError(
            f"{who}: threshold must be a real number (a distance such as 0.001), not "
            f"{type_name(threshold)}")
    try:
        value = float(threshold)
    except OverflowError:
        raise ValueError(f"{who}: threshold is {threshold!r}, beyond the range of a "
                         "double; give a finite distance such as 0.001") from None
    if rule == "hull":
        if not (math.isfinite(value) and value >= 0.0):
            raise ValueError(
                f"{who}: threshold is {value}, but the hull rule needs a finite distance "
                ">= 0 (0 finds the cells that touch or overlap); for example 0.001")
    elif not (math.isfinite(value) and value > 0.0):
        raise ValueError(
            f"{who}: threshold is {value}, but it must be a positive finite distance "
            "(no pair of cells is closer than 0 or less); try 0.001")
    return value


def _check_flag(name: str, value: object, who: str = "find_neighbors") -> bool:
    if not isinstance(value, (bool, np.bool_, numbers.Integral)):
        raise TypeError(f"{who}: {name} must be True or False, not {type_name(value)}")
    return bool(value)


def _as_cell_set(cells: object, edges: Sequence[npt.ArrayLike] | None,
                 origins: npt.ArrayLike | None, collections: npt.ArrayLike | None, *,
                 edges_optional: bool, workers: int, who: str = "find_neighbors") -> CellSet:
    if isinstance(cells, (CellSet, CellSource)):
        given = [name for name, value in (("edges", edges), ("origins", origins),
                                          ("collections", collections)) if value is not None]
        if given:
            raise ValueError(
                f"{who}: {', '.join(given)} apply only to per-cell vertex arrays; a "
                f"{type_name(cells)} already has them. Build the CellSet with the values "
                "you want instead")
        return cells if isinstance(cells, CellSet) else cells.cell_set()
    if isinstance(cells, np.ndarray) and cells.dtype != object and cells.ndim == 2:
        raise TypeError(
            f"{who}: cells is one {cells.shape} array, but it must be a sequence with "
            "one (v, 3) vertex array per cell; for a single cell pass [vertices]")
    if isinstance(cells, (str, bytes)) or not isinstance(cells, (Sequence, np.ndarray)):
        raise TypeError(
            f"{who}: cells must be a CellSet, a Fracture or a sequence of (v, 3) vertex "
            f"arrays, not {type_name(cells)}")
    vertices = cast("Sequence[npt.ArrayLike]", cells)
    numbers_given = 0 if collections is None else collections
    if edges is not None:
        return CellSet(vertices, edges, origins=origins, collections=numbers_given, workers=workers)
    if not edges_optional:
        raise TypeError(
            f"{who}: given per-cell vertex arrays, it also needs edges=[...] with one "
            "(e, 2) array of vertex numbers per cell; or pass a CellSet")
    return CellSet._without_edges(vertices, origins=origins, collections=numbers_given,
                                  workers=workers)


def _check_hull_vertices(cells: CellSet, who: str = "find_neighbors") -> None:
    empty = np.flatnonzero(cells.v_counts == 0)
    if empty.size:
        raise ValueError(
            f"{who}: cell {int(empty[0])} has no vertices, but the hull rule measures "
            "the hull of each cell's vertices; give it at least one vertex or leave it out")
