// The support search of the hull distance: the vertex of a cloud farthest along a direction.
#pragma once

#include <cstdint>

namespace cellprox {

// Clouds are padded to a multiple of this many vertices (by repeating the last one, which
// leaves the hull and the farthest vertex as they are): the widest search takes eight a step.
constexpr int32_t kHullCloudBlock = 8;

// A cloud of vertices in double precision, one array per axis, `count` a multiple of
// kHullCloudBlock.
struct HullCloud {
    const double* x;
    const double* y;
    const double* z;
    int32_t count;
};

// The numbers of the two support vertices of one step.
struct SupportPair {
    int32_t a;
    int32_t b;
};

// The support points of the hull distance's step along d = (dx, dy, dz): the number of the vertex
// of `a` farthest along -d and of the vertex of `b` farthest along d; of equals, the lowest number.
// Every vertex's reach is x*dx + y*dy + z*dz (negated for a), summed in that order and rounded the
// same way by every search, so the two searches below find the same vertices always. Both in one
// call, returned in one register, so that the processor can run the two independent searches at
// once and the caller reads the result without a round trip through memory.
using FarthestVertices = SupportPair (*)(const HullCloud& a, const HullCloud& b, double dx, double dy, double dz);

// Two lanes of SSE2, on every processor.
SupportPair farthest_vertices_narrow(const HullCloud& a, const HullCloud& b, double dx, double dy, double dz);
// Four lanes of AVX2: call only where processor_has_avx2() (platform/cpu_features.h).
SupportPair farthest_vertices_wide(const HullCloud& a, const HullCloud& b, double dx, double dy, double dz);

}  // namespace cellprox
