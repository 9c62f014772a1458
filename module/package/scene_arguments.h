// The scene the package hands to its private module: taken, checked and copied where another
// thread could change it while the lock is released.
#pragma once

#include "kernels/package/search/close_pairs.h"
#include "kernels/common/shared/plain_buffer.h"
#include "module/shared/buffer_guard.h"

namespace cellprox {

struct SceneArguments {
    BufferGuard vertices;     // (V, 3) float32: read in place, checked finite
    BufferGuard origins;      // (n, 3) float32
    BufferGuard collections;  // (n,) int32
    BufferGuard edges;        // (E, 2) int32: the kernels skip any edge naming a missing vertex
    // Copied, because safety rests on them: a change while the lock is released must not move
    // a read out of bounds.
    PlainBuffer<int64_t> vertex_starts;
    PlainBuffer<int64_t> edge_starts;
    SceneCells cells{};
};

// Takes the six arrays: vertices (V, 3) float32, vertex_starts (n + 1,) int64, edges (E, 2) int32
// numbered within their cell, edge_starts (n + 1,) int64, origins (n, 3) float32, collections
// (n,) int32. With `need_vertex` every cell must have a vertex. The checks run on up to `workers`
// threads with the lock released. Returns 0, or -1 with TypeError (a wrong array) or ValueError
// (a scene that cannot be measured) set. Without `check_edges` the edges' vertex numbers are left
// unread: the kernels skip an edge naming a vertex its cell lacks, so nothing unsafe follows, only
// no error for it (for callers that checked the same edges before).
int read_scene(PyObject* const arrays[6], bool need_vertex, int32_t workers, SceneArguments& scene,
               bool check_edges = true);

}  // namespace cellprox
