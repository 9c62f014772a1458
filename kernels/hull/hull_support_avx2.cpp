// Built for AVX2 (see CMakeLists.txt) and entered only where the processor has it. Nothing here
// may be shared with code that runs everywhere: it includes the wide lanes only, and uses no
// inline function of the standard library.
#include "kernels/hull/hull_support_search.h"
#include "kernels/lanes/double_lanes_avx2.h"

namespace cellprox {

SupportPair farthest_vertices_wide(const HullCloud& a, const HullCloud& b, double dx, double dy, double dz) {
    return {farthest_vertex_in<Double4>(a, -dx, -dy, -dz), farthest_vertex_in<Double4>(b, dx, dy, dz)};
}

}  // namespace cellprox
