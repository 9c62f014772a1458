// The narrow phase's visiting order: Morton order of the cells' centres.
#include "kernels/deliverable/narrow/cell_order.h"

#include <algorithm>
#include <cmath>

#include "kernels/common/shared/morton.h"

namespace cellprox {

namespace {

// Below this many cells the cells' arrays stay in cache in any order: sorting would only cost.
constexpr int32_t FEW_CELLS = 1024;

// Centre of a cell's bounds; false for a cell without usable finite bounds (no vertices, NaN or
// infinite coordinates), which is then placed first.
bool centre_of(const VertexBox& b, float* centre) {
    if (!bounds_usable(b)) return false;
    for (int axis = 0; axis < 3; ++axis) {
        centre[axis] = 0.5f * b.lo[axis] + 0.5f * b.hi[axis];
        if (!std::isfinite(centre[axis])) return false;
    }
    return true;
}

}  // namespace

CellOrder::CellOrder(const VertexBox* bounds, int32_t n) {
    if (bounds == nullptr || n < FEW_CELLS) return;
    // Without room for the keys the order stays empty, as without room for itself.
    PlainBuffer<uint64_t, PageAdvice::none> keys;
    if (!keys.resize(static_cast<size_t>(n)) || !order_.resize(static_cast<size_t>(n))) return;
    float lo[3] = {INFINITY, INFINITY, INFINITY}, hi[3] = {-INFINITY, -INFINITY, -INFINITY};
    float centre[3];
    for (int32_t i = 0; i < n; ++i) {
        if (!centre_of(bounds[i], centre)) continue;
        for (int axis = 0; axis < 3; ++axis) {
            lo[axis] = std::min(lo[axis], centre[axis]);
            hi[axis] = std::max(hi[axis], centre[axis]);
        }
    }
    double scale[3];
    for (int axis = 0; axis < 3; ++axis) {
        const double extent = double(hi[axis]) - double(lo[axis]);
        scale[axis] = extent > 0.0 ? ((1u << MORTON_BITS_PER_AXIS) - 1) / extent : 0.0;
    }
    for (int32_t i = 0; i < n; ++i) {
        uint64_t key = 0;
        if (centre_of(bounds[i], centre)) {
            for (int axis = 0; axis < 3; ++axis) {
                const double t = (double(centre[axis]) - double(lo[axis])) * scale[axis];
                key |= morton_spread(static_cast<uint32_t>(t)) << axis;
            }
        }
        keys[i] = key << 32 | static_cast<uint32_t>(i);
    }
    std::sort(keys.data(), keys.data() + n);
    for (int32_t i = 0; i < n; ++i) order_[i] = static_cast<int32_t>(keys[i] & 0xFFFFFFFFu);
}

}  // namespace cellprox
