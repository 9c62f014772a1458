// The vertex test of the exact rule: a's vertices near b's bounds, then b's vertices near those,
// as columns, and every pair measured four at a time in float. A squared float distance carries
// a relative error of a few units of 2^-24 (three differences, three squares, two sums), far
// inside the room around the threshold's square, so a lane below `squared_below` is close in
// double too and one above `squared_above` is not; the rest are measured again in double.
#include <cmath>

#include "kernels/exact/exact_packing.h"
#include "kernels/lanes/lanes.h"

namespace cellprox {

namespace {

// The pairs the float pass left undecided, each measured in double.
bool undecided_vertices_close(const ExactSpace& space, const float* const column[3], double threshold) {
    for (size_t k = 0; k < space.undecided.size(); ++k) {
        const UndecidedLanes& open = space.undecided[k];
        const float* point = space.points.data() + 4 * open.first;
        for (int lane = 0; lane < 4; ++lane) {
            if (!(open.lanes >> lane & 1)) continue;
            const int32_t j = open.group + lane;
            const float other[3] = {column[0][j], column[1][j], column[2][j]};
            if (exact_vertex_distance(point, other) < threshold) return true;
        }
    }
    return false;
}

}  // namespace

Closeness exact_vertices_close(const ExactCell& a, const SearchBox& bounds_a, const ExactCell& b,
                               const SearchBox& bounds_b, const ExactThreshold& threshold, float limit,
                               ExactSpace& space) {
    (void)bounds_a;
    if (a.v_count == 0 || b.v_count == 0) return Closeness::apart;
    if (!pack_points(a, space) || !space.near.resize(static_cast<size_t>(a.v_count))) {
        return Closeness::out_of_memory;
    }
    // a's vertices within reach of b's bounds, and the bounds of those.
    const WideBox box_b = widened(bounds_b, limit);
    int32_t near = 0;
    Float4 lo = broadcast<Float4>(INFINITY), hi = broadcast<Float4>(-INFINITY);
    for (int32_t i = 0; i < a.v_count; ++i) {
        const Float4 point{packed_point(space, i)};
        space.near[static_cast<size_t>(near)] = i;
        const bool keep = outcode(point, box_b) == 0;
        near += keep;
        // Without a branch, as which vertices survive is as good as unpredictable.
        const Mask4 kept = mask4(keep);
        lo = select(kept, minimum(lo, point), lo);
        hi = select(kept, maximum(hi, point), hi);
    }
    if (near == 0) return Closeness::apart;

    // b's vertices within reach of those, as columns x, y, z padded with points at infinity,
    // whose squared distance to anything is infinite: never close, never undecided.
    const int32_t room = padded(b.v_count);
    if (!space.columns.resize(3 * static_cast<size_t>(room))) return Closeness::out_of_memory;
    float* column[3] = {space.columns.data(), space.columns.data() + room, space.columns.data() + 2 * room};
    const WideBox box_a = widened(lo, hi, limit);
    int32_t kept = 0;
    for (int32_t j = 0; j < b.v_count; ++j) {
        const float* p = b.vertices + 3 * j;
        for (int k = 0; k < 3; ++k) column[k][kept] = p[k];
        kept += outcode(point_lanes(p), box_a) == 0;
    }
    if (kept == 0) return Closeness::apart;
    for (int32_t j = kept; j < padded(kept); ++j) column[0][j] = column[1][j] = column[2][j] = INFINITY;

    space.undecided.clear();
    const Float4 below = broadcast<Float4>(threshold.squared_below);
    const Float4 above = broadcast<Float4>(threshold.squared_above);
    for (int32_t n = 0; n < near; ++n) {
        const int32_t i = space.near[static_cast<size_t>(n)];
        const float* point = space.points.data() + 4 * i;
        if (!threshold.fast) {
            for (int32_t j = 0; j < kept; ++j) {
                const float other[3] = {column[0][j], column[1][j], column[2][j]};
                if (exact_vertex_distance(point, other) < threshold.value) return Closeness::close;
            }
            continue;
        }
        const Float4 x = broadcast<Float4>(point[0]), y = broadcast<Float4>(point[1]), z = broadcast<Float4>(point[2]);
        for (int32_t j = 0; j < kept; j += 4) {
            const Float4 dx = x - Float4::load(column[0] + j);
            const Float4 dy = y - Float4::load(column[1] + j);
            const Float4 dz = z - Float4::load(column[2] + j);
            const Float4 squared = dx * dx + dy * dy + dz * dz;
            if (any(less(squared, below))) return Closeness::close;
            const int open = lanes_set(!greater(squared, above));
            if (open != 0 && !space.undecided.push_back({i, j, open})) return Closeness::out_of_memory;
        }
    }
    return undecided_vertices_close(space, column, threshold.value) ? Closeness::close : Closeness::apart;
}

}  // namespace cellprox
