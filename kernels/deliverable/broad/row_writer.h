// Owns the row rule of the pair pass: how a row records links in the caller's tables, which
// lower rows already name a cell (FinishedRows), and writing a decided row at once or later.
#pragma once

#include <cstdint>

#include "kernels/deliverable/broad/box_pass.h"
#include "kernels/deliverable/broad/pair_pass.h"
#include "kernels/common/shared/plain_buffer.h"

namespace cellprox {

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
class FinishedRows {
public:
    explicit FinishedRows(int32_t cell_count) { names_up_to_.resize(static_cast<size_t>(cell_count)); }

    int32_t* names_up_to() { return names_up_to_.data(); }   // null without memory: lower rows are then scanned

private:
    PlainBuffer<int32_t, PageAdvice::none> names_up_to_;
};

// Writes row `row`'s k links (numbers start .. start + k - 1 of the flat list) as the direct
// pass would have, link by link.
inline void write_row(const BroadPhaseArrays& arrays, int32_t row, const int32_t* links, int32_t k,
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

}  // namespace cellprox
