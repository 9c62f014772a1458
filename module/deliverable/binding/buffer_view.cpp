// Owns the deliverable's buffer checks and how a checked buffer becomes a strided view; the
// buffer itself is taken and released by BufferGuard.
#include "module/deliverable/binding/buffer_view.h"

namespace cellprox {

namespace {

int check_direct_access(const Py_buffer& buffer) {
    if (buffer.len <= 0 || buffer.suboffsets == nullptr) return 0;
    for (int dim = 0; dim < buffer.ndim; ++dim) {
        if (buffer.strides == nullptr && buffer.shape[dim] >= 2) {
            PyErr_SetString(PyExc_ValueError, "Buffer exposes suboffsets but no strides");
            return -1;
        }
        if (buffer.suboffsets[dim] >= 0) {
            PyErr_Format(PyExc_ValueError, "Buffer not compatible with direct access in dimension %d.",
                         dim);
            return -1;
        }
    }
    return 0;
}

}  // namespace

int HeldBuffer::bind(PyObject* object, int ndim, const DeclaredItem& declared, StridedView* view) {
    *view = StridedView{};
    if (object == Py_None) return 0;

    if (!guard_.take(object, PyBUF_RECORDS)) return -1;
    const Py_buffer& buffer = guard_.view();

    if (buffer.ndim != ndim) {
        PyErr_Format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected %d, got %d)",
                     ndim, buffer.ndim);
        return -1;
    }
    char message[200];
    if (!check_item_format(buffer.format, declared, message, sizeof message)) {
        PyErr_SetString(PyExc_ValueError, message);
        return -1;
    }
    if (static_cast<size_t>(buffer.itemsize) != declared.size) {
        const size_t found = static_cast<size_t>(buffer.itemsize);
        PyErr_Format(PyExc_ValueError,
                     "Item size of buffer (%zu byte%s) does not match size of '%s' (%zu byte%s)",
                     found, found > 1 ? "s" : "", declared.name, declared.size,
                     declared.size > 1 ? "s" : "");
        return -1;
    }
    if (check_direct_access(buffer) < 0) return -1;

    view->data = static_cast<char*>(buffer.buf);
    view->ndim = ndim;
    // We asked for strides, but a lax exporter may still answer with a C-contiguous block.
    ptrdiff_t contiguous = buffer.itemsize;
    for (int dim = ndim - 1; dim >= 0; --dim) {
        view->shape[dim] = buffer.shape ? buffer.shape[dim] : buffer.len / buffer.itemsize;
        view->strides[dim] = buffer.strides ? buffer.strides[dim] : contiguous;
        contiguous *= view->shape[dim];
    }
    return 0;
}

}  // namespace cellprox
