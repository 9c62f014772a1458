// Owns the pair pass's two drivers: the direct pass as plainly written, and the fast pass that
// decides each row in order from its candidate list (candidate_lists.*), or by visiting the grid
// or every cell lazily when it has none; tables laid over each other take the direct pass.
#include "kernels/deliverable/broad/pair_pass.h"

#include <algorithm>
#include <cstdlib>

#include "kernels/deliverable/broad/box_grid.h"
#include "kernels/deliverable/broad/box_pass.h"
#include "kernels/deliverable/broad/candidate_lists.h"
#include "kernels/deliverable/broad/row_writer.h"
#include "kernels/deliverable/broad/view_overlap.h"
#include "kernels/common/lanes/lanes.h"
#include "kernels/common/shared/rank_sort.h"

namespace cellprox {

namespace {

// Below this many cells the grid does not pay for itself: every row looks at every cell.
constexpr int32_t GRID_MIN_CELLS = 48;

// Overlapping cells are sorted this many at a time: a row that fills up early (crowded cells)
// never sorts the rest.
constexpr int32_t SORT_STEP = 64;

// Offers the overlapping cells in ascending order until the row is full, sorting only as far
// as needed.
void offer_in_order(RowWriter& rows, int32_t* found, int32_t count) {
    for (int32_t done = 0; done < count && !rows.full();) {
        const int32_t take = count - done < SORT_STEP ? count - done : SORT_STEP;
        if (done + take < count) std::nth_element(found + done, found + done + take - 1, found + count);
        std::sort(found + done, found + done + take);
        for (int32_t k = done; k < done + take && !rows.full(); ++k) rows.offer_overlapping(found[k]);
        done += take;
    }
}

// Offers every cell in ascending order until the row is full: the direct pass's candidates.
template <typename BoxOf>
void offer_every_cell(RowWriter& rows, const BoxView& box_i, int32_t cell_count, BoxOf box_of_cell) {
    for (int32_t j = 0; j < cell_count && !rows.full(); ++j) rows.offer(j, box_i, box_of_cell(j));
}

// The fast pass decides from copies of the boxes and from what it wrote to finished rows, so it
// needs the tables' writes to leave the boxes and every written link slot alone: a write to one
// element must not land on another. When the caller's views are laid over each other (rows that
// share memory, link counts inside link rows, tables inside the boxes), only the written order
// of reads and writes gives the written tables; the same holds for link_starts and link_count
// laid over each other, which the fast pass writes once a row.
bool tables_overlap(const BroadPhaseArrays& arrays, int32_t cell_count) {
    const ptrdiff_t n = cell_count;
    const ptrdiff_t boxes_extent[] = {n, 2, 3};  // the bounds, corners 0 and 1
    const ptrdiff_t links_extent[] = {n, MAX_CELL_LINKS};
    const ByteRange boxes = byte_range(arrays.bbox, 3, boxes_extent, sizeof(float));
    const ByteRange links = byte_range(arrays.links, 2, links_extent, sizeof(int32_t));
    const ByteRange starts = byte_range(arrays.link_starts, 1, &n, sizeof(int32_t));
    const ByteRange counts = byte_range(arrays.link_count, 1, &n, sizeof(uint8_t));
    return elements_overlap(arrays.links, n, MAX_CELL_LINKS, sizeof(int32_t)) ||
           ranges_meet(links, boxes) || ranges_meet(starts, boxes) || ranges_meet(counts, boxes) ||
           ranges_meet(starts, links) || ranges_meet(counts, links) || ranges_meet(starts, counts);
}

// Few cells: every row looks at every cell, and lower rows are answered from FinishedRows.
int32_t link_every_pair(const BroadPhaseArrays& arrays, int32_t cell_count) {
    FinishedRows finished(cell_count);
    RowWriter rows(arrays, finished.names_up_to());
    auto box_of_cell = [&](int32_t j) { return box_of(arrays.bbox, j); };
    for (int32_t i = 0; i < cell_count; ++i) {
        rows.start_row(i);
        offer_every_cell(rows, box_of(arrays.bbox, i), cell_count, box_of_cell);
        rows.finish_row();
    }
    return rows.n_links();
}
// Rows are decided in their own order, but their lists lie in bucket order: the processor is
// asked for the first three cache lines of a list LIST_PREFETCH_ROWS rows ahead (a Voronoi
// cell's list of about 34 cells spans three lines as often as two).
inline void prefetch_list(const CandidateLists& lists, int32_t i) {
    const char* list = reinterpret_cast<const char*>(lists.cells.data() + lists.rows[i].first);
    prefetch_line(list);
    prefetch_line(list + 64);
    prefetch_line(list + 128);
}

// Offers a row's list, the smallest overlapping cells (`sorted` or not), in ascending order:
// whether the row skips a lower cell does not depend on the order, so the ones it keeps are
// sorted (fewer than the list) and recorded from the smallest until the row is full. Returns
// the list's largest cell.
int32_t offer_list(RowWriter& rows, int32_t i, const int32_t* cells, int32_t count, bool sorted) {
    int32_t kept[LISTED_PER_ROW + RANK_SORT_PADDING];
    int32_t n_kept = 0;
    int32_t largest = -1;
    for (int32_t k = 0; k < count; ++k) {
        const int32_t j = cells[k];
        largest = j > largest ? j : largest;
        kept[n_kept] = j;
        n_kept += (j > i || !rows.skips_lower(j)) ? 1 : 0;
    }
    int32_t in_order[LISTED_PER_ROW];
    if (!sorted) rank_sort_distinct(kept, n_kept, in_order);
    const int32_t* ascending = sorted ? kept : in_order;
    for (int32_t k = 0; k < n_kept && !rows.full(); ++k) rows.record(ascending[k]);
    return largest;
}

// A truncated list ran out before the row was full: the rest of the overlapping cells, above
// the list's last one, in ascending order.
void offer_beyond_list(RowWriter& rows, const BoxGrid& grid, int32_t i, int32_t listed_last) {
    int32_t found[COLLECT_CAPACITY + 1];
    const int32_t count = grid.collect_overlapping(i, grid.box(i), found, COLLECT_CAPACITY);
    int32_t beyond = 0;
    for (int32_t k = 0; k < count; ++k) {
        if (found[k] > listed_last) found[beyond++] = found[k];
    }
    offer_in_order(rows, found, beyond);
}

// A row without a list visits candidates in ascending order until full: every cell, or the
// merged bucket lists of its neighbourhood, whichever reads less per candidate.
void visit_lazily(RowWriter& rows, const BoxGrid& grid, int32_t i, int32_t cell_count) {
    const BoxView box_i = packed_box(grid.box(i));
    auto box_of_cell = [&](int32_t j) { return packed_box(grid.box(j)); };
    bool merged = false;
    if (!grid.outside_grid(i)) {
        const BoxGrid::Neighbourhood near = grid.neighbourhood(i);
        if (near.entries * near.lists < cell_count) {
            merged = grid.for_each_candidate(i, [&](int32_t j) {
                rows.offer(j, box_i, box_of_cell(j));
                return !rows.full();
            });
        }
    }
    if (!merged) offer_every_cell(rows, box_i, cell_count, box_of_cell);
}

}  // namespace

int32_t link_overlapping_boxes_direct(const BroadPhaseArrays& arrays, int32_t cell_count) {
    int32_t n_links = 0;
    for (int32_t i = 0; i < cell_count; ++i) {
        const BoxView box_i = box_of(arrays.bbox, i);
        int32_t k = 0;
        for (int32_t j = 0; j < cell_count; ++j) {
            if (j == i) continue;
            if (k == MAX_CELL_LINKS) break;
            if (j < i && row_names(arrays.links, j, i)) continue;
            if (!check_bb_intersections(box_i, box_of(arrays.bbox, j))) continue;
            record_link(arrays, i, k, j, n_links);
            ++n_links;
            ++k;
        }
    }
    return n_links;
}

// The fast pass in two steps. First every cell in the grid, bucket by bucket (so that
// neighbouring searches share what they read), lists the cells whose boxes overlap its own:
// the smallest ones. Then the rows are decided in order from those lists, each
// stopping when full, exactly as the direct pass decides; a row whose neighbourhood is too
// crowded to list visits its candidates lazily in ascending order, and stops as early.
int32_t link_overlapping_boxes(const BroadPhaseArrays& arrays, int32_t cell_count,
                               const LoopFrame* team) {
    if (cell_count <= 0) return 0;
    if (tables_overlap(arrays, cell_count)) return link_overlapping_boxes_direct(arrays, cell_count);
    if (cell_count < GRID_MIN_CELLS) return link_every_pair(arrays, cell_count);
    const BoxGrid grid(arrays.bbox, cell_count);
    CandidateLists lists(cell_count);
    FinishedRows finished(cell_count);
    if (!grid.ready() || !lists.ready() || finished.names_up_to() == nullptr) {
        return link_overlapping_boxes_direct(arrays, cell_count);
    }
    ListSearch search{&grid, &lists, listing_capacity(cell_count), team != nullptr};
    if (team != nullptr) {
        // Each block writes only its own cells' lists: no lock, and the lists are the same.
        InterpreterReleased unlocked(*team);
        team->parallel_for(grid.cells_in_grid(), false, list_candidates, &search);
    } else {
        list_candidates(0, grid.cells_in_grid(), &search);
    }

    // On a team, a listed row's links are held in its list (it never records more cells than
    // it lists, bar a truncated list's 30) and written on the team afterwards.
    RowWriter rows(arrays, finished.names_up_to());
    for (int32_t i = 0; i < cell_count; ++i) {
        if (i + LIST_PREFETCH_ROWS < cell_count) prefetch_list(lists, i + LIST_PREFETCH_ROWS);
        RowList& row = lists.rows[i];
        int32_t* list = lists.cells.data() + row.first;
        rows.start_row(i, team != nullptr && row.count >= 0 ? list : nullptr);
        if (row.count < 0) {
            visit_lazily(rows, grid, i, cell_count);
        } else {
            const int32_t listed_last = offer_list(rows, i, list, row.count, search.sorted);
            if (row.truncated && !rows.full()) offer_beyond_list(rows, grid, i, listed_last);
        }
        row.held = rows.finish_row();
        row.recorded = rows.recorded();
        row.start = rows.row_start();
    }
    if (team != nullptr) {
        HeldRows held{&arrays, &lists};
        InterpreterReleased unlocked(*team);
        team->parallel_for(cell_count, false, write_held_rows, &held);
    }
    return rows.n_links();
}

}  // namespace cellprox
