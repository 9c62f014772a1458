// The cell records, built through the record's own layout so that padding is zero; each piece
// of cells writes its own records, so pieces need nothing from each other.
#include "kernels/package/cells/cell_records.h"

#include <algorithm>
#include <cstring>
#include <atomic>

#include "kernels/common/shared/cell.h"
#include "platform/loops/thread_team.h"

namespace cellprox {

namespace {

// 1 MB of records a piece: a fixed number, so that no bound depends on the workers.
constexpr int64_t CELLS_PER_PIECE = 16384;

bool inside(int64_t start, int64_t count, int64_t rows) {
    return count >= 0 && count <= INT32_MAX && start >= 0 && start <= rows - count;
}

bool write_piece(const CellColumns& cells, int64_t begin, int64_t end, char* records) {
    records += begin * static_cast<int64_t>(sizeof(Cell));
    for (int64_t i = begin; i < end; ++i, records += sizeof(Cell)) {
        const int64_t vc = cells.vertex_counts[i], ec = cells.edge_counts[i];
        const int64_t v_start = cells.vertex_starts[i], e_start = cells.edge_starts[i];
        if (!inside(v_start, vc, cells.vertex_rows) || !inside(e_start, ec, cells.edge_rows)) return false;
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
    }
    return true;
}

}  // namespace

bool write_cell_records(const CellColumns& cells, char* records, int32_t workers) {
    if (cells.n < 0 || cells.n > INT32_MAX) return false;
    const int32_t pieces = static_cast<int32_t>((cells.n + CELLS_PER_PIECE - 1) / CELLS_PER_PIECE);
    std::atomic<bool> refused{false};
    auto write = [&](int32_t k) {
        const int64_t begin = k * CELLS_PER_PIECE, end = std::min(cells.n, begin + CELLS_PER_PIECE);
        if (!write_piece(cells, begin, end, records)) refused.store(true, std::memory_order_relaxed);
    };
    for_each_piece(workers, pieces, write);
    return !refused.load();
}

}  // namespace cellprox
