"""The hull rule's peers: other libraries' convex distance on the same cells.

- **coal** runs the whole job natively, as its own users would at their fastest: each cell's hull
  built once (``ConvexBase.convexHull`` through Qhull), one collision object per cell with its box
  widened by half the threshold, a dynamic box tree (``DynamicAABBTreeCollisionManager``, or its
  array variant) and the library's C++ callback (``CollisionCallBackDefault``) with the threshold
  as security margin, so that every pair whose hulls come within the threshold is a contact.
  Its *query* is the tree's set-up and the collision pass; its *whole job* adds everything from
  the vertex arrays on (hulls, objects, reading the contacts back into pairs). Of the GJK
  variants and initial guesses it offers, the fastest on the scene at hand is used.
- **python-fcl** has no broad phase worth the name from Python, so it is called per pair, as a
  user would: ``fcl.distance`` on two ``fcl.Convex`` shapes over a sample of the candidates.

Both are optional (``bash scripts/bench.sh`` installs them); without one, its columns stay empty.
"""
from __future__ import annotations

import time
from collections.abc import Callable
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt


def coal_available() -> bool:
    try:
        import coal  # type: ignore[import-untyped]  # noqa: F401
    except ImportError:
        return False
    return True


@dataclass
class CoalRun:
    pairs: dict[tuple[int, int], float]   # (i < j) -> the distance coal reports (0 when touching)
    query: float                         # seconds: tree set-up and collision pass
    whole: float                         # seconds: from the vertex arrays to the pairs
    setting: str


def coal_settings() -> list[tuple[str, dict]]:
    """The configurations tried; the fastest counts."""
    import coal

    settings = []
    for manager in ("DynamicAABBTreeCollisionManager", "DynamicAABBTreeArrayCollisionManager"):
        for variant in ("DefaultGJK", "NesterovAcceleration"):
            for guess in ("DefaultGuess", "BoundingVolumeGuess"):
                settings.append((f"{manager}, {variant}, {guess}",
                                 {"manager": getattr(coal, manager),
                                  "variant": getattr(coal.GJKVariant, variant),
                                  "guess": getattr(coal.GJKInitialGuess, guess)}))
    return settings


def coal_objects(cells: list[np.ndarray], threshold: float) -> tuple[list, dict[int, int]]:
    """One collision object per cell (its hull through Qhull, its box widened by half the
    threshold), and the cells' numbers by their hulls' identities."""
    import coal

    objects, numbers = [], {}
    for number, vertices in enumerate(cells):
        points = coal.StdVec_Vec3s()
        points.extend(list(vertices.astype(np.float64)))
        hull = coal.ConvexBase.convexHull(points, True, "Qt")
        thing = coal.CollisionObject(hull, coal.Transform3s())
        # Widened after the object is made (making it measures the box anew), so that the tree
        # offers every pair within the threshold; the security margin then decides. (A turned
        # object's box is that box turned, so it stays wide enough.)
        box = hull.aabb_local
        hull.aabb_local = coal.AABB(box.min_ - threshold / 2, box.max_ + threshold / 2)
        thing.computeAABB()
        objects.append(thing)
        numbers[hull.id()] = number
    return objects, numbers


def coal_query(objects: list, numbers: dict[int, int], threshold: float, setting: tuple[str, dict]
               ) -> tuple[dict[tuple[int, int], float], float]:
    """The pairs coal finds within the threshold, and the seconds its tree's set-up and collision
    pass took."""
    import coal

    _, options = setting
    manager = options["manager"]()
    for thing in objects:
        manager.registerObject(thing)
    callback = coal_callback(threshold, options)
    start = time.perf_counter()
    manager.setup()
    manager.collide(callback)
    query = time.perf_counter() - start
    return coal_contacts(callback, numbers), query


def coal_callback(threshold: float, options: dict):
    """coal's own C++ callback, every pair within the threshold a contact."""
    import coal

    callback = coal.CollisionCallBackDefault()
    request = callback.data.request
    request.security_margin = threshold
    request.num_max_contacts = 2 ** 31 - 1
    request.gjk_variant = options["variant"]
    request.gjk_initial_guess = options["guess"]
    return callback


def coal_contacts(callback, numbers: dict[int, int]) -> dict[tuple[int, int], float]:
    """The pairs of cells the callback's contacts join, with the distance coal reports."""
    pairs = {}
    for contact in callback.data.result.getContacts():
        i, j = numbers[contact.o1.id()], numbers[contact.o2.id()]
        pairs[(min(i, j), max(i, j))] = max(contact.penetration_depth, 0.0)
    return pairs


def coal_job(cells: list[np.ndarray], threshold: float, setting: tuple[str, dict]) -> CoalRun:
    """coal's whole job on the cells, timed whole and for its native query."""
    start = time.perf_counter()
    objects, numbers = coal_objects(cells, threshold)
    pairs, query = coal_query(objects, numbers, threshold, setting)
    return CoalRun(pairs, query, time.perf_counter() - start, setting[0])


def fastest_coal_setting(cells: list[np.ndarray], threshold: float) -> tuple[str, dict]:
    """The configuration whose query is quickest on these cells (each timed once)."""
    settings = coal_settings()
    objects, numbers = coal_objects(cells, threshold)
    times = [coal_query(objects, numbers, threshold, setting)[1] for setting in settings]
    return settings[int(np.argmin(times))]


def fcl_run(cells: list[np.ndarray], sample: npt.NDArray[np.int32]
            ) -> tuple[Callable[[], object], list[float]] | None:
    """python-fcl's convex distance over the sample's pairs, and the list its answers go to."""
    try:
        import fcl  # type: ignore[import-untyped]
        from scipy.spatial import ConvexHull  # type: ignore[import-untyped]
    except ImportError:
        return None
    objects = {}
    for i in np.unique(sample).tolist():
        points = cells[i].astype(np.float64)
        hull = ConvexHull(points)
        faces = np.hstack([np.full((len(hull.simplices), 1), 3), hull.simplices]).ravel()
        objects[i] = fcl.CollisionObject(fcl.Convex(points, len(hull.simplices), faces),
                                         fcl.Transform())
    request = fcl.DistanceRequest()
    pairs = sample.tolist()
    found: list[float] = []

    def run() -> None:
        found.clear()
        for i, j in pairs:
            found.append(fcl.distance(objects[i], objects[j], request, fcl.DistanceResult()))

    return run, found
