// The cell records, written field by field at the record's own offsets, padding zeroed; each
// piece of cells writes its own records, so pieces need nothing from each other.
#include "kernels/package/cells/cell_records.h"

#include <algorithm>
#include <cstring>
#include <atomic>
#include <cstddef>

#include "kernels/common/shared/cell.h"
#include "platform/loops/thread_team.h"

namespace cellprox {

namespace {

// 1 MB of records a piece: a fixed number, so that no bound depends on the workers.
constexpr int64_t CELLS_PER_PIECE = 16384;

bool inside(int64_t start, int64_t count, int64_t rows) {
    return count >= 0 && count <= INT32_MAX && start >= 0 && start <= rows - count;
}

// One field written straight into the record: a record built on the stack and copied whole
// would be read back before its small stores reach the cache, a stall for every record.
template <class T>
void put(char* record, size_t offset, T value) {
    std::memcpy(record + offset, &value, sizeof value);
}

bool write_piece(const CellColumns& cells, int64_t begin, int64_t end, char* records) {
    constexpr size_t padding = offsetof(Cell, origin) + sizeof(Cell::origin);
    static_assert(offsetof(Cell, vertices) - padding == sizeof(int32_t), "one int of padding");
    char* record = records + begin * static_cast<int64_t>(sizeof(Cell));
    for (int64_t i = begin; i < end; ++i, record += sizeof(Cell)) {
        const int64_t vc = cells.vertex_counts[i], ec = cells.edge_counts[i];
        const int64_t v_start = cells.vertex_starts[i], e_start = cells.edge_starts[i];
        if (!inside(v_start, vc, cells.vertex_rows) || !inside(e_start, ec, cells.edge_rows)) return false;
        put(record, offsetof(Cell, index), static_cast<int32_t>(i));
        put(record, offsetof(Cell, coll_index), cells.collections[i]);
        put(record, offsetof(Cell, links_start), int32_t{-1});
        put(record, offsetof(Cell, v_count), static_cast<int32_t>(vc));
        put(record, offsetof(Cell, e_count), static_cast<int32_t>(ec));
        put(record, offsetof(Cell, n_count), int32_t{0});
        std::memcpy(record + offsetof(Cell, origin), cells.origins + 3 * i, sizeof(Cell::origin));
        put(record, padding, int32_t{0});
        put(record, offsetof(Cell, vertices), vc > 0 ? cells.vertices + 3 * v_start : nullptr);
        put(record, offsetof(Cell, edges), ec > 0 ? cells.edges + 2 * e_start : nullptr);
        put(record, offsetof(Cell, cell_links), static_cast<const int32_t*>(nullptr));
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
