#include "kernels/pair_pass.h"

#include <algorithm>
#include <cstdlib>

#include "kernels/box_grid.h"
#include "kernels/box_pass.h"
#include "kernels/view_overlap.h"

namespace cellprox {

namespace {

// Below this many cells the grid does not pay for itself: every row looks at every cell.
constexpr int32_t GRID_MIN_CELLS = 48;

// How many bucket entries a row may search exhaustively; a more crowded neighbourhood is
// visited lazily, in ascending order, until the row is full.
constexpr int32_t COLLECT_CAPACITY = 2048;

// Overlapping cells are sorted this many at a time: a row that fills up early (crowded cells)
// never sorts the rest.
constexpr int32_t SORT_STEP = 64;

// Whether row `row` already names `cell` in any of its slots, written by this call or not.
inline bool row_names(const StridedView& links, int32_t row, int32_t cell) {
    for (int32_t slot = 0; slot < MAX_CELL_LINKS; ++slot) {
        if (load<int32_t>(element(links, row, slot)) == cell) return true;
    }
    return false;
}

// Stores link (row, other) as the row's slot `k` and counts it; `n_links` is the number of links
// recorded before it.
inline void record_link(const BroadPhaseArrays& arrays, int32_t row, int32_t k, int32_t other,
                        int32_t n_links) {
    store<int32_t>(element(arrays.links, row, k), other);
    char* start = element(arrays.link_starts, row);
    if (load<int32_t>(start) == -1) store<int32_t>(start, n_links);
    char* count = element(arrays.link_count, row);
    store<uint8_t>(count, static_cast<uint8_t>(load<uint8_t>(count) + 1));
}

// Finished rows, for the question "does lower row j name cell i?" (i > j, the two boxes
// overlapping) without reading row j. A row is offered every overlapping cell in ascending
// order and skips only lower ones, so above its own number it records every overlapping cell up
// to where it stopped: row j names i exactly when it did not fill up, or when i is at most its
// last entry. That holds for the slots this call wrote; slots the caller left that hold a number
// above the row's own could name i too, so such a row is scanned instead.
struct FinishedRows {
    uint8_t* full = nullptr;         // per row: it holds 30 links
    uint8_t* stale_above = nullptr;  // per row: a slot it left holds a number above the row's own
    int32_t* last = nullptr;         // per full row: its last entry
};

// Memory for FinishedRows, O(cells); without it the writer scans lower rows.
struct FinishedRowsMemory {
    explicit FinishedRowsMemory(int32_t cell_count) {
        const size_t n = static_cast<size_t>(cell_count);
        rows.full = static_cast<uint8_t*>(std::malloc(n));
        rows.stale_above = static_cast<uint8_t*>(std::malloc(n));
        rows.last = static_cast<int32_t*>(std::malloc(n * sizeof(int32_t)));
        if (rows.full == nullptr || rows.stale_above == nullptr || rows.last == nullptr) {
            release();
            rows = FinishedRows{};
        }
    }
    ~FinishedRowsMemory() { release(); }
    FinishedRowsMemory(const FinishedRowsMemory&) = delete;
    FinishedRowsMemory& operator=(const FinishedRowsMemory&) = delete;

    void release() {
        std::free(rows.full);
        std::free(rows.stale_above);
        std::free(rows.last);
    }
    FinishedRows rows;
};

// Writes the rows, one candidate at a time, exactly as the direct pass decides: candidates of a
// row must come in ascending order, and must include every cell whose box overlaps.
class RowWriter {
public:
    RowWriter(const BroadPhaseArrays& arrays, FinishedRows finished)
        : arrays_(arrays), finished_(finished) {}

    void start_row(int32_t i) {
        row_ = i;
        k_ = 0;
    }

    bool full() const { return k_ == MAX_CELL_LINKS; }

    // One step of the direct pass for candidate j of the current row.
    void offer(int32_t j, const BoxView& box_i, const BoxView& box_j) {
        if (j == row_) return;
        // Both tests only read, so the cheap one goes first.
        if (!check_bb_intersections(box_i, box_j)) return;
        offer_overlapping(j);
    }

    // The same step for a candidate j (not the row itself) already known to overlap.
    void offer_overlapping(int32_t j) {
        // A lower row that names this one already holds the pair, or holds a stale entry the
        // caller left in a free slot; either way the pair is not recorded from this side.
        if (j < row_ && lower_row_names(j)) return;
        record_link(arrays_, row_, k_, j, n_links_);
        ++n_links_;
        last_ = j;
        ++k_;
    }

    void finish_row() {
        if (finished_.full == nullptr) return;
        bool above = false;
        for (int32_t slot = k_; slot < MAX_CELL_LINKS && !above; ++slot) {
            above = load<int32_t>(element(arrays_.links, row_, slot)) > row_;
        }
        finished_.full[row_] = full() ? 1 : 0;
        finished_.stale_above[row_] = above ? 1 : 0;
        finished_.last[row_] = last_;
    }

    int32_t n_links() const { return n_links_; }

private:
    // Only asked for an overlapping lower row j.
    bool lower_row_names(int32_t j) const {
        if (finished_.full == nullptr || finished_.stale_above[j]) {
            return row_names(arrays_.links, j, row_);
        }
        return !finished_.full[j] || row_ <= finished_.last[j];
    }

    const BroadPhaseArrays& arrays_;
    FinishedRows finished_;
    int32_t row_ = 0;
    int32_t k_ = 0;
    int32_t last_ = -1;
    int32_t n_links_ = 0;
};

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
// of reads and writes gives the written tables. link_starts and link_count may overlap each
// other: the two passes write them in the same order once their decisions agree.
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
           ranges_meet(starts, links) || ranges_meet(counts, links);
}

// Few cells: every row looks at every cell, and lower rows are answered from FinishedRows.
int32_t link_every_pair(const BroadPhaseArrays& arrays, int32_t cell_count) {
    FinishedRowsMemory finished(cell_count);
    RowWriter rows(arrays, finished.rows);
    auto box_of_cell = [&](int32_t j) { return box_of(arrays.bbox, j); };
    for (int32_t i = 0; i < cell_count; ++i) {
        rows.start_row(i);
        offer_every_cell(rows, box_of(arrays.bbox, i), cell_count, box_of_cell);
        rows.finish_row();
    }
    return rows.n_links();
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

// Each row visits only the cells whose boxes share a bucket with its own, in ascending order,
// and stops when full: the cost follows the number of boxes and of overlaps, and a dense cluster
// costs no more than the direct pass, whose rows also stop after 30 links.
int32_t link_overlapping_boxes(const BroadPhaseArrays& arrays, int32_t cell_count) {
    if (tables_overlap(arrays, cell_count)) return link_overlapping_boxes_direct(arrays, cell_count);
    if (cell_count < GRID_MIN_CELLS) return link_every_pair(arrays, cell_count);
    const BoxGrid grid(arrays.bbox, cell_count);
    if (!grid.ready()) return link_overlapping_boxes_direct(arrays, cell_count);

    FinishedRowsMemory finished(cell_count);
    RowWriter rows(arrays, finished.rows);
    auto box_of_cell = [&](int32_t j) { return packed_box(grid.box(j)); };
    int32_t found[COLLECT_CAPACITY];
    for (int32_t i = 0; i < cell_count; ++i) {
        const BoxView box_i = packed_box(grid.box(i));
        rows.start_row(i);
        if (i + 1 < cell_count) grid.prefetch_neighbourhood(i + 1);
        if (grid.outside_grid(i)) {
            offer_every_cell(rows, box_i, cell_count, box_of_cell);
        } else {
            const int32_t n_found = grid.collect_overlapping(i, found, COLLECT_CAPACITY);
            if (n_found >= 0) {
                offer_in_order(rows, found, n_found);
            } else {
                const bool merged = grid.for_each_candidate(i, [&](int32_t j) {
                    rows.offer(j, box_i, box_of_cell(j));
                    return !rows.full();
                });
                if (!merged) offer_every_cell(rows, box_i, cell_count, box_of_cell);
            }
        }
        rows.finish_row();
    }
    return rows.n_links();
}

}  // namespace cellprox
