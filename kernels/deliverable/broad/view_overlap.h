// Which bytes a strided view reaches, so that a kernel can tell whether its writes through one
// view may change what it reads through another view, or through the same view elsewhere.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kernels/common/shared/strided_view.h"

namespace cellprox {

// The bytes [begin, end) that hold the elements of a block of a view; `known` is false when
// the extents and strides are too large to add up (treat such a view as reaching everywhere).
struct ByteRange {
    uintptr_t begin = 0;
    uintptr_t end = 0;
    bool known = true;
};

// The block [0, extent[0]) x ... of `view` (ndim dimensions, items of `item_size` bytes).
// An empty block reaches no byte.
ByteRange byte_range(const StridedView& view, int ndim, const ptrdiff_t* extent,
                     size_t item_size);

// Whether the two ranges may share a byte.
bool ranges_meet(const ByteRange& a, const ByteRange& b);

// Whether two different elements of the block [0, rows) x [0, columns) of a 2-D view share a
// byte: rows laid over each other (a zero or short row stride), or items within a row.
bool elements_overlap(const StridedView& view, ptrdiff_t rows, ptrdiff_t columns,
                      size_t item_size);

}  // namespace cellprox
