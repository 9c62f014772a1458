// The one way the project's modules take a buffer from an exporter: held until the guard goes,
// released on every path out of the call.
#pragma once

#include "platform/python.h"

namespace cellprox {

class BufferGuard {
public:
    BufferGuard() = default;
    ~BufferGuard() { release(); }
    BufferGuard(const BufferGuard&) = delete;
    BufferGuard& operator=(const BufferGuard&) = delete;

    // Exports `object` with `flags`; false, with the exporter's error set, when it cannot.
    bool take(PyObject* object, int flags);
    void release();

    bool held() const { return held_; }
    const Py_buffer& view() const { return view_; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// The name of a plain number type, as numpy names it: "float32", "int64", "uint8".
const char* number_type_name(char kind, Py_ssize_t itemsize);

// Takes `object` as a C-contiguous array of `ndim` dimensions whose items are native numbers of
// `kind` ('f' floating, 'i' signed, 'u' unsigned integer) and `itemsize` bytes. False, with a
// TypeError that names the argument and the array it must be, when it is not.
bool take_number_array(BufferGuard& guard, PyObject* object, const char* name, int ndim, char kind,
                       Py_ssize_t itemsize, bool writable = false);

}  // namespace cellprox
