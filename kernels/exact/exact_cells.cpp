// The rule's entry for one pair, and its plain form in double.
#include "kernels/exact/exact_cells.h"

#include <algorithm>
#include <cmath>

#include "kernels/distance/segment_distance.h"
#include "kernels/lanes/lanes.h"

namespace cellprox {

namespace {

// The largest magnitude of any bound of the two boxes: float rounding of coordinates up to it
// is what the pruning limit must cover.
double largest_magnitude(const SearchBox& a, const SearchBox& b) {
    double largest = 0.0;
    for (int axis = 0; axis < 3; ++axis) {
        for (float bound : {a.lo[axis], a.hi[axis], b.lo[axis], b.hi[axis]}) {
            largest = std::max(largest, std::fabs(double(bound)));
        }
    }
    return largest;
}

}  // namespace

Closeness exact_cells_close(const ExactCell& a, const SearchBox& bounds_a, const ExactCell& b,
                            const SearchBox& bounds_b, const ExactThreshold& threshold,
                            ExactSpace& space) {
    // No distance is below a threshold of 0 or less (or NaN).
    if (!(threshold.value > 0.0)) return Closeness::apart;
    const float limit = exact_pruning_limit(threshold, largest_magnitude(bounds_a, bounds_b));
    return a.collection == b.collection
               ? exact_vertices_close(a, bounds_a, b, bounds_b, threshold, limit, space)
               : exact_edges_close(a, bounds_a, b, bounds_b, threshold, limit, space);
}

double exact_vertex_distance(const float* p, const float* q) {
    const double dx = double(p[0]) - double(q[0]);
    const double dy = double(p[1]) - double(q[1]);
    const double dz = double(p[2]) - double(q[2]);
    return std::sqrt(dx * dx + dy * dy + dz * dz);
}

double exact_segment_distance(const float* p0, const float* p1, const float* q0, const float* q1) {
    const double first0[3] = {p0[0], p0[1], p0[2]};
    const double first1[3] = {p1[0], p1[1], p1[2]};
    double dP[3];
    segment_offset(first0, first1, second_segment<double>(q0, q1), RelativeTolerance<double>{kSegmentTiny}, dP);
    return std::sqrt(dot(dP, dP));
}

bool plain_vertices_close(const ExactCell& a, const ExactCell& b, double threshold) {
    for (int32_t i = 0; i < a.v_count; ++i) {
        for (int32_t j = 0; j < b.v_count; ++j) {
            if (exact_vertex_distance(a.vertices + 3 * i, b.vertices + 3 * j) < threshold) return true;
        }
    }
    return false;
}

// The neighbour's edge is the first segment, as in the kernels' own test.
bool plain_edges_close(const ExactCell& a, const ExactCell& b, double threshold) {
    for (int32_t i = 0; i < a.e_count; ++i) {
        const int32_t a0 = a.edges[2 * i], a1 = a.edges[2 * i + 1];
        if (!valid_edge(a, a0, a1)) continue;
        for (int32_t j = 0; j < b.e_count; ++j) {
            const int32_t b0 = b.edges[2 * j], b1 = b.edges[2 * j + 1];
            if (!valid_edge(b, b0, b1)) continue;
            if (exact_segment_distance(b.vertices + 3 * b0, b.vertices + 3 * b1, a.vertices + 3 * a0,
                                       a.vertices + 3 * a1) < threshold) {
                return true;
            }
        }
    }
    return false;
}

}  // namespace cellprox
