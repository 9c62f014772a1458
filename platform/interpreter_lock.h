// The interpreter lock given away for a scope: every path out of it takes the lock back. In
// between, `hold` and `release` take it back for a moment (to check for signals, to report
// progress) and give it away again.
#pragma once

#include "platform/python.h"

namespace cellprox {

class LockReleased {
public:
    LockReleased() : saved_(PyEval_SaveThread()) {}
    ~LockReleased() {
        if (saved_ != nullptr) PyEval_RestoreThread(saved_);
    }
    LockReleased(const LockReleased&) = delete;
    LockReleased& operator=(const LockReleased&) = delete;

    void hold() {
        PyEval_RestoreThread(saved_);
        saved_ = nullptr;
    }
    void release() { saved_ = PyEval_SaveThread(); }

private:
    PyThreadState* saved_;
};

}  // namespace cellprox
