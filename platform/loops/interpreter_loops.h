// Owns the loop frame that the Python boundary hands to the kernels.
#pragma once

#include "platform/loops/loop_frame.h"

namespace cellprox {

// The frame for kernels called from Python: the lock is really released, and the loops run as
// this deliverable runs them.
const LoopFrame& interpreter_loop_frame();

}  // namespace cellprox
