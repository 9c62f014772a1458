// A caller's buffer as the kernels see it: a base address and, per dimension, an extent and a
// byte stride. Strides may be anything (negative, zero, not contiguous); nothing is copied.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace cellprox {

constexpr int MAX_VIEW_DIMS = 3;

struct StridedView {
    char* data = nullptr;
    int ndim = 0;
    ptrdiff_t shape[MAX_VIEW_DIMS] = {0, 0, 0};
    ptrdiff_t strides[MAX_VIEW_DIMS] = {0, 0, 0};
};

// Element access through memcpy: a caller's buffer need not be aligned for its item type.
template <typename T>
inline T load(const char* address) {
    T value;
    std::memcpy(&value, address, sizeof(T));
    return value;
}

template <typename T>
inline void store(char* address, T value) {
    std::memcpy(address, &value, sizeof(T));
}

inline char* element(const StridedView& view, ptrdiff_t i) {
    return view.data + i * view.strides[0];
}

inline char* element(const StridedView& view, ptrdiff_t i, ptrdiff_t j) {
    return view.data + i * view.strides[0] + j * view.strides[1];
}

inline char* element(const StridedView& view, ptrdiff_t i, ptrdiff_t j, ptrdiff_t k) {
    return view.data + i * view.strides[0] + j * view.strides[1] + k * view.strides[2];
}

}  // namespace cellprox
