"""Building the narrow phase's 64-byte cell records in numpy, as a caller does."""
import numpy as np

CELL_DTYPE = np.dtype({
    "names": ["index", "coll_index", "links_start", "v_count", "e_count", "n_count",
              "origin", "vertices", "edges", "cell_links"],
    "formats": ["<i4", "<i4", "<i4", "<i4", "<i4", "<i4", ("<f4", 3), "<u8", "<u8", "<u8"],
    "offsets": [0, 4, 8, 12, 16, 20, 24, 40, 48, 56],
    "itemsize": 64,
})


class CellArray:
    """Records for a list of cells, and every array they point to, kept alive together.

    Each cell is a dict with optional keys: vertices (v, 3), edges (e, 2), links (n,),
    links_start, origin, coll, index; the counts default to the arrays' lengths and may be
    overridden with v_count, e_count, n_count. A value of None for an array leaves its
    address at 0.
    """

    def __init__(self, cells):
        self.keep = []
        self.records = np.zeros(len(cells), CELL_DTYPE)
        for k, cell in enumerate(cells):
            rec = self.records[k]
            rec["index"] = cell.get("index", k)
            rec["coll_index"] = cell.get("coll", 0)
            rec["links_start"] = cell.get("links_start", -1)
            rec["origin"] = cell.get("origin", (0.0, 0.0, 0.0))
            for field, count, key, dtype in (("vertices", "v_count", "vertices", np.float32),
                                             ("edges", "e_count", "edges", np.int32),
                                             ("cell_links", "n_count", "links", np.int32)):
                data = cell.get(key)
                if data is None:
                    rec[count] = cell.get(count, 0)
                    continue
                array = np.ascontiguousarray(data, dtype=dtype)
                self.keep.append(array)
                rec[field] = array.ctypes.data if array.size else 0
                rec[count] = cell.get(count, len(array))

    @property
    def address(self):
        return self.records.ctypes.data

    def __len__(self):
        return len(self.records)


def random_cells(rng, n, spread, collections):
    """n small random cells (2-8 vertices, 1-9 edges) spread over a cube, collections alternating."""
    cells = []
    for k in range(n):
        v_count = int(rng.integers(2, 9))
        center = rng.uniform(0, spread, 3)
        vertices = (center + rng.normal(0, 0.6, (v_count, 3))).astype(np.float32)
        e_count = int(rng.integers(1, 10))
        edges = rng.integers(0, v_count, (e_count, 2))
        cells.append({"vertices": vertices, "edges": edges, "coll": k % collections,
                      "origin": center.astype(np.float32)})
    return cells


def broad_phase(ext, cells):
    """Links the cells by their vertex bounding boxes; fills in links and links_start."""
    n = len(cells)
    bbox = np.empty((n, 8, 3), np.float32)
    for k, cell in enumerate(cells):
        v = cell["vertices"]
        lo, hi = v.min(0), v.max(0)
        bbox[k] = [[(hi if c >> a & 1 else lo)[a] for a in range(3)] for c in range(8)]
    links = np.full((n, 30), -1, np.int32)
    starts = np.full(n, -1, np.int32)
    counts = np.zeros(n, np.uint8)
    n_links = ext.get_bb_intersections(bbox, n, links, starts, counts)
    for k, cell in enumerate(cells):
        cell["links"] = links[k, :counts[k]]
        cell["links_start"] = int(starts[k])
    return n_links


# Cubes as the package takes them: corner c at bit offsets, and the 12 edges between corners
# one bit apart.
CORNERS = np.array([[c & 1, c >> 1 & 1, c >> 2 & 1] for c in range(8)], np.float64)
CUBE_EDGES = np.array([[c, c | 1 << a] for c in range(8) for a in range(3) if not c >> a & 1], np.int32)


def cubes(lower, sides, collections=0):
    """Cubes with lower corners `lower` (n, 3) and sides `sides`, as a CellSet."""
    import cellprox

    n = len(lower)
    vertices = (lower[:, None, :] + CORNERS[None] * np.asarray(sides)[:, None, None]).reshape(-1, 3)
    return cellprox.CellSet.from_packed(vertices.astype(np.float32), np.arange(n + 1) * 8,
                                        np.tile(CUBE_EDGES, (n, 1)), np.arange(n + 1) * 12,
                                        collections=collections)
