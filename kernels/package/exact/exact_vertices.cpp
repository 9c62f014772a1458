// The vertex test of the exact rule: the shared plumbing's survivors as columns, and every pair
// measured four at a time in float. A squared float distance carries a relative error of a few
// units of 2^-24 (three differences, three squares, two sums), far inside the room around the
// threshold's square, so a lane below `squared_below` is close in double too and one above
// `squared_above` is not; the rest are measured again in double.
#include <cmath>

#include "kernels/package/exact/exact_cells.h"
#include "kernels/common/lanes/lanes.h"

namespace cellprox {

namespace {

struct ExactVertexVerdict {
    const ExactThreshold& threshold;

    Closeness vertex(int32_t i, const float* point, const VertexBatch& batch, CloseSpace& space) const {
        if (!threshold.fast) {
            for (int32_t j = 0; j < batch.count; ++j) {
                const float other[3] = {batch.x[j], batch.y[j], batch.z[j]};
                if (exact_vertex_distance(point, other) < threshold.value) return Closeness::close;
            }
            return Closeness::apart;
        }
        const Float4 below = broadcast<Float4>(threshold.squared_below);
        const Float4 above = broadcast<Float4>(threshold.squared_above);
        const Float4 x = broadcast<Float4>(point[0]), y = broadcast<Float4>(point[1]), z = broadcast<Float4>(point[2]);
        for (int32_t j = 0; j < batch.count; j += 4) {
            const Float4 dx = x - Float4::load(batch.x + j);
            const Float4 dy = y - Float4::load(batch.y + j);
            const Float4 dz = z - Float4::load(batch.z + j);
            const Float4 squared = dx * dx + dy * dy + dz * dz;
            if (any(less(squared, below))) return Closeness::close;
            const int open = lanes_set(!greater(squared, above));
            if (open != 0 && !space.undecided.push_back({i, j, open})) return Closeness::out_of_memory;
        }
        return Closeness::apart;
    }

    // The pairs the float pass left undecided, each measured in double.
    Closeness undecided_vertices(const VertexBatch& batch, const CloseSpace& space) const {
        for (size_t k = 0; k < space.undecided.size(); ++k) {
            const UndecidedLanes& open = space.undecided[k];
            const float* point = packed_point_at(space, open.first);
            for (int lane = 0; lane < 4; ++lane) {
                if (!(open.lanes >> lane & 1)) continue;
                const int32_t j = open.group + lane;
                const float other[3] = {batch.x[j], batch.y[j], batch.z[j]};
                if (exact_vertex_distance(point, other) < threshold.value) return Closeness::close;
            }
        }
        return Closeness::apart;
    }
};

}  // namespace

Closeness exact_vertices_close(const CellView& a, const CellView& b, const VertexBox& bounds_b,
                               const ExactThreshold& threshold, float limit, CloseSpace& space) {
    return vertices_close_pruned(a, b, bounds_b, limit, space, ExactVertexVerdict{threshold});
}

}  // namespace cellprox
