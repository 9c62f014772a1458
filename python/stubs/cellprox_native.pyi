# Type stub of the native modules cellprox_gnu, cellprox_darwin and cellprox_nt, which share
# one interface. The build installs it as cellprox_<deliverable>.pyi beside the extension and as
# the stub package cellprox_<deliverable>-stubs (which is where mypy looks).
from typing import Any, Union

import numpy as np
import numpy.typing as npt

# A writable buffer with the right item type and number of dimensions (numpy arrays, memoryviews
# and the like); None is accepted only with a cell_count of 0 or less.
_Buffer = Union[npt.NDArray[Any], memoryview, bytearray, None]

__test__: dict[str, str]

def get_bb_intersections(bbox: _Buffer, cell_count: int, links: _Buffer,
                         link_starts: _Buffer, link_count: _Buffer) -> int:
    """get_bb_intersections(float[:, :, :] bbox, int cell_count, int[:, :] links,
    int[:] link_starts, unsigned char[:] link_count) -> int"""

def generate_neighbors(cells_p: int, cell_count: int, n_links: int, distance_threshold: float,
                       use_debug: int) -> npt.NDArray[np.float32]:
    """generate_neighbors(long long cells_p, int cell_count, int n_links,
    float distance_threshold, int use_debug) -> ndarray"""
