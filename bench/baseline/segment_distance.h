// The segment distance is the module's own, unchanged: the baseline differs only in its loops.
#pragma once

#include "kernels/segment_distance.h"

namespace cellprox_baseline {
using cellprox::dist3D_Segment_to_Segment;
}  // namespace cellprox_baseline
