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

// The support points of the hull distance's step along d = (dx, dy, dz): in `found`, the number of
// the vertex of `a` farthest along -d and of the vertex of `b` farthest along d; of equals, the
// lowest number. Every vertex's reach is x*dx + y*dy + z*dz (negated for a), summed in that order
// and rounded the same way by every search, so the two searches below find the same vertices
// always. Both in one call, so that the processor can run the two independent searches at once.
using FarthestVertices = void (*)(const HullCloud& a, const HullCloud& b, double dx, double dy, double dz,
                                  int32_t found[2]);

// Two lanes of SSE2, on every processor.
void farthest_vertices_narrow(const HullCloud& a, const HullCloud& b, double dx, double dy, double dz,
                              int32_t found[2]);
// Four lanes of AVX2: call only where processor_has_avx2() (platform/cpu_features.h).
void farthest_vertices_wide(const HullCloud& a, const HullCloud& b, double dx, double dy, double dz,
                            int32_t found[2]);

}  // namespace cellprox
