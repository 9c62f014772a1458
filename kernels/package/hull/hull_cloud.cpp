// Placing cells for the hull rule's search, their boxes, and the shared-vertex table.
#include "kernels/package/hull/hull_cloud.h"

#include <algorithm>
#include <cstring>

#include "kernels/package/hull/vertex_sharing.h"
#include "kernels/common/lanes/double_lanes.h"

namespace cellprox {

namespace {

inline uint32_t slot_of(const float* p, int bits) { return vertex_hash(p) >> (32 - bits); }

}  // namespace

// One cell's vertices relative to a common base point, one axis per array. The base and the
// vertices are floats, so each difference is exact in double for any two coordinates within 2^29
// of each other in magnitude: far from the origin nothing of the cell's shape is lost. Four
// vertices at a time while twelve floats remain to be read; rounded up to the cloud block by
// repeating the last vertex.
HullCloud place(HullPoints cell, Vec3d base, double* x, double* y, double* z) {
    const Double2 bx = broadcast(base.x, Double2{}), by = broadcast(base.y, Double2{}),
                  bz = broadcast(base.z, Double2{});
    int32_t i = 0;
    for (; i + 4 <= cell.count; i += 4) {
        Float4 px, py, pz;
        load_points(cell.xyz + 3 * static_cast<int64_t>(i), px, py, pz);
        store(x + i, widen_low(px) - bx);
        store(x + i + 2, widen_high(px) - bx);
        store(y + i, widen_low(py) - by);
        store(y + i + 2, widen_high(py) - by);
        store(z + i, widen_low(pz) - bz);
        store(z + i + 2, widen_high(pz) - bz);
    }
    for (; i < cell.count; ++i) {
        const float* p = cell.xyz + 3 * static_cast<int64_t>(i);
        x[i] = static_cast<double>(p[0]) - base.x;
        y[i] = static_cast<double>(p[1]) - base.y;
        z[i] = static_cast<double>(p[2]) - base.z;
    }
    const int32_t padded = padded_count(cell.count);
    for (i = cell.count; i < padded; ++i) {
        x[i] = x[cell.count - 1];
        y[i] = y[cell.count - 1];
        z[i] = z[cell.count - 1];
    }
    return {x, y, z, padded};
}

Box3d cloud_box(const HullCloud& cloud) {
    const double* axes[3] = {cloud.x, cloud.y, cloud.z};
    double low[3], high[3];
    for (int k = 0; k < 3; ++k) {
        Double2 lanes_low = load(axes[k], Double2{}), lanes_high = lanes_low;
        for (int32_t i = 2; i < cloud.count; i += 2) {
            lanes_low = min(lanes_low, load(axes[k] + i, Double2{}));
            lanes_high = max(lanes_high, load(axes[k] + i, Double2{}));
        }
        low[k] = first_lane(min(lanes_low, swap_neighbours(lanes_low)));
        high[k] = first_lane(max(lanes_high, swap_neighbours(lanes_high)));
    }
    return {{low[0], low[1], low[2]}, {high[0], high[1], high[2]}};
}
void index_vertices(HullPoints a, HullWorkspace& work, int placed) {
    const int bits = work.slot_bits();
    const uint32_t mask = (1u << bits) - 1;
    int32_t* slots = work.slots(placed);
    std::fill(slots, slots + (size_t(1) << bits), 0);
    for (int32_t i = 0; i < a.count; ++i) {
        uint32_t slot = slot_of(a.xyz + 3 * i, bits);
        while (slots[slot] != 0) slot = (slot + 1) & mask;
        slots[slot] = i + 1;
    }
}

SharedVertex shared_vertex(HullPoints a, HullPoints b, const HullCloud& to, const Box3d& box_a, HullWorkspace& work,
                           int placed) {
    const int bits = work.slot_bits();
    const uint32_t mask = (1u << bits) - 1;
    const int32_t* slots = work.slots(placed);
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
