// The number types a cell set's arrays come in, and the reads of them as their exporter lays
// them out. The kernels of this folder convert while they check, reading the caller's own array
// of whatever common type it is, so that no array is first copied into another type.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

namespace cellprox {

// The number types vertices and origins may come in.
enum class RealType : uint8_t { float32, float64 };
// The number types edges, offsets and collections may come in.
enum class IndexType : uint8_t { int32, int64, uint32, uint64 };

// `rows` rows of numbers as their exporter lays them out: strides in bytes. A column is rows of
// one number; a row stride of 0 repeats the first row, as numpy broadcasts.
struct StridedRows {
    const char* data;
    int64_t rows;
    int64_t row_stride;
    int64_t item_stride;
};

// A number of a row: the exporter's strides, or the packed ones known at compile time (which
// the compiler turns into plain loads it can vectorise). memcpy: exporters need not align.
template <class T, bool Packed>
struct Source {
    const char* data;
    int64_t row_stride;
    int64_t item_stride;

    T at(int64_t row, int64_t width, int64_t item) const {
        const char* place = Packed ? data + (row * width + item) * static_cast<int64_t>(sizeof(T))
                                   : data + row * row_stride + item * item_stride;
        T value;
        std::memcpy(&value, place, sizeof value);
        return value;
    }
};

template <class T, bool Packed>
Source<T, Packed> source_of(const StridedRows& rows) {
    return {rows.data, rows.row_stride, rows.item_stride};
}

// Whether rows of `width` numbers of T lie back to back (a single row needs no row stride).
template <class T>
bool packed(const StridedRows& rows, int64_t width) {
    return (width == 1 || rows.item_stride == static_cast<int64_t>(sizeof(T))) &&
           (rows.rows <= 1 || rows.row_stride == width * static_cast<int64_t>(sizeof(T)));
}

// Whether a float is finite, in a form the compiler vectorises (NaN compares false).
inline int finite_float(float value) { return std::fabs(value) <= std::numeric_limits<float>::max(); }

// Whether an integer of any of the index types fits int32, decided in unsigned arithmetic that
// cannot overflow (shifted by 2**31, the signed range is 0 .. 2**32 - 1).
template <class T>
int fits_int32(T value) {
    if constexpr (std::is_signed<T>::value) {
        return static_cast<uint64_t>(value) + 0x80000000ull <= 0xFFFFFFFFull;
    } else {
        return static_cast<uint64_t>(value) <= static_cast<uint64_t>(INT32_MAX);
    }
}

// Calls `body` with a value of the C++ type a RealType or IndexType names, and returns its result.
template <class Body>
auto with_real_type(RealType type, Body&& body) {
    return type == RealType::float32 ? body(float{}) : body(double{});
}

template <class Body>
auto with_index_type(IndexType type, Body&& body) {
    switch (type) {
        case IndexType::int32: return body(int32_t{});
        case IndexType::int64: return body(int64_t{});
        case IndexType::uint32: return body(uint32_t{});
        case IndexType::uint64: break;
    }
    return body(uint64_t{});
}

}  // namespace cellprox
