// What both closeness rules share: the view of a cell, the working memory, the current cell
// packed once for all its pairs, the conservative pruning of both cells against each other's
// widened box (link_filter.h), and the plain pair loops. A rule supplies only its verdict: the
// raw kernels' float answers, or the package's float pass with proven bounds then double.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "kernels/common/distance/link_filter.h"
#include "kernels/common/distance/segment_batch.h"
#include "kernels/common/distance/vertex_batch.h"
#include "kernels/common/lanes/lanes.h"
#include "kernels/common/shared/plain_buffer.h"
#include "kernels/common/shared/vertex_box.h"

namespace cellprox {

// What a rule reads of a cell: its vertices, its edges and its collection. The edges are read
// where the caller keeps them, and one naming a vertex the cell does not have is skipped, so
// that memory safety never rests on a check made before another thread could change them.
struct CellView {
    const float* vertices;   // 3 * v_count floats
    const int32_t* edges;    // 2 * e_count vertex numbers
    int32_t v_count;
    int32_t e_count;
    int32_t collection;
};

inline bool valid_vertex(int32_t vertex, int32_t v_count) { return vertex >= 0 && vertex < v_count; }

inline bool valid_edge(const CellView& cell, int32_t first, int32_t second) {
    return valid_vertex(first, cell.v_count) && valid_vertex(second, cell.v_count);
}

// Both end points of edge k, or false when the edge names a vertex the cell does not have.
inline bool edge_points(const CellView& cell, int32_t k, const float** from, const float** to) {
    const int32_t first = cell.edges[2 * static_cast<ptrdiff_t>(k)];
    const int32_t second = cell.edges[2 * static_cast<ptrdiff_t>(k) + 1];
    if (!valid_edge(cell, first, second)) return false;
    *from = cell.vertices + 3 * static_cast<ptrdiff_t>(first);
    *to = cell.vertices + 3 * static_cast<ptrdiff_t>(second);
    return true;
}

// The plain pair loops, stopping at the first pair `close` accepts: every vertex of a against
// every vertex of b, and every valid edge of a against every valid edge of b, the neighbour's
// edge (b's) as the first segment. `close(p, q)` and `close(p0, p1, q0, q1)` are the rule's.
template <class Close>
inline bool any_vertex_pair(const CellView& a, const CellView& b, Close close) {
    for (int32_t i = 0; i < a.v_count; ++i) {
        const float* vertex_a = a.vertices + 3 * static_cast<ptrdiff_t>(i);
        for (int32_t j = 0; j < b.v_count; ++j) {
            if (close(vertex_a, b.vertices + 3 * static_cast<ptrdiff_t>(j))) return true;
        }
    }
    return false;
}

template <class Close>
inline bool any_edge_pair(const CellView& a, const CellView& b, Close close) {
    for (int32_t i = 0; i < a.e_count; ++i) {
        const float *q0, *q1;
        if (!edge_points(a, i, &q0, &q1)) continue;
        for (int32_t j = 0; j < b.e_count; ++j) {
            const float *p0, *p1;
            if (!edge_points(b, j, &p0, &p1)) continue;
            if (close(p0, p1, q0, q1)) return true;
        }
    }
    return false;
}

enum class Closeness { apart, close, out_of_memory };

// Pairs of elements a verdict left undecided: element `first` of the current cell against the
// four elements of the other from `group` on, in the lanes set in `lanes`.
struct UndecidedLanes {
    int32_t first;
    int32_t group;
    int32_t lanes;
};

// One thread's working memory for the pairs of one cell after another (the "current" cell a,
// packed once for all its pairs, then each other cell b).
struct CloseSpace {
    bool points_packed = false;
    bool edges_packed = false;
    PlainBuffer<float> points;             // a's vertices as (x, y, z, 0)
    PlainBuffer<int32_t> edges;            // a's valid edges
    int32_t edge_count = 0;
    PlainBuffer<int32_t> near;             // the elements that survive pruning
    PlainBuffer<uint8_t> codes;            // where each vertex lies against the other's box
    PlainBuffer<float> columns;            // b's surviving elements, one array per coordinate
    PlainBuffer<UndecidedLanes> undecided;
};

// Forgets the current cell: the next pair is for a new cell a.
inline void start_cell(CloseSpace& space) { space.points_packed = space.edges_packed = false; }

// Room for n elements rounded up to whole groups of four lanes.
inline int32_t padded(int32_t n) { return (n + 3) / 4 * 4; }

// Packs cell a's vertices as points of four floats, once for all its pairs.
inline bool pack_points(const CellView& a, CloseSpace& space) {
    if (space.points_packed) return true;
    if (!space.points.resize(4 * static_cast<size_t>(a.v_count))) return false;
    for (int32_t i = 0; i < a.v_count; ++i) {
        point_lanes(a.vertices + 3 * static_cast<ptrdiff_t>(i)).store(space.points.data() + 4 * static_cast<ptrdiff_t>(i));
    }
    space.points_packed = true;
    return true;
}

// Packs cell a's valid edges, once for all its pairs across collections (only those read them).
inline bool pack_edges(const CellView& a, CloseSpace& space) {
    if (space.edges_packed) return true;
    if (!space.edges.resize(2 * static_cast<size_t>(a.e_count))) return false;
    int32_t* out = space.edges.data();
    int32_t valid = 0;
    for (int32_t k = 0; k < a.e_count; ++k) {
        const int32_t first = a.edges[2 * static_cast<ptrdiff_t>(k)];
        const int32_t second = a.edges[2 * static_cast<ptrdiff_t>(k) + 1];
        out[2 * static_cast<ptrdiff_t>(valid)] = first;
        out[2 * static_cast<ptrdiff_t>(valid) + 1] = second;
        valid += valid_edge(a, first, second);
    }
    space.edge_count = valid;
    space.edges_packed = true;
    return true;
}

inline const float* packed_point_at(const CloseSpace& space, int32_t i) {
    return space.points.data() + 4 * static_cast<ptrdiff_t>(i);
}

inline Float4 packed_point(const CloseSpace& space, int32_t i) { return Float4::load(packed_point_at(space, i)); }

// The two pruned tests, over a rule's Verdict, which answers for one surviving element of a
// against b's surviving elements packed four lanes at a time, and at the end for the pairs it
// left undecided:
//   Closeness vertex(int32_t i, const float* point, const VertexBatch&, CloseSpace&)
//   Closeness undecided_vertices(const VertexBatch&, const CloseSpace&)
//   Closeness edge(int32_t i, const float* q0, const float* q1, const SegmentBatch&, float limit, CloseSpace&)
//   Closeness undecided_edges(const SegmentBatch&, const CloseSpace&)
// where `apart` means "nothing close yet". `limit` is the rule's pruning_limit for the pair.

// Cells of one collection: a's vertices near b's box, then b's vertices near the box of those,
// packed as columns x, y, z padded with points at infinity (never close, never undecided).
template <class Verdict>
Closeness vertices_close_pruned(const CellView& a, const CellView& b, const VertexBox& bounds_b, float limit,
                                CloseSpace& space, const Verdict& verdict) {
    if (a.v_count == 0 || b.v_count == 0) return Closeness::apart;
    if (!pack_points(a, space) || !space.near.resize(static_cast<size_t>(a.v_count))) {
        return Closeness::out_of_memory;
    }
    const WideBox box_b = widened(bounds_b, limit);
    int32_t* near = space.near.data();
    int32_t near_count = 0;
    for (int32_t i = 0; i < a.v_count; ++i) {
        // Without a branch: which vertices survive is as good as unpredictable.
        near[near_count] = i;
        near_count += outcode(packed_point(space, i), box_b) == 0;
    }
    if (near_count == 0) return Closeness::apart;
    // Only the survivors can take part in a close pair, so b is pruned against their tighter box.
    Float4 lo = broadcast<Float4>(INFINITY), hi = broadcast<Float4>(-INFINITY);
    for (int32_t n = 0; n < near_count; ++n) {
        const Float4 point = packed_point(space, near[n]);
        lo = minimum(lo, point);
        hi = maximum(hi, point);
    }
    const WideBox box_a = widened(lo, hi, limit);
    const int32_t room = padded(b.v_count);
    if (!space.columns.resize(3 * static_cast<size_t>(room))) return Closeness::out_of_memory;
    float* x = space.columns.data();
    float* y = x + room;
    float* z = y + room;
    int32_t kept = 0;
    for (int32_t j = 0; j < b.v_count; ++j) {
        const float* p = b.vertices + 3 * static_cast<ptrdiff_t>(j);
        x[kept] = p[0];
        y[kept] = p[1];
        z[kept] = p[2];
        kept += outcode(point_lanes(p), box_a) == 0;  // without a branch, as above
    }
    if (kept == 0) return Closeness::apart;
    for (int32_t j = kept; j < padded(kept); ++j) x[j] = y[j] = z[j] = INFINITY;
    const VertexBatch batch{x, y, z, padded(kept)};
    space.undecided.clear();
    for (int32_t n = 0; n < near_count; ++n) {
        const Closeness found = verdict.vertex(near[n], packed_point_at(space, near[n]), batch, space);
        if (found != Closeness::apart) return found;
    }
    return verdict.undecided_vertices(batch, space);
}

// Cells of different collections: b's valid edges near a's box packed as columns, and each of
// a's edges near b's box measured against them. (Pruning b against the box of a's surviving
// edges, as the vertex test does, costs more than it saves here: a close pair mostly shows at
// its first surviving edge.)
template <class Verdict>
Closeness edges_close_pruned(const CellView& a, const VertexBox& bounds_a, const CellView& b,
                             const VertexBox& bounds_b, float limit, CloseSpace& space, const Verdict& verdict) {
    if (a.e_count == 0 || b.e_count == 0) return Closeness::apart;
    if (!pack_points(a, space) || !pack_edges(a, space)) return Closeness::out_of_memory;
    if (space.edge_count == 0) return Closeness::apart;
    const int32_t room = padded(b.e_count);
    if (!space.codes.resize(static_cast<size_t>(a.v_count) + static_cast<size_t>(b.v_count)) ||
        !space.near.resize(static_cast<size_t>(b.e_count)) ||
        !space.columns.resize(EDGE_COLUMNS * static_cast<size_t>(room))) {
        return Closeness::out_of_memory;
    }
    uint8_t* codes_a = space.codes.data();
    uint8_t* codes_b = codes_a + a.v_count;
    const WideBox box_a = widened(bounds_a, limit);
    for (int32_t j = 0; j < b.v_count; ++j) {
        codes_b[j] = static_cast<uint8_t>(outcode(point_lanes(b.vertices + 3 * static_cast<ptrdiff_t>(j)), box_a));
    }
    int32_t* near = space.near.data();
    int32_t kept = 0;
    for (int32_t j = 0; j < b.e_count; ++j) {
        const int32_t first = b.edges[2 * static_cast<ptrdiff_t>(j)];
        const int32_t second = b.edges[2 * static_cast<ptrdiff_t>(j) + 1];
        // An edge whose ends lie beyond a's box on one side is farther than the limit. Edges
        // naming missing vertices are rare: that test is well predicted; which edges survive is
        // not, so they are counted without a branch.
        const bool valid = valid_edge(b, first, second);
        near[kept] = j;
        kept += valid && (codes_b[first] & codes_b[second]) == 0;
    }
    if (kept == 0) return Closeness::apart;
    float* column[EDGE_COLUMNS];
    for (int c = 0; c < EDGE_COLUMNS; ++c) column[c] = space.columns.data() + c * static_cast<ptrdiff_t>(room);
    for (int32_t n = 0; n < kept; ++n) {
        const int32_t* edge = b.edges + 2 * static_cast<ptrdiff_t>(near[n]);
        put_segment(column, n, b.vertices + 3 * static_cast<ptrdiff_t>(edge[0]),
                    b.vertices + 3 * static_cast<ptrdiff_t>(edge[1]));
    }
    const SegmentBatch batch = padded_batch(column, kept);

    const WideBox box_b = widened(bounds_b, limit);
    for (int32_t i = 0; i < a.v_count; ++i) codes_a[i] = static_cast<uint8_t>(outcode(packed_point(space, i), box_b));
    const int32_t* edges = space.edges.data();
    space.undecided.clear();
    for (int32_t i = 0; i < space.edge_count; ++i) {
        const int32_t first = edges[2 * static_cast<ptrdiff_t>(i)], second = edges[2 * static_cast<ptrdiff_t>(i) + 1];
        if ((codes_a[first] & codes_a[second]) != 0) continue;
        const Closeness found =
            verdict.edge(i, packed_point_at(space, first), packed_point_at(space, second), batch, limit, space);
        if (found != Closeness::apart) return found;
    }
    return verdict.undecided_edges(batch, space);
}

}  // namespace cellprox
