// The broad phase written as plainly as possible, over dense arrays: the yardstick against which
// the fuzzer measures the kernel, whatever pair pass the kernel uses. It follows the documented
// algorithm step by step, including what it does with tables the caller did not clear.
#pragma once

#include <cstdint>
#include <vector>

namespace reference {

constexpr int32_t SLOTS = 30;

// Dense copies of the four arrays of one call, in C order.
struct BroadPhase {
    std::vector<float> bbox;           // [cell][8][3]
    std::vector<int32_t> links;        // [cell][30]
    std::vector<int32_t> link_starts;  // [cell]
    std::vector<uint8_t> link_count;   // [cell]

    float& at(int32_t cell, int corner, int axis) { return bbox[(cell * 8 + corner) * 3 + axis]; }
    int32_t& slot(int32_t cell, int32_t k) { return links[cell * SLOTS + k]; }
};

inline float widen_lower(float value) {
#ifdef CELLPROX_SINGLE_PRECISION_MARGIN
    return value - 0.002f;
#else
    return static_cast<float>(static_cast<double>(value) - 0.002);
#endif
}

inline float widen_upper(float value) {
#ifdef CELLPROX_SINGLE_PRECISION_MARGIN
    return value + 0.002f;
#else
    return static_cast<float>(static_cast<double>(value) + 0.002);
#endif
}

inline bool overlap(BroadPhase& t, int32_t a, int32_t b) {
    for (int axis = 0; axis < 3; ++axis) {
        if (!(t.at(a, 1, axis) > t.at(b, 0, axis))) return false;
        if (!(t.at(b, 1, axis) > t.at(a, 0, axis))) return false;
    }
    return true;
}

// Returns n_links and leaves the tables and boxes as the kernel must.
inline int32_t broad_phase(BroadPhase& t, int32_t cell_count) {
    for (int32_t i = 0; i < cell_count; ++i) {
        float lower[3] = {100000.0f, 100000.0f, 100000.0f};
        float upper[3] = {-100000.0f, -100000.0f, -100000.0f};
        for (int corner = 0; corner < 8; ++corner) {
            for (int axis = 0; axis < 3; ++axis) {
                const float p = t.at(i, corner, axis);
                lower[axis] = lower[axis] < p ? lower[axis] : p;
                upper[axis] = upper[axis] > p ? upper[axis] : p;
            }
        }
        for (int axis = 0; axis < 3; ++axis) {
            t.at(i, 0, axis) = widen_lower(lower[axis]);
            t.at(i, 1, axis) = widen_upper(upper[axis]);
        }
    }

    int32_t n_links = 0;
    for (int32_t i = 0; i < cell_count; ++i) {
        int32_t k = 0;
        for (int32_t j = 0; j < cell_count; ++j) {
            if (j == i) continue;
            if (k == SLOTS) break;
            if (j < i) {
                bool named = false;
                for (int32_t s = 0; s < SLOTS; ++s) named = named || t.slot(j, s) == i;
                if (named) continue;
            }
            if (!overlap(t, i, j)) continue;
            t.slot(i, k) = j;
            if (t.link_starts[i] == -1) t.link_starts[i] = n_links;
            ++n_links;
            t.link_count[i] = static_cast<uint8_t>(t.link_count[i] + 1);
            ++k;
        }
    }
    return n_links;
}

}  // namespace reference
