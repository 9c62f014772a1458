// Owns what the package measures of each cell's run of vertices: bounds and means, over one
// array of points split into consecutive runs by per-cell counts.
#pragma once

#include <cstdint>

namespace cellprox {

// `point_rows` points of x, y, z (float32), split into `n` runs: run i holds counts[i] rows.
struct PointRuns {
    const float* points;
    int64_t point_rows;
    const int64_t* counts;
    int64_t n;
};

// Writes each run's lower and upper corner ((n, 3)) as numpy's minimum.reduceat and
// maximum.reduceat take them (of 0.0 and -0.0, the later one in the run); a run without points
// gets zeros. False when a count is negative or the counts do not add up to the points' rows:
// the runs before the first bad one are written.
bool run_bounds(const PointRuns& runs, float* lower, float* upper);

// Writes each run's mean ((n, 3)), summed in double in the points' order and rounded once to
// float; a run without points gets NaN. False as for run_bounds.
bool run_means(const PointRuns& runs, float* means);

}  // namespace cellprox
