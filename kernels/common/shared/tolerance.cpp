// The segment distance's tolerance, before the module sets it at import.
#include "kernels/common/shared/tolerance.h"

namespace cellprox {

float EPS = static_cast<float>(DOUBLE_EPSILON);

}  // namespace cellprox
