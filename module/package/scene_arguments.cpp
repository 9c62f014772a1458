// Taking the package's scene: its arrays checked, and copied where the lock is released.
#include "module/package/scene_arguments.h"

#include <cmath>
#include <cstring>

#include "platform/loops/interpreter_lock.h"

namespace cellprox {

namespace {

// Copies `object`, a (count,) int64 array, into `out`. Returns 0, or -1 with the error set.
int copy_starts(PyObject* object, const char* name, PlainBuffer<int64_t>& out) {
    BufferGuard guard;
    if (!take_number_array(guard, object, name, 1, 'i', 8)) return -1;
    const Py_ssize_t entries = guard.view().shape[0];
    if (entries < 1 || entries - 1 > INT32_MAX) {
        PyErr_Format(PyExc_ValueError, "%s must hold 1 to 2^31 entries (cells + 1)", name);
        return -1;
    }
    if (!out.resize(static_cast<size_t>(entries))) {
        PyErr_Format(PyExc_MemoryError, "no memory for a copy of %s (%zd entries)", name, entries);
        return -1;
    }
    std::memcpy(out.data(), guard.view().buf, static_cast<size_t>(entries) * sizeof(int64_t));
    return 0;
}

const char* check_starts(const PlainBuffer<int64_t>& starts, int64_t total, bool need_one) {
    if (starts[0] != 0) return "starts must begin at 0";
    for (size_t i = 1; i < starts.size(); ++i) {
        const int64_t count = starts[i] - starts[i - 1];
        if (count < 0) return "starts must not fall";
        if (count > INT32_MAX) return "a cell has more than 2^31 elements";
        if (need_one && count == 0) return "a cell has no vertices";
    }
    if (starts[starts.size() - 1] != total) return "the last start must be the number of rows";
    return nullptr;
}

bool all_finite(const float* values, int64_t count) {
    for (int64_t k = 0; k < count; ++k) {
        if (!std::isfinite(values[k])) return false;
    }
    return true;
}

// Why the taken scene cannot be measured, or null.
const char* check_scene(const SceneArguments& scene, int64_t vertex_rows, int64_t edge_rows, bool need_vertex) {
    const char* fault = check_starts(scene.vertex_starts, vertex_rows, need_vertex);
    if (fault != nullptr) return fault;
    if ((fault = check_starts(scene.edge_starts, edge_rows, false)) != nullptr) return fault;
    const SceneCells& cells = scene.cells;
    if (!all_finite(cells.xyz, 3 * vertex_rows)) return "a vertex coordinate is not finite";
    if (!all_finite(cells.origins, 3 * static_cast<int64_t>(cells.count))) return "an origin is not finite";
    for (int32_t i = 0; i < cells.count; ++i) {
        const int64_t v_count = cells.vertex_starts[i + 1] - cells.vertex_starts[i];
        for (int64_t k = 2 * cells.edge_starts[i]; k < 2 * cells.edge_starts[i + 1]; ++k) {
            if (cells.edges[k] < 0 || cells.edges[k] >= v_count) return "an edge names a vertex its cell does not have";
        }
    }
    return nullptr;
}

}  // namespace

int read_scene(PyObject* const arrays[6], bool need_vertex, SceneArguments& scene) {
    BufferGuard& edges = scene.edges;
    if (!take_number_array(scene.vertices, arrays[0], "vertices", 2, 'f', 4) ||
        copy_starts(arrays[1], "vertex_starts", scene.vertex_starts) < 0 ||
        !take_number_array(edges, arrays[2], "edges", 2, 'i', 4) ||
        copy_starts(arrays[3], "edge_starts", scene.edge_starts) < 0 ||
        !take_number_array(scene.origins, arrays[4], "origins", 2, 'f', 4) ||
        !take_number_array(scene.collections, arrays[5], "collections", 1, 'i', 4)) {
        return -1;
    }
    const Py_ssize_t n = static_cast<Py_ssize_t>(scene.vertex_starts.size()) - 1;
    const Py_buffer &v = scene.vertices.view(), &e = edges.view();
    if (v.shape[1] != 3 || e.shape[1] != 2 || scene.origins.view().shape[0] != n ||
        scene.origins.view().shape[1] != 3 || scene.collections.view().shape[0] != n ||
        static_cast<Py_ssize_t>(scene.edge_starts.size()) - 1 != n) {
        PyErr_SetString(PyExc_ValueError,
                        "the cells cannot be measured: vertices must be (V, 3), edges (E, 2), origins (n, 3), "
                        "collections (n,) and both starts (n + 1,)");
        return -1;
    }
    scene.cells = {static_cast<const float*>(v.buf), scene.vertex_starts.data(), static_cast<const int32_t*>(e.buf),
                   scene.edge_starts.data(), static_cast<const float*>(scene.origins.view().buf),
                   static_cast<const int32_t*>(scene.collections.view().buf), static_cast<int32_t>(n)};
    const char* fault = nullptr;
    {
        LockReleased released;
        fault = check_scene(scene, v.shape[0], e.shape[0], need_vertex);
    }
    if (fault != nullptr) {
        PyErr_Format(PyExc_ValueError, "the cells cannot be measured: %s", fault);
        return -1;
    }
    return 0;
}

}  // namespace cellprox
