// Which bytes strided views reach, and whether two reaches meet.
#include "kernels/deliverable/broad/view_overlap.h"

namespace cellprox {

namespace {

// Addresses of real memory stay far below this: a larger offset means the strides are not
// ones the buffer protocol would hand out for memory that exists.
constexpr ptrdiff_t LARGEST_OFFSET = ptrdiff_t(1) << 48;

// stride * count when it stays below LARGEST_OFFSET in magnitude (count >= 0).
bool scaled(ptrdiff_t stride, ptrdiff_t count, ptrdiff_t* out) {
    const ptrdiff_t size = stride < 0 ? -stride : stride;
    if (size != 0 && count > LARGEST_OFFSET / size) return false;
    *out = stride * count;
    return true;
}

ptrdiff_t floor_div(ptrdiff_t a, ptrdiff_t b) {  // b > 0
    return a >= 0 ? a / b : -((-a + b - 1) / b);
}

}  // namespace

ByteRange byte_range(const StridedView& view, int ndim, const ptrdiff_t* extent,
                     size_t item_size) {
    ByteRange range;
    ptrdiff_t low = 0, high = 0;
    for (int dim = 0; dim < ndim; ++dim) {
        if (extent[dim] <= 0) return range;  // no element, no byte
        ptrdiff_t reach = 0;
        if (!scaled(view.strides[dim], extent[dim] - 1, &reach)) {
            range.known = false;
            return range;
        }
        (reach < 0 ? low : high) += reach;
    }
    const uintptr_t base = reinterpret_cast<uintptr_t>(view.data);
    range.begin = base + static_cast<uintptr_t>(low);  // low <= 0: wraps to base - |low|
    range.end = base + static_cast<uintptr_t>(high) + item_size;
    return range;
}

bool ranges_meet(const ByteRange& a, const ByteRange& b) {
    if (!a.known || !b.known) return true;
    if (a.begin == a.end || b.begin == b.end) return false;
    return a.begin < b.end && b.begin < a.end;
}

// Elements (r, c) and (r + dr, c + dc) share a byte when |dr * row_stride + dc * column_stride|
// < item_size. For each column difference, the row differences that do so form one interval.
bool elements_overlap(const StridedView& view, ptrdiff_t rows, ptrdiff_t columns,
                      size_t item_size) {
    if (rows <= 0 || columns <= 0) return false;
    ptrdiff_t row_stride = view.strides[0];
    const ptrdiff_t column_stride = view.strides[1];
    const ptrdiff_t item = static_cast<ptrdiff_t>(item_size);
    ptrdiff_t unused = 0;
    if (!scaled(row_stride, rows, &unused) || !scaled(column_stride, columns, &unused)) return true;
    const ptrdiff_t sign = row_stride < 0 ? -1 : 1;
    row_stride *= sign;
    for (ptrdiff_t dc = -(columns - 1); dc < columns; ++dc) {
        // Wanted: |dr * row_stride - target| < item.
        const ptrdiff_t target = -dc * column_stride * sign;
        ptrdiff_t first, last;
        if (row_stride == 0) {
            if (!(target > -item && target < item)) continue;
            first = -(rows - 1);
            last = rows - 1;
        } else {
            first = floor_div(target - item, row_stride) + 1;
            last = -floor_div(-(target + item), row_stride) - 1;
            if (first < -(rows - 1)) first = -(rows - 1);
            if (last > rows - 1) last = rows - 1;
        }
        if (first > last) continue;
        if (dc != 0 || first != 0 || last != 0) return true;  // dr = dc = 0 is the element itself
    }
    return false;
}

}  // namespace cellprox
