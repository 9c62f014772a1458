// The thread team: one per loaded module, made on first use, its threads parked between loops.
//
// A loop is published under the team's lock with a new generation number; parked threads wake,
// take one of the loop's seats and draw pieces from a shared counter until none are left. The
// caller draws pieces too, then closes the seats and waits for the threads still inside. A
// thread that wakes late finds no seat and parks again, so one loop's threads never run into
// the next.
#include "platform/loops/thread_team.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>

#if defined(_WIN32)
#include <windows.h>
#else
#include <pthread.h>
#endif

namespace cellprox {

namespace {

struct Team {
    std::mutex busy;                  // held by the one caller whose loop the team runs
    std::mutex state;                 // guards what follows, but the counter
    std::condition_variable wake;     // parked threads wait here for a new loop
    std::condition_variable left;     // the caller waits here for its threads to finish
    uint64_t generation = 0;
    LoopBlock block = nullptr;
    void* context = nullptr;
    int32_t pieces = 0;
    int32_t seats = 0;                // threads that may still join the current loop
    int32_t inside = 0;               // threads working on the current loop
    int32_t started = 0;              // only the caller holding `busy` changes it
    std::atomic<int32_t> next{0};     // the next piece to hand out
};

// Never freed: parked threads wait on it until the process ends, and a process may end with
// them parked (the interpreter does not know them), so nothing may destroy what they wait on.
std::atomic<Team*> current{nullptr};

// Set on every team thread, and on a caller while its loop runs: a loop started from within a
// piece runs on that thread alone rather than wait for a team that is busy with its parent.
thread_local bool in_piece = false;

void draw_pieces(std::atomic<int32_t>& next, int32_t pieces, LoopBlock block, void* context) {
    for (int32_t k = next.fetch_add(1, std::memory_order_relaxed); k < pieces;
         k = next.fetch_add(1, std::memory_order_relaxed)) {
        block(k, k + 1, context);
    }
}

void team_thread(Team* team) {
    in_piece = true;
    uint64_t seen = 0;
    std::unique_lock<std::mutex> lock(team->state);
    for (;;) {
        team->wake.wait(lock, [&] { return team->generation != seen; });
        seen = team->generation;
        if (team->seats <= 0) continue;
        --team->seats;
        ++team->inside;
        const LoopBlock block = team->block;
        void* const context = team->context;
        const int32_t pieces = team->pieces;
        lock.unlock();
        draw_pieces(team->next, pieces, block, context);
        lock.lock();
        if (--team->inside == 0) team->left.notify_all();
    }
}

#if !defined(_WIN32)
// A forked child has the forking thread alone: the team's threads, and perhaps a loop under
// way, stay behind. The child makes a team of its own when it first needs one.
void forget_team_in_child() { current.store(nullptr, std::memory_order_relaxed); }
const bool fork_watched = pthread_atfork(nullptr, nullptr, forget_team_in_child) == 0;
#endif

Team* team_of_this_process() {
#if !defined(_WIN32)
    if (!fork_watched) return nullptr;
#endif
    Team* team = current.load(std::memory_order_acquire);
    if (team != nullptr) return team;
    Team* made = new (std::nothrow) Team;
    if (made == nullptr) return nullptr;
    if (current.compare_exchange_strong(team, made, std::memory_order_acq_rel)) return made;
    delete made;   // another caller made one first; no thread of ours has seen this one
    return team;
}

// One parked thread more, detached; false when the system refuses it. (The build has no C++
// exceptions, in which std::thread reports that refusal.)
#if defined(_WIN32)
DWORD WINAPI team_thread_entry(void* team) {
    team_thread(static_cast<Team*>(team));
    return 0;
}
bool start_thread(Team& team) {
    HANDLE thread = CreateThread(nullptr, 0, team_thread_entry, &team, 0, nullptr);
    if (thread == nullptr) return false;
    CloseHandle(thread);
    return true;
}
#else
void* team_thread_entry(void* team) {
    team_thread(static_cast<Team*>(team));
    return nullptr;
}
bool start_thread(Team& team) {
    pthread_t thread;
    if (pthread_create(&thread, nullptr, team_thread_entry, &team) != 0) return false;
    pthread_detach(thread);
    return true;
}
#endif

// Starts threads until the team has `wanted`; fewer when the system refuses more.
int32_t start_threads(Team& team, int32_t wanted) {
    while (team.started < wanted && start_thread(team)) ++team.started;
    return std::min(team.started, wanted);
}

void run_alone(int32_t pieces, LoopBlock block, void* context) {
    if (pieces > 0) block(0, pieces, context);
}

}  // namespace

void run_pieces(int32_t workers, int32_t pieces, LoopBlock block, void* context) {
    if (pieces <= 0) return;
    workers = std::min(std::max(workers, 1), MAX_WORKERS);
    if (workers == 1 || pieces == 1 || in_piece) return run_alone(pieces, block, context);
    Team* team = team_of_this_process();
    if (team == nullptr) return run_alone(pieces, block, context);
    std::unique_lock<std::mutex> busy(team->busy, std::try_to_lock);
    if (!busy.owns_lock()) return run_alone(pieces, block, context);
    const int32_t helpers = start_threads(*team, std::min(workers, pieces) - 1);
    if (helpers == 0) return run_alone(pieces, block, context);
    {
        const std::lock_guard<std::mutex> lock(team->state);
        team->block = block;
        team->context = context;
        team->pieces = pieces;
        team->next.store(0, std::memory_order_relaxed);
        team->seats = helpers;
        ++team->generation;
    }
    team->wake.notify_all();
    in_piece = true;
    draw_pieces(team->next, pieces, block, context);
    in_piece = false;
    std::unique_lock<std::mutex> lock(team->state);
    team->seats = 0;
    team->left.wait(lock, [team] { return team->inside == 0; });
}

int32_t team_threads_started() {
    const Team* team = current.load(std::memory_order_acquire);
    return team == nullptr ? 0 : team->started;
}

}  // namespace cellprox
