// Owns the checked build of a cell set's rows on the thread team: every vertex converted to
// float32 and found finite, every edge found to number vertices of its own cell and converted
// to int32, each cell's first rows and, when asked, its mean. It only detects what is wrong;
// the package names the cell at fault with its own checks.
//
// The work is cut into pieces whose bounds depend on the sizes alone, and every output element
// is computed the same way in any piece, so the results are the same for any worker count.
#pragma once

#include <cstdint>

#include "kernels/package/cells/number_types.h"

namespace cellprox {

// n cells: their counts, and their vertices ((rows, 3)) and edges ((rows, 2)) back to back.
struct CellRows {
    int64_t n;
    const int64_t* vertex_counts;
    const int64_t* edge_counts;
    StridedRows vertices;
    RealType vertex_type;
    StridedRows edges;
    IndexType edge_type;
};

// Where the build writes. `vertices` may be null when the input already is packed float32 rows
// that the caller keeps as they are (they are then only checked), `edges` likewise for packed
// int32 rows; `means` is null when the caller has origins of its own.
struct BuiltRows {
    int64_t* vertex_starts;   // n: each cell's first vertex row (the exclusive prefix sums)
    int64_t* edge_starts;     // n
    float* vertices;          // (vertex rows, 3)
    int32_t* edges;           // (edge rows, 2)
    float* means;             // (n, 3): summed in double in the points' order, rounded once
};

// What the build found wrong, as bits. With bad_counts (a count negative or beyond int32, the
// counts not adding up to the rows, or rows of another type or layout left unconverted) nothing
// but some of the starts is written.
enum RowFaults : uint32_t {
    bad_counts = 1u,
    vertices_not_finite = 2u,   // in float32, as numpy's astype rounds them: overflow is not finite
    edges_out_of_cell = 4u,     // a vertex number below 0 or at least its cell's vertex count
    cell_without_vertices = 8u, // only looked for when means are asked: such a cell has none
    rows_out_of_memory = 16u,   // the pieces' sums found no memory: nothing else was done
};

// Builds `out` from `cells` on up to `workers` threads (the calling one included) and returns
// the faults found (0: none).
uint32_t build_cell_rows(const CellRows& cells, const BuiltRows& out, int32_t workers);

}  // namespace cellprox
