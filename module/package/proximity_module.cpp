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
#include "module/package/search_results.h"
#include "module/package/tracker_calls.h"
#include "module/shared/owned_ref.h"
#include "platform/loops/interpreter_lock.h"
#include "platform/loops/thread_team.h"

namespace cellprox {

namespace {

// (pairs, distances, gaps or None, witnesses or None, candidates, timings) of a finished search.
PyObject* result_tuple(const ProximityResult& result, bool hull, bool witnesses, int32_t workers) {
    PyObject* columns[4];
    if (!result_columns(result, hull, witnesses, workers, columns)) return nullptr;
    OwnedRef pairs(columns[0]), distances(columns[1]), gaps(columns[2]), witness_points(columns[3]);
    OwnedRef timings(timings_of(result.seconds));
    if (!timings) return nullptr;
    return Py_BuildValue("(OOOOLO)", pairs.get(), distances.get(), gaps.get(), witness_points.get(),
                         static_cast<long long>(result.candidates), timings.get());
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
    if (!team_and_watch(workers, watch)) return nullptr;
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
    if (status != ProximityStatus::ok) return search_failure(status, result, scene.cells.count);
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
    {"tracker_start", tracker_start, METH_VARARGS, TRACKER_START_DOC},
    {"tracker_frame", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(tracker_frame)),
     METH_VARARGS | METH_KEYWORDS, TRACKER_FRAME_DOC},
    {"tracker_state", tracker_state, METH_O, TRACKER_STATE_DOC},
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
