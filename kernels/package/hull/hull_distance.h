// The distance between the convex hulls of two point sets, in double precision.
//
// How to call it over many pairs, in parallel: one HullWorkspace per thread, reserved once for
// the largest cell of the scene; the pairs of one thread in order of their first cell where
// possible (the workspace keeps the first cell's preparation while it repeats), each started from
// its boxes' centres (toward_a below), the second cell's vertices asked for a few pairs ahead
// (they come from anywhere in memory; see kernels/package/search/pair_blocks.cpp). The functions read
// only the two cells' vertices and write only the workspace and the output points, so any number
// of threads may measure at once, each with its own workspace, and every pair's result is the
// same bit for bit whichever thread measures it, in whatever order, with narrow or wide lanes.
#pragma once

#include <cstdint>

#include "kernels/package/hull/gjk/hull_support.h"
#include "kernels/common/shared/double_vector.h"
#include "kernels/common/shared/plain_buffer.h"

namespace cellprox {

// One cell's vertices: `count` (>= 1) points of three floats x, y, z each, finite. `may_share`
// false says that the cell shares no vertex with the other cell of any pair it is measured in
// (vertex_sharing.h): the search then skips looking for one. `span`, when not negative, is at
// least the distance between any two of the vertices (the sum of the box's sides will do): the
// search's rounding is measured against it, and it saves finding it.
struct HullPoints {
    const float* xyz;
    int32_t count;
    bool may_share = true;
    double span = -1.0;
};

// The search over one placed pair, built for one lane width (hull_search.h).
class HullWorkspace;
struct PlacedPair;
struct SearchOutcome;
using HullSearch = SearchOutcome (*)(const PlacedPair& pair, HullWorkspace& work);

// Scratch room for the hull distance, reused from pair to pair (one per thread): two cells'
// coordinates in double precision, one axis at a time, and a hash table of the first cell's
// vertices.
class HullWorkspace {
public:
    HullWorkspace();
    HullWorkspace(const HullWorkspace&) = delete;
    HullWorkspace& operator=(const HullWorkspace&) = delete;

    // Room for cells of up to `points` vertices; false when memory runs out.
    bool reserve(int32_t points);

    // The search runs its support steps on four AVX2 lanes where the processor has them (the
    // default), else on two SSE2 lanes; every result is the same bit for bit. use_wide_lanes(false) keeps to
    // SSE2; use_wide_lanes(true) returns false, and changes nothing, where AVX2 is missing.
    bool use_wide_lanes(bool wide);
    bool wide_lanes() const { return wide_; }

    // For hull_distance.cpp: axes 0-2 and 3-5 hold the two placed first cells, 6-8 the second
    // cell of the pair at hand; slots(k) is placed cell k's vertex table.
    double* axis(int k) { return values_.data() + static_cast<size_t>(k) * static_cast<size_t>(capacity_); }
    int32_t* slots(int k) { return slots_.data() + (static_cast<size_t>(k) << slot_bits_); }
    int slot_bits() const { return slot_bits_; }
    HullSearch search() const { return search_; }

    // A cell measured first, placed relative to its own first vertex, with its vertex box. Pairs
    // mostly share their first cell; measured from the cell first in the caller's order, a run
    // of a cell's pairs alternates between that cell and each partner, so two are kept, the one
    // used less recently making room. A cell is known by its address, so a workspace serves one
    // scene whose vertices do not change while it is in use.
    struct PlacedCell {
        const float* xyz = nullptr;
        int32_t count = 0;
        bool indexed = false;      // its vertex table is made (when first needed)
        Box3d box = {{0.0, 0.0, 0.0}, {0.0, 0.0, 0.0}};
        double reach = 0.0;        // no vertex of it lies farther from its first vertex
    };
    PlacedCell placed[2];
    int last_placed = 0;           // the slot of placed used last

private:
    PlainBuffer<double> values_;   // the placed cells' x, y, z, then b's
    PlainBuffer<int32_t> slots_;   // per placed cell: vertex number + 1, or 0 for a free slot
    int32_t capacity_ = 0;
    int slot_bits_ = 0;
    HullSearch search_;
    bool wide_;
};

// The Euclidean distance between the convex hulls of `a` and `b`: 0 when they touch, overlap or
// one holds the other. Once the distance is proven greater than `limit` by more than the
// search's rounding, returns that proof's lower bound (a value greater than `limit`) without
// refining it; a result at most `limit` is the one any larger limit gives, bit for bit. Pass
// infinity for the exact distance always. Accurate to about 1e-13 of the extent of the two
// cells and the gap between them, wherever they lie: every coordinate is taken relative to a
// vertex of `a`, exactly.
// `work` must have room for both cells' vertices (reserve).
double hull_distance(HullPoints a, HullPoints b, double limit, HullWorkspace& work);

// The same, searching first along `toward_a`: any direction from b toward a, best the vector from
// the centre of b's vertex box to the centre of a's (the callers that have the boxes save the
// search finding them). A zero vector is allowed (the search then starts from the first
// vertices). The result does not depend on the direction beyond the stated accuracy, and for one
// direction it is the same bit for bit on every call.
double hull_distance(HullPoints a, HullPoints b, double limit, HullWorkspace& work, const double toward_a[3]);

// The same as hull_distance(a, b, limit, work, toward_a), with the points that realise the
// distance (`toward_a` may be null: then it starts as hull_distance(a, b, limit, work) does).
// When the result is at most `limit`: on_a lies on a's hull, on_b on b's, and |on_a - on_b| is
// the result, all to the accuracy above; for hulls that touch or overlap (result 0) on_a and
// on_b are one and the same point of both hulls. When the result exceeds `limit`: on_a and on_b
// are points of the two hulls at least that far apart (not the closest ones).
double hull_distance_witnesses(HullPoints a, HullPoints b, double limit, HullWorkspace& work,
                               const double toward_a[3], double on_a[3], double on_b[3]);

}  // namespace cellprox
