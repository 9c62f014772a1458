"""cellprox: which cells of 3-D geometry touch? Native broad and narrow phase, from Python.

Importing the package loads the native module built for this platform (``cellprox_gnu`` on
Linux, ``cellprox_darwin`` on macOS, ``cellprox_nt`` on Windows), or the one named by the
environment variable ``CELLPROX_MODULE``. It is ``cellprox.native``; its two kernels are
re-exported as :func:`get_bb_intersections` and :func:`generate_neighbors`. The native module is
built for numpy 1.x and refuses numpy 2; with numpy 2 the package imports all the same, runs on
its own private modules, and only those three names raise an ImportError that says so.

- :class:`CellSet` builds the 64-byte cell records (:data:`CELL_DTYPE`) that the narrow phase
  reads through a raw address, checks what the module trusts, and keeps alive what they point
  to.
- :func:`find_neighbors` runs the whole journey in one call and returns a
  :class:`NeighborResult`.
- :class:`Tracker` keeps the search from frame to frame for cells that move, each frame's
  result the same as a fresh call's, with the contacts that began and ended.
- :mod:`cellprox.fracture` cuts a box into Voronoi cells, for tests and the demo
  (``python -m cellprox demo``).
"""
from __future__ import annotations

from typing import TYPE_CHECKING, NoReturn

from cellprox._native import RAW_NAMES, NativeModule, RawKernelsUnavailable, load_beside_numpy
from cellprox._version import __version__
from cellprox.cells import CELL_DTYPE, MAX_CELL_LINKS, CellRecords, CellSet
from cellprox.pipeline import BOX_MARGIN, RULES, NeighborResult, find_neighbors, link_tables
from cellprox.frames import FrameResult, Tracker

#: The native module in use.
native: NativeModule

_loaded = load_beside_numpy()
if isinstance(_loaded, RawKernelsUnavailable):
    _raw_kernels_unavailable: RawKernelsUnavailable | None = _loaded
else:
    _raw_kernels_unavailable = None
    native = _loaded
    get_bb_intersections = native.get_bb_intersections
    generate_neighbors = native.generate_neighbors
del _loaded


if not TYPE_CHECKING:    # a module __getattr__ would make any misspelt name type-check
    def __getattr__(name: str) -> NoReturn:
        if name in RAW_NAMES and _raw_kernels_unavailable is not None:
            raise _raw_kernels_unavailable.error(name)
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


__all__ = [
    "BOX_MARGIN",
    "CELL_DTYPE",
    "MAX_CELL_LINKS",
    "CellRecords",
    "CellSet",
    "FrameResult",
    "NativeModule",
    "NeighborResult",
    "RULES",
    "Tracker",
    "__version__",
    "find_neighbors",
    "generate_neighbors",
    "get_bb_intersections",
    "link_tables",
    "native",
]
if _raw_kernels_unavailable is not None:
    # `from cellprox import *` takes what this numpy allows.
    __all__ = [name for name in __all__ if name not in RAW_NAMES]
