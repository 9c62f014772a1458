// Owns every hand-over of the interpreter lock in the project: the calling thread giving it away
// for a scope, and a team thread registering with the interpreter for the length of a loop. The
// boundary's modules and the loop frame (interpreter_loops.cpp) all go through here.
#pragma once

#include "platform/python.h"

namespace cellprox {

// Gives the lock away; what it returns hands it back to the same thread.
inline void* give_lock_away() { return PyEval_SaveThread(); }
inline void take_lock_back(void* saved) { PyEval_RestoreThread(static_cast<PyThreadState*>(saved)); }

// The lock given away for a scope: every path out of it takes the lock back. In between, `hold`
// and `release` take it back for a moment (to check for signals, to report progress) and give
// it away again.
class LockReleased {
public:
    LockReleased() : saved_(give_lock_away()) {}
    ~LockReleased() {
        if (saved_ != nullptr) take_lock_back(saved_);
    }
    LockReleased(const LockReleased&) = delete;
    LockReleased& operator=(const LockReleased&) = delete;

    void hold() {
        take_lock_back(saved_);
        saved_ = nullptr;
    }
    void release() { saved_ = give_lock_away(); }

private:
    void* saved_;
};

// A thread of a loop's team known to the interpreter for one scope, without holding the lock:
// it takes the lock only to register and to leave. The calling thread gets its own thread state
// back, a team thread a fresh one for the scope. Nothing happens when `attach` is false.
class TeamThreadAttached {
public:
    explicit TeamThreadAttached(bool attach) : attached_(attach) {
        if (!attached_) return;
        registration_ = PyGILState_Ensure();
        detached_ = give_lock_away();
    }
    ~TeamThreadAttached() {
        if (!attached_) return;
        take_lock_back(detached_);
        PyGILState_Release(registration_);
    }
    TeamThreadAttached(const TeamThreadAttached&) = delete;
    TeamThreadAttached& operator=(const TeamThreadAttached&) = delete;

private:
    bool attached_;
    PyGILState_STATE registration_ = PyGILState_UNLOCKED;
    void* detached_ = nullptr;
};

}  // namespace cellprox
