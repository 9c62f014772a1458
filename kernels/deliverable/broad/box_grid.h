// A spatial index over the widened boxes: for any box, the boxes that overlap it (all at once),
// or the boxes that may overlap it in ascending order of their numbers (one at a time), so that
// the pair pass can visit a row's candidates in the order the direct algorithm would and stop
// as soon as the row is full. Owns the buckets and how they are searched: built in box_grid.cpp,
// searched in box_grid_search.cpp.
#pragma once

#include <cstdint>

#include "kernels/common/shared/plain_buffer.h"
#include "kernels/common/shared/strided_view.h"

namespace cellprox {

// A uniform grid of buckets. Every box whose size fits the grid is listed once, in the bucket
// of its lower corner, with a copy of its bounds, in ascending order of cell numbers; a box that
// overlaps another one must then lie in the buckets from one box size below the other's lower
// corner up to its upper corner. The few boxes far larger than most, and boxes with NaN or
// infinite bounds, are kept in one ascending list of their own and are candidates everywhere.
// Owns its memory; a grid that could not get it is not `ready()`.
class BoxGrid {
public:
    BoxGrid(const StridedView& bbox, int32_t cell_count);
    BoxGrid(const BoxGrid&) = delete;
    BoxGrid& operator=(const BoxGrid&) = delete;

    bool ready() const { return ready_; }

    // The box of cell i as 6 floats: lower x, y, z, then upper x, y, z (a copy of bbox[i][0..1]).
    const float* box(int32_t i) const { return boxes_.data() + 6 * static_cast<ptrdiff_t>(i); }

    // Whether cell i is kept out of the grid (too large, or not finite).
    bool outside_grid(int32_t i) const { return outside_[i] != 0; }

    // Writes to `found` (room for `capacity` cells), in no particular order, the cells other
    // than i whose boxes overlap box i, and returns their number; or returns -1 when the buckets
    // to search hold about `capacity` boxes or more (a crowded neighbourhood, better visited
    // lazily with for_each_candidate). Only for a cell in the grid. `own` is box i's 6 floats:
    // box(i), or entry_box() of its place in bucket order.
    int32_t collect_overlapping(int32_t i, const float* own, int32_t* found, int32_t capacity) const;

    // How much a search around box i reads: the bucket entries in its range (the outside list
    // included) and the number of bucket lists they come in. Only for a cell in the grid.
    struct Neighbourhood {
        int64_t entries;
        int64_t lists;
    };
    Neighbourhood neighbourhood(int32_t i) const;

    // The cells in the grid, bucket by bucket: neighbours come close together.
    int32_t cells_in_grid() const { return n_ - n_outside_; }
    int32_t cell_in_bucket_order(int32_t position) const { return entry_cell_[position]; }
    // The box of that cell, read from the bucket entries (which lie in bucket order too).
    void entry_box(int32_t position, float* out) const {
        for (int k = 0; k < 6; ++k) out[k] = entry_bounds_[k * entry_stride_ + position];
    }

    // Visits, in ascending order and each once, every cell whose box may overlap box i (a
    // superset of those that do; i itself may appear), until `visit` returns false. Returns
    // false when the neighbourhood has too many buckets to merge (never for a box that fits).
    template <typename Visit>
    bool for_each_candidate(int32_t i, Visit visit) const;

private:
    // Bucket entries are kept as columns (each bound, then the cell), so that a search tests
    // four entries at once; each column has ENTRY_PADDING spare slots at its end.
    static constexpr int32_t ENTRY_PADDING = 4;
    // The most bucket lists (and the outside list) that for_each_candidate merges: a search
    // spans about 4 x 4 x 4 buckets, far fewer than this, unless boxes are much larger than
    // the buckets, and then a plain scan is as good.
    static constexpr int MAX_LISTS = 512;

    // Building, in order; a step that returns false could not get its memory.
    void build(const StridedView& bbox);
    bool allocate();
    void copy_boxes(const StridedView& bbox);
    bool choose_reach();
    void keep_out_large_boxes(double* lower, double* upper);
    void choose_bucket_size(const double* lower, const double* upper);
    bool count_buckets();
    void fill_buckets();
    bool bound_buckets();
    int64_t home_bucket(int32_t i) const;

    // The bucket holding `value` along `axis`. Monotone in `value` (a subtraction and a
    // multiplication by a positive constant, in double, then a clamped truncation), which is all
    // the search relies on.
    int32_t bucket_of(int axis, double value) const {
        const double t = (value - origin_[axis]) * inverse_size_;
        if (!(t > 0.0)) return 0;
        if (t >= static_cast<double>(dims_[axis] - 1)) return dims_[axis] - 1;
        return static_cast<int32_t>(t);
    }
    void search_range(const float* box, int32_t* lo, int32_t* hi) const;
    int64_t bucket_index(int32_t x, int32_t y, int32_t z) const {
        return (static_cast<int64_t>(z) * dims_[1] + y) * dims_[0] + x;
    }

    int32_t n_;
    bool ready_ = false;
    template <typename T>
    using Array = PlainBuffer<T, PageAdvice::none>;

    Array<float> boxes_;
    Array<uint8_t> outside_;
    Array<int32_t> outside_list_;
    int32_t n_outside_ = 0;
    Array<int32_t> bucket_start_;
    // Per bucket, the bounds of all its boxes together, as 6 columns of bucket_stride_ floats
    // (NaN for an empty bucket): a search skips buckets at the edges of its range that hold no
    // box that can reach it.
    Array<float> bucket_bounds_;
    int64_t bucket_stride_ = 0;
    Array<float> entry_bounds_;  // 6 columns of entry_stride_ floats: lower x, y, z, upper x, y, z
    Array<int32_t> entry_cell_;
    int64_t entry_stride_ = 0;
    int32_t dims_[3] = {1, 1, 1};
    double origin_[3] = {0, 0, 0};
    double inverse_size_ = 1.0;
    double reach_ = 0.0;  // the largest side of a box in the grid, in double precision
};

template <typename Visit>
bool BoxGrid::for_each_candidate(int32_t i, Visit visit) const {
    int32_t lo[3], hi[3];
    search_range(box(i), lo, hi);
    const int64_t lists_needed =
        int64_t(hi[0] - lo[0] + 1) * (hi[1] - lo[1] + 1) * (hi[2] - lo[2] + 1) + 1;
    if (lists_needed > MAX_LISTS) return false;

    // Cursors into ascending lists: bucket entries, and the outside list (as cell numbers).
    int32_t head[MAX_LISTS];
    int32_t end[MAX_LISTS];
    int lists = 0;
    for (int32_t z = lo[2]; z <= hi[2]; ++z) {
        for (int32_t y = lo[1]; y <= hi[1]; ++y) {
            for (int32_t x = lo[0]; x <= hi[0]; ++x) {
                const int64_t b = bucket_index(x, y, z);
                if (bucket_start_[b] < bucket_start_[b + 1]) {
                    head[lists] = bucket_start_[b];
                    end[lists] = bucket_start_[b + 1];
                    ++lists;
                }
            }
        }
    }
    const int32_t* outside = outside_list_.data();
    const int32_t* outside_end = outside + n_outside_;
    for (;;) {
        int32_t next = outside < outside_end ? *outside : INT32_MAX;
        int best = -1;
        for (int l = 0; l < lists; ++l) {
            if (entry_cell_[head[l]] < next) {
                next = entry_cell_[head[l]];
                best = l;
            }
        }
        if (best >= 0) {
            if (++head[best] == end[best]) {
                --lists;
                head[best] = head[lists];
                end[best] = end[lists];
            }
        } else if (outside < outside_end) {
            ++outside;
        } else {
            return true;
        }
        if (!visit(next)) return true;
    }
}

}  // namespace cellprox
