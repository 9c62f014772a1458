// Owns joining many small two-dimensional arrays into one: the rows of each, back to back, and
// each one's row count. The package's cell set gets its vertices and edges as one array per
// cell; numpy pays a fixed cost for every array it joins, this loop does not.
#pragma once

#include <cstdint>

namespace cellprox {

// One array's rows as its exporter lays them out: `rows` rows of `width` items of `item_size`
// bytes, each item `item_stride` bytes after the last, each row `row_stride` bytes after the last.
struct RowBlock {
    const char* data;
    int64_t rows;
    int64_t row_stride;
    int64_t item_stride;
};

// Copies the `n` blocks' rows, in order, into `out` (room for all their rows, packed), and each
// block's row count into `counts`.
void join_rows(const RowBlock* blocks, int64_t n, int64_t width, int64_t item_size, char* out,
               int64_t* counts);

}  // namespace cellprox
