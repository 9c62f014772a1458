#include "kernels/broad/pair_pass.h"

#include <algorithm>
#include <cstdlib>
#include <xmmintrin.h>

#include "kernels/broad/box_grid.h"
#include "kernels/broad/box_pass.h"
#include "kernels/broad/rank_sort.h"
#include "kernels/broad/view_overlap.h"

namespace cellprox {

namespace {

// Below this many cells the grid does not pay for itself: every row looks at every cell.
constexpr int32_t GRID_MIN_CELLS = 48;

// How many bucket entries a row may search exhaustively; a more crowded neighbourhood is
// visited lazily, in ascending order, until the row is full.
constexpr int32_t COLLECT_CAPACITY = 2048;

// A row's list keeps at most this many of its overlapping cells, the smallest: enough for 30
// links after the lower rows' share, and O(cells) in all.
constexpr int32_t LISTED_PER_ROW = 64;

// How far ahead, in rows, memory that lies in the other order is asked for: far enough that
// lists out of cache (about 14 MB of them at 100,000 cells) arrive in time.
constexpr int32_t LIST_PREFETCH_ROWS = 16;

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
// last entry. Whatever the caller left in a row's free slots cannot change the answer: a row
// with free slots did not fill up, and so names every overlapping higher cell anyway.
//
// So each finished row keeps one number: row j names an overlapping cell i > j exactly when
// i <= names_up_to[j], which is its last entry when full and INT32_MAX otherwise.
struct FinishedRows {
    explicit FinishedRows(int32_t cell_count)
        : names_up_to(static_cast<int32_t*>(std::malloc(sizeof(int32_t) * size_t(cell_count)))) {}
    ~FinishedRows() { std::free(names_up_to); }
    FinishedRows(const FinishedRows&) = delete;
    FinishedRows& operator=(const FinishedRows&) = delete;

    int32_t* names_up_to;  // null without memory: lower rows are then scanned
};

// Writes row `row`'s k links (numbers start .. start + k - 1 of the flat list) as the direct
// pass would have, link by link.
void write_row(const BroadPhaseArrays& arrays, int32_t row, const int32_t* links, int32_t k,
               int32_t start) {
    for (int32_t slot = 0; slot < k; ++slot) store<int32_t>(element(arrays.links, row, slot), links[slot]);
    char* first = element(arrays.link_starts, row);
    if (k > 0 && load<int32_t>(first) == -1) store<int32_t>(first, start);
    char* count = element(arrays.link_count, row);
    store<uint8_t>(count, static_cast<uint8_t>(load<uint8_t>(count) + k));
}

// Writes the rows, one candidate at a time, exactly as the direct pass decides: candidates of a
// row must come in ascending order, and must include every cell whose box overlaps. A row's
// start and count are written once, at its first link and when it is finished: the same values
// as link by link, since no other view shares their memory (see tables_overlap).
class RowWriter {
public:
    RowWriter(const BroadPhaseArrays& arrays, int32_t* names_up_to)
        : arrays_(arrays), names_up_to_(names_up_to) {}

    // Starts row i; with `held`, its links are kept there, to be written later by write_row,
    // instead of being written at once.
    void start_row(int32_t i, int32_t* held = nullptr) {
        row_ = i;
        k_ = 0;
        held_ = held;
        row_start_ = n_links_;
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
        // A lower row that names this one already holds the pair (or a stale entry the caller
        // left in a free slot names it); either way the pair is not recorded from this side.
        if (j < row_ && lower_row_names(j)) return;
        record(j);
    }

    // Whether the current row is to skip candidate j, a lower cell whose box overlaps.
    bool skips_lower(int32_t j) const { return lower_row_names(j); }

    // Records j as the row's next link: the row is not full, and j is a candidate it keeps.
    void record(int32_t j) {
        last_ = j;
        if (held_ != nullptr) {
            held_[k_++] = j;
            return;
        }
        store<int32_t>(element(arrays_.links, row_, k_), j);
        if (k_ == 0) {
            char* start = element(arrays_.link_starts, row_);
            if (load<int32_t>(start) == -1) store<int32_t>(start, n_links_);
        }
        ++k_;
    }

    // Ends the row; returns whether its links are still held.
    bool finish_row() {
        n_links_ += k_;
        if (names_up_to_ != nullptr) names_up_to_[row_] = full() ? last_ : INT32_MAX;
        if (held_ != nullptr) return true;
        char* count = element(arrays_.link_count, row_);
        store<uint8_t>(count, static_cast<uint8_t>(load<uint8_t>(count) + k_));
        return false;
    }

    int32_t recorded() const { return k_; }
    int32_t row_start() const { return row_start_; }
    int32_t n_links() const { return n_links_; }

private:
    // Only asked for an overlapping lower row j.
    bool lower_row_names(int32_t j) const {
        if (names_up_to_ == nullptr) return row_names(arrays_.links, j, row_);
        return row_ <= names_up_to_[j];
    }

    const BroadPhaseArrays& arrays_;
    int32_t* names_up_to_;
    int32_t* held_ = nullptr;
    int32_t row_start_ = 0;
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
    RowWriter rows(arrays, finished.names_up_to);
    auto box_of_cell = [&](int32_t j) { return box_of(arrays.bbox, j); };
    for (int32_t i = 0; i < cell_count; ++i) {
        rows.start_row(i);
        offer_every_cell(rows, box_of(arrays.bbox, i), cell_count, box_of_cell);
        rows.finish_row();
    }
    return rows.n_links();
}

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
struct CandidateLists {
    explicit CandidateLists(int32_t cell_count)
        : rows(static_cast<RowList*>(std::malloc(sizeof(RowList) * size_t(cell_count)))),
          cells(static_cast<int32_t*>(
              std::malloc(sizeof(int32_t) * size_t(cell_count) * LISTED_PER_ROW))) {
        for (int32_t i = 0; rows != nullptr && i < cell_count; ++i) {
            rows[i] = RowList{0, -1, false, false, 0, 0};
        }
    }
    ~CandidateLists() {
        std::free(rows);
        std::free(cells);
    }
    CandidateLists(const CandidateLists&) = delete;
    CandidateLists& operator=(const CandidateLists&) = delete;

    bool ready() const { return rows != nullptr && cells != nullptr; }

    RowList* rows;
    int32_t* cells;
};

// A search reads every entry of its neighbourhood; where that is more than about half of all
// cells, visiting all cells lazily in order is cheaper, and stops as soon as the row is full.
int32_t listing_capacity(int32_t cell_count) {
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
void list_candidates(int32_t begin, int32_t end, void* context) {
    const ListSearch& search = *static_cast<const ListSearch*>(context);
    int32_t found[COLLECT_CAPACITY + RANK_SORT_PADDING];
    int64_t next = int64_t(begin) * LISTED_PER_ROW;
    for (int32_t position = begin; position < end; ++position) {
        const int32_t i = search.grid->cell_in_bucket_order(position);
        // Rows lie in cell order, which jumps around in bucket order.
        if (position + LIST_PREFETCH_ROWS < end) {
            const int32_t ahead = search.grid->cell_in_bucket_order(position + LIST_PREFETCH_ROWS);
            _mm_prefetch(reinterpret_cast<const char*>(search.lists->rows + ahead), _MM_HINT_T0);
        }
        float own[6];
        search.grid->entry_box(position, own);
        const int32_t count = search.grid->collect_overlapping(i, own, found, search.capacity);
        if (count < 0) continue;
        const int32_t kept = count < LISTED_PER_ROW ? count : LISTED_PER_ROW;
        if (kept < count) std::nth_element(found, found + kept - 1, found + count);
        if (search.sorted) {
            rank_sort_distinct(found, kept, search.lists->cells + next);
        } else {
            std::copy(found, found + kept, search.lists->cells + next);
        }
        search.lists->rows[i] = RowList{next, kept, kept < count, false, 0, 0};
        next += kept;
    }
}

struct HeldRows {
    const BroadPhaseArrays* arrays;
    const CandidateLists* lists;
};

// Writes the rows begin .. end-1 whose links are held: each writes only its own row, start and
// count.
void write_held_rows(int32_t begin, int32_t end, void* context) {
    const HeldRows& held = *static_cast<const HeldRows*>(context);
    for (int32_t i = begin; i < end; ++i) {
        const RowList& row = held.lists->rows[i];
        if (row.held) write_row(*held.arrays, i, held.lists->cells + row.first, row.recorded, row.start);
    }
}

// Rows are decided in their own order, but their lists lie in bucket order: the processor is
// asked for the first three cache lines of a list LIST_PREFETCH_ROWS rows ahead (a Voronoi
// cell's list of about 34 cells spans three lines as often as two).
inline void prefetch_list(const CandidateLists& lists, int32_t i) {
    const char* list = reinterpret_cast<const char*>(lists.cells + lists.rows[i].first);
    _mm_prefetch(list, _MM_HINT_T0);
    _mm_prefetch(list + 64, _MM_HINT_T0);
    _mm_prefetch(list + 128, _MM_HINT_T0);
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
    if (!grid.ready() || !lists.ready() || finished.names_up_to == nullptr) {
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
    RowWriter rows(arrays, finished.names_up_to);
    for (int32_t i = 0; i < cell_count; ++i) {
        if (i + LIST_PREFETCH_ROWS < cell_count) prefetch_list(lists, i + LIST_PREFETCH_ROWS);
        RowList& row = lists.rows[i];
        int32_t* list = lists.cells + row.first;
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
