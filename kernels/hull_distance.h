// The distance between the convex hulls of two point sets, in double precision.
#pragma once

#include <cstdint>

#include "kernels/hull_buffer.h"

namespace cellprox {

// One cell's vertices: `count` (>= 1) points of three floats x, y, z each.
struct HullPoints {
    const float* xyz;
    int32_t count;
};

// Scratch room for hull_distance, reused from pair to pair (one per thread): two cells'
// coordinates in double precision, one axis at a time, and a hash table of the first cell's
// vertices.
class HullWorkspace {
public:
    // Room for cells of up to `points` vertices; false when memory runs out.
    bool reserve(int32_t points);
    double* axis(int k) { return values_.data() + static_cast<size_t>(k) * static_cast<size_t>(capacity_); }
    int32_t* slots() { return slots_.data(); }
    int slot_bits() const { return slot_bits_; }

    // The cell whose vertices axes 0-2 and the slots hold: pairs come sorted by their first
    // cell, so the next pair often shares it. A cell is known by its address, so a workspace
    // serves one scene whose vertices do not change while it is in use.
    const float* placed = nullptr;
    int32_t placed_count = 0;

private:
    HullBuffer<double> values_;   // a's x, y, z, then b's
    HullBuffer<int32_t> slots_;   // vertex number + 1 of a, or 0 for a free slot
    int32_t capacity_ = 0;
    int slot_bits_ = 0;
};

// The Euclidean distance between the convex hulls of `a` and `b`: 0 when they touch, overlap or
// one holds the other. Once the distance is proven greater than `limit`, returns that proof's
// lower bound (a value greater than `limit`) without refining it; pass infinity for the exact
// distance always. Accurate to about 1e-13 of the extent of the two cells and the gap between
// them, wherever they lie: every coordinate is taken relative to a vertex of `a`, exactly.
// `work` must have room for both cells' vertices.
double hull_distance(HullPoints a, HullPoints b, double limit, HullWorkspace& work);

}  // namespace cellprox
