// cellprox._proximity: the package's own search for close cells, both rules, in native code.
// python/cellprox/pipeline.py checks the arguments and names the faulty cell; this boundary
// checks again whatever memory safety rests on, since anyone can import a private module.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "kernels/package/hull/hull_distance.h"
#include "kernels/package/search/close_pairs.h"
#include "kernels/common/shared/debug_dump.h"
#include "module/package/scene_arguments.h"
#include "module/shared/owned_ref.h"
#include "platform/loops/interpreter_lock.h"
#include "platform/loops/thread_team.h"

namespace cellprox {

namespace {

// Between blocks of the search: the lock back for a moment, signals checked (so that Ctrl-C
// stops the search), the caller's progress callback called; any exception stops the search
// and stays set.
struct Watcher {
    LockReleased* lock;
    PyObject* callback;   // None, or called as callback(done, total)
};

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

PyObject* timings_of(const ProximityTimes& seconds) {
    return Py_BuildValue("{sdsdsdsd}", "tree", seconds.tree, "candidates", seconds.candidates, "measure",
                         seconds.measure, "collect", seconds.collect);
}

// A new bytearray of `count` items of T, or None when not asked.
template <typename T>
PyObject* column(bool asked, size_t count, T** items) {
    *items = nullptr;
    if (!asked) return Py_NewRef(Py_None);
    PyObject* bytes = PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(count * sizeof(T)));
    if (bytes != nullptr) *items = reinterpret_cast<T*>(PyByteArray_AS_STRING(bytes));
    return bytes;
}

// (pairs, distances, gaps or None, witnesses or None, candidates, timings) of a finished search,
// the columns filled on the team with the lock given away.
PyObject* result_tuple(const ProximityResult& result, bool hull, bool witnesses, int32_t workers) {
    const size_t m = result.pairs.size();
    ResultColumns columns{};
    OwnedRef pair_bytes(column(true, 2 * m, &columns.pairs));
    OwnedRef distances(column(true, m, &columns.distances));
    OwnedRef gaps(column(hull, m, &columns.gaps));
    OwnedRef witness_bytes(column(witnesses, 6 * m, &columns.witnesses));
    OwnedRef timings(timings_of(result.seconds));
    if (!pair_bytes || !distances || !gaps || !witness_bytes || !timings) return nullptr;
    {
        LockReleased lock;
        write_result_columns(result, columns, workers);
    }
    return Py_BuildValue("(OOOOLO)", pair_bytes.get(), distances.get(), gaps.get(), witness_bytes.get(),
                         static_cast<long long>(result.candidates), timings.get());
}

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

PyObject* close_pairs(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"vertices", "vertex_starts", "edges", "edge_starts", "origins",
                                     "collections", "threshold", "rule", "witnesses", "watch", "workers", nullptr};
    PyObject* arrays[6];
    double threshold = 0.0;
    const char* rule_name = nullptr;
    int witnesses = 0;
    PyObject* watch = Py_None;
    int workers = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOOOds|pOi:close_pairs", const_cast<char**>(keywords),
                                     &arrays[0], &arrays[1], &arrays[2], &arrays[3], &arrays[4], &arrays[5],
                                     &threshold, &rule_name, &witnesses, &watch, &workers)) {
        return nullptr;
    }
    const bool hull = std::strcmp(rule_name, "hull") == 0;
    if (!hull && std::strcmp(rule_name, "vertices-edges") != 0) {
        PyErr_Format(PyExc_ValueError, "rule must be 'vertices-edges' or 'hull', not '%s'", rule_name);
        return nullptr;
    }
    if (!(std::isfinite(threshold) && threshold >= 0.0)) {
        PyErr_SetString(PyExc_ValueError, "threshold must be a finite number >= 0");
        return nullptr;
    }
    if (workers < 1 || workers > MAX_WORKERS) {
        PyErr_Format(PyExc_ValueError, "workers must be 1 to %d threads", static_cast<int>(MAX_WORKERS));
        return nullptr;
    }
    if (watch != Py_None && !PyCallable_Check(watch)) {
        PyErr_SetString(PyExc_TypeError, "watch must be None or a callable taking (done, total)");
        return nullptr;
    }
    SceneArguments scene;
    if (read_scene(arrays, hull, workers, scene) < 0) return nullptr;
    const ProximityQuery query{hull ? ProximityRule::hull : ProximityRule::vertices_edges, threshold,
                               hull && witnesses != 0};
    ProximityResult result;
    ProximityStatus status;
    {
        LockReleased lock;
        Watcher watcher{&lock, watch};
        const WorkWatch work_watch{watch_search, &watcher};
        status = find_close_pairs(scene.cells, query, workers, &work_watch, result);
    }
    switch (status) {
        case ProximityStatus::ok: break;
        case ProximityStatus::stopped: return nullptr;   // the watch's exception is set
        case ProximityStatus::out_of_memory: return out_of_memory(result, scene.cells.count);
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
    return result_tuple(result, hull, query.witnesses, workers);
}

// One cell's vertices for hull_pair_distance: a C-contiguous (k, 3) float32 array, k >= 1, finite.
bool read_points(PyObject* object, const char* name, BufferGuard& guard, HullPoints& points) {
    if (!take_number_array(guard, object, name, 2, 'f', 4)) return false;
    const Py_buffer& v = guard.view();
    if (v.shape[1] != 3 || v.shape[0] < 1 || v.shape[0] > INT32_MAX) {
        PyErr_Format(PyExc_ValueError, "%s must hold 1 to 2^31 points of 3 coordinates", name);
        return false;
    }
    points = {static_cast<const float*>(v.buf), static_cast<int32_t>(v.shape[0])};
    for (int64_t k = 0; k < 3 * static_cast<int64_t>(points.count); ++k) {
        if (!std::isfinite(points.xyz[k])) {
            PyErr_Format(PyExc_ValueError, "%s has a coordinate that is not finite", name);
            return false;
        }
    }
    return true;
}

PyObject* hull_pair_distance(PyObject*, PyObject* args) {
    PyObject *first = nullptr, *second = nullptr;
    double limit = 0.0;
    if (!PyArg_ParseTuple(args, "OOd:hull_pair_distance", &first, &second, &limit)) return nullptr;
    BufferGuard first_buffer, second_buffer;
    HullPoints a{}, b{};
    if (!read_points(first, "a", first_buffer, a) || !read_points(second, "b", second_buffer, b)) return nullptr;
    HullWorkspace work;
    if (!work.reserve(std::max(a.count, b.count))) return PyErr_NoMemory();
    double on_a[3], on_b[3];
    const double distance = hull_distance_witnesses(a, b, limit, work, nullptr, on_a, on_b);
    return Py_BuildValue("(d(ddd)(ddd))", distance, on_a[0], on_a[1], on_a[2], on_b[0], on_b[1], on_b[2]);
}

// The summary of three cells' records, as the kernels print it, flushed at once.
PyObject* debug_dump(PyObject*, PyObject* records) {
    BufferGuard guard;
    if (!guard.take(records, PyBUF_SIMPLE)) return nullptr;
    const Py_ssize_t bytes = guard.view().len;
    if (bytes % 64 != 0 || bytes / 64 > INT32_MAX) {
        PyErr_SetString(PyExc_ValueError, "records must be whole 64-byte cell records");
        return nullptr;
    }
    const int32_t count = static_cast<int32_t>(bytes / 64);
    print_debug_dump(static_cast<const char*>(guard.view().buf), count, choose_dump_cells(count));
    std::fflush(stdout);
    Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    {"close_pairs", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(close_pairs)),
     METH_VARARGS | METH_KEYWORDS,
     "close_pairs(vertices, vertex_starts, edges, edge_starts, origins, collections, threshold, rule,\n"
     "            witnesses=False, watch=None, workers=1)\n"
     "    -> (pairs, distances, gaps, witnesses, candidates, timings)\n\n"
     "Every pair of cells close under `rule` ('vertices-edges': strictly closer than threshold,\n"
     "vertex against vertex within a collection and edge against edge across; 'hull': convex\n"
     "hulls at most threshold apart), decided in double. Cell i owns vertices[vertex_starts[i]:\n"
     "vertex_starts[i + 1]] ((V, 3) float32) and edges[edge_starts[i]:...] ((E, 2) int32, vertex\n"
     "numbers within the cell); origins (n, 3) float32, collections (n,) int32. Returns bytearrays\n"
     "of the pairs (int32 pairs i < j, sorted), their origin distances (float32), the hull rule's\n"
     "gaps (float64, else None) and, with witnesses, a point on each hull (6 float64 a pair, else\n"
     "None), the number of candidates measured and the seconds of each stage. watch(done, total)\n"
     "is called between blocks of cells, on the calling thread; an exception there (or a signal)\n"
     "stops the search. The search runs on up to `workers` threads (1 to 1024), with the same\n"
     "result for any count."},
    {"hull_pair_distance", hull_pair_distance, METH_VARARGS,
     "hull_pair_distance(a, b, limit) -> (float, (x, y, z), (x, y, z))\n\n"
     "The distance between the convex hulls of two cells' vertices ((k, 3) float32, C-contiguous)\n"
     "and a point of each hull that realises it (one point of both where they touch); beyond\n"
     "limit, a lower bound above it and two points at least that far apart."},
    {"debug_dump", debug_dump, METH_O,
     "debug_dump(records) -> None\n\n"
     "Prints the summary of the first, second and last of the 64-byte cell records (a buffer of\n"
     "whole records whose addresses are valid) to standard output."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "cellprox._proximity",
    "The package's search for close cells: candidates by box tree, the exact vertices-and-edges rule "
    "and the hull rule, in native code.",
    0,
    methods,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace cellprox

PyMODINIT_FUNC PyInit__proximity() { return PyModuleDef_Init(&cellprox::definition); }
