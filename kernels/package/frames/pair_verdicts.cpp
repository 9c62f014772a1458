// The verdicts a piece of the list at a time on the team, each piece writing only its own pairs'
// entries, so that neither the team nor the pieces show in the answer.
#include "kernels/package/frames/pair_verdicts.h"

#include <algorithm>
#include <cmath>

#include "kernels/package/exact/exact_cells.h"
#include "kernels/package/hull/hull_measure.h"
#include "platform/loops/thread_team.h"

namespace cellprox {

namespace {

constexpr size_t VERDICT_PIECE = 4096;
constexpr int32_t VERDICT_BLOCK_PIECES = 32;

// The square of the distance between two boxes (infinite for a cell without vertices).
double boxes_distance2(const VertexBox& a, const VertexBox& b) {
    double sum = 0.0;
    for (int axis = 0; axis < 3; ++axis) {
        const double gap = std::max(double(a.lo[axis]) - double(b.hi[axis]), double(b.lo[axis]) - double(a.hi[axis]));
        if (gap > 0.0) sum += gap * gap;
    }
    return sum;
}

const float* vertex_of(const CellView& cell, int32_t v) { return cell.vertices + 3 * static_cast<size_t>(v); }

// Whether `lo`..`hi` lies farther than `reach` from `box` along some axis: then so does every
// point between them from every point of the box.
inline bool beyond_box(const float* lo, const float* hi, const VertexBox& box, double reach) {
    bool beyond = false;
    for (int axis = 0; axis < 3; ++axis) {
        beyond |= double(lo[axis]) - double(box.hi[axis]) > reach || double(box.lo[axis]) - double(hi[axis]) > reach;
    }
    return beyond;
}

// The elements of `cell` (vertices, or edges) that may come within `reach` of the other cell's
// box, numbered within the cell.
int32_t elements_near(const CellView& cell, bool edges, const VertexBox& other, double reach, int32_t* near) {
    int32_t count = 0;
    if (!edges) {
        for (int32_t v = 0; v < cell.v_count; ++v) {
            const float* p = vertex_of(cell, v);
            if (!beyond_box(p, p, other, reach)) near[count++] = v;
        }
        return count;
    }
    for (int32_t e = 0; e < cell.e_count; ++e) {
        const float *p, *q;
        if (!edge_points(cell, e, &p, &q)) continue;
        const float lo[3] = {std::min(p[0], q[0]), std::min(p[1], q[1]), std::min(p[2], q[2])};
        const float hi[3] = {std::max(p[0], q[0]), std::max(p[1], q[1]), std::max(p[2], q[2])};
        if (!beyond_box(lo, hi, other, reach)) near[count++] = e;
    }
    return count;
}

// The distance of two elements as the rule measures it (vertices within a collection, edges
// across), from the first cell's side; infinite for an edge naming a vertex its cell lacks.
double element_distance(const CellView& a, const CellView& b, const int32_t* elements) {
    if (a.collection == b.collection) {
        if (elements[0] < 0 || elements[0] >= a.v_count || elements[1] < 0 || elements[1] >= b.v_count) return HUGE_VAL;
        return exact_vertex_distance(vertex_of(a, elements[0]), vertex_of(b, elements[1]));
    }
    const float *p0, *p1, *q0, *q1;
    if (elements[0] < 0 || elements[0] >= a.e_count || elements[1] < 0 || elements[1] >= b.e_count ||
        !edge_points(a, elements[0], &p0, &p1) || !edge_points(b, elements[1], &q0, &q1)) {
        return HUGE_VAL;
    }
    return exact_segment_distance(p0, p1, q0, q1);
}

// The least distance the rule measures between an element of a and one of b, where it is below
// `reach`, with the two elements; `reach` where no two elements come within it (each element
// farther than it from the other cell's box along some axis is farther from all of the other
// cell). `near` has room for the elements of the larger cell.
double least_element_distance(const CellView& a, const VertexBox& box_a, const CellView& b, const VertexBox& box_b,
                              double reach, int32_t* near, int32_t (&elements)[2]) {
    const bool edges = a.collection != b.collection;
    elements[0] = elements[1] = -1;
    const int32_t near_a = elements_near(a, edges, box_b, reach, near);
    if (near_a == 0) return reach;
    const int32_t near_b = elements_near(b, edges, box_a, reach, near + near_a);
    double least = reach;
    for (int32_t x = 0; x < near_a; ++x) {
        for (int32_t y = 0; y < near_b; ++y) {
            const int32_t pair[2] = {near[x], near[near_a + y]};
            const double distance = element_distance(a, b, pair);
            if (distance < least) {
                least = distance;
                elements[0] = pair[0];
                elements[1] = pair[1];
            }
        }
    }
    return least;
}

// Whether two elements `distance` apart (element_distance, from the first cell's side) come
// closer than the threshold as the rule decides: two edges are close when the segment distance's
// steps find them so from either one, and the two orders round differently by far less than
// `slack`, so only a distance within it of the threshold is measured the other way too.
bool distance_close(const CellView& a, const CellView& b, const int32_t* elements, double distance, double threshold,
                    double slack) {
    if (distance < threshold) return true;
    if (!(distance < threshold + slack) || a.collection == b.collection) return false;
    const float *p0, *p1, *q0, *q1;
    return edge_points(a, elements[0], &p0, &p1) && edge_points(b, elements[1], &q0, &q1) &&
           exact_segment_distance(q0, q1, p0, p1) < threshold;
}

struct VerdictBlock {
    const VerdictInputs* in;
    Verdicts* out;
    const CellView* views;
    ExactThreshold at;          // the threshold
    HullMeasurer hull;
    double far2;                // boxes farther apart than the threshold and the slack, squared
    size_t first_piece;
    int64_t* measured;          // per piece of the block
    bool* failed;
};

// One pair by the vertices-and-edges rule, its boxes `box_distance` apart (at most the threshold);
// false when memory runs out.
bool judge_exact(const VerdictBlock& block, size_t k, double box_distance, CloseSpace& space, int32_t* near) {
    const VerdictInputs& in = *block.in;
    PairProofs& next = block.out->proofs;
    const int32_t i = in.pairs[k].first, j = in.pairs[k].second;
    const CellView& a = block.views[i];
    const CellView& b = block.views[j];
    const double threshold = in.query.threshold;
    const PairProof was = in.kept != nullptr ? in.kept->proof[k] : PairProof::none;
    uint8_t& close = block.out->close[k];
    if (was == PairProof::close_elements) {
        const int32_t* elements = in.kept->elements.data() + 2 * k;
        const double distance = element_distance(a, b, elements);
        if (distance_close(a, b, elements, distance, threshold, in.slack)) {
            close = 1;
            next.proof[k] = was;
            next.bound[k] = distance;
            next.elements[2 * k] = elements[0];
            next.elements[2 * k + 1] = elements[1];
            return true;
        }
    }
    ++block.measured[k / VERDICT_PIECE - block.first_piece];
    const VertexBox& box_a = in.motion->boxes[static_cast<size_t>(i)];
    const VertexBox& box_b = in.motion->boxes[static_cast<size_t>(j)];
    // The least distance of any two elements within the band beyond the threshold decides the
    // pair and bounds it at once; only a distance within rounding of the threshold leaves the
    // verdict to the rule's own measure.
    int32_t elements[2];
    const double least = least_element_distance(a, box_a, b, box_b, threshold + in.band, near, elements);
    if (least < threshold - in.slack) {
        close = 1;
        next.proof[k] = PairProof::close_elements;
        next.bound[k] = least;
        next.elements[2 * k] = elements[0];
        next.elements[2 * k + 1] = elements[1];
        return true;
    }
    if (least > threshold + in.slack) {
        close = 0;
        next.proof[k] = PairProof::apart_by;
        next.bound[k] = std::max(least, box_distance);
        return true;
    }
    start_cell(space);
    const Closeness verdict = exact_cells_close(a, box_a, b, box_b, block.at, space);
    if (verdict == Closeness::out_of_memory) return false;
    close = verdict == Closeness::close;
    // The least distance's two elements prove the pair close in later frames only where they
    // are close by the rule in either order; otherwise it is measured again.
    const bool proven = close && elements[0] >= 0 && distance_close(a, b, elements, least, threshold, in.slack);
    next.proof[k] = proven ? PairProof::close_elements : PairProof::none;
    next.bound[k] = least;
    next.elements[2 * k] = elements[0];
    next.elements[2 * k + 1] = elements[1];
    return true;
}

// One pair by the hull rule, its boxes `box_distance` apart; false when memory runs out.
bool judge_hull(const VerdictBlock& block, size_t k, double box_distance, const HullMeasurer& rule,
                StreamBuffer<double>& details) {
    const VerdictInputs& in = *block.in;
    PairProofs& next = block.out->proofs;
    const size_t stride = detail_stride(in.query);
    const int32_t i = in.pairs[k].first, j = in.pairs[k].second;
    const double threshold = in.query.threshold;
    const PairProof was = in.kept != nullptr ? in.kept->proof[k] : PairProof::none;
    uint8_t& close = block.out->close[k];
    if (was == PairProof::hull_gap && !in.motion->moved[static_cast<size_t>(i)] &&
        !in.motion->moved[static_cast<size_t>(j)]) {
        close = 1;
        next.proof[k] = was;
        std::copy_n(in.kept->detail.data() + stride * k, stride, next.detail.data() + stride * k);
        return true;
    }
    ++block.measured[k / VERDICT_PIECE - block.first_piece];
    const CellView& a = block.views[i];
    const CellView& b = block.views[j];
    details.clear();
    int64_t detail = -1;
    double apart = -HUGE_VAL;
    if (!measure_hulls(rule, i, j, {a.vertices, a.v_count}, {b.vertices, b.v_count}, details, detail, &apart)) {
        return false;
    }
    if (detail >= 0) {
        close = 1;
        next.proof[k] = PairProof::hull_gap;
        std::copy_n(details.data() + detail, stride, next.detail.data() + stride * k);
        return true;
    }
    close = 0;
    apart = std::max(apart, box_distance);
    next.proof[k] = apart > threshold + in.slack ? PairProof::apart_by : PairProof::none;
    next.bound[k] = apart;
    return true;
}

void judge_pieces(int32_t begin, int32_t end, void* context) {
    const VerdictBlock& block = *static_cast<const VerdictBlock*>(context);
    const VerdictInputs& in = *block.in;
    const bool hull = in.query.rule == ProximityRule::hull;
    const double apart_beyond = in.query.threshold + in.slack;
    const double close_within = in.query.threshold - in.slack;
    CloseSpace space;
    PlainBuffer<int32_t> near;
    HullWorkspace work;
    StreamBuffer<double> details;
    HullMeasurer rule = block.hull;
    const bool room = hull ? rule.attach(work, in.largest_cell) && details.reserve(8)
                           : near.resize(2 * static_cast<size_t>(in.largest_cell));
    PairProofs& next = block.out->proofs;
    for (int32_t s = begin; s < end; ++s) {
        const size_t piece = block.first_piece + static_cast<size_t>(s);
        const size_t first = piece * VERDICT_PIECE, last = std::min(in.count, first + VERDICT_PIECE);
        bool& failed = block.failed[s];
        block.measured[s] = 0;
        failed = !room;
        for (size_t k = first; k < last && !failed; ++k) {
            const int32_t i = in.pairs[k].first, j = in.pairs[k].second;
            // A bound less what both cells moved since it was taken still above the threshold:
            // the pair stays apart, whatever else changed. Two elements whose distance, and what
            // both cells moved since, stays below it: the pair stays close.
            const PairProof was = in.kept != nullptr ? in.kept->proof[k] : PairProof::none;
            if (was == PairProof::apart_by) {
                const double bound = in.kept->bound[k] - (in.drift[i] + in.drift[j]);
                if (bound > apart_beyond) {
                    block.out->close[k] = 0;
                    next.proof[k] = PairProof::apart_by;
                    next.bound[k] = bound;
                    continue;
                }
            } else if (was == PairProof::close_elements) {
                const double bound = in.kept->bound[k] + (in.drift[i] + in.drift[j]);
                if (bound < close_within) {
                    block.out->close[k] = 1;
                    next.proof[k] = PairProof::close_elements;
                    next.bound[k] = bound;
                    next.elements[2 * k] = in.kept->elements[2 * k];
                    next.elements[2 * k + 1] = in.kept->elements[2 * k + 1];
                    continue;
                }
            }
            const double box_distance2 =
                boxes_distance2(in.motion->boxes[static_cast<size_t>(i)], in.motion->boxes[static_cast<size_t>(j)]);
            if (box_distance2 > block.far2) {
                // The boxes alone say so; their distance bounds the pair's.
                block.out->close[k] = 0;
                next.proof[k] = PairProof::apart_by;
                next.bound[k] = std::sqrt(box_distance2);
                continue;
            }
            const double box_distance = std::sqrt(box_distance2);
            failed = hull ? !judge_hull(block, k, box_distance, rule, details)
                          : !judge_exact(block, k, box_distance, space, near.data());
        }
    }
}

// Each cell as the rules read it, in the caller's order.
bool cell_views_in_order(const SceneCells& cells, int32_t workers, PlainBuffer<CellView>& views) {
    constexpr int32_t PIECE = 16384;
    if (!views.resize(static_cast<size_t>(cells.count))) return false;
    auto piece = [&](int32_t k) {
        const int32_t last = std::min(cells.count, (k + 1) * PIECE);
        for (int32_t i = k * PIECE; i < last; ++i) {
            const int64_t v = cells.vertex_starts[i], e = cells.edge_starts[i];
            views[static_cast<size_t>(i)] = {cells.xyz + 3 * v, cells.edges + 2 * e,
                                             static_cast<int32_t>(cells.vertex_starts[i + 1] - v),
                                             static_cast<int32_t>(cells.edge_starts[i + 1] - e), cells.collections[i]};
        }
    };
    for_each_piece(workers, (cells.count + PIECE - 1) / PIECE, piece);
    return true;
}

}  // namespace

ProximityStatus judge_pairs(const VerdictInputs& in, int32_t workers, const WorkWatch* watch, int64_t done_before,
                            int64_t total, Verdicts& out) {
    out.measured = 0;
    PlainBuffer<CellView> views;
    if (!out.close.resize(in.count) || !out.proofs.resize(in.count, in.query) ||
        !cell_views_in_order(*in.cells, workers, views)) {
        return ProximityStatus::out_of_memory;
    }
    VerdictBlock block{};
    block.in = &in;
    block.out = &out;
    block.views = views.data();
    const double threshold = in.query.threshold;
    block.at = exact_threshold(threshold);
    block.hull.slabs = in.motion->slabs.data();
    block.hull.slab_reach = slab_reach(threshold);
    block.hull.boxes = in.motion->boxes.data();
    block.hull.threshold = threshold;
    block.hull.witnesses = in.query.witnesses;
    const double far = threshold + 2.0 * in.slack;
    block.far2 = far * far;
    int64_t measured[VERDICT_BLOCK_PIECES];
    bool failed[VERDICT_BLOCK_PIECES];
    block.measured = measured;
    block.failed = failed;
    const size_t pieces = (in.count + VERDICT_PIECE - 1) / VERDICT_PIECE;
    for (size_t first = 0; first < pieces; first += VERDICT_BLOCK_PIECES) {
        const int32_t used = static_cast<int32_t>(std::min<size_t>(VERDICT_BLOCK_PIECES, pieces - first));
        block.first_piece = first;
        run_pieces(workers, used, judge_pieces, &block);
        for (int32_t s = 0; s < used; ++s) {
            if (failed[s]) return ProximityStatus::out_of_memory;
            out.measured += measured[s];
        }
        const int64_t done = static_cast<int64_t>(std::min(in.count, (first + used) * VERDICT_PIECE));
        if (!keep_going(watch, done_before + done, total)) return ProximityStatus::stopped;
    }
    return ProximityStatus::ok;
}

}  // namespace cellprox
