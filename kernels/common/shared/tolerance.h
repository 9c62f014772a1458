// Owns the segment distance's tolerance, EPS, shared by the kernels that measure segments.
#pragma once

namespace cellprox {

// The interpreter's double machine epsilon (sys.float_info.epsilon), 2^-52: EPS before the
// module sets it, and the package's relative tolerance of the segment steps in double.
constexpr double DOUBLE_EPSILON = 0x1p-52;

// The tolerance of the segment distance: the interpreter's double machine epsilon narrowed to
// single precision. The module sets it at import from sys.float_info.epsilon; only that import
// writes it, so the kernels may read it without the interpreter lock.
extern float EPS;

}  // namespace cellprox
