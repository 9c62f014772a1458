// The fast closeness tests of one link: the current cell's vertices and edges packed once for
// all its links, the elements of either cell that lie provably too far from the other cell's
// bounds pruned (link_filter.h), and the rest measured four at a time (vertex_batch.h,
// segment_batch.h). The decisions are those of the plain pair loops of cell_geometry.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kernels/distance/link_filter.h"
#include "kernels/shared/cell.h"

namespace cellprox {

// Growable working memory, freed with its owner. reserve() gives null when memory is short: the
// tests then work on the caller's arrays with the plain loops.
class ScratchBuffer {
public:
    ScratchBuffer() = default;
    ~ScratchBuffer();
    ScratchBuffer(const ScratchBuffer&) = delete;
    ScratchBuffer& operator=(const ScratchBuffer&) = delete;

    template <class T>
    T* reserve(int64_t n) {
        return static_cast<T*>(reserve_bytes(n * static_cast<int64_t>(sizeof(T))));
    }

private:
    void* reserve_bytes(int64_t bytes);
    void* data_ = nullptr;
    int64_t capacity_ = 0;
};

// The current cell, packed when its first link needs it: its vertices as points of four floats
// (x, y, z, 0), and its valid edges as pairs of vertex numbers.
struct PackedCell {
    const float* points = nullptr;  // null: not packed yet, or no memory for it
    const int32_t* edges = nullptr;
    int32_t edge_count = -1;        // -1: edges not packed yet
};

// One thread's working memory for the links of one cell after another.
struct CloseCellSpace {
    PackedCell a;
    ScratchBuffer points;    // the current cell's points
    ScratchBuffer edges;     // the current cell's valid edges
    // Per link: where each vertex lies against the other cell's bounds, the numbers of the
    // elements of either cell that survive pruning, and the neighbour's survivors packed.
    ScratchBuffer codes;
    ScratchBuffer survivors;
    ScratchBuffer neighbor_survivors;
    ScratchBuffer neighbor;
};

// Forgets the previous cell's packing: the next cells_close call is for a new cell_a.
inline void start_cell(CloseCellSpace& space) { space.a = PackedCell{}; }

// Whether the two cells come closer than the threshold: vertex against vertex in one
// collection, edge against edge across collections (the neighbour's edge first).
bool cells_close(const Cell& cell_a, const VertexBounds& bounds_a, const Cell& cell_b,
                 const VertexBounds& bounds_b, float threshold, CloseCellSpace& space);

}  // namespace cellprox
