// The searches' columns and errors, shared by the one-shot search and the tracker.
#include "module/package/search_results.h"

#include <cstdio>

#include "module/shared/owned_ref.h"
#include "platform/loops/thread_team.h"

namespace cellprox {

namespace {

// `value` with thousands separated, as the package's messages write counts: "12,345,678".
void with_separators(int64_t value, char (&text)[32]) {
    char digits[24];
    const int length = std::snprintf(digits, sizeof digits, "%lld", static_cast<long long>(value));
    int out = 0;
    for (int k = 0; k < length; ++k) {
        if (k > 0 && digits[k - 1] != '-' && (length - k) % 3 == 0) text[out++] = ',';
        text[out++] = digits[k];
    }
    text[out] = '\0';
}

// A MemoryError that says how far the search came and what to ask for instead: the pairs it
// held are what grows without bound as the threshold or the crowd grows.
PyObject* out_of_memory(const ProximityResult& result, int32_t cell_count) {
    char pairs[32], candidates[32], cells[32];
    with_separators(result.pairs_held, pairs);
    with_separators(result.candidates, candidates);
    with_separators(cell_count, cells);
    if (result.candidates == 0) {
        PyErr_Format(PyExc_MemoryError,
                     "the search ran out of memory preparing the box tree of %s cells, before any "
                     "candidate; search fewer cells at a time", cells);
    } else {
        PyErr_Format(PyExc_MemoryError,
                     "the search ran out of memory holding %s close pairs among %s cells (of %s "
                     "candidates found so far); ask for a smaller threshold, or search fewer cells "
                     "at a time", pairs, cells, candidates);
    }
    return nullptr;
}

}  // namespace

bool watch_search(void* context, int64_t done, int64_t total) {
    Watcher& watcher = *static_cast<Watcher*>(context);
    watcher.lock->hold();
    bool going = PyErr_CheckSignals() == 0;
    if (going && watcher.callback != Py_None) {
        OwnedRef answer(PyObject_CallFunction(watcher.callback, "LL", static_cast<long long>(done),
                                              static_cast<long long>(total)));
        going = static_cast<bool>(answer);
    }
    watcher.lock->release();
    return going;
}

bool team_and_watch(int workers, PyObject* watch) {
    if (workers < 1 || workers > MAX_WORKERS) {
        PyErr_Format(PyExc_ValueError, "workers must be 1 to %d threads", static_cast<int>(MAX_WORKERS));
        return false;
    }
    if (watch != Py_None && !PyCallable_Check(watch)) {
        PyErr_SetString(PyExc_TypeError, "watch must be None or a callable taking (done, total)");
        return false;
    }
    return true;
}

PyObject* timings_of(const ProximityTimes& seconds) {
    return Py_BuildValue("{sdsdsdsd}", "tree", seconds.tree, "candidates", seconds.candidates, "measure",
                         seconds.measure, "collect", seconds.collect);
}

bool result_columns(const ProximityResult& result, bool hull, bool witnesses, int32_t workers, PyObject* (&columns)[4]) {
    const size_t m = result.pairs.size();
    ResultColumns into{};
    OwnedRef pairs(result_column(true, 2 * m, &into.pairs));
    OwnedRef distances(result_column(true, m, &into.distances));
    OwnedRef gaps(result_column(hull, m, &into.gaps));
    OwnedRef witness_points(result_column(witnesses, 6 * m, &into.witnesses));
    if (!pairs || !distances || !gaps || !witness_points) return false;
    {
        LockReleased lock;
        write_result_columns(result, into, workers);
    }
    columns[0] = pairs.release();
    columns[1] = distances.release();
    columns[2] = gaps.release();
    columns[3] = witness_points.release();
    return true;
}

PyObject* search_failure(ProximityStatus status, const ProximityResult& result, int32_t cell_count) {
    switch (status) {
        case ProximityStatus::ok:
        case ProximityStatus::stopped: return nullptr;   // the watch's exception is set
        case ProximityStatus::out_of_memory: return out_of_memory(result, cell_count);
        case ProximityStatus::origin_overflow: {
            // The interpreter's own formatting knows no %g.
            char message[200];
            std::snprintf(message, sizeof message,
                          "cells %d and %d are close, but their origins are %.3g apart, beyond the float32 "
                          "range their distance is given in; give the cells origins nearer to them",
                          result.overflow_first, result.overflow_second, result.overflow_distance);
            PyErr_SetString(PyExc_ValueError, message);
            return nullptr;
        }
    }
    return nullptr;
}

}  // namespace cellprox
