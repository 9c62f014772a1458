"""What :func:`cellprox.find_neighbors` returns: the close pairs, and the graph they make."""
from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

import numpy as np
import numpy.typing as npt

from cellprox._messages import counted
from cellprox.cells import CellSet

__all__ = ["TIMING_KEYS", "NeighborResult"]

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
    hulls of ``pairs[k]`` (float64), None otherwise. ``witnesses``, the points that realise each
    gap, is None: the search does not keep them yet (``witnesses=True`` is refused).

    ``n_links`` is the number of candidates measured: the pairs of cells whose vertex boxes
    come within the threshold along every axis. Every candidate is measured, so no pair is
    lost: ``missed_pairs`` is always 0 and stays only so that code written for earlier
    versions, which could lose pairs to full rows, keeps working. ``cells`` is the
    :class:`CellSet` searched, ``timings`` the seconds of each step (keys: ``TIMING_KEYS``).

    Two results are equal (``==``) when their pairs, distances, gaps, witnesses, rule and
    threshold are; timings and the cell set's identity do not count.
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
        from scipy.sparse import csr_matrix  # type: ignore[import-untyped, unused-ignore]

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
