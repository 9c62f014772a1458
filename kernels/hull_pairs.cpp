#include "kernels/hull_pairs.h"

#include <xmmintrin.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "kernels/hull_distance.h"
#include "kernels/hull_locality.h"

namespace cellprox {

namespace {

// Puts the pairs in order of their first cell, then of their second: a counting pass over the
// first cells (linear), then each cell's short run sorted.
template <typename Pair>
bool sort_pairs(HullBuffer<Pair>& pairs, int32_t cell_count) {
    HullBuffer<size_t> offsets;
    HullBuffer<Pair> sorted;
    if (!offsets.resize(static_cast<size_t>(cell_count) + 1) || !sorted.resize(pairs.size())) return false;
    std::fill(offsets.data(), offsets.data() + offsets.size(), size_t(0));
    for (size_t k = 0; k < pairs.size(); ++k) ++offsets[static_cast<size_t>(pairs[k].first) + 1];
    for (size_t i = 1; i < offsets.size(); ++i) offsets[i] += offsets[i - 1];
    for (size_t k = 0; k < pairs.size(); ++k) sorted[offsets[static_cast<size_t>(pairs[k].first)]++] = pairs[k];
    size_t start = 0;
    for (size_t i = 0; i < static_cast<size_t>(cell_count); ++i) {
        const size_t end = offsets[i];   // each offset has moved on to the start of the next run
        std::sort(sorted.data() + start, sorted.data() + end,
                  [](const Pair& a, const Pair& b) { return a.second < b.second; });
        start = end;
    }
    std::memcpy(pairs.data(), sorted.data(), pairs.size() * sizeof(Pair));
    return true;
}

// A close pair in the caller's numbering, with its distance.
struct MeasuredPair {
    int32_t first;
    int32_t second;
    double gap;
};

inline HullPoints points_of(HullCells cells, int32_t i) {
    const int64_t start = cells.starts[i];
    return {cells.xyz + 3 * start, static_cast<int32_t>(cells.starts[i + 1] - start)};
}

// From the centre of b's box to the centre of a's: where the search starts.
inline void centre_to_centre(const HullBox& a, const HullBox& b, double toward_a[3]) {
    for (int axis = 0; axis < 3; ++axis) {
        toward_a[axis] = 0.5 * ((a.lower[axis] + a.upper[axis]) - (b.lower[axis] + b.upper[axis]));
    }
}

// Measures candidates begin .. end-1: gaps[k] is the distance of pair k, or a value above the
// threshold.
void measure_range(HullCells cells, const HullBox* boxes, double threshold, const HullPair* pairs,
                   int64_t begin, int64_t end, double* gaps, HullWorkspace& work) {
    for (int64_t k = begin; k < end; ++k) {
        // The second cells are scattered in memory: ask for one a few pairs ahead.
        if (k + 4 < end) {
            const HullPoints ahead = points_of(cells, pairs[k + 4].second);
            for (int32_t line = 0; line < ahead.count * 12; line += 64) {
                _mm_prefetch(reinterpret_cast<const char*>(ahead.xyz) + line, _MM_HINT_T0);
            }
        }
        double toward_first[3];
        centre_to_centre(boxes[pairs[k].first], boxes[pairs[k].second], toward_first);
        gaps[k] = hull_distance(points_of(cells, pairs[k].first), points_of(cells, pairs[k].second),
                                threshold, work, toward_first);
    }
}

// Measures every candidate, on the OpenMP team when there is one and `use_team`; each thread has
// its own workspace. False when one cannot have it.
bool measure(HullCells cells, const HullBox* boxes, double threshold, const HullPair* pairs, int64_t count,
             double* gaps, bool use_team) {
    int32_t largest = 1;
    for (int32_t i = 0; i < cells.count; ++i) {
        largest = std::max(largest, static_cast<int32_t>(cells.starts[i + 1] - cells.starts[i]));
    }
    bool complete = true;
#ifdef _OPENMP
    if (use_team) {
        constexpr int64_t CHUNK = 512;
#pragma omp parallel reduction(&& : complete)
        {
            HullWorkspace work;
            complete = work.reserve(largest);
#pragma omp for schedule(dynamic, 1)
            for (int64_t chunk = 0; chunk < (count + CHUNK - 1) / CHUNK; ++chunk) {
                if (complete) {
                    measure_range(cells, boxes, threshold, pairs, chunk * CHUNK,
                                  std::min(count, (chunk + 1) * CHUNK), gaps, work);
                }
            }
        }
        return complete;
    }
#else
    (void)use_team;
#endif
    HullWorkspace work;
    complete = work.reserve(largest);
    if (complete) measure_range(cells, boxes, threshold, pairs, 0, count, gaps, work);
    return complete;
}

}  // namespace

const char* check_hull_cells(HullCells cells, int64_t point_count) {
    if (cells.count < 0) return "the cell count is negative";
    if (cells.starts[0] != 0) return "starts[0] is not 0";
    for (int32_t i = 0; i < cells.count; ++i) {
        if (!(cells.starts[i + 1] > cells.starts[i])) return "a cell has no vertices (starts must rise)";
        if (cells.starts[i + 1] - cells.starts[i] > INT32_MAX) return "a cell has over 2^31 vertices";
    }
    if (cells.starts[cells.count] != point_count) return "the last start is not the number of vertices";
    for (int64_t k = 0; k < 3 * point_count; ++k) {
        if (!std::isfinite(cells.xyz[k])) return "a vertex coordinate is not finite";
    }
    return nullptr;
}

HullStatus hull_boxes(HullCells cells, HullBuffer<HullBox>& boxes) {
    if (!boxes.resize(static_cast<size_t>(cells.count))) return HullStatus::out_of_memory;
    for (int32_t i = 0; i < cells.count; ++i) {
        const HullPoints points = points_of(cells, i);
        HullBox& box = boxes[static_cast<size_t>(i)];
        for (int axis = 0; axis < 3; ++axis) box.lower[axis] = box.upper[axis] = points.xyz[axis];
        for (int32_t v = 1; v < points.count; ++v) {
            for (int axis = 0; axis < 3; ++axis) {
                const double x = points.xyz[3 * v + axis];
                box.lower[axis] = std::min(box.lower[axis], x);
                box.upper[axis] = std::max(box.upper[axis], x);
            }
        }
    }
    return HullStatus::ok;
}

HullStatus hull_candidates(HullCells cells, double threshold, HullBuffer<HullPair>& pairs) {
    HullBuffer<HullBox> boxes;
    if (hull_boxes(cells, boxes) != HullStatus::ok ||
        !candidate_pairs(boxes.data(), cells.count, threshold, pairs) ||
        !sort_pairs(pairs, cells.count)) {
        return HullStatus::out_of_memory;
    }
    return HullStatus::ok;
}

HullStatus hull_close_pairs(HullCells cells, double threshold, HullBuffer<HullPair>& pairs,
                            HullBuffer<double>& gaps, int64_t& candidate_count, bool use_team) {
    HullBuffer<HullBox> boxes;
    HullLocalCells local;
    if (hull_boxes(cells, boxes) != HullStatus::ok ||
        !arrange_locally(cells.xyz, cells.starts, boxes.data(), cells.count, local)) {
        return HullStatus::out_of_memory;
    }
    const HullCells arranged = {local.xyz.data(), local.starts.data(), cells.count};
    HullBuffer<HullPair> candidates;
    if (!candidate_pairs(local.boxes.data(), cells.count, threshold, candidates) ||
        !sort_pairs(candidates, cells.count)) {
        return HullStatus::out_of_memory;
    }
    const size_t count = candidates.size();
    candidate_count = static_cast<int64_t>(count);
    HullBuffer<double> measured;
    if (!measured.resize(count) ||
        !measure(arranged, local.boxes.data(), threshold, candidates.data(), static_cast<int64_t>(count),
                 measured.data(), use_team)) {
        return HullStatus::out_of_memory;
    }

    HullBuffer<MeasuredPair> close;
    for (size_t k = 0; k < count; ++k) {
        if (!(measured[k] <= threshold)) continue;
        const int32_t i = local.original[static_cast<size_t>(candidates[k].first)];
        const int32_t j = local.original[static_cast<size_t>(candidates[k].second)];
        if (!close.push_back({std::min(i, j), std::max(i, j), measured[k]})) return HullStatus::out_of_memory;
    }
    if (!sort_pairs(close, cells.count) || !pairs.resize(close.size()) || !gaps.resize(close.size())) {
        return HullStatus::out_of_memory;
    }
    for (size_t k = 0; k < close.size(); ++k) {
        pairs[k] = {close[k].first, close[k].second};
        gaps[k] = close[k].gap;
    }
    return HullStatus::ok;
}

}  // namespace cellprox
