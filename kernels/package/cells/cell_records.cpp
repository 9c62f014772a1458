// The cell records, built through the record's own layout so that padding is zero.
#include "kernels/package/cells/cell_records.h"

#include <cstring>

#include "kernels/common/shared/cell.h"

namespace cellprox {

bool write_cell_records(const CellColumns& cells, char* records) {
    int64_t v_start = 0, e_start = 0;
    for (int64_t i = 0; i < cells.n; ++i, records += sizeof(Cell)) {
        const int64_t vc = cells.vertex_counts[i], ec = cells.edge_counts[i];
        if (vc < 0 || ec < 0 || vc > INT32_MAX || ec > INT32_MAX || v_start + vc > cells.vertex_rows ||
            e_start + ec > cells.edge_rows) {
            return false;
        }
        Cell cell;
        std::memset(&cell, 0, sizeof cell);
        cell.index = static_cast<int32_t>(i);
        cell.coll_index = cells.collections[i];
        cell.links_start = -1;
        cell.v_count = static_cast<int32_t>(vc);
        cell.e_count = static_cast<int32_t>(ec);
        std::memcpy(cell.origin, cells.origins + 3 * i, sizeof cell.origin);
        cell.vertices = vc > 0 ? cells.vertices + 3 * v_start : nullptr;
        cell.edges = ec > 0 ? cells.edges + 2 * e_start : nullptr;
        std::memcpy(records, &cell, sizeof cell);
        v_start += vc;
        e_start += ec;
    }
    return true;
}

}  // namespace cellprox
