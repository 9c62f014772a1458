"""cellprox: which cells of 3-D geometry touch? Native broad and narrow phase, from Python.

Importing the package loads the native module built for this platform (``cellprox_gnu`` on
Linux, ``cellprox_darwin`` on macOS, ``cellprox_nt`` on Windows), or the one named by the
environment variable ``CELLPROX_MODULE``. It is ``cellprox.native``; its two kernels are
re-exported as :func:`get_bb_intersections` and :func:`generate_neighbors`.

- :class:`CellSet` builds the 64-byte cell records (:data:`CELL_DTYPE`) that the narrow phase
  reads through a raw address, checks what the module trusts, and keeps alive what they point
  to.
- :func:`find_neighbors` runs the whole journey in one call and returns a
  :class:`NeighborResult`.
- :mod:`cellprox.fracture` cuts a box into Voronoi cells, for tests and the demo
  (``python -m cellprox demo``).
"""
from __future__ import annotations

from cellprox._native import NativeModule, load
from cellprox._version import __version__
from cellprox.cells import CELL_DTYPE, MAX_CELL_LINKS, CellRecords, CellSet
from cellprox.pipeline import BOX_MARGIN, RULES, NeighborResult, find_neighbors, link_tables

#: The native module in use.
native: NativeModule = load()
get_bb_intersections = native.get_bb_intersections
generate_neighbors = native.generate_neighbors

__all__ = [
    "BOX_MARGIN",
    "CELL_DTYPE",
    "MAX_CELL_LINKS",
    "CellRecords",
    "CellSet",
    "NativeModule",
    "NeighborResult",
    "RULES",
    "__version__",
    "find_neighbors",
    "generate_neighbors",
    "get_bb_intersections",
    "link_tables",
    "native",
]
