// Placing cells for the hull rule's search, their boxes, and the shared-vertex table.
#include "kernels/hull/hull_cloud.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "kernels/hull/vertex_sharing.h"
#include "kernels/lanes/double_lanes.h"

namespace cellprox {

namespace {

inline uint32_t slot_of(const float* p, int bits) { return vertex_hash(p) >> (32 - bits); }

}  // namespace

HullCloud place(HullPoints cell, Vec3d base, double* x, double* y, double* z, CloudBox& box) {
    const Double2 bx = broadcast(base.x, Double2{}), by = broadcast(base.y, Double2{}),
                  bz = broadcast(base.z, Double2{});
    // The box on the way, while the values are in registers: a second pass would read them again.
    Double2 low[3], high[3];
    for (int k = 0; k < 3; ++k) {
        low[k] = broadcast(HUGE_VAL, Double2{});
        high[k] = broadcast(-HUGE_VAL, Double2{});
    }
    int32_t i = 0;
    for (; i + 4 <= cell.count; i += 4) {
        Float4 px, py, pz;
        load_points(cell.xyz + 3 * static_cast<int64_t>(i), px, py, pz);
        const Double2 values[3][2] = {{widen_low(px) - bx, widen_high(px) - bx},
                                      {widen_low(py) - by, widen_high(py) - by},
                                      {widen_low(pz) - bz, widen_high(pz) - bz}};
        double* axes[3] = {x, y, z};
        for (int k = 0; k < 3; ++k) {
            store(axes[k] + i, values[k][0]);
            store(axes[k] + i + 2, values[k][1]);
            low[k] = min(low[k], min(values[k][0], values[k][1]));
            high[k] = max(high[k], max(values[k][0], values[k][1]));
        }
    }
    double box_low[3], box_high[3];
    for (int k = 0; k < 3; ++k) {
        box_low[k] = first_lane(min(low[k], swap_neighbours(low[k])));
        box_high[k] = first_lane(max(high[k], swap_neighbours(high[k])));
    }
    for (; i < cell.count; ++i) {
        const float* p = cell.xyz + 3 * static_cast<int64_t>(i);
        x[i] = static_cast<double>(p[0]) - base.x;
        y[i] = static_cast<double>(p[1]) - base.y;
        z[i] = static_cast<double>(p[2]) - base.z;
        const double values[3] = {x[i], y[i], z[i]};
        for (int k = 0; k < 3; ++k) {
            box_low[k] = std::min(box_low[k], values[k]);
            box_high[k] = std::max(box_high[k], values[k]);
        }
    }
    const int32_t padded = padded_count(cell.count);
    for (i = cell.count; i < padded; ++i) {
        x[i] = x[cell.count - 1];
        y[i] = y[cell.count - 1];
        z[i] = z[cell.count - 1];
    }
    box = {{box_low[0], box_low[1], box_low[2]}, {box_high[0], box_high[1], box_high[2]}};
    return {x, y, z, padded};
}

void index_vertices(HullPoints a, HullWorkspace& work) {
    const int bits = work.slot_bits();
    const uint32_t mask = (1u << bits) - 1;
    int32_t* slots = work.slots();
    std::fill(slots, slots + (size_t(1) << bits), 0);
    for (int32_t i = 0; i < a.count; ++i) {
        uint32_t slot = slot_of(a.xyz + 3 * i, bits);
        while (slots[slot] != 0) slot = (slot + 1) & mask;
        slots[slot] = i + 1;
    }
}

SharedVertex shared_vertex(HullPoints a, HullPoints b, const HullCloud& to, const CloudBox& box_a, HullWorkspace& work) {
    const int bits = work.slot_bits();
    const uint32_t mask = (1u << bits) - 1;
    const int32_t* slots = work.slots();
    const Double2 low[3] = {broadcast(box_a.low.x, Double2{}), broadcast(box_a.low.y, Double2{}),
                            broadcast(box_a.low.z, Double2{})};
    const Double2 high[3] = {broadcast(box_a.high.x, Double2{}), broadcast(box_a.high.y, Double2{}),
                             broadcast(box_a.high.z, Double2{})};
    const double* axes[3] = {to.x, to.y, to.z};
    // Which of b's vertices lie in a's box, 64 at a time as bits, then only those looked up:
    // which ones they are is anybody's guess, so no branch asks it vertex by vertex.
    for (int32_t block = 0; block < b.count; block += 64) {
        const int32_t end = std::min(b.count, block + 64);
        uint64_t inside = 0;
        for (int32_t pair = block; pair < end; pair += 2) {
            const Double2 x = load(axes[0] + pair, Double2{});
            Mask2 outside = greater(low[0], x) | greater(x, high[0]);
            for (int k = 1; k < 3; ++k) {
                const Double2 value = load(axes[k] + pair, Double2{});
                outside = outside | greater(low[k], value) | greater(value, high[k]);
            }
            inside |= static_cast<uint64_t>(~lanes_set(outside) & 3) << (pair - block);
        }
        if (end - block < 64) inside &= (uint64_t(1) << (end - block)) - 1;   // not the padding
        for (; inside != 0; inside &= inside - 1) {
            const int32_t j = block + __builtin_ctzll(inside);
            const float* q = b.xyz + 3 * j;
            for (uint32_t slot = slot_of(q, bits); slots[slot] != 0; slot = (slot + 1) & mask) {
                const float* p = a.xyz + 3 * (slots[slot] - 1);
                if (same_vertex(p, q)) return {slots[slot] - 1, j};
            }
        }
    }
    return {-1, -1};
}

}  // namespace cellprox
