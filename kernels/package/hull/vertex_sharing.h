// Which cells of a scene share a vertex with another cell.
//
// The hull rule looks for a vertex two cells share before searching (hull_cloud.h): cut from one
// piece, such cells touch, and the search would take its most steps to say so. Cells from
// anywhere else share nothing, and for them the look-up is pure cost, paid by every pair that the
// search's first step does not prove apart. One pass over the scene's vertices tells which cells
// can share at all, so that their pairs alone pay it.
#pragma once

#include <cstdint>
#include <cstring>

#include "kernels/common/shared/plain_buffer.h"

namespace cellprox {

// A vertex's coordinates as the bits of their values (-0 as 0), mixed: its slot in a table of
// 2^bits slots is the top `bits` bits.
inline uint32_t value_bits(float x) {
    uint32_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    return (bits & 0x7fffffffu) == 0 ? 0u : bits;
}

inline uint32_t vertex_hash(const float* p) {
    const uint32_t mixed = value_bits(p[0]) * 0x9e3779b1u ^ value_bits(p[1]) * 0x85ebca77u ^
                           value_bits(p[2]) * 0xc2b2ae3du;
    return mixed ^ (mixed >> 15);
}

inline bool same_vertex(const float* p, const float* q) { return p[0] == q[0] && p[1] == q[1] && p[2] == q[2]; }

// sharing[i] = 1 for every cell i (vertices vertex_starts[i] .. vertex_starts[i + 1] - 1 of
// `xyz`, three finite floats each) with a vertex equal to a vertex of another cell, coordinate by
// coordinate (-0 equals 0); a cell that repeats its own vertex shares nothing by that. Where
// vertices repeat often (more than about one in four, or a scene of 2^27 vertices or more), the
// answer is 1 for every cell rather than exact, found sooner than the look-ups it would save.
// Otherwise it is 0 for every other cell. Runs on up to `workers` threads, with the same answer
// for any count. False when memory runs out.
bool cells_sharing_a_vertex(const float* xyz, const int64_t* vertex_starts, int32_t count,
                            PlainBuffer<uint8_t>& sharing, int32_t workers = 1);

}  // namespace cellprox
