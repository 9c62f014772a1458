// The checked copies of per-cell numbers: one pass over pieces of a fixed size, each converting,
// checking and writing its own part of the output.
#include "kernels/package/cells/number_columns.h"

#include <algorithm>
#include <atomic>

#include "platform/loops/thread_team.h"

namespace cellprox {

namespace {

// Numbers per piece: a fixed count, so that a piece's bounds never depend on the workers.
constexpr int64_t NUMBERS_PER_PIECE = 65536;

// Runs check(begin, end) over pieces of `items` (each `per_piece` long but the last) on the
// team; true when every piece's check is.
template <class Check>
bool all_pieces_pass(int64_t items, int64_t per_piece, int32_t workers, Check& check) {
    const int64_t pieces = (items + per_piece - 1) / per_piece;
    if (pieces > INT32_MAX) return false;
    std::atomic<int> failed{0};
    auto piece = [&](int32_t k) {
        const int64_t begin = k * per_piece, end = std::min(items, begin + per_piece);
        if (!check(begin, end)) failed.store(1, std::memory_order_relaxed);
    };
    for_each_piece(workers, static_cast<int32_t>(pieces), piece);
    return failed.load() == 0;
}

// Cells [begin, end)'s counts. Each step is taken in unsigned arithmetic, where a fall (and so
// any negative offset, or a uint64 one beyond int64) is a huge step; with the first offset 0, the
// last `rows` and no step beyond `limit`, every offset lies in 0 .. rows, and converts exactly.
template <class T, bool Packed>
bool offset_piece(const StridedRows& offsets, int64_t limit, int64_t* counts, int64_t begin, int64_t end) {
    const Source<T, Packed> source = source_of<T, Packed>(offsets);
    int valid = 1;
    for (int64_t i = begin; i < end; ++i) {
        const uint64_t step = static_cast<uint64_t>(source.at(i + 1, 1, 0)) - static_cast<uint64_t>(source.at(i, 1, 0));
        valid &= step <= static_cast<uint64_t>(limit);
        counts[i] = static_cast<int64_t>(step);
    }
    return valid != 0;
}

template <class T, bool Packed>
bool float32_piece(const StridedRows& rows, int64_t width, float* out, int64_t begin, int64_t end) {
    const Source<T, Packed> source = source_of<T, Packed>(rows);
    int finite = 1;
    if (Packed) {
        for (int64_t k = begin * width; k < end * width; ++k) {
            const float value = static_cast<float>(source.at(0, 0, k));
            finite &= finite_float(value);
            out[k] = value;
        }
    } else {
        for (int64_t r = begin; r < end; ++r) {
            for (int64_t a = 0; a < width; ++a) {
                const float value = static_cast<float>(source.at(r, width, a));
                finite &= finite_float(value);
                out[r * width + a] = value;
            }
        }
    }
    return finite != 0;
}

template <class T, bool Packed>
bool int32_piece(const StridedRows& column, int32_t* out, int64_t begin, int64_t end) {
    const Source<T, Packed> source = source_of<T, Packed>(column);
    int fits = 1;
    for (int64_t i = begin; i < end; ++i) {
        const T value = source.at(i, 1, 0);
        fits &= fits_int32(value);
        out[i] = static_cast<int32_t>(value);
    }
    return fits != 0;
}

}  // namespace

bool offset_counts(const StridedRows& offsets, IndexType type, int64_t rows, int64_t limit, int64_t* counts,
                   int32_t workers) {
    const int64_t n = offsets.rows - 1;
    if (n < 0 || n > INT32_MAX || rows < 0 || limit < 0) return false;
    return with_index_type(type, [&](auto number) {
        using T = decltype(number);
        const Source<T, false> ends = source_of<T, false>(offsets);
        if (ends.at(0, 1, 0) != 0 || static_cast<uint64_t>(ends.at(n, 1, 0)) != static_cast<uint64_t>(rows)) {
            return false;
        }
        const bool is_packed = packed<T>(offsets, 1);
        auto check = [&](int64_t begin, int64_t end) {
            return is_packed ? offset_piece<T, true>(offsets, limit, counts, begin, end)
                             : offset_piece<T, false>(offsets, limit, counts, begin, end);
        };
        return all_pieces_pass(n, NUMBERS_PER_PIECE, workers, check);
    });
}

bool float32_rows(const StridedRows& rows, int64_t width, RealType type, float* out, int32_t workers) {
    if (width < 1) return false;
    return with_real_type(type, [&](auto number) {
        using T = decltype(number);
        const bool is_packed = packed<T>(rows, width);
        auto check = [&](int64_t begin, int64_t end) {
            return is_packed ? float32_piece<T, true>(rows, width, out, begin, end)
                             : float32_piece<T, false>(rows, width, out, begin, end);
        };
        return all_pieces_pass(rows.rows, std::max<int64_t>(1, NUMBERS_PER_PIECE / width), workers, check);
    });
}

bool int32_column(const StridedRows& column, IndexType type, int32_t* out, int32_t workers) {
    return with_index_type(type, [&](auto number) {
        using T = decltype(number);
        const bool is_packed = packed<T>(column, 1);
        auto check = [&](int64_t begin, int64_t end) {
            return is_packed ? int32_piece<T, true>(column, out, begin, end)
                             : int32_piece<T, false>(column, out, begin, end);
        };
        return all_pieces_pass(column.rows, NUMBERS_PER_PIECE, workers, check);
    });
}

}  // namespace cellprox
