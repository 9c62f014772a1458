// The strided views are the module's own: how the caller's arrays are addressed.
#pragma once

#include "kernels/common/shared/strided_view.h"

namespace cellprox_baseline {
using cellprox::element;
using cellprox::load;
using cellprox::StridedView;
using cellprox::store;
}  // namespace cellprox_baseline
