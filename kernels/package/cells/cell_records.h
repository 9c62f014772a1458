// Owns writing the 64-byte cell records (kernels/common/shared/cell.h) of cells whose arrays the package
// has already checked and joined, in one pass.
#pragma once

#include <cstdint>

namespace cellprox {

// n cells: each one's collection, vertex and edge counts and origin (x, y, z); their vertices
// ((vertex_rows, 3) float32) and edges ((edge_rows, 2) int32) back to back, cell after cell.
struct CellColumns {
    int64_t n;
    const int32_t* collections;
    const int64_t* vertex_counts;
    const int64_t* edge_counts;
    const float* origins;
    const float* vertices;
    int64_t vertex_rows;
    const int32_t* edges;
    int64_t edge_rows;
};

// Writes record i of `records` (n * 64 bytes, any alignment) for every cell: its number,
// collection, counts, origin and the addresses of its own rows, which start at the running
// counts (null where it has none); no links. False when a count is negative, does not fit an
// int32, or runs past the rows: the records before that cell are written.
bool write_cell_records(const CellColumns& cells, char* records);

}  // namespace cellprox
