"""Plainly written reference of the distance between the convex hulls of two point sets.

The hulls' features (vertices, edges, triangles) come from scipy's Qhull; flat and straight point
sets get theirs from a 2-D hull in their plane or from their two extreme points. The distance of
two hulls that do not meet is the least distance between a feature of one and a feature of the
other; they meet when one holds a vertex of the other or an edge of one crosses a triangle of the
other.
"""
from dataclasses import dataclass

import numpy as np
from scipy.spatial import ConvexHull

from reference import _point_to_segments, segment_distances


@dataclass
class Features:
    vertices: np.ndarray              # (v, 3)
    edges: np.ndarray                 # (e, 2, 3)
    triangles: np.ndarray             # (t, 3, 3)
    equations: np.ndarray | None      # (f, 4) outward planes of a solid hull, else None


def features(points):
    points = np.unique(np.asarray(points, np.float64), axis=0)
    none_edges, none_triangles = np.zeros((0, 2, 3)), np.zeros((0, 3, 3))
    if len(points) == 1:
        return Features(points, none_edges, none_triangles, None)
    centre = points.mean(axis=0)
    _, sizes, axes = np.linalg.svd(points - centre)
    rank = int((sizes > 1e-9 * sizes[0]).sum())
    if rank == 1:
        reach = (points - centre) @ axes[0]
        ends = points[[np.argmin(reach), np.argmax(reach)]]
        return Features(ends, ends[None], none_triangles, None)
    if rank == 2:
        ring = points[ConvexHull((points - centre) @ axes[:2].T).vertices]   # in order around
        edges = np.stack([ring, np.roll(ring, -1, axis=0)], axis=1)
        fan = np.stack([np.repeat(ring[:1], len(ring) - 2, axis=0), ring[1:-1], ring[2:]], axis=1)
        return Features(ring, edges, fan, None)
    hull = ConvexHull(points)
    simplices = hull.simplices
    pairs = np.sort(np.concatenate([simplices[:, [0, 1]], simplices[:, [1, 2]],
                                    simplices[:, [0, 2]]]), axis=1)
    pairs = np.unique(pairs, axis=0)
    return Features(points[hull.vertices], points[pairs], points[simplices], hull.equations)


def _cross_pairs(a, b):
    """Every combination of the rows of a and of b, as two aligned arrays."""
    return np.repeat(a, len(b), axis=0), np.tile(b, (len(a),) + (1,) * (b.ndim - 1))


def _point_to_triangles(p, tri):
    a, b, c = tri[:, 0], tri[:, 1], tri[:, 2]
    n = np.cross(b - a, c - a)
    n2 = (n * n).sum(1)
    height = ((p - a) * n).sum(1) / n2
    q = p - height[:, None] * n
    inside = np.ones(len(p), bool)
    for u, v in ((a, b), (b, c), (c, a)):
        inside &= (np.cross(v - u, q - u) * n).sum(1) >= 0
    edges = np.minimum.reduce([_point_to_segments(p, a, b), _point_to_segments(p, b, c),
                               _point_to_segments(p, c, a)])
    return np.where(inside, np.abs(height) * np.sqrt(n2), edges)


def _edges_cross_triangles(edges, triangles):
    if not len(edges) or not len(triangles):
        return False
    e, t = _cross_pairs(edges, triangles)
    a, b, c = t[:, 0], t[:, 1], t[:, 2]
    n = np.cross(b - a, c - a)
    s0, s1 = ((e[:, 0] - a) * n).sum(1), ((e[:, 1] - a) * n).sum(1)
    crossing = s0 * s1 < 0
    x = e[:, 0] + (s0 / np.where(crossing, s0 - s1, 1.0))[:, None] * (e[:, 1] - e[:, 0])
    for u, v in ((a, b), (b, c), (c, a)):
        crossing &= (np.cross(v - u, x - u) * n).sum(1) >= 0
    return bool(crossing.any())


def _holds(solid, points):
    if solid.equations is None:
        return False
    return bool(((points @ solid.equations[:, :3].T + solid.equations[:, 3]) <= 0).all(1).any())


def hull_distance(fp, fq):
    """The distance between two hulls, given by their features."""
    found = [np.linalg.norm(fp.vertices[:, None] - fq.vertices[None], axis=2).min()]
    for one, other in ((fp, fq), (fq, fp)):
        if len(other.triangles):
            found.append(_point_to_triangles(*_cross_pairs(one.vertices, other.triangles)).min())
        if len(other.edges):
            v, e = _cross_pairs(one.vertices, other.edges)
            found.append(_point_to_segments(v, e[:, 0], e[:, 1]).min())
    if len(fp.edges) and len(fq.edges):
        ep, eq = _cross_pairs(fp.edges, fq.edges)
        found.append(segment_distances(ep[:, 0], ep[:, 1], eq[:, 0], eq[:, 1]).min())
    distance = float(min(found))
    if distance > 0 and (_holds(fp, fq.vertices) or _holds(fq, fp.vertices)
                         or _edges_cross_triangles(fp.edges, fq.triangles)
                         or _edges_cross_triangles(fq.edges, fp.triangles)):
        return 0.0
    return distance
