// The package's vertices-and-edges rule for one pair of cells, decided as double arithmetic on
// the cells' float coordinates decides it: cells of one collection are close when some vertex of
// one lies strictly within the threshold of some vertex of the other; cells of different
// collections when some edge of one does of some edge of the other (the segment distance's
// steps, in double). Elements that lie provably too far from the other cell are dropped first,
// the rest are measured four at a time in float with a proven error bound, and only the pairs
// inside that bound are measured again in double.
#pragma once

#include <cstdint>

#include "kernels/exact/exact_threshold.h"
#include "kernels/shared/plain_buffer.h"
#include "kernels/shared/search_box.h"

namespace cellprox {

// What the rule reads of a cell: its vertices and its edges. The edges are read where the caller
// keeps them, and one naming a vertex the cell does not have is skipped, so that memory safety
// never rests on a check made before another thread could change them.
struct ExactCell {
    const float* vertices;   // 3 * v_count floats
    const int32_t* edges;    // 2 * e_count vertex numbers
    int32_t v_count;
    int32_t e_count;
    int32_t collection;
};

// Pairs of elements that the float pass could not decide: element `first` of the current cell
// against the four elements of the other from `group` on, in the lanes set in `lanes`.
struct UndecidedLanes {
    int32_t first;
    int32_t group;
    int32_t lanes;
};

// One thread's working memory for the pairs of one cell after another (the "current" cell a,
// packed once for all its pairs, then each other cell b).
struct ExactSpace {
    bool packed = false;                   // a's points
    bool edges_packed = false;             // a's valid edges
    PlainBuffer<float> points;             // a's vertices as (x, y, z, 0)
    PlainBuffer<int32_t> edges;            // a's valid edges
    int32_t edge_count = 0;
    PlainBuffer<int32_t> near;             // a's elements that survive pruning
    PlainBuffer<uint8_t> codes;            // where each vertex lies against the other's bounds
    PlainBuffer<float> columns;            // b's surviving elements, one array per coordinate
    PlainBuffer<UndecidedLanes> undecided;
};

// Forgets the current cell: the next call is for a new cell a.
inline void start_exact_cell(ExactSpace& space) { space.packed = space.edges_packed = false; }

enum class Closeness { apart, close, out_of_memory };

// Whether cells a and b (with their vertex bounds) come strictly closer than the threshold.
Closeness exact_cells_close(const ExactCell& a, const SearchBox& bounds_a, const ExactCell& b,
                            const SearchBox& bounds_b, const ExactThreshold& threshold,
                            ExactSpace& space);

// The two tests, for cells of one collection and of different ones. `limit` is
// exact_pruning_limit for the two cells.
Closeness exact_vertices_close(const ExactCell& a, const SearchBox& bounds_a, const ExactCell& b,
                               const SearchBox& bounds_b, const ExactThreshold& threshold, float limit,
                               ExactSpace& space);
Closeness exact_edges_close(const ExactCell& a, const SearchBox& bounds_a, const ExactCell& b,
                            const SearchBox& bounds_b, const ExactThreshold& threshold, float limit,
                            ExactSpace& space);

inline bool valid_edge(const ExactCell& cell, int32_t first, int32_t second) {
    return first >= 0 && first < cell.v_count && second >= 0 && second < cell.v_count;
}

// The decisions in double alone, pair by pair: what the rule means, for tests and for
// thresholds outside the float pass's range.
double exact_vertex_distance(const float* p, const float* q);
double exact_segment_distance(const float* p0, const float* p1, const float* q0, const float* q1);
bool plain_vertices_close(const ExactCell& a, const ExactCell& b, double threshold);
bool plain_edges_close(const ExactCell& a, const ExactCell& b, double threshold);

}  // namespace cellprox
