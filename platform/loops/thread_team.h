// The package's thread team: standard threads, started the first time a loop asks for them and
// kept for the next calls, so that a wheel needs no OpenMP runtime.
//
// A loop is cut by its kernel into pieces whose results do not depend on which thread runs
// them or when; the team hands out runs of consecutive pieces as threads come free, long ones
// first and single pieces at the end. The calling thread always works too, so `workers = 1`
// runs everything on it, as a plain loop would.
#pragma once

#include <cstdint>

#include "platform/loops/loop_frame.h"

namespace cellprox {

// The most threads one loop may use, the calling thread included.
constexpr int32_t MAX_WORKERS = 1024;

// Runs block(begin, end, context) over runs [begin, end) that together cover 0 .. pieces - 1
// once, on up to `workers` threads (clamped to 1 .. MAX_WORKERS), and returns when all are
// done; a block must treat each piece of its run alike, whatever the run. Runs them all on the calling
// thread when workers <= 1, when only one piece is asked, when called from within a piece
// (a loop inside a loop), when another thread is using the team, and in a child forked while
// the team was running. Blocks must not throw.
void run_pieces(int32_t workers, int32_t pieces, LoopBlock block, void* context);

// The same for any callable `body(k)`.
template <class Body>
void for_each_piece(int32_t workers, int32_t pieces, Body& body) {
    run_pieces(workers, pieces,
               [](int32_t begin, int32_t end, void* context) {
                   for (int32_t k = begin; k < end; ++k) (*static_cast<Body*>(context))(k);
               },
               &body);
}

// Threads the team has started so far (the calling threads not counted): for tests.
int32_t team_threads_started();

}  // namespace cellprox
