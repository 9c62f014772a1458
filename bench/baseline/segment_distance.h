// Shortest distance between two line segments in 3-D, in single precision.
#pragma once

namespace cellprox_baseline {

// Distance between segment p0-p1 and segment q0-q1 (each point: three floats). Never negative.
float dist3D_Segment_to_Segment(const float* p0, const float* p1, const float* q0,
                                const float* q1);

}  // namespace cellprox_baseline
