// Owns searching the box grid: the boxes that overlap a box, four bucket entries at a time, and
// how much a search around a box would read.
#include "kernels/deliverable/broad/box_grid.h"

#include "kernels/deliverable/broad/box_pass.h"
#include "kernels/common/lanes/int_lanes.h"

namespace cellprox {

namespace {

inline bool overlap(const float* a, const float* b) {
    return check_bb_intersections(packed_box(a), packed_box(b));
}

// The lowest and the highest lane set in a mask of four (of a mask that is not 0).
constexpr int8_t LOWEST_LANE[16] = {0, 0, 1, 0, 2, 0, 1, 0, 3, 0, 1, 0, 2, 0, 1, 0};
constexpr int8_t HIGHEST_LANE[16] = {0, 0, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 3, 3, 3, 3};

// Lanes of four boxes, from column `at` on, that overlap the box own_lower .. own_upper: the
// overlap test's six comparisons all evaluated (a NaN bound overlaps nothing), the same answer
// as check_bb_intersections, which stops at the first false one.
inline Mask4 overlapping_lanes(const float* columns, int64_t stride, int64_t at,
                               const Float4* own_lower, const Float4* own_upper) {
    Mask4 hit = greater(own_upper[0], Float4::load(columns + at));
    hit = hit & greater(Float4::load(columns + 3 * stride + at), own_lower[0]);
    for (int axis = 1; axis < 3; ++axis) {
        hit = hit & greater(own_upper[axis], Float4::load(columns + axis * stride + at));
        hit = hit & greater(Float4::load(columns + (3 + axis) * stride + at), own_lower[axis]);
    }
    return hit;
}

}  // namespace

// A box j in the grid that overlaps box i has j.lower < i.upper, and j.lower > i.lower - reach
// since j.upper > i.lower and j's side is at most `reach`: its bucket lies between those of
// i.lower - reach and i.upper (the rounded i.lower - reach never passes a float above it).
void BoxGrid::search_range(const float* b, int32_t* lo, int32_t* hi) const {
    for (int axis = 0; axis < 3; ++axis) {
        lo[axis] = bucket_of(axis, double(b[axis]) - reach_);
        hi[axis] = bucket_of(axis, double(b[3 + axis]));
    }
}

BoxGrid::Neighbourhood BoxGrid::neighbourhood(int32_t i) const {
    int32_t lo[3], hi[3];
    search_range(box(i), lo, hi);
    Neighbourhood size{n_outside_, n_outside_ > 0 ? 1 : 0};
    for (int32_t z = lo[2]; z <= hi[2]; ++z) {
        for (int32_t y = lo[1]; y <= hi[1]; ++y) {
            size.entries += bucket_start_[bucket_index(hi[0], y, z) + 1] - bucket_start_[bucket_index(lo[0], y, z)];
        }
    }
    size.lists += int64_t(hi[0] - lo[0] + 1) * (hi[1] - lo[1] + 1) * (hi[2] - lo[2] + 1);
    return size;
}

int32_t BoxGrid::collect_overlapping(int32_t i, const float* own, int32_t* found,
                                     int32_t capacity) const {
    int32_t lo[3], hi[3];
    search_range(own, lo, hi);
    // Each block of four stores four cells: room for three more than the entries read. A crowded
    // neighbourhood is told by its bucket bounds alone, before reading any entry.
    int64_t entries = n_outside_ + 3;
    for (int32_t z = lo[2]; z <= hi[2] && entries < capacity; ++z) {
        for (int32_t y = lo[1]; y <= hi[1]; ++y) {
            entries += bucket_start_[bucket_index(hi[0], y, z) + 1] - bucket_start_[bucket_index(lo[0], y, z)];
        }
    }
    if (entries >= capacity) return -1;  // the caller visits lazily instead

    // Four entries at a time. A block may run past its run into the next entries (or the
    // padding): those lanes are masked off.
    const Float4 own_lower[3] = {broadcast<Float4>(own[0]), broadcast<Float4>(own[1]), broadcast<Float4>(own[2])};
    const Float4 own_upper[3] = {broadcast<Float4>(own[3]), broadcast<Float4>(own[4]), broadcast<Float4>(own[5])};
    const Int4 own_cell = Int4::all(i);
    int32_t count = 0;
    for (int32_t z = lo[2]; z <= hi[2]; ++z) {
        for (int32_t y = lo[1]; y <= hi[1]; ++y) {
            // Buckets along x are contiguous, and so are their entries: one run, trimmed to the
            // first and the last bucket whose boxes can reach box i.
            const int64_t run = bucket_index(lo[0], y, z);
            const int32_t n_run = hi[0] - lo[0] + 1;
            int32_t first_bucket = -1, last_bucket = -1;
            for (int32_t b = 0; b < n_run; b += 4) {
                int bits = lanes_set(overlapping_lanes(bucket_bounds_.data(), bucket_stride_, run + b, own_lower, own_upper));
                if (n_run - b < 4) bits &= (1 << (n_run - b)) - 1;
                if (bits == 0) continue;
                if (first_bucket < 0) first_bucket = b + LOWEST_LANE[bits];
                last_bucket = b + HIGHEST_LANE[bits];
            }
            if (first_bucket < 0) continue;
            const int32_t first = bucket_start_[run + first_bucket];
            const int32_t last = bucket_start_[run + last_bucket + 1];
            const Int4 left = Int4::all(last - first);
            for (int32_t at = first; at < last; at += 4) {
                const Mask4 hit = overlapping_lanes(entry_bounds_.data(), entry_stride_, at, own_lower, own_upper);
                const Int4 cells = Int4::load(entry_cell_.data() + at);
                const Mask4 inside_run = greater(left, Int4::lane_numbers() + Int4::all(at - first));
                const Mask4 keep = and_not(equal(cells, own_cell), hit & inside_run);
                // Hits are unpredictable: four cells are stored, the hits first, and the count
                // advances by the hits.
                count += store_set_lanes_first(found + count, cells, lanes_set(keep));
            }
        }
    }
    for (int32_t k = 0; k < n_outside_; ++k) {
        const int32_t j = outside_list_[k];
        if (overlap(own, box(j))) found[count++] = j;
    }
    return count;
}

}  // namespace cellprox
