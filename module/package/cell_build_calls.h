// The cell set's build calls of cellprox._gather (the checked rows, the records) and the array
// helpers the module's calls share: a buffer's plain number type, new arrays made by numpy.
#pragma once

#include "kernels/package/cells/number_types.h"
#include "module/shared/buffer_guard.h"
#include "platform/python.h"

namespace cellprox {

// The struct code of a buffer of one native-order number type, or 0.
char plain_code(const Py_buffer& view);

// The number type of a buffer of real numbers (float32, float64) or integers (32 or 64 bits,
// signed or not) in native order; false for any other.
bool real_type_of(const Py_buffer& view, RealType& type);
bool index_type_of(const Py_buffer& view, IndexType& type);

// A new array made by the caller's `allocate(shape, code)` (the package passes numpy.empty, so
// the result is numpy's own, its pages not yet touched), exported writable into `view`, which
// must hold exactly `bytes` bytes. Takes the reference to `shape`; null with the error set.
PyObject* new_array(PyObject* allocate, PyObject* shape, const char* code, Py_ssize_t bytes,
                    BufferGuard& view);

PyObject* method_build_rows(PyObject* module, PyObject* args);
PyObject* method_write_records(PyObject* module, PyObject* args);
PyObject* method_offset_counts(PyObject* module, PyObject* args);
PyObject* method_float32_rows(PyObject* module, PyObject* args);
PyObject* method_int32_column(PyObject* module, PyObject* args);

extern const char build_rows_doc[];
extern const char write_records_doc[];
extern const char offset_counts_doc[];
extern const char float32_rows_doc[];
extern const char int32_column_doc[];

}  // namespace cellprox
