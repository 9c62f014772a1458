"""Plainly written reference of the broad phase, for comparison with the module."""
import numpy as np

MAX_CELL_LINKS = 30
MARGIN = 0.002


def minf2(a, b):
    return a if a < b else b


def maxf2(a, b):
    return a if a > b else b


def widen(bbox, cell_count, single_precision_margin=False):
    for i in range(cell_count):
        lo = [np.float32(100000.0)] * 3
        hi = [np.float32(-100000.0)] * 3
        for n in range(8):
            for a in range(3):
                p = bbox[i, n, a]
                lo[a] = minf2(lo[a], p)
                hi[a] = maxf2(hi[a], p)
        for a in range(3):
            if single_precision_margin:
                bbox[i, 0, a] = lo[a] - np.float32(MARGIN)
                bbox[i, 1, a] = hi[a] + np.float32(MARGIN)
            else:
                bbox[i, 0, a] = np.float32(float(lo[a]) - MARGIN)
                bbox[i, 1, a] = np.float32(float(hi[a]) + MARGIN)


def overlap(b1, b2):
    return all(b1[1, a] > b2[0, a] and b2[1, a] > b1[0, a] for a in range(3))


def get_bb_intersections(bbox, cell_count, links, link_starts, link_count,
                         single_precision_margin=False):
    """The broad phase as written: box pass, then the quadratic pair pass."""
    if cell_count <= 0:
        return 0
    widen(bbox, cell_count, single_precision_margin)
    n_links = 0
    for i in range(cell_count):
        k = 0
        for j in range(cell_count):
            if j == i:
                continue
            if k == MAX_CELL_LINKS:
                break
            if j < i and i in links[j, :MAX_CELL_LINKS]:
                continue
            if overlap(bbox[i], bbox[j]):
                links[i, k] = j
                if link_starts[i] == -1:
                    link_starts[i] = n_links
                n_links += 1
                link_count[i] = np.uint8((int(link_count[i]) + 1) % 256)
                k += 1
    return n_links
