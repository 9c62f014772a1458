// The rule's entry for one pair, and its plain form in double.
#include "kernels/package/exact/exact_cells.h"

#include <cmath>

#include "kernels/common/distance/segment_distance.h"

namespace cellprox {

Closeness exact_cells_close(const CellView& a, const VertexBox& bounds_a, const CellView& b,
                            const VertexBox& bounds_b, const ExactThreshold& threshold, CloseSpace& space) {
    // No distance is below a threshold of 0 or less (or NaN).
    if (!(threshold.value > 0.0)) return Closeness::apart;
    const float limit = pruning_limit(threshold.value, bounds_a, bounds_b, ExactThreshold::PRUNING);
    return a.collection == b.collection ? exact_vertices_close(a, b, bounds_b, threshold, limit, space)
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
    segment_offset(first0, first1, second_segment<double>(q0, q1), RelativeTolerance<double>{SEGMENT_TINY}, dP);
    return std::sqrt(dot(dP, dP));
}

bool exact_segments_close(const float* p0, const float* p1, const float* q0, const float* q1, double threshold) {
    return exact_segment_distance(p0, p1, q0, q1) < threshold || exact_segment_distance(q0, q1, p0, p1) < threshold;
}

bool plain_vertices_close(const CellView& a, const CellView& b, double threshold) {
    return any_vertex_pair(a, b, [threshold](const float* p, const float* q) {
        return exact_vertex_distance(p, q) < threshold;
    });
}

bool plain_edges_close(const CellView& a, const CellView& b, double threshold) {
    return any_edge_pair(a, b, [threshold](const float* p0, const float* p1, const float* q0, const float* q1) {
        return exact_segments_close(p0, p1, q0, q1, threshold);
    });
}

}  // namespace cellprox
