# Type stub of the private native module cellprox._gather: joining per-cell arrays into one,
# converting and checking a cell set's rows on the thread team, per-cell bounds and means, and
# writing the 64-byte cell records, for cells.py and the modules of _cells/. gather and
# build_rows return None where they leave the case to the package's own checks.
from collections.abc import Callable
from typing import Any

def gather(arrays: Any, width: int, allocate: Callable[[tuple[int, ...], str], Any], /
           ) -> tuple[Any, Any] | None: ...
def build_rows(vertices: Any, v_counts: Any, edges: Any, e_counts: Any,
               allocate: Callable[[tuple[int, ...], str], Any], keep: bool, means: bool,
               workers: int, /) -> tuple[Any, Any, Any, Any, Any, int] | None: ...
def run_bounds(points: Any, counts: Any, lower: Any, upper: Any, /) -> None: ...
def run_means(points: Any, counts: Any, means: Any, /) -> None: ...
def write_records(records: Any, collections: Any, v_counts: Any, e_counts: Any,
                  vertex_starts: Any, edge_starts: Any, origins: Any, vertex_data: Any,
                  edge_data: Any, workers: int, /) -> None: ...
