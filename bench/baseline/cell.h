// The cell record is the module's own: a layout both sides must share, not an algorithm.
#pragma once

#include "kernels/cell.h"

namespace cellprox_baseline {
using cellprox::Cell;
using cellprox::read_cell;
}  // namespace cellprox_baseline
