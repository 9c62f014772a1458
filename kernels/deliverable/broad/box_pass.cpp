// The box pass: widening each cell's box in place, block by block.
#include "kernels/deliverable/broad/box_pass.h"

namespace cellprox {

namespace {

// The margin is applied in double precision and rounded once when stored, so a bound moves by
// the nearest float to (value -/+ 0.002), not by a float margin that is itself rounded.
// The nt deliverable works in single precision throughout, as its toolchain did.
#ifdef CELLPROX_SINGLE_PRECISION_MARGIN
inline float widen_lower(float value) { return value - static_cast<float>(BOX_MARGIN); }
inline float widen_upper(float value) { return value + static_cast<float>(BOX_MARGIN); }
#else
inline float widen_lower(float value) { return static_cast<float>(value - BOX_MARGIN); }
inline float widen_upper(float value) { return static_cast<float>(value + BOX_MARGIN); }
#endif

}  // namespace

void widen_boxes(const StridedView& bbox, int32_t begin, int32_t end) {
    for (int32_t cell = begin; cell < end; ++cell) {
        float lower[3] = {BOX_LOWER_SEED, BOX_LOWER_SEED, BOX_LOWER_SEED};
        float upper[3] = {BOX_UPPER_SEED, BOX_UPPER_SEED, BOX_UPPER_SEED};
        for (int corner = 0; corner < 8; ++corner) {
            for (int axis = 0; axis < 3; ++axis) {
                const float p = load<float>(element(bbox, cell, corner, axis));
                lower[axis] = minf2(lower[axis], p);
                upper[axis] = maxf2(upper[axis], p);
            }
        }
        for (int axis = 0; axis < 3; ++axis) {
            store<float>(element(bbox, cell, 0, axis), widen_lower(lower[axis]));
            store<float>(element(bbox, cell, 1, axis), widen_upper(upper[axis]));
        }
    }
}

}  // namespace cellprox
