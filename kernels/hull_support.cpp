#include "kernels/double_lanes.h"
#include "kernels/hull_support_search.h"

namespace cellprox {

void farthest_vertices_narrow(const HullCloud& a, const HullCloud& b, double dx, double dy, double dz,
                        int32_t found[2]) {
    found[0] = farthest_vertex_in<Double2>(a, -dx, -dy, -dz);
    found[1] = farthest_vertex_in<Double2>(b, dx, dy, dz);
}

}  // namespace cellprox
