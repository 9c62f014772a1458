// The hull rule over a whole scene: every pair of cells whose convex hulls lie within a threshold.
#pragma once

#include <cstdint>

#include "kernels/hull_buffer.h"
#include "kernels/hull_candidates.h"

namespace cellprox {

// Cells as one array of vertices: cell i owns points starts[i] .. starts[i + 1] - 1 of `xyz`
// (three floats each). Callers guarantee starts[0] == 0, at least one point per cell, and finite
// coordinates (check_hull_cells says whether they hold).
struct HullCells {
    const float* xyz;
    const int64_t* starts;   // count + 1 entries
    int32_t count;
};

enum class HullStatus { ok, out_of_memory };

// Why `cells` cannot be measured, or nullptr when it can: starts not rising from 0 with at least
// one point per cell, or a coordinate that is not finite. `point_count` is the length of xyz / 3.
const char* check_hull_cells(HullCells cells, int64_t point_count);

// The vertex bounds of every cell.
HullStatus hull_boxes(HullCells cells, HullBuffer<HullBox>& boxes);

// The candidates: every pair of cells whose vertex boxes are within `threshold` along every axis
// (the boxes widened by threshold / 2 overlap), as (first < second), sorted.
HullStatus hull_candidates(HullCells cells, double threshold, HullBuffer<HullPair>& pairs);

// The close pairs, sorted, with the distances between their hulls (`gaps`): every candidate whose
// hulls are at most `threshold` apart. `candidate_count` receives the number of candidates. With
// an OpenMP build and `use_team` the distances are measured on the team (pass false where the
// team cannot run, as in a child forked from a process that used it); the result is the same.
HullStatus hull_close_pairs(HullCells cells, double threshold, HullBuffer<HullPair>& pairs,
                            HullBuffer<double>& gaps, int64_t& candidate_count, bool use_team = true);

}  // namespace cellprox
