"""The benchmark's workloads: cells with vertices, edges, origins, collections and box corners.

- ``voronoi``: a Voronoi fracture of the unit box (``cellprox.fracture``), in one collection
  or in two;
- ``uniform``: uniform random boxes (8 vertices, 12 edges each), a handful of overlaps per box;
- ``dense``: a dense cluster of boxes in which every box overlaps hundreds of others, so that
  the link rows fill up to their 30 slots;
- ``crowded``: large boxes in a unit cube, each overlapping nearly every other, so that every
  row fills at once (broad phase only);
- with the Voronoi cells also ``voronoi-rc``: each cell's collection drawn at random, so that
  about half of the links take the edge test.

Cell order is random in all of them (no spatial locality to lean on). Every workload carries a
narrow-phase threshold relative to its cell size.
"""
from __future__ import annotations

import dataclasses
import hashlib
import os
from dataclasses import dataclass
from pathlib import Path

import numpy as np

from cellprox.cells import CELL_DTYPE, MAX_CELL_LINKS  # the package comes with the bench extra

ROOT = Path(__file__).resolve().parent.parent

# The twelve edges of a box whose corner c has bit a set for the upper bound on axis a.
BOX_EDGES = np.array([[0, 1], [2, 3], [4, 5], [6, 7], [0, 2], [1, 3], [4, 6], [5, 7],
                      [0, 4], [1, 5], [2, 6], [3, 7]], np.int32)

# Overlaps per box: about this many in the uniform boxes, this many in the dense cluster.
UNIFORM_OVERLAPS = 6
DENSE_OVERLAPS = 300
# Crowded boxes: half-sides on each axis, drawn uniformly; with centres in the unit cube, two
# boxes fail to overlap only when they sit near opposite corners.
CROWDED_HALF_SIDES = (0.3, 0.6)
# The random-collection Voronoi workload's threshold, absolute: at 10,000 to 100,000 cells it is
# 2% to 5% of the mean seed spacing.
RANDOM_COLLECTIONS_THRESHOLD = 0.001


@dataclass
class Workload:
    """Cells as flat arrays: cell i owns vertices[v_start[i] : v_start[i] + v_count[i]] and
    edges[e_start[i] : e_start[i] + e_count[i]] (vertex numbers local to the cell)."""

    kind: str
    n: int
    vertices: np.ndarray      # (V, 3) float32
    v_start: np.ndarray       # (n,) int64
    v_count: np.ndarray       # (n,) int32
    edges: np.ndarray         # (E, 2) int32
    e_start: np.ndarray       # (n,) int64
    e_count: np.ndarray       # (n,) int32
    origins: np.ndarray       # (n, 3) float32
    collections: np.ndarray   # (n,) int32
    corners: np.ndarray       # (n, 8, 3) float32, the broad phase's input (copy before use)
    threshold: float
    label: str = ""
    # Whether the narrow phase is timed on it, and whether the pair-search peer can list its
    # overlapping pairs (about n * n / 2 of them when every box overlaps every other).
    narrow_phase: bool = True
    pair_peer: bool = True

    @property
    def name(self) -> str:
        return self.label or self.kind

    def cell_vertices(self, i: int) -> np.ndarray:
        return self.vertices[self.v_start[i]:self.v_start[i] + self.v_count[i]]

    def cell_edges(self, i: int) -> np.ndarray:
        return self.edges[self.e_start[i]:self.e_start[i] + self.e_count[i]]


def _starts(counts: np.ndarray) -> np.ndarray:
    counts = np.asarray(counts, np.int64)
    return np.cumsum(counts) - counts


def from_cells(kind: str, vertices: list, edges: list, origins, collections, corners,
               threshold: float, label: str = "") -> Workload:
    v_count = np.fromiter((len(v) for v in vertices), np.int32, len(vertices))
    e_count = np.fromiter((len(e) for e in edges), np.int32, len(edges))
    flat_v = np.ascontiguousarray(np.concatenate(vertices).reshape(-1, 3), np.float32)
    flat_e = np.ascontiguousarray(np.concatenate(edges).reshape(-1, 2), np.int32)
    return Workload(kind, len(vertices), flat_v, _starts(v_count), v_count, flat_e,
                    _starts(e_count), e_count, np.ascontiguousarray(origins, np.float32),
                    np.ascontiguousarray(collections, np.int32),
                    np.ascontiguousarray(corners, np.float32), threshold, label)


def _box_cells(kind: str, lower: np.ndarray, upper: np.ndarray, rng: np.random.Generator,
               threshold: float, label: str) -> Workload:
    """Boxes as cells: their 8 corners are the vertices, the 12 box edges the edges; two
    collections at random."""
    n = len(lower)
    corners = np.empty((n, 8, 3), np.float32)
    for c in range(8):
        for axis in range(3):
            corners[:, c, axis] = upper[:, axis] if c >> axis & 1 else lower[:, axis]
    v_count = np.full(n, 8, np.int32)
    e_count = np.full(n, len(BOX_EDGES), np.int32)
    return Workload(kind, n, corners.reshape(-1, 3).copy(), _starts(v_count), v_count,
                    np.tile(BOX_EDGES, (n, 1)), _starts(e_count), e_count,
                    ((lower + upper) / 2).astype(np.float32),
                    rng.integers(0, 2, n).astype(np.int32), corners, threshold, label)


def uniform_boxes(n: int, seed: int = 1) -> Workload:
    """n boxes with sides uniform in 0.5 .. 1.5, centres uniform in a cube sized so that a box
    overlaps about UNIFORM_OVERLAPS others."""
    rng = np.random.default_rng(seed)
    side = 2.0 * (n / UNIFORM_OVERLAPS) ** (1 / 3)
    centre = rng.uniform(0.0, side, (n, 3))
    half = rng.uniform(0.25, 0.75, (n, 3))
    return _box_cells("uniform", centre - half, centre + half, rng, 0.02, "uniform")


def dense_cluster(n: int, seed: int = 2, overlaps: int = DENSE_OVERLAPS) -> Workload:
    """n boxes with sides uniform in 0.8 .. 1.2 packed so densely that each overlaps about
    `overlaps` others (hundreds): rows reach their 30-link capacity, pairs move to the higher
    row, and pairs whose both rows are full are dropped."""
    rng = np.random.default_rng(seed)
    side = max(2.0 * (n / overlaps) ** (1 / 3), 1.0)
    centre = rng.uniform(0.0, side, (n, 3))
    half = rng.uniform(0.4, 0.6, (n, 3))
    return _box_cells("dense", centre - half, centre + half, rng, 0.02, "dense")


def crowded_boxes(n: int, seed: int = 4) -> Workload:
    """n boxes with centres uniform in the unit cube and half-sides uniform in
    CROWDED_HALF_SIDES on each axis. The direct pass stops each row at its 30th link, so this is
    where a grid has the least to gain; the broad phase alone is timed."""
    rng = np.random.default_rng(seed)
    centre = rng.uniform(0.0, 1.0, (n, 3))
    half = rng.uniform(*CROWDED_HALF_SIDES, (n, 3))
    w = _box_cells("crowded", centre - half, centre + half, rng, 0.02, "crowded")
    return dataclasses.replace(w, narrow_phase=False, pair_peer=False)


def random_collections(w: Workload, seed: int = 5) -> Workload:
    """The same cells, each in collection 0 or 1 at random, with the absolute threshold
    RANDOM_COLLECTIONS_THRESHOLD: cells stay numbered in the order of their random seeds."""
    rng = np.random.default_rng(seed)
    return dataclasses.replace(w, collections=rng.integers(0, 2, w.n).astype(np.int32),
                               threshold=RANDOM_COLLECTIONS_THRESHOLD, label="voronoi-rc")


def fracture_code_key() -> str:
    """A digest of the fracture code's source, every module of it, which keys the cached
    fractures: a cache made by other code is never read."""
    import cellprox
    digest = hashlib.sha256()
    package = Path(cellprox.__file__).parent
    for path in sorted([package / "fracture.py", *(package / "_fracture").glob("*.py")]):
        digest.update(path.relative_to(package).as_posix().encode() + b"\0" + path.read_bytes())
    return digest.hexdigest()[:12]


def voronoi(n: int, collections: int, seed: int = 3, cache_dir: Path | None = None) -> Workload:
    """A Voronoi fracture of the unit box into n cells, in `collections` collections (slabs).

    Fractures are cached in `cache_dir` (keyed by the arguments and the fracture code's own
    source), since a large one takes a while to make.
    """
    from cellprox import fracture  # needs scipy, which only the Voronoi workload uses
    path = (cache_dir / f"voronoi-{n}-{collections}-{seed}-{fracture_code_key()}.npz"
            if cache_dir else None)
    label = f"voronoi-{collections}c"
    threshold = 0.01 * n ** (-1 / 3)   # a hundredth of the mean seed spacing
    if path is not None and path.exists():
        data = np.load(path)
        return Workload("voronoi", int(data["n"]), data["vertices"], data["v_start"],
                        data["v_count"], data["edges"], data["e_start"], data["e_count"],
                        data["origins"], data["collections"], data["corners"], threshold, label)
    f = fracture.voronoi_fracture(n, seed=seed, collections=collections)
    w = from_cells("voronoi", f.vertices, f.edges, f.origins, f.collections, f.corners(),
                   threshold, label)
    if path is not None:
        path.parent.mkdir(parents=True, exist_ok=True)
        tmp = path.with_suffix(f".{os.getpid()}.tmp.npz")
        np.savez(tmp, n=w.n, vertices=w.vertices, v_start=w.v_start, v_count=w.v_count,
                 edges=w.edges, e_start=w.e_start, e_count=w.e_count, origins=w.origins,
                 collections=w.collections, corners=w.corners)
        tmp.replace(path)
    return w


class LinkTables:
    """The broad phase's tables, prepared as a caller must (-1, -1, 0), with a copy of the
    corners to be widened in place."""

    def __init__(self, corners: np.ndarray):
        n = len(corners)
        self.bbox = np.array(corners, np.float32, copy=True)
        self.links = np.full((n, MAX_CELL_LINKS), -1, np.int32)
        self.link_starts = np.full(n, -1, np.int32)
        self.link_count = np.zeros(n, np.uint8)
        self.n_links = 0

    def run(self, get_bb_intersections) -> "LinkTables":
        self.n_links = int(get_bb_intersections(self.bbox, len(self.bbox), self.links,
                                                self.link_starts, self.link_count))
        return self


class CellRecords:
    """The narrow phase's 64-byte records for a workload and its link tables; keeps every array
    the records point to alive."""

    def __init__(self, w: Workload, tables: LinkTables):
        self.keep = (w.vertices, w.edges, tables.links)
        n = w.n
        rec = np.zeros(n, CELL_DTYPE)
        rec["index"] = np.arange(n)
        rec["coll_index"] = w.collections
        rec["links_start"] = tables.link_starts
        rec["v_count"] = w.v_count
        rec["e_count"] = w.e_count
        rec["n_count"] = tables.link_count
        rec["origin"] = w.origins
        rec["vertices"] = w.vertices.ctypes.data + w.v_start * w.vertices.strides[0]
        rec["edges"] = w.edges.ctypes.data + w.e_start * w.edges.strides[0]
        rec["cell_links"] = tables.links.ctypes.data + np.arange(n) * tables.links.strides[0]
        self.records = rec
        self.cell_count = n
        self.n_links = tables.n_links

    @property
    def address(self) -> int:
        return int(self.records.ctypes.data)


def make(kind: str, n: int, cache_dir: Path | None = None) -> list[Workload]:
    """The workloads of one kind and size: Voronoi gives the one-collection, two-collection and
    random-collection variants (same cells, so one broad phase serves all three)."""
    if kind == "voronoi":
        one = voronoi(n, 1, cache_dir=cache_dir)
        return [one, voronoi(n, 2, cache_dir=cache_dir), random_collections(one)]
    if kind == "uniform":
        return [uniform_boxes(n)]
    if kind == "dense":
        return [dense_cluster(n)]
    if kind == "crowded":
        return [crowded_boxes(n)]
    raise ValueError(f"unknown workload kind {kind!r}")
