// The pair pass's first step and the writing of held rows, run by a loop frame's blocks.
#include "kernels/deliverable/broad/candidate_lists.h"

#include <algorithm>

#include "kernels/deliverable/broad/row_writer.h"
#include "kernels/common/lanes/lanes.h"
#include "kernels/common/shared/rank_sort.h"

namespace cellprox {

// The first step for the cells at bucket-order positions begin .. end-1; their lists go to the
// cells from slot begin * LISTED_PER_ROW on, so that blocks never share slots.
void list_candidates(int32_t begin, int32_t end, void* context) {
    const ListSearch& search = *static_cast<const ListSearch*>(context);
    int32_t found[COLLECT_CAPACITY + RANK_SORT_PADDING];
    int64_t next = int64_t(begin) * LISTED_PER_ROW;
    for (int32_t position = begin; position < end; ++position) {
        const int32_t i = search.grid->cell_in_bucket_order(position);
        // Rows lie in cell order, which jumps around in bucket order.
        if (position + LIST_PREFETCH_ROWS < end) {
            const int32_t ahead = search.grid->cell_in_bucket_order(position + LIST_PREFETCH_ROWS);
            prefetch_line(search.lists->rows.data() + ahead);
        }
        float own[6];
        search.grid->entry_box(position, own);
        const int32_t count = search.grid->collect_overlapping(i, own, found, search.capacity);
        if (count < 0) continue;
        const int32_t kept = count < LISTED_PER_ROW ? count : LISTED_PER_ROW;
        if (kept < count) std::nth_element(found, found + kept - 1, found + count);
        if (search.sorted) {
            rank_sort_distinct(found, kept, search.lists->cells.data() + next);
        } else {
            std::copy(found, found + kept, search.lists->cells.data() + next);
        }
        search.lists->rows[i] = RowList{next, kept, kept < count, false, 0, 0};
        next += kept;
    }
}

// Writes the rows begin .. end-1 whose links are held: each writes only its own row, start and
// count.
void write_held_rows(int32_t begin, int32_t end, void* context) {
    const HeldRows& held = *static_cast<const HeldRows*>(context);
    for (int32_t i = begin; i < end; ++i) {
        const RowList& row = held.lists->rows[i];
        if (row.held) write_row(*held.arrays, i, held.lists->cells.data() + row.first, row.recorded, row.start);
    }
}

}  // namespace cellprox
