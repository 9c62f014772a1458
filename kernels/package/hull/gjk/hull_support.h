// The support search of the hull distance: the vertex of a cloud farthest along a direction.
#pragma once

#include <cstdint>

namespace cellprox {

// Clouds are padded to a multiple of this many vertices (by repeating the last one, which
// leaves the hull and the farthest vertex as they are): the widest search takes eight a step.
constexpr int32_t HULL_CLOUD_BLOCK = 8;

// A cloud of vertices in double precision, one array per axis, `count` a multiple of
// HULL_CLOUD_BLOCK.
struct HullCloud {
    const double* x;
    const double* y;
    const double* z;
    int32_t count;
};

// The numbers of the support vertices of one step along d: the vertex of `a` farthest along -d
// and the vertex of `b` farthest along d; of equals, the lowest number (farthest_vertex_in,
// hull_support_search.h). Every vertex's reach is x*dx + y*dy + z*dz (negated for a), summed in
// that order and rounded the same way in every lane width, so that every width finds the same
// vertices always.
struct SupportPair {
    int32_t a;
    int32_t b;
};

}  // namespace cellprox
