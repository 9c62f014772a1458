// The fast closeness tests of one link: packing, pruning, then four lanes at a time.
#include "kernels/narrow/close_cells.h"

#include <cmath>
#include <cstdlib>

#include "kernels/distance/segment_batch.h"
#include "kernels/distance/vertex_batch.h"
#include "kernels/narrow/cell_geometry.h"

namespace cellprox {

ScratchBuffer::~ScratchBuffer() { std::free(data_); }

void* ScratchBuffer::reserve_bytes(int64_t bytes) {
    if (bytes <= capacity_) return data_;
    void* grown = std::realloc(data_, static_cast<size_t>(bytes));
    if (grown == nullptr) return nullptr;
    data_ = grown;
    capacity_ = bytes;
    return data_;
}

namespace {

// Room for n elements rounded up to whole groups of four lanes.
inline int32_t padded(int32_t n) { return (n + 3) / 4 * 4; }

// Packs the current cell's vertices as points of four floats, once for all its links.
bool pack_points(const CellGeometry& a, CloseCellSpace& space) {
    if (space.a.points != nullptr) return true;
    float* out = space.points.reserve<float>(4 * static_cast<int64_t>(a.v_count));
    if (out == nullptr) return false;
    for (int32_t i = 0; i < a.v_count; ++i) {
        point_lanes(a.vertices + 3 * static_cast<ptrdiff_t>(i)).store(out + 4 * static_cast<ptrdiff_t>(i));
    }
    space.a.points = out;
    return true;
}

inline bool valid_edge(const CellGeometry& cell, int32_t k, int32_t* first, int32_t* second) {
    *first = cell.edges[2 * static_cast<ptrdiff_t>(k)];
    *second = cell.edges[2 * static_cast<ptrdiff_t>(k) + 1];
    return valid_vertex(*first, cell.v_count) && valid_vertex(*second, cell.v_count);
}

// Packs the current cell's valid edges as pairs of vertex numbers, once for all its links.
bool pack_edges(const CellGeometry& a, CloseCellSpace& space) {
    if (space.a.edge_count >= 0) return true;
    int32_t* out = space.edges.reserve<int32_t>(2 * static_cast<int64_t>(a.e_count));
    if (out == nullptr) return false;
    int32_t count = 0;
    for (int32_t i = 0; i < a.e_count; ++i) {
        if (valid_edge(a, i, &out[2 * count], &out[2 * count + 1])) ++count;
    }
    space.a.edges = out;
    space.a.edge_count = count;
    return true;
}

// The elements of the current cell that survive pruning against the neighbour's bounds, and
// then their own bounds. Only they can take part in a passing pair, so the neighbour's elements
// are pruned against these tighter bounds.
struct Survivors {
    int32_t* index;
    int32_t count = 0;

    // Adds element i when `keep`, without a branch: which elements survive is as good as
    // unpredictable.
    void add(int32_t i, bool keep) {
        index[count] = i;
        count += keep;
    }
};

struct LaneBounds {
    Float4 lo = broadcast<Float4>(INFINITY);
    Float4 hi = broadcast<Float4>(-INFINITY);

    void add(Float4 point) {
        lo = minimum(lo, point);
        hi = maximum(hi, point);
    }
};

inline Float4 point_of(const PackedCell& a, int32_t i) {
    return Float4::load(a.points + 4 * static_cast<ptrdiff_t>(i));
}

// The vertex test with pruning: a's vertices near b's bounds, then b's vertices near those,
// packed as x[], y[], z[], and each of the first measured against the second four at a time.
bool vertices_close_pruned(const CellGeometry& a, const VertexBounds& bounds_a,
                           const CellGeometry& b, const VertexBounds& bounds_b, float threshold,
                           CloseCellSpace& space) {
    const int32_t room = padded(b.v_count);
    float* column = space.neighbor.reserve<float>(3 * static_cast<int64_t>(room));
    Survivors near_b{space.survivors.reserve<int32_t>(a.v_count)};
    if (column == nullptr || near_b.index == nullptr || !pack_points(a, space)) {
        return vertices_close(a, b, threshold);
    }
    const float limit = pruning_limit(threshold, bounds_a, bounds_b);
    const WideBox box_b = widened(bounds_b, limit);
    for (int32_t i = 0; i < a.v_count; ++i) {
        near_b.add(i, outcode(point_of(space.a, i), box_b) == 0);
    }
    if (near_b.count == 0) return false;
    LaneBounds bounds;
    for (int32_t n = 0; n < near_b.count; ++n) bounds.add(point_of(space.a, near_b.index[n]));

    const WideBox box_a = widened(bounds.lo, bounds.hi, limit);
    float* x = column;
    float* y = column + room;
    float* z = column + 2 * static_cast<ptrdiff_t>(room);
    int32_t kept = 0;
    for (int32_t j = 0; j < b.v_count; ++j) {
        const float* p = b.vertices + 3 * static_cast<ptrdiff_t>(j);
        x[kept] = p[0];
        y[kept] = p[1];
        z[kept] = p[2];
        kept += outcode(point_lanes(p), box_a) == 0;  // without a branch, as above
    }
    if (kept == 0) return false;
    // Points at infinity fill the last group: no distance to them is below any threshold.
    for (int32_t j = kept; j < padded(kept); ++j) x[j] = y[j] = z[j] = INFINITY;
    const VertexBatch batch{x, y, z, padded(kept)};
    for (int32_t n = 0; n < near_b.count; ++n) {
        const float* point = space.a.points + 4 * static_cast<ptrdiff_t>(near_b.index[n]);
        if (any_vertex_within(point, batch, threshold)) return true;
    }
    return false;
}


// The edge test with pruning: b's edges near a's bounds are packed as columns, and each of a's
// edges near b's bounds is measured against them four at a time, skipping any four whose
// bounds all lie too far from it. (Pruning b against the bounds of a's surviving edges, as the
// vertex test does, costs more than it saves here: a passing link mostly passes at its first
// surviving edge.)
bool edges_close_pruned(const CellGeometry& a, const VertexBounds& bounds_a, const CellGeometry& b,
                        const VertexBounds& bounds_b, float threshold, CloseCellSpace& space) {
    const int32_t room = padded(b.e_count);
    float* columns = space.neighbor.reserve<float>(EDGE_COLUMNS * static_cast<int64_t>(room));
    uint8_t* codes = space.codes.reserve<uint8_t>(static_cast<int64_t>(a.v_count) + b.v_count);
    if (columns == nullptr || codes == nullptr || !pack_points(a, space) || !pack_edges(a, space)) {
        return edges_close(a, b, threshold);
    }
    const float limit = pruning_limit(threshold, bounds_a, bounds_b);
    uint8_t* codes_a = codes;
    uint8_t* codes_b = codes + a.v_count;
    const WideBox box_a = widened(bounds_a, limit);
    for (int32_t j = 0; j < b.v_count; ++j) {
        codes_b[j] = static_cast<uint8_t>(outcode(point_lanes(b.vertices + 3 * static_cast<ptrdiff_t>(j)), box_a));
    }
    Survivors near_a{space.neighbor_survivors.reserve<int32_t>(b.e_count)};
    if (near_a.index == nullptr) return edges_close(a, b, threshold);
    for (int32_t j = 0; j < b.e_count; ++j) {
        int32_t first, second;
        // Edges naming missing vertices are rare: this branch is well predicted.
        const bool valid = valid_edge(b, j, &first, &second);
        near_a.add(j, valid && (codes_b[first] & codes_b[second]) == 0);
    }
    if (near_a.count == 0) return false;
    float* column[EDGE_COLUMNS];
    for (int c = 0; c < EDGE_COLUMNS; ++c) column[c] = columns + c * static_cast<ptrdiff_t>(room);
    const int32_t kept = near_a.count;
    for (int32_t n = 0; n < kept; ++n) {
        const int32_t* edge = b.edges + 2 * static_cast<ptrdiff_t>(near_a.index[n]);
        const float* p0 = b.vertices + 3 * static_cast<ptrdiff_t>(edge[0]);
        const float* p1 = b.vertices + 3 * static_cast<ptrdiff_t>(edge[1]);
        put_segment(column, n, p0, p1);
    }
    const SegmentBatch batch = padded_batch(column, kept);

    const WideBox box_b = widened(bounds_b, limit);
    for (int32_t i = 0; i < a.v_count; ++i) codes_a[i] = static_cast<uint8_t>(outcode(point_of(space.a, i), box_b));
    const float* points = space.a.points;
    for (int32_t i = 0; i < space.a.edge_count; ++i) {
        const int32_t first = space.a.edges[2 * i], second = space.a.edges[2 * i + 1];
        if ((codes_a[first] & codes_a[second]) != 0) continue;
        if (any_segment_within(points + 4 * static_cast<ptrdiff_t>(first),
                               points + 4 * static_cast<ptrdiff_t>(second), batch, threshold, limit)) {
            return true;
        }
    }
    return false;
}

}  // namespace

bool cells_close(const Cell& cell_a, const VertexBounds& bounds_a, const Cell& cell_b,
                 const VertexBounds& bounds_b, float threshold, CloseCellSpace& space) {
    // No distance is below a threshold of 0 or less (or NaN): nothing to measure.
    if (!(threshold > 0.0f)) return false;
    const CellGeometry a = geometry_of(cell_a);
    const CellGeometry b = geometry_of(cell_b);
    const bool same = cell_a.coll_index == cell_b.coll_index;
    if (!bounds_a.usable || !bounds_b.usable) {
        return same ? vertices_close(a, b, threshold) : edges_close(a, b, threshold);
    }
    return same ? vertices_close_pruned(a, bounds_a, b, bounds_b, threshold, space)
                : edges_close_pruned(a, bounds_a, b, bounds_b, threshold, space);
}

}  // namespace cellprox
