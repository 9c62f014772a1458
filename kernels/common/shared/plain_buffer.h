// A growable array of plain values whose every allocation can fail without an exception: the
// project builds without exceptions, and a scene with many close pairs must end in a clean
// MemoryError rather than an abort.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

#include "platform/large_pages.h"

namespace cellprox {

// Whether a buffer's large blocks ask the system for large pages. The deliverables' kernels keep
// plain allocations: they were measured, and are held to their speed, that way (and their builds
// do not link platform/large_pages.cpp).
enum class PageAdvice { large, none };

template <typename T, PageAdvice ADVICE = PageAdvice::large>
class PlainBuffer {
    static_assert(std::is_trivially_copyable<T>::value, "plain values only");

public:
    PlainBuffer() = default;
    ~PlainBuffer() { std::free(data_); }
    PlainBuffer(const PlainBuffer&) = delete;
    PlainBuffer& operator=(const PlainBuffer&) = delete;

    // Room for at least `capacity` values; false (and nothing changed) when memory runs out.
    // With PageAdvice::large, large buffers move to memory the system may map in large pages
    // (platform/large_pages.h).
    bool reserve(size_t capacity) {
        if (capacity <= capacity_) return true;
        if (capacity > SIZE_MAX / sizeof(T)) return false;
        void* grown = nullptr;
        if constexpr (ADVICE == PageAdvice::large) {
            if (capacity * sizeof(T) >= LARGE_BUFFER) {
                grown = allocate_large(capacity * sizeof(T));
                if (grown == nullptr) return false;
                if (capacity_ > 0) std::memcpy(grown, data_, capacity_ * sizeof(T));
                std::free(data_);
            }
        }
        if (grown == nullptr) grown = std::realloc(data_, capacity * sizeof(T));
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

    // Appends `count` values; false (nothing appended) when memory runs out.
    bool append(const T* values, size_t count) {
        if (count == 0) return true;
        if (size_ + count > capacity_ && !reserve(size_ + count > 2 * capacity_ ? size_ + count : 2 * capacity_)) {
            return false;
        }
        std::memcpy(data_ + size_, values, count * sizeof(T));
        size_ += count;
        return true;
    }

    void shrink_to(size_t size) {
        if (size < size_) size_ = size;
    }
    void clear() { size_ = 0; }
    void swap(PlainBuffer& other) {
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
        std::swap(capacity_, other.capacity_);
    }

    T* data() { return data_; }
    const T* data() const { return data_; }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    T& operator[](size_t i) { return data_[i]; }
    const T& operator[](size_t i) const { return data_[i]; }

private:
    T* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

// A buffer that is written and read front to back, where large pages save little.
template <typename T>
using StreamBuffer = PlainBuffer<T, PageAdvice::none>;

// A fixed number of default-constructed objects (buffers, say), for loops whose blocks each fill
// one of their own. Constructing one allocates nothing; `allocate` may fail.
template <typename T>
class FixedArray {
public:
    FixedArray() = default;
    ~FixedArray() { release(); }
    FixedArray(const FixedArray&) = delete;
    FixedArray& operator=(const FixedArray&) = delete;

    bool allocate(size_t count) {
        release();
        if (count > SIZE_MAX / sizeof(T)) return false;
        items_ = static_cast<T*>(std::malloc(count ? count * sizeof(T) : 1));
        if (items_ == nullptr) return false;
        for (size_t i = 0; i < count; ++i) new (&items_[i]) T();
        count_ = count;
        return true;
    }

    size_t size() const { return count_; }
    T* data() { return items_; }
    T& operator[](size_t i) { return items_[i]; }

private:
    void release() {
        for (size_t i = 0; i < count_; ++i) items_[i].~T();
        std::free(items_);
        items_ = nullptr;
        count_ = 0;
    }
    T* items_ = nullptr;
    size_t count_ = 0;
};

}  // namespace cellprox
