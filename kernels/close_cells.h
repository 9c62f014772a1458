// The fast closeness tests of one link: each cell's vertices or edges packed once for all its
// links, the elements provably too far from the other cell's bounds pruned (link_filter.h), and
// the rest measured four at a time (vertex_batch.h, segment_batch.h). The decisions are those
// of the plain pair loops of cell_geometry.h.
#pragma once

#include <cstdint>

#include "kernels/cell.h"
#include "kernels/link_filter.h"

namespace cellprox {

// Growable working memory for packed elements, freed with its owner. reserve() gives null when
// memory is short: the tests then work on the unpacked arrays.
class PackedElements {
public:
    PackedElements() = default;
    ~PackedElements();
    PackedElements(const PackedElements&) = delete;
    PackedElements& operator=(const PackedElements&) = delete;

    // Room for n floats, or null.
    float* reserve(int64_t n);

private:
    float* data_ = nullptr;
    int64_t capacity_ = 0;
};

// A cell's vertices as x[], y[], z[], padded with points at infinity.
struct PackedVertices {
    const float* x = nullptr;
    const float* y = nullptr;
    const float* z = nullptr;
    int32_t count = -1;  // -1: not packed yet; packing failed for want of memory: x stays null
};

// A cell's valid edges: per edge its two end points and its bounds (12 floats: q0, q1, lower,
// upper).
struct PackedEdges {
    const float* data = nullptr;
    int32_t count = -1;  // -1: not packed yet; packing failed for want of memory: data stays null
};

// One thread's working memory for the links of one cell after another: the current cell's
// packed vertices and edges (packed when its first link needs them) and room for a neighbour's.
struct CloseCellSpace {
    PackedVertices vertices;
    PackedEdges edges;
    PackedElements vertex_space;
    PackedElements edge_space;
    PackedElements neighbor_space;
};

// Forgets the previous cell's packing: the next cells_close call is for a new cell_a.
inline void start_cell(CloseCellSpace& space) {
    space.vertices = PackedVertices{};
    space.edges = PackedEdges{};
}

// Whether the two cells come closer than the threshold: vertex against vertex in one
// collection, edge against edge across collections (the neighbour's edge first).
bool cells_close(const Cell& cell_a, const VertexBounds& bounds_a, const Cell& cell_b,
                 const VertexBounds& bounds_b, float threshold, CloseCellSpace& space);

}  // namespace cellprox
