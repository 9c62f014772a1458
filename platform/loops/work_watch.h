// How a long kernel lets its caller follow it and stop it: between blocks of work it reports how
// far it has come, and stops when told to. The Python boundary checks for signals there (so that
// Ctrl-C is honoured within a moment) and reports progress; C++ tests watch nothing.
#pragma once

#include <cstdint>

namespace cellprox {

struct WorkWatch {
    // Called between blocks, on the calling thread, with `done` of `total` units finished. The
    // kernel stops, releasing everything, when it returns false.
    bool (*keep_going)(void* context, int64_t done, int64_t total);
    void* context;
};

// Whether to go on: always, without a watch.
inline bool keep_going(const WorkWatch* watch, int64_t done, int64_t total) {
    return watch == nullptr || watch->keep_going(watch->context, done, total);
}

}  // namespace cellprox
