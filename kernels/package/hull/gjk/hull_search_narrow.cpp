// The hull distance's search on two SSE2 lanes, for every processor.
#include <cmath>
#include <cstdint>

#include "kernels/package/hull/hull_cloud.h"
#include "kernels/package/hull/gjk/hull_search.h"
#include "kernels/package/hull/gjk/hull_support_search.h"
#include "kernels/package/hull/hull_tolerances.h"
#include "kernels/common/lanes/double_lanes.h"

namespace cellprox {

namespace {
#include "kernels/package/hull/gjk/hull_search_steps.h"
}  // namespace

SearchOutcome search_narrow(const PlacedPair& pair, HullWorkspace& work) { return search_pair<Double2>(pair, work); }

}  // namespace cellprox
