"""Speed peers of the two kernels: what one would write with numpy and scipy instead.

- Broad phase: scipy's cKDTree pair search on the box centres (Chebyshev radius covering the
  largest box), then exact filtering of the candidate pairs by their widened boxes. It finds
  every overlapping pair, without the 30-link rows.
- Narrow phase: per link, the vertex-vertex or segment-segment distances of the two cells
  computed at once with numpy, in float32, with the steps of the written segment distance.
"""
from __future__ import annotations

import numpy as np

from workloads import Workload

BOX_MARGIN = 0.002
EPS = np.float32(2.0 ** -52)


def widened_bounds(corners: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Each box's lower and upper bounds widened by the margin, rounded once to float32 (as the
    box pass computes them for boxes within +-100000)."""
    lower = (corners.min(axis=1).astype(np.float64) - BOX_MARGIN).astype(np.float32)
    upper = (corners.max(axis=1).astype(np.float64) + BOX_MARGIN).astype(np.float32)
    return lower, upper


def kdtree_pairs(corners: np.ndarray) -> np.ndarray:
    """All pairs (i, j), i < j, whose widened boxes overlap strictly on every axis, sorted."""
    from scipy.spatial import cKDTree

    lower, upper = widened_bounds(corners)
    lo, hi = lower.astype(np.float64), upper.astype(np.float64)
    centre = (lo + hi) / 2
    # Overlapping boxes have centres closer on every axis than the sum of their half sides.
    radius = float((hi - lo).max()) if len(corners) else 0.0
    pairs = cKDTree(centre).query_pairs(radius, p=np.inf, output_type="ndarray")
    i, j = pairs[:, 0], pairs[:, 1]
    keep = ((upper[i] > lower[j]) & (upper[j] > lower[i])).all(axis=1)
    pairs = np.sort(pairs[keep], axis=1)
    return pairs[np.lexsort((pairs[:, 1], pairs[:, 0]))]


def _components(points: np.ndarray) -> np.ndarray:
    return np.ascontiguousarray(np.asarray(points, np.float32).T)


def segment_distances(p0, p1, q0, q1) -> np.ndarray:
    """Distances between segments p0-p1 and q0-q1, given as 3-tuples of broadcastable float32
    component arrays, with the written algorithm's branches as masks."""
    f32 = np.float32
    ux, uy, uz = p1[0] - p0[0], p1[1] - p0[1], p1[2] - p0[2]
    vx, vy, vz = q1[0] - q0[0], q1[1] - q0[1], q1[2] - q0[2]
    wx, wy, wz = p0[0] - q0[0], p0[1] - q0[1], p0[2] - q0[2]
    a = ux * ux + uy * uy + uz * uz
    b = ux * vx + uy * vy + uz * vz
    c = vx * vx + vy * vy + vz * vz
    d = ux * wx + uy * wy + uz * wz
    e = vx * wx + vy * wy + vz * wz
    D = a * c - b * b
    parallel = D < EPS
    sN = np.where(parallel, f32(0), b * e - c * d)
    sD = np.where(parallel, f32(1), D)
    tN = np.where(parallel, e, a * e - b * d)
    tD = np.where(parallel, c, D)
    start = ~parallel & (sN < 0)
    end = ~parallel & ~start & (sN > sD)
    sN = np.where(start, f32(0), np.where(end, sD, sN))
    tN = np.where(start, e, np.where(end, e + b, tN))
    tD = np.where(start | end, c, tD)
    t_start = tN < 0
    t_end = ~t_start & (tN > tD)
    # A second segment of zero length is projected onto the first, as the kernels do.
    point = ~t_start & ~t_end & (q0[0] == q1[0]) & (q0[1] == q1[1]) & (q0[2] == q1[2])
    tN = np.where(t_start, f32(0), np.where(t_end, tD, tN))
    r = np.where(t_end, -d + b, -d)
    recompute = t_start | t_end | point
    sN = np.where(recompute, np.where(r < 0, f32(0), np.where(r > a, sD, r)), sN)
    sD = np.where(recompute & (r >= 0) & ~(r > a), a, sD)
    with np.errstate(divide="ignore", invalid="ignore"):
        sc = np.where(np.abs(sN) < EPS, f32(0), sN / sD)
        tc = np.where(np.abs(tN) < EPS, f32(0), tN / tD)
    dx = (wx + sc * ux) - tc * vx
    dy = (wy + sc * uy) - tc * vy
    dz = (wz + sc * uz) - tc * vz
    return np.sqrt(dx * dx + dy * dy + dz * dz)


class NumpyNarrowPhase:
    """The narrow phase link by link, each link's distances vectorised with numpy."""

    def __init__(self, w: Workload):
        # Per cell: vertex components (3, v) and edge end-point components (2, 3, e).
        self.w = w
        self.vertex_xyz = [_components(w.cell_vertices(i)) for i in range(w.n)]
        self.edge_xyz = []
        for i in range(w.n):
            v, e = w.cell_vertices(i), w.cell_edges(i)
            self.edge_xyz.append(np.stack([_components(v[e[:, 0]]), _components(v[e[:, 1]])]))

    def close(self, i: int, j: int, threshold: np.float32) -> bool:
        if self.w.collections[i] == self.w.collections[j]:
            a, b = self.vertex_xyz[i], self.vertex_xyz[j]
            if not a.shape[1] or not b.shape[1]:
                return False
            dx = a[0][:, None] - b[0][None, :]
            dy = a[1][:, None] - b[1][None, :]
            dz = a[2][:, None] - b[2][None, :]
            return bool((np.sqrt(dx * dx + dy * dy + dz * dz) < threshold).any())
        qa, pb = self.edge_xyz[i], self.edge_xyz[j]
        if not qa.shape[2] or not pb.shape[2]:
            return False
        # The neighbour's edges are the first segments (columns), the cell's the second (rows).
        p0 = tuple(x[None, :] for x in pb[0])
        p1 = tuple(x[None, :] for x in pb[1])
        q0 = tuple(x[:, None] for x in qa[0])
        q1 = tuple(x[:, None] for x in qa[1])
        return bool((segment_distances(p0, p1, q0, q1) < threshold).any())

    def origin_distance(self, i: int, j: int) -> np.float32:
        d = self.w.origins[i] - self.w.origins[j]
        return np.sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2])


def link_owners(links: np.ndarray, link_starts: np.ndarray, link_count: np.ndarray,
                n_links: int) -> tuple[np.ndarray, np.ndarray]:
    """For each link slot, the cell that owns it and the neighbour it names."""
    counts = link_count.astype(np.int64)
    owner = np.repeat(np.arange(len(counts)), counts)
    slot_in_row = np.arange(int(counts.sum())) - np.repeat(np.cumsum(counts) - counts, counts)
    slots = np.repeat(link_starts.astype(np.int64), counts) + slot_in_row
    owners = np.full(max(n_links, 0), -1, np.int64)
    neighbours = np.full(max(n_links, 0), -1, np.int64)
    owners[slots] = owner
    neighbours[slots] = links[owner, slot_in_row]
    return owners, neighbours


def numpy_generate_neighbors(w: Workload, owners: np.ndarray, neighbours: np.ndarray,
                             slots: np.ndarray | None = None) -> np.ndarray:
    """The narrow phase's result for the given link slots (all by default); other slots -1."""
    peer = NumpyNarrowPhase(w)
    threshold = np.float32(w.threshold)
    out = np.full(len(owners), -1.0, np.float32)
    for s in range(len(owners)) if slots is None else slots:
        i, j = int(owners[s]), int(neighbours[s])
        if 0 <= j < w.n and peer.close(i, j, threshold):
            out[s] = peer.origin_distance(i, j)
    return out
