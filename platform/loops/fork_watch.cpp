// Watching for fork, after which no OpenMP team may run in the child.
#include "platform/loops/fork_watch.h"

#if defined(_OPENMP) && !defined(_WIN32)
#include <pthread.h>

#include <atomic>
#endif

namespace cellprox {

#if defined(_OPENMP) && !defined(_WIN32)

namespace {

std::atomic<bool> forked{false};

void note_fork() { forked.store(true, std::memory_order_relaxed); }

// Registered once per loaded module, as it is loaded, so that a team started before the first
// kernel call (this module's or another library's) is covered too; a child inherits the handler
// and the mark.
const bool fork_watched = pthread_atfork(nullptr, nullptr, note_fork) == 0;

}  // namespace

bool openmp_team_usable() { return fork_watched && !forked.load(std::memory_order_relaxed); }

#else

bool openmp_team_usable() { return true; }

#endif

}  // namespace cellprox
