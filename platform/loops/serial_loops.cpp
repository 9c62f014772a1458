// The serial loop and the frame without an interpreter, for tests and benchmarks.
#include "platform/loops/loop_frame.h"

namespace cellprox {

void run_serial_loop(int32_t n, bool /*attach_threads*/, LoopBlock block, void* context) {
    if (n > 0) block(0, n, context);
}

namespace {
void* no_interpreter_to_release() { return nullptr; }
void no_interpreter_to_restore(void*) {}
}  // namespace

const LoopFrame& plain_loop_frame() {
    static const LoopFrame frame{no_interpreter_to_release, no_interpreter_to_restore,
                                 run_serial_loop};
    return frame;
}

}  // namespace cellprox
