// The loop frame that the Python boundary hands to the kernels.
#include "platform/interpreter_loops.h"

#include "module/python.h"

namespace cellprox {

namespace {
void* save_thread() { return PyEval_SaveThread(); }
void restore_thread(void* saved) { PyEval_RestoreThread(static_cast<PyThreadState*>(saved)); }
}  // namespace

const LoopFrame& interpreter_loop_frame() {
    static const LoopFrame frame{save_thread, restore_thread, run_serial_loop};
    return frame;
}

}  // namespace cellprox
