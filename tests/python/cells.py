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
