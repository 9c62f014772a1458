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

// The number of the vertex of `cloud` farthest along (dx, dy, dz); of equals, the lowest
// number. Every vertex's reach is x*dx + y*dy + z*dz, summed in that order and rounded the same
// way by every search, so the two searches below give the same vertex always.
using FarthestVertex = int32_t (*)(const HullCloud& cloud, double dx, double dy, double dz);

// Two lanes of SSE2, on every processor.
int32_t farthest_vertex_narrow(const HullCloud& cloud, double dx, double dy, double dz);
// Four lanes of AVX2: call only where processor_has_avx2() (platform/cpu_features.h).
int32_t farthest_vertex_wide(const HullCloud& cloud, double dx, double dy, double dz);

}  // namespace cellprox
