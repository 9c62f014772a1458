// Scenes of boxes for the package's search tests, as the package hands cells over.
#pragma once

#include <cstdint>
#include <vector>

#include "kernels/common/distance/close_plumbing.h"
#include "kernels/package/search/close_pairs.h"

namespace cellprox {

// Cells as the package hands them over, boxes (8 corners, 12 edges) added one at a time.
struct TestScene {
    std::vector<float> xyz;
    std::vector<int64_t> vertex_starts{0};
    std::vector<int32_t> edges;
    std::vector<int64_t> edge_starts{0};
    std::vector<float> origins;
    std::vector<int32_t> collections;

    void add_box(const float* lo, const float* size, int32_t collection) {
        for (int c = 0; c < 8; ++c) {
            for (int k = 0; k < 3; ++k) xyz.push_back(lo[k] + (c >> k & 1 ? size[k] : 0.0f));
        }
        for (int c = 0; c < 8; ++c) {
            for (int k = 0; k < 3; ++k) {
                if (!(c >> k & 1)) edges.insert(edges.end(), {c, c | 1 << k});
            }
        }
        vertex_starts.push_back(static_cast<int64_t>(xyz.size() / 3));
        edge_starts.push_back(static_cast<int64_t>(edges.size() / 2));
        for (int k = 0; k < 3; ++k) origins.push_back(lo[k] + size[k] / 2);
        collections.push_back(collection);
    }
    SceneCells view() const {
        return {xyz.data(), vertex_starts.data(), edges.data(), edge_starts.data(), origins.data(),
                collections.data(), static_cast<int32_t>(collections.size())};
    }
    int32_t count() const { return static_cast<int32_t>(collections.size()); }
    // Moves cell i by `by`, its origin too.
    void move(int32_t i, const float* by) {
        for (int64_t v = vertex_starts[size_t(i)]; v < vertex_starts[size_t(i) + 1]; ++v) {
            for (int k = 0; k < 3; ++k) xyz[3 * size_t(v) + size_t(k)] += by[k];
        }
        for (int k = 0; k < 3; ++k) origins[3 * size_t(i) + size_t(k)] += by[k];
    }
    CellView cell(int32_t i) const {
        const int64_t v = vertex_starts[static_cast<size_t>(i)], e = edge_starts[static_cast<size_t>(i)];
        return {xyz.data() + 3 * v, edges.data() + 2 * e, static_cast<int32_t>(vertex_starts[static_cast<size_t>(i) + 1] - v),
                static_cast<int32_t>(edge_starts[static_cast<size_t>(i) + 1] - e), collections[static_cast<size_t>(i)]};
    }
};

}  // namespace cellprox
