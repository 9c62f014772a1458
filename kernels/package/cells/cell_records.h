// Owns writing the 64-byte cell records (kernels/common/shared/cell.h) of cells whose arrays the package
// has already checked and joined, in pieces on the thread team.
#pragma once

#include <cstdint>

namespace cellprox {

// n cells: each one's collection, vertex and edge counts, first vertex and edge rows and origin
// (x, y, z); their vertices ((vertex_rows, 3) float32) and edges ((edge_rows, 2) int32).
struct CellColumns {
    int64_t n;
    const int32_t* collections;
    const int64_t* vertex_counts;
    const int64_t* edge_counts;
    const int64_t* vertex_starts;
    const int64_t* edge_starts;
    const float* origins;
    const float* vertices;
    int64_t vertex_rows;
    const int32_t* edges;
    int64_t edge_rows;
};

// Writes record i of `records` (n * 64 bytes, any alignment) for every cell, on up to `workers`
// threads: its number, collection, counts, origin and the addresses of its own rows (null where
// it has none); no links. False when a count is negative or does not fit an int32, or a cell's
// rows lie outside the arrays: the records are then not all written.
bool write_cell_records(const CellColumns& cells, char* records, int32_t workers);

}  // namespace cellprox
