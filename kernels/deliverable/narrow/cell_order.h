// An order in which to visit the cells of the narrow phase that keeps cells near in space near
// in time: Morton order of their bounds' centres. A cell's neighbours are then mostly cells
// visited a moment ago, whose records and arrays are still in cache, wherever in memory the
// caller put them. Only loops whose order is not observable use it: every link's result depends
// on its own two cells alone.
#pragma once

#include <cstdint>

#include "kernels/common/distance/link_filter.h"
#include "kernels/common/shared/plain_buffer.h"

namespace cellprox {

// A permutation of 0 .. n-1 in Morton order of the cells' bounds; null when there was no memory
// for it (the cells are then visited in their own order).
class CellOrder {
public:
    CellOrder(const VertexBox* bounds, int32_t n);

    const int32_t* cells() const { return order_.data(); }

private:
    PlainBuffer<int32_t, PageAdvice::none> order_;
};

}  // namespace cellprox
