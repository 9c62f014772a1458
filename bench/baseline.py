"""The baseline library (the direct algorithms in C++, bench/baseline/) through ctypes."""
from __future__ import annotations

import ctypes
import os
import sys
from pathlib import Path

import numpy as np

_P = ctypes.c_void_p
_I32, _I64, _F32 = ctypes.c_int32, ctypes.c_int64, ctypes.c_float


def library_name(deliverable: str = "gnu") -> str:
    if sys.platform == "win32":
        return f"cellprox_baseline_{deliverable}.dll"
    suffix = ".dylib" if sys.platform == "darwin" else ".so"
    return f"libcellprox_baseline_{deliverable}{suffix}"


def _address(array: np.ndarray) -> int:
    return array.__array_interface__["data"][0]


def _strides(array: np.ndarray) -> ctypes.Array:
    return (_I64 * array.ndim)(*array.strides)


class Baseline:
    """The direct algorithms of one deliverable, loaded from a shared library."""

    def __init__(self, path: str | os.PathLike[str]):
        self.path = Path(path)
        lib = ctypes.CDLL(str(self.path))
        lib.cellprox_baseline_get_bb_intersections.restype = _I32
        lib.cellprox_baseline_get_bb_intersections.argtypes = [
            _P, _P, _P, _P, _P, _I64, _P, _I64, _I32]
        lib.cellprox_baseline_widen_boxes.restype = None
        lib.cellprox_baseline_widen_boxes.argtypes = [_P, _P, _I32]
        lib.cellprox_baseline_generate_neighbors.restype = None
        lib.cellprox_baseline_generate_neighbors.argtypes = [_P, _I32, _I32, _F32, _P]
        lib.cellprox_baseline_classify_links.restype = _I32
        lib.cellprox_baseline_classify_links.argtypes = [_P, _I32, _I32, _F32, _F32, _P]
        lib.cellprox_baseline_segment_distance.restype = _F32
        lib.cellprox_baseline_segment_distance.argtypes = [_P, _P, _P, _P]
        self._lib = lib

    @staticmethod
    def _check_broad(bbox, cell_count, links, link_starts, link_count):
        assert bbox.dtype == np.float32 and bbox.ndim == 3 and bbox.shape[0] >= cell_count
        assert bbox.shape[1:] == (8, 3)
        assert links.dtype == np.int32 and links.ndim == 2 and links.shape[1] >= 30
        assert link_starts.dtype == np.int32 and link_count.dtype == np.uint8
        assert min(len(links), len(link_starts), len(link_count)) >= cell_count

    def get_bb_intersections(self, bbox: np.ndarray, cell_count: int, links: np.ndarray,
                             link_starts: np.ndarray, link_count: np.ndarray) -> int:
        """The broad phase on the caller's arrays, like the module's (any strides)."""
        self._check_broad(bbox, cell_count, links, link_starts, link_count)
        return int(self._lib.cellprox_baseline_get_bb_intersections(
            _address(bbox), _strides(bbox), _address(links), _strides(links),
            _address(link_starts), link_starts.strides[0], _address(link_count),
            link_count.strides[0], cell_count))

    def widen_boxes(self, bbox: np.ndarray, cell_count: int) -> None:
        assert bbox.dtype == np.float32 and bbox.shape[1:] == (8, 3)
        assert len(bbox) >= cell_count
        self._lib.cellprox_baseline_widen_boxes(_address(bbox), _strides(bbox), cell_count)

    def generate_neighbors(self, cells_p: int, cell_count: int, n_links: int,
                           threshold: float, out: np.ndarray | None = None) -> np.ndarray:
        """The narrow phase; `out` (float32, n_links, contiguous) may be given to reuse it."""
        if out is None:
            out = np.empty(max(n_links, 0), np.float32)
        assert out.dtype == np.float32 and out.flags.c_contiguous and len(out) >= n_links
        self._lib.cellprox_baseline_generate_neighbors(cells_p, cell_count, n_links,
                                                       threshold, _address(out))
        return out

    def classify_links(self, cells_p: int, cell_count: int, n_links: int, lower: float,
                       upper: float) -> tuple[int, np.ndarray]:
        """Per link slot: 0 some pair below `lower`, 1 none but some below `upper`, 2 none
        below `upper`, -1 no valid link. Returns (count of 1, categories)."""
        category = np.full(max(n_links, 0), -1, np.int8)
        near = self._lib.cellprox_baseline_classify_links(cells_p, cell_count, n_links,
                                                          lower, upper, _address(category))
        return int(near), category

    def segment_distance(self, p0, p1, q0, q1) -> float:
        points = [np.ascontiguousarray(p, np.float32).reshape(3) for p in (p0, p1, q0, q1)]
        return float(self._lib.cellprox_baseline_segment_distance(*map(_address, points)))
