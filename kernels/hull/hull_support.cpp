// The hull rule's support search on two SSE2 lanes, for processors without AVX2.
#include "kernels/hull/hull_support_search.h"
#include "kernels/lanes/double_lanes.h"

namespace cellprox {

SupportPair farthest_vertices_narrow(const HullCloud& a, const HullCloud& b, double dx, double dy, double dz) {
    return {farthest_vertex_in<Double2>(a, -dx, -dy, -dz), farthest_vertex_in<Double2>(b, dx, dy, dz)};
}

}  // namespace cellprox
