// A spatial index over the widened boxes that yields, for any box, the boxes that may overlap it
// in ascending order of their numbers, so that the pair pass can visit a row's candidates in the
// order the direct algorithm would and stop as soon as the row is full.
#pragma once

#include <cstdint>

#include "kernels/strided_view.h"

namespace cellprox {

// A uniform grid of buckets. Every box whose size fits the bucket size is listed (by number,
// ascending) in each bucket it touches; the few larger boxes, and boxes with NaN or infinite
// bounds, are kept in one ascending list of their own and are candidates for every box.
// Owns its memory; a grid that could not get it is not `ready()`.
class BoxGrid {
public:
    BoxGrid(const StridedView& bbox, int32_t cell_count);
    ~BoxGrid();
    BoxGrid(const BoxGrid&) = delete;
    BoxGrid& operator=(const BoxGrid&) = delete;

    bool ready() const { return ready_; }

    // The box of cell i as 6 floats: lower x, y, z, then upper x, y, z (a copy of bbox[i][0..1]).
    const float* box(int32_t i) const { return boxes_ + 6 * static_cast<ptrdiff_t>(i); }

    // Whether cell i is kept out of the grid (too large, or not finite).
    bool outside_grid(int32_t i) const { return outside_[i] != 0; }

    // Visits, in ascending order and each once, every cell whose box may overlap box i (a
    // superset of those that do; i itself may appear), until `visit` returns false. Only for a
    // cell in the grid.
    template <typename Visit>
    void for_each_candidate(int32_t i, Visit visit) const;

private:
    static constexpr int MAX_LISTS = 28;  // up to 3 x 3 x 3 buckets, and the outside list

    void build(const StridedView& bbox);
    bool allocate();
    void bucket_range(const float* box, int32_t* lo, int32_t* hi) const;
    int32_t bucket_of(int axis, float value) const;

    int32_t n_;
    bool ready_ = false;
    float* boxes_ = nullptr;
    uint8_t* outside_ = nullptr;
    int32_t* outside_list_ = nullptr;
    int32_t n_outside_ = 0;
    int32_t* bucket_start_ = nullptr;
    int32_t* entries_ = nullptr;
    int32_t dims_[3] = {1, 1, 1};
    double origin_[3] = {0, 0, 0};
    double inverse_size_ = 1.0;
};

template <typename Visit>
void BoxGrid::for_each_candidate(int32_t i, Visit visit) const {
    const int32_t* head[MAX_LISTS];
    const int32_t* end[MAX_LISTS];
    int lists = 0;
    int32_t lo[3], hi[3];
    bucket_range(box(i), lo, hi);
    for (int32_t z = lo[2]; z <= hi[2]; ++z) {
        for (int32_t y = lo[1]; y <= hi[1]; ++y) {
            for (int32_t x = lo[0]; x <= hi[0]; ++x) {
                const int64_t b = (static_cast<int64_t>(z) * dims_[1] + y) * dims_[0] + x;
                if (bucket_start_[b] < bucket_start_[b + 1]) {
                    head[lists] = entries_ + bucket_start_[b];
                    end[lists] = entries_ + bucket_start_[b + 1];
                    ++lists;
                }
            }
        }
    }
    if (n_outside_ > 0) {
        head[lists] = outside_list_;
        end[lists] = outside_list_ + n_outside_;
        ++lists;
    }
    // Merge the ascending lists; a box listed in several buckets comes up in several heads at
    // once and is visited once.
    while (lists > 0) {
        int32_t next = *head[0];
        for (int l = 1; l < lists; ++l) next = *head[l] < next ? *head[l] : next;
        for (int l = 0; l < lists;) {
            if (*head[l] == next && ++head[l] == end[l]) {
                --lists;
                head[l] = head[lists];
                end[l] = end[lists];
            } else {
                ++l;
            }
        }
        if (!visit(next)) return;
    }
}

}  // namespace cellprox
