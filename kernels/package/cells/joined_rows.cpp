// Joining per-cell arrays: a packed block is one copy, any other layout item by item; a block
// converted to another type is read item by item in either layout.
#include "kernels/package/cells/joined_rows.h"

#include <cstring>

namespace cellprox {

namespace {

void copy_rows(const StridedRows& block, int64_t width, int64_t item_size, char* out) {
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

// Joins the blocks of numbers of type T into `out` as `convert` gives them; `convert(value,
// place)` writes one and says whether it survived.
template <class T, class Out, class Convert>
bool join_converted(const StridedRows* blocks, int64_t n, int64_t width, Out* out, int64_t* counts,
                    Convert convert) {
    int kept = 1;
    for (int64_t i = 0; i < n; ++i) {
        const Source<T, false> source = source_of<T, false>(blocks[i]);
        for (int64_t r = 0; r < blocks[i].rows; ++r) {
            for (int64_t a = 0; a < width; ++a) kept &= convert(source.at(r, width, a), out++);
        }
        counts[i] = blocks[i].rows;
    }
    return kept != 0;
}

}  // namespace

void join_rows(const StridedRows* blocks, int64_t n, int64_t width, int64_t item_size, char* out,
               int64_t* counts) {
    for (int64_t i = 0; i < n; ++i) {
        copy_rows(blocks[i], width, item_size, out);
        out += blocks[i].rows * width * item_size;
        counts[i] = blocks[i].rows;
    }
}

bool join_float32_rows(const StridedRows* blocks, int64_t n, int64_t width, RealType type, float* out,
                       int64_t* counts) {
    return with_real_type(type, [&](auto number) {
        return join_converted<decltype(number)>(blocks, n, width, out, counts, [](auto value, float* place) {
            *place = static_cast<float>(value);
            return finite_float(*place);
        });
    });
}

bool join_int32_rows(const StridedRows* blocks, int64_t n, int64_t width, IndexType type, int32_t* out,
                     int64_t* counts) {
    return with_index_type(type, [&](auto number) {
        return join_converted<decltype(number)>(blocks, n, width, out, counts, [](auto value, int32_t* place) {
            *place = static_cast<int32_t>(value);
            return fits_int32(value);
        });
    });
}

}  // namespace cellprox
