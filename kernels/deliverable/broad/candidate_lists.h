// Owns the pair pass's first step: every cell in the grid, bucket by bucket, lists the smallest
// cells whose boxes overlap its own, so that the rows can then be decided from short lists; and
// writing the rows whose links a team held in those lists.
#pragma once

#include <cstdint>

#include "kernels/deliverable/broad/box_grid.h"
#include "kernels/deliverable/broad/pair_pass.h"
#include "kernels/common/shared/plain_buffer.h"

namespace cellprox {

// How many bucket entries a row may search exhaustively; a more crowded neighbourhood is
// visited lazily, in ascending order, until the row is full.
constexpr int32_t COLLECT_CAPACITY = 2048;

// A row's list keeps at most this many of its overlapping cells, the smallest: enough for 30
// links after the lower rows' share, and O(cells) in all.
constexpr int32_t LISTED_PER_ROW = 64;

// How far ahead, in rows, memory that lies in the other order is asked for: far enough that
// lists out of cache (about 14 MB of them at 100,000 cells) arrive in time.
constexpr int32_t LIST_PREFETCH_ROWS = 16;

// What the first step leaves for row i: `count` cells from cells[first] on, in no order, the
// smallest of the cells whose boxes overlap; `truncated` when there are more. A count of -1
// means no list: the neighbourhood is crowded, or the cell is outside the grid.
struct RowList {
    int64_t first;
    int32_t count;
    bool truncated;
    bool held;         // decided, its links held in its list, not yet written
    int32_t recorded;  // when held: how many, and the first one's number in the flat list
    int32_t start;
};

// The lists of all rows; at most LISTED_PER_ROW cells a row, so O(cells).
class CandidateLists {
public:
    explicit CandidateLists(int32_t cell_count) {
        ready_ = rows.resize(static_cast<size_t>(cell_count)) &&
                 cells.resize(static_cast<size_t>(cell_count) * LISTED_PER_ROW);
        for (int32_t i = 0; ready_ && i < cell_count; ++i) rows[static_cast<size_t>(i)] = RowList{0, -1, false, false, 0, 0};
    }

    bool ready() const { return ready_; }

    PlainBuffer<RowList, PageAdvice::none> rows;
    PlainBuffer<int32_t, PageAdvice::none> cells;

private:
    bool ready_ = false;
};

// A search reads every entry of its neighbourhood; where that is more than about half of all
// cells, visiting all cells lazily in order is cheaper, and stops as soon as the row is full.
inline int32_t listing_capacity(int32_t cell_count) {
    return cell_count / 2 < COLLECT_CAPACITY ? cell_count / 2 : COLLECT_CAPACITY;
}

struct ListSearch {
    const BoxGrid* grid;
    CandidateLists* lists;
    int32_t capacity;
    bool sorted;  // sort each list (on a team: less to do on the calling thread)
};

// The first step for the cells at bucket-order positions begin .. end-1; their lists go to the
// cells from slot begin * LISTED_PER_ROW on, so that blocks never share slots.
void list_candidates(int32_t begin, int32_t end, void* context);

struct HeldRows {
    const BroadPhaseArrays* arrays;
    const CandidateLists* lists;
};

// Writes the rows begin .. end-1 whose links are held: each writes only its own row, start and
// count.
void write_held_rows(int32_t begin, int32_t end, void* context);

}  // namespace cellprox
