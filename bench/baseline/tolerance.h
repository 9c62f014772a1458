#pragma once

namespace cellprox_baseline {

// The tolerance of the segment distance: the interpreter's double machine epsilon narrowed to
// single precision (2^-52), here a constant initialiser (the module sets the same value at import).
extern float EPS;

}  // namespace cellprox_baseline
