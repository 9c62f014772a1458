// A cell's extent along the four diagonals, and how far apart two must be to prove a gap.
#include "kernels/hull/hull_slabs.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace cellprox {

// Each of a vertex's four sums, such as (x + y) - z, is two roundings of double precision away
// from the exact sum of its three floats: off by at most 2^-52 (1 + 2^-53) of |x| + |y| + |z|,
// which is the largest of the four sums' magnitudes. Moving the extents out by 2^-50 of the
// largest magnitude among them covers that with room for the rounding of the move itself.
DiagonalSlabs diagonal_slabs(const float* xyz, int32_t count) {
    double low0 = HUGE_VAL, low1 = HUGE_VAL, low2 = HUGE_VAL, low3 = HUGE_VAL;
    double high0 = -HUGE_VAL, high1 = -HUGE_VAL, high2 = -HUGE_VAL, high3 = -HUGE_VAL;
    for (int32_t i = 0; i < count; ++i) {
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
    const double slack = std::ldexp(largest, -50);
    for (int k = 0; k < 4; ++k) {
        slabs.low[k] -= slack;
        slabs.high[k] += slack;
    }
    return slabs;
}

// The hulls' distance is at least the slabs' gap over sqrt 3 (the diagonal's length). The reach
// is threshold * sqrt 3 made larger by 2^-40 of itself, far beyond the relative rounding of the
// product, of sqrt 3 and of the gap's subtraction, and by four of the smallest doubles, beyond the
// absolute rounding of a product too small for full precision (a threshold of 0 or 1e-320).
double slab_reach(double threshold) {
    const double reach = threshold * std::sqrt(3.0);
    return (reach + std::ldexp(reach, -40)) + 4.0 * std::numeric_limits<double>::denorm_min();
}

}  // namespace cellprox
