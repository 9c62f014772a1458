// Owns the segment distance's tolerance, EPS, shared by the kernels that measure segments.
#pragma once

namespace cellprox {

// The tolerance of the segment distance: the interpreter's double machine epsilon narrowed to
// single precision (2^-52). The module sets it at import from sys.float_info.epsilon; only
// that import writes it, so the kernels may read it without the interpreter lock.
extern float EPS;

}  // namespace cellprox
