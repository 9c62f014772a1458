// Owns the checked copies of a cell set's per-cell numbers: each cell's row count from its
// offsets, its origin as float32 and its collection as int32. Each reads the caller's array in
// any common type and layout and converts and checks it in the same pass, on the thread team, in
// pieces whose bounds depend on the sizes alone (so the output is the same for any worker
// count). They only detect what is wrong; the package names the cell at fault with its own checks.
#pragma once

#include <cstdint>

#include "kernels/package/cells/number_types.h"

namespace cellprox {

// Compressed-sparse-row offsets (a column of n + 1 numbers: cell i owns rows offsets[i] to
// offsets[i + 1] - 1) as each cell's row count. True when they start at 0, never fall, rise by
// at most `limit` for any cell and end at `rows`; then `counts` (n) holds the counts. False
// otherwise, with `counts` partly written. Each offset is compared as given, before a conversion
// could wrap it.
bool offset_counts(const StridedRows& offsets, IndexType type, int64_t rows, int64_t limit, int64_t* counts,
                   int32_t workers);

// Rows of `width` real numbers as packed float32 rows in `out` (rounded as numpy's astype rounds
// them). True when every one is finite in float32 (a double beyond its range is not).
bool float32_rows(const StridedRows& rows, int64_t width, RealType type, float* out, int32_t workers);

// A column of integers as int32 in `out`. True when every one fits int32 as given.
bool int32_column(const StridedRows& column, IndexType type, int32_t* out, int32_t workers);

}  // namespace cellprox
