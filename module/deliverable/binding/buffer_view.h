// Owns binding a buffer argument of the deliverable as a writable strided view of the caller's
// memory: the dimension, format, item size and direct-access checks, with their messages.
#pragma once

#include "kernels/common/shared/strided_view.h"
#include "module/deliverable/binding/buffer_format.h"
#include "module/shared/buffer_guard.h"
#include "platform/python.h"

namespace cellprox {

// Holds one exporter's buffer from binding until the call returns, on every path.
class HeldBuffer {
public:
    // Binds `object` (or None, the empty view) as a writable view of `ndim` dimensions of
    // `declared` items. Returns 0, or -1 with the exception set.
    int bind(PyObject* object, int ndim, const DeclaredItem& declared, StridedView* view);

private:
    BufferGuard guard_;
};

}  // namespace cellprox
