// The loop frame that the Python boundary hands to the kernels.
//
// Built with OpenMP (the nt deliverable, or CELLPROX_OPENMP), each loop runs on the runtime's
// thread team: the nt deliverable with a static schedule (one contiguous block per thread, in
// ascending order), the others, built so by choice, in small chunks handed out as threads
// finish. Without OpenMP the loops run on the calling thread. Results never depend on it.
#include "platform/loops/interpreter_loops.h"

#include "platform/loops/fork_watch.h"
#include "platform/loops/interpreter_lock.h"

#ifdef _OPENMP
#include <omp.h>
#endif

namespace cellprox {

namespace {

#ifdef _OPENMP

#ifndef CELLPROX_BALANCED_LOOPS
// Block `thread` of `threads` nearly equal contiguous blocks of 0 .. n-1; the first n % threads
// blocks are one longer.
void static_block(int32_t n, int thread, int threads, int32_t* begin, int32_t* end) {
    const int32_t base = n / threads;
    const int32_t extra = n % threads;
    *begin = thread * base + (thread < extra ? thread : extra);
    *end = *begin + base + (thread < extra ? 1 : 0);
}
#endif

// Every thread of the team registers with the interpreter for the length of the region, when
// asked to (TeamThreadAttached).
void run_on_team(int32_t n, bool attach_threads, LoopBlock block, void* context) {
    if (n <= 0) return;
    if (!openmp_team_usable()) {
        run_serial_loop(n, attach_threads, block, context);
        return;
    }
#pragma omp parallel
    {
        const TeamThreadAttached attached(attach_threads);
#ifdef CELLPROX_BALANCED_LOOPS
        // Cells of very different cost (low rows hold most links) would leave a static team
        // unbalanced: threads take small chunks as they finish.
        const int32_t chunk = n / (16 * omp_get_num_threads()) + 1;
        const int32_t chunks = (n + chunk - 1) / chunk;
#pragma omp for schedule(dynamic, 1)
        for (int32_t c = 0; c < chunks; ++c) {
            const int32_t begin = c * chunk;
            block(begin, n - begin < chunk ? n : begin + chunk, context);
        }
#else
        int32_t begin = 0, end = 0;
        static_block(n, omp_get_thread_num(), omp_get_num_threads(), &begin, &end);
        if (begin < end) block(begin, end, context);
#pragma omp barrier
#endif
    }
}

const LoopFrame frame{give_lock_away, take_lock_back, run_on_team};

#else

const LoopFrame frame{give_lock_away, take_lock_back, run_serial_loop};

#endif

}  // namespace

const LoopFrame& interpreter_loop_frame() { return frame; }

}  // namespace cellprox
