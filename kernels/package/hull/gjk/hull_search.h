// The hull distance's search (GJK, hull_search_steps.h), built twice: for two SSE2 lanes, which
// every processor has, and for four AVX2 lanes (chosen at run time). The search's support steps
// run on the lanes and everything else of a step beside them in the same build, so that a step
// is one stretch of code the compiler schedules as a whole, with nothing to call. Both builds
// compute the same operations in the same order: a pair's result is the same bit for bit.
#pragma once

#include <cstdint>

#include "kernels/package/hull/hull_distance.h"
#include "kernels/package/hull/gjk/hull_support.h"

namespace cellprox {

// A pair as the search takes it: both cells placed relative to a's first vertex
// (hull_cloud.h), a's vertex box in the same frame, and the direction of the first step.
struct PlacedPair {
    HullPoints a, b;
    HullCloud from, to;
    Box3d box_a;
    int slot;             // the workspace's placed cell that `from` is
    double first[3];      // from b toward a, not zero
    double limit;         // the search may stop at a lower bound above this
    double size;          // no point of A - B is longer: what the search's rounding is relative to
    bool weights;         // the final simplex's weights too (for the closest points)
};

// How a search ended: the distance (or the lower bound beyond the limit), and the simplex whose
// corners, vertex i of a less vertex j of b weighted by `weight` (when asked), give the points of
// the two hulls that realise it.
struct SearchOutcome {
    double distance;
    int count;
    int32_t i[4];
    int32_t j[4];
    double weight[4];
};

SearchOutcome search_narrow(const PlacedPair& pair, HullWorkspace& work);
// Call only where processor_has_avx2() (platform/cpu_features.h).
SearchOutcome search_wide(const PlacedPair& pair, HullWorkspace& work);

}  // namespace cellprox
