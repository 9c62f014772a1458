// Joining per-cell arrays: a packed block is one copy, any other layout item by item.
#include "kernels/package/cells/joined_rows.h"

#include <cstring>

namespace cellprox {

namespace {

void copy_rows(const RowBlock& block, int64_t width, int64_t item_size, char* out) {
    if (block.item_stride == item_size && block.row_stride == width * item_size) {
        if (block.rows > 0) std::memcpy(out, block.data, static_cast<size_t>(block.rows * width * item_size));
        return;
    }
    const char* row = block.data;
    for (int64_t r = 0; r < block.rows; ++r, row += block.row_stride) {
        const char* value = row;
        for (int64_t c = 0; c < width; ++c, value += block.item_stride, out += item_size) {
            std::memcpy(out, value, static_cast<size_t>(item_size));
        }
    }
}

}  // namespace

void join_rows(const RowBlock* blocks, int64_t n, int64_t width, int64_t item_size, char* out,
               int64_t* counts) {
    for (int64_t i = 0; i < n; ++i) {
        copy_rows(blocks[i], width, item_size, out);
        out += blocks[i].rows * width * item_size;
        counts[i] = blocks[i].rows;
    }
}

}  // namespace cellprox
