// Gathering a call's arguments by position and keyword, and converting the scalar ones.
#pragma once

#include <cstdint>

#include "platform/python.h"

namespace cellprox {

constexpr int N_PARAMETERS = 5;

// Fills `values` (borrowed references) with the call's arguments in parameter order, from
// positional values and the vectorcall keyword names. Returns 0, or -1 with TypeError set.
int gather_arguments(const char* function_name, PyObject* const* parameter_names,
                     PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     PyObject** values);

// An int parameter: int and its subclasses directly, otherwise through __int__.
int convert_int32(PyObject* object, int32_t* out);
// `cells_p`: the same conversion to 64 bits, with the interpreter's own overflow error.
int convert_int64(PyObject* object, int64_t* out);
// A float parameter: any real number, rounded to single precision without a range error.
int convert_float32(PyObject* object, float* out);

}  // namespace cellprox
