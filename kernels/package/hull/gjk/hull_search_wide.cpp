// Built for AVX2 (see CMakeLists.txt) and entered only where the processor has it. Nothing here
// may be shared with code that runs everywhere: it includes the wide lanes only, the search's
// steps inside an unnamed namespace, and uses no inline function of the standard library.
#include <cmath>
#include <cstdint>

#include "kernels/package/hull/hull_cloud.h"
#include "kernels/package/hull/gjk/hull_search.h"
#include "kernels/package/hull/gjk/hull_support_search.h"
#include "kernels/package/hull/hull_tolerances.h"
#include "kernels/common/lanes/double_lanes_avx2.h"

namespace cellprox {

namespace {
#include "kernels/package/hull/gjk/hull_search_steps.h"
}  // namespace

SearchOutcome search_wide(const PlacedPair& pair, HullWorkspace& work) { return search_pair<Double4>(pair, work); }

}  // namespace cellprox
