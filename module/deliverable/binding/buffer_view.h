// Binding a buffer argument as a writable strided view of the caller's memory.
#pragma once

#include "kernels/shared/strided_view.h"
#include "module/deliverable/binding/buffer_format.h"
#include "platform/python.h"

namespace cellprox {

// Holds one exporter's buffer from binding until the call returns, on every path.
class HeldBuffer {
public:
    HeldBuffer() = default;
    ~HeldBuffer() {
        if (held_) PyBuffer_Release(&buffer_);
    }
    HeldBuffer(const HeldBuffer&) = delete;
    HeldBuffer& operator=(const HeldBuffer&) = delete;

    // Binds `object` (or None, the empty view) as a writable view of `ndim` dimensions of
    // `declared` items. Returns 0, or -1 with the exception set.
    int bind(PyObject* object, int ndim, const DeclaredItem& declared, StridedView* view);

private:
    Py_buffer buffer_{};
    bool held_ = false;
};

}  // namespace cellprox
