#include "kernels/shared/tolerance.h"

namespace cellprox {

float EPS = 0x1p-52f;

}  // namespace cellprox
