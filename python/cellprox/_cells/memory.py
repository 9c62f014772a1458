"""Memory for the arrays a cell set owns.

numpy asks the system for large pages for every array of 4 MB or more. For the cell set's own
arrays, written once by the threads that fill them and then read in long runs, that advice paid
nothing measurable in the search, and it cost the next call dearly: a process's first search of
8,000,000 cubes spent 3.2-3.6 s of system time compacting memory for the search's own buffers,
against 1.4 s when the cell set's arrays took plain pages (bench/cores.py, docs/performance.md).
So these arrays come from the interpreter's allocator, untouched until written.
"""
from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

from cellprox._gather import blank

__all__ = ["blank_array"]


def blank_array(shape: int | tuple[int, ...], dtype: Any) -> npt.NDArray[Any]:
    """A new writable C-contiguous array whose contents are not set, as numpy.empty gives, in
    memory the system maps page by page as it is first written."""
    dims = (shape,) if isinstance(shape, int) else tuple(shape)
    kind = np.dtype(dtype)
    count = 1
    for size in dims:
        count *= int(size)
    return np.frombuffer(blank(count * kind.itemsize), kind).reshape(dims)
