#include "tolerance.h"

namespace cellprox_baseline {

float EPS = 0x1p-52f;

}  // namespace cellprox_baseline
