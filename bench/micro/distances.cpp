// Microbenchmarks of the narrow phase's distance work, per core: segment distances, vertex
// distances, and the whole vertex or edge test of one link between two cells.
// Each reports items_per_second, one item being one distance computed.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "kernels/common/distance/segment_distance.h"
#include "kernels/deliverable/narrow/neighbor_links.h"
#include "kernels/common/shared/cell.h"
#include "kernels/common/shared/vector_math.h"
#include "platform/loops/loop_frame.h"

using namespace cellprox;

namespace {

constexpr int kPoints = 4096;

std::vector<float> random_points(int count, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    std::vector<float> points(3 * static_cast<size_t>(count));
    for (float& x : points) x = unit(rng);
    return points;
}

void BM_SegmentDistance(benchmark::State& state) {
    // kPoints segments p_k - p_{k+1} against q_k - q_{k+1}: random lengths and directions.
    const std::vector<float> p = random_points(kPoints + 1, 1), q = random_points(kPoints + 1, 2);
    for (auto _ : state) {
        float sum = 0.0f;
        for (int k = 0; k < kPoints; ++k) {
            sum += dist3D_Segment_to_Segment(&p[3 * k], &p[3 * k + 3], &q[3 * k], &q[3 * k + 3]);
        }
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * kPoints);
}
BENCHMARK(BM_SegmentDistance);

void BM_VertexDistance(benchmark::State& state) {
    const std::vector<float> a = random_points(kPoints, 3), b = random_points(kPoints, 4);
    for (auto _ : state) {
        float sum = 0.0f;
        for (int k = 0; k < kPoints; ++k) sum += distance_between(&a[3 * k], &b[3 * k]);
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * kPoints);
}
BENCHMARK(BM_VertexDistance);

// Two cells whose vertices are random points of the same unit cube, linked once. The threshold
// is far below any of their vertex or edge distances, so every pair is computed (no early stop),
// and their boxes overlap, so no cheap rejection by extent applies.
struct CellPair {
    CellPair(int v_count, bool same_collection) {
        for (int c = 0; c < 2; ++c) {
            vertices[c] = random_points(v_count, 10 + c);
            // Edges of a Voronoi-like cell: about 1.5 per vertex, a ring and chords.
            for (int k = 0; k < v_count; ++k) {
                edges[c].insert(edges[c].end(), {k, (k + 1) % v_count});
                if (k % 2 == 0) edges[c].insert(edges[c].end(), {k, (k + v_count / 2) % v_count});
            }
        }
        link = 1;
        for (int c = 0; c < 2; ++c) {
            Cell& r = records[c];
            r = Cell{};
            r.index = c;
            r.coll_index = same_collection ? 0 : c;
            r.links_start = c == 0 ? 0 : -1;
            r.v_count = v_count;
            r.e_count = static_cast<int32_t>(edges[c].size() / 2);
            r.n_count = c == 0 ? 1 : 0;
            r.vertices = vertices[c].data();
            r.edges = edges[c].data();
            r.cell_links = c == 0 ? &link : nullptr;
        }
    }
    int64_t pairs(bool same_collection) const {
        return same_collection ? int64_t(records[0].v_count) * records[1].v_count
                               : int64_t(records[0].e_count) * records[1].e_count;
    }
    std::vector<float> vertices[2];
    std::vector<int32_t> edges[2];
    int32_t link;
    Cell records[2];
};

constexpr float NO_PAIR_THRESHOLD = 1e-9f;

void run_link_test(benchmark::State& state, bool same_collection) {
    const CellPair cells(static_cast<int>(state.range(0)), same_collection);
    const NeighborQuery query{reinterpret_cast<const char*>(cells.records), 2, 1, NO_PAIR_THRESHOLD};
    float result = 0.0f;
    for (auto _ : state) {
        compute_link_distances(query, &result, plain_loop_frame());
        benchmark::DoNotOptimize(result);
    }
    if (result != -1.0f) state.SkipWithError("a pair passed the threshold: not a full scan");
    state.SetItemsProcessed(state.iterations() * cells.pairs(same_collection));
}

void BM_VertexTest_CellPair(benchmark::State& state) { run_link_test(state, true); }
BENCHMARK(BM_VertexTest_CellPair)->Arg(8)->Arg(30);

void BM_EdgeTest_CellPair(benchmark::State& state) { run_link_test(state, false); }
BENCHMARK(BM_EdgeTest_CellPair)->Arg(8)->Arg(30);

}  // namespace

BENCHMARK_MAIN();
