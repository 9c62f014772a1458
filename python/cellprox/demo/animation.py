"""``python -m cellprox demo --frames N``: the demo's fracture flies apart (demo.motion) and one
Tracker follows its contacts frame by frame; a line a frame, no picture."""
from __future__ import annotations

import time
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any, TextIO

import numpy as np
import numpy.typing as npt

from cellprox.cells import CellSet
from cellprox.demo import motion
from cellprox.fracture import Fracture

# What a frame's work was, in the frame's line.
WORK_WORDS = {"fresh": "searched afresh", "rebuilt": "rebuilt the candidate list",
              "relisted": "relisted the cells that left their skin",
              "reused": "kept the candidate list"}
# The first frames with changes show this many of the pairs that began and ended.
FRAMES_WITH_EXAMPLES = 3
EXAMPLE_PAIRS = 3


@dataclass
class Animation:
    """A fracture's pieces and their seeds, fixed in the pieces, ready to be moved to a frame."""

    fracture: Fracture
    cells: CellSet
    explosion: motion.Explosion
    vertices: motion.RigidPoints
    seeds: motion.RigidPoints


def animation(fracture: Fracture, seed: int) -> Animation:
    """The fracture flying apart from its box's centre, the turns drawn from ``seed``."""
    cells = fracture.cell_set()
    explosion = motion.explosion(cells.vertex_data, cells.v_counts, np.asarray(fracture.box) / 2,
                                 seed=seed)
    owners = np.repeat(np.arange(len(cells)), cells.v_counts)
    return Animation(fracture, cells, explosion,
                     motion.rigid_points(explosion, cells.vertex_data, owners),
                     motion.rigid_points(explosion, fracture.origins, np.arange(len(cells))))


def frame_arrays(scene: Animation, t: int) -> tuple[npt.NDArray[np.float32], npt.NDArray[np.float32]]:
    """The packed vertices of frame ``t`` and the cells' origins: their seeds, carried along
    with their pieces (a piece's vertex mean would also do, but the seed is what frame 0
    measures distances from)."""
    return (motion.moved(scene.explosion, scene.vertices, t).astype(np.float32),
            motion.moved(scene.explosion, scene.seeds, t).astype(np.float32))


@dataclass
class FramesSummary:
    first: int = 0      # contacts at frame 0
    frames: int = 0
    contacts: int = 0
    began: int = 0
    ended: int = 0
    rebuilds: int = 0
    seconds: list[float] = field(default_factory=list)

    def line(self) -> str:
        total = sum(self.seconds)
        slowest = max(self.seconds, default=0.0)
        return (f"{self.frames:,} frames in {total:.2f} s ({1e3 * total / max(self.frames, 1):.2f} ms "
                f"a frame, slowest {1e3 * slowest:.2f} ms): {self.first:,} contacts at frame 0, "
                f"{self.contacts:,} at the last; {self.began:,} began and {self.ended:,} ended in "
                f"all; the candidate list was rebuilt {self.rebuilds:,} times")


def pairs_text(pairs: npt.NDArray[np.int32]) -> str:
    return ", ".join(f"{i}-{j}" for i, j in pairs[:EXAMPLE_PAIRS].tolist())


def frame_lines(result: Any, seconds: float, with_examples: bool) -> list[str]:
    """The line of a frame and, when asked, a line each for examples of what began and ended."""
    lines = [f"frame {result.frame}: {len(result.pairs):,} contacts, {len(result.began):,} began, "
             f"{len(result.ended):,} ended, {WORK_WORDS[result.work]}, {1e3 * seconds:.2f} ms"]
    if with_examples:
        for word, pairs in (("began", result.began), ("ended", result.ended)):
            if len(pairs):
                lines.append(f"frame {result.frame}: {len(pairs):,} contacts {word}, e.g. "
                             f"{pairs_text(pairs)}")
    return lines


def run_frames(fracture: Fracture, frames: int, threshold: float, *, rule: str, seed: int,
               workers: int | None, out: TextIO, quiet: bool = False,
               progress: Callable[[str], None] = lambda message: None) -> FramesSummary:
    """Follows the fracture flying apart for ``frames`` frames with one Tracker, printing a
    line a frame (unless ``quiet``) and the summary line to ``out``."""
    from cellprox.demo import DemoArgumentError
    from cellprox.frames import Tracker

    progress("building the cell records")
    scene = animation(fracture, seed)
    progress(f"following the pieces for {frames:,} frames")
    try:
        tracker = Tracker(scene.cells, threshold, rule=rule, workers=workers)
    except ValueError as error:
        raise DemoArgumentError(f"argument -t/--threshold: {threshold:g} was refused: "
                                f"{' '.join(str(error).split())}") from error
    summary = FramesSummary(first=len(tracker.result.pairs))
    if not quiet:
        print(f"frame 0: {summary.first:,} contacts ({rule} rule, threshold {threshold:g})", file=out)
    examples = FRAMES_WITH_EXAMPLES
    for t in range(1, frames + 1):
        vertices, origins = frame_arrays(scene, t)
        start = time.perf_counter()
        result = tracker.update(vertices, origins)
        seconds = time.perf_counter() - start
        changed = bool(len(result.began) or len(result.ended))
        if not quiet:
            print("\n".join(frame_lines(result, seconds, changed and examples > 0)), file=out,
                  flush=True)
        examples -= changed
        summary.frames = t
        summary.contacts = len(result.pairs)
        summary.began += len(result.began)
        summary.ended += len(result.ended)
        summary.seconds.append(seconds)
    summary.rebuilds = tracker.rebuilds
    print(summary.line(), file=out)
    return summary
