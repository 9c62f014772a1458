// Bounds and means of consecutive runs of points, with the counts checked as they are used.
#include "kernels/package/cells/point_runs.h"

namespace cellprox {

namespace {

// Minimum and maximum as numpy's minimum and maximum reduce, so that ties between 0.0 and -0.0
// resolve the same way: the running value stays only if strictly smaller (larger).
inline float keep_min(float running, float value) { return running < value ? running : value; }
inline float keep_max(float running, float value) { return running > value ? running : value; }

// Runs f(first_point, rows, i) over the runs in order; false as soon as a count is negative or
// passes the points left, or when the counts leave points over.
template <typename RunFunction>
bool for_each_run(const PointRuns& runs, RunFunction f) {
    int64_t remaining = runs.point_rows;
    const float* point = runs.points;
    for (int64_t i = 0; i < runs.n; ++i) {
        const int64_t rows = runs.counts[i];
        if (rows < 0 || rows > remaining) return false;
        remaining -= rows;
        f(point, rows, i);
        point += 3 * rows;
    }
    return remaining == 0;
}

}  // namespace

bool run_bounds(const PointRuns& runs, float* lower, float* upper) {
    return for_each_run(runs, [lower, upper](const float* point, int64_t rows, int64_t i) {
        float* l = lower + 3 * i;
        float* h = upper + 3 * i;
        if (rows == 0) {
            l[0] = l[1] = l[2] = h[0] = h[1] = h[2] = 0.0f;
            return;
        }
        for (int a = 0; a < 3; ++a) l[a] = h[a] = point[a];
        for (int64_t r = 1; r < rows; ++r) {
            for (int a = 0; a < 3; ++a) {
                l[a] = keep_min(l[a], point[3 * r + a]);
                h[a] = keep_max(h[a], point[3 * r + a]);
            }
        }
    });
}

bool run_means(const PointRuns& runs, float* means) {
    return for_each_run(runs, [means](const float* point, int64_t rows, int64_t i) {
        double sum[3] = {0.0, 0.0, 0.0};
        for (int64_t r = 0; r < rows; ++r) {
            for (int a = 0; a < 3; ++a) sum[a] += point[3 * r + a];
        }
        for (int a = 0; a < 3; ++a) means[3 * i + a] = static_cast<float>(sum[a] / static_cast<double>(rows));
    });
}

}  // namespace cellprox
