// Owns building the box grid: copying the boxes, choosing the reach and the bucket size, keeping
// the largest boxes out, and filling the buckets in ascending cell order. Searching it is in
// box_grid_search.cpp.
#include "kernels/deliverable/broad/box_grid.h"

#include <algorithm>
#include <cmath>

namespace cellprox {

namespace {

bool finite_box(const float* box) {
    for (int k = 0; k < 6; ++k) {
        if (!std::isfinite(box[k])) return false;
    }
    return true;
}

// Sides in double precision: exactly the difference of the two float bounds.
double largest_side(const float* box) {
    double side = 0.0;
    for (int axis = 0; axis < 3; ++axis) {
        side = std::max(side, double(box[3 + axis]) - double(box[axis]));
    }
    return side;
}

// An upside-down box (upper below lower on some axis) cannot come out of the box pass, but the
// grid's reasoning needs lower <= upper: such a box is kept out of the grid.
bool upright(const float* box) {
    return box[0] <= box[3] && box[1] <= box[4] && box[2] <= box[5];
}

// Up to sqrt(n) boxes far larger than most stay out of the grid: each costs every row one
// test, so together no more than the grid saves.
int32_t allowed_outside(int32_t n) { return static_cast<int32_t>(std::sqrt(static_cast<double>(n))); }

// The side that most boxes stay under, robust to the few large ones: the 90th percentile.
constexpr double TYPICAL_SIDE_RANK = 0.9;

// Boxes up to this many typical sides stay in the grid: larger ones would widen every search.
constexpr double REACH_PER_TYPICAL_SIDE = 4.0;

// Buckets of half the reach: a search then spans about four per axis, most of them close.
constexpr double BUCKET_PER_REACH = 0.5;

// No more buckets than about two per box (and a few for tiny inputs): empty buckets cost a
// search as much as full ones.
constexpr double BUCKETS_PER_BOX = 2.0;
constexpr double EXTRA_BUCKETS = 64.0;

// Growth of the bucket side while there are too many: about the cube root of 2, which halves
// the number of buckets.
constexpr double BUCKET_GROWTH = 1.26;

// At least one value, so that a buffer for no cells or buckets still has an address.
template <typename T>
bool allocate_array(PlainBuffer<T, PageAdvice::none>& array, int64_t count) {
    return array.resize(static_cast<size_t>(count > 0 ? count : 1));
}

}  // namespace

BoxGrid::BoxGrid(const StridedView& bbox, int32_t cell_count) : n_(cell_count) {
    if (n_ > 0 && allocate()) build(bbox);
}

bool BoxGrid::allocate() {
    entry_stride_ = (static_cast<int64_t>(n_) + ENTRY_PADDING + 3) / 4 * 4;  // columns stay 16-byte aligned
    return allocate_array(boxes_, 6 * static_cast<int64_t>(n_)) && allocate_array(outside_, n_) &&
           allocate_array(outside_list_, n_) && allocate_array(entry_bounds_, 6 * entry_stride_) &&
           allocate_array(entry_cell_, entry_stride_);
}

void BoxGrid::build(const StridedView& bbox) {
    copy_boxes(bbox);
    if (!choose_reach()) return;
    double lower[3], upper[3];
    keep_out_large_boxes(lower, upper);
    choose_bucket_size(lower, upper);
    if (!count_buckets()) return;
    fill_buckets();
    if (!bound_buckets()) return;
    ready_ = true;
}

void BoxGrid::copy_boxes(const StridedView& bbox) {
    for (int32_t i = 0; i < n_; ++i) {
        float* box = boxes_.data() + 6 * static_cast<ptrdiff_t>(i);
        for (int corner = 0; corner < 2; ++corner) {
            for (int axis = 0; axis < 3; ++axis) {
                box[3 * corner + axis] = load<float>(element(bbox, i, corner, axis));
            }
        }
    }
}

// The reach is the largest side of the finite boxes, unless a few are far larger than most:
// those stay out of the grid and are candidates for every box instead.
bool BoxGrid::choose_reach() {
    PlainBuffer<double, PageAdvice::none> buffer;
    if (!allocate_array(buffer, n_)) return false;
    double* sides = buffer.data();
    int32_t n_sized = 0;
    for (int32_t i = 0; i < n_; ++i) {
        if (finite_box(box(i)) && upright(box(i))) sides[n_sized++] = largest_side(box(i));
    }
    double reach = 0.0;
    if (n_sized > 0) {
        const int32_t cut_rank = std::max(0, n_sized - 1 - allowed_outside(n_));
        const int32_t typical_rank = static_cast<int32_t>(TYPICAL_SIDE_RANK * (n_sized - 1));
        std::nth_element(sides, sides + cut_rank, sides + n_sized);
        const double cut = sides[cut_rank];
        const double largest = *std::max_element(sides + cut_rank, sides + n_sized);
        std::nth_element(sides, sides + typical_rank, sides + cut_rank + 1);
        reach = std::max(cut, std::min(largest, REACH_PER_TYPICAL_SIDE * sides[typical_rank]));
    }
    reach_ = reach;
    return true;
}

// Lists the boxes that do not fit the grid, and bounds the ones that do.
void BoxGrid::keep_out_large_boxes(double* lower, double* upper) {
    for (int axis = 0; axis < 3; ++axis) {
        lower[axis] = HUGE_VAL;
        upper[axis] = -HUGE_VAL;
    }
    for (int32_t i = 0; i < n_; ++i) {
        const float* b = box(i);
        const bool inside = finite_box(b) && upright(b) && largest_side(b) <= reach_;
        outside_[i] = inside ? 0 : 1;
        if (!inside) {
            outside_list_[n_outside_++] = i;
            continue;
        }
        for (int axis = 0; axis < 3; ++axis) {
            lower[axis] = std::min(lower[axis], double(b[axis]));
            upper[axis] = std::max(upper[axis], double(b[3 + axis]));
        }
    }
}

// Buckets of half the reach, and no more of them than the budget; boxes without extent get
// about one box per bucket.
void BoxGrid::choose_bucket_size(const double* lower, const double* upper) {
    if (n_outside_ == n_) return;  // one bucket, empty
    const double span = std::max(upper[0] - lower[0],
                                 std::max(upper[1] - lower[1], upper[2] - lower[2]));
    double bucket_size = BUCKET_PER_REACH * reach_;
    if (!(bucket_size > 0.0)) {
        int64_t root = 1;
        while ((root + 1) * (root + 1) * (root + 1) <= n_) ++root;
        bucket_size = span > 0.0 ? span / double(root) : 1.0;
    }
    const double budget = BUCKETS_PER_BOX * n_ + EXTRA_BUCKETS;
    for (;;) {
        double total = 1.0;
        for (int axis = 0; axis < 3; ++axis) {
            total *= std::floor((upper[axis] - lower[axis]) / bucket_size) + 1.0;
        }
        if (total <= budget) break;
        bucket_size *= BUCKET_GROWTH;
    }
    for (int axis = 0; axis < 3; ++axis) {
        origin_[axis] = lower[axis];
        dims_[axis] = static_cast<int32_t>(std::floor((upper[axis] - lower[axis]) / bucket_size)) + 1;
    }
    inverse_size_ = 1.0 / bucket_size;
}

int64_t BoxGrid::home_bucket(int32_t i) const {
    const float* b = box(i);
    return bucket_index(bucket_of(0, b[0]), bucket_of(1, b[1]), bucket_of(2, b[2]));
}

// How many boxes each bucket holds, turned into each bucket's first entry.
bool BoxGrid::count_buckets() {
    const int64_t n_buckets = static_cast<int64_t>(dims_[0]) * dims_[1] * dims_[2];
    if (!allocate_array(bucket_start_, n_buckets + 1)) return false;
    std::fill(bucket_start_.data(), bucket_start_.data() + n_buckets + 1, 0);
    for (int32_t i = 0; i < n_; ++i) {
        if (!outside_[i]) ++bucket_start_[home_bucket(i) + 1];
    }
    for (int64_t b = 0; b < n_buckets; ++b) bucket_start_[b + 1] += bucket_start_[b];
    return true;
}

// Places the cells in ascending order, so that every bucket's list is ascending, then copies
// their bounds in bucket order (one scattered read a cell rather than six scattered writes).
void BoxGrid::fill_buckets() {
    for (int32_t i = 0; i < n_; ++i) {
        if (!outside_[i]) entry_cell_[bucket_start_[home_bucket(i)]++] = i;
    }
    for (int32_t position = 0; position < n_ - n_outside_; ++position) {
        const float* b = box(entry_cell_[position]);
        for (int k = 0; k < 6; ++k) entry_bounds_[k * entry_stride_ + position] = b[k];
    }
    // The padding never overlaps anything (NaN bounds) and is nobody.
    for (int32_t position = n_ - n_outside_; position < entry_stride_; ++position) {
        for (int k = 0; k < 6; ++k) entry_bounds_[k * entry_stride_ + position] = NAN;
        entry_cell_[position] = -1;
    }
    // The fill advanced each start to the next bucket's start: shift back.
    const int64_t n_buckets = static_cast<int64_t>(dims_[0]) * dims_[1] * dims_[2];
    for (int64_t b = n_buckets; b > 0; --b) bucket_start_[b] = bucket_start_[b - 1];
    bucket_start_[0] = 0;
}

bool BoxGrid::bound_buckets() {
    const int64_t n_buckets = static_cast<int64_t>(dims_[0]) * dims_[1] * dims_[2];
    bucket_stride_ = (n_buckets + ENTRY_PADDING + 3) / 4 * 4;
    if (!allocate_array(bucket_bounds_, 6 * bucket_stride_)) return false;
    std::fill(bucket_bounds_.data(), bucket_bounds_.data() + 6 * bucket_stride_, NAN);
    for (int64_t b = 0; b < n_buckets; ++b) {
        for (int32_t position = bucket_start_[b]; position < bucket_start_[b + 1]; ++position) {
            for (int k = 0; k < 6; ++k) {
                const float bound = entry_bounds_[k * entry_stride_ + position];
                float& all = bucket_bounds_[k * bucket_stride_ + b];
                const bool first = position == bucket_start_[b];
                all = first ? bound : k < 3 ? std::min(all, bound) : std::max(all, bound);
            }
        }
    }
    return true;
}

}  // namespace cellprox
