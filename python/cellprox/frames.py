"""Frames: a search kept from frame to frame, for cells that move.

A simulation moves its cells a little each frame and asks again which of them are close. A fresh
:func:`~cellprox.find_neighbors` each frame builds the boxes, the tree, the candidates and every
measurement from scratch, although almost nothing changed. A :class:`Tracker` keeps them:

    tracker = cellprox.Tracker(cells, 0.01, rule="hull")
    for frame in simulation:
        result = tracker.update(frame.vertices)      # (V, 3), the same rows as cells.vertex_data
        for i, j in result.began: ...                # contacts made since the last frame
        for i, j in result.ended: ...                # contacts lost

Each frame's result is the one a fresh call gives on that frame's cells, bit for bit (pairs,
distances, gaps, witnesses), whatever the cells do: creep, jump, collapse, swell. What the
tracker saves is the work whose result cannot have changed: it keeps a list of the pairs whose
boxes came within the threshold plus a *skin*, and proofs of each pair's verdict (two elements
that came close, or a lower bound of the distance less the cells' drift); a frame measures only
the pairs whose proof no longer holds. The list is made again when some cells' boxes together
moved more than the skin, and a frame where most cells leapt at once is searched afresh.
"""
from __future__ import annotations

import math
import numbers
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import numpy.typing as npt

import cellprox._proximity as _proximity
from cellprox._messages import type_name
from cellprox._progress import progress_bar
from cellprox._workers import resolve_workers
from cellprox.cells import CellSet
from cellprox.pipeline import (CellSource, _as_cell_set, _check_flag, _check_hull_vertices,
                               _check_rule, _check_threshold)
from cellprox.result import NeighborResult

__all__ = ["FRAME_WORK", "FrameResult", "Tracker"]

#: What a frame took (``FrameResult.work``): ``"fresh"`` a whole search (the first frame, and
#: frames where most cells leapt at once), ``"rebuilt"`` the candidate list made again,
#: ``"relisted"`` the list made again for the few cells that left their skin, ``"reused"`` the
#: list at hand.
FRAME_WORK = ("fresh", "rebuilt", "relisted", "reused")


def _no_pairs() -> npt.NDArray[np.int32]:
    return np.zeros((0, 2), np.int32)


@dataclass(eq=False)
class FrameResult(NeighborResult):
    """A frame's :class:`~cellprox.NeighborResult`, and what changed since the frame before.

    ``began`` are the pairs close in this frame and not in the one before, ``ended`` those close
    before and not now; (k, 2) int32, ``i < j``, rows sorted (in the first frame every pair
    began). ``frame`` counts the updates (0 for the cells the tracker was made with); ``work``
    is one of :data:`FRAME_WORK`; ``measured`` how many pairs were measured this frame, and
    ``n_links`` how many were on the candidate list (for a fresh search: its candidates).
    Two results are equal when their :class:`NeighborResult` parts are.
    """

    began: npt.NDArray[np.int32] = field(default_factory=_no_pairs)
    ended: npt.NDArray[np.int32] = field(default_factory=_no_pairs)
    frame: int = 0
    work: str = "fresh"
    measured: int = 0

    @property
    def rebuilt(self) -> bool:
        """Whether the candidate list was made this frame."""
        return self.work == "rebuilt"

    def __setstate__(self, state: object) -> None:
        if not isinstance(state, dict):
            raise ValueError(f"FrameResult (loading a pickle): the state is a {type_name(state)}, "
                             "not a dict")
        frame_part = {key: state[key] for key in _FRAME_FIELDS if key in state}
        super().__setstate__({key: value for key, value in state.items() if key not in _FRAME_FIELDS})
        self.__dict__.update(_checked_frame_part(frame_part, len(self.cells)))


_FRAME_FIELDS = ("began", "ended", "frame", "work", "measured")


def _checked_frame_part(state: dict[str, Any], n: int) -> dict[str, Any]:
    who = "FrameResult (loading a pickle)"
    checked: dict[str, Any] = {}
    for name in ("began", "ended"):
        pairs = state.get(name, _no_pairs())
        if not isinstance(pairs, np.ndarray) or pairs.dtype.kind not in "iu" or pairs.ndim != 2 \
                or pairs.shape[1] != 2 or (pairs.size and (pairs.min() < 0 or pairs.max() >= n)):
            raise ValueError(f"{who}: {name} must be (k, 2) integer cell numbers of the {n} cells")
        checked[name] = np.ascontiguousarray(pairs, np.int32)
    for name in ("frame", "measured"):
        value = state.get(name, 0)
        if not isinstance(value, numbers.Integral) or isinstance(value, (bool, np.bool_)) or value < 0:
            raise ValueError(f"{who}: {name} must be a count, not {value!r}")
        checked[name] = int(value)
    work = state.get("work", "fresh")
    if work not in FRAME_WORK:
        raise ValueError(f"{who}: work must be one of {', '.join(map(repr, FRAME_WORK))}, not {work!r}")
    checked["work"] = work
    return checked


class Tracker:
    """A search for close cells kept from frame to frame.

    ``Tracker(cells, threshold, *, rule="vertices-edges", skin=None, witnesses=False,
    workers=None, progress=False)`` takes the cells as :func:`~cellprox.find_neighbors` does (a
    :class:`CellSet`, a Fracture, or per-cell vertex arrays with ``edges=``) and searches them at
    once: :attr:`result` is that first frame's :class:`FrameResult`. Each :meth:`update` moves
    the same cells to new vertices and returns the new frame's result, equal bit for bit to
    ``find_neighbors(tracker.cells, threshold, rule=rule, witnesses=witnesses)``.

    ``skin`` is how far beyond the threshold the candidate list reaches: None (the default) lets
    the tracker choose it from the threshold, the cells' size and the motion it sees (about
    eight frames of the fastest cell's motion); a distance >= 0 fixes it. ``workers`` and
    ``progress`` as for find_neighbors; Ctrl-C stops a long frame with KeyboardInterrupt and
    leaves the tracker at the frame before.

    A tracker pickles its current cells and settings; loading one searches those cells afresh.
    One frame at a time: a second thread calling :meth:`update` while one runs gets a
    RuntimeError.
    """

    def __init__(self, cells: CellSet | CellSource | Sequence[npt.ArrayLike], threshold: float, *,
                 rule: str = "vertices-edges", skin: float | None = None,
                 witnesses: bool = False, workers: int | None = None, progress: bool = False,
                 edges: Sequence[npt.ArrayLike] | None = None) -> None:
        who = "Tracker"
        self._rule = _check_rule(rule, who)
        self._threshold = _check_threshold(threshold, self._rule, who)
        hull = self._rule == "hull"
        self._witnesses = _check_flag("witnesses", witnesses, who)
        if self._witnesses and not hull:
            raise ValueError(f"{who}: witnesses are the hull rule's closest points; pass rule='hull' "
                             "with witnesses=True")
        self._progress = _check_flag("progress", progress, who)
        self._skin = _check_skin(skin, who)
        self._workers = workers
        threads = resolve_workers(workers, who)
        cell_set = _as_cell_set(cells, edges, None, None, edges_optional=hull, workers=threads, who=who)
        if hull:
            _check_hull_vertices(cell_set, who)
        largest = int(max(cell_set.v_counts.max(), cell_set.e_counts.max())) if len(cell_set) else 1
        self._native = _proximity.tracker_start(self._rule, self._threshold, self._witnesses,
                                                -1.0 if self._skin is None else self._skin,
                                                len(cell_set), largest)
        self._cells = cell_set
        self._frame = 0
        self._result = self._track(cell_set, threads, who, first=True)

    @property
    def cells(self) -> CellSet:
        """The current frame's cells."""
        return self._cells

    @property
    def result(self) -> FrameResult:
        """The current frame's result."""
        return self._result

    @property
    def frame(self) -> int:
        """Updates so far."""
        return self._frame

    @property
    def threshold(self) -> float:
        return self._threshold

    @property
    def rule(self) -> str:
        return self._rule

    @property
    def skin(self) -> float:
        """The skin of the candidate list in use (0 before the first list is made)."""
        return float(_proximity.tracker_state(self._native)["skin"])

    @property
    def rebuilds(self) -> int:
        """How many times the candidate list was made."""
        return int(_proximity.tracker_state(self._native)["rebuilds"])

    def stats(self) -> dict[str, Any]:
        """What the tracker holds: frames, rebuilds, relists (the list made again for the cells
        that left their skin), fresh (frames searched whole), skin, motion (a frame's motion as
        lately seen), candidates (on the list) and listed."""
        return dict(_proximity.tracker_state(self._native))

    def update(self, vertices: npt.ArrayLike, origins: npt.ArrayLike | None = None) -> FrameResult:
        """Moves the cells to ``vertices`` ((V, 3) real numbers, the rows of
        ``tracker.cells.vertex_data``: the same cells, in the same order) and returns the frame's
        result. ``origins`` ((n, 3)) are the cells' new origins; None makes each the mean of its
        cell's new vertices, as :class:`CellSet` does. Anything wrong with them (a shape, a
        value that is not finite in float32) is an error naming it, and leaves the tracker as it
        was."""
        who = "Tracker.update"
        threads = resolve_workers(self._workers, who)
        # A frame keeps the cells' vertex counts: the hull rule's check of them stands.
        moved = self._cells._moved(vertices, origins, who, threads)
        return self._track(moved, threads, who, first=False)

    def _track(self, cells: CellSet, threads: int, who: str, *, first: bool) -> FrameResult:
        vertices, vertex_starts, edge_data, edge_starts, origins, collections = cells.search_arrays()
        previous = None if first else self._cells.vertex_data
        with progress_bar(self._progress, f"Tracker frame {self._frame + (0 if first else 1)}",
                          None) as bar:
            try:
                (pair_bytes, distance_bytes, gap_bytes, witness_bytes, began, ended, measured,
                 listed, work, timings) = _proximity.tracker_frame(
                    self._native, vertices, vertex_starts, edge_data, edge_starts, origins,
                    collections, previous, _follow(bar) if self._progress else None,
                    threads)
            except (ValueError, MemoryError) as error:
                raise type(error)(f"{who}: {error}") from None
        pairs = np.frombuffer(pair_bytes, np.int32).reshape(-1, 2)
        result = FrameResult(
            pairs=pairs, distances=np.frombuffer(distance_bytes, np.float32),
            threshold=self._threshold, rule=self._rule,
            n_links=int(listed) if work != "fresh" else int(measured), cells=cells,
            gaps=None if gap_bytes is None else np.frombuffer(gap_bytes, np.float64),
            witnesses=None if witness_bytes is None
            else np.frombuffer(witness_bytes, np.float64).reshape(-1, 2, 3),
            timings={"prepare": 0.0, **timings},
            began=np.frombuffer(began, np.int32).reshape(-1, 2),
            ended=np.frombuffer(ended, np.int32).reshape(-1, 2),
            frame=self._frame if first else self._frame + 1, work=work, measured=int(measured))
        # The frame stands: only now does the tracker move on.
        if not first:
            self._frame += 1
        self._cells = cells
        self._result = result
        return result

    def __reduce__(self) -> tuple[Any, ...]:
        return (_load_tracker, (self._cells, self._threshold, self._rule, self._skin,
                                self._witnesses, self._workers, self._progress, self._frame))

    def __repr__(self) -> str:
        state = self.stats()
        return (f"<Tracker rule={self._rule!r} threshold={self._threshold!r}: {len(self._cells):,} "
                f"cells, frame {self._frame}, {len(self._result):,} close pairs, skin "
                f"{state['skin']:g}, {state['rebuilds']} rebuilds>")


def _load_tracker(cells: CellSet, threshold: float, rule: str, skin: float | None,
                  witnesses: bool, workers: int | None, progress: bool, frame: int) -> Tracker:
    if not isinstance(cells, CellSet):
        raise ValueError(f"Tracker (loading a pickle): cells is a {type_name(cells)}, not a CellSet")
    tracker = Tracker(cells, threshold, rule=rule, skin=skin, witnesses=witnesses, workers=workers,
                      progress=progress)
    if not isinstance(frame, numbers.Integral) or isinstance(frame, bool) or frame < 0:
        raise ValueError(f"Tracker (loading a pickle): frame must be a count, not {frame!r}")
    tracker._frame = int(frame)
    tracker._result.frame = int(frame)
    return tracker


def _check_skin(skin: object, who: str) -> float | None:
    if skin is None:
        return None
    if isinstance(skin, (bool, np.bool_)) or not isinstance(skin, numbers.Real):
        raise TypeError(f"{who}: skin must be None (the tracker chooses) or a distance >= 0, not "
                        f"{type_name(skin)}")
    value = float(skin)
    if not (math.isfinite(value) and value >= 0.0):
        raise ValueError(f"{who}: skin is {value}, but it must be a finite distance >= 0 (or None: "
                         "the tracker chooses)")
    return value


def _follow(bar: Any) -> Callable[[int, int], None]:
    def follow(done: int, total: int) -> None:
        bar.total = total
        bar.update(done)
    return follow
