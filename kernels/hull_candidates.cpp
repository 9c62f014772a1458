// Candidate pairs through a uniform grid whose step is about the size of most boxes.
//
// Every box goes into the grid cells its extended range [lower, upper + threshold] covers; two
// boxes within the threshold share at least the cell of their larger lower corner, and the pair is
// taken in that cell only, so each pair comes out once without a set of seen pairs. The step
// follows most boxes (the 90th percentile of their extents), so a box covers a few cells; the
// rare box that would cover many more is instead tested against every box, which keeps memory to
// the boxes and the pairs whatever the mix of sizes.
#include "kernels/hull_candidates.h"

#include <algorithm>
#include <cmath>

namespace cellprox {

namespace {

constexpr int GRID_BITS = 21;
constexpr int64_t GRID_CELLS = int64_t(1) << GRID_BITS;   // per axis, so that a key fits 63 bits
constexpr int64_t MAX_COVER = 27;                           // cells a box may cover in the grid

struct Grid {
    double origin[3];
    double step;
};

struct Entry {
    uint64_t key;
    int32_t box;
};

// The grid cell of coordinate x along `axis`. Monotone in x, so that the cell of the larger of
// two coordinates is the larger of their cells.
inline int64_t cell_of(const Grid& grid, int axis, double x) {
    const double c = std::floor((x - grid.origin[axis]) / grid.step);
    if (!(c > 0.0)) return 0;
    if (c >= static_cast<double>(GRID_CELLS - 1)) return GRID_CELLS - 1;
    return static_cast<int64_t>(c);
}

inline uint64_t key_of(int64_t x, int64_t y, int64_t z) {
    return (static_cast<uint64_t>(x) << (2 * GRID_BITS)) | (static_cast<uint64_t>(y) << GRID_BITS) |
           static_cast<uint64_t>(z);
}

// The box's extended upper bound: one step past the rounded sum, so that every box whose lower
// bound is within the threshold (compared by exact subtraction) falls inside it.
inline double reach_of(double upper, double threshold) {
    return std::nextafter(upper + threshold, HUGE_VAL);
}

// A step close to the extent (plus the threshold) of nine boxes in ten, at least the scene's span
// over the number of cells per axis.
bool choose_grid(const HullBox* boxes, int32_t count, double threshold, Grid& grid) {
    HullBuffer<double> extents;
    if (!extents.resize(static_cast<size_t>(count))) return false;
    double low[3] = {HUGE_VAL, HUGE_VAL, HUGE_VAL};
    double high[3] = {-HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
    for (int32_t i = 0; i < count; ++i) {
        double extent = 0.0;
        for (int axis = 0; axis < 3; ++axis) {
            extent = std::max(extent, boxes[i].upper[axis] - boxes[i].lower[axis]);
            low[axis] = std::min(low[axis], boxes[i].lower[axis]);
            high[axis] = std::max(high[axis], reach_of(boxes[i].upper[axis], threshold));
        }
        extents[static_cast<size_t>(i)] = extent + threshold;
    }
    const size_t rank = static_cast<size_t>(count) * 9 / 10;
    std::nth_element(extents.data(), extents.data() + rank, extents.data() + count);
    double step = extents[rank];
    double span = 0.0;
    for (int axis = 0; axis < 3; ++axis) {
        grid.origin[axis] = low[axis];
        span = std::max(span, high[axis] - low[axis]);
    }
    if (!(step > 0.0)) step = span / std::cbrt(static_cast<double>(count));
    // Far above the smallest double, so that dividing by the step (or multiplying by its
    // reciprocal, which fast math may do instead) stays finite.
    step = std::max({step, span / static_cast<double>(GRID_CELLS - 2), 1e-300});
    if (!std::isfinite(step)) step = 1.0;
    grid.step = step;
    return true;
}

}  // namespace

bool candidate_pairs(const HullBox* boxes, int32_t count, double threshold,
                     HullBuffer<HullPair>& pairs) {
    if (count < 2) return true;
    Grid grid;
    if (!choose_grid(boxes, count, threshold, grid)) return false;

    // Each box's lowest cell, and its entries in the grid (or a mark that it covers too many).
    HullBuffer<int64_t> lowest;
    HullBuffer<uint8_t> wide;
    HullBuffer<Entry> entries;
    HullBuffer<int32_t> wide_boxes;
    if (!lowest.resize(3 * static_cast<size_t>(count)) || !wide.resize(static_cast<size_t>(count)) ||
        !entries.reserve(8 * static_cast<size_t>(count))) {
        return false;
    }
    for (int32_t i = 0; i < count; ++i) {
        int64_t first[3];
        int64_t last[3];
        int64_t cover = 1;
        for (int axis = 0; axis < 3; ++axis) {
            first[axis] = cell_of(grid, axis, boxes[i].lower[axis]);
            last[axis] = cell_of(grid, axis, reach_of(boxes[i].upper[axis], threshold));
            // Capped before the product, which could otherwise overflow.
            cover *= std::min(last[axis] - first[axis] + 1, MAX_COVER + 1);
            lowest[3 * static_cast<size_t>(i) + axis] = first[axis];
        }
        wide[static_cast<size_t>(i)] = cover > MAX_COVER;
        if (cover > MAX_COVER) {
            if (!wide_boxes.push_back(i)) return false;
            continue;
        }
        for (int64_t x = first[0]; x <= last[0]; ++x) {
            for (int64_t y = first[1]; y <= last[1]; ++y) {
                for (int64_t z = first[2]; z <= last[2]; ++z) {
                    if (!entries.push_back({key_of(x, y, z), i})) return false;
                }
            }
        }
    }
    std::sort(entries.data(), entries.data() + entries.size(), [](const Entry& a, const Entry& b) {
        return a.key < b.key || (a.key == b.key && a.box < b.box);
    });

    // Each run of entries with one key is one grid cell; its boxes are gathered next to each
    // other first, since every box of the run is compared with every other.
    HullBuffer<HullBox> run_boxes;
    HullBuffer<uint64_t> run_homes;   // each box's lowest cell, as a key per axis
    const size_t total = entries.size();
    for (size_t start = 0; start < total;) {
        size_t end = start + 1;
        while (end < total && entries[end].key == entries[start].key) ++end;
        const size_t size = end - start;
        if (!run_boxes.resize(size) || !run_homes.resize(3 * size)) return false;
        for (size_t p = 0; p < size; ++p) {
            const size_t box = static_cast<size_t>(entries[start + p].box);
            run_boxes[p] = boxes[box];
            for (int axis = 0; axis < 3; ++axis) run_homes[3 * p + axis] = static_cast<uint64_t>(lowest[3 * box + axis]);
        }
        const uint64_t cell = entries[start].key;
        for (size_t p = 0; p < size; ++p) {
            const uint64_t* low_p = &run_homes[3 * p];
            for (size_t q = p + 1; q < size; ++q) {
                const uint64_t* low_q = &run_homes[3 * q];
                const uint64_t home = key_of(static_cast<int64_t>(std::max(low_p[0], low_q[0])),
                                             static_cast<int64_t>(std::max(low_p[1], low_q[1])),
                                             static_cast<int64_t>(std::max(low_p[2], low_q[2])));
                if (home != cell || !boxes_within(run_boxes[p], run_boxes[q], threshold)) continue;
                if (!pairs.push_back({entries[start + p].box, entries[start + q].box})) return false;
            }
        }
        start = end;
    }

    for (size_t w = 0; w < wide_boxes.size(); ++w) {
        const int32_t i = wide_boxes[w];
        for (int32_t j = 0; j < count; ++j) {
            if (j == i || (wide[static_cast<size_t>(j)] && j < i)) continue;
            if (!boxes_within(boxes[i], boxes[j], threshold)) continue;
            if (!pairs.push_back({std::min(i, j), std::max(i, j)})) return false;
        }
    }
    return true;
}

}  // namespace cellprox
