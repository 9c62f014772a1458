"""Plainly written reference of the broad phase, for comparison with the module."""
import numpy as np

MAX_CELL_LINKS = 30
MARGIN = 0.002


def minf2(a, b):
    return a if a < b else b


def maxf2(a, b):
    return a if a > b else b


def widen(bbox, cell_count, single_precision_margin=False):
    for i in range(cell_count):
        lo = [np.float32(100000.0)] * 3
        hi = [np.float32(-100000.0)] * 3
        for n in range(8):
            for a in range(3):
                p = bbox[i, n, a]
                lo[a] = minf2(lo[a], p)
                hi[a] = maxf2(hi[a], p)
        for a in range(3):
            if single_precision_margin:
                bbox[i, 0, a] = lo[a] - np.float32(MARGIN)
                bbox[i, 1, a] = hi[a] + np.float32(MARGIN)
            else:
                bbox[i, 0, a] = np.float32(float(lo[a]) - MARGIN)
                bbox[i, 1, a] = np.float32(float(hi[a]) + MARGIN)


def overlap(b1, b2):
    return all(b1[1, a] > b2[0, a] and b2[1, a] > b1[0, a] for a in range(3))


def get_bb_intersections(bbox, cell_count, links, link_starts, link_count,
                         single_precision_margin=False):
    """The broad phase as written: box pass, then the quadratic pair pass."""
    if cell_count <= 0:
        return 0
    widen(bbox, cell_count, single_precision_margin)
    n_links = 0
    for i in range(cell_count):
        k = 0
        for j in range(cell_count):
            if j == i:
                continue
            if k == MAX_CELL_LINKS:
                break
            if j < i and i in links[j, :MAX_CELL_LINKS]:
                continue
            if overlap(bbox[i], bbox[j]):
                links[i, k] = j
                if link_starts[i] == -1:
                    link_starts[i] = n_links
                n_links += 1
                link_count[i] = np.uint8((int(link_count[i]) + 1) % 256)
                k += 1
    return n_links


def _point_to_segments(p, a, b):
    """Distances from points p to segments a-b (all (n, 3) float64 arrays)."""
    d = b - a
    len2 = (d * d).sum(1)
    safe = np.where(len2 > 0, len2, 1.0)
    t = np.where(len2 > 0, np.clip(((p - a) * d).sum(1) / safe, 0.0, 1.0), 0.0)
    return np.linalg.norm(p - (a + t[:, None] * d), axis=1)


def segment_distances(p0, p1, q0, q1):
    """Shortest distances between segments p0-p1 and q0-q1, in double precision.

    The best of the four end-point-to-segment distances and, where the lines' closest points
    lie inside both segments, the distance between those.
    """
    p0, p1, q0, q1 = (np.asarray(x, np.float64) for x in (p0, p1, q0, q1))
    best = np.minimum.reduce([_point_to_segments(p0, q0, q1), _point_to_segments(p1, q0, q1),
                              _point_to_segments(q0, p0, p1), _point_to_segments(q1, p0, p1)])
    u, v, w = p1 - p0, q1 - q0, p0 - q0
    a, b, c = (u * u).sum(1), (u * v).sum(1), (v * v).sum(1)
    d, e = (u * w).sum(1), (v * w).sum(1)
    D = a * c - b * b
    ok = D > 1e-12 * a * c
    safe = np.where(ok, D, 1.0)
    s, t = (b * e - c * d) / safe, (a * e - b * d) / safe
    inside = ok & (s >= 0) & (s <= 1) & (t >= 0) & (t <= 1)
    between = np.linalg.norm((p0 + s[:, None] * u) - (q0 + t[:, None] * v), axis=1)
    return np.where(inside, np.minimum(best, between), best)


def closest_approach(cell_a, cell_b, same_collection):
    """The smallest vertex-vertex (same collection) or edge-edge distance of two cells."""
    if same_collection:
        va, vb = (np.asarray(c["vertices"], np.float64).reshape(-1, 3) for c in (cell_a, cell_b))
        if not len(va) or not len(vb):
            return np.inf
        return np.linalg.norm(va[:, None, :] - vb[None, :, :], axis=2).min()
    ea, eb = (np.asarray(c["edges"]).reshape(-1, 2) for c in (cell_a, cell_b))
    if not len(ea) or not len(eb):
        return np.inf
    va, vb = (np.asarray(c["vertices"], np.float64).reshape(-1, 3) for c in (cell_a, cell_b))
    ia, ib = np.repeat(np.arange(len(ea)), len(eb)), np.tile(np.arange(len(eb)), len(ea))
    return segment_distances(vb[eb[ib, 0]], vb[eb[ib, 1]], va[ea[ia, 0]], va[ea[ia, 1]]).min()


def origin_distance(cell_a, cell_b):
    """The value a passing link reports, in single precision like the kernel."""
    diff = np.float32(cell_a["origin"]) - np.float32(cell_b["origin"])
    return np.float32(np.sqrt(np.float32((diff * diff).sum(dtype=np.float32))))
