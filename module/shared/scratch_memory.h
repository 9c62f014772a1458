// Per-call scratch memory from the interpreter's allocator, freed on every path out of the call.
#pragma once

#include <cstdint>

#include "platform/python.h"

namespace cellprox {

class ScratchFloats {
public:
    ScratchFloats() = default;
    ~ScratchFloats() { PyMem_Free(data_); }
    ScratchFloats(const ScratchFloats&) = delete;
    ScratchFloats& operator=(const ScratchFloats&) = delete;

    // Room for n floats (none for n <= 0). Returns 0, or -1 with MemoryError set.
    int allocate(int32_t n) {
        if (n <= 0) return 0;
        data_ = static_cast<float*>(PyMem_Malloc(static_cast<size_t>(n) * sizeof(float)));
        if (data_ == nullptr) {
            PyErr_NoMemory();
            return -1;
        }
        return 0;
    }

    float* data() const { return data_; }

private:
    float* data_ = nullptr;
};

}  // namespace cellprox
