"""Cells that move: a Tracker's frames against a fresh find_neighbors call on each frame, and
against coal's broad phase moving its objects.

    python bench/frames.py [--quick] [--frames N] [--workers 1] [--only drift,teleport,fracture]

Every timing runs on ``--workers`` threads (1 by default) on both sides; ratios are of medians
(or of the tracker's mean frame) within one run.

1. **drift**: 100,000 jittered cubes (bench/cores.py's scene: side 0.8 on the unit lattice,
   jitter 0.1, two collections, threshold 0.2), each taking a random-walk step every frame (a
   random direction, length uniform in [0, 0.008]: at most 1 % of its side), for 100 frames, with
   both rules. The mean ``update`` against the median fresh call on every tenth frame's cells
   (the CellSet built outside the timing); goals 0.2x (default rule) and 0.3x (hull rule). Beside
   it, the whole fresh frame from the same packed vertices the tracker takes (the CellSet made
   with from_packed, then searched) and the tracker's ratio to that; and the median of five
   updates with the last frame's vertices given again (no cell moves: the least a frame costs
   the tracker). Peak
   memory of a fresh process running the tracker against one making the fresh calls, each
   measured from after the scene is made; goal 2x. The tracker's results are checked against
   the fresh calls (and its began/ended against its own consecutive pairs) outside the timing.
2. **teleport**: the same cubes, every cube sent to another lattice site (one random cycle
   through all the sites, fresh jitter) in each of --teleports frames in a row; the median
   ``update`` against the median fresh call; goal 1.1x.
3. **fracture**: a Voronoi fracture of 20,000 pieces (threshold a hundredth of the seed
   spacing, as bench/hull_scenes.py's fracture) flying apart and turning
   (cellprox.demo.motion), hull rule, 30 frames. Ours: the frame's vertices made with numpy
   from the pieces' motion plus ``update``. coal: hulls built once about each piece's centroid,
   then every frame every object's transform set and its box recomputed, the manager's
   ``update()`` and ``collide`` with ``CollisionCallBackDefault`` (security margin the
   threshold); the faster manager and GJK setting picked once (bench/hull_peers.py). Goal: coal's
   frame at least 20x ours. coal's pairs are compared with ours on every frame, and our fresh call
   on the same frames is printed for reference.

--quick: 3,000 cubes, 1,000 pieces, 10 frames, two teleports, well under a minute. Where cellprox
has no Tracker, the tracker's columns are left empty with a note and the rest still runs.
"""
from __future__ import annotations

import argparse
import gc
import json
import statistics
import subprocess
import sys
import time
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))

import cellprox  # noqa: E402
from cellprox.cells import CellSet  # noqa: E402
from cellprox.demo import motion  # noqa: E402
from cores import CUBE_MOVE, CUBE_SIDE, CUBE_THRESHOLD, jittered_cubes  # noqa: E402
from cores_report import machine_line, verdict  # noqa: E402
from hull_peers import coal_available, coal_callback, coal_contacts, coal_objects, coal_settings  # noqa: E402
from process_usage import peak_mb, reset_peak, status_mb  # noqa: E402
from tables import markdown_table  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent
CACHE = ROOT / "build" / "bench" / "hull"
Tracker: Any = getattr(cellprox, "Tracker", None)
NO_TRACKER = "cellprox has no Tracker in this build: the tracker columns are skipped"

FULL = {"cubes": 100_000, "pieces": 20_000, "drift frames": 100, "fracture frames": 30,
        "teleports": 5, "fresh every": 10}
QUICK = {"cubes": 3_000, "pieces": 1_000, "drift frames": 10, "fracture frames": 10,
         "teleports": 2, "fresh every": 5}
# A drift step is at most this share of a cube's side.
DRIFT_STEP = 0.01
# Updates with the drift's last vertices given again, after it.
STILL_FRAMES = 5
GOALS = {"vertices-edges": 0.2, "hull": 0.3, "teleport": 1.1, "memory": 2.0, "coal": 20.0}
RULES = ("vertices-edges", "hull")


# --- scenes ---------------------------------------------------------------------------------

@dataclass
class Packed:
    """Cells as CellSet.from_packed takes them, vertices at frame 0; each frame brings new
    vertices for the same rows."""

    vertices: np.ndarray
    vertex_offsets: np.ndarray
    edges: np.ndarray
    edge_offsets: np.ndarray
    collections: np.ndarray

    @property
    def n(self) -> int:
        return len(self.collections)

    def cell_set(self, vertices: np.ndarray, workers: int) -> CellSet:
        return CellSet.from_packed(vertices, self.vertex_offsets, self.edges, self.edge_offsets,
                                   collections=self.collections, workers=workers)


# bench/cores.py's jittered cubes.
Cubes = Packed


def cubes(n: int) -> Cubes:
    (vertices, vertex_offsets, edges, edge_offsets), collections = jittered_cubes(n)
    return Cubes(vertices, vertex_offsets, edges, edge_offsets, collections)


def random_steps(rng: np.random.Generator, n: int, longest: float) -> np.ndarray:
    """n steps in random directions, their lengths uniform in [0, longest]."""
    directions = rng.normal(size=(n, 3))
    directions /= np.linalg.norm(directions, axis=1)[:, None]
    return directions * rng.uniform(0.0, longest, (n, 1))


def drifting(scene: Cubes, frames: int, seed: int = 2) -> Iterator[np.ndarray]:
    """Frames 1 to `frames` of the cubes' random walk: each frame's packed vertices."""
    rng = np.random.default_rng(seed)
    corners = scene.vertices.astype(np.float64).reshape(scene.n, 8, 3)
    place = np.zeros((scene.n, 1, 3))
    for _ in range(frames):
        place[:, 0] += random_steps(rng, scene.n, DRIFT_STEP * CUBE_SIDE)
        yield (corners + place).reshape(-1, 3).astype(np.float32)


def teleports(scene: Cubes, count: int, seed: int = 3) -> Iterator[np.ndarray]:
    """`count` frames, in each of which every cube moves to another cube's lattice site (one
    random cycle through all of them, so that none stays) with new jitter."""
    rng = np.random.default_rng(seed)
    corners = scene.vertices.astype(np.float64).reshape(scene.n, 8, 3)
    low = corners.min(axis=1)
    shape = corners - low[:, None]
    site = np.round(low)       # the jitter is below half the lattice's step
    for _ in range(count):
        order = rng.permutation(scene.n)
        new_site = np.empty_like(site)
        new_site[order] = site[np.roll(order, -1)]
        site = new_site
        low = site + rng.uniform(-CUBE_MOVE, CUBE_MOVE, site.shape)
        yield (shape + low[:, None]).reshape(-1, 3).astype(np.float32)


@dataclass
class Pieces:
    """A Voronoi fracture, packed, with its explosion."""

    packed: Packed
    threshold: float
    explosion: motion.Explosion
    points: motion.RigidPoints

    def frame(self, t: int) -> np.ndarray:
        return motion.moved(self.explosion, self.points, t).astype(np.float32)

    def per_piece(self, vertices: np.ndarray) -> list[np.ndarray]:
        return np.split(vertices, self.packed.vertex_offsets[1:-1])


def pieces(n: int, cache: bool) -> Pieces:
    from hull_scenes import fracture_cells
    scene = fracture_cells(n, cache_dir=CACHE if cache else None)
    made: Any = scene.source
    v_counts = np.array([len(v) for v in made.vertices])
    e_counts = np.array([len(e) for e in made.edges])
    vertices = np.concatenate(made.vertices)
    explosion = motion.explosion(vertices, v_counts, np.asarray(made.box) / 2, seed=1)
    points = motion.rigid_points(explosion, vertices, np.repeat(np.arange(n), v_counts))
    packed = Packed(vertices, np.concatenate([[0], np.cumsum(v_counts)]), np.concatenate(made.edges),
                    np.concatenate([[0], np.cumsum(e_counts)]), made.collections)
    return Pieces(packed, scene.threshold, explosion, points)


# --- checks ---------------------------------------------------------------------------------

def mismatches(ours: Any, fresh: cellprox.NeighborResult) -> list[str]:
    """The fields in which a tracker's frame differs from a fresh call on the frame's cells."""
    def same(a: Any, b: Any) -> bool:
        return (a is None and b is None) or (a is not None and b is not None and np.array_equal(a, b))
    # n_links is how many pairs each looked at, not part of the answer.
    return [name for name in ("pairs", "distances", "gaps", "witnesses", "threshold", "rule")
            if not same(getattr(ours, name), getattr(fresh, name))]


def pair_changes(before: np.ndarray, after: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The rows of `after` not in `before` (began) and of `before` not in `after` (ended), both
    sorted; rows are (i, j) int32 pairs."""
    def keys(pairs: np.ndarray) -> np.ndarray:
        return pairs.astype(np.int64)[:, 0] << 32 | pairs[:, 1].astype(np.int64)

    def rows(k: np.ndarray) -> np.ndarray:
        return np.stack([k >> 32, k & 0xFFFFFFFF], axis=1).astype(np.int32).reshape(-1, 2)
    a, b = keys(before), keys(after)
    return rows(np.setdiff1d(b, a)), rows(np.setdiff1d(a, b))


def changes_mismatch(result: Any, previous_pairs: np.ndarray) -> str | None:
    began, ended = pair_changes(previous_pairs, result.pairs)
    if np.array_equal(result.began, began) and np.array_equal(result.ended, ended):
        return None
    return (f"frame {result.frame}: began/ended ({len(result.began)}/{len(result.ended)}) are not the "
            f"change from the previous frame's pairs ({len(began)}/{len(ended)})")


@dataclass
class Checked:
    frames: int = 0
    faults: list[str] = field(default_factory=list)

    def add(self, frame: int, result: Any, fresh: cellprox.NeighborResult) -> None:
        self.frames += 1
        wrong = mismatches(result, fresh)
        if wrong:
            self.faults.append(f"frame {frame}: {', '.join(wrong)} differ from a fresh call")

    def text(self) -> str:
        if not self.frames and not self.faults:
            return "-"
        if not self.faults:
            return f"identical ({self.frames} frames)"
        return f"FAILED: {'; '.join(self.faults[:3])}" + (f" and {len(self.faults) - 3} more"
                                                          if len(self.faults) > 3 else "")


def timed(call: Callable[[], Any]) -> tuple[Any, float]:
    start = time.perf_counter()
    value = call()
    return value, time.perf_counter() - start


# --- drift and teleport ---------------------------------------------------------------------

@dataclass
class DriftRow:
    rule: str
    cubes: int
    frames: int
    updates: list[float] = field(default_factory=list)
    fresh: list[float] = field(default_factory=list)
    # The whole fresh frame, from the same packed vertices the tracker takes: the CellSet made
    # (CellSet.from_packed) and searched.
    fresh_frames: list[float] = field(default_factory=list)
    # The last frame's vertices given again: every proof stands and nothing is measured, so this
    # is what a frame costs the tracker at the least.
    still: list[float] = field(default_factory=list)
    rebuilds: int | None = None
    skin: float | None = None
    checked: Checked = field(default_factory=Checked)
    memory: dict[str, dict[str, float]] = field(default_factory=dict)


def drift(scene: Cubes, rule: str, frames: int, fresh_every: int, workers: int) -> DriftRow:
    row = DriftRow(rule, scene.n, frames)
    tracker = Tracker(scene.cell_set(scene.vertices, workers), CUBE_THRESHOLD, rule=rule,
                      workers=workers) if Tracker else None
    previous = tracker.result.pairs if tracker else np.zeros((0, 2), np.int32)
    for t, vertices in enumerate(drifting(scene, frames), 1):
        gc.collect()
        if tracker:
            result, seconds = timed(lambda: tracker.update(vertices))
            row.updates.append(seconds)
            fault = changes_mismatch(result, previous)
            if fault:
                row.checked.faults.append(fault)
            previous = result.pairs
        if t % fresh_every == 0:
            cells, made = timed(lambda: scene.cell_set(vertices, workers))
            fresh, seconds = timed(lambda: cellprox.find_neighbors(cells, CUBE_THRESHOLD, rule=rule,
                                                                   workers=workers))
            row.fresh.append(seconds)
            row.fresh_frames.append(made + seconds)
            if tracker:
                row.checked.add(t, result, fresh)
    if tracker:
        row.rebuilds, row.skin = tracker.rebuilds, tracker.skin
        for _ in range(STILL_FRAMES):
            gc.collect()
            row.still.append(timed(lambda: tracker.update(vertices))[1])
    return row


def teleport(scene: Cubes, count: int, workers: int) -> DriftRow:
    row = DriftRow("vertices-edges", scene.n, count)
    tracker = Tracker(scene.cell_set(scene.vertices, workers), CUBE_THRESHOLD,
                      workers=workers) if Tracker else None
    for t, vertices in enumerate(teleports(scene, count), 1):
        gc.collect()
        if tracker:
            result, seconds = timed(lambda: tracker.update(vertices))
            row.updates.append(seconds)
        cells, made = timed(lambda: scene.cell_set(vertices, workers))
        fresh, seconds = timed(lambda: cellprox.find_neighbors(cells, CUBE_THRESHOLD, workers=workers))
        row.fresh.append(seconds)
        row.fresh_frames.append(made + seconds)
        if tracker:
            row.checked.add(t, result, fresh)
    if tracker:
        row.rebuilds, row.skin = tracker.rebuilds, tracker.skin
    return row


def memory_run(side: str, rule: str, n: int, frames: int, fresh_every: int, workers: int) -> dict[str, float]:
    """In this fresh process: the drift's frames through a tracker, or the fresh calls on the
    frames the timing takes them on; the peak resident memory from after the scene is made."""
    scene = cubes(n)
    gc.collect()
    fresh_peak = reset_peak()
    rest = status_mb("VmRSS") or peak_mb()
    tracker = Tracker(scene.cell_set(scene.vertices, workers), CUBE_THRESHOLD, rule=rule,
                      workers=workers) if side == "tracker" else None
    for t, vertices in enumerate(drifting(scene, frames), 1):
        if tracker is not None:
            tracker.update(vertices)
        elif t % fresh_every == 0:
            cellprox.find_neighbors(scene.cell_set(vertices, workers), CUBE_THRESHOLD, rule=rule,
                                    workers=workers)
    # The high-water mark follows the resident size lazily: never below what was seen resident.
    peak = max(rest or 0.0, (status_mb("VmHWM") if fresh_peak else peak_mb()) or 0.0)
    return {"rest": rest, "peak": peak or float("nan")}


def memory(rule: str, n: int, frames: int, fresh_every: int, workers: int) -> dict[str, dict[str, float]]:
    sides = ("tracker", "fresh") if Tracker else ("fresh",)
    out = {}
    for side in sides:
        completed = subprocess.run(
            [sys.executable, __file__, "--memory", side, rule, str(n), str(frames), str(fresh_every),
             str(workers)], check=True, stdout=subprocess.PIPE, text=True)
        out[side] = json.loads(completed.stdout)
    return out


# --- the fracture against coal --------------------------------------------------------------

@dataclass
class FractureRow:
    pieces: int
    frames: int
    threshold: float
    ours: list[float] = field(default_factory=list)
    updates: list[float] = field(default_factory=list)
    fresh: list[float] = field(default_factory=list)
    coal: list[float] = field(default_factory=list)
    coal_native: list[float] = field(default_factory=list)
    coal_setting: str = ""
    coal_same: int = 0
    coal_differences: list[str] = field(default_factory=list)
    contacts: list[int] = field(default_factory=list)
    rebuilds: int | None = None
    checked: Checked = field(default_factory=Checked)


class CoalFrames:
    """coal's objects for the pieces, hulls built once about each piece's centroid, moved to
    each frame by their transforms."""

    def __init__(self, scene: Pieces, setting: tuple[str, dict]) -> None:
        import coal  # type: ignore[import-untyped]

        self.coal = coal
        local = [cell - centroid for cell, centroid in
                 zip(scene.per_piece(scene.packed.vertices.astype(np.float64)), scene.explosion.centroids)]
        self.objects, self.numbers = coal_objects(local, scene.threshold)
        self.explosion = scene.explosion
        options = setting[1]
        self.manager = options["manager"]()
        for thing in self.objects:
            self.manager.registerObject(thing)
        self.manager.setup()
        self.callback = coal_callback(scene.threshold, options)

    def frame(self, t: int) -> tuple[dict[tuple[int, int], float], float]:
        """The pairs coal finds at frame t (with the distance it reports), and the seconds of its
        native update and collide."""
        transform = self.coal.Transform3s
        places = self.explosion.centroids + t * self.explosion.velocities
        for thing, turn, place in zip(self.objects, motion.rotations(self.explosion, t), places):
            thing.setTransform(transform(turn, place))
            thing.computeAABB()
        self.callback.init()
        start = time.perf_counter()
        self.manager.update()
        self.manager.collide(self.callback)
        native = time.perf_counter() - start
        return coal_contacts(self.callback, self.numbers), native


def fastest_coal(scene: Pieces) -> tuple[str, dict]:
    """The manager and GJK setting whose first moved frame is quickest (each timed once)."""
    times = []
    settings = coal_settings()
    for setting in settings:
        times.append(CoalFrames(scene, setting).frame(1)[1])
    return settings[int(np.argmin(times))]


def fracture(scene: Pieces, frames: int, workers: int, use_coal: bool) -> FractureRow:
    row = FractureRow(scene.packed.n, frames, scene.threshold)
    tracker = Tracker(scene.packed.cell_set(scene.packed.vertices, workers), scene.threshold, rule="hull",
                      workers=workers) if Tracker else None
    peer = None
    if use_coal:
        setting = fastest_coal(scene)
        row.coal_setting = setting[0]
        peer = CoalFrames(scene, setting)
    for t in range(1, frames + 1):
        gc.collect()
        if tracker:
            start = time.perf_counter()
            vertices = scene.frame(t)
            result, seconds = timed(lambda: tracker.update(vertices))
            row.ours.append(time.perf_counter() - start)
            row.updates.append(seconds)
        else:
            vertices = scene.frame(t)
        cells = scene.packed.cell_set(vertices, workers)
        fresh, seconds = timed(lambda: cellprox.find_neighbors(cells, scene.threshold, rule="hull",
                                                               workers=workers))
        row.fresh.append(seconds)
        ours = result if tracker else fresh
        row.contacts.append(len(ours.pairs))
        if tracker:
            row.checked.add(t, result, fresh)
        if peer is not None:
            (theirs, native), whole = timed(lambda: peer.frame(t))
            row.coal.append(whole)
            row.coal_native.append(native)
            compare_with_coal(row, t, ours, theirs, scene)
    if tracker:
        row.rebuilds = tracker.rebuilds
    return row


def compare_with_coal(row: FractureRow, t: int, ours: Any, theirs: dict[tuple[int, int], float],
                      scene: Pieces) -> None:
    """Counts a frame on which coal's pairs are ours; on any other, notes bench/hull.py's account
    of the difference."""
    gaps = dict(zip(map(tuple, ours.pairs.tolist()), ours.gaps.tolist()))
    if gaps.keys() == theirs.keys():
        row.coal_same += 1
        return
    from hull import coal_check
    row.coal_differences.append(
        f"frame {t}: coal {coal_check(gaps, theirs, scene.per_piece(scene.frame(t)), scene.threshold)}")


# --- tables ---------------------------------------------------------------------------------

def ms(seconds: float | None) -> str:
    if seconds is None:
        return "-"
    return f"{seconds * 1e3:,.0f} ms" if seconds >= 0.1 else f"{seconds * 1e3:.2f} ms"


def median(values: list[float]) -> float | None:
    return statistics.median(values) if values else None


def mean(values: list[float]) -> float | None:
    return statistics.fmean(values) if values else None


def ratio_goal(value: float | None, base: float | None, goal: float, at_most: bool = True) -> tuple[str, str]:
    if value is None or base is None:
        return "-", f"{'<=' if at_most else '>='} {goal:g}x"
    r = value / base
    met = r <= goal if at_most else r >= goal
    return f"{r:.2f}x", f"{'<=' if at_most else '>='} {goal:g}x {verdict(met)}"


def memory_cells(row: DriftRow) -> list[str]:
    tracker, fresh = row.memory.get("tracker"), row.memory.get("fresh")
    if fresh is None:
        return ["-", "-", "-", "-"]
    shown = f"{fresh['peak']:,.0f} MB ({fresh['rest']:,.0f} at rest)"
    if tracker is None:
        return ["-", shown, "-", f"<= {GOALS['memory']:g}x"]
    ratio, goal = ratio_goal(tracker["peak"], fresh["peak"], GOALS["memory"])
    return [f"{tracker['peak']:,.0f} MB ({tracker['rest']:,.0f} at rest)", shown, ratio, goal]


def drift_table(rows: list[DriftRow]) -> str:
    header = ["rule", "cubes", "frames", "tracker: mean update", "fresh: median call", "tracker / fresh",
              "goal", "fresh: cells + call", "tracker / that", "tracker: no motion", "/ fresh", "rebuilds",
              "skin", "peak memory: tracker", "peak memory: fresh", "tracker / fresh", "goal", "check"]
    body = []
    for r in rows:
        ratio, goal = ratio_goal(mean(r.updates), median(r.fresh), GOALS[r.rule])
        whole = ratio_goal(mean(r.updates), median(r.fresh_frames), GOALS[r.rule])[0]
        still = ratio_goal(median(r.still), median(r.fresh), GOALS[r.rule])[0]
        body.append([r.rule, f"{r.cubes:,}", str(r.frames), ms(mean(r.updates)), ms(median(r.fresh)), ratio,
                     goal, ms(median(r.fresh_frames)), whole, ms(median(r.still)), still,
                     "-" if r.rebuilds is None else str(r.rebuilds),
                     "-" if r.skin is None else f"{r.skin:g}", *memory_cells(r), r.checked.text()])
    return markdown_table(header, body)


def teleport_table(row: DriftRow) -> str:
    ratio, goal = ratio_goal(median(row.updates), median(row.fresh), GOALS["teleport"])
    whole = ratio_goal(median(row.updates), median(row.fresh_frames), GOALS["teleport"])[0]
    return markdown_table(
        ["cubes", "teleports", "tracker: median update", "fresh: median call", "tracker / fresh", "goal",
         "fresh: cells + call", "tracker / that", "rebuilds", "check"],
        [[f"{row.cubes:,}", str(row.frames), ms(median(row.updates)), ms(median(row.fresh)), ratio, goal,
          ms(median(row.fresh_frames)), whole, "-" if row.rebuilds is None else str(row.rebuilds),
          row.checked.text()]])


def fracture_table(row: FractureRow) -> str:
    ratio, goal = ratio_goal(median(row.coal), median(row.ours), GOALS["coal"], at_most=False)
    compared = len(row.coal)
    same = f"{row.coal_same}/{compared}" if compared else "-"
    return markdown_table(
        ["pieces", "frames", "threshold", "contacts (frame 1, last)", "ours: median frame",
         "of which update", "coal: median frame", "of which update + collide", "coal / ours", "goal",
         "fresh find_neighbors: median", "rebuilds", "same pairs as coal", "check"],
        [[f"{row.pieces:,}", str(row.frames), f"{row.threshold:.3g}",
          f"{row.contacts[0]:,}, {row.contacts[-1]:,}" if row.contacts else "-", ms(median(row.ours)),
          ms(median(row.updates)), ms(median(row.coal)), ms(median(row.coal_native)), ratio, goal,
          ms(median(row.fresh)), "-" if row.rebuilds is None else str(row.rebuilds), same,
          row.checked.text()]])


# --- the run --------------------------------------------------------------------------------

def main(argv: list[str] | None = None) -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--quick", action="store_true", help="3,000 cubes, 1,000 pieces, 10 frames")
    p.add_argument("--frames", type=int, help="frames of the drift and of the fracture (100 and 30)")
    p.add_argument("--teleports", type=int, help="teleports in a row (5; 2 with --quick)")
    p.add_argument("--cubes", type=int, help="cubes of the drift and the teleports (100,000)")
    p.add_argument("--pieces", type=int, help="pieces of the fracture (20,000)")
    p.add_argument("--workers", type=int, default=1, help="threads on both sides (1)")
    p.add_argument("--only", default="drift,teleport,fracture", help="comma-separated workloads")
    p.add_argument("--no-coal", action="store_true", help="leave coal out")
    p.add_argument("--no-memory", action="store_true", help="leave out the drift's memory processes")
    p.add_argument("--memory", nargs=6, help=argparse.SUPPRESS)
    args = p.parse_args(argv)
    if args.memory:
        side, rule, n, frames, every, workers = args.memory
        print(json.dumps(memory_run(side, rule, int(n), int(frames), int(every), int(workers))))
        return 0
    sizes = dict(QUICK if args.quick else FULL)
    for key, value in (("cubes", args.cubes), ("pieces", args.pieces), ("teleports", args.teleports),
                       ("drift frames", args.frames), ("fracture frames", args.frames)):
        if value is not None:
            sizes[key] = value
    only = set(args.only.split(","))
    print(machine_line(), flush=True)
    print(f"cellprox {cellprox.__version__}, workers={args.workers} on both sides", flush=True)
    if Tracker is None:
        print(NO_TRACKER, flush=True)
    if only & {"drift", "teleport"}:
        scene = cubes(sizes["cubes"])
    if "drift" in only:
        rows = []
        for rule in RULES:
            print(f"drift, {rule} rule ...", file=sys.stderr, flush=True)
            row = drift(scene, rule, sizes["drift frames"], sizes["fresh every"], args.workers)
            if not args.no_memory:
                row.memory = memory(rule, sizes["cubes"], sizes["drift frames"], sizes["fresh every"],
                                    args.workers)
            rows.append(row)
        print(f"\nDrift: a random walk of steps up to {DRIFT_STEP:.0%} of a cube's side, threshold "
              f"{CUBE_THRESHOLD}; fresh calls on every {sizes['fresh every']}th frame")
        print(drift_table(rows), flush=True)
    if "teleport" in only:
        print("teleport ...", file=sys.stderr, flush=True)
        print("\nTeleport: every cube to another lattice site, frame after frame; medians")
        print(teleport_table(teleport(scene, sizes["teleports"], args.workers)), flush=True)
    if "fracture" in only:
        use_coal = not args.no_coal and coal_available()
        print("fracture ...", file=sys.stderr, flush=True)
        flying = fracture(pieces(sizes["pieces"], cache=not args.quick), sizes["fracture frames"],
                       args.workers, use_coal)
        print("\nFracture flying apart, hull rule: our frame is its vertices made with numpy plus "
              "update; medians over the frames")
        if not use_coal:
            print("coal is not installed (or --no-coal): its columns are empty")
        else:
            print(f"coal: {flying.coal_setting}")
        print(fracture_table(flying))
        for line in flying.coal_differences:
            print(line)
    return 0


if __name__ == "__main__":
    sys.exit(main())
