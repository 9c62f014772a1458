# Type stub of the private native module cellprox._proximity: the package's own search for
# close cells under both rules (close_pairs, behind find_neighbors), the hull distance of one
# pair, and a dump of cell records for debugging.
from collections.abc import Callable
from typing import Any

def close_pairs(vertices: Any, vertex_starts: Any, edges: Any, edge_starts: Any, origins: Any,
                collections: Any, threshold: float, rule: str, witnesses: bool = ...,
                watch: Callable[[int, int], object] | None = ..., workers: int = ...
                ) -> tuple[bytearray, bytearray, bytearray | None, bytearray | None, int,
                           dict[str, float]]: ...
def hull_pair_distance(a: Any, b: Any, limit: float, /
                       ) -> tuple[float, tuple[float, float, float], tuple[float, float, float]]: ...
def debug_dump(records: Any, /) -> None: ...
