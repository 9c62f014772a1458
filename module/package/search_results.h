// What the package's native searches hand back to Python: their columns as bytearrays, the watch
// that lets Ctrl-C and a progress callback in between blocks, and the errors a search ends in.
#pragma once

#include <cstdint>

#include "kernels/package/search/close_pairs.h"
#include "platform/loops/interpreter_lock.h"
#include "platform/python.h"

namespace cellprox {

// Between blocks of a search: the lock back for a moment, signals checked (so that Ctrl-C stops
// the search), the caller's progress callback called; any exception stops the search and stays set.
struct Watcher {
    LockReleased* lock;
    PyObject* callback;   // None, or called as callback(done, total)
};

bool watch_search(void* context, int64_t done, int64_t total);

// Whether `workers` (1 to MAX_WORKERS) and `watch` (None or a callable) are what a search takes;
// false with the error set.
bool team_and_watch(int workers, PyObject* watch);

// The seconds of each stage as a dict.
PyObject* timings_of(const ProximityTimes& seconds);

// A new bytearray of `count` items of T (with `items` pointing into it), or None when not asked.
template <typename T>
PyObject* result_column(bool asked, size_t count, T** items) {
    *items = nullptr;
    if (!asked) return Py_NewRef(Py_None);
    PyObject* bytes = PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(count * sizeof(T)));
    if (bytes != nullptr) *items = reinterpret_cast<T*>(PyByteArray_AS_STRING(bytes));
    return bytes;
}

// (pairs, distances, gaps or None, witnesses or None) of a finished search as bytearrays, filled
// on the team with the lock given away; false with the error set.
bool result_columns(const ProximityResult& result, bool hull, bool witnesses, int32_t workers, PyObject* (&columns)[4]);

// Sets the error a search that did not finish ended in (a stop leaves the watch's own) and
// returns null.
PyObject* search_failure(ProximityStatus status, const ProximityResult& result, int32_t cell_count);

}  // namespace cellprox
