// Built for AVX2 (see CMakeLists.txt) and entered only where the processor has it. Nothing here
// may be shared with code that runs everywhere: it includes the wide lanes only, and uses no
// inline function of the standard library.
#include "kernels/double_lanes_avx2.h"
#include "kernels/hull_support_search.h"

namespace cellprox {

int32_t farthest_vertex_wide(const HullCloud& cloud, double dx, double dy, double dz) {
    return farthest_vertex_in<Double4>(cloud, dx, dy, dz);
}

}  // namespace cellprox
