// A growable array of plain values whose every allocation can fail without an exception: the
// project builds without exceptions, and a scene with many close pairs must end in a clean
// MemoryError rather than an abort.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <type_traits>

namespace cellprox {

template <typename T>
class HullBuffer {
    static_assert(std::is_trivially_copyable<T>::value, "plain values only");

public:
    HullBuffer() = default;
    ~HullBuffer() { std::free(data_); }
    HullBuffer(const HullBuffer&) = delete;
    HullBuffer& operator=(const HullBuffer&) = delete;

    // Room for at least `capacity` values; false (and nothing changed) when memory runs out.
    bool reserve(size_t capacity) {
        if (capacity <= capacity_) return true;
        if (capacity > SIZE_MAX / sizeof(T)) return false;
        void* grown = std::realloc(data_, capacity * sizeof(T));
        if (grown == nullptr) return false;
        data_ = static_cast<T*>(grown);
        capacity_ = capacity;
        return true;
    }

    // Exactly `size` values, the new ones uninitialised.
    bool resize(size_t size) {
        if (!reserve(size)) return false;
        size_ = size;
        return true;
    }

    bool push_back(const T& value) {
        if (size_ == capacity_ && !reserve(capacity_ < 64 ? 64 : capacity_ * 2)) return false;
        data_[size_++] = value;
        return true;
    }

    void shrink_to(size_t size) {
        if (size < size_) size_ = size;
    }

    T* data() { return data_; }
    const T* data() const { return data_; }
    size_t size() const { return size_; }
    T& operator[](size_t i) { return data_[i]; }
    const T& operator[](size_t i) const { return data_[i]; }

private:
    T* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

}  // namespace cellprox
