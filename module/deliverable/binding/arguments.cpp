// Binding a call's arguments by position and keyword, and converting the scalars.
#include "module/deliverable/binding/arguments.h"

#include <climits>

namespace cellprox {

namespace {

int report_count(const char* function_name, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 function_name, "exactly", static_cast<Py_ssize_t>(N_PARAMETERS), "s", given);
    return -1;
}

// Position of `name` among the keyword names: first by identity, then by string equality.
// Returns -1 when absent, -2 when a comparison raised.
Py_ssize_t find_keyword(PyObject* kwnames, PyObject* name) {
    const Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < n; ++k) {
        if (PyTuple_GET_ITEM(kwnames, k) == name) return k;
    }
    for (Py_ssize_t k = 0; k < n; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) continue;
        const int equal = PyObject_RichCompareBool(key, name, Py_EQ);
        if (equal < 0) return -2;
        if (equal) return k;
    }
    return -1;
}

// A keyword that no parameter after the positional ones consumed: report the first one.
int report_leftover_keywords(const char* function_name, PyObject* const* parameter_names,
                             Py_ssize_t nargs, PyObject* kwnames) {
    const Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < n; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", function_name);
            return -1;
        }
        int position = -1;
        for (int p = 0; p < N_PARAMETERS && position < 0; ++p) {
            const int equal = key == parameter_names[p]
                                  ? 1
                                  : PyObject_RichCompareBool(key, parameter_names[p], Py_EQ);
            if (equal < 0) return -1;
            if (equal) position = p;
        }
        if (position >= nargs) continue;  // consumed by its parameter
        if (position >= 0) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         function_name, key);
        } else {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         function_name, key);
        }
        return -1;
    }
    return 0;
}

// The exact int that __int__ gives (or the object itself when it already is one).
PyObject* as_int(PyObject* object) {
    if (PyLong_Check(object)) return Py_NewRef(object);
    PyNumberMethods* number = Py_TYPE(object)->tp_as_number;
    if (number == nullptr || number->nb_int == nullptr) {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return nullptr;
    }
    PyObject* result = number->nb_int(object);
    if (result == nullptr || PyLong_CheckExact(result)) return result;
    if (PyLong_Check(result)) {
        if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                             "__int__ returned non-int (type %.200s).  The ability to return an "
                             "instance of a strict subclass of int is deprecated, and may be "
                             "removed in a future version of Python.",
                             Py_TYPE(result)->tp_name) < 0) {
            Py_DECREF(result);
            return nullptr;
        }
        return result;
    }
    PyErr_Format(PyExc_TypeError, "__%.4s__ returned non-%.4s (type %.200s)", "int", "int",
                 Py_TYPE(result)->tp_name);
    Py_DECREF(result);
    return nullptr;
}

}  // namespace

int gather_arguments(const char* function_name, PyObject* const* parameter_names,
                     PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     PyObject** values) {
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw == 0) {
        if (nargs != N_PARAMETERS) return report_count(function_name, nargs);
        for (int p = 0; p < N_PARAMETERS; ++p) values[p] = args[p];
        return 0;
    }
    if (nargs > N_PARAMETERS) return report_count(function_name, nargs);
    for (Py_ssize_t p = 0; p < nargs; ++p) values[p] = args[p];
    Py_ssize_t consumed = 0;
    for (Py_ssize_t p = nargs; p < N_PARAMETERS; ++p) {
        const Py_ssize_t k = find_keyword(kwnames, parameter_names[p]);
        if (k == -2) return -1;
        if (k == -1) return report_count(function_name, p);
        values[p] = args[nargs + k];
        ++consumed;
    }
    if (consumed < nkw) return report_leftover_keywords(function_name, parameter_names, nargs, kwnames);
    return 0;
}

int convert_int32(PyObject* object, int32_t* out) {
    PyObject* integer = as_int(object);
    if (integer == nullptr) return -1;
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(integer, &overflow);
    Py_DECREF(integer);
    if (value == -1 && !overflow && PyErr_Occurred()) return -1;
    if (overflow != 0 || value < INT32_MIN || value > INT32_MAX) {
#ifdef CELLPROX_LONG_IS_32_BITS
        // Converted through a 32-bit C long, the interpreter reports the overflow itself.
        PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C long");
#else
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
#endif
        return -1;
    }
    *out = static_cast<int32_t>(value);
    return 0;
}

int convert_int64(PyObject* object, int64_t* out) {
    PyObject* integer = as_int(object);
    if (integer == nullptr) return -1;
#if LONG_MAX >= INT64_MAX
    const long long value = PyLong_AsLong(integer);
#else
    const long long value = PyLong_AsLongLong(integer);
#endif
    Py_DECREF(integer);
    if (value == -1 && PyErr_Occurred()) return -1;
    *out = static_cast<int64_t>(value);
    return 0;
}

int convert_float32(PyObject* object, float* out) {
    const double value =
        PyFloat_CheckExact(object) ? PyFloat_AS_DOUBLE(object) : PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) return -1;
    *out = static_cast<float>(value);
    return 0;
}

}  // namespace cellprox
