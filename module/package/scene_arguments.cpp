// Taking the package's scene: its arrays checked, and copied where the lock is released.
#include "module/package/scene_arguments.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/loops/interpreter_lock.h"
#include "platform/loops/thread_team.h"

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

// Cells to a piece of the checks on the team.
constexpr int32_t CHECK_PIECE = 16384;

// The first fault of starts[first .. last] (entries, not cells), or null.
const char* starts_fault(const int64_t* starts, int64_t first, int64_t last, bool need_one) {
    for (int64_t i = std::max<int64_t>(first, 1); i <= last; ++i) {
        const int64_t count = starts[i] - starts[i - 1];
        if (count < 0) return "starts must not fall";
        if (count > INT32_MAX) return "a cell has more than 2^31 elements";
        if (need_one && count == 0) return "a cell has no vertices";
    }
    return nullptr;
}

// The fault of the piece whose fault comes first, or null: what one pass over all of them in
// order would have met first.
const char* first_fault(const PlainBuffer<const char*>& faults) {
    for (size_t k = 0; k < faults.size(); ++k) {
        if (faults[k] != nullptr) return faults[k];
    }
    return nullptr;
}

const char* check_starts(const PlainBuffer<int64_t>& starts, int64_t total, bool need_one, int32_t workers) {
    if (starts[0] != 0) return "starts must begin at 0";
    const int64_t last = static_cast<int64_t>(starts.size()) - 1;
    PlainBuffer<const char*> faults;
    if (!faults.resize(static_cast<size_t>(last / CHECK_PIECE + 1))) return "there is no memory to check the starts";
    auto piece = [&](int32_t k) {
        faults[static_cast<size_t>(k)] = starts_fault(starts.data(), int64_t(k) * CHECK_PIECE,
                                                      std::min(last, (int64_t(k) + 1) * CHECK_PIECE), need_one);
    };
    for_each_piece(workers, static_cast<int32_t>(faults.size()), piece);
    if (const char* fault = first_fault(faults)) return fault;
    if (starts[static_cast<size_t>(last)] != total) return "the last start must be the number of rows";
    return nullptr;
}

bool all_finite(const float* values, int64_t count) {
    for (int64_t k = 0; k < count; ++k) {
        if (!std::isfinite(values[k])) return false;
    }
    return true;
}

// The first fault of cells first .. last - 1, whose starts are sound.
const char* cells_fault(const SceneCells& cells, int32_t first, int32_t last, bool edges) {
    const int64_t v0 = cells.vertex_starts[first], v1 = cells.vertex_starts[last];
    if (!all_finite(cells.xyz + 3 * v0, 3 * (v1 - v0))) return "a vertex coordinate is not finite";
    if (!all_finite(cells.origins + 3 * static_cast<int64_t>(first), 3 * static_cast<int64_t>(last - first))) {
        return "an origin is not finite";
    }
    for (int32_t i = first; i < last && edges; ++i) {
        const int64_t v_count = cells.vertex_starts[i + 1] - cells.vertex_starts[i];
        for (int64_t k = 2 * cells.edge_starts[i]; k < 2 * cells.edge_starts[i + 1]; ++k) {
            if (cells.edges[k] < 0 || cells.edges[k] >= v_count) return "an edge names a vertex its cell does not have";
        }
    }
    return nullptr;
}

// Why the taken scene cannot be measured, or null; the same answer on any team.
const char* check_scene(const SceneArguments& scene, int64_t vertex_rows, int64_t edge_rows, bool need_vertex,
                        bool edges, int32_t workers) {
    const char* fault = check_starts(scene.vertex_starts, vertex_rows, need_vertex, workers);
    if (fault != nullptr) return fault;
    if ((fault = check_starts(scene.edge_starts, edge_rows, false, workers)) != nullptr) return fault;
    // The kinds in the order one pass over every vertex, then every origin, then every edge
    // would meet them.
    const SceneCells& cells = scene.cells;
    PlainBuffer<const char*> faults;
    if (!faults.resize(static_cast<size_t>(cells.count / CHECK_PIECE + 1))) return "there is no memory to check the cells";
    auto piece = [&](int32_t k) {
        faults[static_cast<size_t>(k)] =
            cells_fault(cells, k * CHECK_PIECE, std::min(cells.count, (k + 1) * CHECK_PIECE), edges);
    };
    for_each_piece(workers, static_cast<int32_t>(faults.size()), piece);
    static const char* const kinds[] = {"a vertex coordinate is not finite", "an origin is not finite",
                                        "an edge names a vertex its cell does not have"};
    for (const char* kind : kinds) {
        for (size_t k = 0; k < faults.size(); ++k) {
            if (faults[k] == kind) return kind;
        }
    }
    return nullptr;
}

}  // namespace

int read_scene(PyObject* const arrays[6], bool need_vertex, int32_t workers, SceneArguments& scene, bool check_edges) {
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
        fault = check_scene(scene, v.shape[0], e.shape[0], need_vertex, check_edges, workers);
    }
    if (fault != nullptr) {
        PyErr_Format(PyExc_ValueError, "the cells cannot be measured: %s", fault);
        return -1;
    }
    return 0;
}

}  // namespace cellprox
