#include "kernels/box_grid.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace cellprox {

namespace {

bool finite_box(const float* box) {
    for (int k = 0; k < 6; ++k) {
        if (!std::isfinite(box[k])) return false;
    }
    return true;
}

float largest_side(const float* box) {
    return std::max(box[3] - box[0], std::max(box[4] - box[1], box[5] - box[2]));
}

// An upside-down box (upper below lower on some axis) cannot come out of the box pass, but would
// touch no bucket although it may overlap others: it is kept out of the grid.
float smallest_side(const float* box) {
    return std::min(box[3] - box[0], std::min(box[4] - box[1], box[5] - box[2]));
}

template <typename T>
T* allocate_array(int64_t count) {
    if (count <= 0) count = 1;
    return static_cast<T*>(std::malloc(static_cast<size_t>(count) * sizeof(T)));
}

}  // namespace

BoxGrid::BoxGrid(const StridedView& bbox, int32_t cell_count) : n_(cell_count) {
    if (n_ > 0 && allocate()) build(bbox);
}

BoxGrid::~BoxGrid() {
    std::free(boxes_);
    std::free(outside_);
    std::free(outside_list_);
    std::free(bucket_start_);
    std::free(entries_);
}

bool BoxGrid::allocate() {
    boxes_ = allocate_array<float>(6 * static_cast<int64_t>(n_));
    outside_ = allocate_array<uint8_t>(n_);
    outside_list_ = allocate_array<int32_t>(n_);
    return boxes_ && outside_ && outside_list_;
}

// The bucket holding `value` along `axis`. Monotone in `value` (a subtraction and a
// multiplication by a positive constant, in double, then a clamped truncation), so two boxes
// whose bounds overlap always share a bucket.
int32_t BoxGrid::bucket_of(int axis, float value) const {
    const double t = (static_cast<double>(value) - origin_[axis]) * inverse_size_;
    if (!(t > 0.0)) return 0;
    if (t >= static_cast<double>(dims_[axis] - 1)) return dims_[axis] - 1;
    return static_cast<int32_t>(t);
}

void BoxGrid::bucket_range(const float* box, int32_t* lo, int32_t* hi) const {
    for (int axis = 0; axis < 3; ++axis) {
        lo[axis] = bucket_of(axis, box[axis]);
        hi[axis] = bucket_of(axis, box[3 + axis]);
    }
}

void BoxGrid::build(const StridedView& bbox) {
    for (int32_t i = 0; i < n_; ++i) {
        float* box = boxes_ + 6 * static_cast<ptrdiff_t>(i);
        for (int corner = 0; corner < 2; ++corner) {
            for (int axis = 0; axis < 3; ++axis) {
                box[3 * corner + axis] = load<float>(element(bbox, i, corner, axis));
            }
        }
    }

    // The bucket size is the largest side of the finite boxes, so that a box in the grid touches
    // at most 2 (with rounding 3) buckets per axis. Outliers, far larger than most boxes, would
    // make every bucket crowded: up to sqrt(n) of them stay out of the grid instead, and are
    // candidates for every box.
    float* sides = allocate_array<float>(n_);
    if (sides == nullptr) return;
    int32_t n_finite = 0;
    for (int32_t i = 0; i < n_; ++i) {
        if (finite_box(box(i))) sides[n_finite++] = largest_side(box(i));
    }
    float size = 0.0f;
    if (n_finite > 0) {
        const int32_t allowed_outside = static_cast<int32_t>(std::sqrt(static_cast<double>(n_)));
        const int32_t cut_rank = std::max(0, n_finite - 1 - allowed_outside);
        const int32_t typical_rank = static_cast<int32_t>(0.9 * (n_finite - 1));
        std::nth_element(sides, sides + cut_rank, sides + n_finite);
        const float cut = sides[cut_rank];
        const float largest = *std::max_element(sides + cut_rank, sides + n_finite);
        std::nth_element(sides, sides + typical_rank, sides + cut_rank + 1);
        const float typical = sides[typical_rank];
        size = std::max(cut, std::min(largest, 4.0f * typical));
    }
    std::free(sides);

    double lower[3] = {HUGE_VAL, HUGE_VAL, HUGE_VAL};
    double upper[3] = {-HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
    for (int32_t i = 0; i < n_; ++i) {
        const float* b = box(i);
        const bool inside = finite_box(b) && smallest_side(b) >= 0.0f && largest_side(b) <= size;
        outside_[i] = inside ? 0 : 1;
        if (!inside) {
            outside_list_[n_outside_++] = i;
            continue;
        }
        for (int axis = 0; axis < 3; ++axis) {
            lower[axis] = std::min(lower[axis], static_cast<double>(b[axis]));
            upper[axis] = std::max(upper[axis], static_cast<double>(b[3 + axis]));
        }
    }

    // Buckets no smaller than the boxes, and no more of them than about two per box.
    double bucket_size = size;
    if (n_outside_ < n_) {
        const double span = std::max(upper[0] - lower[0],
                                     std::max(upper[1] - lower[1], upper[2] - lower[2]));
        if (!(bucket_size > 0.0)) {  // boxes without extent: about one box per bucket
            int64_t root = 1;
            while ((root + 1) * (root + 1) * (root + 1) <= n_) ++root;
            bucket_size = span > 0.0 ? span / double(root) : 1.0;
        }
        const double budget = 2.0 * n_ + 64.0;
        for (;;) {
            double total = 1.0;
            for (int axis = 0; axis < 3; ++axis) {
                const double cells = std::floor((upper[axis] - lower[axis]) / bucket_size) + 1.0;
                total *= cells;
            }
            if (total <= budget) break;
            bucket_size *= 1.26;  // about the cube root of 2: halves the count of buckets
        }
        for (int axis = 0; axis < 3; ++axis) {
            origin_[axis] = lower[axis];
            dims_[axis] = static_cast<int32_t>(std::floor((upper[axis] - lower[axis]) / bucket_size)) + 1;
        }
        inverse_size_ = 1.0 / bucket_size;
    }

    const int64_t n_buckets = static_cast<int64_t>(dims_[0]) * dims_[1] * dims_[2];
    bucket_start_ = allocate_array<int32_t>(n_buckets + 1);
    if (bucket_start_ == nullptr) return;
    std::fill(bucket_start_, bucket_start_ + n_buckets + 1, 0);

    // Count, then fill in ascending box order so that every bucket's list is ascending.
    int64_t n_entries = 0;
    for (int pass = 0; pass < 2; ++pass) {
        for (int32_t i = 0; i < n_; ++i) {
            if (outside_[i]) continue;
            int32_t lo[3], hi[3];
            bucket_range(box(i), lo, hi);
            for (int32_t z = lo[2]; z <= hi[2]; ++z) {
                for (int32_t y = lo[1]; y <= hi[1]; ++y) {
                    for (int32_t x = lo[0]; x <= hi[0]; ++x) {
                        const int64_t b = (static_cast<int64_t>(z) * dims_[1] + y) * dims_[0] + x;
                        if (pass == 0) {
                            ++bucket_start_[b + 1];
                            ++n_entries;
                        } else {
                            entries_[bucket_start_[b]++] = i;
                        }
                    }
                }
            }
        }
        if (pass == 0) {
            if (n_entries > INT32_MAX) return;
            for (int64_t b = 0; b < n_buckets; ++b) bucket_start_[b + 1] += bucket_start_[b];
            entries_ = allocate_array<int32_t>(n_entries);
            if (entries_ == nullptr) return;
        }
    }
    // The fill advanced each start to the next bucket's start: shift back.
    for (int64_t b = n_buckets; b > 0; --b) bucket_start_[b] = bucket_start_[b - 1];
    bucket_start_[0] = 0;
    ready_ = true;
}

}  // namespace cellprox
