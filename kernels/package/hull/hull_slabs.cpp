// A cell's extent along the four diagonals, and how far apart two must be to prove a gap.
#include "kernels/package/hull/hull_slabs.h"

#include <algorithm>
#include <cmath>

#include "kernels/common/lanes/double_lanes.h"
#include "kernels/common/lanes/lanes.h"

namespace cellprox {

// Each of a vertex's four sums, such as (x + y) - z, is two roundings of double precision away
// from the exact sum of its three floats: off by at most 2^-52 (1 + 2^-53) of |x| + |y| + |z|,
// which is the largest of the four sums' magnitudes. Moving the extents out by SLAB_ROUNDING
// (2^-50) of the largest magnitude among them covers that with room for the rounding of the
// move itself.
DiagonalSlabs diagonal_slabs(const float* xyz, int32_t count) {
    // Two vertices a lane pair, four read at a time; the sums rounded as the scalar ones below.
    Double2 low[4], high[4];
    for (int k = 0; k < 4; ++k) {
        low[k] = broadcast(HUGE_VAL, Double2{});
        high[k] = broadcast(-HUGE_VAL, Double2{});
    }
    int32_t i = 0;
    for (; i + 4 <= count; i += 4) {
        Float4 px, py, pz;
        load_points(xyz + 3 * static_cast<int64_t>(i), px, py, pz);
        for (int half = 0; half < 2; ++half) {
            const Double2 x = half == 0 ? widen_low(px) : widen_high(px);
            const Double2 y = half == 0 ? widen_low(py) : widen_high(py);
            const Double2 z = half == 0 ? widen_low(pz) : widen_high(pz);
            const Double2 sums[4] = {(x + y) + z, (x + y) - z, (x - y) + z, (y - x) + z};
            for (int k = 0; k < 4; ++k) {
                low[k] = min(low[k], sums[k]);
                high[k] = max(high[k], sums[k]);
            }
        }
    }
    double low0 = first_lane(min(low[0], swap_neighbours(low[0]))), low1 = first_lane(min(low[1], swap_neighbours(low[1])));
    double low2 = first_lane(min(low[2], swap_neighbours(low[2]))), low3 = first_lane(min(low[3], swap_neighbours(low[3])));
    double high0 = first_lane(max(high[0], swap_neighbours(high[0])));
    double high1 = first_lane(max(high[1], swap_neighbours(high[1])));
    double high2 = first_lane(max(high[2], swap_neighbours(high[2])));
    double high3 = first_lane(max(high[3], swap_neighbours(high[3])));
    for (; i < count; ++i) {
        const double x = xyz[3 * i], y = xyz[3 * i + 1], z = xyz[3 * i + 2];
        const double s0 = (x + y) + z, s1 = (x + y) - z, s2 = (x - y) + z, s3 = (y - x) + z;
        low0 = std::min(low0, s0), high0 = std::max(high0, s0);
        low1 = std::min(low1, s1), high1 = std::max(high1, s1);
        low2 = std::min(low2, s2), high2 = std::max(high2, s2);
        low3 = std::min(low3, s3), high3 = std::max(high3, s3);
    }
    DiagonalSlabs slabs = {{low0, low1, low2, low3}, {high0, high1, high2, high3}};
    if (count <= 0) return slabs;   // empty: apart from everything, as its box is
    double largest = 0.0;
    for (int k = 0; k < 4; ++k) {
        largest = std::max(largest, std::max(std::fabs(slabs.low[k]), std::fabs(slabs.high[k])));
    }
    const double slack = largest * HullTolerances::SLAB_ROUNDING;
    for (int k = 0; k < 4; ++k) {
        slabs.low[k] -= slack;
        slabs.high[k] += slack;
    }
    return slabs;
}

// The hulls' distance is at least the slabs' gap over sqrt 3 (the diagonal's length); the reach
// is threshold * sqrt 3 moved out by hull_tolerances.h's slack (for a threshold of 0 or 1e-320
// too).
double slab_reach(double threshold) {
    const double reach = threshold * std::sqrt(3.0);
    return (reach + reach * HullTolerances::SLAB_REACH_SHARE) + HullTolerances::SLAB_REACH_FLOOR;
}

}  // namespace cellprox
