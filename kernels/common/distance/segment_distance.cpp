// The named segment distance, over the steps of segment_distance.h.
#include "kernels/common/distance/segment_distance.h"

namespace cellprox {

float dist3D_Segment_to_Segment(const float* p0, const float* p1, const float* q0,
                                const float* q1) {
    return segment_distance(p0, p1, second_segment(q0, q1));
}

}  // namespace cellprox
