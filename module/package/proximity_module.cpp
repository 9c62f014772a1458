// cellprox._proximity: the package's own search for close cells, both rules, in native code.
// python/cellprox/pipeline.py checks the arguments and names the faulty cell; this boundary
// checks again whatever memory safety rests on, since anyone can import a private module.
#include <cmath>
#include <cstdio>
#include <cstring>

#include "kernels/debug_dump.h"
#include "kernels/search/close_pairs.h"
#include "module/package/scene_arguments.h"
#include "module/shared/owned_ref.h"
#include "platform/interpreter_lock.h"
#include "platform/interpreter_loops.h"

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

// A new bytearray of `count` items, filled by `fill(k)` for item k.
template <typename T, typename Fill>
PyObject* column(size_t count, Fill fill) {
    PyObject* bytes = PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(count * sizeof(T)));
    if (bytes == nullptr) return nullptr;
    T* out = reinterpret_cast<T*>(PyByteArray_AS_STRING(bytes));
    for (size_t k = 0; k < count; ++k) fill(out + k, k);
    return bytes;
}

template <typename T>
PyObject* copy_of(const PlainBuffer<T>& values) {
    return PyByteArray_FromStringAndSize(reinterpret_cast<const char*>(values.data()),
                                         static_cast<Py_ssize_t>(values.size() * sizeof(T)));
}

PyObject* timings_of(const ProximityTimes& seconds) {
    return Py_BuildValue("{sdsdsdsd}", "tree", seconds.tree, "candidates", seconds.candidates, "measure",
                         seconds.measure, "collect", seconds.collect);
}

// (pairs, distances, gaps or None, witnesses or None, candidates, timings) of a finished search.
PyObject* result_tuple(const ProximityResult& result, bool hull, bool witnesses) {
    const ClosePair* pairs = result.pairs.data();
    const size_t m = result.pairs.size();
    OwnedRef pair_bytes(column<int32_t>(2 * m, [pairs](int32_t* out, size_t k) {
        *out = k % 2 == 0 ? pairs[k / 2].first : pairs[k / 2].second;
    }));
    OwnedRef distances(copy_of(result.distances));
    OwnedRef gaps(hull ? copy_of(result.gaps) : Py_NewRef(Py_None));
    OwnedRef witness_bytes(witnesses ? copy_of(result.witnesses) : Py_NewRef(Py_None));
    OwnedRef timings(timings_of(result.seconds));
    if (!pair_bytes || !distances || !gaps || !witness_bytes || !timings) return nullptr;
    return Py_BuildValue("(OOOOLO)", pair_bytes.get(), distances.get(), gaps.get(), witness_bytes.get(),
                         static_cast<long long>(result.candidates), timings.get());
}

PyObject* close_pairs(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"vertices", "vertex_starts", "edges", "edge_starts", "origins",
                                     "collections", "threshold", "rule", "witnesses", "watch", nullptr};
    PyObject* arrays[6];
    double threshold = 0.0;
    const char* rule_name = nullptr;
    int witnesses = 0;
    PyObject* watch = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOOOds|pO:close_pairs", const_cast<char**>(keywords),
                                     &arrays[0], &arrays[1], &arrays[2], &arrays[3], &arrays[4], &arrays[5],
                                     &threshold, &rule_name, &witnesses, &watch)) {
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
    if (watch != Py_None && !PyCallable_Check(watch)) {
        PyErr_SetString(PyExc_TypeError, "watch must be None or a callable taking (done, total)");
        return nullptr;
    }
    if (hull && witnesses != 0) {
        // The search keeps one gap a pair; the witness points have no kernel behind them yet.
        PyErr_SetString(PyExc_NotImplementedError, "the hull rule's search keeps no witness points");
        return nullptr;
    }
    SceneArguments scene;
    if (read_scene(arrays, hull, scene) < 0) return nullptr;
    const ProximityQuery query{hull ? ProximityRule::hull : ProximityRule::vertices_edges, threshold,
                               hull && witnesses != 0};
    ProximityResult result;
    ProximityStatus status;
    {
        LockReleased lock;
        Watcher watcher{&lock, watch};
        const WorkWatch work_watch{watch_search, &watcher};
        status = find_close_pairs(scene.cells, query, interpreter_loop_frame(), &work_watch, result);
    }
    switch (status) {
        case ProximityStatus::ok: break;
        case ProximityStatus::stopped: return nullptr;   // the watch's exception is set
        case ProximityStatus::out_of_memory: return PyErr_NoMemory();
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
    return result_tuple(result, hull, query.witnesses);
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
     "            witnesses=False, watch=None) -> (pairs, distances, gaps, witnesses, candidates, timings)\n\n"
     "Every pair of cells close under `rule` ('vertices-edges': strictly closer than threshold,\n"
     "vertex against vertex within a collection and edge against edge across; 'hull': convex\n"
     "hulls at most threshold apart), decided in double. Cell i owns vertices[vertex_starts[i]:\n"
     "vertex_starts[i + 1]] ((V, 3) float32) and edges[edge_starts[i]:...] ((E, 2) int32, vertex\n"
     "numbers within the cell); origins (n, 3) float32, collections (n,) int32. Returns bytearrays\n"
     "of the pairs (int32 pairs i < j, sorted), their origin distances (float32), the hull rule's\n"
     "gaps (float64, else None) and, with witnesses, a point on each hull (6 float64 a pair, else\n"
     "None), the number of candidates measured and the seconds of each stage. watch(done, total)\n"
     "is called between blocks of cells; an exception there (or a signal) stops the search."},
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
