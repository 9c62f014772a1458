// Process-wide state of the module: it supports one interpreter per process and lives until the
// interpreter ends, so plain globals written only during import are enough.
#pragma once

#include <cstdint>

#include "platform/deliverable.h"
#include "platform/python.h"

// The file name that traceback entries and the callables' code objects show.
#define CELLPROX_SOURCE_FILE CELLPROX_MODULE_NAME ".cpp"

namespace cellprox {

struct ModuleState {
    int64_t main_interpreter_id = -1;
    PyObject* instance = nullptr;         // the one module object, once execution has begun
    PyTypeObject* ndarray_type = nullptr; // numpy.ndarray as fetched at import
    PyObject* minus_one = nullptr;        // fill value of the result array
    PyObject* name_np = nullptr;
    PyObject* name_full = nullptr;
    PyObject* name_float32 = nullptr;
    PyObject* dtype_kwnames = nullptr;    // ("dtype",)
};

extern ModuleState state;

}  // namespace cellprox
