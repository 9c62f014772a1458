"""The VTK cell types a cell set takes, with each type's own edges in VTK's point order.

meshio numbers the points of these types as VTK does, but for the wedge, whose two triangles
it walks the other way round: the wedge's edges are the same set either way.
"""
from __future__ import annotations

import numpy as np
import numpy.typing as npt

__all__ = ["CONVEX_POINT_SET", "EDGE_TABLES", "LOWER_DIMENSION", "MESHIO_TYPES", "POLYGON",
           "POLYHEDRON", "TAKEN", "TRIANGLE_STRIP", "edge_count_table", "point_count_table",
           "refusal", "refusal_of", "type_name"]

TRIANGLE, TRIANGLE_STRIP, POLYGON, PIXEL, QUAD = 5, 6, 7, 8, 9
TETRA, VOXEL, HEXAHEDRON, WEDGE, PYRAMID = 10, 11, 12, 13, 14
PENTAGONAL_PRISM, HEXAGONAL_PRISM = 15, 16
CONVEX_POINT_SET, POLYHEDRON = 41, 42

_NAMES = {0: "VTK_EMPTY_CELL", 1: "VTK_VERTEX", 2: "VTK_POLY_VERTEX", 3: "VTK_LINE",
          4: "VTK_POLY_LINE", TRIANGLE: "VTK_TRIANGLE", TRIANGLE_STRIP: "VTK_TRIANGLE_STRIP",
          POLYGON: "VTK_POLYGON", PIXEL: "VTK_PIXEL", QUAD: "VTK_QUAD", TETRA: "VTK_TETRA",
          VOXEL: "VTK_VOXEL", HEXAHEDRON: "VTK_HEXAHEDRON", WEDGE: "VTK_WEDGE",
          PYRAMID: "VTK_PYRAMID", PENTAGONAL_PRISM: "VTK_PENTAGONAL_PRISM",
          HEXAGONAL_PRISM: "VTK_HEXAGONAL_PRISM", CONVEX_POINT_SET: "VTK_CONVEX_POINT_SET",
          POLYHEDRON: "VTK_POLYHEDRON"}

#: Points and lines: cells without area or volume, which mark places of a mesh (boundary
#: conditions, physical groups) rather than pieces of it.
LOWER_DIMENSION = frozenset({0, 1, 2, 3, 4})


def _ring(k: int, first: int = 0) -> list[tuple[int, int]]:
    return [(first + i, first + (i + 1) % k) for i in range(k)]


def _prism(k: int) -> list[tuple[int, int]]:
    """Two k-gons, points 0..k-1 and k..2k-1, joined point to point."""
    return _ring(k) + _ring(k, k) + [(i, i + k) for i in range(k)]


#: The fixed-size types: each one's edges, numbered within the cell.
EDGE_TABLES: dict[int, npt.NDArray[np.int32]] = {
    code: np.array(edges, np.int32) for code, edges in {
        TRIANGLE: _ring(3),
        PIXEL: [(0, 1), (1, 3), (3, 2), (2, 0)],          # points in x-then-y order
        QUAD: _ring(4),
        TETRA: [(0, 1), (1, 2), (2, 0), (0, 3), (1, 3), (2, 3)],
        VOXEL: [(0, 1), (1, 3), (3, 2), (2, 0), (4, 5), (5, 7), (7, 6), (6, 4),
                (0, 4), (1, 5), (2, 6), (3, 7)],
        HEXAHEDRON: _prism(4),
        WEDGE: _prism(3),
        PYRAMID: _ring(4) + [(i, 4) for i in range(4)],
        PENTAGONAL_PRISM: _prism(5),
        HEXAGONAL_PRISM: _prism(6),
    }.items()}

#: Every type taken: the fixed-size ones, and those whose edges depend on the cell (a convex
#: point set has no edges of its own: its hull is its shape).
TAKEN = frozenset(EDGE_TABLES) | {TRIANGLE_STRIP, POLYGON, CONVEX_POINT_SET, POLYHEDRON}

#: meshio's names of the linear types it holds; its polyhedron blocks are named
#: "polyhedron<points>".
MESHIO_TYPES = {"triangle": TRIANGLE, "polygon": POLYGON, "quad": QUAD, "tetra": TETRA,
                "hexahedron": HEXAHEDRON, "wedge": WEDGE, "pyramid": PYRAMID}


def type_name(code: int) -> str:
    return _NAMES.get(code, f"VTK cell type {code}")


def point_count_table() -> npt.NDArray[np.int64]:
    """For each type code (0..255), the points a cell of it has: 0 where that varies."""
    table = np.zeros(256, np.int64)
    for code, edges in EDGE_TABLES.items():
        table[code] = int(edges.max()) + 1
    return table


def edge_count_table() -> npt.NDArray[np.int64]:
    """For each type code, the edges of a fixed-size cell of it: 0 for the others."""
    table = np.zeros(256, np.int64)
    for code, edges in EDGE_TABLES.items():
        table[code] = len(edges)
    return table


def refusal(code: int) -> str:
    """Why a cell of a VTK type not taken is refused, and what to do instead."""
    taken = ", ".join(type_name(c).removeprefix("VTK_").lower() for c in sorted(TAKEN))
    return refusal_of(f"a {type_name(code)}", code in LOWER_DIMENSION, taken,
                      "pyvista: grid.linear_copy()")


def refusal_of(what: str, lower_dimension: bool, taken: str, linear: str) -> str:
    if lower_dimension:
        return (f"{what}, which has no area or volume; cellprox takes surface and solid cells: "
                "leave the points and lines out first")
    return (f"{what}, which cellprox does not take (it takes the linear surface and solid "
            f"types: {taken}); turn quadratic and higher-order cells into linear ones first "
            f"({linear})")
