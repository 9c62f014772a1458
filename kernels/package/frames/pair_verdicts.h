// Each frame's verdict on each candidate pair, measured only where the last verdict cannot be
// proven to stand. What proves it is kept per pair from frame to frame:
//
// - a close pair of the vertices-and-edges rule keeps the two elements (vertices, or edges across
//   collections) that came closer than the threshold, and their distance: while that distance
//   and what either cell's farthest vertex moved since stay below the threshold (and a rounding
//   slack), the pair is close; beyond, the two elements alone are measured again, exactly as the
//   rule measures them;
// - a pair proven apart keeps a lower bound of its distance, less what either cell's farthest
//   vertex moved in each frame since: as long as it stays above the threshold (and a rounding
//   slack), no vertex of either can have come close enough to change the verdict;
// - a close pair of the hull rule keeps its gap (and witnesses): the measure is a function of the
//   two cells' vertices alone, so while neither moved it stands, bit for bit.
//
// Every other pair is measured as a fresh search measures it, so a frame's answer is the fresh
// search's, bit for bit. Pairs whose boxes are farther apart than the threshold keep that
// distance as their bound.
#pragma once

#include <cstdint>

#include "kernels/common/distance/close_plumbing.h"
#include "kernels/common/shared/plain_buffer.h"
#include "kernels/package/frames/candidate_list.h"
#include "kernels/package/frames/frame_motion.h"
#include "kernels/package/search/close_pairs.h"
#include "platform/loops/work_watch.h"

namespace cellprox {

enum class PairProof : uint8_t {
    none = 0,          // measure it
    close_elements,    // vertices-and-edges rule: `elements` came closer than the threshold
    apart_by,          // `bound` less both cells' drift stays above the threshold
    hull_gap,          // hull rule: `detail` holds its gap (and witnesses) while neither cell moves
};

// Values per pair in PairProofs::detail: the gap, then (with witnesses) six coordinates.
inline size_t detail_stride(const ProximityQuery& query) {
    return query.rule == ProximityRule::hull ? (query.witnesses ? 7 : 1) : 0;
}

// What each candidate keeps, in the list's order.
struct PairProofs {
    PlainBuffer<PairProof> proof;
    PlainBuffer<double> bound;        // apart_by: a lower bound of the distance in this frame;
                                      // close_elements: an upper bound of the elements' distance
    PlainBuffer<int32_t> elements;    // close_elements: two per pair, numbered within each cell
    PlainBuffer<double> detail;       // hull rule: `stride` per pair, the gap then the witnesses

    // Room for `pairs` pairs of the query's rule: elements for the vertices-and-edges rule,
    // details for the hull rule.
    bool resize(size_t pairs, const ProximityQuery& query) {
        const size_t stride = detail_stride(query);
        return proof.resize(pairs) && bound.resize(pairs) && elements.resize(stride == 0 ? 2 * pairs : 0) &&
               detail.resize(stride * pairs);
    }
    void swap(PairProofs& other) {
        proof.swap(other.proof);
        bound.swap(other.bound);
        elements.swap(other.elements);
        detail.swap(other.detail);
    }
};


struct VerdictInputs {
    const SceneCells* cells;
    const FrameMotion* motion;
    const double* drift;           // per cell: how far its farthest vertex moved since the frame before
    const TrackedPair* pairs;
    size_t count;
    const PairProofs* kept;        // the proofs of the same pairs from the frame before
    ProximityQuery query;
    double band;                   // the vertices-and-edges rule measures distances up to this far beyond the threshold
    double slack;                  // rounding room every bound keeps
    int32_t largest_cell;          // the most vertices, or edges, of any cell
};

struct Verdicts {
    PlainBuffer<uint8_t> close;    // per pair: 1 when close this frame
    PairProofs proofs;             // per pair: what stands for the next frame
    int64_t measured = 0;          // pairs measured this frame
};

// This frame's verdicts on up to `workers` threads (the same for any count), asking `watch`
// between blocks of pairs (done counted from `done_before`, of `total`). ok, out_of_memory or
// stopped.
ProximityStatus judge_pairs(const VerdictInputs& inputs, int32_t workers, const WorkWatch* watch, int64_t done_before,
                            int64_t total, Verdicts& verdicts);

}  // namespace cellprox
