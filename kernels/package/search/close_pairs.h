// The package's whole search for close cells, for either rule: every pair of cells whose vertex
// boxes come within the threshold along every axis is a candidate (box_tree.h), and every
// candidate is measured (the exact vertices-and-edges rule, or the distance between convex
// hulls). Nothing is capped or dropped, and no frame is shifted or scaled: boxes and candidates
// are decided in double, so cells elsewhere in the scene change nothing about a pair.
#pragma once

#include <cstdint>

#include "kernels/common/shared/plain_buffer.h"
#include "kernels/common/shared/vertex_box.h"
#include "platform/loops/work_watch.h"

namespace cellprox {

// A scene as the package hands it over. Cell i owns vertices vertex_starts[i] ..
// vertex_starts[i + 1] - 1 of `xyz` (three floats each) and edges edge_starts[i] .. of `edges`
// (two vertex numbers each, counted within the cell). The caller has checked that the starts
// rise from 0, that coordinates and origins are finite and that every edge names vertices of
// its own cell; for the hull rule, that every cell has a vertex.
struct SceneCells {
    const float* xyz;
    const int64_t* vertex_starts;   // count + 1 entries
    const int32_t* edges;
    const int64_t* edge_starts;     // count + 1 entries
    const float* origins;           // three floats per cell
    const int32_t* collections;     // one per cell
    int32_t count;
};

enum class ProximityRule { vertices_edges, hull };

struct ProximityQuery {
    ProximityRule rule;
    double threshold;     // vertices and edges: strictly closer; hull: at most this far apart
    bool witnesses;       // hull rule: also a point of each hull that realises the gap
};

struct ClosePair {
    int32_t first;        // first < second, the caller's cell numbers
    int32_t second;
    int64_t detail;       // hull rule: where the pair's gap (and witnesses) were kept while searching
};

// Seconds of each stage. The candidate search and the measuring run interleaved, block by
// block: they share their wall time in proportion to the thread time each took.
struct ProximityTimes {
    double tree = 0.0;        // the cells' boxes and the box tree
    double candidates = 0.0;
    double measure = 0.0;
    double collect = 0.0;     // sorting the pairs, and their origin distances
};

// The buffers the pairs pass through (StreamBuffer), written and read front to back, ask for no
// large pages: what they saved in page faults, a process's first search of 8,000,000 cubes paid
// several times over in system time, the system compacting memory to find the pages
// (bench/cores.py). The tree and the cells' views, read at random, keep the advice.
struct ProximityResult {
    StreamBuffer<ClosePair> pairs;   // sorted by first cell, then second
    StreamBuffer<float> distances;   // per pair: between the two cells' origins, computed in double
    StreamBuffer<double> gaps;       // hull rule, per pair: the distance between the hulls
    StreamBuffer<double> witnesses;  // six per pair with witnesses: on the first cell's hull, then the second's
    int64_t candidates = 0;       // with ProximityStatus::out_of_memory: those measured until then
    int64_t pairs_held = 0;       // with ProximityStatus::out_of_memory: the close pairs then held
    ProximityTimes seconds;
    // With ProximityStatus::origin_overflow, the pair whose origin distance float cannot hold.
    int32_t overflow_first = -1;
    int32_t overflow_second = -1;
    double overflow_distance = 0.0;
};

enum class ProximityStatus { ok, out_of_memory, stopped, origin_overflow };

// Finds every close pair, on up to `workers` threads of the package's team (thread_team.h; the
// interpreter lock, if any, already released by the caller), asking `watch` between blocks of
// cells whether to go on. Every stage cuts its work into pieces that do not depend on
// `workers`, so the result is the same, bit for bit, for any count.
ProximityStatus find_close_pairs(const SceneCells& cells, const ProximityQuery& query, int32_t workers,
                                 const WorkWatch* watch, ProximityResult& result);

// Cell i's vertex box, as the search takes it (a cell without vertices: lo infinite, hi -infinite).
VertexBox vertex_box(const SceneCells& cells, int32_t i);

// Each of `result.pairs`' origin distance, in double, stored as float in `result.distances` (sized
// by the caller); false for the first pair whose distance float cannot hold, named in `result`.
bool origin_distances(const SceneCells& cells, int32_t workers, ProximityResult& result);

// Where the caller wants a finished result: the pairs as two int32 each (first, second), the
// distances, and for the hull rule the gaps and (with witnesses) six doubles a pair; null for a
// column not asked.
struct ResultColumns {
    int32_t* pairs;
    float* distances;
    double* gaps;
    double* witnesses;
};

// Copies a finished result into `columns` on up to `workers` threads.
void write_result_columns(const ProximityResult& result, const ResultColumns& columns, int32_t workers);

}  // namespace cellprox
