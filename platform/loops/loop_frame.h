// The frame in which the kernels run their per-cell loops.
//
// Kernels stay free of the interpreter: the Python boundary hands them a LoopFrame that knows how
// to let go of the interpreter lock and how to spread a loop over threads. C++ tests hand them a
// frame without an interpreter.
#pragma once

#include <cstdint>

namespace cellprox {

// A loop body receives one contiguous block [begin, end) of the iteration range and runs it in
// ascending order. It must write only outputs that belong to its own indices.
using LoopBlock = void (*)(int32_t begin, int32_t end, void* context);

struct LoopFrame {
    // Detach the calling thread from the interpreter (and give the lock away) / take it back.
    void* (*release_interpreter)();
    void (*restore_interpreter)(void* saved);
    // Run `block` over 0 .. n-1. With `attach_threads` every thread of a team registers with the
    // interpreter for the length of the loop (the loops that may call back into it one day);
    // the plain fill loops pass false. Nothing runs when n <= 0.
    void (*parallel_for)(int32_t n, bool attach_threads, LoopBlock block, void* context);
};

// Keeps the interpreter lock released for one scope, so that every path out gives it back.
class InterpreterReleased {
public:
    explicit InterpreterReleased(const LoopFrame& frame)
        : frame_(frame), saved_(frame.release_interpreter()) {}
    ~InterpreterReleased() { frame_.restore_interpreter(saved_); }
    InterpreterReleased(const InterpreterReleased&) = delete;
    InterpreterReleased& operator=(const InterpreterReleased&) = delete;

private:
    const LoopFrame& frame_;
    void* saved_;
};

// Whether a kernel may run the iterations of a loop in an order of its own choosing. Where the
// loops run serially, or hand out chunks as threads finish, no caller can tell the order. The nt
// deliverable's static schedule gives each thread one block of iteration numbers, run in
// ascending order, and keeps it so.
#if defined(_OPENMP) && !defined(CELLPROX_BALANCED_LOOPS)
constexpr bool LOOP_ORDER_IS_FREE = false;
#else
constexpr bool LOOP_ORDER_IS_FREE = true;
#endif

// A frame for code that runs outside any interpreter (unit tests, benchmarks): no lock, plain loops.
const LoopFrame& plain_loop_frame();

// Runs block(0, n, context) on the calling thread when n > 0: the loop of the serial deliverables.
void run_serial_loop(int32_t n, bool attach_threads, LoopBlock block, void* context);

}  // namespace cellprox
