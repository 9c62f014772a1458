// The package's vertices-and-edges rule for one pair of cells, decided as double arithmetic on
// the cells' float coordinates decides it: cells of one collection are close when some vertex of
// one lies strictly within the threshold of some vertex of the other; cells of different
// collections when some edge of one does of some edge of the other (the segment distance's
// steps, in double, from either segment). The shared plumbing (close_plumbing.h) drops the elements that lie provably
// too far from the other cell first; the rule's verdict measures the rest four at a time in
// float with a proven error bound, and only the pairs inside that bound again in double.
#pragma once

#include <cstdint>

#include "kernels/common/distance/close_plumbing.h"
#include "kernels/package/exact/exact_threshold.h"
#include "kernels/common/shared/vertex_box.h"

namespace cellprox {

// Whether cells a and b (with their vertex boxes) come strictly closer than the threshold.
// `space` holds cell a packed: start_cell(space) before the pairs of another cell a.
Closeness exact_cells_close(const CellView& a, const VertexBox& bounds_a, const CellView& b,
                            const VertexBox& bounds_b, const ExactThreshold& threshold, CloseSpace& space);

// The two tests, for cells of one collection and of different ones. `limit` is the rule's
// pruning_limit for the two cells.
Closeness exact_vertices_close(const CellView& a, const CellView& b, const VertexBox& bounds_b,
                               const ExactThreshold& threshold, float limit, CloseSpace& space);
Closeness exact_edges_close(const CellView& a, const VertexBox& bounds_a, const CellView& b,
                            const VertexBox& bounds_b, const ExactThreshold& threshold, float limit,
                            CloseSpace& space);

// The decisions in double alone, pair by pair: what the rule means, for tests and for
// thresholds outside the float pass's range.
double exact_vertex_distance(const float* p, const float* q);
double exact_segment_distance(const float* p0, const float* p1, const float* q0, const float* q1);
// The segment distance's steps round differently started from one segment or from the other (by
// a few units in the last place of the coordinates, which matters only where those dwarf the
// threshold): two segments are close when either order finds them so. A pair's verdict then
// depends neither on which of its cells the search met first nor on the rest of the scene.
bool exact_segments_close(const float* p0, const float* p1, const float* q0, const float* q1, double threshold);
bool plain_vertices_close(const CellView& a, const CellView& b, double threshold);
bool plain_edges_close(const CellView& a, const CellView& b, double threshold);

}  // namespace cellprox
