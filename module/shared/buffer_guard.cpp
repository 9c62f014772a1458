// The buffer guard, the project's one call of PyObject_GetBuffer, and typed array taking.
#include "module/shared/buffer_guard.h"

namespace cellprox {

namespace {

// The kind ('f', 'i' or 'u') and size of a native struct code; 0 for codes of anything else.
char code_kind(char code, Py_ssize_t* size) {
    switch (code) {
        case 'f': *size = 4; return 'f';
        case 'd': *size = 8; return 'f';
        case 'b': *size = 1; return 'i';
        case 'B': *size = 1; return 'u';
        case 'h': *size = 2; return 'i';
        case 'H': *size = 2; return 'u';
        case 'i': *size = 4; return 'i';
        case 'I': *size = 4; return 'u';
        case 'l': *size = static_cast<Py_ssize_t>(sizeof(long)); return 'i';
        case 'L': *size = static_cast<Py_ssize_t>(sizeof(long)); return 'u';
        case 'q': *size = 8; return 'i';
        case 'Q': *size = 8; return 'u';
        default: return 0;
    }
}

}  // namespace

bool BufferGuard::take(PyObject* object, int flags) {
    release();
    if (PyObject_GetBuffer(object, &view_, flags) < 0) return false;
    held_ = true;
    return true;
}

void BufferGuard::release() {
    if (held_) PyBuffer_Release(&view_);
    held_ = false;
}

const char* number_type_name(char kind, Py_ssize_t itemsize) {
    switch (kind == 'f' ? itemsize : kind == 'i' ? -itemsize : 100 + itemsize) {
        case 4: return "float32";
        case 8: return "float64";
        case -1: return "int8";
        case -2: return "int16";
        case -4: return "int32";
        case -8: return "int64";
        case 101: return "uint8";
        case 102: return "uint16";
        case 104: return "uint32";
        case 108: return "uint64";
        default: return "numbers";
    }
}

bool take_number_array(BufferGuard& guard, PyObject* object, const char* name, int ndim, char kind,
                       Py_ssize_t itemsize, bool writable) {
    const int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
    bool fits = guard.take(object, flags);
    if (fits) {
        const Py_buffer& view = guard.view();
        const char* format = view.format != nullptr ? view.format : "B";
        if (*format == '@' || *format == '=' || *format == '<') ++format;
        Py_ssize_t size = 0;
        fits = format[0] != '\0' && format[1] == '\0' && code_kind(format[0], &size) == kind &&
               size == itemsize && view.itemsize == itemsize && view.ndim == ndim;
    } else {
        PyErr_Clear();
    }
    if (!fits) {
        PyErr_Format(PyExc_TypeError, "%s must be a C-contiguous%s %d-dimensional %s array", name,
                     writable ? ", writable" : "", ndim, number_type_name(kind, itemsize));
        return false;
    }
    return true;
}

}  // namespace cellprox
