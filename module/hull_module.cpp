// cellprox._hull: the hull rule's kernels for the package. python/cellprox/hull.py checks the
// arguments and names the faulty cell; this boundary checks again whatever memory safety rests
// on, since anyone can import a private module.
#include <algorithm>
#include <cmath>
#include <cstring>


#include "kernels/hull_distance.h"
#include "kernels/hull_pairs.h"
#include "platform/fork_watch.h"
#include "platform/python.h"

namespace cellprox {

namespace {

// One buffer export, released on every path out of the call.
class HeldBuffer {
public:
    HeldBuffer() = default;
    ~HeldBuffer() {
        if (held_) PyBuffer_Release(&view_);
    }
    HeldBuffer(const HeldBuffer&) = delete;
    HeldBuffer& operator=(const HeldBuffer&) = delete;

    // A C-contiguous array of `ndim` dimensions whose items are `itemsize` bytes of one of the
    // struct codes in `codes` (native byte order). Returns 0, or -1 with TypeError set.
    int take(PyObject* object, const char* name, int ndim, const char* codes, Py_ssize_t itemsize,
             const char* expected) {
        if (PyObject_GetBuffer(object, &view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) {
            PyErr_Format(PyExc_TypeError, "%s must be a C-contiguous %s array", name, expected);
            return -1;
        }
        held_ = true;
        const char* format = view_.format != nullptr ? view_.format : "B";
        if (*format == '@' || *format == '=' || *format == '<') ++format;
        if (view_.ndim != ndim || view_.itemsize != itemsize || std::strlen(format) != 1 ||
            std::strchr(codes, *format) == nullptr) {
            PyErr_Format(PyExc_TypeError, "%s must be a C-contiguous %s array", name, expected);
            return -1;
        }
        return 0;
    }

    const Py_buffer& view() const { return view_; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// The interpreter lock given away for one scope.
class LockReleased {
public:
    LockReleased() : saved_(PyEval_SaveThread()) {}
    ~LockReleased() { PyEval_RestoreThread(saved_); }
    LockReleased(const LockReleased&) = delete;
    LockReleased& operator=(const LockReleased&) = delete;

private:
    PyThreadState* saved_;
};

// The arguments every function takes: (vertices (N, 3) float32, starts (n + 1,) int64,
// threshold). `starts` is copied, so that another thread changing the caller's array while the
// lock is released cannot move a read out of bounds.
struct SceneArguments {
    HeldBuffer vertices;
    HullBuffer<int64_t> starts;
    HullCells cells{};
    double threshold = 0.0;
};

int read_arguments(PyObject* args, const char* format, SceneArguments& scene) {
    PyObject* vertices = nullptr;
    PyObject* starts = nullptr;
    if (!PyArg_ParseTuple(args, format, &vertices, &starts, &scene.threshold)) return -1;
    if (!(std::isfinite(scene.threshold) && scene.threshold >= 0.0)) {
        PyErr_SetString(PyExc_ValueError, "threshold must be a finite number >= 0");
        return -1;
    }
    if (scene.vertices.take(vertices, "vertices", 2, "f", 4, "(N, 3) float32") < 0) return -1;
    const Py_buffer& v = scene.vertices.view();
    if (v.shape[1] != 3) {
        PyErr_SetString(PyExc_ValueError, "vertices must have 3 columns (x, y, z)");
        return -1;
    }
    HeldBuffer start_buffer;
    if (start_buffer.take(starts, "starts", 1, "qlL", 8, "(n + 1,) int64") < 0) return -1;
    const Py_ssize_t entries = start_buffer.view().shape[0];
    if (entries < 1 || entries - 1 > INT32_MAX) {
        PyErr_SetString(PyExc_ValueError, "starts must hold 1 to 2^31 entries (cells + 1)");
        return -1;
    }
    if (!scene.starts.resize(static_cast<size_t>(entries))) {
        PyErr_NoMemory();
        return -1;
    }
    std::memcpy(scene.starts.data(), start_buffer.view().buf,
                static_cast<size_t>(entries) * sizeof(int64_t));
    scene.cells = {static_cast<const float*>(v.buf), scene.starts.data(),
                   static_cast<int32_t>(entries - 1)};
    const char* fault = nullptr;
    {
        LockReleased released;
        fault = check_hull_cells(scene.cells, v.shape[0]);
    }
    if (fault != nullptr) {
        PyErr_Format(PyExc_ValueError, "the cells cannot be measured: %s", fault);
        return -1;
    }
    return 0;
}

template <typename T>
PyObject* as_bytearray(const HullBuffer<T>& values) {
    return PyByteArray_FromStringAndSize(reinterpret_cast<const char*>(values.data()),
                                         static_cast<Py_ssize_t>(values.size() * sizeof(T)));
}

PyObject* candidate_pairs(PyObject*, PyObject* args) {
    SceneArguments scene;
    if (read_arguments(args, "OOd:candidate_pairs", scene) < 0) return nullptr;
    HullBuffer<HullPair> pairs;
    HullStatus status;
    {
        LockReleased released;
        status = hull_candidates(scene.cells, scene.threshold, pairs);
    }
    if (status != HullStatus::ok) return PyErr_NoMemory();
    return as_bytearray(pairs);
}

PyObject* close_pairs(PyObject*, PyObject* args) {
    SceneArguments scene;
    if (read_arguments(args, "OOd:close_pairs", scene) < 0) return nullptr;
    HullBuffer<HullPair> pairs;
    HullBuffer<double> gaps;
    int64_t candidates = 0;
    HullStatus status;
    {
        LockReleased released;
        status = hull_close_pairs(scene.cells, scene.threshold, pairs, gaps, candidates,
                                  openmp_team_usable());
    }
    if (status != HullStatus::ok) return PyErr_NoMemory();
    PyObject* pair_bytes = as_bytearray(pairs);
    PyObject* gap_bytes = pair_bytes != nullptr ? as_bytearray(gaps) : nullptr;
    PyObject* result = gap_bytes != nullptr
                           ? Py_BuildValue("(OOL)", pair_bytes, gap_bytes,
                                           static_cast<long long>(candidates))
                           : nullptr;
    Py_XDECREF(pair_bytes);
    Py_XDECREF(gap_bytes);
    return result;
}

// One cell's vertices for pair_distance: a C-contiguous (k, 3) float32 array, k >= 1, finite.
int read_points(PyObject* object, const char* name, HeldBuffer& held, HullPoints& points) {
    if (held.take(object, name, 2, "f", 4, "(k, 3) float32") < 0) return -1;
    const Py_buffer& v = held.view();
    if (v.shape[1] != 3 || v.shape[0] < 1 || v.shape[0] > INT32_MAX) {
        PyErr_Format(PyExc_ValueError, "%s must hold 1 to 2^31 points of 3 coordinates", name);
        return -1;
    }
    points = {static_cast<const float*>(v.buf), static_cast<int32_t>(v.shape[0])};
    for (int64_t k = 0; k < 3 * static_cast<int64_t>(points.count); ++k) {
        if (!std::isfinite(points.xyz[k])) {
            PyErr_Format(PyExc_ValueError, "%s has a coordinate that is not finite", name);
            return -1;
        }
    }
    return 0;
}

PyObject* pair_distance(PyObject*, PyObject* args) {
    PyObject* first = nullptr;
    PyObject* second = nullptr;
    double limit = 0.0;
    if (!PyArg_ParseTuple(args, "OOd:pair_distance", &first, &second, &limit)) return nullptr;
    HeldBuffer first_buffer, second_buffer;
    HullPoints a{}, b{};
    if (read_points(first, "a", first_buffer, a) < 0 || read_points(second, "b", second_buffer, b) < 0) {
        return nullptr;
    }
    HullWorkspace work;
    if (!work.reserve(std::max(a.count, b.count))) return PyErr_NoMemory();
    double on_a[3], on_b[3];
    const double distance = hull_distance_witnesses(a, b, limit, work, nullptr, on_a, on_b);
    return Py_BuildValue("(d(ddd)(ddd))", distance, on_a[0], on_a[1], on_a[2], on_b[0], on_b[1], on_b[2]);
}

PyMethodDef methods[] = {
    {"candidate_pairs", candidate_pairs, METH_VARARGS,
     "candidate_pairs(vertices, starts, threshold) -> bytearray\n\n"
     "Every pair (i < j) of cells whose vertex boxes are within threshold along every axis, as\n"
     "int32 pairs, sorted. Cell i owns vertices[starts[i]:starts[i + 1]]; vertices is (N, 3)\n"
     "float32, starts (n + 1,) int64, both C-contiguous."},
    {"close_pairs", close_pairs, METH_VARARGS,
     "close_pairs(vertices, starts, threshold) -> (bytearray, bytearray, int)\n\n"
     "The pairs of cells whose convex hulls are at most threshold apart (int32 pairs, sorted),\n"
     "their hull distances (float64) and the number of candidates measured. Arguments as for\n"
     "candidate_pairs."},
    {"pair_distance", pair_distance, METH_VARARGS,
     "pair_distance(a, b, limit) -> (float, (x, y, z), (x, y, z))\n\n"
     "The distance between the convex hulls of two cells' vertices ((k, 3) float32, C-contiguous)\n"
     "and a point of each hull that realises it (one point of both where they touch); beyond\n"
     "limit, a lower bound above it and two points at least that far apart."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "cellprox._hull",
    "The hull rule's kernels: candidate pairs by box and convex-hull distances, in native code.",
    0,
    methods,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace cellprox

PyMODINIT_FUNC PyInit__hull() { return PyModuleDef_Init(&cellprox::definition); }
