"""What :func:`cellprox.find_neighbors` returns: the close pairs, and the graph they make."""
from __future__ import annotations

import math
import numbers
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import numpy.typing as npt

from cellprox._messages import counted, type_name
from cellprox._cells.checks import check_state_keys
from cellprox.cells import CellSet

__all__ = ["RULES", "TIMING_KEYS", "NeighborResult"]

#: The closeness rules of :func:`cellprox.find_neighbors`.
RULES = ("vertices-edges", "hull")

#: The keys of ``NeighborResult.timings``, the same for both rules, in the order of the work:
#: ``prepare`` (checking the arguments and handing the cells over), ``tree`` (the cells' boxes
#: and the box tree over them), ``candidates`` (finding every pair of boxes within the
#: threshold) and ``measure`` (deciding each candidate by the rule; these two run interleaved,
#: block by block, and share their wall time in proportion to the thread time each took), and
#: ``collect`` (sorting the pairs, their origin distances and the result's arrays).
TIMING_KEYS = ("prepare", "tree", "candidates", "measure", "collect")


@dataclass(eq=False)
class NeighborResult:
    """What :func:`~cellprox.find_neighbors` found.

    ``pairs`` are the close pairs: (m, 2) int32 cell numbers, ``i < j`` in each row, rows
    sorted; ``distances[k]`` is the distance between the origins of ``pairs[k]``, computed in
    double and stored as float32. ``rule`` is the rule that decided them and ``threshold`` the
    threshold it used. With ``rule="hull"``, ``gaps[k]`` is the distance between the convex
    hulls of ``pairs[k]`` (float64), None otherwise. ``witnesses``, with ``rule="hull"`` and
    ``witnesses=True``, holds a point of each hull that realises each gap ((m, 2, 3) float64:
    on the hull of ``pairs[k, 0]``, then of ``pairs[k, 1]``); None otherwise.

    ``n_links`` is the number of candidates measured: the pairs of cells whose vertex boxes
    come within the threshold along every axis. Every candidate is measured, so no pair is
    lost: ``missed_pairs`` is always 0 and stays only so that code written for earlier
    versions, which could lose pairs to full rows, keeps working. ``cells`` is the
    :class:`CellSet` searched, ``timings`` the seconds of each step (keys: ``TIMING_KEYS``).

    Two results are equal (``==``) when their pairs, distances, gaps, witnesses, rule and
    threshold are; timings and the cell set's identity do not count.

    A result pickles with its cell set; loading one (and ``copy.copy``, ``copy.deepcopy``)
    checks that it holds what a result promises, and refuses anything else with a ValueError.
    """

    pairs: npt.NDArray[np.int32]
    distances: npt.NDArray[np.float32]
    threshold: float
    rule: str
    n_links: int
    cells: CellSet
    gaps: npt.NDArray[np.float64] | None = None
    witnesses: npt.NDArray[np.float64] | None = None
    timings: dict[str, float] = field(default_factory=dict)
    missed_pairs: int = 0

    def __len__(self) -> int:
        return len(self.pairs)

    def __setstate__(self, state: object) -> None:
        # Pickles come from anywhere: what numpy or a graph library would trip over later, or
        # read out of bounds, is refused here.
        self.__dict__.update(_checked_state(state))

    def __repr__(self) -> str:
        spent = ", ".join(f"{key} {self.timings[key] * 1e3:.1f}" for key in TIMING_KEYS
                          if key in self.timings)
        total = sum(self.timings.values()) * 1e3
        return (f"<NeighborResult rule={self.rule!r} threshold={self.threshold!r}: "
                f"{counted(len(self), 'pair')} among {counted(len(self.cells), 'cell')}, "
                f"{counted(self.n_links, 'candidate')} measured; {total:.1f} ms ({spent})>")

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, NeighborResult):
            return NotImplemented
        return bool(self.rule == other.rule and self.threshold == other.threshold
                    and len(self.cells) == len(other.cells)
                    and np.array_equal(self.pairs, other.pairs)
                    and np.array_equal(self.distances, other.distances)
                    and _same_optional(self.gaps, other.gaps)
                    and _same_optional(self.witnesses, other.witnesses))

    __hash__ = None  # type: ignore[assignment]

    def neighbor_counts(self) -> npt.NDArray[np.int64]:
        """The number of close neighbours of each cell, (n,)."""
        return np.bincount(self.pairs.ravel(), minlength=len(self.cells))

    def edge_values(self) -> npt.NDArray[np.floating[Any]]:
        """The value each pair carries in the graph: its gap under the hull rule, else its
        origin distance."""
        return self.gaps if self.gaps is not None else self.distances

    def adjacency(self) -> Any:
        """The neighbour graph as a symmetric ``scipy.sparse`` CSR matrix (n, n): each close
        pair stored both ways, its value the origin distance (the gap, with the hull rule).

        Entries are stored even where their value is 0 (touching hulls, cells sharing an
        origin), so ``matrix.nnz == 2 * len(result)`` and graph algorithms see every pair;
        ``scipy.sparse.csgraph.connected_components(result.adjacency())`` counts the connected
        fragments. Needs scipy.
        """
        try:
            from scipy.sparse import csr_matrix  # type: ignore[import-untyped, unused-ignore]
        except ImportError as error:
            raise ImportError("NeighborResult.adjacency needs scipy: pip install "
                              '"cellprox[graph]" (or pip install scipy)') from error

        n = len(self.cells)
        i, j = self.pairs[:, 0].astype(np.int64), self.pairs[:, 1].astype(np.int64)
        rows, columns = np.concatenate([i, j]), np.concatenate([j, i])
        order = np.lexsort((columns, rows))
        values = np.concatenate([self.edge_values()] * 2)[order]
        starts = np.zeros(n + 1, np.int64)
        np.cumsum(np.bincount(rows, minlength=n), out=starts[1:])
        # Built from its parts, so that zeros stay stored entries.
        return csr_matrix((values, columns[order], starts), shape=(n, n))

    def to_networkx(self) -> Any:
        """The neighbour graph as a ``networkx.Graph``: a node per cell (0 .. n-1) and an edge per
        close pair, with the attribute ``distance`` (origin distance) and, with the hull rule,
        ``gap``. Needs networkx (``pip install "cellprox[graph]"``)."""
        try:
            import networkx  # type: ignore[import-untyped, unused-ignore]
        except ImportError as error:
            raise ImportError("NeighborResult.to_networkx needs networkx: pip install "
                              '"cellprox[graph]" (or pip install networkx)') from error
        graph = networkx.Graph()
        graph.add_nodes_from(range(len(self.cells)))
        pairs = self.pairs.tolist()
        distances = self.distances.tolist()
        if self.gaps is None:
            graph.add_edges_from((i, j, {"distance": d}) for (i, j), d in zip(pairs, distances))
        else:
            graph.add_edges_from((i, j, {"distance": d, "gap": g})
                                 for (i, j), d, g in zip(pairs, distances, self.gaps.tolist()))
        return graph


def _same_optional(a: npt.NDArray[Any] | None, b: npt.NDArray[Any] | None) -> bool:
    if a is None or b is None:
        return a is b
    return bool(np.array_equal(a, b))


_WHO = "NeighborResult (loading a pickle)"
_REQUIRED = ("pairs", "distances", "threshold", "n_links", "cells")
#: Left out, they take their defaults (as pickles of earlier versions may leave them out).
_OPTIONAL: dict[str, Any] = {"rule": RULES[0], "gaps": None, "witnesses": None, "timings": {}, "missed_pairs": 0}


def _checked_state(state: object) -> dict[str, Any]:
    """A pickled result's fields, each checked against what a result promises."""
    check_state_keys(state, _REQUIRED + tuple(_OPTIONAL), _WHO, tuple(_OPTIONAL))
    assert isinstance(state, dict)
    given = {**_OPTIONAL, **state}
    cells = given["cells"]
    if not isinstance(cells, CellSet):
        raise ValueError(f"{_WHO}: cells is a {type_name(cells)}, but it must be the CellSet searched")
    rule = given["rule"]
    if not isinstance(rule, str) or rule not in RULES:
        raise ValueError(f"{_WHO}: rule is {rule!r}; it must be one of {', '.join(map(repr, RULES))}")
    hull = rule == "hull"
    threshold = given["threshold"]
    if isinstance(threshold, (bool, np.bool_)) or not isinstance(threshold, numbers.Real) \
            or not math.isfinite(float(threshold)) or threshold < 0 or (threshold == 0 and not hull):
        raise ValueError(f"{_WHO}: threshold is {threshold!r}, but it must be a finite number, > 0 "
                         "(>= 0 with the hull rule)")
    pairs = _pickled_array("pairs", given["pairs"], "iu", (-1, 2))
    m = len(pairs)
    if m:
        n = len(cells)
        # Compared as given: converted first, 2**32 + 1 would pass as 1.
        bad = np.flatnonzero((pairs[:, 0] < 0) | (pairs[:, 0] >= pairs[:, 1]) | (pairs[:, 1] >= n))
        if bad.size:
            k = int(bad[0])
            raise ValueError(f"{_WHO}: pair {k} is {tuple(pairs[k].tolist())}, but pairs must be cell "
                             f"numbers i < j of the {n} cells")
        key = pairs[:, 0].astype(np.int64) * n + pairs[:, 1]
        unsorted = np.flatnonzero(key[1:] <= key[:-1])
        if unsorted.size:
            k = int(unsorted[0]) + 1
            raise ValueError(f"{_WHO}: pair {k} is {tuple(pairs[k].tolist())} after "
                             f"{tuple(pairs[k - 1].tolist())}, but pairs are sorted and distinct")
    pairs = _converted("pairs", pairs, np.int32)
    distances = _converted("distances", _pickled_array("distances", given["distances"], "f", (m,)),
                           np.float32)
    if not (np.isfinite(distances) & (distances >= 0)).all():
        raise ValueError(f"{_WHO}: distances must be finite and >= 0")
    gaps, witnesses = given["gaps"], given["witnesses"]
    if hull:
        if gaps is None:
            raise ValueError(f"{_WHO}: gaps is None, but the hull rule gives each pair's gap")
        gaps = _converted("gaps", _pickled_array("gaps", gaps, "f", (m,)), np.float64)
        if not ((gaps >= 0) & (gaps <= threshold)).all():
            raise ValueError(f"{_WHO}: gaps must lie in 0..threshold ({threshold!r})")
        if witnesses is not None:
            witnesses = _converted("witnesses", _pickled_array("witnesses", witnesses, "f", (m, 2, 3)),
                                   np.float64)
            if not np.isfinite(witnesses).all():
                raise ValueError(f"{_WHO}: witnesses must be finite points")
    elif gaps is not None or witnesses is not None:
        raise ValueError(f"{_WHO}: gaps and witnesses belong to the hull rule; with rule {rule!r} "
                         "they are None")
    n_links, missed = given["n_links"], given["missed_pairs"]
    if not _is_int(n_links) or n_links < m:
        raise ValueError(f"{_WHO}: n_links is {n_links!r}, but it must be an int, at least the "
                         f"{counted(m, 'pair')} (each was a candidate)")
    if not _is_int(missed) or missed != 0:
        raise ValueError(f"{_WHO}: missed_pairs is {missed!r}, but no pair is ever missed: it is 0")
    timings = given["timings"]
    if not isinstance(timings, dict) or not all(
            isinstance(key, str) and isinstance(value, numbers.Real) for key, value in timings.items()):
        raise ValueError(f"{_WHO}: timings must be a dict of step names and seconds")
    return {"pairs": pairs, "distances": distances, "threshold": float(threshold), "rule": rule,
            "n_links": int(n_links), "cells": cells, "gaps": gaps, "witnesses": witnesses,
            "timings": {key: float(value) for key, value in timings.items()}, "missed_pairs": 0}


def _is_int(value: object) -> bool:
    return isinstance(value, numbers.Integral) and not isinstance(value, (bool, np.bool_))


def _pickled_array(name: str, value: object, kinds: str, shape: tuple[int, ...]) -> npt.NDArray[Any]:
    """``value``, refused unless it is an array of those kinds and ``shape`` (-1: any length)."""
    if not isinstance(value, np.ndarray) or value.dtype.kind not in kinds:
        described = f"{value.dtype} array" if isinstance(value, np.ndarray) else type_name(value)
        wanted = "an integer" if "i" in kinds else "a float"
        raise ValueError(f"{_WHO}: {name} is a {described}, but it must be {wanted} array")
    if value.ndim != len(shape) or any(want not in (-1, got) for want, got in zip(shape, value.shape)):
        wanted = ", ".join("m" if want == -1 else str(want) for want in shape)
        raise ValueError(f"{_WHO}: {name} has shape {value.shape}, but it must be ({wanted}"
                         f"{',' if len(shape) == 1 else ''})")
    return value


def _converted(name: str, value: npt.NDArray[Any], dtype: type[np.generic]) -> npt.NDArray[Any]:
    """A new C-ordered copy of ``value`` as ``dtype``, refused if that changes a value."""
    with np.errstate(all="ignore"):
        converted = np.array(value, dtype, order="C")
        same = np.array_equal(converted, value, equal_nan=value.dtype.kind == "f")
    if not same:
        raise ValueError(f"{_WHO}: {name} hold values that {np.dtype(dtype)} cannot, but a result "
                         f"keeps them as {np.dtype(dtype)}")
    return converted
