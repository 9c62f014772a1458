// The vector helpers are the module's own single-precision primitives, the deliverable's square
// root included; the baseline differs from the module only in its loops.
#pragma once

#include "kernels/vector_math.h"

namespace cellprox_baseline {
using cellprox::absf;
using cellprox::add_v3;
using cellprox::distance_between;
using cellprox::dotprod;
using cellprox::mult_v3_f;
using cellprox::square_root;
using cellprox::sub_v3;
}  // namespace cellprox_baseline
