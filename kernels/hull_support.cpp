#include "kernels/double_lanes.h"
#include "kernels/hull_support_search.h"

namespace cellprox {

int32_t farthest_vertex_narrow(const HullCloud& cloud, double dx, double dy, double dz) {
    return farthest_vertex_in<Double2>(cloud, dx, dy, dz);
}

}  // namespace cellprox
