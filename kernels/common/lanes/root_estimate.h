// The processor's estimate of 1 / sqrt(x) for one float (about 12 bits), from which the darwin
// deliverable's square root is refined (kernels/common/shared/vector_math.h); lanes.h has the four-lane
// one. Apart from lanes.h so that the named float helpers, which lanes.h builds on, can use it.
#pragma once

#include <xmmintrin.h>

namespace cellprox {

inline float reciprocal_root_estimate(float x) { return _mm_cvtss_f32(_mm_rsqrt_ss(_mm_set_ss(x))); }

}  // namespace cellprox
