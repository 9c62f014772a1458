#include "entry_points.h"

#include "bb_intersections.h"
#include "cell.h"
#include "kernels/cell_geometry.h"
#include "neighbor_links.h"
#include "segment_distance.h"
#include "vector_math.h"

using namespace cellprox_baseline;
using cellprox::CellGeometry;
using cellprox::edge_points;
using cellprox::geometry_of;

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
int8_t classify(const CellGeometry& a, const CellGeometry& b, bool same_collection, float lower,
                float upper) {
    bool near = false;
    if (same_collection) {
        for (int32_t i = 0; i < a.v_count; ++i) {
            for (int32_t j = 0; j < b.v_count; ++j) {
                const float d = distance_between(a.vertices + 3 * static_cast<ptrdiff_t>(i),
                                                 b.vertices + 3 * static_cast<ptrdiff_t>(j));
                if (d < lower) return 0;
                near = near || d < upper;
            }
        }
    } else {
        for (int32_t i = 0; i < a.e_count; ++i) {
            const float *q0, *q1;
            if (!edge_points(a, i, &q0, &q1)) continue;
            for (int32_t j = 0; j < b.e_count; ++j) {
                const float *p0, *p1;
                if (!edge_points(b, j, &p0, &p1)) continue;
                const float d = dist3D_Segment_to_Segment(p0, p1, q0, q1);
                if (d < lower) return 0;
                near = near || d < upper;
            }
        }
    }
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
    compute_link_distances(query, link_distances);
}

int32_t cellprox_baseline_classify_links(const void* cells, int32_t cell_count, int32_t n_links,
                                         float lower, float upper, int8_t* category) {
    const char* records = static_cast<const char*>(cells);
    int32_t near = 0;
    for (int32_t cell_idx = 0; cell_idx < cell_count; ++cell_idx) {
        const Cell cell_a = read_cell(records, cell_idx);
        if (cell_a.n_count <= 0 || cell_a.cell_links == nullptr) continue;
        for (int32_t k = 0; k < cell_a.n_count; ++k) {
            const int64_t slot = static_cast<int64_t>(cell_a.links_start) + k;
            if (slot < 0 || slot >= n_links) continue;
            const int32_t other = cell_a.cell_links[k];
            if (other < 0 || other >= cell_count) continue;
            const Cell cell_b = read_cell(records, other);
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
