#include "kernels/hull_locality.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "kernels/morton.h"

namespace cellprox {

bool arrange_locally(const float* xyz, const int64_t* starts, const HullBox* boxes, int32_t count,
                     HullLocalCells& arranged) {
    const size_t n = static_cast<size_t>(count);
    double low[3] = {HUGE_VAL, HUGE_VAL, HUGE_VAL};
    double high[3] = {-HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
    for (size_t i = 0; i < n; ++i) {
        for (int axis = 0; axis < 3; ++axis) {
            const double centre = 0.5 * (boxes[i].lower[axis] + boxes[i].upper[axis]);
            low[axis] = std::min(low[axis], centre);
            high[axis] = std::max(high[axis], centre);
        }
    }
    HullBuffer<uint64_t> keys;   // curve position above, cell number below
    if (!keys.resize(n)) return false;
    const double cells_per_axis = static_cast<double>((1 << kMortonBitsPerAxis) - 1);
    for (size_t i = 0; i < n; ++i) {
        uint64_t code = 0;
        for (int axis = 0; axis < 3; ++axis) {
            const double span = high[axis] - low[axis];
            const double centre = 0.5 * (boxes[i].lower[axis] + boxes[i].upper[axis]);
            const double place = span > 0.0 ? (centre - low[axis]) / span * cells_per_axis : 0.0;
            const uint64_t level = place > 0.0 ? static_cast<uint64_t>(std::min(place, cells_per_axis)) : 0;
            code |= morton_spread(static_cast<uint32_t>(level)) << axis;
        }
        keys[i] = (code << 32) | static_cast<uint64_t>(i);
    }
    std::sort(keys.data(), keys.data() + n);

    if (!arranged.starts.resize(n + 1) || !arranged.xyz.resize(3 * static_cast<size_t>(starts[count])) ||
        !arranged.boxes.resize(n) || !arranged.original.resize(n)) {
        return false;
    }
    int64_t next = 0;
    for (size_t k = 0; k < n; ++k) {
        const int32_t i = static_cast<int32_t>(keys[k] & 0xffffffffu);
        const int64_t points = starts[i + 1] - starts[i];
        arranged.starts[k] = next;
        std::memcpy(arranged.xyz.data() + 3 * next, xyz + 3 * starts[i],
                    static_cast<size_t>(3 * points) * sizeof(float));
        arranged.boxes[k] = boxes[i];
        arranged.original[k] = i;
        next += points;
    }
    arranged.starts[n] = next;
    return true;
}

}  // namespace cellprox
