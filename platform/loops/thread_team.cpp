// The thread team: one per loaded module, made on first use, its threads parked between loops.
//
// A loop is published under the team's lock with a new generation number; parked threads wake,
// take one of the loop's seats and draw runs of pieces from a shared counter until none are left. The
// caller draws pieces too, then closes the seats and waits for the threads still inside. A
// thread that wakes late finds no seat and parks again, so one loop's threads never run into
// the next.
#include "platform/loops/thread_team.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <pthread.h>
#endif

// The wheel's oldest Linux target has glibc 2.14 and no C++ runtime: the lock and the wake-ups
// are the system's own (no std::mutex, whose waits live in the C++ runtime), and the calls that
// glibc 2.34 moved into libc are bound to the versions every glibc since 2.2.5 has.
#if defined(__linux__) && defined(__x86_64__) && defined(__GLIBC__)
__asm__(".symver pthread_create,pthread_create@GLIBC_2.2.5");
__asm__(".symver pthread_detach,pthread_detach@GLIBC_2.2.5");
__asm__(".symver pthread_mutex_trylock,pthread_mutex_trylock@GLIBC_2.2.5");
#endif

namespace cellprox {

namespace {

#if defined(_WIN32)
struct Lock {
    SRWLOCK lock = SRWLOCK_INIT;
};
struct Signal {
    CONDITION_VARIABLE signal = CONDITION_VARIABLE_INIT;
};
void hold(Lock& lock) { AcquireSRWLockExclusive(&lock.lock); }
bool hold_if_free(Lock& lock) { return TryAcquireSRWLockExclusive(&lock.lock) != 0; }
void let_go(Lock& lock) { ReleaseSRWLockExclusive(&lock.lock); }
void wait_for(Signal& signal, Lock& lock) { SleepConditionVariableSRW(&signal.signal, &lock.lock, INFINITE, 0); }
void wake_all(Signal& signal) { WakeAllConditionVariable(&signal.signal); }
#else
struct Lock {
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
};
struct Signal {
    pthread_cond_t signal = PTHREAD_COND_INITIALIZER;
};
void hold(Lock& lock) { pthread_mutex_lock(&lock.lock); }
bool hold_if_free(Lock& lock) { return pthread_mutex_trylock(&lock.lock) == 0; }
void let_go(Lock& lock) { pthread_mutex_unlock(&lock.lock); }
void wait_for(Signal& signal, Lock& lock) { pthread_cond_wait(&signal.signal, &lock.lock); }
void wake_all(Signal& signal) { pthread_cond_broadcast(&signal.signal); }
#endif

struct Team {
    // Held by the one caller whose loop the team runs. Neither lock lets its holder take it
    // again: a loop started from within a piece (on a team thread, or on the caller) finds it
    // taken and runs on its own thread, rather than wait for a team busy with its parent.
    Lock busy;
    Lock state;                       // guards what follows, but the counter
    Signal wake;                      // parked threads wait here for a new loop
    Signal left;                      // the caller waits here for its threads to finish
    uint64_t generation = 0;
    LoopBlock block = nullptr;
    void* context = nullptr;
    int32_t pieces = 0;
    int32_t threads = 0;              // the current loop's, the caller's own included
    int32_t seats = 0;                // threads that may still join the current loop
    int32_t inside = 0;               // threads working on the current loop
    int32_t started = 0;              // only the caller holding `busy` changes it
    std::atomic<int32_t> next{0};     // the next piece to hand out
};

// Never freed: parked threads wait on it until the process ends, and a process may end with
// them parked (the interpreter does not know them), so nothing may destroy what they wait on.
std::atomic<Team*> current{nullptr};

// Takes runs of pieces until none are left: at first long ones (a loop body sets up its working
// memory once a run), shorter as the end nears, so that the threads finish together (guided
// scheduling). Which thread runs which pieces changes nothing else.
void draw_pieces(std::atomic<int32_t>& next, int32_t pieces, int32_t threads, LoopBlock block, void* context) {
    int32_t first = next.load(std::memory_order_relaxed);
    while (first < pieces) {
        const int32_t run = std::max(1, (pieces - first) / (2 * threads));
        if (next.compare_exchange_weak(first, first + run, std::memory_order_relaxed)) {
            block(first, first + run, context);
            first = next.load(std::memory_order_relaxed);
        }
    }
}

void team_thread(Team* team) {
    uint64_t seen = 0;
    hold(team->state);
    for (;;) {
        while (team->generation == seen) wait_for(team->wake, team->state);
        seen = team->generation;
        if (team->seats <= 0) continue;
        --team->seats;
        ++team->inside;
        const LoopBlock block = team->block;
        void* const context = team->context;
        const int32_t pieces = team->pieces, threads = team->threads;
        let_go(team->state);
        draw_pieces(team->next, pieces, threads, block, context);
        hold(team->state);
        if (--team->inside == 0) wake_all(team->left);
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
    void* memory = std::malloc(sizeof(Team));
    if (memory == nullptr) return nullptr;
    Team* made = new (memory) Team;
    if (current.compare_exchange_strong(team, made, std::memory_order_acq_rel)) return made;
    std::free(memory);   // another caller made one first; no thread has seen this one
    return team;
}

// One parked thread more, detached; false when the system refuses it. (std::thread lives in
// the C++ runtime and reports a refusal by an exception, which this build does without.)
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
    if (workers == 1 || pieces == 1) return run_alone(pieces, block, context);
    Team* team = team_of_this_process();
    if (team == nullptr || !hold_if_free(team->busy)) return run_alone(pieces, block, context);
    const int32_t helpers = start_threads(*team, std::min(workers, pieces) - 1);
    if (helpers == 0) {
        let_go(team->busy);
        return run_alone(pieces, block, context);
    }
    hold(team->state);
    team->block = block;
    team->context = context;
    team->pieces = pieces;
    team->threads = helpers + 1;
    team->next.store(0, std::memory_order_relaxed);
    team->seats = helpers;
    ++team->generation;
    let_go(team->state);
    wake_all(team->wake);
    draw_pieces(team->next, pieces, helpers + 1, block, context);
    hold(team->state);
    team->seats = 0;
    while (team->inside > 0) wait_for(team->left, team->state);
    let_go(team->state);
    let_go(team->busy);
}

int32_t team_threads_started() {
    const Team* team = current.load(std::memory_order_acquire);
    return team == nullptr ? 0 : team->started;
}

}  // namespace cellprox
