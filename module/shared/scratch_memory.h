// Owns per-call scratch memory of the boundary's modules: arrays from the interpreter's own
// allocator (PyMem_Malloc, so that its debug hooks and PYTHONMALLOC see them), freed with their
// items on every path out of the call. Taken and freed with the interpreter lock held.
#pragma once

#include <new>
#include <type_traits>

#include "platform/python.h"

namespace cellprox {

template <typename T>
class Scratch {
public:
    Scratch() = default;
    ~Scratch() {
        if (!std::is_trivially_destructible<T>::value) {
            for (Py_ssize_t i = 0; i < size_; ++i) items_[i].~T();
        }
        PyMem_Free(items_);
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    // Room for n items (none for n <= 0), default-initialised: plain numbers are left as they
    // come. Returns 0, or -1 with MemoryError set. Once per scratch.
    int allocate(Py_ssize_t n) {
        if (n <= 0) return 0;
        if (static_cast<size_t>(n) > static_cast<size_t>(PY_SSIZE_T_MAX) / sizeof(T)) {
            PyErr_NoMemory();
            return -1;
        }
        items_ = static_cast<T*>(PyMem_Malloc(static_cast<size_t>(n) * sizeof(T)));
        if (items_ == nullptr) {
            PyErr_NoMemory();
            return -1;
        }
        for (; size_ < n; ++size_) new (items_ + size_) T;
        return 0;
    }

    T* data() const { return items_; }
    T& operator[](Py_ssize_t i) const { return items_[i]; }

private:
    T* items_ = nullptr;
    Py_ssize_t size_ = 0;
};

}  // namespace cellprox
