// Owns joining many small two-dimensional arrays into one: the rows of each, back to back, and
// each one's row count. The package's cell set gets its vertices and edges as one array per
// cell; numpy pays a fixed cost for every array it joins, this loop does not. Joined into the
// output's type as they are copied, real numbers and integers of another common type need no
// second copy.
#pragma once

#include <cstdint>

#include "kernels/package/cells/number_types.h"

namespace cellprox {

// Copies the `n` blocks' rows (`width` items of `item_size` bytes each), in order, into `out`
// (room for all their rows, packed), and each block's row count into `counts`.
void join_rows(const StridedRows* blocks, int64_t n, int64_t width, int64_t item_size, char* out,
               int64_t* counts);

// The same, converting each number of `type` to float32 as numpy's astype rounds it. False when
// one is not finite in float32: its value as given is then lost, and the caller joins them as
// they are.
bool join_float32_rows(const StridedRows* blocks, int64_t n, int64_t width, RealType type, float* out,
                       int64_t* counts);

// The same, converting each integer of `type` to int32. False when one does not fit int32.
bool join_int32_rows(const StridedRows* blocks, int64_t n, int64_t width, IndexType type, int32_t* out,
                     int64_t* counts);

}  // namespace cellprox
