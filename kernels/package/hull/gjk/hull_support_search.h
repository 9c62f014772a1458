// The support search written once over a double lane type (double_lanes.h). Included by the
// translation units that instantiate it for one width each; both are compiled without
// reassociation or fused multiply-adds, so that each vertex's reach rounds the same in any width.
#pragma once

#include <cmath>
#include <cstdint>

#include "kernels/package/hull/gjk/hull_support.h"

namespace cellprox {

template <class D>
inline void keep_farther(D reach, D number, D& best, D& best_number) {
    const auto farther = greater(reach, best);
    best = select(farther, reach, best);
    best_number = select(farther, number, best_number);
}

// Lane by lane, the farther of two candidates, or of equals the lower-numbered one.
template <class D>
inline void keep_first_farthest(D reach, D number, D& best, D& best_number) {
    const auto better = greater(reach, best) | (equal(reach, best) & greater(best_number, number));
    best = select(better, reach, best);
    best_number = select(better, number, best_number);
}

// Two independent sets of lanes, so that one comparison need not wait for the previous. Within
// a lane the strict comparison keeps the first of equals; across lanes the lowest number wins
// a tie, so the result is the lowest-numbered farthest vertex whatever the width.
template <class D>
inline int32_t farthest_vertex_in(const HullCloud& cloud, double dx, double dy, double dz) {
    constexpr int W = D::width;
    const D ux = broadcast(dx, D{}), uy = broadcast(dy, D{}), uz = broadcast(dz, D{});
    const D step = broadcast(2.0 * W, D{});
    D number0 = counting(0.0, D{}), number1 = counting(double(W), D{});
    D best0 = broadcast(-HUGE_VAL, D{}), best1 = best0;
    D best_number0 = number0, best_number1 = number1;
    for (int32_t i = 0; i < cloud.count; i += 2 * W) {
        const D reach0 = (load(cloud.x + i, D{}) * ux + load(cloud.y + i, D{}) * uy) + load(cloud.z + i, D{}) * uz;
        const D reach1 =
            (load(cloud.x + i + W, D{}) * ux + load(cloud.y + i + W, D{}) * uy) + load(cloud.z + i + W, D{}) * uz;
        keep_farther(reach0, number0, best0, best_number0);
        keep_farther(reach1, number1, best1, best_number1);
        number0 = number0 + step;
        number1 = number1 + step;
    }
    // Folded without branches (a branch here would go either way at random): the two sets, then
    // the halves, then neighbouring lanes, until every lane holds the winner.
    keep_first_farthest(best1, best_number1, best0, best_number0);
    if constexpr (W == 4) keep_first_farthest(swap_halves(best0), swap_halves(best_number0), best0, best_number0);
    keep_first_farthest(swap_neighbours(best0), swap_neighbours(best_number0), best0, best_number0);
    return static_cast<int32_t>(first_lane(best_number0));
}

}  // namespace cellprox
