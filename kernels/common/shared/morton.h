// Positions along a Morton curve, the space-filling order in which the narrow phase and the hull
// rule visit cells so that cells near in space are near in time.
#pragma once

#include <cstdint>

namespace cellprox {

// Bits of each coordinate in a key: a 1024^3 lattice over the scene, far finer than any useful
// grouping of cells.
constexpr int MORTON_BITS_PER_AXIS = 10;

// The low MORTON_BITS_PER_AXIS bits of v, spread out to every third bit; a key is the three axes'
// spreads shifted by 0, 1 and 2.
inline uint64_t morton_spread(uint32_t v) {
    uint64_t x = v & ((1u << MORTON_BITS_PER_AXIS) - 1);
    x = (x | (x << 16)) & 0x030000FFull;
    x = (x | (x << 8)) & 0x0300F00Full;
    x = (x | (x << 4)) & 0x030C30C3ull;
    x = (x | (x << 2)) & 0x09249249ull;
    return x;
}

}  // namespace cellprox
