// The checked build of a cell set's rows: the starts by a prefix sum in pieces (sums, offsets,
// fill), then one pass over pieces of whole cells that converts, checks and averages.
#include "kernels/package/cells/checked_rows.h"

#include <algorithm>
#include <atomic>

#include "kernels/common/shared/plain_buffer.h"
#include "platform/loops/thread_team.h"

namespace cellprox {

namespace {

// Cells per piece of the prefix sums, and rows (plus cells) per piece of the pass over cells:
// fixed numbers, so that a piece's bounds never depend on the workers.
constexpr int64_t CELLS_PER_SUM_PIECE = 65536;
constexpr int64_t WEIGHT_PER_CELL_PIECE = 65536;

// The cells [begin, end)'s vertices: converted (written unless Write is false: then they are
// float32 already) and checked in one run over their rows, then summed in double, cell by
// cell, for the means (when Mean). Returns the faults found.
template <class T, bool Packed, bool Write, bool Mean>
uint32_t vertex_cells(const CellRows& cells, const BuiltRows& out, int64_t begin, int64_t end) {
    if (begin >= end) return 0u;
    const Source<T, Packed> source = source_of<T, Packed>(cells.vertices);
    const int64_t first = out.vertex_starts[begin];
    const int64_t last = out.vertex_starts[end - 1] + cells.vertex_counts[end - 1];
    int finite = 1;
    if (Packed) {
        for (int64_t k = 3 * first; k < 3 * last; ++k) {
            const float value = static_cast<float>(source.at(0, 0, k));
            finite &= finite_float(value);
            if (Write) out.vertices[k] = value;
        }
    } else {
        for (int64_t r = first; r < last; ++r) {
            for (int a = 0; a < 3; ++a) {
                const float value = static_cast<float>(source.at(r, 3, a));
                finite &= finite_float(value);
                if (Write) out.vertices[3 * r + a] = value;
            }
        }
    }
    bool filled = true;
    if (Mean) {
        // Summed from the stored float32 rows (or the kept ones) in a loop of its own: GCC 12
        // at -O3 loses the rounding to float when a strided double is converted and summed in
        // one loop.
        for (int64_t c = begin; c < end; ++c) {
            const int64_t start = out.vertex_starts[c], rows = cells.vertex_counts[c];
            double sum[3] = {0.0, 0.0, 0.0};
            for (int64_t r = start; r < start + rows; ++r) {
                for (int a = 0; a < 3; ++a) {
                    sum[a] += Write ? out.vertices[3 * r + a] : static_cast<float>(source.at(r, 3, a));
                }
            }
            for (int a = 0; a < 3; ++a) out.means[3 * c + a] = static_cast<float>(sum[a] / static_cast<double>(rows));
            filled &= rows > 0;
        }
    }
    return (finite ? 0u : vertices_not_finite) | (filled ? 0u : cell_without_vertices);
}

// The cells [begin, end)'s edges: every number below its cell's vertex count (a negative one
// turns into a huge unsigned number and fails the same test), converted unless Write is false.
template <class T, bool Packed, bool Write>
uint32_t edge_cells(const CellRows& cells, const BuiltRows& out, int64_t begin, int64_t end) {
    const Source<T, Packed> source = source_of<T, Packed>(cells.edges);
    int inside = 1;
    for (int64_t c = begin; c < end; ++c) {
        const int64_t first = out.edge_starts[c], rows = cells.edge_counts[c];
        const uint64_t vertices = static_cast<uint64_t>(cells.vertex_counts[c]);
        for (int64_t r = first; r < first + rows; ++r) {
            for (int a = 0; a < 2; ++a) {
                const T number = source.at(r, 2, a);
                inside &= static_cast<uint64_t>(number) < vertices;
                if (Write) out.edges[2 * r + a] = static_cast<int32_t>(number);
            }
        }
    }
    return inside ? 0u : edges_out_of_cell;
}

using CellsPass = uint32_t (*)(const CellRows&, const BuiltRows&, int64_t, int64_t);

template <class T, bool Packed>
CellsPass vertex_pass(bool write, bool mean) {
    if (write) return mean ? vertex_cells<T, Packed, true, true> : vertex_cells<T, Packed, true, false>;
    return mean ? vertex_cells<T, Packed, false, true> : vertex_cells<T, Packed, false, false>;
}

template <class T>
CellsPass vertex_pass_of(const CellRows& cells, const BuiltRows& out) {
    const bool write = out.vertices != nullptr, mean = out.means != nullptr;
    return packed<T>(cells.vertices, 3) ? vertex_pass<T, true>(write, mean) : vertex_pass<T, false>(write, mean);
}

// Rows are kept unconverted only where they already are what the output would be.
bool keeps_only_output_rows(const CellRows& cells, const BuiltRows& out) {
    return (out.vertices != nullptr || (cells.vertex_type == RealType::float32 && packed<float>(cells.vertices, 3))) &&
           (out.edges != nullptr || (cells.edge_type == IndexType::int32 && packed<int32_t>(cells.edges, 2)));
}

template <class T>
CellsPass edge_pass_of(const CellRows& cells, const BuiltRows& out) {
    const bool write = out.edges != nullptr;
    if (packed<T>(cells.edges, 2)) return write ? edge_cells<T, true, true> : edge_cells<T, true, false>;
    return write ? edge_cells<T, false, true> : edge_cells<T, false, false>;
}

CellsPass edge_pass(const CellRows& cells, const BuiltRows& out) {
    return with_index_type(cells.edge_type, [&](auto number) { return edge_pass_of<decltype(number)>(cells, out); });
}

// Cells weigh their rows plus one, so that pieces stay short where cells have no rows at all.
struct WeightedCells {
    const int64_t* vertex_starts;
    const int64_t* edge_starts;
    int64_t n;

    // The first cell whose rows (and the cells) before it weigh at least `weight`.
    int64_t first_at(int64_t weight) const {
        int64_t low = 0, high = n;
        while (low < high) {
            const int64_t middle = low + (high - low) / 2;
            if (vertex_starts[middle] + edge_starts[middle] + middle < weight) {
                low = middle + 1;
            } else {
                high = middle;
            }
        }
        return low;
    }
};

// Exclusive prefix sums of `counts` (n of them) into `starts`: each piece's sum, the pieces'
// offsets, then each piece filled. The total, or -1 when a count is negative or beyond int32,
// -2 without memory for the pieces' sums (`starts` is then not complete).
int64_t prefix_starts(const int64_t* counts, int64_t n, int64_t* starts, int32_t workers) {
    const int32_t pieces = static_cast<int32_t>((n + CELLS_PER_SUM_PIECE - 1) / CELLS_PER_SUM_PIECE);
    PlainBuffer<int64_t, PageAdvice::none> sums;
    if (!sums.resize(static_cast<size_t>(pieces))) return -2;
    auto sum = [&](int32_t k) {
        const int64_t begin = k * CELLS_PER_SUM_PIECE, end = std::min(n, begin + CELLS_PER_SUM_PIECE);
        int64_t total = 0;
        for (int64_t i = begin; i < end; ++i) {
            if (counts[i] < 0 || counts[i] > INT32_MAX) {
                total = -1;
                break;
            }
            total += counts[i];
        }
        sums[static_cast<size_t>(k)] = total;
    };
    for_each_piece(workers, pieces, sum);
    int64_t total = 0;
    for (size_t k = 0; k < sums.size(); ++k) {
        if (sums[k] < 0) return -1;
        const int64_t offset = total;
        total += sums[k];
        sums[k] = offset;
    }
    auto fill = [&](int32_t k) {
        const int64_t begin = k * CELLS_PER_SUM_PIECE, end = std::min(n, begin + CELLS_PER_SUM_PIECE);
        int64_t start = sums[static_cast<size_t>(k)];
        for (int64_t i = begin; i < end; ++i) {
            starts[i] = start;
            start += counts[i];
        }
    };
    for_each_piece(workers, pieces, fill);
    return total;
}

}  // namespace

uint32_t build_cell_rows(const CellRows& cells, const BuiltRows& out, int32_t workers) {
    if (cells.n < 0 || cells.n > INT32_MAX || !keeps_only_output_rows(cells, out)) return bad_counts;
    const int64_t vertex_rows = prefix_starts(cells.vertex_counts, cells.n, out.vertex_starts, workers);
    const int64_t edge_rows = vertex_rows < 0 ? vertex_rows
                                              : prefix_starts(cells.edge_counts, cells.n, out.edge_starts, workers);
    if (vertex_rows == -2 || edge_rows == -2) return rows_out_of_memory;
    if (vertex_rows != cells.vertices.rows || edge_rows != cells.edges.rows) return bad_counts;
    const CellsPass vertices =
        with_real_type(cells.vertex_type, [&](auto number) { return vertex_pass_of<decltype(number)>(cells, out); });
    const CellsPass edges = edge_pass(cells, out);
    const int64_t weight = cells.vertices.rows + cells.edges.rows + cells.n;
    const int64_t per_piece = std::max(WEIGHT_PER_CELL_PIECE, weight / INT32_MAX + 1);
    const int32_t pieces = static_cast<int32_t>((weight + per_piece - 1) / per_piece);
    const WeightedCells weighted{out.vertex_starts, out.edge_starts, cells.n};
    std::atomic<uint32_t> faults{0u};   // bits only ever set: the same whichever piece sets them
    auto pass = [&](int32_t k) {
        const int64_t begin = weighted.first_at(k * per_piece), end = weighted.first_at((k + 1) * per_piece);
        const uint32_t found = vertices(cells, out, begin, end) | edges(cells, out, begin, end);
        if (found != 0u) faults.fetch_or(found, std::memory_order_relaxed);
    };
    for_each_piece(workers, pieces, pass);
    return faults.load();
}

}  // namespace cellprox
