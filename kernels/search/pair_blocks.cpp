// Sub-blocks of the search: a leaf's worth of cells at a time through the tree, then each
// candidate measured while the next ones' arrays are asked for.
#include "kernels/search/pair_blocks.h"

#include <algorithm>
#include <cmath>

#include "kernels/hull/hull_distance.h"
#include "kernels/lanes/lanes.h"
#include "platform/clock.h"

namespace cellprox {

bool cell_views(const SceneCells& cells, const BoxTree& tree, PlainBuffer<CellView>& views) {
    if (!views.resize(static_cast<size_t>(cells.count))) return false;
    for (size_t p = 0; p < views.size(); ++p) {
        const int32_t i = tree.order[p];
        const int64_t v = cells.vertex_starts[i], e = cells.edge_starts[i];
        views[p] = {cells.xyz + 3 * v, cells.edges + 2 * e, static_cast<int32_t>(cells.vertex_starts[i + 1] - v),
                    static_cast<int32_t>(cells.edge_starts[i + 1] - e), cells.collections[i]};
    }
    return true;
}

namespace {

// Candidates between asking for a cell's arrays and measuring it.
constexpr size_t PREFETCH_AHEAD = 3;

// The candidates of positions [first, last): found[starts[k] ..] for position first + k. The
// positions are searched a leaf's worth at a time (one walk of the tree for all of them).
bool search_block(const PairSearch& search, int32_t first, int32_t last, PlainBuffer<int32_t>& stack,
                  PlainBuffer<int32_t>* group, PlainBuffer<int32_t>& found, PlainBuffer<size_t>& starts) {
    found.clear();
    if (!starts.resize(static_cast<size_t>(last - first) + 1)) return false;
    for (int32_t p = first; p < last; p += kLeafSize) {
        const int32_t end = std::min(last, p + kLeafSize);
        for (int32_t k = 0; k < end - p; ++k) group[k].clear();
        if (!boxes_after_group(*search.tree, p, end, search.query->threshold, stack, group)) return false;
        for (int32_t k = 0; k < end - p; ++k) {
            starts[static_cast<size_t>(p + k - first)] = found.size();
            if (!found.append(group[k].data(), group[k].size())) return false;
        }
    }
    starts[static_cast<size_t>(last - first)] = found.size();
    return true;
}

// The cells of a candidate come from anywhere in the caller's arrays: ask for the vertices (and
// edges) of one a few candidates ahead while the current one is measured.
inline void prefetch_cell(const CellView& cell, bool edges) {
    const char* first = reinterpret_cast<const char*>(cell.vertices);
    const char* last = reinterpret_cast<const char*>(cell.vertices + 3 * cell.v_count);
    for (const char* line = first; line < last; line += 64) prefetch_line(line);
    if (!edges) return;
    first = reinterpret_cast<const char*>(cell.edges);
    last = reinterpret_cast<const char*>(cell.edges + 2 * cell.e_count);
    for (const char* line = first; line < last; line += 64) prefetch_line(line);
}

// The widest gap between two vertex boxes along any axis, by boxes_within's own subtractions: a
// pair the tree leaves out at a threshold has one above it.
double boxes_gap(const VertexBox& a, const VertexBox& b) {
    double gap = -HUGE_VAL;
    for (int axis = 0; axis < 3; ++axis) {
        gap = std::max(gap, std::max(double(a.lo[axis]) - double(b.hi[axis]), double(b.lo[axis]) - double(a.hi[axis])));
    }
    return gap;
}

// The hull rule for the cells at positions p and q: when they are close, their gap (and, if
// asked, a point of each hull that realises it) go to the sub-block's details and `detail`
// says where; otherwise `detail` stays -1. False when memory runs out.
bool measure_hulls(const PairSearch& search, int32_t p, int32_t q, const CellView& a, const CellView& b,
                   HullWorkspace& hull, SubBlock& out, int64_t& detail) {
    const size_t first = static_cast<size_t>(p), second = static_cast<size_t>(q);
    if (slabs_apart(search.slabs[first], search.slabs[second], search.slab_reach)) return true;
    // The search starts along the line between the boxes' centres, which for most pairs beyond
    // the threshold proves them so at the first step.
    const VertexBox& box_a = search.tree->boxes[first];
    const VertexBox& box_b = search.tree->boxes[second];
    double toward_a[3];
    for (int axis = 0; axis < 3; ++axis) {
        toward_a[axis] = 0.5 * ((double(box_a.lo[axis]) + box_a.hi[axis]) - (double(box_b.lo[axis]) + box_b.hi[axis]));
    }
    const double threshold = search.query->threshold;
    const double span_b = (double(box_b.hi[0]) - box_b.lo[0]) + (double(box_b.hi[1]) - box_b.lo[1]) +
                          (double(box_b.hi[2]) - box_b.lo[2]);
    const HullPoints hull_a = {a.vertices, a.v_count, search.sharing[first] != 0};
    const HullPoints hull_b = {b.vertices, b.v_count, search.sharing[second] != 0, span_b};
    double gap;
    double points[6];
    if (search.query->witnesses) {
        gap = hull_distance_witnesses(hull_a, hull_b, threshold, hull, toward_a, points, points + 3);
    } else {
        gap = hull_distance(hull_a, hull_b, threshold, hull, toward_a);
    }
    if (!(gap <= threshold)) return true;
    // The search's gap lies within its accuracy of the true one, on either side; the slabs' and
    // the boxes' gaps are lower bounds whose verdicts leave pairs out before any search. A gap
    // reported below them could keep a pair at a threshold where a smaller one leaves it out:
    // never below them, a pair is kept exactly when its gap is at most the threshold.
    const double slab_gap = slab_bound(slabs_gap(search.slabs[first], search.slabs[second]));
    gap = std::max(gap, std::max(slab_gap, boxes_gap(box_a, box_b)));
    if (!(gap <= threshold)) return true;
    detail = static_cast<int64_t>(out.details.size());
    if (!out.details.push_back(gap)) return false;
    if (!search.query->witnesses) return true;
    // Kept in the order of the pair's cells once sorted: the smaller number first.
    const bool swapped = search.tree->order[static_cast<size_t>(p)] > search.tree->order[static_cast<size_t>(q)];
    return out.details.append(swapped ? points + 3 : points, 3) && out.details.append(swapped ? points : points + 3, 3);
}

// Measures each candidate of positions [first, last) and keeps the close ones.
bool measure_block(const PairSearch& search, int32_t first, int32_t last, const PlainBuffer<int32_t>& found,
                   const PlainBuffer<size_t>& starts, CloseSpace& exact, HullWorkspace& hull, SubBlock& out) {
    const BoxTree& tree = *search.tree;
    const CellView* views = search.views;
    const bool hull_rule = search.query->rule == ProximityRule::hull;
    for (int32_t p = first; p < last; ++p) {
        const int32_t a = tree.order[static_cast<size_t>(p)];
        start_cell(exact);
        const CellView& cell_a = views[p];
        if (p + 1 < last) prefetch_cell(views[p + 1], false);
        for (size_t k = starts[static_cast<size_t>(p - first)]; k < starts[static_cast<size_t>(p - first) + 1]; ++k) {
            const int32_t q = found[k];
            const int32_t b = tree.order[static_cast<size_t>(q)];
            const CellView& cell_b = views[q];
            if (k + PREFETCH_AHEAD < found.size()) {
                const CellView& ahead = views[found[k + PREFETCH_AHEAD]];
                prefetch_cell(ahead, !hull_rule && ahead.collection != cell_a.collection);
            }
            int64_t detail = -1;
            if (hull_rule) {
                if (!measure_hulls(search, p, q, cell_a, cell_b, hull, out, detail)) return false;
                if (detail < 0) continue;
            } else {
                const Closeness verdict = exact_cells_close(cell_a, tree.boxes[static_cast<size_t>(p)], cell_b,
                                                            tree.boxes[static_cast<size_t>(q)], search.exact, exact);
                if (verdict == Closeness::out_of_memory) return false;
                if (verdict == Closeness::apart) continue;
            }
            if (!out.pairs.push_back({std::min(a, b), std::max(a, b), detail})) return false;
        }
    }
    return true;
}

}  // namespace

void pair_blocks(int32_t begin, int32_t end, void* context) {
    const PairSearch& search = *static_cast<const PairSearch*>(context);
    PlainBuffer<int32_t> stack, found, group[kLeafSize];
    PlainBuffer<size_t> starts;
    CloseSpace exact;
    HullWorkspace hull;
    const bool room = stack.reserve(128) &&
                      (search.query->rule != ProximityRule::hull || hull.reserve(search.largest_cell));
    for (int32_t s = begin; s < end; ++s) {
        SubBlock& out = search.blocks[s];
        out.pairs.clear();
        out.details.clear();
        out.failed = !room;
        out.candidates = 0;
        out.search_seconds = out.measure_seconds = 0.0;
        const int32_t first = search.begin + s * search.per_block;
        const int32_t last = std::min(search.end, first + search.per_block);
        if (out.failed || first >= last) continue;
        const double start = clock_seconds();
        out.failed = !search_block(search, first, last, stack, group, found, starts);
        out.candidates = static_cast<int64_t>(found.size());
        const double searched = clock_seconds();
        out.failed = out.failed || !measure_block(search, first, last, found, starts, exact, hull, out);
        out.search_seconds = searched > start ? searched - start : 0.0;
        out.measure_seconds = seconds_since(searched);
    }
}

}  // namespace cellprox
