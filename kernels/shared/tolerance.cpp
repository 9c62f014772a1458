// The segment distance's tolerance, before the module sets it at import.
#include "kernels/shared/tolerance.h"

namespace cellprox {

float EPS = 0x1p-52f;

}  // namespace cellprox
