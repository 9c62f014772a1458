// The contract's verdict over the shared plumbing: four float lanes at a time, each lane the
// scalar tests' own steps, so the answers are the plain loops' in every build.
#include "kernels/deliverable/narrow/close_cells.h"

#include "kernels/common/distance/segment_batch.h"
#include "kernels/common/distance/vertex_batch.h"
#include "kernels/deliverable/narrow/cell_geometry.h"

namespace cellprox {

namespace {

// The float lanes decide every pair they measure: nothing is ever left undecided.
struct ContractVerdict {
    ContractThreshold threshold;

    Closeness vertex(int32_t, const float* point, const VertexBatch& batch, CloseSpace&) const {
        return any_vertex_within(point, batch, threshold.value) ? Closeness::close : Closeness::apart;
    }
    Closeness undecided_vertices(const VertexBatch&, const CloseSpace&) const { return Closeness::apart; }

    Closeness edge(int32_t, const float* q0, const float* q1, const SegmentBatch& batch, float limit,
                   CloseSpace&) const {
        return any_segment_within(q0, q1, batch, threshold.value, limit) ? Closeness::close : Closeness::apart;
    }
    Closeness undecided_edges(const SegmentBatch&, const CloseSpace&) const { return Closeness::apart; }
};

}  // namespace

bool cells_close(const Cell& cell_a, const VertexBox& bounds_a, const Cell& cell_b, const VertexBox& bounds_b,
                 float threshold, CloseSpace& space) {
    // No distance is below a threshold of 0 or less (or NaN): nothing to measure.
    if (!(threshold > 0.0f)) return false;
    const CellView a = geometry_of(cell_a);
    const CellView b = geometry_of(cell_b);
    const bool same = cell_a.coll_index == cell_b.coll_index;
    if (bounds_usable(bounds_a) && bounds_usable(bounds_b)) {
        const float limit = pruning_limit(threshold, bounds_a, bounds_b, ContractThreshold::PRUNING);
        const ContractVerdict verdict{ContractThreshold{threshold}};
        const Closeness found = same ? vertices_close_pruned(a, b, bounds_b, limit, space, verdict)
                                     : edges_close_pruned(a, bounds_a, b, bounds_b, limit, space, verdict);
        if (found != Closeness::out_of_memory) return found == Closeness::close;
    }
    return same ? vertices_close(a, b, threshold) : edges_close(a, b, threshold);
}

}  // namespace cellprox
