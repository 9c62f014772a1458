// The baseline library's C entry points over the direct algorithms.
#include "entry_points.h"

#include "bb_intersections.h"
#include "kernels/common/distance/segment_distance.h"
#include "kernels/deliverable/narrow/cell_geometry.h"
#include "kernels/deliverable/narrow/direct_link_distances.h"
#include "kernels/common/shared/vector_math.h"

using namespace cellprox_baseline;
using cellprox::any_edge_pair;
using cellprox::any_vertex_pair;
using cellprox::Cell;
using cellprox::CellView;
using cellprox::dist3D_Segment_to_Segment;
using cellprox::distance_between;
using cellprox::geometry_of;
using cellprox::link_target;
using cellprox::NeighborQuery;
using cellprox::read_cell;

namespace {

// The kernels address arrays through byte strides only; the extents are not consulted.
StridedView view(void* data, int ndim, const int64_t* strides) {
    StridedView v;
    v.data = static_cast<char*>(data);
    v.ndim = ndim;
    for (int d = 0; d < ndim; ++d) v.strides[d] = static_cast<ptrdiff_t>(strides[d]);
    return v;
}

// 0, 1 or 2 as documented in the header, over the same pairs as the narrow phase.
int8_t classify(const CellView& a, const CellView& b, bool same_collection, float lower, float upper) {
    bool near = false;
    auto below = [&](float d) {
        near = near || d < upper;
        return d < lower;
    };
    const bool close =
        same_collection
            ? any_vertex_pair(a, b, [&](const float* p, const float* q) { return below(distance_between(p, q)); })
            : any_edge_pair(a, b, [&](const float* p0, const float* p1, const float* q0, const float* q1) {
                  return below(dist3D_Segment_to_Segment(p0, p1, q0, q1));
              });
    if (close) return 0;
    return near ? 1 : 2;
}

}  // namespace

extern "C" {

int32_t cellprox_baseline_get_bb_intersections(float* bbox, const int64_t* bbox_strides,
                                               int32_t* links, const int64_t* links_strides,
                                               int32_t* link_starts, int64_t link_starts_stride,
                                               uint8_t* link_count, int64_t link_count_stride,
                                               int32_t cell_count) {
    BroadPhaseArrays arrays;
    arrays.bbox = view(bbox, 3, bbox_strides);
    arrays.links = view(links, 2, links_strides);
    arrays.link_starts = view(link_starts, 1, &link_starts_stride);
    arrays.link_count = view(link_count, 1, &link_count_stride);
    return cellprox_baseline::get_bb_intersections(arrays, cell_count);
}

void cellprox_baseline_widen_boxes(float* bbox, const int64_t* bbox_strides, int32_t cell_count) {
    if (cell_count > 0) widen_boxes(view(bbox, 3, bbox_strides), 0, cell_count);
}

void cellprox_baseline_generate_neighbors(const void* cells, int32_t cell_count, int32_t n_links,
                                          float threshold, float* link_distances) {
    const NeighborQuery query{static_cast<const char*>(cells), cell_count, n_links, threshold};
    cellprox::compute_link_distances_direct(query, link_distances);
}

int32_t cellprox_baseline_classify_links(const void* cells, int32_t cell_count, int32_t n_links,
                                         float lower, float upper, int8_t* category) {
    const NeighborQuery query{static_cast<const char*>(cells), cell_count, n_links, 0.0f};
    int32_t near = 0;
    for (int32_t cell_idx = 0; cell_idx < cell_count; ++cell_idx) {
        const Cell cell_a = read_cell(query.cells, cell_idx);
        if (!cellprox::has_links(cell_a)) continue;
        for (int32_t k = 0; k < cell_a.n_count; ++k) {
            int64_t slot;
            int32_t other;
            if (!link_target(query, cell_a, k, &slot, &other)) continue;
            const Cell cell_b = read_cell(query.cells, other);
            category[slot] = classify(geometry_of(cell_a), geometry_of(cell_b),
                                      cell_a.coll_index == cell_b.coll_index, lower, upper);
            near += category[slot] == 1;
        }
    }
    return near;
}

float cellprox_baseline_segment_distance(const float* p0, const float* p1, const float* q0,
                                         const float* q1) {
    return dist3D_Segment_to_Segment(p0, p1, q0, q1);
}

}  // extern "C"
